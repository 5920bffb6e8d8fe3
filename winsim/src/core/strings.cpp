#include "core/strings.h"

#include <cwctype>

namespace winsim {

std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      if (c > 0x10FFFF) c = 0xFFFD;
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::wstring WideFromUtf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0;
    size_t extra = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F;
      extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F;
      extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07;
      extra = 3;
    } else {
      out.push_back(L'\xFFFD');
      ++i;
      continue;
    }
    bool bad = false;
    for (size_t k = 1; k <= extra; ++k) {
      if (i + k >= text.size()) {
        bad = true;
        break;
      }
      unsigned char cb = static_cast<unsigned char>(text[i + k]);
      if ((cb & 0xC0) != 0x80) {
        bad = true;
        break;
      }
      c = (c << 6) | (cb & 0x3F);
    }
    if (bad) {
      out.push_back(L'\xFFFD');
      ++i;
      continue;
    }
    out.push_back(static_cast<wchar_t>(c));
    i += extra + 1;
  }
  return out;
}

std::vector<uint8_t> Utf16LeFromWide(std::wstring_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 2);
  auto put = [&out](uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>((unit >> 8) & 0xFF));
  };
  for (wchar_t wc : text) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      put(0xD800 | (c >> 10));
      put(0xDC00 | (c & 0x3FF));
    } else {
      put(c > 0x10FFFF ? 0xFFFD : c);
    }
  }
  return out;
}

std::wstring WideFromUtf16Le(const uint8_t* data, size_t bytes) {
  std::wstring out;
  size_t units = bytes / 2;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = data[2 * i] | (static_cast<uint32_t>(data[2 * i + 1]) << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      uint32_t lo = data[2 * i + 2] | (static_cast<uint32_t>(data[2 * i + 3]) << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00)));
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<wchar_t>(u));
  }
  return out;
}

std::wstring UpperCase(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out) {
    if (c >= L'a' && c <= L'z') {
      c = static_cast<wchar_t>(c - L'a' + L'A');
    } else if (c >= 0x80) {
      c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    }
  }
  return out;
}

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

}  // namespace winsim
