// The companion-app check in the real service, under the control manager with time scaled: what a
// user at the console meets 120 s after the logon, read from the service's log and the registry.
// The agent's own road (activation) has its tests with the agent; here the check needs none.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "CheckRuns.h"
#include "UtilityServiceRun.h"
#include "core/identity.h"
#include "core/strings.h"
#include "process/process.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const std::string kAliceMD5 = "85a6851cea42e759834ae49f1fcb9cdf";
const std::string kUserKeys = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Vantorel\\";
const std::string kName = "::UtilityPackageCheckDelayTimerCallback";

class CompanionCheckTest : public UtilityServiceRunTest {
 protected:
  void SetUp() override {
    UtilityServiceRunTest::SetUp();
    for (const char* name : {"alice", "bob"}) AddUser(name);
    SetLogLevel(LOG_LEVEL_INFO);
    ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
  }
  std::string Query(const std::string& key, const std::string& value) {
    auto r = Winsim({"reg", "query", key, "/v", value});
    return r.status == 0 ? r.output : "";
  }
  int Count(const std::string& message) {
    auto all = ServiceLogMessages();
    return static_cast<int>(std::count(all.begin(), all.end(), message));
  }
  bool WaitForCheck() {
    return Eventually([&] {
      auto all = ServiceLogMessages();
      return std::any_of(all.begin(), all.end(), [](const std::string& m) { return m.rfind(kCheckClosed, 0) == 0; });
    });
  }
  // The companion app's stand-in, running as the user in the session.
  void StartApp(const std::wstring& user, uint32_t session) {
    std::wstring image = L"C:\\Program Files\\WindowsApps\\TorvexUtility\\Utility.exe";
    auto identity = UserIdentity(user, session);
    ASSERT_TRUE(identity.has_value());
    SpawnRequest request;
    request.linuxPath = BinPath("Utility.exe");
    request.windowsImage = image;
    request.commandLine = QuoteArgument(image);
    request.identity = *identity;
    request.windowsEnv = DefaultWindowsEnvironment(*identity);
    request.detach = true;
    pid_t pid = SpawnProcess(request);
    ASSERT_GT(pid, 0);
    m_started.push_back(pid);
    std::string record = MachinePath("drives/c/ProgramData/Utility/" + std::to_string(pid) + ".cmdline");
    ASSERT_TRUE(Eventually([&] { return fs::exists(record); }));
  }

};

// The app already runs in alice's console session when the check comes: the check is done, with
// no agent, and her next logon arms nothing.
TEST_F(CompanionCheckTest, AppAlreadyRunningMarksTheCheckDoneWithoutTheAgent) {
  StartService({{"WINSIM_TIME_SCALE", "30"}});  // 120 s pass in four seconds, time to start the app
  Session({"logon", "alice"});
  StartApp(L"alice", 1);
  ASSERT_TRUE(WaitForCheck());
  EXPECT_EQ(Count("[INFO] " + kName + " The \"Utility.exe\" process is exist: True."), 1);
  EXPECT_EQ(Count("[INFO] " + kName + " set " + kAliceMD5 + "\\CheckCount to 1"), 1);
  EXPECT_EQ(Count("[INFO] Launch Utility Quenlet exe were  signature  "), 0);
  EXPECT_EQ(Count("[INFO] Launch Utility   Quenlet not signature exe  "), 0);
  EXPECT_NE(Query(kUserKeys + kAliceMD5, "CheckCount").find("0x1"), std::string::npos);

  Session({"logoff", "alice"});
  Session({"logon", "alice"});
  std::this_thread::sleep_for(std::chrono::milliseconds(5000));  // past the scaled check delay
  EXPECT_EQ(Count("[INFO] ::OnServiceControlHandle schedule user logon delay timer for 120s"), 1);
}

}  // namespace
}  // namespace winsim::test
