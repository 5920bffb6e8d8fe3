// What the stand-in programs share: they record how they were started and then run until they are
// ended (killed, or their session ends at a logoff).
//
//   C:\ProgramData\<folder>\<pid>.cmdline   the command line exactly as GetCommandLineW returns
//                                           it, in UTF-8, without a line break or terminator;
//                                           <pid> is the process id in decimal
//   standard output                         one line "<image> command line: <the same text>"
//
// On a winsim machine C:\ is the folder drives/c of the machine directory. The folder is created
// when missing.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>

namespace standin {

// UTF-8 of a wide string, whatever the width of wchar_t (UTF-16 with surrogate pairs, or UTF-32).
inline std::string Utf8(const wchar_t* text) {
  std::string out;
  for (const wchar_t* p = text; *p; ++p) {
    unsigned long c = static_cast<unsigned long>(*p);
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned long>(p[1]) - 0xDC00);
      ++p;
    }
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
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

inline bool WriteRecord(const std::wstring& folder, const std::string& text) {
  if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  std::wstring path = folder + L"\\" + std::to_wstring(GetCurrentProcessId()) + L".cmdline";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

// Records the command line under C:\ProgramData\<recordFolder>, says it on standard output, and
// runs until the process is ended.
[[noreturn]] inline void RecordAndRun(const char* image, const wchar_t* recordFolder) {
  std::string commandLine = Utf8(GetCommandLineW());
  if (!WriteRecord(std::wstring(L"C:\\ProgramData\\") + recordFolder, commandLine)) {
    std::fprintf(stderr, "%s: cannot record the command line, error %lu\n", image,
                 static_cast<unsigned long>(GetLastError()));
  }
  std::printf("%s command line: %s\n", image, commandLine.c_str());
  std::fflush(stdout);
  for (;;) Sleep(INFINITE);
}

}  // namespace standin
