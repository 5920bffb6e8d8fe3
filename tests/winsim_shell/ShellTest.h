// A machine made by `winsim init` (so that the shell's stand-in programs are in System32) with the
// users alice and bob, and helpers to see what the stand-in programs that the tests start recorded.
// No program of the machine outlives the test.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "MachineTest.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/process.h"
#include "process/terminate.h"

namespace winsim::test {

constexpr const wchar_t* kFamily = L"R3185527.TorvexUtility_7mvd2kx9qhe3b";
constexpr const wchar_t* kAumid = L"R3185527.TorvexUtility_7mvd2kx9qhe3b!TorvexUtility";
constexpr const wchar_t* kFullName = L"R3185527.TorvexUtility_1.0.0.0_x64__7mvd2kx9qhe3b";
constexpr const wchar_t* kProgram =
    L"C:\\Program Files\\WindowsApps\\R3185527.TorvexUtility_1.0.0.0_x64__7mvd2kx9qhe3b\\Utility.exe";

class ShellTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    auto init = Winsim({"init"});
    ASSERT_EQ(init.status, 0) << init.errors;
    AddUser("alice");
    AddUser("bob");
  }

  void TearDown() override {
    for (auto& p : ListProcesses(true)) {
      if (p.pid != getpid() && IsProcessOfThisMachine(p.pid)) {
        kill(static_cast<pid_t>(p.pid), SIGKILL);
        waitpid(static_cast<pid_t>(p.pid), nullptr, 0);
      }
    }
    MachineTest::TearDown();
  }

  // winsim ARGS... that must succeed; its output.
  std::string WinsimOk(const std::vector<std::string>& args) {
    auto r = Winsim(args);
    EXPECT_EQ(r.status, 0) << r.errors;
    return r.output;
  }

  // What a stand-in recorded as its command line (C:\ProgramData\<folder>\<pid>.cmdline), waiting
  // for it to appear; empty when it never does.
  std::string RecordedCommandLine(const std::string& folder, int64_t pid) {
    std::string path = MachinePath("drives/c/ProgramData/" + folder + "/" + std::to_string(pid) + ".cmdline");
    std::string text;
    WaitUntil([&] {
      text = ReadFile(path);
      return !text.empty();
    });
    return text;
  }

  // The Windows path of a running process's current folder.
  static std::wstring CurrentFolderOf(int64_t pid) {
    char buffer[4096];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), buffer, sizeof(buffer) - 1);
    if (n <= 0) return L"";
    return WindowsPathOf(std::string(buffer, static_cast<size_t>(n)));
  }

  // One entry of a running process's Linux environment, the way winsim hands a process its token.
  static std::string EnvironmentOf(int64_t pid, const std::string& name) {
    std::string all = ReadFile("/proc/" + std::to_string(pid) + "/environ");
    size_t start = 0;
    while (start < all.size()) {
      size_t end = all.find('\0', start);
      if (end == std::string::npos) end = all.size();
      std::string entry = all.substr(start, end - start);
      if (entry.rfind(name + "=", 0) == 0) return entry.substr(name.size() + 1);
      start = end + 1;
    }
    return "";
  }

  // The running processes of the machine with that image name.
  static std::vector<ProcessRecord> Running(const std::wstring& imageName) {
    std::vector<ProcessRecord> out;
    for (auto& p : ListProcesses(true)) {
      if (EqualsNoCase(p.imageName, imageName)) out.push_back(p);
    }
    return out;
  }
};

}  // namespace winsim::test
