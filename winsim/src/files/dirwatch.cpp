// Directory change notification and the overlapped-result functions.
//
// What Windows documents and this follows:
// - ReadDirectoryChangesW on a handle opened with FILE_FLAG_OVERLAPPED and given an OVERLAPPED
//   returns nonzero once the read is queued; completion sets Internal/InternalHigh and signals
//   hEvent (which the call resets first). Without an OVERLAPPED, or on a handle opened without the
//   flag, the call blocks until the read completes.
// - The first call allocates a change buffer of the caller's buffer size, kept with the handle;
//   changes between calls are queued there and returned by the next call. When more arrive than fit,
//   the queue is discarded and the next read completes with no bytes (STATUS_NOTIFY_ENUM_DIR; the
//   synchronous form returns TRUE, zero bytes, last error ERROR_NOTIFY_ENUM_DIR).
// - The buffer must be DWORD-aligned, else ERROR_NOACCESS.
// - Closing the handle completes a pending read with STATUS_NOTIFY_CLEANUP and no records; here that
//   happens inside CloseHandle, so nothing is written to the caller's memory after it returns.
// - CancelIoEx completes the read with ERROR_OPERATION_ABORTED, or fails with ERROR_NOT_FOUND.
// - GetOverlappedResult: ERROR_IO_INCOMPLETE while pending without waiting; with bWait it returns
//   once the operation has completed.
#include "files/dirwatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

#include "core/fault.h"
#include "core/strings.h"
#include "files/fileobject.h"
#include "kernel/sync.h"
#include "windows.h"

namespace winsim {
namespace {

constexpr DWORD kValidFilters = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_LAST_ACCESS |
                                FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;
constexpr size_t kRecordHeader = 3 * sizeof(DWORD);
// A rename shows as two inotify events queued one after the other; a "moved from" still alone
// after this long was a move out of the folder.
constexpr int kMovePairingMs = 20;

std::atomic<size_t> g_openWatches{0};

size_t Aligned(size_t n) { return (n + 3) & ~size_t(3); }

DWORD ErrorOfErrno(int err) {
  switch (err) {
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES: return ERROR_ACCESS_DENIED;
    default: return ERROR_INVALID_FUNCTION;
  }
}

}  // namespace

size_t OpenDirectoryWatchCount() { return g_openWatches.load(); }

DWORD ErrorOfStatus(DWORD status) {
  switch (status) {
    case kStatusSuccess: return ERROR_SUCCESS;
    case kStatusPending: return ERROR_IO_PENDING;
    case kStatusNotifyCleanup: return ERROR_NOTIFY_CLEANUP;
    case kStatusNotifyEnumDir: return ERROR_NOTIFY_ENUM_DIR;
    case kStatusDeletePending: return ERROR_ACCESS_DENIED;
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

std::shared_ptr<DirectoryWatch> DirectoryWatch::Start(int directoryFd, DWORD filter, DWORD capacity, DWORD* error) {
  int inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd < 0) {
    *error = ErrorOfErrno(errno);
    return nullptr;
  }
  // Through the descriptor, so that the watch follows the folder the handle has open even if it
  // was renamed since.
  std::string self = "/proc/self/fd/" + std::to_string(directoryFd);
  uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB | IN_ONLYDIR |
                  IN_EXCL_UNLINK;
  if (inotify_add_watch(inotifyFd, self.c_str(), mask) < 0) {
    *error = ErrorOfErrno(errno);
    close(inotifyFd);
    return nullptr;
  }
  int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    *error = ErrorOfErrno(errno);
    close(inotifyFd);
    return nullptr;
  }
  std::shared_ptr<DirectoryWatch> watch(new DirectoryWatch(inotifyFd, wakeFd, filter, capacity));
  try {
    // The thread never owns the watch: the watch's owner joins it in Close.
    watch->m_thread = std::thread([raw = watch.get()] { raw->Run(); });
  } catch (const std::system_error&) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  g_openWatches.fetch_add(1);
  return watch;
}

DirectoryWatch::DirectoryWatch(int inotifyFd, int wakeFd, DWORD filter, DWORD capacity)
    : m_inotifyFd(inotifyFd), m_wakeFd(wakeFd), m_filter(filter), m_capacity(capacity) {}

DirectoryWatch::~DirectoryWatch() {
  Close();
  if (m_thread.joinable()) m_thread.detach();
  close(m_inotifyFd);
  close(m_wakeFd);
}

void DirectoryWatch::Wake() {
  uint64_t one = 1;
  ssize_t ignored = write(m_wakeFd, &one, sizeof(one));
  (void)ignored;
}

void DirectoryWatch::Close() {
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_closed) return;
    m_closed = true;
    for (auto& read : m_reads) CompleteLocked(*read, kStatusNotifyCleanup, 0);
    m_reads.clear();
  }
  Wake();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) {
    m_thread.join();
    g_openWatches.fetch_sub(1);
  }
}

