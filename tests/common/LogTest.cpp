// The log facility: the registry-read level, the per-process file, the bytes on disk, links
// planted at the log folder, and failures that drop an entry without troubling the caller.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "LoggingTest.h"
#include "common/Log.h"
#include "common/Registry.h"
#include "core/fault.h"
#include "core/identity.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const char kLogFolder[] = "drives/c/Windows/Temp/_TorvexUtility_";

class LogTest : public LoggingTest {
 protected:
  // The type and size of the stored level, or type REG_NONE when absent.
  std::pair<DWORD, DWORD> LevelValueShape() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return {REG_NONE, 0};
    DWORD type = REG_NONE, size = 0;
    LSTATUS status = RegQueryValueExW(key, REG_LOG_LEVEL_VALUE, nullptr, &type, nullptr, &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return {REG_NONE, 0};
    return {type, size};
  }

};

// Each entry as written: the bracketed local timestamp, the bracketed level name, the message.
const std::regex kEntryPrefix(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] )");

std::string StripTimestamps(const std::string& text) { return std::regex_replace(text, kEntryPrefix, "[T] "); }

TEST_F(LogTest, ConfiguredLevelDecidesWhichEntriesAreWritten) {
  struct Case {
    LONG configured;
    std::string expected;  // entries for the levels 0..5, each written as "L<n>"
  };
  const std::vector<Case> cases = {
      {0, ""},
      {1, "[T] [DEBUG] L1\r\n[T] [INFO] L2\r\n[T] [WARNING] L3\r\n[T] [ERROR] L4\r\n"},
      {2, "[T] [INFO] L2\r\n[T] [WARNING] L3\r\n[T] [ERROR] L4\r\n"},
      {3, "[T] [WARNING] L3\r\n[T] [ERROR] L4\r\n"},
      {4, "[T] [ERROR] L4\r\n"},
      {5, ""},
      {-1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("configured level " + std::to_string(c.configured));
    fs::remove(LogFile());
    g_nLogLevel = -1;
    SetLevel(c.configured);
    for (int level = 0; level <= 5; ++level) WriteLog(L"", 1, level, L"L%d\n", level);
    EXPECT_EQ(StripTimestamps(LogText()), c.expected);
  }
}

TEST_F(LogTest, MissingLevelIsCreatedAsDwordZeroOnceAndThenCached) {
  EXPECT_EQ(LevelValueShape().first, REG_NONE);
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"first\n");
  EXPECT_EQ(LevelValueShape(), std::make_pair(static_cast<DWORD>(REG_DWORD), static_cast<DWORD>(4)));
  EXPECT_EQ(g_nLogLevel.load(), 0);
  // The level is read once per process: a later change has no effect.
  SetLevel(1);
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"second\n");
  EXPECT_EQ(LogText(), "");
  EXPECT_FALSE(fs::exists(LogFile()));
}

TEST_F(LogTest, LevelChangeWhileRunningWaitsForRestart) {
  SetLevel(4);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"hidden\n");
  SetLevel(1);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"still hidden\n");
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"shown\n");
  EXPECT_EQ(StripTimestamps(LogText()), "[T] [ERROR] shown\r\n");
}

TEST_F(LogTest, NegativeLevelIsReadAgainAtEveryCall) {
  SetLevel(-1);
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"one\n");
  EXPECT_EQ(g_nLogLevel.load(), -1);
  SetLevel(2);
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"two\n");
  EXPECT_EQ(StripTimestamps(LogText()), "[T] [ERROR] two\r\n");
}

