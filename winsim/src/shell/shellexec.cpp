// ShellExecuteW for programs. A file named without a folder is looked for where Windows documents
// that ShellExecute looks for an application executable, in this order:
//   1. the working folder (lpDirectory when given, else the caller's current folder),
//   2. the Windows folder C:\Windows (not its subfolders),
//   3. the system folder C:\Windows\System32 (where `winsim init` installs the stand-in programs,
//      such as notepad.exe),
//   4. the folders of the caller's PATH variable,
//   5. the App Paths keys, HKEY_CURRENT_USER's then HKEY_LOCAL_MACHINE's
//      (SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\<name>, default value: the full path).
// A name without an extension is tried with the extensions of PATHEXT (.COM;.EXE;.BAT;.CMD when it
// is unset) before it is tried as it is. A name with a folder is taken against the working folder.
// A file name in quotes is taken without them.
//
// A program (.exe or .com) is started with the verb "open" or no verb, as the caller's user in the
// caller's session with the caller's environment, in the working folder, with the command line
// "<full path>" followed by a blank and the parameters when there are some. Documents and folders
// are opened by Explorer and the programs that file types are associated with, which this machine
// does not have: they, and verbs other than "open" on a program, give SE_ERR_NOASSOC. The show
// command reaches no window on this machine and is not checked.
#include <sys/stat.h>

#include <cerrno>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "files/paths_full.h"
#include "process/process.h"
#include "process/startup.h"
#include "shellapi.h"
#include "windows.h"

namespace {

using namespace winsim;

// A value that ShellExecuteW returns on success: greater than 32, and no real instance handle.
constexpr INT_PTR kStarted = 42;

HINSTANCE Result(INT_PTR value) { return reinterpret_cast<HINSTANCE>(value); }

// The failure value, with the Win32 error that ShellExecuteEx would report for it as last error.
HINSTANCE Failure(INT_PTR value) {
  DWORD error = ERROR_NOT_ENOUGH_MEMORY;
  switch (value) {
    case SE_ERR_FNF: error = ERROR_FILE_NOT_FOUND; break;
    case SE_ERR_PNF: error = ERROR_PATH_NOT_FOUND; break;
    case SE_ERR_ACCESSDENIED: error = ERROR_ACCESS_DENIED; break;
    case ERROR_BAD_FORMAT: error = ERROR_BAD_FORMAT; break;
    case SE_ERR_NOASSOC: error = ERROR_NO_ASSOCIATION; break;
    default: break;
  }
  SetLastError(error);
  return Result(value);
}

struct Found {
  std::string linuxPath;
  bool folder = false;
};

std::optional<Found> Existing(const std::wstring& windowsPath) {
  auto linux = LinuxPathOf(windowsPath);
  if (!linux) return std::nullopt;
  struct stat st;
  if (stat(linux->c_str(), &st) != 0) return std::nullopt;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return std::nullopt;
  return Found{*linux, S_ISDIR(st.st_mode)};
}

std::wstring Unquote(const std::wstring& text) {
  if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') return text.substr(1, text.size() - 2);
  return text;
}

std::wstring LastComponent(const std::wstring& path) {
  size_t sep = path.find_last_of(L"\\/");
  return sep == std::wstring::npos ? path : path.substr(sep + 1);
}

bool HasExtension(const std::wstring& path) { return LastComponent(path).find(L'.') != std::wstring::npos; }

std::wstring Extension(const std::wstring& path) {
  std::wstring leaf = LastComponent(path);
  size_t dot = leaf.rfind(L'.');
  return dot == std::wstring::npos ? std::wstring() : UpperCase(leaf.substr(dot));
}

std::vector<std::wstring> SplitList(const std::wstring& text) {
  std::vector<std::wstring> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L';', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring item = Unquote(text.substr(start, end - start));
    if (!item.empty()) out.push_back(item);
    start = end + 1;
  }
  return out;
}

// The names to try for a file name: with each PATHEXT extension first when it has none.
std::vector<std::wstring> Candidates(const std::wstring& name) {
  std::vector<std::wstring> out;
  if (!HasExtension(name)) {
    auto pathext = WindowsEnvironmentVariable(L"PATHEXT");
    for (const auto& ext : SplitList(pathext ? *pathext : L".COM;.EXE;.BAT;.CMD")) out.push_back(name + ext);
  }
  out.push_back(name);
  return out;
}

std::optional<Found> FindIn(const std::wstring& folder, const std::wstring& name) {
  for (const auto& candidate : Candidates(name)) {
    if (auto found = Existing(JoinWindowsPath(folder, candidate))) return found;
  }
  return std::nullopt;
}

