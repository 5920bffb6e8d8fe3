// The log facility's file and bytes: where the file lands, what an entry looks like byte for
// byte, and the configured level.
#include "common/Log.h"

#include <atomic>
#include <regex>

#include "Win32Test.h"
#include "common/Registry.h"

namespace torvex::test {
namespace {

class LogTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    m_module = L"Win32Log" + UniqueName();
    g_wsModuleName = m_module;
    g_nLogLevel = -1;
  }
  void TearDown() override {
    SetLevel(0);
    g_nLogLevel = -1;
    g_wsModuleName = L"TorvexUtilityService";
    Win32Test::TearDown();
  }
  static void SetLevel(DWORD level) {
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY));
    ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY, REG_LOG_LEVEL_VALUE, level));
  }
  // <drive of the temporary folder>:\Windows\Temp\_TorvexUtility_\<module>.log
  std::wstring LogPath() const {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(ARRAYSIZE(temp), temp);
    return std::wstring(1, temp[0]) + L":\\Windows\\Temp\\_TorvexUtility_\\" + m_module + L".log";
  }
  std::wstring m_module;
};

TEST_F(LogTest, EntriesAreStampedLineByLineInTheirFile) {
  SetLevel(LOG_LEVEL_INFO);
  WriteLog(L"", 1, LOG_LEVEL_DEBUG, L"not written\n");
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle current user name: \"%s\", MD5: \"%s\"\n", L"alice",
           L"0123");
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 BCryptOpenAlgorithmProvider() return fail!\n");
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"no line feed %d", 7);
  std::string bytes = ReadBytes(LogPath());
  const std::string stamp = R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )";
  std::regex expected(stamp + R"(\[INFO\] ::OnServiceControlHandle current user name: "alice", MD5: "0123"\r\n)" +
                      stamp + R"(\[ERROR\] GetMD5 BCryptOpenAlgorithmProvider\(\) return fail!\r\n)" + stamp +
                      R"(\[INFO\] no line feed 7)");
  EXPECT_TRUE(std::regex_match(bytes, expected)) << bytes;
}

TEST_F(LogTest, LevelZeroWritesNothingAndTheLevelIsReadOnce) {
  SetLevel(LOG_LEVEL_NOLOG);
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"off\n");
  EXPECT_EQ(GetFileAttributesW(LogPath().c_str()), INVALID_FILE_ATTRIBUTES);
  // The level is kept for the process's life: a change takes effect at the next start.
  SetLevel(LOG_LEVEL_DEBUG);
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"still off\n");
  EXPECT_EQ(GetFileAttributesW(LogPath().c_str()), INVALID_FILE_ATTRIBUTES);
  g_nLogLevel = -1;
  WriteLog(L"", 1, LOG_LEVEL_DEBUG, L"now on\n");
  EXPECT_NE(ReadBytes(LogPath()).find("[DEBUG] now on\r\n"), std::string::npos);
}

TEST_F(LogTest, GuidTextsAreFreshAndWellFormed) {
  std::wstring a = GetGuidString();
  std::wstring b = GetGuidString();
  std::wregex form(L"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  EXPECT_TRUE(std::regex_match(a, form));
  EXPECT_TRUE(std::regex_match(b, form));
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace torvex::test
