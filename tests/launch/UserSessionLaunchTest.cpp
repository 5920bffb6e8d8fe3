// Starting the agent in the console user's session, as the service does: the probe program plays
// the service (as LocalSystem) from a folder with a blank in its path, and a stand-in agent that
// reports how it was started lies beside it as Quenlet.exe. What is observed: the agent's report
// (its command line, session, desktop), the results and exit codes the probe prints, and the log.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "TrustVerificationFixture.h"
#include "common/Log.h"
#include "windows.h"

namespace winsim::test {
namespace {

constexpr const char* kAgentCommandLine = "\"C:\\Program Files\\Torvex Utility\\Quenlet.exe\"";
constexpr const wchar_t* kReport = L"C:\\ProbeReport.txt";

class UserSessionLaunchTest : public TrustVerificationFixture {
 protected:
  void SetUp() override {
    TrustVerificationFixture::SetUp();
    InstallService();
    TrustRoot(Pki("root.pem"));
    Install(Image("agent-probe.exe"), InFolder(L"Quenlet.exe"));
    // Whatever Windows would start for an unquoted path blank by blank: a program that is not the agent.
    Install(Image("agent.exe"), L"C:\\Program.exe");
    RunAsSystem();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    DWORD level = LOG_LEVEL_INFO;
    ASSERT_EQ(RegSetValueExW(key, REG_LOG_LEVEL_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                             sizeof(level)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(Winsim({"user", "add", "alice"}).status, 0);
  }

  void LogOn() { ASSERT_EQ(Winsim({"session", "logon", "alice"}).status, 0); }

  // The probe as the service, as LocalSystem, with these steps.
  CommandResult RunAsService(std::vector<std::string> steps) {
    steps.insert(steps.begin(), "system");
    return RunService(steps);
  }

  std::string Log() { return ReadFile(MachinePath("drives/c/Windows/Temp/_TorvexUtility_/LaunchProbe.log")); }

  // The "key=value" lines of the stand-in agent's report, once it has written it (up to 20 s).
  std::map<std::string, std::string> AgentReport() {
    std::string path = LinuxOf(kReport);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!std::filesystem::exists(path) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::map<std::string, std::string> report;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return report;
  }
  bool AgentStarted() { return std::filesystem::exists(LinuxOf(kReport)); }
};

// The activation launch: the verified agent itself is started, quoted, in alice's session on her
// desktop, and its exit code (the stand-in's 99) comes back; not C:\Program.exe.
TEST_F(UserSessionLaunchTest, ActivationStartsTheVerifiedAgentQuotedInTheUsersSession) {
  LogOn();
  CommandResult run = RunAsService({"appx"});
  EXPECT_EQ(run.output, "appx=1 exit=0x00000063\n") << run.errors;
  auto report = AgentReport();
  EXPECT_EQ(report["cmdline"], std::string(kAgentCommandLine) + " -LaunchTorvexUtilityAppx");
  EXPECT_EQ(report["session"], "1");
  EXPECT_EQ(report["desktop"], "winsta0\\default");
  EXPECT_EQ(report["USERNAME"], "alice");
  std::string log = Log();
  EXPECT_NE(log.find("[INFO] Launch Utility Quenlet exe were  signature  \r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[INFO] LaunchTorvexUtilityAppx Create \"Quenlet.exe\" process success.\r\n"), std::string::npos);
  EXPECT_NE(log.find("[INFO] LaunchTorvexUtilityAppx \"Quenlet.exe\" process exit, It's return code is 0x63\r\n"),
            std::string::npos);
}

// The launch command: the agent's path quoted, the command text unchanged behind " -LauchApp ".
TEST_F(UserSessionLaunchTest, CommandTextReachesTheAgentUnchangedBehindTheQuotedPath) {
  LogOn();
  for (std::string text : {std::string("C:\\Windows\\notepad.exe \"a b\"  c"), std::string()}) {
    std::filesystem::remove(LinuxOf(kReport));
    CommandResult run = RunAsService({"command", text});
    EXPECT_EQ(run.output, "command\n") << run.errors;
    EXPECT_EQ(AgentReport()["cmdline"], std::string(kAgentCommandLine) + " -LauchApp " + text);
  }
}

// Nobody at the console: the agent is accepted, not started, and the caller sees FALSE and 0.
TEST_F(UserSessionLaunchTest, NobodySignedInAtTheConsole) {
  CommandResult run = RunAsService({"appx"});
  EXPECT_EQ(run.output, "appx=0 exit=0x00000000\n") << run.errors;
  EXPECT_FALSE(AgentStarted());
  std::string log = Log();
  size_t accepted = log.find("[INFO] Launch Utility Quenlet exe were  signature  \r\n");
  size_t failed = log.find("[INFO] LaunchTorvexUtilityAppx Create \"Quenlet.exe\" process failure!\r\n");
  EXPECT_NE(accepted, std::string::npos) << log;
  EXPECT_NE(failed, std::string::npos) << log;
  EXPECT_LT(accepted, failed);
  EXPECT_EQ(log.find("[ERROR]"), std::string::npos) << log;
}

// A string of 259 characters passes, one of 260 is refused with an ERROR line before any token is
// taken (nobody is signed in, so reaching the token would fail silently instead).
TEST_F(UserSessionLaunchTest, LengthLimitOfTheThreeStrings) {
  struct Case {
    const char* what;
    int which;  // 0 application name, 1 command line, 2 directory
  };
  for (Case c : {Case{"application name", 0}, Case{"command line", 1}, Case{"current directory", 2}}) {
    for (size_t length : {259u, 260u}) {
      SCOPED_TRACE(std::string(c.what) + " of " + std::to_string(length));
      std::filesystem::remove(MachinePath("drives/c/Windows/Temp/_TorvexUtility_/LaunchProbe.log"));
      std::string text = "C:\\" + std::string(length - 3, 'x');
      std::vector<std::string> args{"create", "", "", ""};
      args[1 + c.which] = text;
      CommandResult run = RunAsService(args);
      EXPECT_EQ(run.output, "create=0\n") << run.errors;
      std::string expected = "[ERROR] CreateProcessInUserSession " + std::string(c.what) +
                             " is too long: 260 characters, at most 259\r\n";
      if (length == 260) {
        EXPECT_NE(Log().find(expected), std::string::npos) << Log();
      } else {
        EXPECT_EQ(Log().find("[ERROR]"), std::string::npos) << Log();
      }
    }
  }
}

// A command text that makes the agent's command line exactly 259 characters reaches it whole; one
// more character and nothing is started.
TEST_F(UserSessionLaunchTest, CommandLineOf259CharactersIsPassedInFull) {
  LogOn();
  size_t fixed = std::string(kAgentCommandLine).size() + std::string(" -LauchApp ").size();
  std::string text(259 - fixed, 'a');
  CommandResult run = RunAsService({"command", text});
  EXPECT_EQ(run.output, "command\n") << run.errors;
  std::string line = AgentReport()["cmdline"];
  EXPECT_EQ(line.size(), 259u);
  EXPECT_EQ(line, std::string(kAgentCommandLine) + " -LauchApp " + text);

  std::filesystem::remove(LinuxOf(kReport));
  run = RunAsService({"command", text + "a"});
  EXPECT_EQ(run.output, "command\n") << run.errors;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(AgentStarted());
  EXPECT_NE(Log().find("[ERROR] CreateProcessInUserSession command line is too long: 260 characters, at most 259\r\n"),
            std::string::npos);
}

// Between the verdict and the process creation nobody can write, delete or replace the agent: the
// file that was judged is the file that runs.
TEST_F(UserSessionLaunchTest, TheVerifiedAgentCannotBeSwappedBeforeItStarts) {
  LogOn();
  Install(Image("agent-other.exe"), L"C:\\other.exe");
  CommandResult run = RunAsService({"swap", "C:\\other.exe", "appx"});
  EXPECT_EQ(run.output, "swap write=32 delete=32 replace=5\nappx=1 exit=0x00000063\n") << run.errors;
  EXPECT_EQ(AgentReport()["cmdline"], std::string(kAgentCommandLine) + " -LaunchTorvexUtilityAppx");
  // The file in the service's folder is still the agent that was judged.
  EXPECT_EQ(ReadFile(LinuxOf(InFolder(L"Quenlet.exe"))), ReadFile(Image("agent-probe.exe")));
}

// Failures after the start are failures: FALSE, exit code 0, an ERROR line with the error, so that
// the check never counts an activation that was not confirmed. The service's own path that cannot
// be read, or fills the buffer, is refused before anything is verified.
TEST_F(UserSessionLaunchTest, FailuresAreReportedAsFailures) {
  LogOn();
  struct Case {
    std::vector<std::string> steps;
    std::string line;
  };
  std::vector<Case> cases = {
      {{"fault", "WaitForSingleObject", "6"}, "[ERROR] LaunchTorvexUtilityAppx WaitForSingleObject() return fail, error: 6\r\n"},
      {{"fault", "GetExitCodeProcess", "5"}, "[ERROR] LaunchTorvexUtilityAppx GetExitCodeProcess() return fail, error: 5\r\n"},
      {{"fault", "GetModuleFileNameW", "8"}, "[ERROR] LaunchTorvexUtilityAppx GetModuleFileName() return fail, error: 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.steps[1]);
    std::filesystem::remove(MachinePath("drives/c/Windows/Temp/_TorvexUtility_/LaunchProbe.log"));
    std::vector<std::string> steps = c.steps;
    steps.push_back("appx");
    CommandResult run = RunAsService(steps);
    EXPECT_EQ(run.output, "appx=0 exit=0x00000000\n") << run.errors;
    EXPECT_NE(Log().find(c.line), std::string::npos) << Log();
  }
}

// A service installed so deep that its path fills GetModuleFileNameW's 260-character buffer: the
// cut path is not used to find the agent.
TEST_F(UserSessionLaunchTest, ServicePathThatFillsTheBufferIsAFailure) {
  std::wstring folder = L"C:\\" + std::wstring(200, L'd') + L"\\" + std::wstring(260 - 3 - 200 - 1 - 1 - 24, L'e') + L"\\";
  std::wstring service = folder + L"TorvexUtilityService.exe";
  ASSERT_EQ(service.size(), 260u);
  Install(TORVEX_CERTVAL_PROBE, service);
  CommandResult run = Winsim({"run", "--", Utf8FromWide(service), "system", "appx"});
  EXPECT_EQ(run.output, "appx=0 exit=0x00000000\n") << run.errors;
  EXPECT_NE(Log().find("[ERROR] LaunchTorvexUtilityAppx GetModuleFileName() return fail, error: 122"),
            std::string::npos)
      << Log();
}

}  // namespace
}  // namespace winsim::test
