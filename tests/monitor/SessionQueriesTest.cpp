// The user and session queries on a machine whose console, sessions and processes the test sets
// up: who is at the console, the user's MD5 text against digests computed outside the product, the
// companion app's process by session, its package folder by drive, the Windows build, and every
// failure line the queries can write.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "LoggingTest.h"
#include "common/Log.h"
#include "core/fault.h"
#include "core/identity.h"
#include "core/strings.h"
#include "monitor/SessionQueries.h"
#include "process/process.h"
#include "sessions/sessions.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const char kFamilyName[] = "R3185527.TorvexUtility_7mvd2kx9qhe3b";

// Digests computed outside the product, with Python:
//   hashlib.md5(("PalverOrchind" + name).encode("utf-16-le")).hexdigest()
struct DigestCase {
  std::wstring name;
  std::string md5;
};
const std::vector<DigestCase> kDigests = {
    {L"alice", "85a6851cea42e759834ae49f1fcb9cdf"},
    {L"Alice", "0223e3995d82125289017b6ba81e146d"},  // case counts; the first byte is 0x02
    {L"ALICE", "a9efef64ad706b2773bbd540165e1b27"},
    {L"bob", "b7e2c15438a75e7f65233926b15a2995"},
    {L"user3", "082cfb33f40691095cb38e8413805bbf"},      // first byte 0x08
    {L"J\u00fcrgen", "30bc1d6029e0b666420b04d4346d5cd8"},  // Jürgen
    {L"Zo\u00eb", "b9ef07791532d5011edd67d15c22309d"},     // Zoë
    {L"\u5c71\u7530\u592a\u90ce", "f5ec222c68d045b6e75818d6a6a038f0"},  // 山田太郎
    {L"\U0001D49Cda", "69cd3d3fdcc0f186b24f9e2056522b22"},  // beyond U+FFFF: a surrogate pair
};

class SessionQueriesTest : public LoggingTest {
 protected:
  void SetUp() override {
    LoggingTest::SetUp();
    RunAsSystem();
    SetLevel(LOG_LEVEL_INFO);
    for (const char* name : {"alice", "bob", "carol"}) AddUser(name);
  }
  void TearDown() override {
    for (pid_t pid : m_started) {
      kill(pid, SIGKILL);
      WaitForChild(pid);
    }
    unsetenv("WINSIM_ENV_TMP");
    LoggingTest::TearDown();
  }

  void SignIn(const std::wstring& name, bool remote = false) {
    auto r = sessions::Logon(name, remote);
    ASSERT_TRUE(r.ok) << r.error;
  }
  void DetachConsole() {
    auto r = sessions::DetachConsole();
    ASSERT_TRUE(r.ok) << r.error;
  }

  // Starts the companion app's stand-in as the user in the session, under the given Windows image
  // path, and waits until it has recorded its command line (by then it is in the process table).
  void StartApp(const std::wstring& image, const std::wstring& user, uint32_t session) {
    auto identity = UserIdentity(user, session);
    ASSERT_TRUE(identity.has_value());
    SpawnRequest request;
    request.linuxPath = BinPath("Utility.exe");
    request.windowsImage = image;
    request.commandLine = QuoteArgument(image);
    request.identity = *identity;
    request.windowsEnv = DefaultWindowsEnvironment(*identity);
    request.detach = true;  // its line on standard output goes nowhere
    pid_t pid = SpawnProcess(request);
    ASSERT_GT(pid, 0);
    m_started.push_back(pid);
    std::string record = MachinePath("drives/c/ProgramData/Utility/" + std::to_string(pid) + ".cmdline");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(record) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(fs::exists(record)) << "the app's stand-in did not start";
  }
  void StopApps() {
    for (pid_t pid : m_started) {
      kill(pid, SIGKILL);
      WaitForChild(pid);
    }
    m_started.clear();
  }

  // This process's temporary folder, as the service's is set by its environment.
  void UseTempFolder(const std::string& path) {
    setenv("WINSIM_ENV_TMP", path.c_str(), 1);
    RunAsSystem();  // reads the Windows environment afresh
  }

