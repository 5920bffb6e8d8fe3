// Moving and renaming files and folders. What winsim relies on, from Microsoft's MoveFileExW
// documentation and the behaviour callers meet on NTFS:
//   - a move to another drive needs MOVEFILE_COPY_ALLOWED (ERROR_NOT_SAME_DEVICE otherwise), and a
//     folder never moves to another drive;
//   - an existing destination fails with ERROR_ALREADY_EXISTS unless MOVEFILE_REPLACE_EXISTING is
//     given; a folder is never replaced and never replaces (ERROR_ACCESS_DENIED), and neither is a
//     read-only file;
//   - the source is opened for DELETE, so its other opens must all share deletion
//     (ERROR_SHARING_VIOLATION); a destination with any open handle is not replaced, whatever its
//     share mode (ERROR_ACCESS_DENIED); a running program's image may be renamed but not replaced;
//   - a name may be renamed to itself in other letter case;
//   - MOVEFILE_DELAY_UNTIL_REBOOT cannot be combined with MOVEFILE_COPY_ALLOWED
//     (ERROR_INVALID_PARAMETER), and only it admits a null destination.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwctype>

#include "core/fault.h"
#include "core/strings.h"
#include "files/fileobject.h"
#include "files/paths_full.h"
#include "files/sharing.h"
#include "windows.h"

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

constexpr DWORD kKnownFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_DELAY_UNTIL_REBOOT |
                              MOVEFILE_WRITE_THROUGH | MOVEFILE_CREATE_HARDLINK | MOVEFILE_FAIL_IF_NOT_TRACKABLE;

wchar_t DriveOf(const std::wstring& windowsPath) {
  return windowsPath.size() >= 2 && windowsPath[1] == L':' ? static_cast<wchar_t>(std::towupper(windowsPath[0])) : 0;
}

// Copies a file's bytes and mode to a new name, for a move across file systems.
bool CopyContents(const std::string& from, const std::string& to, mode_t mode) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 0777);
  if (out < 0) {
    close(in);
    return false;
  }
  char buffer[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        ok = false;
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  close(in);
  if (close(out) != 0) ok = false;
  if (!ok) unlink(to.c_str());
  return ok;
}

}  // namespace

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  WINSIM_FAULT_BOOL("MoveFileExW");
  if (dwFlags & ~kKnownFlags) return Fail(ERROR_INVALID_PARAMETER);
  if ((dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) && (dwFlags & MOVEFILE_COPY_ALLOWED)) return Fail(ERROR_INVALID_PARAMETER);
  if (!lpExistingFileName) return Fail(ERROR_INVALID_PARAMETER);
  if (!lpNewFileName && !(dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT)) return Fail(ERROR_INVALID_PARAMETER);
  // Moves at the next start of the system: the simulated machine never restarts.
  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) return Fail(ERROR_NOT_SUPPORTED);

  unsigned long error = 0;
  auto source = winsim::ResolveFileName(lpExistingFileName, &error);
  if (!source) return Fail(error);
  auto target = winsim::ResolveFileName(lpNewFileName, &error);
  if (!target) return Fail(error);
  const std::string& from = source->linuxPath;
  const std::string& to = target->linuxPath;

  struct stat sourceStat;
  if (lstat(from.c_str(), &sourceStat) != 0) return Fail(winsim::ErrorFromErrno(errno, from));
  bool sourceIsFolder = S_ISDIR(sourceStat.st_mode);
  if (source->trailingSeparator && !sourceIsFolder) return Fail(ERROR_INVALID_NAME);

  bool otherDrive = DriveOf(source->windowsPath) != DriveOf(target->windowsPath);
  if (otherDrive && (sourceIsFolder || !(dwFlags & MOVEFILE_COPY_ALLOWED))) return Fail(ERROR_NOT_SAME_DEVICE);

  struct stat targetStat;
  bool targetExists = lstat(to.c_str(), &targetStat) == 0;
  bool sameFile = targetExists && targetStat.st_dev == sourceStat.st_dev && targetStat.st_ino == sourceStat.st_ino;
  if (targetExists && !sameFile) {
    if (!(dwFlags & MOVEFILE_REPLACE_EXISTING)) return Fail(ERROR_ALREADY_EXISTS);
    if (sourceIsFolder || S_ISDIR(targetStat.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  } else if (!targetExists) {
    if (winsim::MissingError(to) == ERROR_PATH_NOT_FOUND) return Fail(ERROR_PATH_NOT_FOUND);
  }
  if (!winsim::MayModify(from) || !winsim::MayModify(to)) return Fail(ERROR_ACCESS_DENIED);

  // Both files held still, in one order so that two moves of the same pair cannot wait on each
  // other.
  winsim::ShareGuard sourceGuard(from);
  winsim::ShareGuard targetGuard(targetExists && !sameFile ? to : std::string());
  if (targetGuard.Holds() && targetGuard.Before(sourceGuard)) {
    targetGuard.Lock();
    sourceGuard.Lock();
  } else {
    sourceGuard.Lock();
    targetGuard.Lock();
  }
  if (unsigned long shared = sourceGuard.CheckRename(); shared != ERROR_SUCCESS) return Fail(shared);
  if (targetExists && !sameFile) {
    if (unsigned long replace = targetGuard.CheckReplace(); replace != ERROR_SUCCESS) return Fail(replace);
    if (S_ISREG(targetStat.st_mode) && !(targetStat.st_mode & S_IWUSR)) return Fail(ERROR_ACCESS_DENIED);
  }

  // A new spelling of the same name: the entry takes the spelling given.
  std::string destination = to;
  if (sameFile) {
    size_t slash = to.rfind('/');
    size_t separator = target->windowsPath.find_last_of(L"\\/");
    if (slash != std::string::npos && separator != std::wstring::npos) {
      destination = to.substr(0, slash + 1) + winsim::Utf8FromWide(target->windowsPath.substr(separator + 1));
    }
  }
  if (rename(from.c_str(), destination.c_str()) != 0) {
    int err = errno;
    if (err != EXDEV || sourceIsFolder) return Fail(winsim::ErrorFromErrno(err, err == ENOENT ? to : from));
    // Another file system behind another drive: copy, then delete the original.
    if (!CopyContents(from, destination, sourceStat.st_mode)) return Fail(winsim::ErrorFromErrno(errno, to));
    unlink(from.c_str());
  }
  if (dwFlags & MOVEFILE_WRITE_THROUGH) sync();
  return TRUE;
}

BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
  WINSIM_FAULT_BOOL("MoveFileW");
  if (!lpNewFileName) return Fail(ERROR_INVALID_PARAMETER);
  return MoveFileExW(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}
