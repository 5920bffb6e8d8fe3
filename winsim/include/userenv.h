// User profiles' environments (userenv.dll).
#pragma once
#include "minwindef.h"
#include "winerror.h"

// The environment of a process of the token's user: the system's variables and the user's own
// (USERNAME, USERPROFILE, TEMP, TMP, APPDATA ...), and with bInherit the calling process's
// variables under them. The block is Unicode ("NAME=value" strings of WCHAR, each terminated, the
// block by one more), sorted by name without regard to case; pass it to process creation with
// CREATE_UNICODE_ENVIRONMENT and free it with DestroyEnvironmentBlock. A null hToken gives the
// system's variables only. A primary token needs TOKEN_QUERY and TOKEN_DUPLICATE access, an
// impersonation token TOKEN_QUERY (ERROR_ACCESS_DENIED).
BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit);
// FALSE with ERROR_INVALID_PARAMETER for a block that CreateEnvironmentBlock did not make.
BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment);
