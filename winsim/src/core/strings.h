// Text conversions between the process's wide strings (wchar_t, 32 bits on Linux), UTF-8 (Linux
// file names, environment, SQLite text) and UTF-16LE (what Windows keeps in the registry and on wires).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

std::string Utf8FromWide(std::wstring_view text);
std::wstring WideFromUtf8(std::string_view text);

// UTF-16LE bytes of a wide string; characters above U+FFFF become surrogate pairs.
std::vector<uint8_t> Utf16LeFromWide(std::wstring_view text);
// Wide string from UTF-16LE bytes; an odd trailing byte is dropped, unpaired surrogates kept as is.
std::wstring WideFromUtf16Le(const uint8_t* data, size_t bytes);

// Windows compares names (registry keys and values, file names, service names) without regard to
// case by upper-casing both sides.
std::wstring UpperCase(std::wstring_view text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);

}  // namespace winsim
