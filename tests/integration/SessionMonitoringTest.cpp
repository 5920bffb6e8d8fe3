// The service's session monitoring as someone trying it meets it: the real service program runs
// under the control manager with time scaled, users sign in and out with `winsim session`, the
// bookkeeping is set with `winsim reg`, faults are injected into the service process, and what
// happened is read from the service's log and the registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "CheckRuns.h"
#include "UtilityServiceRun.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const std::wstring kName = L"TorvexUtilityService";
// Computed outside the product: hashlib.md5(("PalverOrchind" + name).encode("utf-16-le")).
const std::string kAliceMD5 = "85a6851cea42e759834ae49f1fcb9cdf";
const std::string kUserKeys = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Vantorel\\";
const std::string kVersionKey = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

const std::string kStarted = "[INFO] CUtilityService::OnStart enter.";
const std::string kLoggedOn = "[INFO] ::OnServiceControlHandle User Logged on";
const std::string kLoggedOff = "[INFO] ::OnServiceControlHandle User Logged off";
const std::string kScheduled = "[INFO] ::OnServiceControlHandle schedule user logon delay timer for 120s";
const std::string kNoConsole =
    "[INFO] GetCurrentUserNameAndSessionId WTSGetActiveConsoleSessionId() return fail, error: 0xffffffff";
const std::string kLogonFailed = "[ERROR] ::OnServiceControlHandle GetCurrentUserNameAndMD5() return fail!";

std::string AliceLines() {
  return "[INFO] GetCurrentUserNameAndMD5 the user name is \"alice\", MD5 is \"" + kAliceMD5 + "\"";
}
std::string AliceCurrent() {
  return "[INFO] ::OnServiceControlHandle current user name: \"alice\", MD5: \"" + kAliceMD5 + "\"";
}

class SessionMonitoringTest : public UtilityServiceRunTest {
 protected:
  void SetUp() override {
    UtilityServiceRunTest::SetUp();
    for (const char* name : {"alice", "bob"}) AddUser(name);
    SetLogLevel(LOG_LEVEL_INFO);
    ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
  }

  // The service with thread-pool delays passing `scale` times faster.
  void Start(int scale, const std::string& faults = "") {
    std::map<std::string, std::string> env = {{"WINSIM_TIME_SCALE", std::to_string(scale)}};
    if (!faults.empty()) env["WINSIM_FAULTS"] = faults;
    StartService(env);
  }
  void Stop() {
    auto r = Winsim({"service", "stop", "TorvexUtilityService"});
    ASSERT_EQ(r.status, 0) << r.errors;
    ASSERT_TRUE(WaitFor(kName, SERVICE_STOPPED));
  }
  void Reg(const std::vector<std::string>& args) {
    std::vector<std::string> all{"reg"};
    all.insert(all.end(), args.begin(), args.end());
    auto r = Winsim(all);
    ASSERT_EQ(r.status, 0) << r.errors;
  }
  void SetCheckCount(const std::string& md5, int value) {
    Reg({"add", kUserKeys + md5, "/v", "CheckCount", "/t", "REG_DWORD", "/d", std::to_string(value), "/f"});
  }
  void SetStoredBuild(const std::string& md5, const std::string& build) {
    Reg({"add", kUserKeys + md5, "/v", "OSBuildNumber", "/t", "REG_SZ", "/d", build, "/f"});
  }
  void SetCurrentBuild(const std::string& build) {
    Reg({"add", kVersionKey, "/v", "CurrentBuildNumber", "/t", "REG_SZ", "/d", build, "/f"});
  }
  // `winsim reg query KEY /v NAME`'s output, or "" when the value (or key) is missing.
  std::string Query(const std::string& key, const std::string& value) {
    auto r = Winsim({"reg", "query", key, "/v", value});
    return r.status == 0 ? r.output : "";
  }
  bool KeyExists(const std::string& key) { return Winsim({"reg", "query", key}).status == 0; }

  // The messages logged since the mark.
  std::vector<std::string> Since(size_t mark) {
    auto all = ServiceLogMessages();
    return std::vector<std::string>(all.begin() + static_cast<long>(std::min(mark, all.size())), all.end());
  }
  size_t Mark() { return ServiceLogMessages().size(); }
  int CountOf(const std::string& prefix) {
    auto all = ServiceLogMessages();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; }));
  }
  // Polls the log (bounded, real time) until `count` messages begin with the prefix.
  bool WaitForMessage(const std::string& prefix, int count = 1) {
    return Eventually([&] { return CountOf(prefix) >= count; });
  }
  static void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  static const LogEntry* Last(const std::vector<LogEntry>& entries, const std::string& prefix) {
    const LogEntry* found = nullptr;
    for (const auto& e : entries) {
      if (e.message.rfind(prefix, 0) == 0) found = &e;
    }
    return found;
  }
};