std::optional<Found> FindInAppPaths(const std::wstring& name) {
  std::wstring keyName = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + name;
  if (!HasExtension(name)) keyName += L".exe";
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    // REG_EXPAND_SZ paths come back expanded, as REG_SZ.
    WCHAR value[MAX_PATH * 2];
    DWORD bytes = sizeof(value);
    if (RegGetValueW(root, keyName.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes) == ERROR_SUCCESS) {
      if (auto found = Existing(Unquote(value))) return found;
    }
  }
  return std::nullopt;
}

bool IsAbsolute(const std::wstring& path) {
  return (path.size() >= 2 && path[1] == L':') || (!path.empty() && (path[0] == L'\\' || path[0] == L'/'));
}

}  // namespace

HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                               LPCWSTR lpDirectory, INT nShowCmd) {
  if (auto fault = CheckFault("ShellExecuteW")) {
    SetLastError(*fault);
    return Result(static_cast<INT_PTR>(*fault));
  }

  // The working folder must exist: a program cannot be started in a missing folder.
  std::wstring workFolder = CurrentDirectoryWindows();
  if (lpDirectory && *lpDirectory) {
    unsigned long error = 0;
    auto full = FullWindowsPath(Unquote(lpDirectory), &error);
    if (!full) return Failure(SE_ERR_PNF);
    auto found = Existing(*full);
    if (!found || !found->folder) return Failure(SE_ERR_PNF);
    workFolder = *full;
  }

  std::wstring name = lpFile ? Unquote(lpFile) : std::wstring();
  if (name.empty()) return Failure(SE_ERR_FNF);
  std::optional<Found> found;
  if (name.find_first_of(L"\\/:") != std::wstring::npos) {
    // A name with a folder: only that place is looked at.
    unsigned long error = 0;
    auto full = FullWindowsPath(IsAbsolute(name) ? name : JoinWindowsPath(workFolder, name), &error);
    if (!full) return Failure(SE_ERR_FNF);
    size_t sep = full->find_last_of(L'\\');
    std::wstring folder = full->substr(0, sep == std::wstring::npos ? 0 : sep);
    found = FindIn(folder.size() == 2 ? folder + L"\\" : folder, LastComponent(*full));
    if (!found) {
      auto parent = Existing(folder.size() == 2 ? folder + L"\\" : folder);
      return Failure(parent && parent->folder ? SE_ERR_FNF : SE_ERR_PNF);
    }
  } else {
    std::vector<std::wstring> folders{workFolder, L"C:\\Windows", L"C:\\Windows\\System32"};
    if (auto path = WindowsEnvironmentVariable(L"PATH")) {
      for (const auto& folder : SplitList(*path)) folders.push_back(folder);
    }
    for (const auto& folder : folders) {
      if ((found = FindIn(folder, name))) break;
    }
    if (!found) found = FindInAppPaths(name);
    if (!found) return Failure(SE_ERR_FNF);
  }

  std::wstring image = WindowsPathOf(found->linuxPath);
  std::wstring extension = Extension(image);
  bool program = !found->folder && (extension == L".EXE" || extension == L".COM");
  bool open = !lpOperation || EqualsNoCase(lpOperation, L"open");
  if (!program || !open) return Failure(SE_ERR_NOASSOC);
  switch (CheckProgramImage(found->linuxPath)) {
    case ImageCheck::AccessDenied: return Failure(SE_ERR_ACCESSDENIED);
    case ImageCheck::BadFormat: return Failure(ERROR_BAD_FORMAT);
    case ImageCheck::Runnable: break;
  }

  SpawnRequest request;
  request.linuxPath = found->linuxPath;
  request.windowsImage = image;
  request.commandLine = L"\"" + image + L"\"";
  if (lpParameters && *lpParameters) request.commandLine += L" " + std::wstring(lpParameters);
  request.identity = CurrentIdentity();
  request.windowsEnv = CurrentWindowsEnvironment();
  request.currentDirectory = workFolder;
  // The program is the user's, not the caller's: it goes on when the caller ends.
  request.detach = true;
  pid_t pid = SpawnProcess(request);
  if (pid < 0) return Failure(errno == ENOEXEC ? ERROR_BAD_FORMAT : errno == EACCES ? SE_ERR_ACCESSDENIED : 0);
  if (WaitUntilStarted(pid) == StartOutcome::NotExecuted) return Failure(ERROR_BAD_FORMAT);
  return Result(kStarted);
}
