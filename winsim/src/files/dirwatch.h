// Directory change notification behind ReadDirectoryChangesW: the changes of one folder handle,
// gathered with inotify from the handle's first read on, queued between reads in a buffer the size
// of that first read's buffer, and handed to reads as FILE_NOTIFY_INFORMATION records.
#pragma once
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "kernel/handles.h"
#include "minwinbase.h"

namespace winsim {

// What an OVERLAPPED's Internal holds for a change read: NTSTATUS values.
constexpr DWORD kStatusSuccess = 0x00000000;
constexpr DWORD kStatusPending = 0x00000103;
constexpr DWORD kStatusNotifyCleanup = 0x0000010B;  // the handle was closed; nothing delivered
constexpr DWORD kStatusNotifyEnumDir = 0x0000010C;  // too many changes; enumerate the folder
constexpr DWORD kStatusDeletePending = 0xC0000056;  // the folder itself was deleted
constexpr DWORD kStatusCancelled = 0xC0000120;

// The Win32 error a completion status stands for (ERROR_SUCCESS for plain success).
DWORD ErrorOfStatus(DWORD status);
// Whether a status counts as success (NT_SUCCESS: severity bits clear).
inline bool StatusSucceeded(DWORD status) { return (status & 0xC0000000u) == 0 || (status & 0xC0000000u) == 0x40000000u; }

// How many change watches of this process are open: lets tests see when a program has issued its
// first read, from which moment its changes are gathered.
size_t OpenDirectoryWatchCount();

class DirectoryWatch {
 public:
  // One read in progress: where its records go and how its completion is made known.
  struct Read {
    BYTE* buffer = nullptr;
    DWORD length = 0;
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<KernelObject> event;  // the OVERLAPPED's event, held until completion
    DWORD thread = 0;                     // the issuing thread, for CancelIo
    bool done = false;
    DWORD status = kStatusPending;
    DWORD bytes = 0;
  };

  // Starts watching the folder open at directoryFd. The filter is the first read's, the queue's
  // capacity the first read's buffer length. Null with *error set when Linux refuses.
  static std::shared_ptr<DirectoryWatch> Start(int directoryFd, DWORD filter, DWORD capacity, DWORD* error);
  ~DirectoryWatch();
  DirectoryWatch(const DirectoryWatch&) = delete;
  DirectoryWatch& operator=(const DirectoryWatch&) = delete;

  // Queues a read; it completes at once when changes are waiting. False once the watch is closed.
  bool Issue(const std::shared_ptr<Read>& read);
  void WaitFor(const std::shared_ptr<Read>& read);
  // The outcome of the read that uses this OVERLAPPED: nullopt while it is pending and !wait,
  // else its Internal (status) and InternalHigh (bytes).
  std::optional<std::pair<DWORD, DWORD>> Result(LPOVERLAPPED overlapped, bool wait);
  // Completes the matching pending reads as cancelled: the one using `overlapped`, all when it is
  // null, or (byThread) those issued by `thread`. Returns how many.
  size_t Cancel(LPOVERLAPPED overlapped, bool byThread, DWORD thread);
  // Completes every pending read without touching its buffer and stops the notifier thread.
  void Close();

 private:
  struct Change {
    DWORD action;
    std::vector<uint8_t> name;  // UTF-16LE
  };
  struct HeldMove {
    uint32_t cookie;
    std::vector<uint8_t> name;
    bool isDirectory;
  };

  DirectoryWatch(int inotifyFd, int wakeFd, DWORD filter, DWORD capacity);
  void Run();
  void Wake();
  void DrainLocked();
  void FlushHeldLocked();
  void AddNameChangeLocked(bool isDirectory, DWORD action, std::vector<uint8_t> name);
  void AddModifiedLocked(std::vector<uint8_t> name);
  void EnqueueLocked(Change change);
  size_t FormattedBytesLocked() const;
  void DispatchLocked();
  void CompleteLocked(Read& read, DWORD status, DWORD bytes);

  const int m_inotifyFd;
  const int m_wakeFd;
  const DWORD m_filter;
  const DWORD m_capacity;
  std::mutex m_lock;
  std::condition_variable m_completed;
  std::deque<std::shared_ptr<Read>> m_reads;
  std::vector<Change> m_queue;
  std::optional<HeldMove> m_held;
  bool m_overflowed = false;
  bool m_gone = false;  // the folder itself was deleted
  bool m_closed = false;
  std::thread m_thread;
};

}  // namespace winsim
