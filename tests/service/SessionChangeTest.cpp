// The service object's session handling and the package folder notification, driven the way the
// control manager and the watcher drive them: the bookkeeping decisions of a logon with every
// line, what lock, unlock, shutdown and other events leave alone, a logoff against an armed timer,
// a watcher and a callback waiting for the mutex, and the notification's re-arming.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CheckRuns.h"
#include "LoggingTest.h"
#include "common/Log.h"
#include "common/Registry.h"
#include "core/fault.h"
#include "core/strings.h"
#include "core/timescale.h"
#include "files/dirwatch.h"
#include "monitor/DirectoryWatcher.h"
#include "service/UtilityService.h"
#include "sessions/sessions.h"
#include "threadpool/threadpool.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const char kFamilyName[] = "R3185527.TorvexUtility_7mvd2kx9qhe3b";
// Computed outside the product: hashlib.md5(("PalverOrchind" + name).encode("utf-16-le")).
const std::string kAliceMD5 = "85a6851cea42e759834ae49f1fcb9cdf";
const std::string kBobMD5 = "b7e2c15438a75e7f65233926b15a2995";
const std::wstring kUserKeys = L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\";
const std::wstring kVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

const std::string kLoggedOn = "[INFO] ::OnServiceControlHandle User Logged on";
const std::string kScheduled = "[INFO] ::OnServiceControlHandle schedule user logon delay timer for 120s";
const std::string kNotified = "[INFO] ::DirectoryChangesNotify directory watcher notify is received, schedule a delay timer for 30s";

std::string UserLines(const std::string& name, const std::string& md5) {
  return "[INFO] GetCurrentUserNameAndMD5 the user name is \"" + name + "\", MD5 is \"" + md5 + "\"";
}
std::string CurrentUser(const std::string& name, const std::string& md5) {
  return "[INFO] ::OnServiceControlHandle current user name: \"" + name + "\", MD5: \"" + md5 + "\"";
}
std::string Action(int action) {
  return "[INFO] DirectoryWatcher::ProcessDirectoryChanges schedule directory watcher notify timer, action: 0x" +
         std::to_string(action);
}

// Reaches the protected hook, as the framework's control handler does.
class TestableUtilityService : public CUtilityService {
 public:
  using CUtilityService::OnServiceControlHandle;
  PTP_TIMER Timer() { return m_pCheckDelayTimer.load(); }
  bool Armed() {
    PTP_TIMER timer = Timer();
    return timer != nullptr && IsThreadpoolTimerSet(timer);
  }
};

class SessionChangeTest : public LoggingTest {
 protected:
  void SetUp() override {
    LoggingTest::SetUp();
    RunAsSystem();
    SetLevel(LOG_LEVEL_INFO);
    for (const char* name : {"alice", "bob"}) AddUser(name);
  }

  // A user signs in and the service hears of it, as from the control manager.
  void Logon(TestableUtilityService& service, const std::wstring& name, bool remote = false) {
    auto r = sessions::Logon(name, remote);
    ASSERT_TRUE(r.ok) << r.error;
    Deliver(service, WTS_SESSION_LOGON, r.sessionId);
  }
  void Logoff(TestableUtilityService& service, const std::wstring& name) {
    auto r = sessions::Logoff(name);
    ASSERT_TRUE(r.ok) << r.error;
    Deliver(service, WTS_SESSION_LOGOFF, r.sessionId);
  }
  void Deliver(TestableUtilityService& service, DWORD eventType, DWORD sessionId = 1,
               DWORD control = SERVICE_CONTROL_SESSIONCHANGE) {
    WTSSESSION_NOTIFICATION notification = {sizeof(notification), sessionId};
    EXPECT_EQ(service.OnServiceControlHandle(control, eventType, &notification, &service), 0u);
  }

