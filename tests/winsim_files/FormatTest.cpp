// strsafe and the Windows wide-format engine: each conversion with the Microsoft C runtime's
// meaning, truncation, and the argument checks.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/strings.h"
#include "strsafe.h"
#include "windows.h"

namespace {

// Formats through StringCchVPrintfW into a roomy buffer; any failure shows up in the text.
std::wstring F(const wchar_t* format, ...) {
  wchar_t buffer[512];
  va_list args;
  va_start(args, format);
  HRESULT hr = StringCchVPrintfW(buffer, 512, format, args);
  va_end(args);
  if (hr != S_OK) return L"<failed " + std::to_wstring(hr) + L">";
  return buffer;
}

struct FormatCase {
  std::wstring actual;
  std::wstring expected;
};

TEST(WideFormatTest, ConversionsFollowTheWindowsRuntime) {
  const char* narrow = "narrow";
  const wchar_t* wide = L"wide";
  const wchar_t* nullWide = nullptr;
  const char* nullNarrow = nullptr;
  std::vector<FormatCase> cases = {
      // Strings: %s is wide in a wide format, %S and %hs narrow, %ls and %ws wide.
      {F(L"[%s]", wide), L"[wide]"},
      {F(L"[%S]", narrow), L"[narrow]"},
      {F(L"[%hs]", narrow), L"[narrow]"},
      {F(L"[%ls|%ws|%lS]", wide, wide, wide), L"[wide|wide|wide]"},
      {F(L"[%s]", nullWide), L"[(null)]"},
      {F(L"[%S]", nullNarrow), L"[(null)]"},
      {F(L"[%hs]", "caf\xc3\xa9"), L"[caf\u00e9]"},
      {F(L"[%8s|%-8s|%.2s|%6.3s]", wide, wide, wide, wide), L"[    wide|wide    |wi|   wid]"},
      {F(L"[%.3hs]", narrow), L"[nar]"},
      {F(L"[%*s|%-*s]", 6, wide, 6, wide), L"[  wide|wide  ]"},
      {F(L"[%*s]", -6, wide), L"[wide  ]"},
      {F(L"[%.*s]", 1, wide), L"[w]"},
      // Characters: %c wide, %C and %hc narrow.
      {F(L"[%c%C%hc%lc]", L'\u00e9', 'b', 'c', L'd'), L"[\u00e9bcd]"},
      {F(L"[%3c|%-3c]", L'x', L'y'), L"[  x|y  ]"},
      // Integers and their sizes: l is 32 bits as Windows' LONG.
      {F(L"%d %i %u", -42, 17, 4000000000u), L"-42 17 4000000000"},
      {F(L"%x %X %o", 0xBEEFu, 0xBEEFu, 8u), L"beef BEEF 10"},
      {F(L"%ld %lu %lx", static_cast<LONG>(-5), static_cast<DWORD>(4294967295u), static_cast<DWORD>(0xABCu)),
       L"-5 4294967295 abc"},
      {F(L"%lld %llu", -9000000000LL, 18000000000000000000ULL), L"-9000000000 18000000000000000000"},
      {F(L"%I64d %I64u %I64x", -9000000000LL, 9000000000ULL, 0x123456789ULL), L"-9000000000 9000000000 123456789"},
      {F(L"%I32d %zu %Iu", -7, static_cast<size_t>(123), static_cast<size_t>(456)), L"-7 123 456"},
      {F(L"%hd %hu %hhd", 70000, 70000, 300), L"4464 4464 44"},
      {F(L"%08lx|%08X|%-6d|%6d", static_cast<DWORD>(0x1F), 0xABu, 12, 12), L"0000001f|000000AB|12    |    12"},
      {F(L"%+d|% d|%+d|%05d|%-05d", 3, 3, -3, -3, -3), L"+3| 3|-3|-0003|-3   "},
      {F(L"%#x|%#X|%#o|%#x", 255u, 255u, 8u, 0u), L"0xff|0XFF|010|0"},
      {F(L"%.5d|%8.3d|%.0d|%05.2d", 42, 42, 0, 7), L"00042|     042||   07"},
      {F(L"%#.3o|%#o|%#06o|%-#5o|%#.0o", 8u, 0u, 8u, 8u, 0u), L"010|0|000010|010  |0"},
      {F(L"%-+6d|%+06d|%#10.4x|% 4u", 7, -7, 0x1Fu, 5u), L"+7    |-00007|    0x001f|   5"},
      {F(L"%d|%d", INT_MIN, INT_MAX), L"-2147483648|2147483647"},
      {F(L"%lld", LLONG_MIN), L"-9223372036854775808"},
      // Pointers: 16 upper-case digits without 0x on x64.
      {F(L"%p", reinterpret_cast<void*>(0xABCDEFull)), L"0000000000ABCDEF"},
      {F(L"[%20p]", reinterpret_cast<void*>(0x1ull)), L"[    0000000000000001]"},
      {F(L"%p", static_cast<void*>(nullptr)), L"0000000000000000"},
      // Floats and the rest.
      {F(L"%f|%.2f|%e|%g|%8.3f", 1.5, 3.14159, 12345.678, 0.0001, -2.5), L"1.500000|3.14|1.234568e+04|0.0001|  -2.500"},
      {F(L"100%% done"), L"100% done"},
      {F(L"no conversions"), L"no conversions"},
  };
  for (const auto& c : cases) EXPECT_EQ(winsim::Utf8FromWide(c.actual), winsim::Utf8FromWide(c.expected));
}

TEST(WideFormatTest, TruncatesToTheBufferAndTerminates) {
  struct Case {
    size_t cch;
    std::wstring expected;
    HRESULT result;
  };
  std::vector<Case> cases = {
      {32, L"Hello, world 42", S_OK},
      {16, L"Hello, world 42", S_OK},  // exactly fits with its terminator
      {15, L"Hello, world 4", STRSAFE_E_INSUFFICIENT_BUFFER},
      {6, L"Hello", STRSAFE_E_INSUFFICIENT_BUFFER},
      {1, L"", STRSAFE_E_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    wchar_t buffer[40];
    std::wmemset(buffer, L'#', 40);
    EXPECT_EQ(StringCchPrintfW(buffer, c.cch, L"%s, %s %d", L"Hello", L"world", 42), c.result) << c.cch;
    EXPECT_EQ(std::wstring(buffer), c.expected) << c.cch;
    EXPECT_EQ(buffer[c.cch], L'#') << "wrote past cchDest " << c.cch;
  }
  wchar_t bytes[8];
  EXPECT_EQ(StringCbPrintfW(bytes, sizeof(bytes), L"%s", L"123456789"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(bytes), L"1234567");
}

TEST(WideFormatTest, RejectsInvalidParameters) {
  wchar_t buffer[16];
  // cchDest 0: nothing may be written.
  std::wmemset(buffer, L'#', 16);
  EXPECT_EQ(StringCchPrintfW(buffer, 0, L"abc"), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], L'#');
  // Larger than STRSAFE_MAX_CCH: still a non-zero buffer, so it is left terminated.
  EXPECT_EQ(StringCchPrintfW(buffer, static_cast<size_t>(STRSAFE_MAX_CCH) + 1, L"abc"), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], L'\0');
  // %n is disabled, and an unknown conversion or a dangling % is an invalid parameter.
  int count = 0;
  for (const wchar_t* format : {L"ab%n", L"ab%k", L"ab%"}) {
    std::wmemset(buffer, L'#', 16);
    EXPECT_EQ(StringCchPrintfW(buffer, 16, format, &count), STRSAFE_E_INVALID_PARAMETER) << winsim::Utf8FromWide(format);
    EXPECT_EQ(buffer[0], L'\0');
  }
  EXPECT_EQ(count, 0);
}

TEST(StrSafeTest, CopyCatAndLength) {
  wchar_t buffer[8];
  EXPECT_EQ(StringCchCopyW(buffer, 8, L"abc"), S_OK);
  EXPECT_EQ(std::wstring(buffer), L"abc");
  EXPECT_EQ(StringCchCatW(buffer, 8, L"def"), S_OK);
  EXPECT_EQ(std::wstring(buffer), L"abcdef");
  EXPECT_EQ(StringCchCatW(buffer, 8, L"ghij"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(buffer), L"abcdefg");
  EXPECT_EQ(StringCchCopyW(buffer, 4, L"abcdef"), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::wstring(buffer), L"abc");
  EXPECT_EQ(StringCchCopyW(buffer, 0, L"x"), STRSAFE_E_INVALID_PARAMETER);
  // A destination without a terminator inside cchDest cannot be appended to and is left as is.
  wchar_t full[3] = {L'x', L'y', L'z'};
  EXPECT_EQ(StringCchCatW(full, 3, L"a"), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(full[2], L'z');

  size_t length = 99;
  EXPECT_EQ(StringCchLengthW(L"hello", 10, &length), S_OK);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(StringCchLengthW(L"hello", 5, &length), STRSAFE_E_INVALID_PARAMETER);  // no terminator within 5
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(StringCchLengthW(L"hello", 6, &length), S_OK);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(StringCchLengthW(nullptr, 6, &length), STRSAFE_E_INVALID_PARAMETER);
  EXPECT_EQ(StringCchLengthW(L"x", static_cast<size_t>(STRSAFE_MAX_CCH) + 1, &length), STRSAFE_E_INVALID_PARAMETER);
}

TEST(StrSafeTest, InjectedFaultIsReturnedWithAnEmptyDestination) {
  winsim::InjectFault("StringCchPrintfW", static_cast<uint32_t>(STRSAFE_E_INSUFFICIENT_BUFFER), 1);
  wchar_t buffer[8] = L"old";
  EXPECT_EQ(StringCchPrintfW(buffer, 8, L"%d", 1), STRSAFE_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buffer[0], L'\0');
  EXPECT_EQ(StringCchPrintfW(buffer, 8, L"%d", 1), S_OK);
  EXPECT_EQ(std::wstring(buffer), L"1");
  winsim::ClearFaults();
}

}  // namespace
