// Full Windows path names, as GetFullPathNameW forms them: relative names against the current
// directory, "." and ".." folded, separators made backslashes, trailing dots and spaces dropped.
#pragma once
#include <optional>
#include <string>

#include "core/paths.h"

namespace winsim {

// The current directory of the process as a Windows path (its Linux working directory).
std::wstring CurrentDirectoryWindows();
// The full path of a name; nullopt with *error for a name that has none (empty).
std::optional<std::wstring> FullWindowsPath(const std::wstring& name, unsigned long* error);

// A Windows file name resolved to its Linux path: full path first, then the drive mapping.
// trailingSeparator tells whether the name ended in a separator (stripped from the result).
struct ResolvedName {
  std::wstring windowsPath;
  std::string linuxPath;
  bool trailingSeparator = false;
  // The entry's lstat when the look-up made one (see LinuxPathOf).
  ResolvedEntry entry;
  // The entry's own status (its lstat, a link not followed): the look-up's when it made one, else
  // asked now. False with errno set when there is no entry.
  bool StatOwn(struct stat* own) const;
};
std::optional<ResolvedName> ResolveFileName(const wchar_t* name, unsigned long* error);

// The Win32 error for a failed Linux call on a path; ENOENT tells a missing file (its folder
// exists) from a missing path.
unsigned long ErrorFromErrno(int err, const std::string& linuxPath);
unsigned long MissingError(const std::string& linuxPath);

}  // namespace winsim
