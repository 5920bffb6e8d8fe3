// The machine itself: init, accounts, identity, paths, command lines, fault plans, winsim run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/process.h"
#include "windows.h"

namespace winsim::test {
namespace {

class MachineCoreTest : public MachineTest {};

TEST_F(MachineCoreTest, InitLaysOutDrivesAndAdministrator) {
  EXPECT_TRUE(std::filesystem::is_directory(MachinePath("drives/c/Windows/Temp")));
  EXPECT_TRUE(std::filesystem::is_directory(MachinePath("run/rpc")));
  auto admin = FindUserAccount(L"administrator");  // names match without regard to case
  ASSERT_TRUE(admin.has_value());
  EXPECT_EQ(admin->name, L"Administrator");
  EXPECT_EQ(admin->sid.rfind("S-1-5-21-", 0), 0u);
  EXPECT_EQ(admin->sid.substr(admin->sid.size() - 4), "-500");
  // init may run again on the same machine and keeps what is there.
  std::string sid = admin->sid;
  InitMachine(Machine());
  EXPECT_EQ(FindUserAccount(L"Administrator")->sid, sid);
}

TEST_F(MachineCoreTest, UsersGetDistinctSidsProfilesAndTempFolders) {
  AddUser("alice");
  AddUser("bob", "D");
  auto alice = FindUserAccount(L"alice");
  auto bob = FindUserAccount(L"bob");
  ASSERT_TRUE(alice && bob);
  EXPECT_NE(alice->sid, bob->sid);
  EXPECT_EQ(alice->profile, L"C:\\Users\\alice");
  EXPECT_EQ(alice->tempFolder, L"C:\\Users\\alice\\AppData\\Local\\Temp");
  EXPECT_EQ(bob->tempFolder, L"D:\\Users\\bob\\AppData\\Local\\Temp");
  EXPECT_TRUE(std::filesystem::is_directory(MachinePath("drives/d/Users/bob/AppData/Local/Temp")));
  EXPECT_TRUE(std::filesystem::is_directory(MachinePath("drives/c/Users/alice/AppData/Local/Packages")));
  std::wstring error;
  EXPECT_FALSE(AddUserAccount(L"ALICE", L'C', &error));
  EXPECT_FALSE(AddUserAccount(L"a\\b", L'C', &error));
}

TEST_F(MachineCoreTest, EnvironmentFollowsIdentity) {
  AddUser("alice", "D");
  RunAsSystem();
  EXPECT_EQ(WindowsEnvironmentVariable(L"TMP").value(), L"C:\\Windows\\Temp");
  EXPECT_FALSE(CurrentIdentity().sid.empty());
  EXPECT_EQ(CurrentIdentity().sessionId, 0u);
  RunAsUser(L"alice");
  EXPECT_EQ(WindowsEnvironmentVariable(L"tmp").value(), L"D:\\Users\\alice\\AppData\\Local\\Temp");
  EXPECT_FALSE(CurrentIdentity().IsPrivileged());
}

TEST_F(MachineCoreTest, WindowsPathsMapToDrivesCaseInsensitively) {
  struct Case {
    std::wstring windows;
    std::string linuxRelative;  // relative to the machine, or absolute when starting with '/'
  };
  std::vector<Case> cases = {
      {L"C:\\Windows\\Temp", "drives/c/Windows/Temp"},
      {L"c:\\WINDOWS\\temp\\x.log", "drives/c/Windows/Temp/x.log"},
      {L"C:/Windows/./Temp/../Temp", "drives/c/Windows/Temp"},
      {L"D:\\data", "drives/d/data"},
      {L"Z:\\usr\\bin", "/usr/bin"},
  };
  for (auto& c : cases) {
    auto p = LinuxPathOf(c.windows);
    ASSERT_TRUE(p.has_value()) << Utf8FromWide(c.windows);
    std::string expected = c.linuxRelative[0] == '/' ? c.linuxRelative : MachinePath(c.linuxRelative);
    EXPECT_EQ(*p, expected) << Utf8FromWide(c.windows);
  }
  unsigned long error = 0;
  EXPECT_FALSE(LinuxPathOf(L"\\\\server\\share\\x", &error));
  EXPECT_EQ(error, static_cast<unsigned long>(ERROR_BAD_NETPATH));
  EXPECT_FALSE(LinuxPathOf(L"relative\\x", &error));
  EXPECT_EQ(error, static_cast<unsigned long>(ERROR_INVALID_NAME));
  EXPECT_FALSE(LinuxPathOf(L"C:\\a<b", &error));
  EXPECT_EQ(WindowsPathOf(MachinePath("drives/c/Windows")), L"C:\\Windows");
  EXPECT_EQ(WindowsPathOf("/usr/bin/env"), L"Z:\\usr\\bin\\env");
}

// The look-up tries the path as spelt first and walks the folders only on a miss: every shape of
// miss must still find the entries case-insensitively, and a hit must not be taken for a path that
// another spelling would have reached.
TEST_F(MachineCoreTest, CaseInsensitiveLookupsOfEveryShapeOfPath) {
  namespace fs = std::filesystem;
  fs::create_directories(MachinePath("drives/c/Data/Logs/Deep"));
  fs::create_directories(MachinePath("drives/c/Twin"));
  fs::create_directories(MachinePath("drives/c/twin"));  // differs from Twin only in case
  fs::create_directories(MachinePath("drives/c/real/Inner"));
  fs::create_directory_symlink(MachinePath("drives/c/real"), MachinePath("drives/c/Junction"));
  fs::create_symlink(MachinePath("drives/c/nowhere"), MachinePath("drives/c/Data/Dangling"));
  std::ofstream(MachinePath("drives/c/Data/Logs/App.log")) << "x";
  std::ofstream(MachinePath("drives/c/Data/File.txt")) << "x";
  struct Case {
    std::wstring windows;
    std::string linuxRelative;
  };
  std::vector<Case> cases = {
      {L"C:\\Data\\Logs\\App.log", "drives/c/Data/Logs/App.log"},          // exact case throughout
      {L"c:\\data\\logs\\app.LOG", "drives/c/Data/Logs/App.log"},          // every component differs
      {L"C:\\Data\\LOGS\\App.log", "drives/c/Data/Logs/App.log"},          // a middle component differs
      {L"C:\\Data\\Logs\\APP.log", "drives/c/Data/Logs/App.log"},          // only the last differs
      {L"C:\\Data\\Logs\\New.log", "drives/c/Data/Logs/New.log"},          // a new file in an exact folder
      {L"C:\\DATA\\logs\\New.log", "drives/c/Data/Logs/New.log"},          // a new file, folders in other case
      {L"C:\\data\\NEW\\deeper\\x.log", "drives/c/Data/NEW/deeper/x.log"},  // missing folders keep their spelling
      {L"C:\\Data\\Logs\\Deep\\", "drives/c/Data/Logs/Deep/"},             // a trailing separator survives
      {L"C:\\Twin", "drives/c/Twin"},                                      // of two spellings, the one asked
      {L"C:\\twin", "drives/c/twin"},
      {L"C:\\TWIN", "drives/c/Twin"},  // neither asked: the first in the folder that matches (see below)
      {L"C:\\junction\\inner", "drives/c/Junction/Inner"},                 // through a link to a folder
      {L"C:\\Junction\\Inner", "drives/c/Junction/Inner"},
      {L"C:\\JUNCTION", "drives/c/Junction"},                              // the link itself
      {L"C:\\data\\dangling", "drives/c/Data/Dangling"},                   // a link that leads nowhere
      {L"C:\\Data\\File.txt\\below", "drives/c/Data/File.txt/below"},      // a file used as a folder
      {L"C:\\", "drives/c/"},
  };
  for (auto& c : cases) {
    auto p = LinuxPathOf(c.windows);
    ASSERT_TRUE(p.has_value()) << Utf8FromWide(c.windows);
    std::string expected = MachinePath(c.linuxRelative);
    if (c.windows == L"C:\\TWIN") {
      // Which of two case-twins an unasked spelling reaches depends on the folder's order; it must
      // be one of them.
      EXPECT_TRUE(*p == MachinePath("drives/c/Twin") || *p == MachinePath("drives/c/twin")) << *p;
      continue;
    }
    EXPECT_EQ(*p, expected) << Utf8FromWide(c.windows);
  }
}

// Nothing about a folder's entries is remembered between look-ups: another process renaming or
// removing them is seen at once.
TEST_F(MachineCoreTest, LookupsFollowRenamesAndRemovalsByAnotherProcess) {
  namespace fs = std::filesystem;
  fs::create_directories(MachinePath("drives/c/Store/Inbox"));
  ASSERT_EQ(*LinuxPathOf(L"C:\\store\\inbox\\a.txt"), MachinePath("drives/c/Store/Inbox/a.txt"));
  ASSERT_EQ(*LinuxPathOf(L"C:\\Store\\Inbox"), MachinePath("drives/c/Store/Inbox"));
  auto shell = [](const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; };
  shell("mv '" + MachinePath("drives/c/Store") + "' '" + MachinePath("drives/c/STORE") + "'");
  EXPECT_EQ(*LinuxPathOf(L"C:\\store\\inbox\\a.txt"), MachinePath("drives/c/STORE/Inbox/a.txt"));
  EXPECT_EQ(*LinuxPathOf(L"C:\\Store\\Inbox"), MachinePath("drives/c/STORE/Inbox"));
  shell("mv '" + MachinePath("drives/c/STORE/Inbox") + "' '" + MachinePath("drives/c/STORE/inbox") + "'");
  EXPECT_EQ(*LinuxPathOf(L"C:\\Store\\Inbox"), MachinePath("drives/c/STORE/inbox"));
  shell("rm -r '" + MachinePath("drives/c/STORE") + "'");
  // Gone: the path keeps the caller's spelling, as for any name that matches nothing.
  EXPECT_EQ(*LinuxPathOf(L"C:\\Store\\Inbox"), MachinePath("drives/c/Store/Inbox"));
  shell("mkdir -p '" + MachinePath("drives/c/store/INBOX") + "'");
  EXPECT_EQ(*LinuxPathOf(L"C:\\Store\\Inbox"), MachinePath("drives/c/store/INBOX"));
}

TEST_F(MachineCoreTest, CrtCommandLineSplitAndQuoteRoundTrip) {
  struct Case {
    std::wstring line;
    std::vector<std::wstring> args;
  };
  std::vector<Case> cases = {
      {L"prog a b", {L"prog", L"a", L"b"}},
      {L"\"C:\\Program Files\\x.exe\" -install", {L"C:\\Program Files\\x.exe", L"-install"}},
      {L"p \"a b\" c", {L"p", L"a b", L"c"}},
      {L"p a\\\\\\\"b", {L"p", L"a\\\"b"}},     // 3 backslashes + quote: one backslash, literal quote
      {L"p a\\\\\"b c\"", {L"p", L"a\\b c"}},  // 2 backslashes + quote: one backslash, quote toggles
      {L"p a\\b\\", {L"p", L"a\\b\\"}},        // backslashes not before a quote stay
      {L"p \"\"", {L"p", L""}},
      {L"p   \t x", {L"p", L"x"}},
  };
  for (auto& c : cases) EXPECT_EQ(SplitCrtCommandLine(c.line), c.args) << Utf8FromWide(c.line);
  std::vector<std::wstring> tricky = {L"p", L"a b", L"", L"q\"x", L"end\\", L"x\\\"y", L"tab\there"};
  std::wstring line;
  for (auto& a : tricky) line += (line.empty() ? L"" : L" ") + QuoteArgument(a);
  EXPECT_EQ(SplitCrtCommandLine(line), tricky);
}

TEST_F(MachineCoreTest, FaultPlansFailEveryCountedOrNthCall) {
  InjectFault("X", 5);
  EXPECT_EQ(CheckFault("X").value(), 5u);
  EXPECT_EQ(CheckFault("X").value(), 5u);
  EXPECT_FALSE(CheckFault("Y").has_value());
  InjectFault("X", 7, 2);
  EXPECT_TRUE(CheckFault("X"));
  EXPECT_TRUE(CheckFault("X"));
  EXPECT_FALSE(CheckFault("X"));
  InjectFault("X", 9, -1, 3);
  EXPECT_FALSE(CheckFault("X"));
  EXPECT_FALSE(CheckFault("X"));
  EXPECT_EQ(CheckFault("X").value(), 9u);
  EXPECT_FALSE(CheckFault("X"));
  ClearFaults();
  EXPECT_FALSE(CheckFault("X"));
}

TEST_F(MachineCoreTest, HandlesAndLastErrorBehaveAsOnWindows) {
  SetLastError(1234);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x4444)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x4444), 0), WAIT_FAILED);
  EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
  InjectFault("CloseHandle", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CloseHandle(GetCurrentProcess()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(MachineCoreTest, WinsimRunCarriesIdentityAndExitCode) {
  AddUser("alice");
  // /bin/sh is an ELF program; its exit status comes back as the run's status.
  auto r = Winsim({"run", "--", "/bin/sh", "-c", "echo $WINSIM_ACCOUNT:$WINSIM_ENV_TMP; exit 3"});
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.output, "admin:C:\\Users\\Administrator\\AppData\\Local\\Temp\n");
  r = Winsim({"run", "--user", "alice", "--session", "2", "--", "/bin/sh", "-c", "echo $WINSIM_ACCOUNT $WINSIM_USER $WINSIM_SESSION"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "user alice 2\n");
  // --capability: an app container process with the SID derived from each name (the derivation is
  // checked against Windows' published values in the security tests).
  auto derived = Winsim({"security", "capability-sid", "R3185527.TorvexUtility_7mvd2kx9qhe3b"});
  ASSERT_EQ(derived.status, 0) << derived.errors;
  r = Winsim({"run", "--user", "alice", "--capability", "R3185527.TorvexUtility_7mvd2kx9qhe3b", "--capability",
              "internetClient", "--", "/bin/sh", "-c", "echo $WINSIM_CAPABILITIES"});
  EXPECT_EQ(r.status, 0) << r.errors;
  std::string first = r.output.substr(0, r.output.find(','));
  EXPECT_NE(derived.output.find(first), std::string::npos) << derived.output << " / " << r.output;
  EXPECT_NE(r.output.find(",S-1-15-3-1\n"), std::string::npos) << r.output;
  r = Winsim({"run", "--capability", "", "--", "/bin/true"});
  EXPECT_NE(r.status, 0);
  r = Winsim({"run", "--user", "nobody", "--", "/bin/true"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.errors.find("no user nobody"), std::string::npos);
  r = Winsim({"frobnicate"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.errors.find("unknown command"), std::string::npos);
}

}  // namespace
}  // namespace winsim::test

namespace winsim::test {
namespace {

// Several processes of one machine write its state at the same time; nothing is lost.
TEST_F(MachineCoreTest, ConcurrentProcessesShareTheMachineState) {
  const int kProcesses = 12;
  std::vector<std::thread> runners;
  std::vector<int> statuses(kProcesses, -1);
  for (int i = 0; i < kProcesses; ++i) {
    runners.emplace_back([this, i, &statuses] {
      auto r = Winsim({"reg", "add", "HKLM\\SOFTWARE\\Shared", "/v", "V" + std::to_string(i), "/t", "REG_DWORD", "/d",
                       std::to_string(i), "/f"});
      statuses[i] = r.status;
    });
  }
  for (auto& t : runners) t.join();
  for (int i = 0; i < kProcesses; ++i) EXPECT_EQ(statuses[i], 0) << i;
  auto r = Winsim({"reg", "query", "HKLM\\SOFTWARE\\Shared"});
  ASSERT_EQ(r.status, 0) << r.errors;
  for (int i = 0; i < kProcesses; ++i) {
    char line[64];
    std::snprintf(line, sizeof(line), "    V%d    REG_DWORD    0x%x\n", i, i);
    EXPECT_NE(r.output.find(line), std::string::npos) << r.output;
  }
}

}  // namespace
}  // namespace winsim::test
