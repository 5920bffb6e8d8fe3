// The wide-format engine with the Windows C runtime's conventions (_vsnwprintf), which glibc's wide
// printf family does not follow: in a wide format %s and %c take wide text, %S/%hs and %C/%hc narrow
// text, %ld is 32 bits (LONG), %p prints 16 upper-case hex digits. strsafe and every console or log
// text of winsim goes through here.
#pragma once
#include <cstdarg>
#include <string>

namespace winsim {

// Formats into *out; false for a format the CRT rejects as an invalid parameter (%n, an unknown
// conversion, a format ending inside a conversion). *out then holds what was formatted so far.
bool FormatWindowsWide(const wchar_t* format, va_list args, std::wstring* out);
// The same, giving an empty string for a rejected format.
std::wstring FormatWindowsWide(const wchar_t* format, va_list args);
std::wstring FormatWindowsWideF(const wchar_t* format, ...);

}  // namespace winsim
