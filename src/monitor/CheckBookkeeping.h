// The per-user bookkeeping of the companion-app check, kept under the product's main service key,
// and the delays after which the check runs.
#pragma once
#include <windows.h>

#include <string>

// Followed directly by the user's MD5 text.
#define REG_USER_CHECK_KEY_PREFIX L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\"
// REG_DWORD: 0 = the check is due for the user, 1 = done.
#define REG_CHECK_UTILITY_PROCESS_COUNT_VALUE L"CheckCount"
// REG_SZ: the Windows build when the check was last made due.
#define REG_OS_BUILD_NUMBER_VALUE L"OSBuildNumber"

// After a logon that finds the check due, and after a change of the app's package folder.
#define USER_LOGON_DELAY_SECONDS 120
#define DIRECTORY_NOTIFY_DELAY_SECONDS 30

inline std::wstring UserCheckKeyPath(const std::wstring& wsUserMD5) { return REG_USER_CHECK_KEY_PREFIX + wsUserMD5; }