  // The per-user bookkeeping, written and read as the administrator would see it.
  void SetCheckCount(const std::string& md5, DWORD value) {
    std::wstring key = kUserKeys + WideFromUtf8(md5);
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, key.c_str()));
    ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, key.c_str(), L"CheckCount", value));
  }
  void SetStoredBuild(const std::string& md5, const std::wstring& build) {
    std::wstring key = kUserKeys + WideFromUtf8(md5);
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, key.c_str()));
    ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, key, L"OSBuildNumber", build));
  }
  std::optional<DWORD> CheckCount(const std::string& md5) {
    DWORD value = 0;
    if (!GetKeyValueInt(HKEY_LOCAL_MACHINE, kUserKeys + WideFromUtf8(md5), L"CheckCount", &value)) return std::nullopt;
    return value;
  }
  std::optional<std::wstring> StoredBuild(const std::string& md5) {
    std::wstring build;
    if (!GetRegValueOfStringType(HKEY_LOCAL_MACHINE, kUserKeys + WideFromUtf8(md5), L"OSBuildNumber", build)) {
      return std::nullopt;
    }
    return build;
  }
  // The keys under the main service key: "Logs" alone while no user's bookkeeping exists.
  std::vector<std::wstring> MainKeyChildren() {
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vantorel", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
      return names;
    }
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
      DWORD length = ARRAYSIZE(name);
      if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      names.push_back(name);
    }
    RegCloseKey(key);
    return names;
  }
  void SetCurrentBuild(const std::wstring& build) {
    ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, kVersionKey, L"CurrentBuildNumber", build));
  }

  std::string PackagesFolder(const std::string& user) {
    return MachinePath("drives/c/Users/" + user + "/AppData/Local/Packages");
  }
  std::wstring PackagesPath(const std::wstring& user) { return L"C:\\Users\\" + user + L"\\AppData\\Local\\Packages"; }
  void WaitUntilWatching() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (OpenDirectoryWatchCount() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(OpenDirectoryWatchCount(), 1u);
  }
  // Polls the log (bounded, real time) until a message begins with the prefix.
  bool WaitForMessage(const std::string& prefix, int count = 1, int timeoutMs = 60000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (CountOf(prefix) >= count) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  int CountOf(const std::string& prefix) {
    int n = 0;
    for (const auto& m : LogMessages()) n += m.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }
  const LogEntry* Find(const std::vector<LogEntry>& entries, const std::string& prefix) {
    for (const auto& e : entries) {
      if (e.message.rfind(prefix, 0) == 0) return &e;
    }
    return nullptr;
  }
};

// Runs the function on a thread of its own and tells whether it returned in time. A call that
// hangs (a deadlock) cannot be cleaned up after: the test program ends at once with the failure.
bool ReturnsWithin(std::chrono::seconds limit, std::function<void()> function, const char* what) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([function, done] {
    function();
    done->set_value();
  }).detach();
  if (finished.wait_for(limit) == std::future_status::ready) return true;
  std::fprintf(stderr, "%s did not return within %lld s: deadlock\n", what, static_cast<long long>(limit.count()));
  std::fflush(stderr);
  std::_Exit(1);
}

