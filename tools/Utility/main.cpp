// Utility.exe, the stand-in for the companion store app's process. It runs until its session ends
// (a logoff ends every process of the session) or it is killed, and does nothing else but say how
// it was started:
//
//   C:\ProgramData\Utility\<pid>.cmdline   its command line exactly as GetCommandLineW returns it,
//                                           in UTF-8, without a line break or terminator; <pid> is
//                                           its process id in decimal (as `winsim ps` shows it)
//   standard output                         one line "Utility.exe command line: <the same text>"
//
// On a winsim machine the file lies under the machine directory at
// drives/c/ProgramData/Utility/<pid>.cmdline. The folder is created when missing.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// UTF-8 of a wide string, whatever the width of wchar_t (UTF-16 with surrogate pairs, or UTF-32).
std::string Utf8(const wchar_t* text) {
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

bool RecordCommandLine(const std::string& text) {
  const wchar_t* folder = L"C:\\ProgramData\\Utility";
  if (!CreateDirectoryW(folder, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  std::wstring path = std::wstring(folder) + L"\\" + std::to_wstring(GetCurrentProcessId()) + L".cmdline";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

}  // namespace

int wmain(int, wchar_t**) {
  std::string commandLine = Utf8(GetCommandLineW());
  if (!RecordCommandLine(commandLine)) {
    std::fprintf(stderr, "Utility.exe: cannot record the command line, error %lu\n",
                 static_cast<unsigned long>(GetLastError()));
  }
  std::printf("Utility.exe command line: %s\n", commandLine.c_str());
  std::fflush(stdout);
  for (;;) Sleep(INFINITE);
}
