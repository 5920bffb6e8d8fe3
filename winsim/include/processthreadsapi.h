#pragma once
#include "minwindef.h"

HANDLE WINAPI GetCurrentProcess(void);
HANDLE WINAPI GetCurrentThread(void);
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);
LPWSTR WINAPI GetCommandLineW(void);
[[noreturn]] void WINAPI ExitProcess(UINT uExitCode);
