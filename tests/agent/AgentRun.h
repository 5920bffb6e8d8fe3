// The real agent program on a fresh machine made by `winsim init`, with the users alice (signed in
// at the console) and bob, and the log level INFO: runs of Quenlet.exe through `winsim run` as a
// user, their full 32-bit exit codes from the machine's process table, and the log file each run
// wrote. No program of the machine outlives the test.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LoggingTest.h"
#include "MachineTest.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/process.h"
#include "process/terminate.h"
#include "windows.h"

namespace winsim::test {

inline const std::string kFamily = "R3185527.TorvexUtility_7mvd2kx9qhe3b";
inline const std::wstring kUtilityProgram =
    L"C:\\Program Files\\WindowsApps\\R3185527.TorvexUtility_1.0.0.0_x64__7mvd2kx9qhe3b\\Utility.exe";

// What one run of the agent left behind.
struct AgentRun {
  int status = -1;              // the exit status of `winsim run`: the exit code's low 8 bits
  uint32_t exitCode = 0xFFFFFFFF;  // the full exit code that the machine recorded
  std::vector<std::string> logFiles;  // the names of the log files that the run created
  std::vector<LogEntry> entries;      // their entries
  std::string errors;                 // what `winsim run` said on standard error
  std::vector<std::string> Messages() const { return MessagesOf(entries); }
};

// The running processes of the machine with that image name.
inline std::vector<ProcessRecord> Running(const std::wstring& imageName) {
  std::vector<ProcessRecord> out;
  for (auto& p : ListProcesses(true)) {
    if (EqualsNoCase(p.imageName, imageName)) out.push_back(p);
  }
  return out;
}

// Ends a program of the machine and waits until the machine no longer counts it as running.
inline bool EndProcess(int64_t pid) {
  kill(static_cast<pid_t>(pid), SIGKILL);
  waitpid(static_cast<pid_t>(pid), nullptr, 0);  // when it is this process's child
  return WaitUntil([pid] {
    auto record = FindProcess(pid);
    return !record || !record->running;
  });
}

// Ends every program of the machine but this test process.
inline void EndMachineProcesses() {
  for (auto& p : ListProcesses(true)) {
    if (p.pid != getpid() && IsProcessOfThisMachine(p.pid)) {
      kill(static_cast<pid_t>(p.pid), SIGKILL);
      waitpid(static_cast<pid_t>(p.pid), nullptr, 0);
    }
  }
}

// What a stand-in program recorded as its command line (C:\ProgramData\<folder>\<pid>.cmdline on the
// machine in machineDir), waiting for it to appear; empty when it never does.
inline std::string RecordedCommandLine(const std::string& machineDir, const std::string& folder, int64_t pid) {
  std::string path = machineDir + "/drives/c/ProgramData/" + folder + "/" + std::to_string(pid) + ".cmdline";
  std::string text;
  WaitUntil([&] {
    text = ReadFile(path);
    return !text.empty();
  });
  return text;
}

class AgentProgramTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    WinsimOk({"init"});
    AddUser("alice");
    AddUser("bob");
    WinsimOk({"session", "logon", "alice"});
    WinsimOk({"reg", "add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs", "/v", "Level", "/t",
              "REG_DWORD", "/d", "2", "/f"});
  }

  void TearDown() override {
    EndMachineProcesses();
    MachineTest::TearDown();
  }

  // winsim ARGS... that must succeed; its output.
  std::string WinsimOk(const std::vector<std::string>& args) {
    auto r = Winsim(args);
    EXPECT_EQ(r.status, 0) << r.errors;
    return r.output;
  }

  static std::string AgentProgram() { return BinPath("Quenlet.exe"); }

  // `winsim run --user USER -- Quenlet.exe ARGS...`, with extra environment entries for the run
  // (WINSIM_FAULTS, WINSIM_TIME_SCALE). `winsim run` quotes an argument that holds a blank, a tab
  // or a quote, and an empty one, and passes every other one as it is.
  AgentRun Agent(const std::vector<std::string>& args, const std::string& user = "alice",
                 const std::map<std::string, std::string>& env = {}, const std::string& drive = "c") {
    std::vector<std::string> command = {"run", "--user", user, "--", AgentProgram()};
    command.insert(command.end(), args.begin(), args.end());
    return Observe(drive, [&] {
      auto r = Winsim(command, env);
      return std::make_pair(r.status, r.errors);
    });
  }

  // The agent file at the Windows path `program` started by this process, as the signed-in alice,
  // through CreateProcessW with exactly the command line given, as a starter that does not quote
  // (or quotes) the program path would start it. `winsim run` cannot do that: it quotes the
  // program path it is given.
  AgentRun AgentWithCommandLine(const std::wstring& program, const std::wstring& commandLine) {
    AgentRun run = Observe("c", [&] {
      RunAsUser(L"alice", 1);
      std::wstring line = commandLine;
      STARTUPINFOW startup = {};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION process = {};
      BOOL created = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                    &startup, &process);
      DWORD error = GetLastError();
      RunAsAdministrator();
      if (!created) return std::make_pair(-1, "CreateProcessW() failed, error " + std::to_string(error));
      DWORD exitCode = STILL_ACTIVE;
      WaitForSingleObject(process.hProcess, INFINITE);
      GetExitCodeProcess(process.hProcess, &exitCode);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
      return std::make_pair(static_cast<int>(exitCode & 0xFF), std::string());
    });
    return run;
  }

  // A copy of a file (the agent by default) installed at a Windows path of the machine.
  void InstallCopy(const std::wstring& windowsPath, const std::string& file = AgentProgram()) {
    auto linux = LinuxPathOf(windowsPath);
    ASSERT_TRUE(linux.has_value());
    std::filesystem::create_directories(std::filesystem::path(*linux).parent_path());
    std::filesystem::copy_file(file, *linux, std::filesystem::copy_options::overwrite_existing);
  }

  std::string LogFolder(const std::string& drive = "c") {
    return MachinePath("drives/" + drive + "/Windows/Temp/_TorvexUtility_");
  }
  std::set<std::string> LogFileNames(const std::string& drive = "c") {
    std::set<std::string> names;
    std::error_code ec;
    for (auto& entry : std::filesystem::directory_iterator(LogFolder(drive), ec)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  std::string RecordedCommandLine(const std::string& folder, int64_t pid) {
    return winsim::test::RecordedCommandLine(Machine(), folder, pid);
  }

 private:
  // Runs `start` and collects the agent process it made and the log files that appeared.
  AgentRun Observe(const std::string& drive, const std::function<std::pair<int, std::string>()>& start) {
    std::set<int64_t> before;
    for (auto& p : ListProcesses(false)) before.insert(p.pid);
    std::set<std::string> filesBefore = LogFileNames(drive);
    AgentRun run;
    std::tie(run.status, run.errors) = start();
    for (auto& p : ListProcesses(false)) {
      if (!before.count(p.pid) && EqualsNoCase(p.imageName, L"Quenlet.exe") && p.exitCode) run.exitCode = *p.exitCode;
    }
    for (const auto& name : LogFileNames(drive)) {
      if (filesBefore.count(name)) continue;
      run.logFiles.push_back(name);
      auto entries = ParseLog(ReadFile(LogFolder(drive) + "/" + name));
      run.entries.insert(run.entries.end(), entries.begin(), entries.end());
    }
    return run;
  }
};

// The agent's log file name: the module name, the run's GUID text, ".log".
inline bool IsRunLogName(const std::string& name) {
  static const std::regex form("Quenlet[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.log");
  return std::regex_match(name, form);
}

}  // namespace winsim::test
