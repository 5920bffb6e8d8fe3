#pragma once
#include "minwindef.h"

#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3

// Compares code unit by code unit; with bIgnoreCase both sides are upper-cased first, as the
// operating system's upper-case table does. A length of -1 means NUL-terminated.
int WINAPI CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2, int cchCount2, BOOL bIgnoreCase);