void DirectoryWatch::Run() {
  for (;;) {
    int timeout;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_closed) return;
      timeout = m_held ? kMovePairingMs : -1;
    }
    pollfd fds[2] = {{m_inotifyFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    int ready = poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      ssize_t ignored = read(m_wakeFd, &count, sizeof(count));
      (void)ignored;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_closed) return;
    if (ready == 0) FlushHeldLocked();
    DrainLocked();
    DispatchLocked();
  }
}

void DirectoryWatch::DrainLocked() {
  alignas(inotify_event) char buffer[16384];
  for (;;) {
    ssize_t n = read(m_inotifyFd, buffer, sizeof(buffer));
    if (n <= 0) break;
    for (ssize_t offset = 0; offset < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
      offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        FlushHeldLocked();
        m_queue.clear();
        m_overflowed = true;
        continue;
      }
      if (event->mask & IN_IGNORED) {
        FlushHeldLocked();
        m_gone = true;
        continue;
      }
      if (m_held && !((event->mask & IN_MOVED_TO) && event->cookie == m_held->cookie)) FlushHeldLocked();
      if (event->len == 0) continue;
      std::vector<uint8_t> name = Utf16LeFromWide(WideFromUtf8(event->name));
      bool isDirectory = (event->mask & IN_ISDIR) != 0;
      if (event->mask & IN_CREATE) {
        AddNameChangeLocked(isDirectory, FILE_ACTION_ADDED, std::move(name));
      } else if (event->mask & IN_DELETE) {
        AddNameChangeLocked(isDirectory, FILE_ACTION_REMOVED, std::move(name));
      } else if (event->mask & IN_MOVED_FROM) {
        m_held = HeldMove{event->cookie, std::move(name), isDirectory};
      } else if (event->mask & IN_MOVED_TO) {
        if (m_held) {
          // Renamed within the folder: the old name, then the new one.
          HeldMove from = std::move(*m_held);
          m_held.reset();
          AddNameChangeLocked(from.isDirectory, FILE_ACTION_RENAMED_OLD_NAME, std::move(from.name));
          AddNameChangeLocked(isDirectory, FILE_ACTION_RENAMED_NEW_NAME, std::move(name));
        } else {
          AddNameChangeLocked(isDirectory, FILE_ACTION_ADDED, std::move(name));  // moved in
        }
      } else if (event->mask & IN_MODIFY) {
        if (!isDirectory && (m_filter & (FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE))) {
          AddModifiedLocked(std::move(name));
        }
      } else if (event->mask & IN_ATTRIB) {
        if (m_filter & (FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION |
                        FILE_NOTIFY_CHANGE_SECURITY)) {
          AddModifiedLocked(std::move(name));
        }
      }
    }
  }
}

void DirectoryWatch::FlushHeldLocked() {
  if (!m_held) return;
  HeldMove from = std::move(*m_held);
  m_held.reset();
  AddNameChangeLocked(from.isDirectory, FILE_ACTION_REMOVED, std::move(from.name));  // moved out
}

void DirectoryWatch::AddNameChangeLocked(bool isDirectory, DWORD action, std::vector<uint8_t> name) {
  DWORD wanted = isDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
  if (m_filter & wanted) EnqueueLocked(Change{action, std::move(name)});
}

void DirectoryWatch::AddModifiedLocked(std::vector<uint8_t> name) {
  // One write shows as many inotify events; one record stands for a run of them.
  if (!m_queue.empty() && m_queue.back().action == FILE_ACTION_MODIFIED && m_queue.back().name == name) return;
  EnqueueLocked(Change{FILE_ACTION_MODIFIED, std::move(name)});
}

void DirectoryWatch::EnqueueLocked(Change change) {
  if (m_overflowed) return;  // already lost: the reader has to enumerate the folder anyway
  m_queue.push_back(std::move(change));
  if (FormattedBytesLocked() > m_capacity) {
    m_queue.clear();
    m_overflowed = true;
  }
}

