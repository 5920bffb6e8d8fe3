#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

// Clocks are real: the time scale of the machine does not apply to them.
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
DWORD WINAPI GetTickCount(void);
ULONGLONG WINAPI GetTickCount64(void);
