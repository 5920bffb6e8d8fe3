// Processes started for a user and the handles to them: the service's road (console session,
// user token, primary duplicate, the user's environment, CreateProcessAsUserW on winsta0\default,
// wait, exit code), who may start a process with which token, the child's identity, session,
// command line, directory, environment and desktop, 32-bit exit codes and STILL_ACTIVE, waiting on
// killed, terminated, logged-off and not-our-own children, suspended starts, and bad handles.
#include <signal.h>
#include <sys/wait.h>

#include <vector>

#include "LaunchTest.h"
#include "core/identity.h"
#include "process/process.h"
#include "sessions/sessions.h"
#include "userenv.h"
#include "wtsapi32.h"

namespace winsim::test {
namespace {

class ProcessTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    PlantProbe();
    AddUser("alice", "D");
    AddUser("bob");
    ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
    ASSERT_TRUE(sessions::Logon(L"bob", true).ok);  // session 2
    MakeFolder(L"C:\\Out");
    MakeFolder(L"C:\\Users\\Public");
  }

  void TearDown() override {
    RunAsAdministrator();
    LaunchTest::TearDown();
  }

  // Starts a command line as the token's user, as the service does it; the process handle is kept.
  DWORD StartAsUser(HANDLE token, const std::wstring& commandLine, PROCESS_INFORMATION* info, void* environment,
                    const wchar_t* directory = nullptr, const wchar_t* desktop = L"winsta0\\default") {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<wchar_t*>(desktop);
    std::wstring line = commandLine;
    if (!CreateProcessAsUserW(token, nullptr, line.data(), nullptr, nullptr, FALSE, 0x430, environment, directory,
                              &startup, info)) {
      return GetLastError();
    }
    m_processes.push_back(info->hProcess);
    return ERROR_SUCCESS;
  }

  DWORD ExitCodeAfterWait(HANDLE process) {
    EXPECT_EQ(WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
    DWORD code = 0xDEADBEEF;
    EXPECT_TRUE(GetExitCodeProcess(process, &code)) << GetLastError();
    return code;
  }
};

TEST_F(ProcessTest, TheServiceStartsAProgramAsTheConsoleUserInTheConsoleSession) {
  RunAsSystem();
  DWORD session = WTSGetActiveConsoleSessionId();
  ASSERT_EQ(session, 1u);
  HANDLE user = nullptr, primary = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(session, &user));
  ASSERT_TRUE(DuplicateTokenEx(user, 0, nullptr, SecurityImpersonation, TokenPrimary, &primary));
  void* environment = nullptr;
  ASSERT_TRUE(CreateEnvironmentBlock(&environment, primary, FALSE));
  const std::wstring line = Probe() + L" report C:\\Out\\agent.txt  -LaunchTorvexUtilityAppx";
  PROCESS_INFORMATION info;
  ASSERT_EQ(StartAsUser(primary, line, &info, environment, L"C:\\Users\\Public"), ERROR_SUCCESS);
  EXPECT_TRUE(DestroyEnvironmentBlock(environment));
  EXPECT_TRUE(CloseHandle(primary));
  EXPECT_TRUE(CloseHandle(user));
  EXPECT_NE(info.dwProcessId, 0u);
  EXPECT_EQ(GetProcessId(info.hProcess), info.dwProcessId);
  EXPECT_EQ(GetThreadId(info.hThread), info.dwThreadId);

  EXPECT_EQ(WaitForSingleObject(info.hProcess, INFINITE), WAIT_OBJECT_0);
  DWORD code = 1;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(CloseHandle(info.hThread));

  auto report = ReadReport(L"C:\\Out\\agent.txt");
  auto alice = *FindUserAccount(L"alice");
  EXPECT_EQ(report["cmdline"], Utf8FromWide(line));
  EXPECT_EQ(report["image"], "C:\\Probe\\probe.exe");
  EXPECT_EQ(report["session"], "1");
  EXPECT_EQ(report["cwd"], "C:\\Users\\Public");
  EXPECT_EQ(report["desktop"], "winsta0\\default");
  EXPECT_EQ(report["USERNAME"], "alice");
  EXPECT_EQ(report["USERPROFILE"], Utf8FromWide(alice.profile));
  EXPECT_EQ(report["TEMP"], Utf8FromWide(alice.tempFolder));
  EXPECT_EQ(report["TMP"], Utf8FromWide(alice.tempFolder));
  // The machine knows the process as alice's, in the console session.
  auto record = FindProcess(info.dwProcessId);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->userName, L"alice");
  EXPECT_EQ(record->sid, alice.sid);
  EXPECT_EQ(record->sessionId, 1u);
  EXPECT_EQ(record->exitCode, std::optional<uint32_t>(0));
}

