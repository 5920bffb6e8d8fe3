// A program for the launch tests to start on the machine, under whatever name and path they give
// it. Its first argument says what to do; its exit code is the result (a Win32 error code for the
// file commands):
//
//   (nothing, or an unknown command)  reports as "report" does to C:\ProbeReport.txt; exits 99
//   report FILE [...]                 writes what it sees of itself to FILE, one "key=value" line
//                                     each, in UTF-8: cmdline, image, session, cwd, desktop and the
//                                     variables USERNAME, USERPROFILE, TEMP, TMP, PROBE_VAR; exits 0
//   exit CODE                         exits with CODE (decimal or 0x-hexadecimal, 32 bits)
//   gate FILE                         creates FILE.ready, then waits until FILE exists; exits 0
//   sleep                             sleeps until it is ended
//   hold PATH ACCESS SHARE READY      opens PATH (OPEN_ALWAYS) with the access and share mode given
//                                     as numbers, creates READY, and sleeps until it is ended; exits
//                                     with the error when the open fails
//   open PATH ACCESS SHARE            opens PATH (OPEN_EXISTING), closes it; 0 or the error
//   delete PATH                       DeleteFileW; 0 or the error
//   move FROM TO FLAGS                MoveFileExW; 0 or the error
//   spawn PIDFILE CODE                starts this program again to exit with CODE after a pause of
//                                     two seconds, writes its pid to PIDFILE, and exits 0 at once
//                                     without waiting for it
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    unsigned long c = static_cast<unsigned long>(wc);
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

DWORD Number(const wchar_t* text) { return static_cast<DWORD>(std::wcstoul(text, nullptr, 0)); }

std::wstring Variable(const wchar_t* name) {
  wchar_t buffer[1024];
  DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
  if (n == 0 || n >= 1024) return L"<none>";
  return buffer;
}

bool WriteText(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

int Report(const std::wstring& path) {
  std::string text;
  text += "cmdline=" + Utf8(GetCommandLineW()) + "\n";
  wchar_t image[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, image, MAX_PATH);
  text += "image=" + Utf8(n ? std::wstring(image) : std::wstring(L"<none>")) + "\n";
  DWORD session = 0xFFFFFFFF;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  text += "session=" + std::to_string(session) + "\n";
  wchar_t cwd[MAX_PATH];
  n = GetCurrentDirectoryW(MAX_PATH, cwd);
  text += "cwd=" + Utf8(n && n < MAX_PATH ? std::wstring(cwd) : std::wstring(L"<none>")) + "\n";
  STARTUPINFOW startup;
  GetStartupInfoW(&startup);
  text += "desktop=" + Utf8(startup.lpDesktop ? std::wstring(startup.lpDesktop) : std::wstring(L"<none>")) + "\n";
  for (const wchar_t* name : {L"USERNAME", L"USERPROFILE", L"TEMP", L"TMP", L"PROBE_VAR"}) {
    text += Utf8(name) + "=" + Utf8(Variable(name)) + "\n";
  }
  return WriteText(path, text) ? 0 : 100;
}

int Spawn(const std::wstring& pidFile, const std::wstring& code) {
  wchar_t image[MAX_PATH];
  if (!GetModuleFileNameW(nullptr, image, MAX_PATH)) return 101;
  std::wstring line = L"\"" + std::wstring(image) + L"\" pause-exit " + code;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return static_cast<int>(GetLastError());
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return WriteText(pidFile, std::to_string(info.dwProcessId)) ? 0 : 100;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Without a command it says how it was started, at a fixed place.
  if (argc < 2) return Report(L"C:\\ProbeReport.txt") == 0 ? 99 : 100;
  std::wstring command = argv[1];
  if (command == L"report" && argc >= 3) return Report(argv[2]);
  if (command == L"exit" && argc == 3) ExitProcess(Number(argv[2]));
  if (command == L"pause-exit" && argc == 3) {
    Sleep(2000);
    ExitProcess(Number(argv[2]));
  }
  if (command == L"gate" && argc == 3) {
    std::wstring ready = std::wstring(argv[2]) + L".ready";
    if (!WriteText(ready, "")) return 100;
    while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) Sleep(10);
    return 0;
  }
  if (command == L"sleep") {
    for (;;) Sleep(INFINITE);
  }
  if (command == L"hold" && argc == 6) {
    HANDLE file = CreateFileW(argv[2], Number(argv[3]), Number(argv[4]), nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    if (!WriteText(argv[5], "")) return 100;
    for (;;) Sleep(INFINITE);
  }
  if (command == L"open" && argc == 5) {
    HANDLE file = CreateFileW(argv[2], Number(argv[3]), Number(argv[4]), nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<int>(GetLastError());
    CloseHandle(file);
    return 0;
  }
  if (command == L"delete" && argc == 3) return DeleteFileW(argv[2]) ? 0 : static_cast<int>(GetLastError());
  if (command == L"move" && argc == 5) {
    return MoveFileExW(argv[2], argv[3], Number(argv[4])) ? 0 : static_cast<int>(GetLastError());
  }
  if (command == L"spawn" && argc == 4) return Spawn(argv[2], argv[3]);
  return Report(L"C:\\ProbeReport.txt") == 0 ? 99 : 100;
}
