#pragma once
#include "minwindef.h"

BOOL WINAPI CloseHandle(HANDLE hObject);
