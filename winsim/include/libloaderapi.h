#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
