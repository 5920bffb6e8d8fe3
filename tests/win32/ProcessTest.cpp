// Processes through Win32 only, as the service starts and waits for the agent: the test program
// starts itself with a command word that ProcessChild reads from its command line, waits for it,
// reads its full 32-bit exit code (STILL_ACTIVE while it runs), ends one with TerminateProcess,
// and meets the errors of a missing program and a missing current folder.
#include <cwchar>
#include <string>
#include <vector>

#include "Win32Test.h"

namespace torvex::test {
namespace {

// The child's side: run only when the command line carries a command word.
TEST(ProcessChild, DoesWhatItsCommandLineSays) {
  const wchar_t* line = GetCommandLineW();
  if (const wchar_t* exit = std::wcsstr(line, L"torvex-exit=")) {
    ExitProcess(static_cast<UINT>(std::wcstoul(exit + 12, nullptr, 0)));
  }
  if (std::wcsstr(line, L"torvex-sleep")) {
    for (;;) Sleep(INFINITE);
  }
  GTEST_SKIP() << "started by ProcessTest only";
}

class ProcessTest : public Win32Test {
 protected:
  void TearDown() override {
    for (HANDLE h : m_handles) {
      if (WaitForSingleObject(h, 0) == WAIT_TIMEOUT) TerminateProcess(h, 1);
      CloseHandle(h);
    }
    Win32Test::TearDown();
  }

  // This test program, started with the command word; FALSE with the error left as it is.
  BOOL StartSelf(const std::wstring& word, PROCESS_INFORMATION* info) {
    wchar_t self[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    EXPECT_GT(length, 0u);
    EXPECT_LT(length, static_cast<DWORD>(MAX_PATH));
    std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=ProcessChild.* " + word;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        info)) {
      return FALSE;
    }
    m_handles.push_back(info->hProcess);
    m_handles.push_back(info->hThread);
    return TRUE;
  }

  std::vector<HANDLE> m_handles;
};

TEST_F(ProcessTest, TheWaitEndsWithTheChildsFull32BitExitCode) {
  const DWORD codes[] = {0, 255, 256, 0x7FFFFFFF, 0x89ABCDEF, 0xC0000005};
  std::vector<PROCESS_INFORMATION> children;
  for (DWORD code : codes) {
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(StartSelf(L"torvex-exit=" + std::to_wstring(code), &info)) << GetLastError();
    EXPECT_NE(info.dwProcessId, 0u);
    EXPECT_EQ(GetProcessId(info.hProcess), info.dwProcessId);
    children.push_back(info);
  }
  for (size_t i = 0; i < children.size(); ++i) {
    SCOPED_TRACE(codes[i]);
    ASSERT_EQ(WaitForSingleObject(children[i].hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 0xDEAD;
    ASSERT_TRUE(GetExitCodeProcess(children[i].hProcess, &code));
    EXPECT_EQ(code, codes[i]);
    ASSERT_EQ(WaitForSingleObject(children[i].hThread, 60000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(children[i].hThread, &code));
    EXPECT_EQ(code, codes[i]);
  }
}

TEST_F(ProcessTest, AProcessIsStillActiveUntilTerminated) {
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(StartSelf(L"torvex-sleep", &info)) << GetLastError();
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 200), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_TRUE(TerminateProcess(info.hProcess, 0xE0000001));
  ASSERT_EQ(WaitForSingleObject(info.hProcess, 60000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 0xE0000001u);
}

TEST_F(ProcessTest, AMissingProgramOrCurrentFolderFailsTheCreation) {
  std::wstring folder = NewFolder();
  std::wstring missing = folder + L"\\missing.exe";
  std::wstring line = L"\"" + missing + L"\" x";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  EXPECT_FALSE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(CreateProcessW(missing.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  wchar_t self[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring selfLine = L"\"" + std::wstring(self) + L"\" --gtest_filter=ProcessChild.* torvex-exit=0";
  std::wstring nowhere = folder + L"\\nowhere";
  EXPECT_FALSE(CreateProcessW(self, &selfLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nowhere.c_str(),
                              &startup, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  // The folder given is the child's, once it exists.
  ASSERT_TRUE(CreateDirectoryW(nowhere.c_str(), nullptr));
  ASSERT_TRUE(CreateProcessW(self, &selfLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nowhere.c_str(),
                             &startup, &info))
      << GetLastError();
  m_handles.push_back(info.hProcess);
  m_handles.push_back(info.hThread);
  ASSERT_EQ(WaitForSingleObject(info.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 1;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace torvex::test
