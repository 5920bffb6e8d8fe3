// The companion-app check as the timer runs it, on a machine whose console, processes, folders and
// bookkeeping the test sets up. Inside a test program the agent is never found beside the program,
// so every activation fails here, as an agent that cannot be started: what the check does then (the
// watcher) is what these tests show, with the outcomes that need no agent. Observed: the log lines,
// the per-user key and the watcher member.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <new>
#include <system_error>
#include <thread>

#include "LoggingTest.h"
#include "common/Log.h"
#include "common/Registry.h"
#include "core/identity.h"
#include "core/strings.h"
#include "monitor/CheckTimer.h"
#include "monitor/DirectoryWatcher.h"
#include "process/process.h"
#include "service/UtilityService.h"
#include "sessions/sessions.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const char kFamilyName[] = "R3185527.TorvexUtility_7mvd2kx9qhe3b";
// Computed outside the product: hashlib.md5(("PalverOrchind" + name).encode("utf-16-le")).
const std::string kAliceMD5 = "85a6851cea42e759834ae49f1fcb9cdf";
const std::string kBobMD5 = "b7e2c15438a75e7f65233926b15a2995";
const std::wstring kUserKeys = L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\";
const std::string kName = "::UtilityPackageCheckDelayTimerCallback";

const std::string kSkipped = "[INFO] " + kName +
                             " bIsNeedCheckUtilityPackage is FALSE, so skip the check of utility process of current user.";
const std::string kOtherUser = "[INFO]  UtilityPackageCheckDelayTimerCallback Current user is not the user that need "
                               "check utility process, so skip the check of utility process of current user.";
const std::string kNotAccepted = "[INFO] Launch Utility   Quenlet not signature exe  ";
const std::string kCreateWatcher = "[INFO] " + kName + " Create DirectoryWatcher";
const std::string kWatcherExists = "[INFO] " + kName + " DirectoryWatcher is existance.";
const std::string kDestroyWatcher = "[INFO] " + kName + " Destroy DirectoryWatcher";
const std::string kWatcherFailed =
    "[ERROR] " + kName + " new DirectoryWatcher() return fail! m_hDirectoryWatcher is NULL!";
const std::string kMonitored = "[INFO] " + kName + " The \"C:\\Users\\alice\\AppData\\Local\\Packages\\" +
                               kFamilyName + "\" folder will is monitored";

std::string Opening() {
  return "[INFO] " + kName + "  +++++++++++++++++++++ " + std::to_string(GetCurrentThreadId()) +
         " +++++++++++++++++++++ ";
}
std::string Closing() {
  return "[INFO] " + kName + "  --------------------- " + std::to_string(GetCurrentThreadId()) +
         " --------------------- ";
}
std::string ProcessLine(bool exists) {
  return "[INFO] " + kName + " The \"Utility.exe\" process is exist: " + (exists ? "True." : "False.");
}
std::string SetLine(const std::string& md5, int value) {
  return "[INFO] " + kName + " set " + md5 + "\\CheckCount to " + std::to_string(value);
}

class CheckTimerTest : public LoggingTest {
 protected:
  void SetUp() override {
    LoggingTest::SetUp();
    RunAsSystem();
    SetLevel(LOG_LEVEL_INFO);
    for (const char* name : {"alice", "bob"}) AddUser(name);
    fs::create_directories(MachinePath("drives/c/Users/alice/AppData/Local/Packages"));
  }
  void TearDown() override {
    g_pfnBeforeNewDirectoryWatcher = nullptr;
    for (pid_t pid : m_started) {
      kill(pid, SIGKILL);
      WaitForChild(pid);
    }
    LoggingTest::TearDown();
  }

  void SignIn(const std::wstring& name) {
    auto r = sessions::Logon(name, false);
    ASSERT_TRUE(r.ok) << r.error;
  }
  // The timer's callback, run on this thread as the thread pool would run it.
  void RunCheck(CUtilityService& service) { UtilityPackageCheckDelayTimerCallback(nullptr, &service, nullptr); }