TEST_F(LogTest, LevelOfAnotherTypeIsTakenByItsBytes) {
  // Three bytes 02 00 00: level 2.
  const BYTE binary[] = {2, 0, 0};
  SetLevelValue(REG_BINARY, binary, sizeof(binary));
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"binary\n");
  EXPECT_EQ(StripTimestamps(LogText()), "[T] [INFO] binary\r\n");

  // Text "1" is stored as the UTF-16 bytes 31 00 00 00: the number 0x31, no valid level, and the
  // value is left as it is.
  g_nLogLevel = -1;
  fs::remove(LogFile());
  const wchar_t text[] = L"1";
  SetLevelValue(REG_SZ, text, sizeof(text));
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"text\n");
  EXPECT_EQ(g_nLogLevel.load(), 0x31);
  EXPECT_EQ(LevelValueShape().first, REG_SZ);
  EXPECT_FALSE(fs::exists(LogFile()));

  // Eight bytes cannot be read into the level: replaced by REG_DWORD 0.
  g_nLogLevel = -1;
  const ULONGLONG wide = 2;
  SetLevelValue(REG_QWORD, &wide, sizeof(wide));
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"qword\n");
  EXPECT_EQ(LevelValueShape(), std::make_pair(static_cast<DWORD>(REG_DWORD), static_cast<DWORD>(4)));
  EXPECT_EQ(g_nLogLevel.load(), 0);
  EXPECT_FALSE(fs::exists(LogFile()));
}

TEST_F(LogTest, UserProcessThatCannotCreateTheDefaultWritesNothingAndRetries) {
  AddUser("alice");
  RunAsUser(L"alice");
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"as alice\n");
  EXPECT_EQ(g_nLogLevel.load(), -1);
  RunAsAdministrator();
  EXPECT_EQ(LevelValueShape().first, REG_NONE);
  SetLevel(2);
  RunAsUser(L"alice");
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"after the level exists\n");
  EXPECT_EQ(StripTimestamps(LogText()), "[T] [ERROR] after the level exists\r\n");
}

TEST_F(LogTest, EntryBytesAreExact) {
  SetLevel(1);
  SYSTEMTIME before = {};
  GetLocalTime(&before);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::Op user %s count %d hr is:0x%x\n", L"bob", 7, 0x80070005);
  // No trailing line feed: the next entry runs on on the same line.
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"no newline");
  WriteLog(L"", 1, LOG_LEVEL_WARNING, L"two\nlines\n");
  std::string text = LogText();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex(R"(^\[(\d{4})-(\d{2})-(\d{2}) \d{2}:\d{2}:\d{2}\.\d{3}\] )")));
  EXPECT_EQ(std::stoi(m[1]), before.wYear);
  EXPECT_EQ(StripTimestamps(text),
            "[T] [INFO] ::Op user bob count 7 hr is:0x80070005\r\n"
            "[T] [ERROR] no newline[T] [WARNING] two\r\nlines\r\n");
}

TEST_F(LogTest, CharacterAboveLatin1EndsTheEntryThere) {
  SetLevel(1);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"user %s logged on\n", L"J\x00f6rg\x0141ukasz");
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"next\n");
  EXPECT_EQ(StripTimestamps(LogText()), "[T] [INFO] user J\xf6rg[T] [INFO] next\r\n");
}

TEST_F(LogTest, LongMessageIsCutToTheEntryBuffer) {
  SetLevel(1);
  std::wstring longText(3000, L'x');
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"%s\n", longText.c_str());
  std::string text = LogText();
  EXPECT_EQ(text.size(), 1023u);
  EXPECT_EQ(StripTimestamps(text).substr(0, 14), "[T] [ERROR] xx");
  EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST_F(LogTest, NullTagOrFormatWritesNothing) {
  SetLevel(1);
  WriteLog(nullptr, 1, LOG_LEVEL_ERROR, L"x\n");
  WriteLog(L"", 1, LOG_LEVEL_ERROR, nullptr);
  EXPECT_FALSE(fs::exists(LogFile()));
}

