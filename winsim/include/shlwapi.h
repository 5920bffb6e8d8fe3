#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

BOOL WINAPI PathFileExistsW(LPCWSTR pszPath);
