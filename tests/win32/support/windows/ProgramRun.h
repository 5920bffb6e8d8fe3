// Where the built programs are, and copying one, on Windows or under Wine.
#pragma once
#include <windows.h>

#include <string>

namespace torvex::test {

// A program of the build: it lies beside this test program.
inline std::wstring BuiltProgramPath(const std::wstring& name) {
  wchar_t self[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return L"";
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

inline bool CopyProgram(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

}  // namespace torvex::test
