// Figures for starting a program in a user's session: the service's whole road (the user's token,
// a primary duplicate, the user's environment block, CreateProcessAsUserW, the wait and the exit
// code) beside a plain fork, exec and wait of the same program in the same run; and CreateFileW's
// open and close with share modes beside a plain open and close of the same file.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchLine.h"
#include "BenchMachine.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/paths.h"
#include "process/process.h"
#include "sessions/sessions.h"
#include "userenv.h"
#include "windows.h"
#include "wtsapi32.h"

extern char** environ;

namespace {
using Clock = BenchClock;

}  // namespace

int main(int argc, char** argv) {
  // The program that both roads start: it registers with the machine and ends at once.
  if (argc > 1 && std::strcmp(argv[1], "child") == 0) {
    winsim::RegisterCurrentProcess();
    winsim::RecordProcessExit(0);
    return 0;
  }
  int launches = argc > 1 ? std::atoi(argv[1]) : 200;
  int opens = argc > 2 ? std::atoi(argv[2]) : 20000;
  BenchMachine machine(true);
  if (!machine.Ok()) return 1;
  std::string self = SelfPath();
  // The program has no .exe name, so it is named as the application, which is used as given.
  std::wstring application = winsim::WindowsPathOf(self);
  std::wstring line = L"\"" + application + L"\" child";

  auto t0 = Clock::now();
  int failures = 0;
  for (int i = 0; i < launches; ++i) {
    HANDLE user = nullptr, primary = nullptr;
    void* environment = nullptr;
    if (!WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &user) ||
        !DuplicateTokenEx(user, 0, nullptr, SecurityImpersonation, TokenPrimary, &primary) ||
        !CreateEnvironmentBlock(&environment, primary, FALSE)) {
      if (failures++ == 0) std::printf("the token or environment failed: error %u\n", GetLastError());
      continue;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<wchar_t*>(L"winsta0\\default");
    PROCESS_INFORMATION info;
    std::wstring copy = line;
    if (CreateProcessAsUserW(primary, application.c_str(), copy.data(), nullptr, nullptr, FALSE, 0x430, environment, nullptr,
                             &startup, &info)) {
      WaitForSingleObject(info.hProcess, INFINITE);
      DWORD code = 1;
      GetExitCodeProcess(info.hProcess, &code);
      if (code != 0) ++failures;
      CloseHandle(info.hThread);
      CloseHandle(info.hProcess);
    } else if (failures++ == 0) {
      std::printf("CreateProcessAsUserW failed: error %u\n", GetLastError());
    }
    DestroyEnvironmentBlock(environment);
    CloseHandle(primary);
    CloseHandle(user);
  }
  auto t1 = Clock::now();

  // The same program, forked, exec'ed and waited for directly.
  auto t2 = Clock::now();
  for (int i = 0; i < launches; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      char* args[] = {const_cast<char*>(self.c_str()), const_cast<char*>("child"), nullptr};
      execve(self.c_str(), args, environ);
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures;
  }
  auto t3 = Clock::now();

  // Opening and closing one file: CreateFileW with its share modes, and a plain open and close.
  HANDLE made = CreateFileW(L"C:\\bench.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  CloseHandle(made);
  auto t4 = Clock::now();
  for (int i = 0; i < opens; ++i) {
    HANDLE file = CreateFileW(L"C:\\bench.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) ++failures;
    CloseHandle(file);
  }
  auto t5 = Clock::now();
  std::string plain = *winsim::LinuxPathOf(L"C:\\bench.txt");
  auto t6 = Clock::now();
  for (int i = 0; i < opens; ++i) {
    int fd = open(plain.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ++failures;
    close(fd);
  }
  auto t7 = Clock::now();

  double road = Seconds(t0, t1), direct = Seconds(t2, t3);
  std::printf("user-session launch (token, environment, CreateProcessAsUserW, wait): %d in %.3f s, %.2f ms each\n",
              launches, road, 1000.0 * road / launches);
  std::printf("fork, exec and wait of the same program:                          %d in %.3f s, %.2f ms each\n",
              launches, direct, 1000.0 * direct / launches);
  std::printf("ratio: %.2f\n", direct > 0 ? road / direct : 0.0);
  double shared = Seconds(t4, t5), raw = Seconds(t6, t7);
  std::printf("CreateFileW open and close with share modes: %.0f per second\n", opens / shared);
  std::printf("plain open and close of the same file:       %.0f per second\n", opens / raw);
  if (failures) std::printf("failures: %d\n", failures);
  BenchLine("launch.user_session", 1000.0 * road / launches, 1000.0 * direct / launches, "ms", "-");
  BenchLine("files.createfile_share_open_close", 1e6 * shared / opens, 1e6 * raw / opens, "us", "-");
  return failures ? 1 : 0;
}