TEST_F(SessionChangeTest, LogonDecidesFromTheBookkeeping) {
  struct Case {
    const char* what;
    std::optional<DWORD> checkCount;             // none: no key at all
    std::optional<std::wstring> storedBuild;     // none: no value
    std::wstring currentBuild;                   // "CurrentBuildNumber"
    std::vector<std::pair<const char*, int>> faults;  // function, failing call (RegSetValueExW, RegGetValueW)
    std::vector<std::string> middle;             // lines between the user's lines and the timer's
    bool armed;
    std::optional<DWORD> checkCountAfter;
    std::optional<std::wstring> storedBuildAfter;
  };
  const std::string is0 = "[INFO] ::OnServiceControlHandle " + kAliceMD5 + "\\CheckCount is 0";
  const std::string is1 = "[INFO] ::OnServiceControlHandle " + kAliceMD5 + "\\CheckCount is 1";
  auto stored = [](const std::string& b) {
    return "[INFO] ::OnServiceControlHandle " + kAliceMD5 + "\\OSBuildNumber is " + b;
  };
  auto current = [](const std::string& b) { return "[INFO] ::OnServiceControlHandle Current OS Build Number is " + b; };
  const std::string reset = "[INFO] ::OnServiceControlHandle set " + kAliceMD5 + "\\CheckCount to 0";
  const std::vector<Case> cases = {
      {"first logon: no key", std::nullopt, std::nullopt, L"19045", {}, {}, true, std::nullopt, std::nullopt},
      {"key without CheckCount", std::nullopt, L"19045", L"19045", {}, {}, true, std::nullopt, L"19045"},
      {"due", 0, L"19045", L"19045", {}, {is0}, true, 0, L"19045"},
      {"done, same build", 1, L"19045", L"19045", {}, {is1, stored("19045"), current("19045")}, false, 1, L"19045"},
      {"any nonzero count is done", 7, L"19045", L"19045", {},
       {"[INFO] ::OnServiceControlHandle " + kAliceMD5 + "\\CheckCount is 7", stored("19045"), current("19045")},
       false, 7, L"19045"},
      {"done, build changed", 1, L"19045", L"22631", {}, {is1, stored("19045"), current("22631"), reset}, true, 0,
       L"22631"},
      {"builds differ only in case", 1, L"10.0.b", L"10.0.B", {}, {is1, stored("10.0.b"), current("10.0.B"), reset},
       true, 0, L"10.0.B"},
      {"done, stored build missing", 1, std::nullopt, L"19045", {},
       {is1, "[ERROR] ::OnServiceControlHandle GetRegValueOfStringType(REG_OS_BUILD_NUMBER_VALUE) return fail!"}, false, 1,
       std::nullopt},
      // The current build unreadable: no update is taken for granted, nothing changes.
      {"done, current build unreadable", 1, L"19045", L"22631", {{"RegGetValueW", 1}},
       {is1, "[ERROR] ::OnServiceControlHandle GetRegValueOfStringType() return fail!",
        "[ERROR] ::OnServiceControlHandle Current OS Build Number is EMPTY, the check state is left as it is!"},
       false, 1, L"19045"},
      {"done, current build empty", 1, L"19045", L"", {},
       {is1, "[ERROR] ::OnServiceControlHandle Current OS Build Number is EMPTY, the check state is left as it is!"},
       false, 1, L"19045"},
      // Failed writes are logged and the timer is armed all the same.
      {"build write fails", 1, L"19045", L"22631", {{"RegSetValueExW", 1}},
       {is1, stored("19045"), current("22631"),
        "[ERROR] ::OnServiceControlHandle SetKeyValueOfStringType(REG_OS_BUILD_NUMBER_VALUE) return fail!", reset},
       true, 0, L"19045"},
      {"count write fails", 1, L"19045", L"22631", {{"RegSetValueExW", 2}},
       {is1, stored("19045"), current("22631"),
        "[ERROR] ::OnServiceControlHandle SetKeyValueInt(REG_CHECK_UTILITY_PROCESS_COUNT_VALUE) return fail!"},
       true, 1, L"22631"},
  };
  {
    auto r = sessions::Logon(L"alice", false);
    ASSERT_TRUE(r.ok) << r.error;
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClearFaults();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kUserKeys + WideFromUtf8(kAliceMD5)).c_str());
    fs::remove(LogFile());
    if (c.checkCount) SetCheckCount(kAliceMD5, *c.checkCount);
    if (c.storedBuild) SetStoredBuild(kAliceMD5, *c.storedBuild);
    SetCurrentBuild(c.currentBuild);
    for (auto& [function, call] : c.faults) InjectFault(function, ERROR_ACCESS_DENIED, -1, call);

    TestableUtilityService service;
    Deliver(service, WTS_SESSION_LOGON);
    ClearFaults();
    std::vector<std::string> expected = {kLoggedOn, UserLines("alice", kAliceMD5), CurrentUser("alice", kAliceMD5)};
    expected.insert(expected.end(), c.middle.begin(), c.middle.end());
    if (c.armed) expected.push_back(kScheduled);
    EXPECT_EQ(SummarizeCheckRuns(LogMessages()), expected);
    EXPECT_EQ(service.Armed(), c.armed);
    EXPECT_EQ(Utf8FromWide(service.GetCheckUserMD5()), kAliceMD5);
    EXPECT_EQ(CheckCount(kAliceMD5), c.checkCountAfter);
    EXPECT_EQ(StoredBuild(kAliceMD5), c.storedBuildAfter);
  }
  // The logon never creates the bookkeeping: the first case left the main key as it was.
}