  std::string PackageFolder(const std::string& drive, const std::string& user) {
    return MachinePath("drives/" + drive + "/Users/" + user + "/AppData/Local/Packages/" + kFamilyName);
  }

  std::vector<pid_t> m_started;
};

TEST_F(SessionQueriesTest, ConsoleUserAndSession) {
  std::wstring name = L"stale";
  DWORD session = 77;
  // A console session where nobody is signed in: success with an empty name.
  EXPECT_TRUE(GetCurrentUserNameAndSessionId(name, session));
  EXPECT_EQ(name, L"");
  EXPECT_EQ(session, 1u);
  // A remote user is not the console's.
  SignIn(L"bob", true);
  EXPECT_TRUE(GetCurrentUserNameAndSessionId(name, session));
  EXPECT_EQ(name, L"");
  SignIn(L"alice");
  EXPECT_TRUE(GetCurrentUserNameAndSessionId(name, session));
  EXPECT_EQ(name, L"alice");
  EXPECT_EQ(session, 1u);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{});

  // The name query failing: false, without a line, the session id kept.
  InjectFault("WTSQuerySessionInformationW", ERROR_NOT_ENOUGH_MEMORY, 1);
  name = L"stale";
  EXPECT_FALSE(GetCurrentUserNameAndSessionId(name, session));
  EXPECT_EQ(name, L"");
  EXPECT_EQ(session, 1u);
  EXPECT_EQ(LogMessages(), std::vector<std::string>{});
}

TEST_F(SessionQueriesTest, NoConsoleSession) {
  DetachConsole();
  SignIn(L"bob", true);
  std::wstring name = L"stale";
  DWORD session = 0;
  EXPECT_FALSE(GetCurrentUserNameAndSessionId(name, session));
  EXPECT_EQ(name, L"");
  EXPECT_EQ(session, 0xFFFFFFFFu);

  std::wstring md5;
  EXPECT_FALSE(GetCurrentUserNameAndMD5(name, md5));
  EXPECT_EQ(md5, L"");

  std::wstring folder = L"untouched";
  EXPECT_FALSE(IsUtilityfolderExist(folder));
  EXPECT_EQ(folder, L"untouched");

  const std::string noConsole = "[INFO] GetCurrentUserNameAndSessionId WTSGetActiveConsoleSessionId() return fail, error: 0xffffffff";
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               noConsole,
                               noConsole,
                               "[ERROR] GetCurrentUserNameAndMD5 GetCurrentUserNameAndSessionId() return fail!",
                               noConsole,
                           }));
}

TEST_F(SessionQueriesTest, MD5TextsEqualAnIndependentDigest) {
  for (const auto& c : kDigests) {
    SCOPED_TRACE(Utf8FromWide(c.name));
    std::wstring md5 = L"stale";
    EXPECT_TRUE(GetMD5(c.name, md5));
    EXPECT_EQ(Utf8FromWide(md5), c.md5);
  }
  EXPECT_EQ(LogMessages(), std::vector<std::string>{});

  std::wstring md5 = L"stale";
  EXPECT_FALSE(GetMD5(L"", md5));
  EXPECT_EQ(md5, L"");
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"[ERROR] GetMD5 The data string is EMPTY !!!"});
}

TEST_F(SessionQueriesTest, ConsoleUserNameAndMD5) {
  AddUser("J\xc3\xbcrgen");  // Jürgen
  SignIn(L"J\u00fcrgen");
  std::wstring name, md5;
  EXPECT_TRUE(GetCurrentUserNameAndMD5(name, md5));
  EXPECT_EQ(name, L"J\u00fcrgen");
  EXPECT_EQ(Utf8FromWide(md5), "30bc1d6029e0b666420b04d4346d5cd8");
  // The log file takes characters up to U+00FF as single bytes.
  EXPECT_EQ(LogMessages(), std::vector<std::string>{
                               "[INFO] GetCurrentUserNameAndMD5 the user name is \"J\xfcrgen\", MD5 is "
                               "\"30bc1d6029e0b666420b04d4346d5cd8\""});
}

