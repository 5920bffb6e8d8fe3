#include "files/sharing.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "windows.h"

namespace winsim {
namespace {

// The lock bytes, far beyond the data of any file (and beyond the ranges SQLite locks).
constexpr off_t kBase = 0x7FFFFFFFFFFFF000LL;
enum LockByte : off_t {
  kHasRead = 0,
  kHasWrite = 1,
  kHasDelete = 2,
  kDeniesRead = 3,
  kDeniesWrite = 4,
  kDeniesDelete = 5,
  kIsOpen = 6,
  kIsImage = 7,
};

constexpr DWORD kReadRights = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA;

// Whether another open file description holds the byte.
bool Held(int fd, off_t byte) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kBase + byte;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

bool Take(int fd, off_t byte) {
  struct flock lock = {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kBase + byte;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

void Exclusive(int fd) {
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void Shared(int fd) { flock(fd, LOCK_UN); }

// Whether another open file description holds any byte from first to last: one question to the
// kernel that clears every byte between them at once.
bool AnyHeld(int fd, off_t first, off_t last) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kBase + first;
  lock.l_len = last - first + 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;  // unknown: ask byte by byte
  return lock.l_type != F_UNLCK;
}

// The sharing check of a new open against the opens that hold their bytes.
bool Conflicts(int fd, DWORD access, DWORD share) {
  bool read = access & kReadRights, write = access & kWriteRights, del = access & DELETE;
  // Most opens meet no other open at all: when nobody holds any byte of the range that the
  // bytes to check span, none of them is held, and one look-up settles it.
  off_t first = kIsImage, last = kHasRead;
  auto consider = [&](bool check, off_t byte) {
    if (!check) return;
    first = std::min(first, byte);
    last = std::max(last, byte);
  };
  consider(read, kDeniesRead);
  consider(write, kDeniesWrite);
  consider(del, kDeniesDelete);
  consider(!(share & FILE_SHARE_READ), kHasRead);
  consider(!(share & FILE_SHARE_WRITE), kHasWrite);
  consider(!(share & FILE_SHARE_DELETE), kHasDelete);
  if (first > last || !AnyHeld(fd, first, last)) return false;
  if (read && Held(fd, kDeniesRead)) return true;
  if (write && Held(fd, kDeniesWrite)) return true;
  if (del && Held(fd, kDeniesDelete)) return true;
  if (!(share & FILE_SHARE_READ) && Held(fd, kHasRead)) return true;
  if (!(share & FILE_SHARE_WRITE) && Held(fd, kHasWrite)) return true;
  if (!(share & FILE_SHARE_DELETE) && Held(fd, kHasDelete)) return true;
  return false;
}

void TakeAll(int fd, DWORD access, DWORD share) {
  Take(fd, kIsOpen);
  if (!(access & (kReadRights | kWriteRights | DELETE))) return;
  if (access & kReadRights) Take(fd, kHasRead);
  if (access & kWriteRights) Take(fd, kHasWrite);
  if (access & DELETE) Take(fd, kHasDelete);
  if (!(share & FILE_SHARE_READ)) Take(fd, kDeniesRead);
  if (!(share & FILE_SHARE_WRITE)) Take(fd, kDeniesWrite);
  if (!(share & FILE_SHARE_DELETE)) Take(fd, kDeniesDelete);
}

unsigned long Reserve(int lockFd, DWORD access, DWORD share, bool image) {
  Exclusive(lockFd);
  bool conflict = (access & (kReadRights | kWriteRights | DELETE)) && Conflicts(lockFd, access, share);
  if (!conflict) {
    TakeAll(lockFd, access, share);
    if (image) Take(lockFd, kIsImage);
  }
  Shared(lockFd);
  return conflict ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
}

}  // namespace

ShareReservation& ShareReservation::operator=(ShareReservation&& other) noexcept {
  if (this != &other) {
    Release();
    m_fd = other.m_fd;
    m_sharesDescription = other.m_sharesDescription;
    other.m_fd = -1;
    other.m_sharesDescription = false;
  }
  return *this;
}

void ShareReservation::Release() {
  if (m_fd >= 0 && m_sharesDescription) {
    // Every lock byte of the description at once: the handle's descriptor may outlive the handle.
    struct flock lock = {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kBase;
    lock.l_len = kIsImage + 1;
    fcntl(m_fd, F_OFD_SETLK, &lock);
  }
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_sharesDescription = false;
}

unsigned long ReserveShareAccess(int fd, bool fdReadable, DWORD access, DWORD shareMode,
                                 ShareReservation* reservation) {
  reservation->Release();
  // The handle's own description carries the locks when it can (a duplicate descriptor shares
  // it); a write-only one cannot hold shared locks, so it gets a description of its own. Either
  // way the locks belong to this open alone and are not mistaken for another open's.
  int lockFd;
  if (fdReadable) {
    lockFd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  } else {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    lockFd = open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  }
  if (lockFd < 0) return ERROR_SUCCESS;
  unsigned long result = Reserve(lockFd, access, shareMode, false);
  if (result != ERROR_SUCCESS) {
    // A conflict takes nothing, so closing the duplicate leaves the description unlocked.
    close(lockFd);
    return result;
  }
  reservation->m_fd = lockFd;
  reservation->m_sharesDescription = fdReadable;
  return ERROR_SUCCESS;
}

unsigned long ReserveImage(const std::string& linuxPath, ShareReservation* reservation) {
  reservation->Release();
  int lockFd = open(linuxPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (lockFd < 0) return ERROR_SUCCESS;
  // The loader opens the image for reading and executing and shares reading and deletion.
  unsigned long result =
      Reserve(lockFd, FILE_READ_DATA | FILE_EXECUTE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_DELETE, true);
  if (result != ERROR_SUCCESS) {
    close(lockFd);
    return result;
  }
  reservation->m_fd = lockFd;
  return ERROR_SUCCESS;
}

ShareGuard::ShareGuard(const std::string& linuxPath) {
  // A symbolic link is deleted or renamed itself; opens of links hold no reservations.
  m_fd = open(linuxPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (m_fd < 0) return;
  struct stat st;
  if (fstat(m_fd, &st) != 0) {
    close(m_fd);
    m_fd = -1;
    return;
  }
  m_device = st.st_dev;
  m_inode = st.st_ino;
}

ShareGuard::~ShareGuard() {
  if (m_fd >= 0) close(m_fd);
}

void ShareGuard::Lock() {
  if (m_fd >= 0) Exclusive(m_fd);
}

bool ShareGuard::SameFile(const ShareGuard& other) const {
  return m_fd >= 0 && other.m_fd >= 0 && m_device == other.m_device && m_inode == other.m_inode;
}

bool ShareGuard::Before(const ShareGuard& other) const {
  if (m_device != other.m_device) return m_device < other.m_device;
  return m_inode < other.m_inode;
}

unsigned long ShareGuard::CheckDelete() const {
  if (m_fd < 0) return ERROR_SUCCESS;
  // Deleting opens the file for DELETE and shares everything; only then is the deletion itself
  // refused for a mapped image.
  if (Conflicts(m_fd, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) return ERROR_SHARING_VIOLATION;
  if (Held(m_fd, kIsImage)) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

unsigned long ShareGuard::CheckRename() const {
  if (m_fd < 0) return ERROR_SUCCESS;
  if (Conflicts(m_fd, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) return ERROR_SHARING_VIOLATION;
  return ERROR_SUCCESS;
}

unsigned long ShareGuard::CheckReplace() const {
  if (m_fd < 0) return ERROR_SUCCESS;
  return Held(m_fd, kIsOpen) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

}  // namespace winsim
