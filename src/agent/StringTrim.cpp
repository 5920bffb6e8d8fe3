#include "agent/StringTrim.h"

std::wstring TrimRight(std::wstring text, const std::wstring& set) {
  size_t last = text.find_last_not_of(set);
  text.erase(last == std::wstring::npos ? 0 : last + 1);
  return text;
}

std::wstring TrimLeft(std::wstring text, const std::wstring& set) {
  size_t first = text.find_first_not_of(set);
  text.erase(0, first == std::wstring::npos ? text.size() : first);
  return text;
}

std::wstring Trim(std::wstring text, const std::wstring& set) { return TrimLeft(TrimRight(std::move(text), set), set); }
