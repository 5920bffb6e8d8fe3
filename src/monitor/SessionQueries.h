// Questions about the console that the session monitoring asks: who is signed in there and in
// which session, that user's identity hash, whether the companion app runs there, whether its
// package folder exists for that user, and which Windows build is installed. Nothing is cached:
// every call asks the system afresh, so any thread may call any of them at any time.
#pragma once
#include <windows.h>

#include <string>

// The value WTSGetActiveConsoleSessionId gives when no session is attached to the console.
#define NO_CONSOLE_SESSION_ID 0xFFFFFFFF
// Hashed in front of the user name, so that the text names the user without showing the name.
#define USER_MD5_PREFIX L"PalverOrchind"
#define OS_VERSION_KEY L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"
#define OS_BUILD_NUMBER_VALUE L"CurrentBuildNumber"

// The console session's user name (empty when nobody is signed in there) and id (always stored,
// NO_CONSOLE_SESSION_ID when there is no console session). FALSE when there is no console session
// or its user cannot be queried.
BOOL GetCurrentUserNameAndSessionId(std::wstring& wsUserName, DWORD& dwSessionId);
// The MD5 of USER_MD5_PREFIX followed by the data, over UTF-16LE units, as 32 lower-case hex
// digits. FALSE for empty data and for any failure of the hash, with the output left empty.
BOOL GetMD5(const std::wstring& wsData, std::wstring& wsMD5);
// The console user's name and MD5 text. FALSE when the console cannot be asked, nobody is signed
// in there (an empty name has no identity to check), or the hash fails.
BOOL GetCurrentUserNameAndMD5(std::wstring& wsUserName, std::wstring& wsMD5);
// TRUE when a process whose image name begins with the app's image name runs in the console session.
BOOL IsExistUtilityProcess();
// TRUE when the app's package folder exists in the console user's Packages folder, on the drive
// of this process's temporary folder. The Packages folder's path is handed back whenever the user
// and the drive are known, also when the package folder is missing.
BOOL IsUtilityfolderExist(std::wstring& wsPackagesFolder);
// The installed Windows build, as text; empty when it cannot be read.
std::wstring GetCurrentOSBuildNumber();
