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

// The lock bytes, far beyond the data of any file (and beyond the ranges SQLite locks). Their
// order makes the bytes the common opens take adjacent, so that one lock call takes them all: an
// append or write sharing reading and writing (has write, is open, denies deletion), a read
// sharing reading (is open, denies deletion, has read, denies writing), a read and write of both,
// and a running image (has read, denies writing, is an image).
enum LockByte : off_t {
  kHasWrite = 0,
  kIsOpen = 1,
  kDeniesDelete = 2,
  kHasRead = 3,
  kDeniesWrite = 4,
  kIsImage = 5,
  kDeniesRead = 6,
  kHasDelete = 7,
  kByteCount = 8,
};
constexpr off_t kBase = 0x7FFFFFFFFFFFF000LL;

constexpr DWORD kReadRights = FILE_READ_DATA | FILE_EXECUTE;
constexpr DWORD kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA;

using ByteSet = unsigned;  // bit n stands for lock byte n
constexpr ByteSet Bit(off_t byte) { return 1u << byte; }

// The first run of consecutive bytes of a set, from *from on: false when none is left.
bool NextRun(ByteSet set, off_t* from, off_t* first, off_t* last) {
  off_t b = *from;
  while (b < kByteCount && !(set & Bit(b))) ++b;
  if (b >= kByteCount) return false;
  *first = b;
  while (b + 1 < kByteCount && (set & Bit(b + 1))) ++b;
  *last = b;
  *from = b + 1;
  return true;
}

// Asks the kernel about another open file description's lock on bytes first..last. False when
// none holds any of them; else true, with the range of the lock found in *heldFirst..*heldLast
// (clipped to the lock bytes). A failed question counts as a lock on all of them.
bool LockIn(int fd, off_t first, off_t last, off_t* heldFirst, off_t* heldLast) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kBase + first;
  lock.l_len = last - first + 1;
  *heldFirst = first;
  *heldLast = last;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
  if (lock.l_type == F_UNLCK) return false;
  off_t start = lock.l_start - kBase;
  off_t end = lock.l_len == 0 ? last : start + lock.l_len - 1;
  *heldFirst = std::max(first, start);
  *heldLast = std::min(last, end);
  return true;
}

// Whether another open file description holds any byte of the set. Most opens meet no other open
// at all, or only ones that hold none of the bytes in question: one question over the whole span
// settles that. A lock found in the span on a byte outside the set asks again run by run.
bool AnyHeld(int fd, ByteSet set) {
  if (!set) return false;
  off_t lowest = 0;
  while (!(set & Bit(lowest))) ++lowest;
  off_t highest = kByteCount - 1;
  while (!(set & Bit(highest))) --highest;
  off_t heldFirst, heldLast;
  if (!LockIn(fd, lowest, highest, &heldFirst, &heldLast)) return false;
  for (off_t b = heldFirst; b <= heldLast; ++b) {
    if (set & Bit(b)) return true;
  }
  off_t from = 0, first, last;
  while (NextRun(set, &from, &first, &last)) {
    if (LockIn(fd, first, last, &heldFirst, &heldLast)) return true;
  }
  return false;
}

bool Held(int fd, off_t byte) { return AnyHeld(fd, Bit(byte)); }

// Takes shared locks on every byte of the set, one call per run of adjacent bytes.
void TakeSet(int fd, ByteSet set) {
  off_t from = 0, first, last;
  while (NextRun(set, &from, &first, &last)) {
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kBase + first;
    lock.l_len = last - first + 1;
    fcntl(fd, F_OFD_SETLK, &lock);
  }
}

void Exclusive(int fd) {
  while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

void Shared(int fd) { flock(fd, LOCK_UN); }

// The bytes held by others that refuse a new open with this access and share mode.
ByteSet ConflictingBytes(DWORD access, DWORD share) {
  if (!(access & (kReadRights | kWriteRights | DELETE))) return 0;
  ByteSet set = 0;
  if (access & kReadRights) set |= Bit(kDeniesRead);
  if (access & kWriteRights) set |= Bit(kDeniesWrite);
  if (access & DELETE) set |= Bit(kDeniesDelete);
  if (!(share & FILE_SHARE_READ)) set |= Bit(kHasRead);
  if (!(share & FILE_SHARE_WRITE)) set |= Bit(kHasWrite);
  if (!(share & FILE_SHARE_DELETE)) set |= Bit(kHasDelete);
  return set;
}

// The bytes an open with this access and share mode holds.
ByteSet OwnBytes(DWORD access, DWORD share) {
  ByteSet set = Bit(kIsOpen);
  if (!(access & (kReadRights | kWriteRights | DELETE))) return set;
  if (access & kReadRights) set |= Bit(kHasRead);
  if (access & kWriteRights) set |= Bit(kHasWrite);
  if (access & DELETE) set |= Bit(kHasDelete);
  if (!(share & FILE_SHARE_READ)) set |= Bit(kDeniesRead);
  if (!(share & FILE_SHARE_WRITE)) set |= Bit(kDeniesWrite);
  if (!(share & FILE_SHARE_DELETE)) set |= Bit(kDeniesDelete);
  return set;
}

// The sharing check of a new open against the opens that hold their bytes.
bool Conflicts(int fd, DWORD access, DWORD share) { return AnyHeld(fd, ConflictingBytes(access, share)); }

// The check and the taking of the bytes are one step under the file's flock. Taking the bytes
// first and checking afterwards (giving them back on a conflict) would need no flock and would
// still never let two conflicting opens both succeed, but the bytes of an attempt about to fail
// would for a moment refuse a third open that Windows admits: opens would fail that must not.
unsigned long Reserve(int lockFd, DWORD access, DWORD share, bool image) {
  Exclusive(lockFd);
  bool conflict = Conflicts(lockFd, access, share);
  if (!conflict) TakeSet(lockFd, OwnBytes(access, share) | (image ? Bit(kIsImage) : 0));
  Shared(lockFd);
  return conflict ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS;
}

}  // namespace

ShareReservation& ShareReservation::operator=(ShareReservation&& other) noexcept {
  if (this != &other) {
    Release();
    m_fd = other.m_fd;
    m_ownsFd = other.m_ownsFd;
    other.m_fd = -1;
    other.m_ownsFd = false;
  }
  return *this;
}

void ShareReservation::Release() {
  if (m_fd < 0) return;
  if (m_ownsFd) {
    // The description is the reservation's alone: closing it drops its locks.
    close(m_fd);
  } else {
    // Every lock byte of the handle's description at once; the descriptor stays the handle's.
    struct flock lock = {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kBase;
    lock.l_len = kByteCount;
    fcntl(m_fd, F_OFD_SETLK, &lock);
  }
  m_fd = -1;
  m_ownsFd = false;
}

unsigned long ReserveShareAccess(int fd, bool fdReadable, DWORD access, DWORD shareMode,
                                 ShareReservation* reservation) {
  reservation->Release();
  // The handle's own description carries the locks when it can; a write-only one cannot hold
  // shared locks, so it gets a description of its own. Either way the locks belong to this open
  // alone and are not mistaken for another open's.
  int lockFd = fd;
  if (!fdReadable) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    lockFd = open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (lockFd < 0) return ERROR_SUCCESS;
  }
  unsigned long result = Reserve(lockFd, access, shareMode, false);
  if (result != ERROR_SUCCESS) {
    // A conflict takes nothing, so the description is left unlocked.
    if (lockFd != fd) close(lockFd);
    return result;
  }
  reservation->m_fd = lockFd;
  reservation->m_ownsFd = lockFd != fd;
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
  reservation->m_ownsFd = true;
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