TEST_F(SessionChangeTest, FirstLogonCreatesNoKey) {
  auto r = sessions::Logon(L"alice", false);
  ASSERT_TRUE(r.ok);
  TestableUtilityService service;
  Deliver(service, WTS_SESSION_LOGON);
  EXPECT_TRUE(service.Armed());
  EXPECT_EQ(MainKeyChildren(), std::vector<std::wstring>{L"Logs"});
}

// Nobody can be named at the console: the logon arms nothing and keeps the user the check was
// due for.
TEST_F(SessionChangeTest, LogonWithoutAConsoleUserArmsNothing) {
  TestableUtilityService service;
  service.SetCheckUserMD5(WideFromUtf8(kBobMD5));
  Logon(service, L"bob", true);  // the console stays empty
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               kLoggedOn,
                               "[ERROR] GetCurrentUserNameAndMD5 The current user name is EMPTY !!!",
                               "[ERROR] ::OnServiceControlHandle GetCurrentUserNameAndMD5() return fail!",
                           }));
  fs::remove(LogFile());
  Logoff(service, L"bob");
  ASSERT_TRUE(sessions::DetachConsole().ok);
  Logon(service, L"bob", true);
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               "[INFO] ::OnServiceControlHandle User Logged off",
                               kLoggedOn,
                               "[INFO] GetCurrentUserNameAndSessionId WTSGetActiveConsoleSessionId() return fail, error: 0xffffffff",
                               "[ERROR] GetCurrentUserNameAndMD5 GetCurrentUserNameAndSessionId() return fail!",
                               "[ERROR] ::OnServiceControlHandle GetCurrentUserNameAndMD5() return fail!",
                           }));
  EXPECT_FALSE(service.Armed());
  EXPECT_EQ(Utf8FromWide(service.GetCheckUserMD5()), kBobMD5);
  EXPECT_EQ(MainKeyChildren(), std::vector<std::wstring>{L"Logs"});
}

// Without a timer the logon still names the user and keeps the bookkeeping; nothing is armed.
TEST_F(SessionChangeTest, LogonWithoutATimerStillUpdatesTheUserAndTheRegistry) {
  SetCheckCount(kAliceMD5, 1);
  SetStoredBuild(kAliceMD5, L"19045");
  SetCurrentBuild(L"22631");
  InjectFault("CreateThreadpoolTimer", ERROR_NOT_ENOUGH_MEMORY);
  TestableUtilityService service;
  ClearFaults();
  ASSERT_EQ(service.Timer(), nullptr);
  fs::remove(LogFile());
  Logon(service, L"alice");
  std::vector<std::string> messages = LogMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "[INFO] ::OnServiceControlHandle set " + kAliceMD5 + "\\CheckCount to 0");
  EXPECT_EQ(Utf8FromWide(service.GetCheckUserMD5()), kAliceMD5);
  EXPECT_EQ(CheckCount(kAliceMD5), 0u);
  EXPECT_EQ(StoredBuild(kAliceMD5), L"22631");
}

