// Running a built program with an exact command line, on Windows or under Wine: CreateProcessW.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace torvex::test {

// A program of the build: it lies beside this test program.
inline std::wstring BuiltProgramPath(const std::wstring& name) {
  wchar_t self[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return L"";
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// Starts the program file with exactly this command line, waits for it to end and gives its exit
// code; false when it could not be started.
inline bool RunAndWait(const std::wstring& program, const std::wstring& commandLine, DWORD* exitCode) {
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  bool ended = WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0 &&
               GetExitCodeProcess(process.hProcess, exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ended;
}

inline bool CopyProgram(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

}  // namespace torvex::test
