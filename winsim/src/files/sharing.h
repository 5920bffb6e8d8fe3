// Share modes between every open of a file on the machine, across processes, as the I/O manager
// checks them when a file is opened.
//
// Each open handle holds a reservation: open file description (OFD) locks of the shared kind on
// a few bytes far beyond any file's data, on a descriptor of the file that the handle owns. One
// byte says "an open with read access", one "with write access", one "with delete access", three
// more "an open that does not share reading / writing / deletion", one "an open of any kind" and
// one "a running program's image". A new open asks the kernel whether any other description holds
// the bytes it must not meet. The kernel drops a description's locks when its last descriptor
// closes, so a process that dies holding handles blocks nobody afterwards, and nothing needs to be
// cleaned up. An exclusive flock on a descriptor of the file makes the check and the taking of the
// locks one step against every other opener on the machine.
//
// The rules (Windows' sharing check, applied only when the open asks for reading, writing or
// deleting; other opens neither meet nor impose share modes):
//   - asking for read (FILE_READ_DATA, FILE_EXECUTE) fails while an open does not share reading;
//     asking for write (FILE_WRITE_DATA, FILE_APPEND_DATA) while one does not share writing;
//     asking for DELETE while one does not share deletion;
//   - a share mode without FILE_SHARE_READ fails while an open has read access; likewise for
//     writing and deletion.
// Deleting or renaming a file asks for DELETE. Replacing a file by a rename fails with
// ERROR_ACCESS_DENIED while the file has any open handle, whatever its share mode (NTFS refuses to
// supersede an open file by a rename), and deleting the image of a running program fails with
// ERROR_ACCESS_DENIED, as its mapped image section keeps it.
#pragma once
#include <string>

#include "minwindef.h"

namespace winsim {

// The share reservation of one open: released when it is destroyed or Release()d.
class ShareReservation {
 public:
  ShareReservation() = default;
  ~ShareReservation() { Release(); }
  ShareReservation(ShareReservation&& other) noexcept : m_fd(other.m_fd), m_ownsFd(other.m_ownsFd) {
    other.m_fd = -1;
    other.m_ownsFd = false;
  }
  ShareReservation& operator=(ShareReservation&& other) noexcept;
  ShareReservation(const ShareReservation&) = delete;
  ShareReservation& operator=(const ShareReservation&) = delete;

  // Gives the locks up. A reservation on the handle's own descriptor must be released before that
  // descriptor is closed.
  void Release();
  // The descriptor that carries the locks; -1 when nothing is held.
  int Fd() const { return m_fd; }
  // Gives the descriptor up to the caller, who then owns the locks (a started program's image).
  int Detach() {
    int fd = m_fd;
    m_fd = -1;
    m_ownsFd = false;
    return fd;
  }

 private:
  friend unsigned long ReserveShareAccess(int, bool, DWORD, DWORD, ShareReservation*);
  friend unsigned long ReserveImage(const std::string&, ShareReservation*);
  int m_fd = -1;
  // Whether the descriptor is the reservation's own (closed on release, which drops its locks) or
  // the handle's (left open, its locks dropped explicitly, since the handle's descriptor may
  // outlive the handle and a forked child may share its description for a moment).
  bool m_ownsFd = false;
};

// Checks an open of the file behind fd (a descriptor just opened for it) with the granted access
// and the share mode against every other open of that file on the machine, and on success holds
// the open's reservation in *reservation. ERROR_SUCCESS or ERROR_SHARING_VIOLATION. The locks are
// taken on fd itself (its open file description) when fdReadable says fd was opened for reading
// (shared locks need that); the reservation then refers to fd without owning it, and must be
// released before fd is closed. Otherwise they are taken on a description of their own, reopened
// through /proc, which costs far more. A file that cannot be reopened for the locks (no read
// permission on Linux) is not checked.
unsigned long ReserveShareAccess(int fd, bool fdReadable, DWORD access, DWORD shareMode,
                                 ShareReservation* reservation);

// Opens the program file at linuxPath as process creation does (read and execute, sharing reading
// and deletion) and holds the reservation of a running image. ERROR_SUCCESS or
// ERROR_SHARING_VIOLATION; a file that cannot be opened is not checked (ERROR_SUCCESS, nothing
// held), as opening it to run reports that.
unsigned long ReserveImage(const std::string& linuxPath, ShareReservation* reservation);

// Holds the share state of the file at a path still while a name operation runs, so that no open
// slips in between the check and the operation. A path that is not a file or folder (missing, a
// symbolic link, unreadable) holds nothing and passes every check. The constructor only opens the
// file; Lock() takes the hold, which lasts until the guard is destroyed.
class ShareGuard {
 public:
  explicit ShareGuard(const std::string& linuxPath);
  ~ShareGuard();
  void Lock();
  ShareGuard(const ShareGuard&) = delete;
  ShareGuard& operator=(const ShareGuard&) = delete;

  // ERROR_SHARING_VIOLATION when an open of the file does not share deletion; ERROR_ACCESS_DENIED
  // when the file is a running program's image; else ERROR_SUCCESS.
  unsigned long CheckDelete() const;
  // ERROR_SHARING_VIOLATION when an open of the file does not share deletion (a rename opens the
  // file for DELETE; a running image may be renamed); else ERROR_SUCCESS.
  unsigned long CheckRename() const;
  // ERROR_ACCESS_DENIED when the file has any open handle or runs as a program; else ERROR_SUCCESS.
  unsigned long CheckReplace() const;
  // Whether the guard holds a file; two guards of one file must not be taken at once.
  bool Holds() const { return m_fd >= 0; }
  bool SameFile(const ShareGuard& other) const;
  // The file's identity (device, inode): guards of two files are taken in this order.
  bool Before(const ShareGuard& other) const;

 private:
  int m_fd = -1;
  unsigned long long m_device = 0;
  unsigned long long m_inode = 0;
};

}  // namespace winsim
