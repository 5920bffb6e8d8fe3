#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

// Reads the process's Windows environment (not the Linux one).
DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