TEST_F(ProcessTest, OnlyLocalSystemStartsProgramsWithAnotherUsersToken) {
  RunAsSystem();
  HANDLE alice = nullptr, bob = nullptr, imitation = nullptr, weak = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(1, &alice));
  ASSERT_TRUE(WTSQueryUserToken(2, &bob));
  ASSERT_TRUE(DuplicateTokenEx(alice, 0, nullptr, SecurityImpersonation, TokenImpersonation, &imitation));
  ASSERT_TRUE(DuplicateTokenEx(alice, TOKEN_QUERY | TOKEN_DUPLICATE, nullptr, SecurityImpersonation, TokenPrimary,
                               &weak));
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  enum class Caller { System, Administrator, Alice };
  struct Case {
    const char* name;
    Caller caller;
    HANDLE token;
    DWORD expected;
    const char* user;  // who the process runs as when it starts
  } cases[] = {
      {"LocalSystem with alice's token", Caller::System, alice, 0, "alice"},
      {"LocalSystem with bob's token", Caller::System, bob, 0, "bob"},
      {"an administrator with alice's token", Caller::Administrator, alice, ERROR_PRIVILEGE_NOT_HELD, nullptr},
      {"alice with bob's token", Caller::Alice, bob, ERROR_PRIVILEGE_NOT_HELD, nullptr},
      {"an impersonation token", Caller::System, imitation, ERROR_BAD_TOKEN_TYPE, nullptr},
      {"a token without TOKEN_ASSIGN_PRIMARY", Caller::System, weak, ERROR_ACCESS_DENIED, nullptr},
      {"not a token", Caller::System, event, ERROR_INVALID_HANDLE, nullptr},
      {"no token: the caller", Caller::Alice, nullptr, 0, "alice"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.caller == Caller::System) RunAsSystem();
    if (c.caller == Caller::Administrator) RunAsAdministrator();
    if (c.caller == Caller::Alice) RunAsUser(L"alice", 1);
    std::wstring out = L"C:\\Out\\who" + std::to_wstring(n++) + L".txt";
    PROCESS_INFORMATION info;
    DWORD error = StartAsUser(c.token, Probe() + L" report " + out, &info, nullptr);
    EXPECT_EQ(error, c.expected);
    if (error != ERROR_SUCCESS) continue;
    CloseHandle(info.hThread);
    EXPECT_EQ(ExitCodeAfterWait(info.hProcess), 0u);
    auto record = FindProcess(info.dwProcessId);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(Utf8FromWide(record->userName), c.user);
  }
  // A user may start a process with (a duplicate of) its own token.
  RunAsUser(L"alice", 1);
  HANDLE own = nullptr, copy = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own));
  ASSERT_TRUE(DuplicateTokenEx(own, 0, nullptr, SecurityImpersonation, TokenPrimary, &copy));
  PROCESS_INFORMATION info;
  EXPECT_EQ(StartAsUser(copy, Probe() + L" exit 7", &info, nullptr), ERROR_SUCCESS);
  CloseHandle(info.hThread);
  EXPECT_EQ(ExitCodeAfterWait(info.hProcess), 7u);
  for (HANDLE h : {alice, bob, imitation, weak, event, own, copy}) CloseHandle(h);
}

