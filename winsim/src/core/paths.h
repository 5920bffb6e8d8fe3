// Windows paths on the simulated machine. Drive X: is the folder drives/x/ of the machine; Z: is the
// view of the Linux root. Windows paths are case-insensitive: each component is matched against the
// folder's entries without regard to case, and a component that matches nothing keeps its spelling.
#pragma once
#include <sys/stat.h>

#include <optional>
#include <string>

namespace winsim {

struct PathError {
  unsigned long code;  // Win32 error: ERROR_INVALID_NAME, ERROR_BAD_NETPATH, ERROR_INVALID_DRIVE
};

// The Linux path of an absolute Windows path ("C:\Windows", "c:/x"); nullopt with *error set for a
// relative, UNC or malformed path.
std::optional<std::string> LinuxPathOf(const std::wstring& windowsPath, unsigned long* error = nullptr);

// What the look-up learnt about the entry it resolved to: when the path existed as spelt, the entry's
// own status (lstat: a link is not followed), so that a caller about to look at the entry need not
// ask the file system again within the same call.
struct ResolvedEntry {
  bool known = false;
  struct stat own {};
};
std::optional<std::string> LinuxPathOf(const std::wstring& windowsPath, unsigned long* error, ResolvedEntry* entry);
// The Windows path under which a Linux path is seen: inside a drive folder as that drive, otherwise
// as Z:.
std::wstring WindowsPathOf(const std::string& linuxPath);
// The Linux folder of a drive letter (creating nothing).
std::string DriveFolder(wchar_t letter);

// Joins with one backslash.
std::wstring JoinWindowsPath(const std::wstring& base, const std::wstring& leaf);

}  // namespace winsim