// Nobody at the console: an empty name has no identity, so the query fails after its line and
// leaves the MD5 text empty.
TEST_F(SessionQueriesTest, EmptyConsoleUserIsAFailure) {
  SignIn(L"bob", true);
  std::wstring name = L"stale", md5;
  EXPECT_FALSE(GetCurrentUserNameAndMD5(name, md5));
  EXPECT_EQ(name, L"");
  EXPECT_EQ(md5, L"");
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"[ERROR] GetCurrentUserNameAndMD5 The current user name is EMPTY !!!"});
}

TEST_F(SessionQueriesTest, EveryFailurePointOfTheHashHasItsLine) {
  SignIn(L"alice");
  struct Case {
    const char* function;
    uint32_t error;
    int onCall;  // 0: every call
    std::string line;
  };
  const std::vector<Case> cases = {
      {"BCryptOpenAlgorithmProvider", 0xC0000225, 0, "[ERROR] GetMD5 BCryptOpenAlgorithmProvider() return fail!"},
      {"BCryptGetProperty", 0xC0000023, 1, "[ERROR] GetMD5 BCryptGetProperty() return fail!"},  // ObjectLength
      {"BCryptGetProperty", 0xC0000023, 2, "[ERROR] GetMD5 BCryptGetProperty() return fail!"},  // HashDigestLength
      {"GetProcessHeap", ERROR_NOT_ENOUGH_MEMORY, 0, "[ERROR] GetMD5 HeapAlloc() return fail!"},
      {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, "[ERROR] GetMD5 HeapAlloc() return fail!"},  // the hash object
      {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 2, "[ERROR] GetMD5 HeapAlloc() return fail!"},  // the digest
      {"BCryptCreateHash", 0xC0000017, 0, "[ERROR] GetMD5 BCryptCreateHash() return fail!"},
      {"BCryptHashData", 0xC0000008, 0, "[ERROR] GetMD5 BCryptHashData() return fail!"},
      {"BCryptFinishHash", 0xC000000D, 0, "[ERROR] GetMD5 BCryptFinishHash() return fail!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " call " + std::to_string(c.onCall));
    fs::remove(LogFile());
    ClearFaults();
    InjectFault(c.function, c.error, -1, c.onCall);
    std::wstring md5 = L"stale";
    EXPECT_FALSE(GetMD5(L"alice", md5));
    EXPECT_EQ(md5, L"");
    // Through the console user's query: the hash's line alone, and failure.
    std::wstring name;
    md5.clear();
    if (c.onCall != 0) {
      ClearFaults();
      InjectFault(c.function, c.error, -1, c.onCall);
    }
    EXPECT_FALSE(GetCurrentUserNameAndMD5(name, md5));
    EXPECT_EQ(md5, L"");
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{c.line, c.line}));
  }
  // Nothing is left behind: the next call succeeds.
  ClearFaults();
  std::wstring md5;
  EXPECT_TRUE(GetMD5(L"alice", md5));
  EXPECT_EQ(Utf8FromWide(md5), "85a6851cea42e759834ae49f1fcb9cdf");
}

