// Fault injection reaches every function of process creation, tokens, environment blocks and
// moves: each fails with the planned error, in its own terms, and works again once the plan is
// cleared.
#include <functional>

#include "LaunchTest.h"
#include "core/fault.h"
#include "sessions/sessions.h"
#include "userenv.h"
#include "wtsapi32.h"

namespace winsim::test {
namespace {

class LaunchFaultTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    PlantProbe();
    AddUser("alice");
    ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
    RunAsSystem();
    ASSERT_TRUE(WTSQueryUserToken(1, &m_token));
    PROCESS_INFORMATION info;
    ASSERT_EQ(Start(nullptr, Probe() + L" sleep", &info), ERROR_SUCCESS);
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_pid = info.dwProcessId;
    WriteText(L"C:\\Data\\a.txt", "a");
  }

  void TearDown() override {
    CloseHandle(m_token);
    RunAsAdministrator();
    LaunchTest::TearDown();
  }

  HANDLE m_token = nullptr;
  HANDLE m_process = nullptr;
  DWORD m_pid = 0;
};

TEST_F(LaunchFaultTest, EveryFunctionFailsWithThePlannedError) {
  constexpr DWORD kError = ERROR_NOT_ENOUGH_MEMORY;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  std::wstring line = Probe() + L" exit 0";
  struct Case {
    const char* function;
    std::function<bool()> call;  // true when the call succeeded
  } cases[] = {
      {"WTSQueryUserToken", [] { HANDLE t = nullptr; bool ok = WTSQueryUserToken(1, &t); if (ok) CloseHandle(t); return ok; }},
      {"DuplicateTokenEx", [&] { HANDLE t = nullptr; bool ok = DuplicateTokenEx(m_token, 0, nullptr, SecurityImpersonation, TokenPrimary, &t); if (ok) CloseHandle(t); return ok; }},
      {"GetTokenInformation", [&] { DWORD v = 0, n = 0; return GetTokenInformation(m_token, TokenSessionId, &v, sizeof(v), &n) != FALSE; }},
      {"OpenProcessToken", [] { HANDLE t = nullptr; bool ok = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &t); if (ok) CloseHandle(t); return ok; }},
      {"CreateEnvironmentBlock", [&] { void* b = nullptr; bool ok = CreateEnvironmentBlock(&b, m_token, FALSE); if (ok) DestroyEnvironmentBlock(b); return ok; }},
      {"CreateProcessW", [&] { PROCESS_INFORMATION i; std::wstring l = line; bool ok = CreateProcessW(nullptr, l.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &i); if (ok) { m_processes.push_back(i.hProcess); CloseHandle(i.hThread); } return ok; }},
      {"CreateProcessAsUserW", [&] { PROCESS_INFORMATION i; std::wstring l = line; bool ok = CreateProcessAsUserW(m_token, nullptr, l.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &i); if (ok) { m_processes.push_back(i.hProcess); CloseHandle(i.hThread); } return ok; }},
      {"GetExitCodeProcess", [&] { DWORD c = 0; return GetExitCodeProcess(m_process, &c) != FALSE; }},
      {"GetProcessId", [&] { return GetProcessId(m_process) != 0; }},
      {"OpenProcess", [&] { HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, m_pid); if (h) CloseHandle(h); return h != nullptr; }},
      {"MoveFileExW", [] { return MoveFileExW(L"C:\\Data\\a.txt", L"C:\\Data\\a.txt", 0) != FALSE; }},
      {"MoveFileW", [] { return MoveFileW(L"C:\\Data\\a.txt", L"C:\\Data\\a.txt") != FALSE; }},
      {"GetCurrentDirectoryW", [] { WCHAR b[MAX_PATH]; return GetCurrentDirectoryW(MAX_PATH, b) != 0; }},
      {"TerminateProcess", [&] { return TerminateProcess(m_process, 3) != FALSE; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    InjectFault(c.function, kError, 1);
    SetLastError(0);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), kError);
    EXPECT_TRUE(c.call()) << GetLastError();
  }
  void* block = nullptr;
  ASSERT_TRUE(CreateEnvironmentBlock(&block, m_token, FALSE));
  InjectFault("DestroyEnvironmentBlock", kError, 1);
  EXPECT_FALSE(DestroyEnvironmentBlock(block));
  EXPECT_EQ(GetLastError(), kError);
  EXPECT_TRUE(DestroyEnvironmentBlock(block));
}

// A whole process can be told to fail a function through its environment: the child inherits
// the plan and its own call fails.
TEST_F(LaunchFaultTest, AChildInheritsThePlanOfItsEnvironment) {
  setenv("WINSIM_FAULTS", "CreateFileW=5", 1);
  DWORD code = 0;
  DWORD error = Run(nullptr, Probe() + L" open C:\\Data\\a.txt " + std::to_wstring(GENERIC_READ) + L" 7", &code);
  unsetenv("WINSIM_FAULTS");
  ASSERT_EQ(error, ERROR_SUCCESS);
  EXPECT_EQ(code, 5u);
}

}  // namespace
}  // namespace winsim::test
