// The one place where the width of wchar_t matters to product code: structures that the system
// fills with UTF-16 text (directory change records) hold 16-bit units, which are WCHAR on Windows
// but not on a build whose wchar_t is 32 bits.
#pragma once
#include <windows.h>

#include <string>

#ifdef _WIN32
typedef WCHAR UTF16_UNIT;
inline std::wstring WideFromUtf16Units(const UTF16_UNIT* units, size_t count) { return std::wstring(units, count); }
inline size_t Utf16Length(const std::wstring& text) { return text.size(); }
#else
typedef char16_t UTF16_UNIT;
inline std::wstring WideFromUtf16Units(const UTF16_UNIT* units, size_t count) {
  std::wstring text;
  text.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    text.push_back(static_cast<wchar_t>(c));
  }
  return text;
}
// Characters beyond U+FFFF take two UTF-16 units.
inline size_t Utf16Length(const std::wstring& text) {
  size_t units = 0;
  for (wchar_t c : text) units += static_cast<unsigned long>(c) > 0xFFFF ? 2 : 1;
  return units;
}
#endif