TEST_F(SessionChangeTest, LockAndUnlockTouchNeitherTimerNorRegistry) {
  TestableUtilityService service;
  auto r = sessions::Logon(L"alice", false);
  ASSERT_TRUE(r.ok);
  // Not armed: they do not arm.
  Deliver(service, WTS_SESSION_LOCK);
  Deliver(service, WTS_SESSION_UNLOCK);
  EXPECT_FALSE(service.Armed());
  // Armed: they do not cancel.
  Deliver(service, WTS_SESSION_LOGON);
  ASSERT_TRUE(service.Armed());
  fs::remove(LogFile());
  Deliver(service, WTS_SESSION_LOCK);
  Deliver(service, WTS_SESSION_UNLOCK);
  EXPECT_TRUE(service.Armed());
  EXPECT_EQ(MainKeyChildren(), std::vector<std::wstring>{L"Logs"});
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               "[INFO] ::OnServiceControlHandle User Session Locked",
                               "[INFO] ::OnServiceControlHandle User Session Unlocked",
                               "[INFO] ::OnServiceControlHandle current user name: \"alice\", session id: 1",
                           }));
  // An unlock of a remote session names the console's user and session all the same.
  ASSERT_TRUE(sessions::Logon(L"bob", true).ok);
  fs::remove(LogFile());
  Deliver(service, WTS_SESSION_UNLOCK, 2);
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               "[INFO] ::OnServiceControlHandle User Session Unlocked",
                               "[INFO] ::OnServiceControlHandle current user name: \"alice\", session id: 1",
                           }));
  // With no console session only the query's line follows.
  ASSERT_TRUE(sessions::Logoff(L"alice").ok);
  ASSERT_TRUE(sessions::DetachConsole().ok);
  fs::remove(LogFile());
  Deliver(service, WTS_SESSION_UNLOCK, 2);
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               "[INFO] ::OnServiceControlHandle User Session Unlocked",
                               "[INFO] GetCurrentUserNameAndSessionId WTSGetActiveConsoleSessionId() return fail, error: 0xffffffff",
                           }));
}

TEST_F(SessionChangeTest, OtherControlsAndEventTypesDoNothing) {
  ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
  TestableUtilityService service;
  struct Case {
    DWORD control;
    DWORD eventType;
  };
  const std::vector<Case> cases = {
      {SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT},
      {SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_DISCONNECT},
      {SERVICE_CONTROL_SESSIONCHANGE, WTS_REMOTE_CONNECT},
      {SERVICE_CONTROL_SESSIONCHANGE, WTS_REMOTE_DISCONNECT},
      {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_REMOTE_CONTROL},
      {SERVICE_CONTROL_SESSIONCHANGE, 10},
      {SERVICE_CONTROL_SESSIONCHANGE, 0},
      {SERVICE_CONTROL_STOP, 0},
      {SERVICE_CONTROL_INTERROGATE, 0},
      {SERVICE_CONTROL_PAUSE, WTS_SESSION_LOGON},
      {SERVICE_CONTROL_CONTINUE, WTS_SESSION_LOGOFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.control) + "/" + std::to_string(c.eventType));
    Deliver(service, c.eventType, 1, c.control);
    EXPECT_EQ(SummarizeCheckRuns(LogMessages()), std::vector<std::string>{});
    EXPECT_FALSE(service.Armed());
  }
  // The mutex was released each time: a logon goes through.
  Deliver(service, WTS_SESSION_LOGON);
  EXPECT_TRUE(service.Armed());
}

// The shutdown only logs, spelt as it stands, and takes no lock: it returns while the mutex is held.
TEST_F(SessionChangeTest, ShutdownLogsWithoutTheMutex) {
  TestableUtilityService service;
  std::lock_guard<std::mutex> held(*service.m_pDirectoryWatcherMutex);
  EXPECT_TRUE(ReturnsWithin(std::chrono::seconds(30), [&] { Deliver(service, 0, 0, SERVICE_CONTROL_SHUTDOWN); },
                            "the shutdown"));
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), std::vector<std::string>{"[INFO] ::OnServiceControlHandle Syetem Shutdown"});
}

TEST_F(SessionChangeTest, NullMutexLogsForEverySessionChange) {
  ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
  TestableUtilityService service;
  std::mutex* mutex = service.m_pDirectoryWatcherMutex;
  service.m_pDirectoryWatcherMutex = nullptr;
  for (DWORD eventType : {WTS_SESSION_LOGON, WTS_SESSION_LOGOFF, WTS_SESSION_LOCK, WTS_SESSION_UNLOCK, WTS_CONSOLE_CONNECT}) {
    Deliver(service, eventType);
  }
  Deliver(service, 0, 0, SERVICE_CONTROL_SHUTDOWN);
  service.m_pDirectoryWatcherMutex = mutex;
  const std::string null = "[ERROR] ::OnServiceControlHandle m_pDirectoryWatcherMutex is NULL";
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{null, null, null, null, null,
                                                     "[INFO] ::OnServiceControlHandle Syetem Shutdown"}));
  EXPECT_FALSE(service.Armed());
}

