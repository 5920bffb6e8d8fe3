// A machine on which the product's log facility starts afresh for each test: the configured level
// not yet read, and entries going to TestLog.log in the log folder.
#pragma once
#include <string>

#include "MachineTest.h"
#include "common/Log.h"
#include "windows.h"

namespace winsim::test {

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
};

}  // namespace winsim::test