size_t DirectoryWatch::FormattedBytesLocked() const {
  if (m_queue.empty()) return 0;
  size_t total = 0;
  for (size_t i = 0; i + 1 < m_queue.size(); ++i) total += Aligned(kRecordHeader + m_queue[i].name.size());
  return total + kRecordHeader + m_queue.back().name.size();
}

void DirectoryWatch::DispatchLocked() {
  while (!m_reads.empty() && (m_overflowed || !m_queue.empty() || m_gone)) {
    std::shared_ptr<Read> read = m_reads.front();
    m_reads.pop_front();
    if (m_overflowed) {
      m_overflowed = false;
      CompleteLocked(*read, kStatusNotifyEnumDir, 0);
      continue;
    }
    if (m_queue.empty()) {
      CompleteLocked(*read, kStatusDeletePending, 0);
      continue;
    }
    size_t total = FormattedBytesLocked();
    if (total > read->length) {
      // This read's buffer is smaller than the one the queue was sized by.
      m_queue.clear();
      CompleteLocked(*read, kStatusNotifyEnumDir, 0);
      continue;
    }
    size_t offset = 0;
    for (size_t i = 0; i < m_queue.size(); ++i) {
      const Change& change = m_queue[i];
      size_t size = kRecordHeader + change.name.size();
      DWORD next = i + 1 < m_queue.size() ? static_cast<DWORD>(Aligned(size)) : 0;
      DWORD header[3] = {next, change.action, static_cast<DWORD>(change.name.size())};
      std::memcpy(read->buffer + offset, header, sizeof(header));
      if (!change.name.empty()) std::memcpy(read->buffer + offset + kRecordHeader, change.name.data(), change.name.size());
      if (next) std::memset(read->buffer + offset + size, 0, Aligned(size) - size);
      offset += next;
    }
    m_queue.clear();
    CompleteLocked(*read, kStatusSuccess, static_cast<DWORD>(total));
  }
}

void DirectoryWatch::CompleteLocked(Read& read, DWORD status, DWORD bytes) {
  read.done = true;
  read.status = status;
  read.bytes = bytes;
  if (read.overlapped) {
    // The caller may poll Internal (HasOverlappedIoCompleted) from another thread, as the kernel's
    // I/O manager lets it: the byte count is in place before the status says done.
    __atomic_store_n(&read.overlapped->InternalHigh, static_cast<ULONG_PTR>(bytes), __ATOMIC_RELAXED);
    __atomic_store_n(&read.overlapped->Internal, static_cast<ULONG_PTR>(status), __ATOMIC_RELEASE);
  }
  if (read.event) SetEventObject(read.event.get());
  read.event.reset();
  m_completed.notify_all();
}

bool DirectoryWatch::Issue(const std::shared_ptr<Read>& read) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_closed) return false;
  if (read->overlapped) {
    __atomic_store_n(&read->overlapped->Internal, static_cast<ULONG_PTR>(kStatusPending), __ATOMIC_RELAXED);
    __atomic_store_n(&read->overlapped->InternalHigh, static_cast<ULONG_PTR>(0), __ATOMIC_RELAXED);
  }
  if (read->event) ResetEventObject(read->event.get());
  m_reads.push_back(read);
  // What happened before this call is in the queue by now: inotify queued it synchronously.
  DrainLocked();
  DispatchLocked();
  // A lone "moved from" taken here waits for its partner on the notifier thread: make it look.
  if (m_held) Wake();
  return true;
}

void DirectoryWatch::WaitFor(const std::shared_ptr<Read>& read) {
  std::unique_lock<std::mutex> lock(m_lock);
  m_completed.wait(lock, [&] { return read->done; });
}

std::optional<std::pair<DWORD, DWORD>> DirectoryWatch::Result(LPOVERLAPPED overlapped, bool wait) {
  std::unique_lock<std::mutex> lock(m_lock);
  auto pending = [&] {
    for (const auto& read : m_reads) {
      if (read->overlapped == overlapped) return true;
    }
    return false;
  };
  if (pending()) {
    if (!wait) return std::nullopt;
    m_completed.wait(lock, [&] { return !pending(); });
  }
  return std::make_pair(static_cast<DWORD>(overlapped->Internal), static_cast<DWORD>(overlapped->InternalHigh));
}

size_t DirectoryWatch::Cancel(LPOVERLAPPED overlapped, bool byThread, DWORD thread) {
  std::lock_guard<std::mutex> lock(m_lock);
  size_t cancelled = 0;
  for (auto it = m_reads.begin(); it != m_reads.end();) {
    bool match = byThread ? (*it)->thread == thread : (!overlapped || (*it)->overlapped == overlapped);
    if (!match) {
      ++it;
      continue;
    }
    CompleteLocked(**it, kStatusCancelled, 0);
    it = m_reads.erase(it);
    ++cancelled;
  }
  return cancelled;
}

}  // namespace winsim