TEST_F(ProcessTest, CreateProcessRunsAsTheCallerWithTheEnvironmentAndFolderGiven) {
  RunAsUser(L"bob", 2);
  // A Unicode block of the caller's own making.
  std::wstring text = std::wstring(L"PROBE_VAR=from the block") + L'\0' + L"USERNAME=someone" + L'\0' + L'\0';
  std::vector<WCHAR> block(text.begin(), text.end());
  PROCESS_INFORMATION info;
  ASSERT_EQ(Start(nullptr, Probe() + L" report C:\\Out\\bob.txt", &info, CREATE_UNICODE_ENVIRONMENT, block.data(),
                  L"C:\\Out"),
            ERROR_SUCCESS);
  CloseHandle(info.hThread);
  EXPECT_EQ(ExitCodeAfterWait(info.hProcess), 0u);
  auto report = ReadReport(L"C:\\Out\\bob.txt");
  EXPECT_EQ(report["session"], "2");
  EXPECT_EQ(report["PROBE_VAR"], "from the block");
  EXPECT_EQ(report["USERNAME"], "someone");
  EXPECT_EQ(report["TEMP"], "<none>");
  EXPECT_EQ(report["cwd"], "C:\\Out");
  EXPECT_EQ(report["desktop"], "WinSta0\\Default");
  EXPECT_EQ(Utf8FromWide(FindProcess(info.dwProcessId)->userName), "bob");

  // An 8-bit block without CREATE_UNICODE_ENVIRONMENT.
  const char narrow[] = "PROBE_VAR=narrow\0";
  ASSERT_EQ(Start(nullptr, Probe() + L" report C:\\Out\\narrow.txt", &info, 0, const_cast<char*>(narrow)),
            ERROR_SUCCESS);
  CloseHandle(info.hThread);
  EXPECT_EQ(ExitCodeAfterWait(info.hProcess), 0u);
  EXPECT_EQ(ReadReport(L"C:\\Out\\narrow.txt")["PROBE_VAR"], "narrow");

  // Without a block, the caller's own environment.
  setenv("WINSIM_ENV_PROBE_VAR", "inherited", 1);
  RunAsUser(L"bob", 2);
  ASSERT_EQ(Start(nullptr, Probe() + L" report C:\\Out\\inherited.txt", &info), ERROR_SUCCESS);
  unsetenv("WINSIM_ENV_PROBE_VAR");
  CloseHandle(info.hThread);
  EXPECT_EQ(ExitCodeAfterWait(info.hProcess), 0u);
  EXPECT_EQ(ReadReport(L"C:\\Out\\inherited.txt")["PROBE_VAR"], "inherited");
}

TEST_F(ProcessTest, ExitCodesKeepTheirFull32Bits) {
  const DWORD codes[] = {0, 1, 6, 255, 256, 1314, 0x7FFFFFFF, 0x80070005, 0x8000FFFF, 0xC0000005, 0xFFFFFFFF};
  std::vector<PROCESS_INFORMATION> started;
  for (DWORD code : codes) {
    PROCESS_INFORMATION info;
    ASSERT_EQ(Start(nullptr, Probe() + L" exit " + std::to_wstring(code), &info), ERROR_SUCCESS);
    started.push_back(info);
  }
  for (size_t i = 0; i < started.size(); ++i) {
    SCOPED_TRACE(codes[i]);
    EXPECT_EQ(ExitCodeAfterWait(started[i].hProcess), codes[i]);
    DWORD threadCode = 0;
    EXPECT_TRUE(GetExitCodeThread(started[i].hThread, &threadCode));
    EXPECT_EQ(threadCode, codes[i]);
    EXPECT_EQ(WaitForSingleObject(started[i].hThread, 0), WAIT_OBJECT_0);
    CloseHandle(started[i].hThread);
  }
}