TEST_F(SessionMonitoringTest, FirstLogonOfANewUser) {
  Start(120);  // 120 s pass in one second
  Session({"logon", "alice"});
  ASSERT_TRUE(WaitForMessage(kCheckClosed));
  auto entries = ServiceLogEntries();
  // The CheckCount read fails silently: no "is" line.
  EXPECT_EQ(SummarizeCheckRuns(MessagesOf(entries)), (std::vector<std::string>{kStarted, kLoggedOn, AliceLines(), AliceCurrent(), kScheduled,
                                                           kCheckOpened, AliceLines(), CheckedUser("alice", kAliceMD5)}));
  const LogEntry* scheduled = Last(entries, kScheduled);
  const LogEntry* fired = Last(entries, kCheckOpened);
  ASSERT_TRUE(scheduled && fired);
  EXPECT_GE(fired->ms - scheduled->ms, 990) << "120 scaled seconds after the logon";
  // The logon created no key (its CheckCount read failed silently); the check created it, due, and
  // an activation that did not succeed leaves it due.
  EXPECT_NE(Query(kUserKeys + kAliceMD5, "CheckCount").find("0x0"), std::string::npos);
}

TEST_F(SessionMonitoringTest, LogonsDecideFromTheBookkeeping) {
  Start(600);  // 120 s pass in 200 ms
  const std::string prefix = "[INFO] ::OnServiceControlHandle " + kAliceMD5;
  const std::string stored = prefix + "\\OSBuildNumber is ";
  const std::string current = "[INFO] ::OnServiceControlHandle Current OS Build Number is ";
  struct Case {
    const char* what;
    std::function<void()> prepare;
    std::vector<std::string> middle;  // between the user's lines and the arming
    bool armed;
    std::string checkCountAfter;      // as `reg query` shows it, "" for missing
    std::string buildAfter;
  };
  const std::vector<Case> cases = {
      {"due",
       [&] {
         SetCheckCount(kAliceMD5, 0);
         SetStoredBuild(kAliceMD5, "19045");
       },
       {prefix + "\\CheckCount is 0"}, true, "0x0", "19045"},
      {"done, same build", [&] { SetCheckCount(kAliceMD5, 1); },
       {prefix + "\\CheckCount is 1", stored + "19045", current + "19045"}, false, "0x1", "19045"},
      {"done, the OS was updated", [&] { SetCurrentBuild("22631"); },
       {prefix + "\\CheckCount is 1", stored + "19045", current + "22631",
        "[INFO] ::OnServiceControlHandle set " + kAliceMD5 + "\\CheckCount to 0"},
       true, "0x0", "22631"},
      {"done, stored build missing",
       [&] {
         SetCheckCount(kAliceMD5, 1);
         Reg({"delete", kUserKeys + kAliceMD5, "/v", "OSBuildNumber", "/f"});
       },
       {prefix + "\\CheckCount is 1",
        "[ERROR] ::OnServiceControlHandle GetRegValueOfStringType(REG_OS_BUILD_NUMBER_VALUE) return fail!"},
       false, "0x1", ""},
      // The Windows build cannot be read: nothing is rewritten, reset or armed.
      {"done, current build unreadable",
       [&] {
         SetStoredBuild(kAliceMD5, "19045");
         Reg({"delete", kVersionKey, "/v", "CurrentBuildNumber", "/f"});
       },
       {prefix + "\\CheckCount is 1", "[ERROR] ::OnServiceControlHandle GetRegValueOfStringType() return fail!",
        "[ERROR] ::OnServiceControlHandle Current OS Build Number is EMPTY, the check state is left as it is!"},
       false, "0x1", "19045"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.prepare();
    size_t mark = Mark();
    Session({"logon", "alice"});
    if (c.armed) {
      ASSERT_TRUE(WaitForMessage(kCheckClosed, CountOf(kCheckClosed) + 1));
    } else {
      Pause(1000);  // five times the delay
    }
    std::vector<std::string> expected = {kLoggedOn, AliceLines(), AliceCurrent()};
    expected.insert(expected.end(), c.middle.begin(), c.middle.end());
    if (c.armed) expected.insert(expected.end(), {kScheduled, kCheckOpened, AliceLines(), CheckedUser("alice", kAliceMD5)});
    EXPECT_EQ(SummarizeCheckRuns(Since(mark)), expected);
    std::string count = Query(kUserKeys + kAliceMD5, "CheckCount");
    std::string build = Query(kUserKeys + kAliceMD5, "OSBuildNumber");
    EXPECT_NE(count.find(c.checkCountAfter), std::string::npos) << count;
    if (c.buildAfter.empty()) {
      EXPECT_EQ(build, "");
    } else {
      EXPECT_NE(build.find("REG_SZ    " + c.buildAfter), std::string::npos) << build;
    }
    Session({"logoff", "alice"});
  }
}

// The timer could not be created when the service started: logons still name the user and keep
// the bookkeeping, and nothing is ever scheduled.
TEST_F(SessionMonitoringTest, WithoutATimerTheBookkeepingIsStillKept) {
  SetCheckCount(kAliceMD5, 1);
  SetStoredBuild(kAliceMD5, "19045");
  SetCurrentBuild("22631");
  Start(600, "CreateThreadpoolTimer=8");
  Session({"logon", "alice"});
  Pause(1000);
  EXPECT_EQ(SummarizeCheckRuns(ServiceLogMessages()),
            (std::vector<std::string>{
                "[ERROR] CUtilityService CreateThreadpoolTimer() return failed! error: 8",
                kStarted, kLoggedOn, AliceLines(), AliceCurrent(),
                "[INFO] ::OnServiceControlHandle " + kAliceMD5 + "\\CheckCount is 1",
                "[INFO] ::OnServiceControlHandle " + kAliceMD5 + "\\OSBuildNumber is 19045",
                "[INFO] ::OnServiceControlHandle Current OS Build Number is 22631",
                "[INFO] ::OnServiceControlHandle set " + kAliceMD5 + "\\CheckCount to 0",
            }));
  EXPECT_NE(Query(kUserKeys + kAliceMD5, "CheckCount").find("0x0"), std::string::npos);
  EXPECT_NE(Query(kUserKeys + kAliceMD5, "OSBuildNumber").find("22631"), std::string::npos);
}

// A second logon within the delay re-arms the timer: one check, 120 s after the second logon.
TEST_F(SessionMonitoringTest, TwoLogonsWithinTheDelayGiveOneCheck) {
  Start(120);
  Session({"logon", "alice"});
  Pause(500);
  Session({"logon", "bob", "--remote"});  // handled as the console's: alice is the user
  ASSERT_TRUE(WaitForMessage(kCheckClosed));
  Pause(1500);
  auto entries = ServiceLogEntries();
  EXPECT_EQ(SummarizeCheckRuns(MessagesOf(entries)), (std::vector<std::string>{kStarted, kLoggedOn, AliceLines(), AliceCurrent(), kScheduled,
                                                           kLoggedOn, AliceLines(), AliceCurrent(), kScheduled,
                                                           kCheckOpened, AliceLines(), CheckedUser("alice", kAliceMD5)}));
  const LogEntry* second = Last(entries, kScheduled);
  const LogEntry* fired = Last(entries, kCheckOpened);
  ASSERT_TRUE(second && fired);
  EXPECT_GE(fired->ms - second->ms, 990) << "120 scaled seconds after the second logon";
}

TEST_F(SessionMonitoringTest, LogoffCancelsTheCheckAlsoFromARemoteSession) {
  Start(120);
  // The console's own logoff.
  Session({"logon", "alice"});
  Session({"logoff", "alice"});
  // A remote session's logoff cancels the console user's check too.
  Session({"logon", "alice"});
  Session({"logon", "bob", "--remote"});
  Session({"logoff", "bob"});
  Pause(2500);
  EXPECT_EQ(SummarizeCheckRuns(ServiceLogMessages()), (std::vector<std::string>{
                                      kStarted,
                                      kLoggedOn, AliceLines(), AliceCurrent(), kScheduled,
                                      kLoggedOff,
                                      kLoggedOn, AliceLines(), AliceCurrent(), kScheduled,
                                      kLoggedOn, AliceLines(), AliceCurrent(), kScheduled,
                                      kLoggedOff,
                                  }));
}

// Lock and unlock leave the armed check alone; console changes log nothing.
TEST_F(SessionMonitoringTest, LockUnlockAndConsoleChanges) {
  Start(60);  // 120 s pass in two seconds
  Session({"logon", "alice"});
  Pause(1000);
  Session({"lock", "alice"});
  Session({"unlock", "alice"});
  ASSERT_TRUE(WaitForMessage(kCheckClosed));
  auto entries = ServiceLogEntries();
  EXPECT_EQ(SummarizeCheckRuns(MessagesOf(entries)), (std::vector<std::string>{
                                     kStarted, kLoggedOn, AliceLines(), AliceCurrent(), kScheduled,
                                     "[INFO] ::OnServiceControlHandle User Session Locked",
                                     "[INFO] ::OnServiceControlHandle User Session Unlocked",
                                     "[INFO] ::OnServiceControlHandle current user name: \"alice\", session id: 1",
                                     kCheckOpened, AliceLines(), CheckedUser("alice", kAliceMD5),
                                 }));
  const LogEntry* scheduled = Last(entries, kScheduled);
  const LogEntry* fired = Last(entries, kCheckOpened);
  ASSERT_TRUE(scheduled && fired);
  // Due when the logon said, not re-armed by the unlock a second later.
  EXPECT_GE(fired->ms - scheduled->ms, 1990);
  EXPECT_LT(fired->ms - scheduled->ms, 2900);
  EXPECT_NE(Query(kUserKeys + kAliceMD5, "CheckCount").find("0x0"), std::string::npos);

  Session({"logoff", "alice"});
  size_t mark = Mark();
  Session({"console", "detach"});
  Session({"console", "attach"});
  EXPECT_EQ(SummarizeCheckRuns(Since(mark)), std::vector<std::string>{});
}

TEST_F(SessionMonitoringTest, NobodyAtTheConsoleArmsNothing) {
  Start(600);
  // A console session where nobody is signed in.
  Session({"logon", "bob", "--remote"});
  Session({"logoff", "bob"});
  // No console session at all.
  Session({"console", "detach"});
  Session({"logon", "bob", "--remote"});
  Pause(1000);
  EXPECT_EQ(SummarizeCheckRuns(ServiceLogMessages()), (std::vector<std::string>{
                                      kStarted,
                                      kLoggedOn,
                                      "[ERROR] GetCurrentUserNameAndMD5 The current user name is EMPTY !!!",
                                      kLogonFailed,
                                      kLoggedOff,
                                      kLoggedOn,
                                      kNoConsole,
                                      "[ERROR] GetCurrentUserNameAndMD5 GetCurrentUserNameAndSessionId() return fail!",
                                      kLogonFailed,
                                  }));
}

// Each failure point of the user's hash, injected into the service process: its line, the
// logon's failure line, and no check.
TEST_F(SessionMonitoringTest, HashFailuresInTheServiceAreLoggedAndArmNothing) {
  struct Case {
    const char* faults;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"BCryptOpenAlgorithmProvider=0xC0000225", "[ERROR] GetMD5 BCryptOpenAlgorithmProvider() return fail!"},
      {"BCryptGetProperty=0xC0000023@2", "[ERROR] GetMD5 BCryptGetProperty() return fail!"},
      {"HeapAlloc=8@1", "[ERROR] GetMD5 HeapAlloc() return fail!"},
      {"BCryptCreateHash=0xC0000017", "[ERROR] GetMD5 BCryptCreateHash() return fail!"},
      {"BCryptHashData=0xC0000008", "[ERROR] GetMD5 BCryptHashData() return fail!"},
      {"BCryptFinishHash=0xC000000D", "[ERROR] GetMD5 BCryptFinishHash() return fail!"},
      {"WTSQuerySessionInformationW=8",
       "[ERROR] GetCurrentUserNameAndMD5 GetCurrentUserNameAndSessionId() return fail!"},
  };
  Session({"logon", "alice"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    fs::remove_all(LogFolder());
    Start(600, c.faults);
    Session({"logon", "bob", "--remote"});
    Pause(1000);
    Stop();
    auto messages = ServiceLogMessages();
    auto from = std::find(messages.begin(), messages.end(), kLoggedOn);
    ASSERT_NE(from, messages.end());
    EXPECT_EQ(std::vector<std::string>(from, messages.end()),
              (std::vector<std::string>{kLoggedOn, c.line, kLogonFailed, "[INFO] CUtilityService::OnStop enter."}));
    Session({"logoff", "bob"});
  }
}

}  // namespace
}  // namespace winsim::test
