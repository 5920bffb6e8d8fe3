// A machine on which the product's log facility starts afresh for each test: the configured level
// not yet read, and entries going to TestLog.log in the log folder.
#pragma once
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "MachineTest.h"
#include "common/Log.h"
#include "windows.h"

namespace winsim::test {

// One entry of a log file: its message ("[LEVEL] text", without the line end) and its time stamp
// in milliseconds of local time.
struct LogEntry {
  long long ms = 0;
  std::string message;
};

// The entries of a log file's text. An entry whose text has no line feed runs straight into the
// next one's time stamp and is cut there.
inline std::vector<LogEntry> ParseLog(const std::string& text) {
  std::vector<LogEntry> entries;
  std::regex stamp(R"(\[(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3})\] )");
  auto it = std::sregex_iterator(text.begin(), text.end(), stamp);
  for (auto end = std::sregex_iterator(); it != end; ++it) {
    const std::smatch& m = *it;
    std::tm parts = {};
    parts.tm_year = std::stoi(m[1]) - 1900;
    parts.tm_mon = std::stoi(m[2]) - 1;
    parts.tm_mday = std::stoi(m[3]);
    parts.tm_hour = std::stoi(m[4]);
    parts.tm_min = std::stoi(m[5]);
    parts.tm_sec = std::stoi(m[6]);
    parts.tm_isdst = -1;
    LogEntry entry;
    entry.ms = static_cast<long long>(std::mktime(&parts)) * 1000 + std::stoi(m[7]);
    auto next = std::next(it);
    size_t from = static_cast<size_t>(m.position(0) + m.length(0));
    size_t to = next == std::sregex_iterator() ? text.size() : static_cast<size_t>(next->position(0));
    entry.message = text.substr(from, to - from);
    if (entry.message.size() >= 2 && entry.message.compare(entry.message.size() - 2, 2, "\r\n") == 0) {
      entry.message.resize(entry.message.size() - 2);
    }
    entries.push_back(entry);
  }
  return entries;
}

inline std::vector<std::string> MessagesOf(const std::vector<LogEntry>& entries) {
  std::vector<std::string> messages;
  for (const auto& e : entries) messages.push_back(e.message);
  return messages;
}

class LoggingTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    g_nLogLevel = -1;
    g_wsModuleName = L"TestLog";
  }
  void TearDown() override {
    g_nLogLevel = -1;
    g_wsModuleName = L"TorvexUtilityService";
    MachineTest::TearDown();
  }

  // Writes the configured "Level" value as the administrator would.
  void SetLevelValue(DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, REG_LOG_LEVEL_VALUE, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void SetLevel(LONG level) { SetLevelValue(REG_DWORD, &level, sizeof(level)); }

  std::string LogFile(const std::string& drive = "c") {
    return MachinePath("drives/" + drive + "/Windows/Temp/_TorvexUtility_/TestLog.log");
  }
  std::string LogText(const std::string& drive = "c") { return ReadFile(LogFile(drive)); }
  std::vector<LogEntry> LogEntries(const std::string& drive = "c") { return ParseLog(LogText(drive)); }
  std::vector<std::string> LogMessages(const std::string& drive = "c") { return MessagesOf(LogEntries(drive)); }
};

}  // namespace winsim::test
