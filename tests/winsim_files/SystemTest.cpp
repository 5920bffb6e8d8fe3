// The temporary folder, environment, module name, clocks, GUIDs and injected faults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/identity.h"
#include "core/strings.h"
#include "core/timescale.h"
#include "process/process.h"
#include "windows.h"

namespace winsim::test {
namespace {

class SystemTest : public MachineTest {
 protected:
  std::wstring TempPath() {
    wchar_t buffer[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    EXPECT_GT(n, 0u);
    return std::wstring(buffer, n);
  }
  // Runs with exactly these Windows environment variables.
  void UseWindowsEnvironment(const std::map<std::string, std::string>& vars) {
    for (const auto& [k, v] : vars) setenv(("WINSIM_ENV_" + k).c_str(), v.c_str(), 1);
    m_set = vars;
    SetCurrentIdentity(CurrentIdentity());  // re-reads the environment
  }
  void TearDownEnvironmentOnly() {
    for (const auto& [k, v] : m_set) unsetenv(("WINSIM_ENV_" + k).c_str());
    m_set.clear();
    SetCurrentIdentity(CurrentIdentity());
  }
  void TearDown() override {
    TearDownEnvironmentOnly();
    MachineTest::TearDown();
  }

 private:
  std::map<std::string, std::string> m_set;
};

TEST_F(SystemTest, TempPathFollowsTheIdentity) {
  RunAsSystem();
  EXPECT_EQ(TempPath(), L"C:\\Windows\\Temp\\");
  AddUser("bob", "D");
  RunAsUser(L"bob");
  EXPECT_EQ(TempPath(), L"D:\\Users\\bob\\AppData\\Local\\Temp\\");
}

TEST_F(SystemTest, TempPathTakesTmpTempUserProfileThenWindows) {
  std::string saved = std::filesystem::current_path().string();
  std::filesystem::create_directories(MachinePath("drives/c/cwd"));
  ASSERT_EQ(chdir(MachinePath("drives/c/cwd").c_str()), 0);
  struct Case {
    std::map<std::string, std::string> env;
    std::wstring expected;
  };
  std::vector<Case> cases = {
      {{{"TMP", "C:\\t1"}, {"TEMP", "C:\\t2"}, {"USERPROFILE", "C:\\Users\\x"}}, L"C:\\t1\\"},
      {{{"TEMP", "C:\\t2\\"}, {"USERPROFILE", "C:\\Users\\x"}}, L"C:\\t2\\"},
      {{{"USERPROFILE", "C:\\Users\\x"}}, L"C:\\Users\\x\\"},
      {{{"PATH", "C:\\Windows"}}, L"C:\\Windows\\"},
      {{{"TMP", "rel\\tmp"}}, L"C:\\cwd\\rel\\tmp\\"},       // relative: against the current directory
      {{{"TMP", "\\\\srv\\share\\t"}}, L"\\\\srv\\share\\t\\"},  // UNC: kept
      {{{"TMP", "C:\\no\\such\\folder"}}, L"C:\\no\\such\\folder\\"},  // existence is not checked
  };
  for (const auto& c : cases) {
    UseWindowsEnvironment(c.env);
    EXPECT_EQ(Utf8FromWide(TempPath()), Utf8FromWide(c.expected));
    TearDownEnvironmentOnly();
  }
  ASSERT_EQ(chdir(saved.c_str()), 0);
}

TEST_F(SystemTest, TempPathSizingProtocol) {
  RunAsSystem();
  const std::wstring expected = L"C:\\Windows\\Temp\\";
  DWORD needed = static_cast<DWORD>(expected.size() + 1);
  EXPECT_EQ(GetTempPathW(0, nullptr), needed);
  wchar_t buffer[32];
  std::wmemset(buffer, L'#', 32);
  EXPECT_EQ(GetTempPathW(needed - 1, buffer), needed);  // no room for the terminator
  EXPECT_EQ(buffer[0], L'#');
  EXPECT_EQ(GetTempPathW(needed, buffer), needed - 1);
  EXPECT_EQ(std::wstring(buffer), expected);
}

TEST_F(SystemTest, EnvironmentVariablesAndTheirSizing) {
  RunAsSystem();
  wchar_t buffer[64];
  DWORD n = GetEnvironmentVariableW(L"systemroot", buffer, 64);  // names match without regard to case
  EXPECT_EQ(std::wstring(buffer, n), L"C:\\Windows");
  EXPECT_EQ(GetEnvironmentVariableW(L"SystemRoot", buffer, 5), 11u);
  EXPECT_EQ(GetEnvironmentVariableW(L"SystemRoot", nullptr, 0), 11u);
  SetLastError(0);
  EXPECT_EQ(GetEnvironmentVariableW(L"NO_SUCH_VARIABLE", buffer, 64), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
}

TEST_F(SystemTest, ModuleFileNameTruncatesAsOnWindowsXpAndLater) {
  const std::wstring& image = CurrentImagePath();
  ASSERT_GT(image.size(), 4u);
  std::vector<wchar_t> buffer(image.size() + 8, L'#');
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())), image.size());
  EXPECT_EQ(std::wstring(buffer.data()), image);
  // Exactly the length: no room for the terminator, so truncated.
  DWORD size = static_cast<DWORD>(image.size());
  std::wmemset(buffer.data(), L'#', buffer.size());
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), size), size);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::wstring(buffer.data()), image.substr(0, size - 1));
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer.data(), 4), 4u);
  EXPECT_EQ(std::wstring(buffer.data()), image.substr(0, 3));
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1234), buffer.data(), size), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(SystemTest, GuidsAreVersionFourAndPrintLowerCase) {
  GUID known{0x0123ABCD, 0x4567, 0x89EF, {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89}};
  RPC_WSTR text = nullptr;
  ASSERT_EQ(UuidToStringW(&known, &text), RPC_S_OK);
  EXPECT_EQ(std::wstring(reinterpret_cast<wchar_t*>(text)), L"0123abcd-4567-89ef-abcd-ef0123456789");
  EXPECT_EQ(RpcStringFreeW(&text), RPC_S_OK);
  EXPECT_EQ(text, nullptr);

  std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::wstring> seen;
  for (int i = 0; i < 20; ++i) {
    GUID g{};
    ASSERT_EQ(CoCreateGuid(&g), S_OK);
    ASSERT_EQ(UuidToStringW(&g, &text), RPC_S_OK);
    std::wstring s = reinterpret_cast<wchar_t*>(text);
    RpcStringFreeW(&text);
    EXPECT_TRUE(std::regex_match(Utf8FromWide(s), form)) << Utf8FromWide(s);
    seen.insert(s);
  }
  EXPECT_EQ(seen.size(), 20u);
  EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

TEST_F(SystemTest, ClocksAreRealAndConsistent) {
  SetTimeScale(100.0);  // the time scale speeds up waits, never clocks
  SYSTEMTIME utc{}, local{};
  GetSystemTime(&utc);
  GetLocalTime(&local);
  time_t now = time(nullptr);
  struct tm t;
  gmtime_r(&now, &t);
  EXPECT_EQ(utc.wYear, t.tm_year + 1900);
  EXPECT_EQ(utc.wMonth, t.tm_mon + 1);
  EXPECT_EQ(utc.wDayOfWeek, t.tm_wday);
  EXPECT_LT(utc.wMilliseconds, 1000);
  EXPECT_LT(local.wHour, 24);
  // Ticks are the host's milliseconds since boot, whatever the time scale says.
  auto bootMs = [] {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<ULONGLONG>(ts.tv_sec) * 1000u + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000u;
  };
  ULONGLONG low = bootMs();
  ULONGLONG ticks = GetTickCount64();
  DWORD ticks32 = GetTickCount();
  ULONGLONG high = bootMs();
  EXPECT_LE(low, ticks);
  EXPECT_LE(ticks, high);
  // The 32-bit count is the low part of the same clock (compared modulo 2^32).
  EXPECT_LE(static_cast<DWORD>(ticks32 - static_cast<DWORD>(low)), static_cast<DWORD>(high - low));
}

TEST_F(SystemTest, InjectedFaultsReachTheCallers) {
  InjectFault("GetTempPathW", ERROR_ACCESS_DENIED, 1);
  wchar_t buffer[MAX_PATH];
  EXPECT_EQ(GetTempPathW(MAX_PATH, buffer), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_GT(GetTempPathW(MAX_PATH, buffer), 0u);  // only the next call

  InjectFault("CreateFileW", ERROR_SHARING_VIOLATION, -1, 2);
  HANDLE first = CreateFileW(L"C:\\f.txt", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  CloseHandle(first);
  EXPECT_EQ(CreateFileW(L"C:\\f.txt", GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  InjectFault("UuidToStringW", RPC_S_OUT_OF_MEMORY, 1);
  GUID g{};
  RPC_WSTR text = nullptr;
  EXPECT_EQ(UuidToStringW(&g, &text), RPC_S_OUT_OF_MEMORY);
  EXPECT_EQ(text, nullptr);
  InjectFault("CoCreateGuid", static_cast<uint32_t>(E_OUTOFMEMORY), 1);
  EXPECT_EQ(CoCreateGuid(&g), E_OUTOFMEMORY);
  InjectFault("GetFileAttributesW", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(GetFileAttributesW(L"C:\\Windows"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

}  // namespace
}  // namespace winsim::test