TEST_F(LogTest, GuidSuffixNamesOneFilePerRun) {
  std::wstring a = GetGuidString();
  std::wstring b = GetGuidString();
  std::wregex form(LR"([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})");
  EXPECT_TRUE(std::regex_match(a, form));
  EXPECT_NE(a, b);
  InjectFault("CoCreateGuid", static_cast<uint32_t>(E_FAIL));
  EXPECT_EQ(GetGuidString(), L"");
  ClearFaults();
  InjectFault("UuidToStringW", RPC_S_OUT_OF_MEMORY);
  EXPECT_EQ(GetGuidString(), L"");
}

TEST_F(LogTest, UserWithTempOnAnotherDriveLogsThereWhenTheParentExists) {
  SetLevel(2);
  AddUser("dana", "D");
  RunAsUser(L"dana");
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"lost\n");
  EXPECT_FALSE(fs::exists(MachinePath("drives/d/Windows/Temp/_TorvexUtility_")));
  fs::create_directories(MachinePath("drives/d/Windows/Temp"));
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"kept\n");
  EXPECT_EQ(StripTimestamps(LogText("d")), "[T] [INFO] kept\r\n");
}

TEST_F(LogTest, UncTempPathWritesNothing) {
  SetLevel(2);
  setenv("WINSIM_ENV_TMP", "\\\\server\\share\\temp", 1);
  RunAsAdministrator();  // reloads the process's Windows environment
  wchar_t temp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  EXPECT_EQ(temp[0], L'\\');
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"x\n");
  EXPECT_FALSE(fs::exists(MachinePath(kLogFolder)));
}

TEST_F(LogTest, FailuresDropTheEntryOnly) {
  SetLevel(2);
  for (const char* function : {"GetTempPathW", "CreateFileW", "GetFinalPathNameByHandleW"}) {
    SCOPED_TRACE(function);
    InjectFault(function, ERROR_ACCESS_DENIED);
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"dropped\n");
    ClearFaults();
  }
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"written\n");
  EXPECT_EQ(StripTimestamps(LogText()), "[T] [INFO] written\r\n");
}

TEST_F(LogTest, LinksPlantedAtTheFolderOrFileAreNotFollowed) {
  SetLevel(2);
  fs::create_directories(MachinePath("drives/c/Secret"));
  std::string target = MachinePath("drives/c/Secret/target.log");
  {
    std::ofstream(target) << "keep";
  }

  // The log folder is a link (a junction on Windows) to another folder.
  ASSERT_EQ(symlink(MachinePath("drives/c/Secret").c_str(), MachinePath(kLogFolder).c_str()), 0);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"via folder link\n");
  EXPECT_FALSE(fs::exists(MachinePath("drives/c/Secret/TestLog.log")));
  fs::remove(MachinePath(kLogFolder));

  // The log file is a link to another file.
  fs::create_directories(MachinePath(kLogFolder));
  ASSERT_EQ(symlink(target.c_str(), LogFile().c_str()), 0);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"via file link\n");
  EXPECT_EQ(ReadFile(target), "keep");
  fs::remove(LogFile());

  // The log file is a second name of another file.
  ASSERT_EQ(link(target.c_str(), LogFile().c_str()), 0);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"via hard link\n");
  EXPECT_EQ(ReadFile(target), "keep");
  fs::remove(LogFile());

  WriteLog(L"", 1, LOG_LEVEL_INFO, L"plain\n");
  EXPECT_EQ(StripTimestamps(LogText()), "[T] [INFO] plain\r\n");
}

TEST_F(LogTest, EntriesOfConcurrentThreadsDoNotInterleave) {
  SetLevel(2);
  const int kThreads = 8, kEntries = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEntries; ++i) WriteLog(L"", 1, LOG_LEVEL_INFO, L"thread %d entry %d payload-payload\n", t, i);
    });
  }
  for (auto& th : threads) th.join();
  std::string text = StripTimestamps(LogText());
  std::regex line(R"(\[T\] \[INFO\] thread (\d) entry (\d+) payload-payload\r\n)");
  size_t lines = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it) ++lines;
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kEntries));
  EXPECT_EQ(std::regex_replace(text, line, ""), "");
}

}  // namespace
}  // namespace winsim::test
