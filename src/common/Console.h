// Console texts of the service program. The format follows the Windows wide-format conventions
// (%s takes a wide string), whatever the C library of the build.
#pragma once
#include <windows.h>

void ConsolePrint(const wchar_t* format, ...);
