// Files in the handle table: an open Linux descriptor with the access the handle was granted.
// Other subsystems (consoles, pipes) may wrap their descriptors the same way so that ReadFile and
// WriteFile work on them.
#pragma once
#include <memory>
#include <mutex>
#include <string>

#include "files/sharing.h"
#include "kernel/handles.h"
#include "minwinbase.h"
#include "minwindef.h"

namespace winsim {

class DirectoryWatch;

class FileObject : public KernelObject {
 public:
  // Takes ownership of fd. linuxPath is where it was opened ("" for descriptors without a name).
  FileObject(int fd, DWORD grantedAccess, std::string linuxPath);
  ~FileObject() override;
  FileObject(const FileObject&) = delete;
  FileObject& operator=(const FileObject&) = delete;

  int Fd() const { return m_fd; }
  DWORD Access() const { return m_access; }
  const std::string& LinuxPath() const { return m_path; }
  bool CanRead() const;
  bool CanWrite() const;
  // Opened as the link itself (FILE_FLAG_OPEN_REPARSE_POINT on a symbolic link): no data.
  bool isLink = false;
  bool isDirectory = false;
  bool deleteOnClose = false;
  // Opened with FILE_FLAG_OVERLAPPED: I/O that cannot finish at once stays pending.
  bool overlapped = false;
  // The handle's share access among all opens of the file on the machine; given up when the
  // handle closes, as Windows releases it at cleanup, not when the last reference goes.
  ShareReservation share;

  // The directory change watch, set up by the first ReadDirectoryChangesW on the handle; null
  // before, and for files.
  std::shared_ptr<DirectoryWatch> Watch();
  // The watch, made by `make` on first use; null once the handle is closed or when `make` fails
  // (it sets the last error).
  template <class Make>
  std::shared_ptr<DirectoryWatch> EnsureWatch(Make make) {
    std::lock_guard<std::mutex> lock(m_watchLock);
    if (m_closed) return nullptr;
    if (!m_watch) m_watch = make();
    return m_watch;
  }
  // Closing the handle ends its pending change reads without touching their buffers.
  void OnHandleClosed() override;

 private:
  int m_fd;
  DWORD m_access;
  std::string m_path;
  std::mutex m_watchLock;
  std::shared_ptr<DirectoryWatch> m_watch;
  bool m_closed = false;
};

// The generic rights mapped to the specific file rights, as the I/O manager maps them.
DWORD MapFileAccess(DWORD desiredAccess);

// The one file access rule of the machine: whether the current process may create, change or
// delete what lives at this Linux path. Users may not under C:\Windows (except inside
// C:\Windows\Temp) nor under C:\Program Files; LocalSystem and administrators may everywhere.
// The path is judged where it really leads, through any symbolic links on the way.
bool MayModify(const std::string& linuxPath);

}  // namespace winsim
