// The agent's activation command as the service meets it: the real Quenlet.exe run as the
// signed-in alice activates the companion app when its package is installed for her, and tries
// three times, 30 s apart (scaled), when the activation fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AgentRun.h"

namespace winsim::test {
namespace {

const std::string kPreloaded = "[INFO] Quenlet.exe WinMain The \"R3185527.TorvexUtility_7mvd2kx9qhe3b\" app is preloaded.";
const std::string kNotPreloaded =
    "[INFO] Quenlet.exe WinMain The \"R3185527.TorvexUtility_7mvd2kx9qhe3b\" app is NOT preloaded.";
const std::string kTrue = "[INFO] Quenlet.exe WinMain The status of launch torvex utility appx is: True.";
const std::string kFalse = "[INFO] Quenlet.exe WinMain The status of launch torvex utility appx is: False.";

class ActivationCommandTest : public AgentProgramTest {
 protected:
  void Install(const std::string& user, const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"package", "install", "--user", user, kFamily};
    args.insert(args.end(), options.begin(), options.end());
    WinsimOk(args);
  }
};

TEST_F(ActivationCommandTest, InstalledPackageIsActivatedInTheUsersSession) {
  Install("alice");
  AgentRun run = Agent({"-LaunchTorvexUtilityAppx"});
  EXPECT_EQ(run.exitCode, 0u) << run.errors;
  EXPECT_EQ(run.Messages(), (std::vector<std::string>{kPreloaded, kTrue}));
  auto apps = Running(L"Utility.exe");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].imagePath, kUtilityProgram);
  EXPECT_EQ(apps[0].userName, L"alice");
  EXPECT_EQ(apps[0].sessionId, 1u);
  // The activation manager puts a blank between the program and the argument text, whose own
  // leading blank stays.
  EXPECT_EQ(RecordedCommandLine("Utility", apps[0].pid), "\"" + Utf8FromWide(kUtilityProgram) + "\"  /NOTSHOWOSD");

  // With the app running, activation finds that instance and starts no second one.
  AgentRun again = Agent({"/LaunchTorvexUtilityAppx", "ignored"});
  EXPECT_EQ(again.exitCode, 0u);
  EXPECT_EQ(again.Messages(), (std::vector<std::string>{kPreloaded, kTrue}));
  EXPECT_EQ(Running(L"Utility.exe").size(), 1u);
}

// The agent as the service finds it: the signed PE image installed under a folder with a blank,
// started with the quoted path and the activation command.
TEST_F(ActivationCommandTest, SignedImageInstalledBesideTheServiceActivatesTheApp) {
  const std::wstring agent = L"C:\\Program Files\\Torvex Utility\\Quenlet.exe";
  InstallCopy(agent, TORVEX_AGENT_IMAGE);
  WinsimOk({"cert", "add-root", std::string(WINSIM_TEST_PKI_DIR) + "/root.pem"});
  EXPECT_EQ(Winsim({"trust", "verify", "C:\\Program Files\\Torvex Utility\\Quenlet.exe"}).status, 0);

  Install("alice");
  AgentRun run = AgentWithCommandLine(agent, L"\"" + agent + L"\" -LaunchTorvexUtilityAppx");
  EXPECT_EQ(run.exitCode, 0u) << run.errors;
  EXPECT_EQ(run.Messages(), (std::vector<std::string>{kPreloaded, kTrue}));
  auto apps = Running(L"Utility.exe");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].sessionId, 1u);
}

TEST_F(ActivationCommandTest, PackageNotInstalledForTheUserEndsWithFourWithoutActivating) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
  } cases[] = {
      {"nobody has it", [] {}},
      {"only bob has it", [&] { Install("bob"); }},
      {"alice's was removed", [&] {
         Install("alice");
         WinsimOk({"package", "remove", "--user", "alice", kFamily});
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    // COM is not touched: a fault there would show in the log.
    AgentRun run = Agent({"-LaunchTorvexUtilityAppx"}, "alice", {{"WINSIM_FAULTS", "CoInitializeEx=0x8000ffff"}});
    EXPECT_EQ(run.exitCode, 4u);
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.Messages(), std::vector<std::string>{kNotPreloaded});
    EXPECT_TRUE(Running(L"Utility.exe").empty());
  }
}