TEST_F(SessionChangeTest, LogoffCancelsTheCheckAndDestroysTheWatcher) {
  SetTimeScale(600);  // 120 s pass in 200 ms
  fs::create_directories(PackagesFolder("alice"));
  TestableUtilityService service;
  Logon(service, L"alice");
  ASSERT_TRUE(service.Armed());
  service.m_hDirectoryWatcher =
      new DirectoryWatcher(PackagesPath(L"alice"), WideFromUtf8(kFamilyName),
                           [&service](std::wstring argument) { service.DirectoryChangesNotify(argument); });
  fs::remove(LogFile());
  Logoff(service, L"alice");
  EXPECT_FALSE(service.Armed());
  EXPECT_EQ(service.m_hDirectoryWatcher, nullptr);
  EXPECT_EQ(OpenDirectoryWatchCount(), 0u);
  // Well past the due time: no check ran.
  Sleep(120000);
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               "[INFO] ::OnServiceControlHandle User Logged off",
                               "[INFO] ::OnServiceControlHandle Destroy DirectoryWatcher",
                               "[INFO] DirectoryWatcher::UnWatch thread exit.",
                           }));
  // The user the check was due for and the registry stay as they were.
  EXPECT_EQ(Utf8FromWide(service.GetCheckUserMD5()), kAliceMD5);
  EXPECT_EQ(MainKeyChildren(), std::vector<std::wstring>{L"Logs"});
}

// A check callback that fired just before a logoff and waits for the mutex, while the logoff
// holds it and joins the watcher: the logoff must come back, and the waiting check must not run
// for the user who has gone. The watcher's notification in progress is what re-arms the timer
// while the logoff holds the mutex; it returns only once the callback it caused is waiting.
TEST_F(SessionChangeTest, LogoffWithACallbackWaitingForTheMutex) {
  SetTimeScale(3000);  // the notification's 30 s pass in 10 ms
  ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
  ASSERT_TRUE(sessions::Logon(L"bob", true).ok);
  fs::create_directories(PackagesFolder("alice"));
  TestableUtilityService service;
  PTP_TIMER timer = service.Timer();
  ASSERT_NE(timer, nullptr);

  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<bool> entered{false};
  std::atomic<bool> callbackWaited{false};
  service.m_hDirectoryWatcher = new DirectoryWatcher(
      PackagesPath(L"alice"), WideFromUtf8(kFamilyName), [&, opened](std::wstring argument) {
        entered = true;
        opened.wait();
        service.DirectoryChangesNotify(argument);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (threadpool::RunningTimerCallbacks(timer) == 0 && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        callbackWaited = threadpool::RunningTimerCallbacks(timer) == 1;
      });
  WaitUntilWatching();
  fs::create_directory(PackagesFolder("alice") + "/" + kFamilyName);
  while (!entered.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  // bob's remote session ends; the logoff takes the mutex and joins the watcher, which waits.
  ASSERT_TRUE(sessions::Logoff(L"bob").ok);
  auto logoff = std::async(std::launch::async, [&] { Deliver(service, WTS_SESSION_LOGOFF, 2); });
  ASSERT_TRUE(WaitForMessage("[INFO] ::OnServiceControlHandle Destroy DirectoryWatcher"));
  gate.set_value();
  if (logoff.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "the logoff did not return: deadlock against the waiting callback\n");
    std::_Exit(1);
  }
  EXPECT_TRUE(callbackWaited.load()) << "the callback never fired while the logoff held the mutex";
  EXPECT_EQ(threadpool::RunningTimerCallbacks(timer), 0u);
  EXPECT_FALSE(service.Armed());
  EXPECT_EQ(service.m_hDirectoryWatcher, nullptr);
  Sleep(300000);  // ten times the notification's delay
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               Action(1),
                               "[INFO] ::OnServiceControlHandle User Logged off",
                               "[INFO] ::OnServiceControlHandle Destroy DirectoryWatcher",
                               kNotified,
                               UserLines("alice", kAliceMD5),
                               "[INFO] DirectoryWatcher::UnWatch thread exit.",
                           }));
}