using winsim::DirectoryWatch;
using winsim::FileObject;

BOOL WINAPI ReadDirectoryChangesW(HANDLE hDirectory, LPVOID lpBuffer, DWORD nBufferLength, BOOL bWatchSubtree,
                                  DWORD dwNotifyFilter, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped,
                                  LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
  WINSIM_FAULT_BOOL("ReadDirectoryChangesW");
  auto file = winsim::ReferenceHandleAs<FileObject>(hDirectory);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Only a folder's handle can be watched; a file's answers as the file system answers it.
  if (!file->isDirectory) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(file->Access() & FILE_LIST_DIRECTORY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (dwNotifyFilter == 0 || (dwNotifyFilter & ~winsim::kValidFilters)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Not simulated: watching the whole tree, and completion routines (winsim has no APCs).
  if (bWatchSubtree || lpCompletionRoutine) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (nBufferLength > 0 && (!lpBuffer || reinterpret_cast<uintptr_t>(lpBuffer) % sizeof(DWORD) != 0)) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  std::shared_ptr<winsim::KernelObject> event;
  if (lpOverlapped && lpOverlapped->hEvent) {
    event = winsim::ReferenceHandle(lpOverlapped->hEvent);
    if (!event || !winsim::IsEventObject(event.get())) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  DWORD error = ERROR_INVALID_HANDLE;
  auto watch = file->EnsureWatch(
      [&] { return DirectoryWatch::Start(file->Fd(), dwNotifyFilter, nBufferLength, &error); });
  if (!watch) {
    SetLastError(error);
    return FALSE;
  }
  auto read = std::make_shared<DirectoryWatch::Read>();
  read->buffer = static_cast<BYTE*>(lpBuffer);
  read->length = nBufferLength;
  read->overlapped = lpOverlapped;
  read->event = std::move(event);
  read->thread = GetCurrentThreadId();
  if (!watch->Issue(read)) {
    SetLastError(ERROR_INVALID_HANDLE);  // the handle was closed meanwhile
    return FALSE;
  }
  // Queued: the caller learns the outcome through the OVERLAPPED.
  if (lpOverlapped && file->overlapped) return TRUE;
  watch->WaitFor(read);
  if (lpBytesReturned) *lpBytesReturned = read->bytes;
  if (!winsim::StatusSucceeded(read->status)) {
    SetLastError(winsim::ErrorOfStatus(read->status));
    return FALSE;
  }
  SetLastError(winsim::ErrorOfStatus(read->status));
  return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait) {
  WINSIM_FAULT_BOOL("GetOverlappedResult");
  if (!lpOverlapped || !lpNumberOfBytesTransferred) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto file = winsim::ReferenceHandleAs<FileObject>(hFile);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD status;
  DWORD bytes;
  if (auto watch = file->Watch()) {
    auto result = watch->Result(lpOverlapped, bWait != FALSE);
    if (!result) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    status = result->first;
    bytes = result->second;
  } else {
    // Every other operation on winsim's files has completed before its call returned.
    status = static_cast<DWORD>(lpOverlapped->Internal);
    bytes = static_cast<DWORD>(lpOverlapped->InternalHigh);
    if (status == winsim::kStatusPending) {
      SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
  }
  *lpNumberOfBytesTransferred = bytes;
  if (!winsim::StatusSucceeded(status)) {
    SetLastError(winsim::ErrorOfStatus(status));
    return FALSE;
  }
  // A completion that delivered nothing still says why (ERROR_NOTIFY_ENUM_DIR, ERROR_NOTIFY_CLEANUP).
  if (status != winsim::kStatusSuccess) SetLastError(winsim::ErrorOfStatus(status));
  return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  WINSIM_FAULT_BOOL("CancelIoEx");
  auto file = winsim::ReferenceHandleAs<FileObject>(hFile);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto watch = file->Watch();
  if (!watch || watch->Cancel(lpOverlapped, false, 0) == 0) {
    SetLastError(ERROR_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) {
  WINSIM_FAULT_BOOL("CancelIo");
  auto file = winsim::ReferenceHandleAs<FileObject>(hFile);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Succeeds whether or not this thread had anything pending on the handle.
  if (auto watch = file->Watch()) watch->Cancel(nullptr, true, GetCurrentThreadId());
  return TRUE;
}
