// The real service program on the test machine: its command line through `winsim run`, its
// installation and start under the control manager, and the log its service run writes.
#pragma once
#include <signal.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "LoggingTest.h"
#include "ServiceRun.h"
#include "process/process.h"

namespace winsim::test {

class UtilityServiceRunTest : public ServiceRunTest {
 protected:
  void TearDown() override {
    for (pid_t pid : m_started) {
      kill(pid, SIGKILL);
      WaitForChild(pid);
    }
    ServiceRunTest::TearDown();
  }
  CommandResult Program(std::vector<std::string> args, const std::string& user = "",
                        const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> command = {"run"};
    if (!user.empty()) command.insert(command.end(), {"--user", user});
    command.push_back("--");
    command.push_back(BinPath("TorvexUtilityService.exe"));
    command.insert(command.end(), args.begin(), args.end());
    return Winsim(command, env);
  }
  // winsim session ARGS..., expected to succeed; a running service has handled the change on return.
  void Session(const std::vector<std::string>& args) {
    std::vector<std::string> all{"session"};
    all.insert(all.end(), args.begin(), args.end());
    auto r = Winsim(all);
    ASSERT_EQ(r.status, 0) << r.errors;
  }
  void SetLogLevel(DWORD level) {
    auto r = Winsim({"reg", "add", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs", "/v", "Level", "/t",
                     "REG_DWORD", "/d", std::to_string(level), "/f"});
    ASSERT_EQ(r.status, 0) << r.errors;
  }
  std::string LogFolder() { return MachinePath("drives/c/Windows/Temp/_TorvexUtility_"); }
  // The service run's own log file: the module name with the run's GUID.
  std::string ServiceLog() {
    namespace fs = std::filesystem;
    std::string found;
    fs::path folder = LogFolder();
    if (!fs::exists(folder)) return "";
    std::regex name("TorvexUtilityService[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.log");
    for (auto& entry : fs::directory_iterator(folder)) {
      if (std::regex_match(entry.path().filename().string(), name)) found += ReadFile(entry.path().string());
    }
    return found;
  }
  std::vector<LogEntry> ServiceLogEntries() { return ParseLog(ServiceLog()); }
  std::vector<std::string> ServiceLogMessages() { return MessagesOf(ServiceLogEntries()); }
  // A service process may still be ending after it reported STOPPED, and even after it recorded
  // its exit in the process table it holds its descriptors, the RPC endpoint among them, until the
  // system process is gone; a new run would find the endpoint taken and stop itself. Tests that
  // start the service again wait until every earlier run's process has really ended (gone, or a
  // zombie, or its pid reused by a process that started later).
  void WaitForPreviousRunToEnd() {
    EXPECT_TRUE(Eventually([] {
      for (auto& p : ListProcesses(false)) {
        if (p.imageName != L"TorvexUtilityService.exe" || !p.startTicks) continue;
        if (SystemProcessRunning(p.pid, *p.startTicks)) return false;
      }
      return true;
    })) << "an earlier run of the service is still alive";
  }
  void StartService(const std::map<std::string, std::string>& env = {}) {
    WaitForPreviousRunToEnd();
    auto r = Winsim({"service", "start", "TorvexUtilityService"}, env);
    ASSERT_EQ(r.status, 0) << r.errors;
    ASSERT_TRUE(WaitFor(L"TorvexUtilityService", SERVICE_RUNNING));
  }

  // Programs that the test started as its own children: killed and reaped when the test ends.
  std::vector<pid_t> m_started;
};

}  // namespace winsim::test
