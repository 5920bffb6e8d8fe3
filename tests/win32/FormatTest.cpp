// The wide formatting that every log line and console text goes through: Windows' meaning of the
// conversions (%s takes a wide string, %S and %hs a narrow one) and strsafe's truncation rule.
#include "Win32Test.h"

#include <cstdarg>

// Last: it marks the unbounded string functions of the headers above as deprecated.
#include <strsafe.h>

namespace torvex::test {
namespace {

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[256] = {};
  va_list args;
  va_start(args, format);
  HRESULT hr = StringCchVPrintfW(buffer, ARRAYSIZE(buffer), format, args);
  va_end(args);
  EXPECT_EQ(hr, S_OK) << "format: " << testing::PrintToString(std::wstring(format));
  return buffer;
}

class FormatTest : public Win32Test {};

TEST_F(FormatTest, ConversionsFollowWindowsConventions) {
  int value = -42;
  EXPECT_EQ(Format(L"%s|%ls|%S|%hs", L"wide", L"long", "narrow", "half"), L"wide|long|narrow|half");
  EXPECT_EQ(Format(L"%d %u %x %X %i", value, 4000000000u, 0xbeefu, 0xbeefu, 7), L"-42 4000000000 beef BEEF 7");
  EXPECT_EQ(Format(L"%ld %lu %lx 0x%08lx", -5L, 4000000000UL, 0xabcUL, 0x427UL), L"-5 4000000000 abc 0x00000427");
  EXPECT_EQ(Format(L"[%5d][%-5d][%05d][%+d]", 42, 42, 42, 42), L"[   42][42   ][00042][+42]");
  EXPECT_EQ(Format(L"[%.3s][%6.2s][%-4s]", L"abcdef", L"xyz", L"ab"), L"[abc][    xy][ab  ]");
  EXPECT_EQ(Format(L"[%*d][%.*s]", 4, 7, 2, L"hello"), L"[   7][he]");
  EXPECT_EQ(Format(L"%c%c %%", L'o', L'k'), L"ok %");
  EXPECT_EQ(Format(L"%s", L"caf\u00e9 \u4e2d"), L"caf\u00e9 \u4e2d");
  // Windows prints pointers as 16 upper-case hexadecimal digits in a 64-bit program.
  EXPECT_EQ(Format(L"%p", reinterpret_cast<void*>(0xabcdef)), L"0000000000ABCDEF");
}

TEST_F(FormatTest, TruncationKeepsWhatFitsAndSaysSo) {
  struct Case {
    size_t cch;
    HRESULT result;
    std::wstring text;
  };
  const Case cases[] = {
      {10, S_OK, L"abcdefg8"},
      {9, S_OK, L"abcdefg8"},
      {8, STRSAFE_E_INSUFFICIENT_BUFFER, L"abcdefg"},
      {1, STRSAFE_E_INSUFFICIENT_BUFFER, L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cch);
    wchar_t buffer[16];
    for (auto& ch : buffer) ch = L'#';
    EXPECT_EQ(StringCchPrintfW(buffer, c.cch, L"%s%d", L"abcdefg", 8), c.result);
    EXPECT_EQ(std::wstring(buffer), c.text);
    EXPECT_EQ(buffer[c.cch], L'#') << "nothing is written past the buffer";
  }
  wchar_t untouched[4] = {L'x', L'y', L'z', L'\0'};
  EXPECT_EQ(StringCchPrintfW(untouched, 0, L"%s", L"abc"), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(std::wstring(untouched), L"xyz");
}

TEST_F(FormatTest, CopyCatAndLength) {
  wchar_t buffer[8] = {};
  EXPECT_EQ(StringCchCopyW(buffer, ARRAYSIZE(buffer), L"abc"), S_OK);
  EXPECT_EQ(StringCchCatW(buffer, ARRAYSIZE(buffer), L"def"), S_OK);
  EXPECT_EQ(std::wstring(buffer), L"abcdef");
  EXPECT_EQ(StringCchCatW(buffer, ARRAYSIZE(buffer), L"ghi"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(buffer), L"abcdefg");
  size_t length = 0;
  EXPECT_EQ(StringCchLengthW(buffer, ARRAYSIZE(buffer), &length), S_OK);
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(StringCchLengthW(L"abcdefgh", 8, &length), STRSAFE_E_INVALID_PARAMETER) << "no terminator within 8";
  EXPECT_EQ(StringCchCopyW(buffer, 3, L"abcdef"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(buffer), L"ab");
}

}  // namespace
}  // namespace torvex::test
