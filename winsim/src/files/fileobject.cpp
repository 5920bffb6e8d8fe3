#include "files/fileobject.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "files/dirwatch.h"
#include "windows.h"

namespace winsim {

FileObject::FileObject(int fd, DWORD grantedAccess, std::string linuxPath)
    : m_fd(fd), m_access(grantedAccess), m_path(std::move(linuxPath)) {}

FileObject::~FileObject() {
  // A handle table torn down at exit never closed its handles one by one.
  if (m_watch) m_watch->Close();
  // The reservation may lock this descriptor: it goes first.
  share.Release();
  if (m_fd >= 0) close(m_fd);
  if (deleteOnClose && !m_path.empty()) unlink(m_path.c_str());
}

std::shared_ptr<DirectoryWatch> FileObject::Watch() {
  std::lock_guard<std::mutex> lock(m_watchLock);
  return m_watch;
}

void FileObject::OnHandleClosed() {
  std::shared_ptr<DirectoryWatch> watch;
  {
    std::lock_guard<std::mutex> lock(m_watchLock);
    m_closed = true;
    watch = m_watch;
    share.Release();
  }
  if (watch) watch->Close();
}

bool FileObject::CanRead() const { return (m_access & FILE_READ_DATA) != 0; }
bool FileObject::CanWrite() const { return (m_access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0; }

DWORD MapFileAccess(DWORD desired) {
  DWORD access = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desired & GENERIC_READ) access |= FILE_GENERIC_READ;
  if (desired & GENERIC_WRITE) access |= FILE_GENERIC_WRITE;
  if (desired & GENERIC_EXECUTE) access |= FILE_GENERIC_EXECUTE;
  if (desired & GENERIC_ALL) access |= FILE_ALL_ACCESS;
  return access;
}

namespace {

// Where a path really leads: its deepest existing ancestor resolved through links, then the rest.
std::string RealLocation(const std::string& linuxPath) {
  std::string head = linuxPath;
  std::string tail;
  while (!head.empty()) {
    char buffer[PATH_MAX];
    if (realpath(head.c_str(), buffer)) {
      std::string base = buffer;
      if (tail.empty()) return base;
      return base == "/" ? tail : base + tail;
    }
    size_t slash = head.rfind('/');
    if (slash == std::string::npos) break;
    tail = head.substr(slash) + tail;
    head = head.substr(0, slash);
  }
  return linuxPath;
}

bool Within(const std::wstring& upperPath, const std::wstring& folder) {
  return upperPath == folder || upperPath.rfind(folder + L"\\", 0) == 0;
}

}  // namespace

bool MayModify(const std::string& linuxPath) {
  if (CurrentIdentity().IsPrivileged()) return true;
  std::wstring path = UpperCase(WindowsPathOf(RealLocation(linuxPath)));
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  // Users may create files and folders inside C:\Windows\Temp, not replace the folder itself.
  if (path.rfind(L"C:\\WINDOWS\\TEMP\\", 0) == 0) return true;
  return !Within(path, L"C:\\WINDOWS") && !Within(path, L"C:\\PROGRAM FILES") &&
         !Within(path, L"C:\\PROGRAM FILES (X86)");
}

}  // namespace winsim
