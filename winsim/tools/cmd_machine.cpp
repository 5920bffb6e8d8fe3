// winsim init, winsim user add, winsim run.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>

#include "command.h"
#include "core/identity.h"
#include "security/capability.h"
#include "core/machine.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/process.h"
#include "sessions/sessions.h"

namespace winsim::cli {
namespace {

// The stand-in programs for the shell (every program of tools/ but the companion app's Utility.exe)
// go into C:\Windows\System32, the system folder where ShellExecuteW finds programs by name. They
// are taken from this command's folder, where the build puts them, and replace older copies.
void InstallShellStandIns() {
  namespace fs = std::filesystem;
  std::string names = WINSIM_SHELL_STANDINS;
  auto system32 = LinuxPathOf(L"C:\\Windows\\System32");
  if (!system32) return;
  size_t start = 0;
  while (start < names.size()) {
    size_t end = names.find(',', start);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(start, end - start);
    start = end + 1;
    fs::path source = fs::path(CommandFolder()) / name;
    std::error_code ec;
    fs::create_directories(*system32, ec);
    fs::copy_file(source, fs::path(*system32) / name, fs::copy_options::overwrite_existing, ec);
    if (ec) std::fprintf(stderr, "winsim: the stand-in %s was not installed: %s\n", source.c_str(), ec.message().c_str());
  }
}

int Init(const Args& argsIn) {
  Args args = argsIn;
  std::string dir;
  if (!args.empty()) {
    dir = args[0];
  } else if (const char* env = std::getenv("WINSIM_MACHINE")) {
    dir = env;
  }
  if (dir.empty()) return Fail("init needs a directory (or WINSIM_MACHINE)");
  InitMachine(dir);
  InstallShellStandIns();
  std::printf("machine ready at %s\n", std::filesystem::absolute(dir).c_str());
  return 0;
}

int User(const Args& argsIn) {
  Args args = argsIn;
  if (args.empty()) return Fail("user needs a sub-command: add, list");
  std::string sub = args[0];
  args.erase(args.begin());
  if (sub == "list") {
    for (auto& u : ListUserAccounts()) {
      std::printf("%-20s %-48s %s\n", Utf8FromWide(u.name).c_str(), u.sid.c_str(), Utf8FromWide(u.tempFolder).c_str());
    }
    return 0;
  }
  if (sub != "add") return Fail("unknown user sub-command '" + sub + "'");
  std::string drive = "C";
  TakeOption(args, "--temp-drive", &drive);
  if (args.size() != 1) return Fail("usage: winsim user add NAME [--temp-drive D]");
  std::wstring letter = WideFromUtf8(drive);
  if (letter.size() == 2 && letter[1] == L':') letter.pop_back();
  if (letter.size() != 1) return Fail("--temp-drive takes one drive letter");
  std::wstring error;
  if (!AddUserAccount(WideFromUtf8(args[0]), letter[0], &error)) return Fail(Utf8FromWide(error));
  auto account = FindUserAccount(WideFromUtf8(args[0]));
  std::printf("user %s added (%s)\n", args[0].c_str(), account->sid.c_str());
  return 0;
}

int Run(const Args& argsIn) {
  Args args = argsIn;
  std::string user, session, capability;
  std::vector<std::string> capabilities;
  TakeOption(args, "--user", &user);
  TakeOption(args, "--session", &session);
  while (TakeOption(args, "--capability", &capability)) {
    if (capability.empty()) return Fail("the capability name is empty");
    capabilities.push_back(capability);
  }
  if (!args.empty() && args[0] == "--") args.erase(args.begin());
  if (args.empty()) return Fail("usage: winsim run [--user NAME] [--session N] [--capability NAME]... -- PROGRAM [ARGS...]");

  Identity identity;
  uint32_t sessionId = session.empty() ? kConsoleSessionId : static_cast<uint32_t>(std::stoul(session));
  if (user.empty()) {
    identity = AdministratorIdentity(sessionId);
  } else {
    // A signed-in user's programs run in that user's session.
    if (session.empty()) {
      if (auto signedIn = sessions::SessionOfUser(WideFromUtf8(user))) sessionId = signedIn->id;
    }
    auto found = UserIdentity(WideFromUtf8(user), sessionId);
    if (!found) return Fail("no user " + user + " on this machine (winsim user add " + user + ")");
    identity = *found;
  }
  // A program started with capabilities runs as an app container process that holds them, as a
  // packaged app started by activation does (there the package's own SID comes with them).
  for (auto& name : capabilities) {
    identity.capabilitySids.push_back(security::SidToString(security::DeriveCapabilitySid(WideFromUtf8(name))));
  }

  SpawnRequest req;
  std::wstring program = WideFromUtf8(args[0]);
  if (program.size() >= 3 && program[1] == L':') {
    unsigned long error = 0;
    auto linux = LinuxPathOf(program, &error);
    if (!linux) return Fail("not a usable Windows path: " + args[0]);
    req.linuxPath = *linux;
    req.windowsImage = program;
  } else {
    req.linuxPath = std::filesystem::absolute(args[0]).string();
    req.windowsImage = WindowsPathOf(req.linuxPath);
  }
  struct stat st;
  if (stat(req.linuxPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail("no program at " + args[0]);
  req.commandLine = QuoteArgument(req.windowsImage);
  for (size_t i = 1; i < args.size(); ++i) req.commandLine += L" " + QuoteArgument(WideFromUtf8(args[i]));
  req.identity = identity;
  req.windowsEnv = DefaultWindowsEnvironment(identity);
  std::fflush(stdout);
  pid_t pid = SpawnProcess(req);
  if (pid < 0) {
    if (errno == ENOEXEC) return Fail("cannot start " + args[0] + ": not a program this machine can run (error 193)");
    return Fail("cannot start " + args[0] + ": " + std::strerror(errno));
  }
  uint32_t code = WaitForChild(pid);
  return static_cast<int>(code & 0xFF);
}

int Ps(const Args&) {
  std::printf("%-8s %-8s %-20s %s\n", "PID", "SESSION", "USER", "IMAGE");
  for (auto& p : ListProcesses(true)) {
    std::printf("%-8lld %-8u %-20s %s\n", static_cast<long long>(p.pid), p.sessionId, Utf8FromWide(p.userName).c_str(),
                Utf8FromWide(p.imageName).c_str());
  }
  return 0;
}

Registrar initCommand({"init", "winsim init [DIR]                          create the machine (drives, Windows folders, default settings,\n"
                               "                                           the shell's stand-in programs in System32)", Init});
Registrar userCommand({"user", "winsim user add NAME [--temp-drive D]      a user with a profile under C:\\Users\\NAME\n"
                               "winsim user list                           the machine's users", User});
Registrar runCommand({"run", "winsim run [--user NAME] [--session N] [--capability NAME]... -- PROGRAM [ARGS...]\n"
                             "                                           run a program; exit status = its exit code;\n"
                             "                                           --capability: as an app container process with\n"
                             "                                           the capability SID derived from NAME", Run});
Registrar psCommand({"ps", "winsim ps                                  running processes with image names and sessions", Ps});

}  // namespace
}  // namespace winsim::cli
