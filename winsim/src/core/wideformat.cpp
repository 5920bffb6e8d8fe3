#include "core/wideformat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "core/strings.h"

namespace winsim {
namespace {

enum class Size { None, Char, Short, Long32, Long64, Pointer, LongDouble, Wide };

struct Spec {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = -1;
  int precision = -1;
  Size size = Size::None;
};

// Appends the body, padded with spaces to the width on the side the flags ask for.
void Pad(std::wstring& out, std::wstring_view body, const Spec& spec) {
  size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
  if (body.size() >= width) {
    out += body;
  } else if (spec.left) {
    out += body;
    out.append(width - body.size(), L' ');
  } else {
    out.append(width - body.size(), L' ');
    out += body;
  }
}

// Appends an integer: sign or base prefix, zeros (from the precision, the # flag of octal, or the
// 0 flag), then the digits, padded to the width. Written straight into the output: the body is
// built in place of a temporary string.
void FormatInteger(std::wstring& out, uint64_t magnitude, bool negative, wchar_t conv, const Spec& spec) {
  unsigned base = conv == L'o' ? 8 : (conv == L'x' || conv == L'X' || conv == L'p') ? 16 : 10;
  const char* digitsOf = conv == L'x' ? "0123456789abcdef" : "0123456789ABCDEF";
  wchar_t digits[24];  // 64 bits in octal take 22
  size_t count = 0;
  for (uint64_t v = magnitude; v != 0; v /= base) digits[sizeof(digits) / sizeof(digits[0]) - 1 - count++] = static_cast<wchar_t>(digitsOf[v % base]);
  const wchar_t* first = digits + (sizeof(digits) / sizeof(digits[0]) - count);
  if (magnitude == 0 && spec.precision != 0) {
    digits[0] = L'0';
    first = digits;
    count = 1;
  }
  size_t zeros = spec.precision > 0 && count < static_cast<size_t>(spec.precision) ? spec.precision - count : 0;
  const wchar_t* prefix = L"";
  if (conv == L'd' || conv == L'i') {
    if (negative) prefix = L"-";
    else if (spec.plus) prefix = L"+";
    else if (spec.space) prefix = L" ";
  } else if (spec.alt && magnitude != 0 && conv == L'x') {
    prefix = L"0x";
  } else if (spec.alt && magnitude != 0 && conv == L'X') {
    prefix = L"0X";
  } else if (spec.alt && conv == L'o' && zeros == 0 && (count == 0 || first[0] != L'0')) {
    zeros = 1;
  }
  size_t prefixLength = std::wcslen(prefix);
  size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
  if (spec.zero && !spec.left && spec.precision < 0 && prefixLength + zeros + count < width) {
    zeros = width - prefixLength - count;
  }
  size_t body = prefixLength + zeros + count;
  size_t spaces = body < width ? width - body : 0;
  if (!spec.left) out.append(spaces, L' ');
  out.append(prefix, prefixLength);
  out.append(zeros, L'0');
  out.append(first, count);
  if (spec.left) out.append(spaces, L' ');
}

std::wstring NarrowToWide(const char* text, int precision) {
  size_t bytes = precision >= 0 ? strnlen(text, static_cast<size_t>(precision)) : std::strlen(text);
  // winsim's ANSI code page is UTF-8, the narrow encoding of Linux.
  return WideFromUtf8(std::string_view(text, bytes));
}

}  // namespace

bool FormatWindowsWide(const wchar_t* format, va_list argsIn, std::wstring* out) {
  va_list ap;
  va_copy(ap, argsIn);
  std::wstring& result = *out;
  result.clear();
  bool ok = true;
  const wchar_t* p = format;
  while (*p) {
    if (*p != L'%') {
      result.push_back(*p++);
      continue;
    }
    ++p;
    if (*p == L'%') {
      result.push_back(L'%');
      ++p;
      continue;
    }
    Spec spec;
    for (bool more = true; more;) {
      switch (*p) {
        case L'-': spec.left = true; ++p; break;
        case L'+': spec.plus = true; ++p; break;
        case L' ': spec.space = true; ++p; break;
        case L'#': spec.alt = true; ++p; break;
        case L'0': spec.zero = true; ++p; break;
        default: more = false;
      }
    }
    if (*p == L'*') {
      int w = va_arg(ap, int);
      // A negative width taken from the arguments means left alignment.
      if (w < 0) {
        spec.left = true;
        w = w == INT32_MIN ? INT32_MAX : -w;
      }
      spec.width = w;
      ++p;
    } else {
      while (*p >= L'0' && *p <= L'9') spec.width = (spec.width < 0 ? 0 : spec.width * 10) + (*p++ - L'0');
    }
    if (*p == L'.') {
      ++p;
      spec.precision = 0;
      if (*p == L'*') {
        int v = va_arg(ap, int);
        spec.precision = v < 0 ? -1 : v;  // a negative precision counts as none
        ++p;
      } else {
        while (*p >= L'0' && *p <= L'9') spec.precision = spec.precision * 10 + (*p++ - L'0');
      }
    }
    // Size prefixes of the Microsoft C runtime: l is 32 bits (LONG), I is pointer-sized.
    if (p[0] == L'h' && p[1] == L'h') {
      spec.size = Size::Char;
      p += 2;
    } else if (*p == L'h') {
      spec.size = Size::Short;
      ++p;
    } else if (p[0] == L'l' && p[1] == L'l') {
      spec.size = Size::Long64;
      p += 2;
    } else if (*p == L'l') {
      spec.size = Size::Long32;
      ++p;
    } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
      spec.size = Size::Long64;
      p += 3;
    } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
      spec.size = Size::Long32;
      p += 3;
    } else if (*p == L'I' || *p == L'z' || *p == L't' || *p == L'j') {
      spec.size = *p == L'j' ? Size::Long64 : Size::Pointer;
      ++p;
    } else if (*p == L'L') {
      spec.size = Size::LongDouble;
      ++p;
    } else if (*p == L'w') {
      spec.size = Size::Wide;
      ++p;
    }
    wchar_t conv = *p;
    if (conv == 0) {
      ok = false;
      break;
    }
    ++p;
    switch (conv) {
      case L'd':
      case L'i': {
        int64_t v;
        switch (spec.size) {
          case Size::Char: v = static_cast<signed char>(va_arg(ap, int)); break;
          case Size::Short: v = static_cast<short>(va_arg(ap, int)); break;
          case Size::Long64:
          case Size::Pointer: v = va_arg(ap, long long); break;
          default: v = va_arg(ap, int); break;
        }
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        FormatInteger(result, magnitude, v < 0, conv, spec);
        break;
      }
      case L'u':
      case L'o':
      case L'x':
      case L'X': {
        uint64_t v;
        switch (spec.size) {
          case Size::Char: v = static_cast<unsigned char>(va_arg(ap, unsigned)); break;
          case Size::Short: v = static_cast<unsigned short>(va_arg(ap, unsigned)); break;
          case Size::Long64:
          case Size::Pointer: v = va_arg(ap, unsigned long long); break;
          default: v = va_arg(ap, unsigned); break;
        }
        FormatInteger(result, v, false, conv, spec);
        break;
      }
      case L'p': {
        // x64 Windows: the full 16 digits, upper case, no 0x.
        Spec pointerSpec = spec;
        pointerSpec.precision = 16;
        pointerSpec.alt = false;
        FormatInteger(result, reinterpret_cast<uintptr_t>(va_arg(ap, void*)), false, L'p', pointerSpec);
        break;
      }
      case L's':
      case L'S': {
        bool narrow = conv == L's' ? spec.size == Size::Short : (spec.size != Size::Long32 && spec.size != Size::Wide);
        std::wstring converted;
        std::wstring_view text;
        if (narrow) {
          const char* s = va_arg(ap, const char*);
          converted = s ? NarrowToWide(s, spec.precision) : L"(null)";
          text = converted;
        } else {
          const wchar_t* s = va_arg(ap, const wchar_t*);
          text = s ? std::wstring_view(s) : std::wstring_view(L"(null)");
        }
        if (spec.precision >= 0 && text.size() > static_cast<size_t>(spec.precision)) text = text.substr(0, spec.precision);
        Pad(result, text, spec);
        break;
      }
      case L'c':
      case L'C': {
        bool narrow = conv == L'c' ? spec.size == Size::Short : (spec.size != Size::Long32 && spec.size != Size::Wide);
        wchar_t c = narrow ? static_cast<wchar_t>(static_cast<unsigned char>(va_arg(ap, int)))
                           : static_cast<wchar_t>(va_arg(ap, unsigned));
        Pad(result, std::wstring_view(&c, 1), spec);
        break;
      }
      case L'e':
      case L'E':
      case L'f':
      case L'F':
      case L'g':
      case L'G':
      case L'a':
      case L'A': {
        // Windows' long double is a double, so %Lf takes a double too.
        double v = va_arg(ap, double);
        std::string narrowFormat = "%";
        if (spec.left) narrowFormat += '-';
        if (spec.plus) narrowFormat += '+';
        if (spec.space) narrowFormat += ' ';
        if (spec.alt) narrowFormat += '#';
        if (spec.zero) narrowFormat += '0';
        if (spec.width >= 0) narrowFormat += std::to_string(spec.width);
        if (spec.precision >= 0) narrowFormat += "." + std::to_string(spec.precision);
        narrowFormat += static_cast<char>(conv);
        int n = std::snprintf(nullptr, 0, narrowFormat.c_str(), v);
        std::string buffer(n > 0 ? static_cast<size_t>(n) + 1 : 1, '\0');
        std::snprintf(buffer.data(), buffer.size(), narrowFormat.c_str(), v);
        buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        result += WideFromUtf8(buffer);
        break;
      }
      default:
        // %n is disabled in the Windows C runtime; it and unknown conversions are invalid parameters.
        ok = false;
        break;
    }
    if (!ok) break;
  }
  va_end(ap);
  return ok;
}

std::wstring FormatWindowsWide(const wchar_t* format, va_list args) {
  std::wstring out;
  if (!FormatWindowsWide(format, args, &out)) out.clear();
  return out;
}

std::wstring FormatWindowsWideF(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring out = FormatWindowsWide(format, args);
  va_end(args);
  return out;
}

}  // namespace winsim
