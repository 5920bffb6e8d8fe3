// The system as a user installs it: the build's installed layout put on a fresh machine by
// scripts/winsim-install.sh (C:\Program Files\Torvex\Utility\, the test root trusted, the service
// installed from there), then started under the control manager with time scaled. What the stories
// observe: the service's log, the agent's logs, the per-user key, and the machine's processes.
#pragma once
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "CheckRuns.h"
#include "UtilityServiceRun.h"
#include "core/strings.h"
#include "process/process.h"

namespace winsim::test {

class InstalledSystemTest : public UtilityServiceRunTest {
 protected:
  static constexpr const char* kFamily = "R3185527.TorvexUtility_7mvd2kx9qhe3b";
  static constexpr const char* kAliceMD5 = "85a6851cea42e759834ae49f1fcb9cdf";
  // A check's 120 s pass in 2 s, the agent's 30 s pauses and the watcher's 30 s in half a second.
  static constexpr const char* kTimeScale = "60";

  void SetUp() override {
    UtilityServiceRunTest::SetUp();
    for (const char* name : {"alice", "bob"}) AddUser(name);
    SetLogLevel(LOG_LEVEL_INFO);
  }
  void TearDown() override {
    // The apps that activation started, and anything else the machine still runs, end with it.
    for (auto& p : ListProcesses(true)) {
      if (p.pid > 0 && p.pid != getpid()) kill(static_cast<pid_t>(p.pid), SIGKILL);
    }
    UtilityServiceRunTest::TearDown();
  }

  // The install step, as the README gives it.
  void Install() {
    CommandResult r = RunProgram({"/bin/bash", std::string(TORVEX_SOURCE_DIR) + "/scripts/winsim-install.sh", "--winsim",
                                  WINSIM_CMD_PATH, TORVEX_LAYOUT_DIR},
                                 {{"WINSIM_MACHINE", Machine()}});
    ASSERT_EQ(r.status, 0) << r.errors;
    ASSERT_EQ(r.output, "TorvexUtilityService is installed.\n");
  }
  // An installed file on the machine's drive.
  std::string Installed(const std::string& name) { return MachinePath("drives/c/Program Files/Torvex/Utility/" + name); }
  void Replace(const std::string& name, const std::string& linuxFile) {
    std::error_code ec;
    std::filesystem::copy_file(linuxFile, Installed(name), std::filesystem::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << linuxFile << ": " << ec.message();
  }

  void Start(const std::map<std::string, std::string>& env = {}) {
    auto all = env;
    all["WINSIM_TIME_SCALE"] = kTimeScale;
    StartService(all);
  }
  void Command(const std::vector<std::string>& args) {
    auto r = Winsim(args);
    ASSERT_EQ(r.status, 0) << r.errors;
  }
  void InstallPackage(const std::string& user) { Command({"package", "install", "--user", user, kFamily}); }

  int Count(const std::vector<std::string>& messages, const std::string& message) {
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
  }
  int CountPrefix(const std::vector<std::string>& messages, const std::string& prefix) {
    return static_cast<int>(
        std::count_if(messages.begin(), messages.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }));
  }
  // Waits (bounded) until the service has closed that many checks.
  bool WaitForChecks(int count) {
    return Eventually([&] { return CountPrefix(ServiceLogMessages(), kCheckClosed) >= count; });
  }

  // The agent's runs, each in its own log file (the module name with the run's GUID).
  std::vector<std::string> AgentLogs() {
    namespace fs = std::filesystem;
    std::vector<std::string> logs;
    if (!fs::exists(LogFolder())) return logs;
    std::regex name("Quenlet[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.log");
    for (auto& entry : fs::directory_iterator(LogFolder())) {
      if (std::regex_match(entry.path().filename().string(), name)) logs.push_back(ReadFile(entry.path().string()));
    }
    return logs;
  }
  std::vector<std::string> AgentMessages() {
    std::vector<std::string> all;
    for (auto& log : AgentLogs()) {
      for (auto& m : MessagesOf(ParseLog(log))) all.push_back(m);
    }
    return all;
  }

  // "0x1", "0x0", or "" when the value is not there.
  std::string CheckCount(const std::string& md5 = kAliceMD5) {
    auto r = Winsim({"reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Vantorel\\" + md5, "/v", "CheckCount"});
    std::smatch m;
    if (r.status == 0 && std::regex_search(r.output, m, std::regex("REG_DWORD\\s+(0x[0-9a-f]+)"))) return m[1];
    return "";
  }

  struct AppRun {
    uint32_t session;
    std::string user;
    std::string commandLine;  // as the stand-in app recorded it
  };
  // The companion app's processes that run now.
  std::vector<AppRun> RunningApps() {
    std::vector<AppRun> apps;
    for (auto& p : ListProcesses(true)) {
      if (p.imageName != L"Utility.exe") continue;
      std::string record = MachinePath("drives/c/ProgramData/Utility/" + std::to_string(p.pid) + ".cmdline");
      Eventually([&] { return std::filesystem::exists(record); });
      std::string line = ReadFile(record);
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      apps.push_back({p.sessionId, Utf8FromWide(p.userName), line});
    }
    return apps;
  }
  // The agent's processes, ended or not, as the machine recorded them.
  std::vector<ProcessRecord> AgentProcesses() {
    std::vector<ProcessRecord> agents;
    for (auto& p : ListProcesses(false)) {
      if (p.imageName == L"Quenlet.exe") agents.push_back(p);
    }
    return agents;
  }

  static inline const std::string kAccepted = "[INFO] Launch Utility Quenlet exe were  signature  ";
  static inline const std::string kRefused = "[INFO] Launch Utility   Quenlet not signature exe  ";
  static inline const std::string kCreated = "[INFO] LaunchTorvexUtilityAppx Create \"Quenlet.exe\" process success.";
  static std::string AgentExit(const std::string& hex) {
    return "[INFO] LaunchTorvexUtilityAppx \"Quenlet.exe\" process exit, It's return code is " + hex;
  }
  static inline const std::string kCheck = "[INFO] ::UtilityPackageCheckDelayTimerCallback ";
  static inline const std::string kWatcherCreated = kCheck + "Create DirectoryWatcher";
  static inline const std::string kWatcherDestroyed = kCheck + "Destroy DirectoryWatcher";
  static inline const std::string kWatched =
      kCheck + "The \"C:\\Users\\alice\\AppData\\Local\\Packages\\R3185527.TorvexUtility_7mvd2kx9qhe3b\" folder will is monitored";
  static std::string CheckCountSet(int value) {
    return kCheck + "set " + std::string(kAliceMD5) + "\\CheckCount to " + std::to_string(value);
  }
  static std::string Preloaded(bool yes) {
    return std::string("[INFO] Quenlet.exe WinMain The \"") + kFamily + "\" app is " + (yes ? "" : "NOT ") + "preloaded.";
  }
  static std::string ActivationStatus(bool ok) {
    return std::string("[INFO] Quenlet.exe WinMain The status of launch torvex utility appx is: ") + (ok ? "True" : "False") +
           ".";
  }
};

}  // namespace winsim::test