// The package folder shows up 10 s after a logon: the check runs 30 s after the change, not
// 120 s after the logon, for the user at the console.
TEST_F(SessionChangeTest, PackageFolderCreationRearmsTheCheckFor30Seconds) {
  SetTimeScale(40);  // 10 s = 250 ms, 30 s = 750 ms, 120 s = 3 s
  fs::create_directories(PackagesFolder("alice"));
  TestableUtilityService service;
  Logon(service, L"alice");
  // As if the check were due for someone else: the notification names the console's user.
  service.SetCheckUserMD5(WideFromUtf8(kBobMD5));
  service.m_hDirectoryWatcher =
      new DirectoryWatcher(PackagesPath(L"alice"), WideFromUtf8(kFamilyName),
                           [&service](std::wstring argument) { service.DirectoryChangesNotify(argument); });
  WaitUntilWatching();
  Sleep(10000);
  fs::create_directory(PackagesFolder("alice") + "/" + kFamilyName);
  ASSERT_TRUE(WaitForMessage(kCheckClosed));
  EXPECT_EQ(Utf8FromWide(service.GetCheckUserMD5()), kAliceMD5);
  // Past the logon's 120 s: still the one check.
  Sleep(130000);
  std::vector<LogEntry> entries = LogEntries();
  EXPECT_EQ(SummarizeCheckRuns(MessagesOf(entries)), (std::vector<std::string>{
                                     kLoggedOn,
                                     UserLines("alice", kAliceMD5),
                                     CurrentUser("alice", kAliceMD5),
                                     kScheduled,
                                     Action(1),
                                     kNotified,
                                     UserLines("alice", kAliceMD5),
                                     kCheckOpened, UserLines("alice", kAliceMD5), CheckedUser("alice", kAliceMD5),
                                 }));
  const LogEntry* logon = Find(entries, kScheduled);
  const LogEntry* change = Find(entries, kNotified);
  const LogEntry* check = Find(entries, kCheckOpened);
  ASSERT_TRUE(logon && change && check);
  EXPECT_GE(check->ms - change->ms, 740) << "30 scaled seconds after the change";
  EXPECT_LT(check->ms - logon->ms, 3000) << "before the logon's 120 scaled seconds";
}

// While the watcher's thread is busy, changes gather and arrive in one read: each matching record
// notifies and re-arms, so one check runs, 30 s after the last.
TEST_F(SessionChangeTest, SeveralRecordsInOneReadNotifySeveralTimes) {
  SetTimeScale(40);
  ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
  fs::create_directories(PackagesFolder("alice"));
  TestableUtilityService service;
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> calls{0};
  service.m_hDirectoryWatcher = new DirectoryWatcher(
      PackagesPath(L"alice"), WideFromUtf8(kFamilyName), [&, opened](std::wstring argument) {
        if (calls++ == 0) opened.wait();
        service.DirectoryChangesNotify(argument);
      });
  WaitUntilWatching();
  std::string package = PackagesFolder("alice") + "/" + kFamilyName;
  fs::create_directory(package);
  while (calls.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Gathered while the thread waits: renamed away and back, then deleted.
  fs::rename(package, PackagesFolder("alice") + "/Other");
  fs::rename(PackagesFolder("alice") + "/Other", package);
  fs::remove(package);
  Sleep(8000);  // lets the notifier gather them (200 ms)
  gate.set_value();
  ASSERT_TRUE(WaitForMessage(kCheckClosed));
  Sleep(120000);  // four times the delay: no second check
  EXPECT_EQ(calls.load(), 4);
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               Action(1), kNotified, UserLines("alice", kAliceMD5),
                               Action(4), kNotified, UserLines("alice", kAliceMD5),
                               Action(5), kNotified, UserLines("alice", kAliceMD5),
                               Action(2), kNotified, UserLines("alice", kAliceMD5),
                               kCheckOpened, UserLines("alice", kAliceMD5), CheckedUser("alice", kAliceMD5),
                           }));
  delete service.m_hDirectoryWatcher;
  service.m_hDirectoryWatcher = nullptr;
}

