#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

// Reads the process's Windows environment (not the Linux one).
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
// The current folder: its length without the terminator, or the size needed with it when the
// buffer is too small.
DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
