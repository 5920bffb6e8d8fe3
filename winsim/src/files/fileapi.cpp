// Files and folders on the machine's drives: real Linux files behind Windows names and handles.
// Share modes hold between all handles of the machine (files/sharing.h). Security attributes are
// accepted and ignored; the machine's one file rule is MayModify.
#include "fileapi.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "core/fault.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/wideformat.h"
#include "files/fileobject.h"
#include "files/paths_full.h"
#include "files/sharing.h"
#include "shlwapi.h"
#include "windows.h"

using winsim::FileObject;

namespace {

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

bool StatFollow(const std::string& path, struct stat* st) { return stat(path.c_str(), st) == 0; }

// FILETIME counts 100 ns since 1601-01-01 UTC.
FILETIME FileTimeOf(const struct timespec& t) {
  constexpr uint64_t kEpochDifference = 11644473600ull;  // seconds from 1601 to 1970
  uint64_t value = (static_cast<uint64_t>(t.tv_sec) + kEpochDifference) * 10000000ull +
                   static_cast<uint64_t>(t.tv_nsec) / 100u;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(value);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

// Attributes as Windows reports them. A Linux symbolic link stands for a reparse point; one that
// leads to a folder is also a directory, as a junction is.
DWORD AttributesOf(const struct stat& own, const std::string& linuxPath) {
  if (S_ISLNK(own.st_mode)) {
    struct stat target;
    DWORD attributes = FILE_ATTRIBUTE_REPARSE_POINT;
    if (StatFollow(linuxPath, &target) && S_ISDIR(target.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    return attributes;
  }
  if (S_ISDIR(own.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  // A file NTFS has just created carries the archive attribute.
  DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
  if (!(own.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

std::shared_ptr<FileObject> FileOf(HANDLE handle) {
  auto file = winsim::ReferenceHandleAs<FileObject>(handle);
  if (!file) SetLastError(ERROR_INVALID_HANDLE);
  return file;
}

DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD size) {
  // The sizing protocol shared by the path functions: the length without the terminator when it
  // fits, else the size needed with the terminator, leaving the buffer alone.
  if (text.size() + 1 > size || !buffer) return static_cast<DWORD>(text.size() + 1);
  std::wmemcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<DWORD>(text.size());
}

// The folder /proc/self/fd of this process, kept open since finding it through /proc/self costs
// more than reading a link in it; -1 until first needed. A forked child would read its parent's
// descriptors through the inherited one, so the child closes it at once (before anything else
// runs in it) and opens its own when it needs it.
std::atomic<int> g_ownDescriptorFolder{-1};

void ForgetOwnDescriptorFolderInChild() {
  int folder = g_ownDescriptorFolder.exchange(-1, std::memory_order_acq_rel);
  if (folder >= 0) close(folder);
}

// The link /proc/self/fd/<fd>: where a descriptor of this process leads. No lock is taken, so
// that a child forked while another thread is here cannot be left holding it.
ssize_t ReadOwnDescriptorLink(int fd, char* buffer, size_t size) {
  static const int registered = pthread_atfork(nullptr, nullptr, ForgetOwnDescriptorFolderInChild);
  char name[16];
  std::snprintf(name, sizeof(name), "%d", fd);
  int folder = g_ownDescriptorFolder.load(std::memory_order_acquire);
  // Without the fork handler a kept folder could outlive its process: ask by name each time.
  if (folder < 0 && registered == 0) {
    int opened = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (opened >= 0) {
      if (g_ownDescriptorFolder.compare_exchange_strong(folder, opened, std::memory_order_acq_rel)) {
        folder = opened;
      } else {
        // Another thread of this process was first.
        close(opened);
      }
    }
  }
  if (folder < 0) {
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
    return readlink(path, buffer, size);
  }
  return readlinkat(folder, name, buffer, size);
}

}  // namespace

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  WINSIM_FAULT_VALUE("CreateFileW", INVALID_HANDLE_VALUE);
  if (!lpFileName) return Fail(ERROR_INVALID_PARAMETER);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (dwShareMode & ~DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) return Fail(ERROR_INVALID_PARAMETER);
  DWORD access = winsim::MapFileAccess(dwDesiredAccess);
  // Deleting on close needs the right to delete, which the open then asks for (and shares with).
  if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) access |= DELETE;
  bool wantsWrite = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  bool wantsRead = (access & FILE_READ_DATA) != 0;
  // TRUNCATE_EXISTING needs the right to write.
  if (dwCreationDisposition == TRUNCATE_EXISTING && !(access & FILE_WRITE_DATA)) return Fail(ERROR_INVALID_PARAMETER);
  unsigned long error = 0;
  auto name = winsim::ResolveFileName(lpFileName, &error);
  if (!name) return Fail(error);
  const std::string& path = name->linuxPath;

  struct stat own;
  bool present = name->StatOwn(&own);
  bool isLink = present && S_ISLNK(own.st_mode);
  bool openLink = isLink && (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT);
  // Only a link leads elsewhere: any other entry is its own target, and no entry has none.
  struct stat target = own;
  bool targetPresent = isLink ? StatFollow(path, &target) : present;
  // What the open meets: the link itself, or what the path leads to.
  bool exists = openLink ? true : targetPresent;
  bool isDir = openLink ? (targetPresent && S_ISDIR(target.st_mode)) : (exists && S_ISDIR(target.st_mode));
  bool backup = (dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;

  if (exists) {
    if (dwCreationDisposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS);
    if (name->trailingSeparator && !isDir) return Fail(ERROR_INVALID_NAME);
    // A folder opens only with backup semantics, and never to be replaced or truncated.
    if (isDir && (!backup || dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING)) {
      return Fail(ERROR_ACCESS_DENIED);
    }
    bool modifies = wantsWrite || (access & (DELETE | FILE_WRITE_ATTRIBUTES)) ||
                    dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING ||
                    (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE);
    if (modifies && !winsim::MayModify(path)) return Fail(ERROR_ACCESS_DENIED);
    if (!openLink && !isDir && (wantsWrite || dwCreationDisposition == CREATE_ALWAYS ||
                                dwCreationDisposition == TRUNCATE_EXISTING) &&
        !(target.st_mode & S_IWUSR)) {
      return Fail(ERROR_ACCESS_DENIED);  // the read-only attribute
    }
  } else {
    if (dwCreationDisposition == OPEN_EXISTING || dwCreationDisposition == TRUNCATE_EXISTING) {
      return Fail(winsim::MissingError(path));
    }
    if (name->trailingSeparator) return Fail(ERROR_INVALID_NAME);
    unsigned long missing = winsim::MissingError(path);
    if (missing == ERROR_PATH_NOT_FOUND) return Fail(ERROR_PATH_NOT_FOUND);
    if (!winsim::MayModify(path)) return Fail(ERROR_ACCESS_DENIED);
  }

  int flags = O_CLOEXEC;
  if (openLink) {
    flags |= O_PATH | O_NOFOLLOW;
  } else if (isDir) {
    flags |= O_RDONLY | O_DIRECTORY;
  } else {
    if (wantsRead && wantsWrite) flags |= O_RDWR;
    else if (wantsWrite) flags |= O_WRONLY;
    else flags |= O_RDONLY;
    // Only the right to append, without the right to write data: every write goes to the end.
    if ((access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA)) flags |= O_APPEND;
    if (!exists) flags |= O_CREAT | O_EXCL;
  }
  bool truncate = exists && !openLink && !isDir &&
                  (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING);
  mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
  // A write-only open is made readable on Linux when the file allows it, so that the share
  // reservation can lock the handle's own description instead of reopening the file through
  // /proc; reads are still refused by the handle's granted access, not by the descriptor.
  bool upgraded = (flags & O_ACCMODE) == O_WRONLY;
  if (upgraded) flags = (flags & ~O_ACCMODE) | O_RDWR;
  int fd = open(path.c_str(), flags, mode);
  if (fd < 0 && upgraded && errno == EACCES) {
    upgraded = false;
    flags = (flags & ~O_ACCMODE) | O_WRONLY;
    fd = open(path.c_str(), flags, mode);
  }
  if (fd < 0) return Fail(winsim::ErrorFromErrno(errno, path));
  // The sharing check comes before the open changes anything: a refused open leaves the file as
  // it was, so it is truncated only afterwards.
  winsim::ShareReservation share;
  if (!openLink) {
    bool readable = (flags & O_ACCMODE) != O_WRONLY;
    unsigned long shared = winsim::ReserveShareAccess(fd, readable, access, dwShareMode, &share);
    if (shared != ERROR_SUCCESS) {
      close(fd);
      return Fail(shared);
    }
  }
  if (truncate) {
    // Opened without the right to write data: truncate through the name.
    int rc = (flags & O_ACCMODE) != O_RDONLY ? ftruncate(fd, 0) : ::truncate(path.c_str(), 0);
    if (rc != 0) {
      int err = errno;
      share.Release();
      close(fd);
      return Fail(winsim::ErrorFromErrno(err, path));
    }
  }
  auto file = std::make_shared<FileObject>(fd, access, path);
  file->share = std::move(share);
  file->isLink = openLink;
  file->isDirectory = isDir && !openLink;
  file->deleteOnClose = (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
  file->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  HANDLE handle = winsim::InsertHandle(std::move(file));
  // Success still tells whether an existing file was opened or replaced.
  bool reportExisting = exists && (dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS);
  SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

namespace {

// I/O completes before the call returns; the OVERLAPPED only carries the offset and the result.
void CompleteOverlapped(LPOVERLAPPED overlapped, DWORD bytes) {
  if (!overlapped) return;
  overlapped->Internal = 0;
  overlapped->InternalHigh = bytes;
}

off_t OverlappedOffset(const OVERLAPPED* overlapped) {
  return static_cast<off_t>(static_cast<uint64_t>(overlapped->OffsetHigh) << 32 | overlapped->Offset);
}

}  // namespace

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
  WINSIM_FAULT_BOOL("ReadFile");
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  auto file = FileOf(hFile);
  if (!file) return FALSE;
  if (!lpNumberOfBytesRead && !lpOverlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (file->isDirectory) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  if (!file->CanRead()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (file->isLink || nNumberOfBytesToRead == 0) {
    // A link opened as itself has no data of its own here.
    CompleteOverlapped(lpOverlapped, 0);
    return TRUE;
  }
  ssize_t n;
  do {
    n = lpOverlapped ? pread(file->Fd(), lpBuffer, nNumberOfBytesToRead, OverlappedOffset(lpOverlapped))
                     : read(file->Fd(), lpBuffer, nNumberOfBytesToRead);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    SetLastError(errno == EISDIR ? ERROR_INVALID_FUNCTION : winsim::ErrorFromErrno(errno, file->LinuxPath()));
    return FALSE;
  }
  // Reading at the end of a file succeeds with no bytes, except at an explicit offset.
  if (n == 0 && lpOverlapped) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
  }
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = static_cast<DWORD>(n);
  CompleteOverlapped(lpOverlapped, static_cast<DWORD>(n));
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
  WINSIM_FAULT_BOOL("WriteFile");
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  auto file = FileOf(hFile);
  if (!file) return FALSE;
  if (!lpNumberOfBytesWritten && !lpOverlapped) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (file->isDirectory) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
  }
  // A link opened as itself carries no data that could be written here.
  if (!file->CanWrite() || file->isLink) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const char* data = static_cast<const char*>(lpBuffer);
  size_t done = 0;
  bool append = (file->Access() & FILE_APPEND_DATA) && !(file->Access() & FILE_WRITE_DATA);
  while (done < nNumberOfBytesToWrite) {
    ssize_t n = (lpOverlapped && !append)
                    ? pwrite(file->Fd(), data + done, nNumberOfBytesToWrite - done,
                             OverlappedOffset(lpOverlapped) + static_cast<off_t>(done))
                    : write(file->Fd(), data + done, nNumberOfBytesToWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(winsim::ErrorFromErrno(errno, file->LinuxPath()));
      if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = static_cast<DWORD>(done);
      return FALSE;
    }
    done += static_cast<size_t>(n);
  }
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = static_cast<DWORD>(done);
  CompleteOverlapped(lpOverlapped, static_cast<DWORD>(done));
  return TRUE;
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
  WINSIM_FAULT_BOOL("SetFilePointerEx");
  auto file = FileOf(hFile);
  if (!file) return FALSE;
  int whence = dwMoveMethod == FILE_BEGIN ? SEEK_SET : dwMoveMethod == FILE_CURRENT ? SEEK_CUR
               : dwMoveMethod == FILE_END ? SEEK_END : -1;
  if (whence < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Moving before the start is refused and leaves the pointer where it was.
  off_t base = 0;
  if (whence == SEEK_CUR) base = lseek(file->Fd(), 0, SEEK_CUR);
  if (whence == SEEK_END) {
    struct stat st;
    base = fstat(file->Fd(), &st) == 0 ? st.st_size : 0;
  }
  if (base + liDistanceToMove.QuadPart < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return FALSE;
  }
  off_t position = lseek(file->Fd(), base + liDistanceToMove.QuadPart, SEEK_SET);
  if (position < 0) {
    SetLastError(winsim::ErrorFromErrno(errno, file->LinuxPath()));
    return FALSE;
  }
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = position;
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  WINSIM_FAULT_BOOL("GetFileSizeEx");
  auto file = FileOf(hFile);
  if (!file) return FALSE;
  struct stat st;
  if (fstat(file->Fd(), &st) != 0) {
    SetLastError(winsim::ErrorFromErrno(errno, file->LinuxPath()));
    return FALSE;
  }
  lpFileSize->QuadPart = S_ISREG(st.st_mode) ? st.st_size : 0;
  return TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  WINSIM_FAULT_BOOL("FlushFileBuffers");
  auto file = FileOf(hFile);
  if (!file) return FALSE;
  // Flushing needs a handle that may write.
  if (!file->CanWrite() || file->isLink) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (fsync(file->Fd()) != 0 && errno != EINVAL) {
    SetLastError(winsim::ErrorFromErrno(errno, file->LinuxPath()));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  WINSIM_FAULT_BOOL("GetFileInformationByHandle");
  auto file = FileOf(hFile);
  if (!file) return FALSE;
  if (!lpFileInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct statx sx;
  if (statx(file->Fd(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    SetLastError(winsim::ErrorFromErrno(errno, file->LinuxPath()));
    return FALSE;
  }
  struct stat own {};
  own.st_mode = sx.stx_mode;
  BY_HANDLE_FILE_INFORMATION info{};
  info.dwFileAttributes = AttributesOf(own, file->LinuxPath());
  auto ts = [](const struct statx_timestamp& t) {
    struct timespec out;
    out.tv_sec = t.tv_sec;
    out.tv_nsec = t.tv_nsec;
    return out;
  };
  // Linux file systems without a birth time give the inode change time instead.
  info.ftCreationTime = FileTimeOf(ts((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime));
  info.ftLastAccessTime = FileTimeOf(ts(sx.stx_atime));
  info.ftLastWriteTime = FileTimeOf(ts(sx.stx_mtime));
  info.dwVolumeSerialNumber = static_cast<DWORD>(sx.stx_dev_major << 20 | sx.stx_dev_minor);
  uint64_t size = S_ISREG(sx.stx_mode) ? sx.stx_size : 0;
  info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info.nFileSizeLow = static_cast<DWORD>(size);
  info.nNumberOfLinks = sx.stx_nlink;
  info.nFileIndexHigh = static_cast<DWORD>(sx.stx_ino >> 32);
  info.nFileIndexLow = static_cast<DWORD>(sx.stx_ino);
  *lpFileInformation = info;
  return TRUE;
}

DWORD WINAPI GetFinalPathNameByHandleW(HANDLE hFile, LPWSTR lpszFilePath, DWORD cchFilePath, DWORD dwFlags) {
  WINSIM_FAULT_VALUE("GetFinalPathNameByHandleW", 0);
  auto file = FileOf(hFile);
  if (!file) return 0;
  DWORD volume = dwFlags & 0x7;
  if ((dwFlags & ~DWORD(0xF)) || (volume != VOLUME_NAME_DOS && volume != VOLUME_NAME_GUID &&
                                  volume != VOLUME_NAME_NT && volume != VOLUME_NAME_NONE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Where the handle's object is now, through every link on the way (the link itself when it was
  // opened as one).
  char buffer[4096];
  ssize_t n = ReadOwnDescriptorLink(file->Fd(), buffer, sizeof(buffer) - 1);
  if (n <= 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  std::string linuxPath(buffer, static_cast<size_t>(n));
  const std::string deleted = " (deleted)";
  if (linuxPath.size() > deleted.size() && linuxPath.compare(linuxPath.size() - deleted.size(), deleted.size(), deleted) == 0) {
    linuxPath.resize(linuxPath.size() - deleted.size());
  }
  std::wstring windows = winsim::WindowsPathOf(linuxPath);  // "C:\..."
  std::wstring tail = windows.substr(2);                     // "\..."
  std::wstring text;
  wchar_t letter = windows[0];
  switch (volume) {
    case VOLUME_NAME_DOS: text = L"\\\\?\\" + windows; break;
    case VOLUME_NAME_NONE: text = tail; break;
    case VOLUME_NAME_NT: text = L"\\Device\\HarddiskVolume" + std::to_wstring(letter - L'A' + 1) + tail; break;
    case VOLUME_NAME_GUID: {
      // A fixed volume GUID per drive letter.
      text = winsim::FormatWindowsWideF(L"\\\\?\\Volume{%08x-0000-0000-0000-%012llx}",
                                        0x77696e00u + static_cast<unsigned>(letter),
                                        static_cast<unsigned long long>(letter)) + tail;
      break;
    }
  }
  return CopyOut(text, lpszFilePath, cchFilePath);
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  WINSIM_FAULT_VALUE("GetFileAttributesW", INVALID_FILE_ATTRIBUTES);
  unsigned long error = 0;
  auto name = winsim::ResolveFileName(lpFileName, &error);
  if (!name) {
    SetLastError(lpFileName && *lpFileName ? error : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat own;
  if (!name->StatOwn(&own)) {
    SetLastError(winsim::ErrorFromErrno(errno, name->linuxPath));
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = AttributesOf(own, name->linuxPath);
  if (name->trailingSeparator && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
  WINSIM_FAULT_BOOL("CreateDirectoryW");
  unsigned long error = 0;
  auto name = winsim::ResolveFileName(lpPathName, &error);
  if (!name) {
    SetLastError(error);
    return FALSE;
  }
  // Without the \\?\ prefix a folder name leaves room for an 8.3 file name inside it.
  if (name->windowsPath.rfind(L"\\\\?\\", 0) != 0 && name->windowsPath.size() > MAX_PATH - 12) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  const std::string& path = name->linuxPath;
  struct stat own;
  if (name->StatOwn(&own)) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (winsim::MissingError(path) == ERROR_PATH_NOT_FOUND) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!winsim::MayModify(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (mkdir(path.c_str(), 0777) != 0) {
    SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : winsim::ErrorFromErrno(errno, path));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  WINSIM_FAULT_BOOL("RemoveDirectoryW");
  unsigned long error = 0;
  auto name = winsim::ResolveFileName(lpPathName, &error);
  if (!name) {
    SetLastError(error);
    return FALSE;
  }
  const std::string& path = name->linuxPath;
  struct stat own;
  if (!name->StatOwn(&own)) {
    SetLastError(winsim::ErrorFromErrno(errno, path));
    return FALSE;
  }
  struct stat target;
  bool linkToFolder = S_ISLNK(own.st_mode) && StatFollow(path, &target) && S_ISDIR(target.st_mode);
  if (!S_ISDIR(own.st_mode) && !linkToFolder) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (!winsim::MayModify(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // Removing opens the folder for deletion, which its other opens must share.
  winsim::ShareGuard guard(path);
  guard.Lock();
  if (unsigned long shared = guard.CheckDelete(); shared != ERROR_SUCCESS) {
    SetLastError(shared);
    return FALSE;
  }
  // A junction is removed itself, not the folder it leads to.
  int rc = linkToFolder ? unlink(path.c_str()) : rmdir(path.c_str());
  if (rc != 0) {
    SetLastError(winsim::ErrorFromErrno(errno, path));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  WINSIM_FAULT_BOOL("DeleteFileW");
  unsigned long error = 0;
  auto name = winsim::ResolveFileName(lpFileName, &error);
  if (!name) {
    SetLastError(error);
    return FALSE;
  }
  const std::string& path = name->linuxPath;
  struct stat own;
  if (!name->StatOwn(&own)) {
    SetLastError(winsim::ErrorFromErrno(errno, path));
    return FALSE;
  }
  struct stat target;
  bool folder = S_ISDIR(own.st_mode) || (S_ISLNK(own.st_mode) && StatFollow(path, &target) && S_ISDIR(target.st_mode));
  // Folders (and links to them) are RemoveDirectoryW's.
  if (folder || !winsim::MayModify(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // The open for deletion meets the share modes of the file's other opens; the read-only
  // attribute refuses the deletion itself, after that open.
  winsim::ShareGuard guard(path);
  guard.Lock();
  if (unsigned long shared = guard.CheckDelete(); shared != ERROR_SUCCESS) {
    SetLastError(shared);
    return FALSE;
  }
  if (S_ISREG(own.st_mode) && !(own.st_mode & S_IWUSR)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  // A symbolic link is deleted itself, never its target.
  if (unlink(path.c_str()) != 0) {
    SetLastError(winsim::ErrorFromErrno(errno, path));
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer, LPWSTR* lpFilePart) {
  WINSIM_FAULT_VALUE("GetFullPathNameW", 0);
  if (!lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  unsigned long error = 0;
  auto full = winsim::FullWindowsPath(lpFileName, &error);
  if (!full) {
    SetLastError(error);
    return 0;
  }
  DWORD result = CopyOut(*full, lpBuffer, nBufferLength);
  if (result < nBufferLength && lpBuffer && lpFilePart) {
    // The last component, or none when the path ends in a separator.
    size_t slash = full->find_last_of(L'\\');
    *lpFilePart = slash == full->size() - 1 ? nullptr : lpBuffer + slash + 1;
  }
  return result;
}

DWORD WINAPI GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer) {
  WINSIM_FAULT_VALUE("GetTempPathW", 0);
  // The first of TMP, TEMP and USERPROFILE that is set, else the Windows folder; the result is a
  // full path (a relative one is taken against the current directory) with a final backslash.
  // The folder's existence is not checked.
  std::wstring folder = L"C:\\Windows";
  for (const wchar_t* variable : {L"TMP", L"TEMP", L"USERPROFILE"}) {
    auto value = winsim::WindowsEnvironmentVariable(variable);
    if (value && !value->empty()) {
      folder = *value;
      break;
    }
  }
  unsigned long error = 0;
  auto full = winsim::FullWindowsPath(folder, &error);
  if (!full) {
    SetLastError(error);
    return 0;
  }
  if (full->back() != L'\\') *full += L'\\';
  return CopyOut(*full, lpBuffer, nBufferLength);
}

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  WINSIM_FAULT_VALUE("GetCurrentDirectoryW", 0);
  return CopyOut(winsim::CurrentDirectoryWindows(), lpBuffer, nBufferLength);
}

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  WINSIM_FAULT_VALUE("GetEnvironmentVariableW", 0);
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto value = winsim::WindowsEnvironmentVariable(lpName);
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  // An empty value returns 0 too; the cleared last error tells it from a missing variable.
  if (value->empty()) {
    if (lpBuffer && nSize > 0) lpBuffer[0] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return 0;
  }
  return CopyOut(*value, lpBuffer, nSize);
}

BOOL WINAPI PathFileExistsW(LPCWSTR pszPath) {
  WINSIM_FAULT_BOOL("PathFileExistsW");
  if (!pszPath) return FALSE;
  return GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES;
}