// The system's change buffer overflows while the watcher's thread is busy: the next read delivers
// no records, and the previous read's records, still in the buffer, are not walked again.
TEST_F(SessionChangeTest, ReadWithoutRecordsWalksNothing) {
  ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
  fs::create_directories(PackagesFolder("alice"));
  TestableUtilityService service;
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> calls{0};
  service.m_hDirectoryWatcher = new DirectoryWatcher(
      PackagesPath(L"alice"), WideFromUtf8(kFamilyName), [&, opened](std::wstring argument) {
        if (calls++ == 0) opened.wait();
        service.DirectoryChangesNotify(argument);
      });
  WaitUntilWatching();
  std::string package = PackagesFolder("alice") + "/" + kFamilyName;
  fs::create_directory(package);
  while (calls.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // More than the 1024-byte buffer holds; the deletion after it is lost with the rest.
  for (int i = 0; i < 20; ++i) fs::create_directory(PackagesFolder("alice") + "/" + std::string(100, 'a' + i % 26));
  fs::remove(package);
  Sleep(200);
  gate.set_value();
  // A change after the overflow is seen again.
  ASSERT_TRUE(WaitForMessage(kNotified));
  Sleep(200);
  fs::create_directory(package);
  ASSERT_TRUE(WaitForMessage(kNotified, 2));
  delete service.m_hDirectoryWatcher;
  service.m_hDirectoryWatcher = nullptr;
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               Action(1), kNotified, UserLines("alice", kAliceMD5),
                               Action(1), kNotified, UserLines("alice", kAliceMD5),
                               "[INFO] DirectoryWatcher::UnWatch thread exit.",
                           }));
}

// The notification arms the timer whatever the console; the user it names changes only when the
// console's user can be named.
TEST_F(SessionChangeTest, NotificationKeepsTheUserWhenNoneCanBeNamed) {
  TestableUtilityService service;
  service.SetCheckUserMD5(WideFromUtf8(kBobMD5));
  service.DirectoryChangesNotify(L"");  // nobody at the console
  EXPECT_TRUE(service.Armed());
  EXPECT_EQ(Utf8FromWide(service.GetCheckUserMD5()), kBobMD5);
  ASSERT_TRUE(sessions::DetachConsole().ok);
  service.DirectoryChangesNotify(L"");  // no console session
  EXPECT_EQ(Utf8FromWide(service.GetCheckUserMD5()), kBobMD5);
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{
                               kNotified,
                               "[ERROR] GetCurrentUserNameAndMD5 The current user name is EMPTY !!!",
                               kNotified,
                               "[INFO] GetCurrentUserNameAndSessionId WTSGetActiveConsoleSessionId() return fail, error: 0xffffffff",
                               "[ERROR] GetCurrentUserNameAndMD5 GetCurrentUserNameAndSessionId() return fail!",
                           }));
  // Hashing failing keeps it too; without a timer nothing is armed, but the user is named.
  ASSERT_TRUE(sessions::AttachConsole().ok);
  ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
  InjectFault("BCryptHashData", 0xC0000008);
  service.DirectoryChangesNotify(L"");
  EXPECT_EQ(Utf8FromWide(service.GetCheckUserMD5()), kBobMD5);
  ClearFaults();

  InjectFault("CreateThreadpoolTimer", ERROR_NOT_ENOUGH_MEMORY);
  TestableUtilityService timerless;
  ClearFaults();
  fs::remove(LogFile());
  timerless.DirectoryChangesNotify(L"");
  EXPECT_EQ(Utf8FromWide(timerless.GetCheckUserMD5()), kAliceMD5);
  EXPECT_EQ(SummarizeCheckRuns(LogMessages()), (std::vector<std::string>{kNotified, UserLines("alice", kAliceMD5)}));
}

}  // namespace
}  // namespace winsim::test