TEST_F(ProcessTest, AProcessIsStillActiveUntilItEnds) {
  PROCESS_INFORMATION info;
  ASSERT_EQ(Start(nullptr, Probe() + L" gate C:\\Out\\gate", &info), ERROR_SUCCESS);
  ASSERT_TRUE(AwaitFile(L"C:\\Out\\gate.ready"));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  ASSERT_TRUE(GetExitCodeThread(info.hThread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  WriteText(L"C:\\Out\\gate", "");
  EXPECT_EQ(ExitCodeAfterWait(info.hProcess), 0u);
  // Signalled for good once ended.
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_OBJECT_0);
  CloseHandle(info.hThread);
}

TEST_F(ProcessTest, WaitingEndsWhenTheProcessIsKilledTerminatedOrLoggedOff) {
  // Killed from outside winsim: the code the signal leaves.
  PROCESS_INFORMATION killed;
  ASSERT_EQ(Start(nullptr, Probe() + L" sleep", &killed), ERROR_SUCCESS);
  CloseHandle(killed.hThread);
  ASSERT_EQ(kill(static_cast<pid_t>(killed.dwProcessId), SIGKILL), 0);
  EXPECT_EQ(ExitCodeAfterWait(killed.hProcess), 0xC0000000u | SIGKILL);

  // TerminateProcess: the code given; a second time, the process has already ended.
  PROCESS_INFORMATION terminated;
  ASSERT_EQ(Start(nullptr, Probe() + L" sleep", &terminated), ERROR_SUCCESS);
  CloseHandle(terminated.hThread);
  EXPECT_TRUE(TerminateProcess(terminated.hProcess, 0xE0001234));
  EXPECT_EQ(ExitCodeAfterWait(terminated.hProcess), 0xE0001234u);
  EXPECT_FALSE(TerminateProcess(terminated.hProcess, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  // A user's program ends when the user logs off.
  RunAsSystem();
  HANDLE token = nullptr;
  ASSERT_TRUE(WTSQueryUserToken(2, &token));
  PROCESS_INFORMATION bobs;
  ASSERT_EQ(StartAsUser(token, Probe() + L" sleep", &bobs, nullptr), ERROR_SUCCESS);
  CloseHandle(bobs.hThread);
  CloseHandle(token);
  ASSERT_TRUE(sessions::Logoff(L"bob").ok);
  EXPECT_EQ(ExitCodeAfterWait(bobs.hProcess), sessions::kLogoffExitCode);
}

TEST_F(ProcessTest, AHandleWorksForAProcessThatIsNotTheCallersChild) {
  // The probe starts a grandchild and ends at once; the grandchild is this process's only by
  // OpenProcess.
  DWORD code = 1;
  ASSERT_EQ(Run(nullptr, Probe() + L" spawn C:\\Out\\grandchild.pid 0x89ABCDEF", &code), ERROR_SUCCESS);
  ASSERT_EQ(code, 0u);
  DWORD pid = static_cast<DWORD>(std::stoul(ReadFile(Linux(L"C:\\Out\\grandchild.pid"))));
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  ASSERT_NE(process, nullptr) << GetLastError();
  m_processes.push_back(process);
  EXPECT_EQ(GetProcessId(process), pid);
  ASSERT_TRUE(GetExitCodeProcess(process, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(ExitCodeAfterWait(process), 0x89ABCDEFu);

  // OpenProcess refuses the idle process, pids of no process, and other users' processes to a
  // standard user.
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, pid), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  PROCESS_INFORMATION admins;
  ASSERT_EQ(Start(nullptr, Probe() + L" sleep", &admins), ERROR_SUCCESS);
  CloseHandle(admins.hThread);
  RunAsUser(L"alice", 1);
  EXPECT_EQ(OpenProcess(SYNCHRONIZE, FALSE, admins.dwProcessId), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ProcessTest, ASuspendedProcessExistsButRunsOnlyOnceResumed) {
  PROCESS_INFORMATION info;
  ASSERT_EQ(Start(nullptr, Probe() + L" report C:\\Out\\suspended.txt", &info, CREATE_SUSPENDED), ERROR_SUCCESS);
  // The machine knows it from its creation on, in the caller's session.
  DWORD session = 0xFFFF;
  EXPECT_TRUE(ProcessIdToSessionId(info.dwProcessId, &session)) << GetLastError();
  EXPECT_EQ(session, 1u);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 300), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(Exists(L"C:\\Out\\suspended.txt"));
  EXPECT_EQ(ResumeThread(info.hThread), 1u);
  EXPECT_EQ(ExitCodeAfterWait(info.hProcess), 0u);
  EXPECT_TRUE(Exists(L"C:\\Out\\suspended.txt"));
  EXPECT_EQ(ResumeThread(info.hThread), 0u);
  CloseHandle(info.hThread);

  // One that is terminated before it ever ran.
  ASSERT_EQ(Start(nullptr, Probe() + L" report C:\\Out\\never.txt", &info, CREATE_SUSPENDED), ERROR_SUCCESS);
  EXPECT_TRUE(TerminateProcess(info.hProcess, 42));
  EXPECT_EQ(ExitCodeAfterWait(info.hProcess), 42u);
  EXPECT_FALSE(Exists(L"C:\\Out\\never.txt"));
  CloseHandle(info.hThread);
}

TEST_F(ProcessTest, BadHandlesAndArgumentsFailAsDocumented) {
  DWORD code = 0;
  HANDLE bogus = reinterpret_cast<HANDLE>(0x7777);
  EXPECT_FALSE(GetExitCodeProcess(bogus, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetProcessId(bogus), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(TerminateProcess(bogus, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // The caller's own pseudo-handle.
  EXPECT_EQ(GetProcessId(GetCurrentProcess()), GetCurrentProcessId());
  ASSERT_TRUE(GetExitCodeProcess(GetCurrentProcess(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  // A closed handle is no handle.
  PROCESS_INFORMATION info;
  ASSERT_EQ(Start(nullptr, Probe() + L" exit 0", &info), ERROR_SUCCESS);
  m_processes.pop_back();
  ASSERT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(info.hThread));
  EXPECT_TRUE(CloseHandle(info.hProcess));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CloseHandle(info.hProcess));
  EXPECT_FALSE(GetExitCodeThread(info.hThread, &code));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace winsim::test