  std::optional<DWORD> CheckCount(const std::string& md5) {
    DWORD value = 0;
    if (!GetKeyValueInt(HKEY_LOCAL_MACHINE, kUserKeys + WideFromUtf8(md5), L"CheckCount", &value)) return std::nullopt;
    return value;
  }
  bool KeyExists(const std::string& md5) { return IsKeyExist(HKEY_LOCAL_MACHINE, (kUserKeys + WideFromUtf8(md5)).c_str()); }
  void SetCheckCount(const std::string& md5, DWORD value) {
    std::wstring key = kUserKeys + WideFromUtf8(md5);
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, key.c_str()));
    ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, key.c_str(), L"CheckCount", value));
  }
  int Count(const std::vector<std::string>& messages, const std::string& message) {
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
  }
  bool Has(const std::string& message) { return Count(LogMessages(), message) > 0; }

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
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(fs::exists(record));
  }

  std::vector<pid_t> m_started;
};

// Who is at the console against whom the check is for: nobody, or another user than the one it
// was armed for, ends the check with its lines and touches no registry.
TEST_F(CheckTimerTest, UserGate) {
  CUtilityService service;
  fs::remove(LogFile());
  RunCheck(service);  // nobody signed in at the console
  std::vector<std::string> messages = LogMessages();
  EXPECT_EQ(messages.front(), Opening());
  EXPECT_EQ(messages.back(), Closing());
  EXPECT_EQ(Count(messages, "[ERROR] " + kName + " GetCurrentUserNameAndMD5() return fail!"), 1);
  EXPECT_EQ(Count(messages, kSkipped), 1);
  EXPECT_EQ(Count(messages, ProcessLine(false)), 0);

  // The check is due for alice; bob is at the console now.
  fs::remove(LogFile());
  SignIn(L"bob");
  service.SetCheckUserMD5(WideFromUtf8(kAliceMD5));
  RunCheck(service);
  messages = LogMessages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages.front(), Opening());
  EXPECT_EQ(messages[messages.size() - 2], kOtherUser);
  EXPECT_EQ(messages.back(), Closing());
  EXPECT_FALSE(KeyExists(kBobMD5));
  EXPECT_FALSE(KeyExists(kAliceMD5));
  EXPECT_EQ(service.m_hDirectoryWatcher, nullptr);
}

// Done before: nothing is looked for and nothing started.
TEST_F(CheckTimerTest, CheckCountOneSkipsTheCheck) {
  SignIn(L"alice");
  SetCheckCount(kAliceMD5, 1);
  CUtilityService service;
  service.SetCheckUserMD5(WideFromUtf8(kAliceMD5));
  RunCheck(service);
  std::vector<std::string> messages = LogMessages();
  EXPECT_EQ(Count(messages, "[INFO]  UtilityPackageCheckDelayTimerCallback " + kAliceMD5 + "\\CheckCount is 1"), 1);
  EXPECT_EQ(Count(messages, kSkipped), 1);
  EXPECT_EQ(Count(messages, ProcessLine(false)), 0);
  EXPECT_EQ(Count(messages, kNotAccepted), 0);
  EXPECT_EQ(CheckCount(kAliceMD5), 1u);
}

// The app already runs in the console session: the first run creates the key, finds the app and
// marks the check done without the agent, and the watcher of an earlier failure is destroyed.
TEST_F(CheckTimerTest, AppAlreadyRunningMarksTheCheckDoneWithoutTheAgent) {
  SignIn(L"alice");
  StartApp(L"alice", 1);
  CUtilityService service;
  service.m_hDirectoryWatcher = new DirectoryWatcher(L"C:\\Users\\alice\\AppData\\Local\\Packages",
                                                     WideFromUtf8(kFamilyName), [](std::wstring) {});
  RunCheck(service);
  std::vector<std::string> messages = LogMessages();
  EXPECT_EQ(Count(messages, SetLine(kAliceMD5, 0)), 1);
  EXPECT_EQ(Count(messages, ProcessLine(true)), 1);
  EXPECT_EQ(Count(messages, SetLine(kAliceMD5, 1)), 1);
  EXPECT_EQ(Count(messages, kDestroyWatcher), 1);
  EXPECT_EQ(Count(messages, kNotAccepted), 0);
  EXPECT_EQ(messages.back(), Closing());
  EXPECT_EQ(CheckCount(kAliceMD5), 1u);
  std::wstring build;
  EXPECT_TRUE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, kUserKeys + WideFromUtf8(kAliceMD5), L"OSBuildNumber", build));
  EXPECT_FALSE(build.empty());
  EXPECT_EQ(service.m_hDirectoryWatcher, nullptr);
}