// Each failing step: its ERROR line and "False" three times, two pauses of 30 s (300 ms at the
// scale of 100), and the last HRESULT as the exit code, its 32 bits as they are.
TEST_F(ActivationCommandTest, ActivationFailingEveryTimeEndsWithTheLastHresult) {
  struct Case {
    const char* what;
    std::vector<std::string> installOptions;
    std::string faults;
    std::string error;
    uint32_t hr;
  } cases[] = {
      {"CoInitializeEx", {}, "CoInitializeEx=0x8007000e",
       "[ERROR] ActivateTorvexUtilityAppx CoInitializeEx() return fail! hr is:0x8007000e", 0x8007000Eu},
      {"CoCreateInstance", {}, "CoCreateInstance=0x80040154",
       "[ERROR] ActivateTorvexUtilityAppx CoCreateInstance() return fail! hr is:0x80040154", 0x80040154u},
      {"ActivateApplication", {}, "ActivateApplication=0x80004005",
       "[ERROR] ActivateTorvexUtilityAppx ActivateApplication() return fail! hr is:0x80004005", 0x80004005u},
      // No fault: the package has no app of the id that the agent activates.
      {"no such app in the package", {"--app", "Other"}, "",
       "[ERROR] ActivateTorvexUtilityAppx ActivateApplication() return fail! hr is:0x80270254", 0x80270254u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Install("alice", c.installOptions);
    std::map<std::string, std::string> env = {{"WINSIM_TIME_SCALE", "100"}};
    if (!c.faults.empty()) env["WINSIM_FAULTS"] = c.faults;
    AgentRun run = Agent({"-LaunchTorvexUtilityAppx"}, "alice", env);
    EXPECT_EQ(run.exitCode, c.hr);
    EXPECT_EQ(run.status, static_cast<int>(c.hr & 0xFF));
    EXPECT_EQ(run.Messages(), (std::vector<std::string>{kPreloaded, c.error, kFalse, c.error, kFalse, c.error, kFalse}));
    if (run.entries.size() == 7) {
      // The pauses fall between a "False" line and the next attempt.
      for (size_t falseLine : {2u, 4u}) {
        long long pause = run.entries[falseLine + 1].ms - run.entries[falseLine].ms;
        EXPECT_GE(pause, 295) << "30 s scaled by 100";
        EXPECT_LT(pause, 3000) << "one pause per failed attempt";
      }
    }
    EXPECT_TRUE(Running(L"Utility.exe").empty());
    WinsimOk({"package", "remove", "--user", "alice", kFamily});
  }
}

TEST_F(ActivationCommandTest, ALaterAttemptThatSucceedsEndsWithZero) {
  Install("alice");
  const std::string error = "[ERROR] ActivateTorvexUtilityAppx ActivateApplication() return fail! hr is:0x80004005";
  AgentRun once = Agent({"-LaunchTorvexUtilityAppx"}, "alice",
                        {{"WINSIM_TIME_SCALE", "100"}, {"WINSIM_FAULTS", "ActivateApplication=0x80004005@1"}});
  EXPECT_EQ(once.exitCode, 0u);
  EXPECT_EQ(once.Messages(), (std::vector<std::string>{kPreloaded, error, kFalse, kTrue}));
  EXPECT_EQ(Running(L"Utility.exe").size(), 1u);
  for (auto& p : Running(L"Utility.exe")) ASSERT_TRUE(EndProcess(p.pid));

  AgentRun twice = Agent({"-LaunchTorvexUtilityAppx"}, "alice",
                         {{"WINSIM_TIME_SCALE", "100"}, {"WINSIM_FAULTS", "ActivateApplication=0x80004005*2"}});
  EXPECT_EQ(twice.exitCode, 0u);
  EXPECT_EQ(twice.Messages(), (std::vector<std::string>{kPreloaded, error, kFalse, error, kFalse, kTrue}));
  EXPECT_EQ(Running(L"Utility.exe").size(), 1u);
}

}  // namespace
}  // namespace winsim::test
