// Figures for the launch road that the companion app's commands take: CreateProcessInUserSession
// starting the installed agent with "-LauchApp" in the console user's session, until the agent has
// handed the file to the shell and ended; beside a plain fork, exec and wait of the same native
// agent program with the same arguments, in the same run. The installed agent is the signed PE
// image (its payload is the native program); a third row starts the native program itself through
// CreateProcessInUserSession, to tell the image's cost from the road's.
//
// The file that the agent opens is this program, installed on the machine as C:\bench\quick.exe,
// which registers with the machine and ends at once, so that no opened program piles up.
//
// usage: agent_launch_bench [LAUNCHES]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "BenchLine.h"
#include "BenchMachine.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/paths.h"
#include "launch/UserSessionLaunch.h"
#include "process/process.h"
#include "sessions/sessions.h"
#include "windows.h"

extern char** environ;

// The launch road logs through the product's log facility, which names its file after this.
std::wstring g_wsModuleName = L"AgentLaunchBench";

namespace {
using Clock = BenchClock;
namespace fs = std::filesystem;

// Starts the agent at the Windows path with "-LauchApp" through the service's road and waits for its
// exit code; the number of runs that did not end with 0.
int ThroughUserSession(const std::wstring& agent, int launches, double* seconds) {
  int failures = 0;
  std::wstring line = L"\"" + agent + L"\" -LauchApp C:\\bench\\quick.exe";
  auto t0 = Clock::now();
  for (int i = 0; i < launches; ++i) {
    PROCESS_INFORMATION info = {};
    if (!CreateProcessInUserSession(L"", line, L"", &info)) {
      if (failures++ == 0) std::printf("CreateProcessInUserSession failed: error %u\n", GetLastError());
      continue;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    if (code != 0 && failures++ == 0) std::printf("the agent ended with %u\n", code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  *seconds = Seconds(t0, Clock::now());
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  // The opened program: it registers with the machine and ends at once.
  if (fs::path(argv[0]).filename() == "quick.exe") {
    winsim::RegisterCurrentProcess();
    winsim::RecordProcessExit(0);
    return 0;
  }
  int launches = argc > 1 ? std::atoi(argv[1]) : 100;
  BenchMachine machine(true);
  if (!machine.Ok()) return 1;

  // The agent as installed (signed image) and as built (native program), and the file to open.
  std::string folder = *winsim::LinuxPathOf(L"C:\\Program Files\\Torvex\\Utility");
  fs::create_directories(folder);
  fs::copy_file(TORVEX_AGENT_IMAGE, folder + "/Quenlet.exe");
  fs::copy_file(TORVEX_AGENT_PROGRAM, folder + "/QuenletNative.exe");
  std::string bench = *winsim::LinuxPathOf(L"C:\\bench");
  fs::create_directories(bench);
  fs::copy_file(SelfPath(), bench + "/quick.exe");
  fs::permissions(bench + "/quick.exe", fs::perms::owner_exec, fs::perm_options::add);

  int failures = 0;
  // One warm-up run each: the image's payload is unpacked once per machine.
  double ignored = 0;
  failures += ThroughUserSession(L"C:\\Program Files\\Torvex\\Utility\\Quenlet.exe", 1, &ignored);
  failures += ThroughUserSession(L"C:\\Program Files\\Torvex\\Utility\\QuenletNative.exe", 1, &ignored);

  double image = 0, native = 0;
  failures += ThroughUserSession(L"C:\\Program Files\\Torvex\\Utility\\Quenlet.exe", launches, &image);
  failures += ThroughUserSession(L"C:\\Program Files\\Torvex\\Utility\\QuenletNative.exe", launches, &native);

  // The same native program with the same arguments, forked, exec'ed and waited for directly, in
  // the machine's environment (so that it, too, reaches the shell and opens the file).
  std::string program = folder + "/QuenletNative.exe";
  auto t0 = Clock::now();
  for (int i = 0; i < launches; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      char* args[] = {const_cast<char*>(program.c_str()), const_cast<char*>("-LauchApp"),
                      const_cast<char*>("C:\\bench\\quick.exe"), nullptr};
      execve(program.c_str(), args, environ);
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if ((!WIFEXITED(status) || WEXITSTATUS(status) != 0) && failures++ == 0) {
      std::printf("the forked agent ended with status %d\n", status);
    }
  }
  double direct = Seconds(t0, Clock::now());

  std::printf("agent -LauchApp through CreateProcessInUserSession, signed image: %d in %.3f s, %.2f ms each\n",
              launches, image, 1000.0 * image / launches);
  std::printf("agent -LauchApp through CreateProcessInUserSession, native file:  %d in %.3f s, %.2f ms each\n",
              launches, native, 1000.0 * native / launches);
  std::printf("agent -LauchApp by fork, exec and wait of the native program:     %d in %.3f s, %.2f ms each\n",
              launches, direct, 1000.0 * direct / launches);
  std::printf("ratio, signed image to fork and exec: %.2f\n", direct > 0 ? image / direct : 0.0);
  std::printf("ratio, native file to fork and exec:  %.2f\n", direct > 0 ? native / direct : 0.0);
  if (failures) std::printf("failures: %d\n", failures);
  BenchLine("agent.launch_image", 1000.0 * image / launches, 1000.0 * direct / launches, "ms", "-");
  BenchLine("agent.launch_native", 1000.0 * native / launches, 1000.0 * direct / launches, "ms", "-");
  return failures ? 1 : 0;
}