// The app runs only in another session, and the agent cannot be started: the check stays due, and
// two failing runs create one watcher, on alice's Packages folder.
TEST_F(CheckTimerTest, FailingActivationCreatesOneWatcherOnThePackagesFolder) {
  SignIn(L"alice");
  ASSERT_TRUE(sessions::Logon(L"bob", true).ok);
  StartApp(L"bob", 2);
  CUtilityService service;
  RunCheck(service);
  std::vector<std::string> messages = LogMessages();
  EXPECT_EQ(Count(messages, ProcessLine(false)), 1);
  EXPECT_EQ(Count(messages, "[INFO] " + kName + " The \"" + kFamilyName + "\" folder is exist: False."), 1);
  EXPECT_EQ(Count(messages, kNotAccepted), 1);
  EXPECT_EQ(Count(messages, kCreateWatcher), 1);
  EXPECT_EQ(Count(messages, kMonitored), 1);
  DirectoryWatcher* watcher = service.m_hDirectoryWatcher;
  EXPECT_NE(watcher, nullptr);
  EXPECT_EQ(CheckCount(kAliceMD5), 0u);

  RunCheck(service);
  messages = LogMessages();
  EXPECT_EQ(Count(messages, kCreateWatcher), 1);
  EXPECT_EQ(Count(messages, kWatcherExists), 1);
  EXPECT_EQ(Count(messages, kMonitored), 2);
  EXPECT_EQ(service.m_hDirectoryWatcher, watcher);
  EXPECT_EQ(CheckCount(kAliceMD5), 0u);
  EXPECT_EQ(Count(messages, Opening()), 2);
  EXPECT_EQ(Count(messages, Closing()), 2);
}

// Allocating the watcher or starting its thread fails: the member stays null, with the ERROR
// line, the run still closes, and nothing leaves the callback.
TEST_F(CheckTimerTest, WatcherThatCannotBeCreatedLeavesTheMemberNull) {
  SignIn(L"alice");
  struct Case {
    const char* name;
    void (*fail)();
  };
  for (Case c : {Case{"allocation", [] { throw std::bad_alloc(); }},
                 Case{"thread start", [] { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); }}}) {
    SCOPED_TRACE(c.name);
    fs::remove(LogFile());
    g_pfnBeforeNewDirectoryWatcher = c.fail;
    CUtilityService service;
    fs::remove(LogFile());
    EXPECT_NO_THROW(RunCheck(service));
    std::vector<std::string> messages = LogMessages();
    EXPECT_EQ(Count(messages, kCreateWatcher), 1);
    EXPECT_EQ(Count(messages, kWatcherFailed), 1);
    EXPECT_EQ(messages.back(), Closing());
    EXPECT_EQ(service.m_hDirectoryWatcher, nullptr);
    // The mutex was released: the next run takes it and tries again.
    g_pfnBeforeNewDirectoryWatcher = nullptr;
    RunCheck(service);
    EXPECT_NE(service.m_hDirectoryWatcher, nullptr);
  }
}

// Without a service object or its mutex the callback writes one ERROR line and nothing else.
TEST_F(CheckTimerTest, NullContextOrMutex) {
  CUtilityService service;
  fs::remove(LogFile());
  UtilityPackageCheckDelayTimerCallback(nullptr, nullptr, nullptr);
  std::mutex* mutex = service.m_pDirectoryWatcherMutex;
  service.m_pDirectoryWatcherMutex = nullptr;
  RunCheck(service);
  service.m_pDirectoryWatcherMutex = mutex;
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "[ERROR] " + kName + " CUtilityService is NULL!",
                               "[ERROR] " + kName + " m_pDirectoryWatcherMutex is NULL",
                           }));
}

}  // namespace
}  // namespace winsim::test