TEST_F(SessionQueriesTest, AppProcessByImageNameAndSession) {
  SignIn(L"alice");
  SignIn(L"bob", true);  // session 2
  const std::string found1 = "[INFO] IsExistUtilityProcess The \"Utility.exe\" process is existance. Its session id is 1";
  const std::string elsewhere = "[INFO] IsExistUtilityProcess The \"Utility.exe\" process is NOT existance in current "
                                "session id 1. It exists in session id 2";
  struct App {
    std::wstring image;
    std::wstring user;
    uint32_t session;
  };
  struct Case {
    const char* what;
    std::vector<App> apps;
    bool found;
    std::vector<std::string> lines;
  };
  const std::wstring folder = L"C:\\Program Files\\WindowsApps\\R3185527.TorvexUtility_1.0.0.0_x64__7mvd2kx9qhe3b\\";
  const std::vector<Case> cases = {
      {"none", {}, false, {}},
      {"console session", {{folder + L"Utility.exe", L"alice", 1}}, true, {found1}},
      {"capitals", {{folder + L"UTILITY.EXE", L"alice", 1}}, true, {found1}},
      {"longer name", {{folder + L"Utility.exe.bak", L"alice", 1}}, true, {found1}},
      {"other names", {{folder + L"Utility.ex", L"alice", 1}, {folder + L"MyUtility.exe", L"alice", 1}}, false, {}},
      {"another session only", {{folder + L"Utility.exe", L"bob", 2}}, false, {elsewhere}},
      {"two in another session", {{folder + L"Utility.exe", L"bob", 2}, {folder + L"utility.exe", L"bob", 2}}, false,
       {elsewhere, elsewhere}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(LogFile());
    for (const auto& app : c.apps) StartApp(app.image, app.user, app.session);
    EXPECT_EQ(IsExistUtilityProcess(), c.found ? TRUE : FALSE);
    EXPECT_EQ(LogMessages(), c.lines);
    StopApps();
  }
}

// The stand-in started the way a tester starts it, with `winsim run` as a signed-in user in that
// user's session; a logoff ends it with the session.
TEST_F(SessionQueriesTest, AppStartedWithWinsimRun) {
  SignIn(L"alice");
  SignIn(L"bob", true);
  auto runApp = [&](const std::string& user, const std::string& session) {
    pid_t pid = fork();
    if (pid == 0) {
      int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, 1);
      dup2(quiet, 2);
      setenv("WINSIM_MACHINE", Machine().c_str(), 1);
      execl(WINSIM_CMD_PATH, WINSIM_CMD_PATH, "run", "--user", user.c_str(), "--session", session.c_str(), "--",
            BinPath("Utility.exe").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  };
  auto running = [&](uint32_t session) {
    for (auto& p : ListProcesses(true)) {
      if (p.imageName == L"Utility.exe" && p.sessionId == session) return true;
    }
    return false;
  };
  auto waitUntil = [](const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
  };

  pid_t bobsRun = runApp("bob", "2");
  ASSERT_TRUE(waitUntil([&] { return running(2); }));
  EXPECT_FALSE(IsExistUtilityProcess());
  pid_t alicesRun = runApp("alice", "1");
  ASSERT_TRUE(waitUntil([&] { return running(1); }));
  fs::remove(LogFile());
  EXPECT_TRUE(IsExistUtilityProcess());
  auto messages = LogMessages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "[INFO] IsExistUtilityProcess The \"Utility.exe\" process is existance. Its session id is 1");

  ASSERT_TRUE(sessions::Logoff(L"alice").ok);
  ASSERT_TRUE(sessions::Logoff(L"bob").ok);
  int status = 0;
  waitpid(alicesRun, &status, 0);
  waitpid(bobsRun, &status, 0);
  EXPECT_FALSE(IsExistUtilityProcess());
}

TEST_F(SessionQueriesTest, AppProcessQueryFailures) {
  SignIn(L"alice");
  StartApp(L"C:\\Apps\\Utility.exe", L"alice", 1);
  // Neither the snapshot nor the process's session failing writes a line; the answer is no.
  for (const char* function : {"CreateToolhelp32Snapshot", "Process32FirstW", "ProcessIdToSessionId"}) {
    SCOPED_TRACE(function);
    ClearFaults();
    InjectFault(function, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(IsExistUtilityProcess());
  }
  ClearFaults();
  EXPECT_EQ(LogMessages(), std::vector<std::string>{});
  // The console query failing skips the process.
  InjectFault("WTSQuerySessionInformationW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(IsExistUtilityProcess());
  EXPECT_EQ(LogMessages(), std::vector<std::string>{});
}

TEST_F(SessionQueriesTest, AppProcessWithoutConsoleSession) {
  DetachConsole();
  SignIn(L"bob", true);
  StartApp(L"C:\\Apps\\Utility.exe", L"bob", 2);
  StartApp(L"C:\\Apps\\Utility.exe", L"bob", 2);
  EXPECT_FALSE(IsExistUtilityProcess());
  // The console query's line once per matching process, and nothing else.
  const std::string noConsole = "[INFO] GetCurrentUserNameAndSessionId WTSGetActiveConsoleSessionId() return fail, error: 0xffffffff";
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{noConsole, noConsole}));
}

TEST_F(SessionQueriesTest, PackageFolderOfTheConsoleUser) {
  SignIn(L"alice");
  std::wstring packages = L"stale";
  EXPECT_FALSE(IsUtilityfolderExist(packages));
  EXPECT_EQ(packages, L"C:\\Users\\alice\\AppData\\Local\\Packages");
  // A folder, or anything else of that name.
  fs::create_directories(PackageFolder("c", "alice"));
  packages.clear();
  EXPECT_TRUE(IsUtilityfolderExist(packages));
  EXPECT_EQ(packages, L"C:\\Users\\alice\\AppData\\Local\\Packages");
  fs::remove(PackageFolder("c", "alice"));
  std::ofstream(PackageFolder("c", "alice")) << "x";
  EXPECT_TRUE(IsUtilityfolderExist(packages));
  // Another user's package folder is not the console user's.
  fs::remove(PackageFolder("c", "alice"));
  fs::create_directories(PackageFolder("c", "bob"));
  EXPECT_FALSE(IsUtilityfolderExist(packages));
  EXPECT_EQ(LogMessages(), std::vector<std::string>{});
}

// The drive comes from the service's own temporary folder, not from the user's.
TEST_F(SessionQueriesTest, PackageFolderOnTheDriveOfTheServicesTemporaryFolder) {
  AddUser("dave", "D");
  fs::create_directories(MachinePath("drives/d/Temp"));
  SignIn(L"dave");
  fs::create_directories(PackageFolder("c", "dave"));
  std::wstring packages;
  EXPECT_TRUE(IsUtilityfolderExist(packages));
  EXPECT_EQ(packages, L"C:\\Users\\dave\\AppData\\Local\\Packages");

  UseTempFolder("D:\\Temp");
  EXPECT_FALSE(IsUtilityfolderExist(packages));
  EXPECT_EQ(packages, L"D:\\Users\\dave\\AppData\\Local\\Packages");
  fs::create_directories(PackageFolder("d", "dave"));
  EXPECT_TRUE(IsUtilityfolderExist(packages));
  EXPECT_EQ(packages, L"D:\\Users\\dave\\AppData\\Local\\Packages");
  EXPECT_EQ(LogMessages("d"), std::vector<std::string>{});
}

TEST_F(SessionQueriesTest, TemporaryFolderFailures) {
  SignIn(L"alice");
  fs::create_directories(PackageFolder("c", "alice"));
  // The next call fails: the query's; the log facility's own call after it succeeds.
  InjectFault("GetTempPathW", ERROR_ACCESS_DENIED, 1);
  std::wstring packages = L"untouched";
  EXPECT_FALSE(IsUtilityfolderExist(packages));
  EXPECT_EQ(packages, L"untouched");
  EXPECT_EQ(LogMessages(), std::vector<std::string>{"[ERROR] IsUtilityfolderExist GetTempPath() return fail! error :5 "});

  // A temporary folder longer than the buffer: GetTempPathW answers with the size it would need
  // and writes nothing. That is a failure too, never a drive letter read from an unwritten
  // buffer. (The log facility meets the same folder and drops the failure line.)
  UseTempFolder("C:\\" + std::string(300, 't'));
  packages = L"untouched";
  EXPECT_FALSE(IsUtilityfolderExist(packages));
  EXPECT_EQ(packages, L"untouched");
}

TEST_F(SessionQueriesTest, WindowsBuildNumber) {
  EXPECT_EQ(GetCurrentOSBuildNumber(), L"19045");
  auto r = Winsim({"reg", "add", "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "/v", "CurrentBuildNumber",
                   "/t", "REG_SZ", "/d", "22631", "/f"});
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(GetCurrentOSBuildNumber(), L"22631");
  EXPECT_EQ(LogMessages(), std::vector<std::string>{});

  const std::string failed = "[ERROR] ::OnServiceControlHandle GetRegValueOfStringType() return fail!";
  InjectFault("RegGetValueW", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(GetCurrentOSBuildNumber(), L"");
  r = Winsim({"reg", "delete", "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "/v", "CurrentBuildNumber", "/f"});
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(GetCurrentOSBuildNumber(), L"");
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{failed, failed}));
}

}  // namespace
}  // namespace winsim::test
