#include "MachineTest.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/fault.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/strings.h"
#include "core/timescale.h"

namespace winsim::test {

void MachineTest::SetUp() {
  std::string base = std::filesystem::temp_directory_path().string() + "/winsim-test-XXXXXX";
  std::vector<char> buffer(base.begin(), base.end());
  buffer.push_back('\0');
  ASSERT_NE(mkdtemp(buffer.data()), nullptr);
  m_machine = buffer.data();
  setenv("WINSIM_MACHINE", m_machine.c_str(), 1);
  InitMachine(m_machine);
  ClearFaults();
  SetTimeScale(1.0);
  RunAsAdministrator();
}

void MachineTest::TearDown() {
  ClearFaults();
  SetTimeScale(1.0);
  if (!std::getenv("WINSIM_KEEP_MACHINES")) {
    std::error_code ec;
    std::filesystem::remove_all(m_machine, ec);
  }
}

void MachineTest::RunAsSystem() { SetCurrentIdentity(SystemIdentity()); }
void MachineTest::RunAsAdministrator() { SetCurrentIdentity(AdministratorIdentity()); }
void MachineTest::RunAsUser(const std::wstring& name, unsigned session) {
  auto id = UserIdentity(name, session);
  ASSERT_TRUE(id.has_value()) << "no such user";
  SetCurrentIdentity(*id);
}

void MachineTest::AddUser(const std::string& name, const std::string& tempDrive) {
  std::wstring error;
  ASSERT_TRUE(AddUserAccount(WideFromUtf8(name), WideFromUtf8(tempDrive)[0], &error)) << Utf8FromWide(error);
}

CommandResult MachineTest::Winsim(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv{WINSIM_CMD_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  auto fullEnv = env;
  fullEnv["WINSIM_MACHINE"] = m_machine;
  return RunProgram(argv, fullEnv);
}

std::string MachineTest::BinPath(const std::string& program) { return std::string(TORVEX_BIN_DIR) + "/" + program; }

namespace {
std::string Drain(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}
}  // namespace

CommandResult RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
  CommandResult result;
  std::string outPath = std::filesystem::temp_directory_path().string() + "/winsim-out-XXXXXX";
  std::string errPath = outPath;
  std::vector<char> ob(outPath.begin(), outPath.end()), eb(errPath.begin(), errPath.end());
  ob.push_back('\0');
  eb.push_back('\0');
  int outFd = mkstemp(ob.data());
  int errFd = mkstemp(eb.data());
  // Everything the child needs is made before the fork: tests start programs from several threads
  // at once, and a child of a threaded process must not allocate (another thread may have held the
  // allocator's lock at the fork).
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStrings;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    if (env.find(name) == env.end()) envStrings.push_back(entry);
  }
  for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, 1);
    dup2(errFd, 2);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  lseek(outFd, 0, SEEK_SET);
  lseek(errFd, 0, SEEK_SET);
  result.output = Drain(outFd);
  result.errors = Drain(errFd);
  close(outFd);
  close(errFd);
  unlink(ob.data());
  unlink(eb.data());
  return result;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace winsim::test
