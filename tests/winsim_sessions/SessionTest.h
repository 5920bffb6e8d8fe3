// A machine with four users (alice, bob, carol, dave), helpers for the session command and the
// session queries, and programs started in the background that the test ends at the latest in
// TearDown.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "MachineTest.h"
#include "core/strings.h"
#include "process/process.h"
#include "process/terminate.h"
#include "windows.h"
#include "wtsapi32.h"

namespace winsim::test {

// What WTSQuerySessionInformationW answered for a string class: the text, or the error.
struct TextAnswer {
  bool ok = false;
  std::wstring text;
  DWORD bytes = 0;
  DWORD error = 0;
};

inline TextAnswer QueryText(DWORD session, WTS_INFO_CLASS infoClass) {
  TextAnswer a;
  LPWSTR buffer = nullptr;
  a.ok = WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, infoClass, &buffer, &a.bytes) != FALSE;
  if (a.ok) {
    a.text = buffer;
    WTSFreeMemory(buffer);
  } else {
    a.error = GetLastError();
  }
  return a;
}

class SessionTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    for (const char* name : {"alice", "bob", "carol", "dave"}) AddUser(name);
  }

  void TearDown() override {
    // No program of this machine may outlive it.
    for (auto& p : ListProcesses(true)) {
      if (IsProcessOfThisMachine(p.pid)) kill(static_cast<pid_t>(p.pid), SIGKILL);
    }
    for (auto& b : m_background) {
      if (b.pid > 0) {
        kill(b.pid, SIGKILL);
        waitpid(b.pid, nullptr, 0);
      }
    }
    MachineTest::TearDown();
  }

  // winsim session ARGS...
  CommandResult Session(const std::vector<std::string>& args) {
    std::vector<std::string> all{"session"};
    all.insert(all.end(), args.begin(), args.end());
    return Winsim(all);
  }
  // Runs the session command and expects it to succeed.
  std::string SessionOk(const std::vector<std::string>& args) {
    auto r = Session(args);
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.errors, "");
    return r.output;
  }

  // Starts `winsim ARGS...` without waiting; returns an index for Finish.
  size_t StartWinsim(const std::vector<std::string>& args) {
    Background b;
    b.outPath = MachinePath("background-" + std::to_string(m_background.size()) + ".out");
    std::vector<std::string> argv{WINSIM_CMD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
      int out = open(b.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      dup2(out, 2);
      setenv("WINSIM_MACHINE", Machine().c_str(), 1);
      std::vector<char*> raw;
      for (auto& a : argv) raw.push_back(a.data());
      raw.push_back(nullptr);
      execv(raw[0], raw.data());
      _exit(127);
    }
    b.pid = pid;
    m_background.push_back(b);
    return m_background.size() - 1;
  }
  // Waits for a background command; its exit status, or -1 when it did not end in time.
  int Finish(size_t index, int timeoutMs = 10000) {
    Background& b = m_background[index];
    int status = 0;
    bool ended = WaitUntil([&] { return waitpid(b.pid, &status, WNOHANG) == b.pid; }, timeoutMs);
    if (!ended) return -1;
    b.pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string BackgroundOutput(size_t index) const { return ReadFile(m_background[index].outPath); }

  // Starts Utility.exe through `winsim run` and waits until it runs and has recorded its command
  // line; returns the background index and the process's record.
  std::pair<size_t, ProcessRecord> StartUtility(const std::vector<std::string>& runOptions,
                                                const std::vector<std::string>& programArgs) {
    std::vector<std::string> args{"run"};
    args.insert(args.end(), runOptions.begin(), runOptions.end());
    args.push_back("--");
    args.push_back(BinPath("Utility.exe"));
    args.insert(args.end(), programArgs.begin(), programArgs.end());
    size_t before = RunningUtilities().size();
    size_t index = StartWinsim(args);
    ProcessRecord found;
    bool started = WaitUntil([&] {
      auto now = RunningUtilities();
      if (now.size() <= before) return false;
      found = now.back();
      return !RecordedCommandLine(found.pid).empty();
    });
    EXPECT_TRUE(started) << "Utility.exe did not start: " << BackgroundOutput(index);
    return {index, found};
  }

  std::vector<ProcessRecord> RunningUtilities() {
    std::vector<ProcessRecord> out;
    for (auto& p : ListProcesses(true)) {
      if (p.imageName == L"Utility.exe") out.push_back(p);
    }
    return out;
  }

  // What Utility.exe recorded: C:\ProgramData\Utility\<pid>.cmdline.
  std::string RecordedCommandLine(int64_t pid) const {
    return ReadFile(MachinePath("drives/c/ProgramData/Utility/" + std::to_string(pid) + ".cmdline"));
  }

 private:
  struct Background {
    pid_t pid = 0;
    std::string outPath;
  };
  std::vector<Background> m_background;
};

}  // namespace winsim::test
