#include "monitor/DirectoryWatcher.h"

#include <cstring>

#include "common/Log.h"
#include "common/Portability.h"

namespace {

const DWORD kChangeBufferBytes = 1024;

// The fixed part of a FILE_NOTIFY_INFORMATION record; the UTF-16 name follows it.
const size_t kRecordHeaderBytes = 3 * sizeof(DWORD);

}  // namespace

DirectoryWatcher::DirectoryWatcher(const std::wstring& wsWatchDirectory, const std::wstring& wsWatchName,
                                   std::function<void(std::wstring)> notifyCallback)
    : m_notifyCallback(std::move(notifyCallback)),
      m_wsWatchDirectory(wsWatchDirectory),
      m_wsWatchName(wsWatchName),
      m_pWatchThread(nullptr),
      m_bStopWatching(false),
      m_hWatchEvent(nullptr) {
  m_pWatchThread = new std::thread([this] { WatchingImpl(); });
}

DirectoryWatcher::~DirectoryWatcher() { UnWatch(); }

bool DirectoryWatcher::UnWatch() {
  if (m_bStopWatching.exchange(true)) return true;
  HANDLE event = m_hWatchEvent.load();
  if (event != nullptr) SetEvent(event);
  if (m_pWatchThread != nullptr && m_pWatchThread->joinable()) {
    if (m_pWatchThread->get_id() == std::this_thread::get_id()) return false;
    try {
      m_pWatchThread->join();
    } catch (...) {
      return false;
    }
    delete m_pWatchThread;
    m_pWatchThread = nullptr;
    event = m_hWatchEvent.exchange(nullptr);
    if (event != nullptr) CloseHandle(event);
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"DirectoryWatcher::UnWatch thread exit.\n");
  }
  return true;
}

DWORD DirectoryWatcher::WatchingImpl() {
  // The buffer and the overlapped record live in this frame; every read is cancelled and has
  // completed before the frame is left.
  alignas(DWORD) BYTE changes[kChangeBufferBytes];
  std::memset(changes, 0, sizeof(changes));

  HANDLE directory = CreateFileW(m_wsWatchDirectory.c_str(), FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
  if (directory == INVALID_HANDLE_VALUE) return 1;

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    DWORD error = GetLastError();
    CloseHandle(directory);
    return error;
  }
  m_hWatchEvent.store(event);

  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof(overlapped));
  overlapped.hEvent = event;
  bool readPending = false;
  // Ends the outstanding read before the handle goes, so that nothing writes into this frame later.
  auto closeDirectory = [&]() {
    if (readPending) {
      DWORD ignored = 0;
      CancelIoEx(directory, &overlapped);
      // The read's event may have been signalled by a stop rather than by the read: wait for the
      // read itself to complete, clearing the event before each wait.
      while (!HasOverlappedIoCompleted(&overlapped)) {
        ResetEvent(event);
        if (HasOverlappedIoCompleted(&overlapped)) break;
        WaitForSingleObject(event, INFINITE);
      }
      GetOverlappedResult(directory, &overlapped, &ignored, FALSE);
      readPending = false;
    }
    CloseHandle(directory);
  };

  DWORD result = 0;
  for (;;) {
    if (m_bStopWatching.load()) break;
    if (!ReadDirectoryChangesW(directory, changes, sizeof(changes), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, nullptr,
                               &overlapped, nullptr)) {
      DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) {
        closeDirectory();
        WriteLog(L"", 1, LOG_LEVEL_ERROR, L"FileWatcher::WatchingImpl ReadDirectoryChangesW() return fail, error: %d",
                 error);
        return error;
      }
    }
    readPending = true;
    // Issuing the read cleared the event: a stop that signalled it just before is seen by its flag.
    if (m_bStopWatching.load()) break;
    if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
      DWORD error = GetLastError();
      closeDirectory();
      WriteLog(L"", 1, LOG_LEVEL_INFO, L"FileWatcher::WatchingImpl WaitForSingleObject() return fail, error: %d",
               error);
      return error;
    }
    if (m_bStopWatching.load()) break;
    DWORD bytes = 0;
    bool completed = GetOverlappedResult(directory, &overlapped, &bytes, FALSE) != FALSE;
    readPending = false;
    // A read that delivers nothing (the system's change buffer overflowed) has no records; the
    // buffer still holds the previous read's, which must not be reported twice.
    if (completed && bytes > 0) ProcessDirectoryChanges(changes);
    if (!ResetEvent(event)) {
      result = GetLastError();
      closeDirectory();
      return result;
    }
  }
  closeDirectory();
  return result;
}

DWORD DirectoryWatcher::ProcessDirectoryChanges(const BYTE* buffer) {
  size_t offset = 0;
  for (;;) {
    DWORD next = 0, action = 0, nameBytes = 0;
    std::memcpy(&next, buffer + offset, sizeof(DWORD));
    std::memcpy(&action, buffer + offset + sizeof(DWORD), sizeof(DWORD));
    std::memcpy(&nameBytes, buffer + offset + 2 * sizeof(DWORD), sizeof(DWORD));
    size_t nameUnits = nameBytes / sizeof(UTF16_UNIT);
    // Records never reach past the buffer; a length that says otherwise is not trusted.
    bool fits = offset + kRecordHeaderBytes + nameBytes <= kChangeBufferBytes;
    if (fits && nameBytes != 0 && nameUnits == Utf16Length(m_wsWatchName)) {
      UTF16_UNIT name[MAX_PATH] = {};
      size_t copyUnits = nameUnits < MAX_PATH - 1 ? nameUnits : MAX_PATH - 1;
      std::memcpy(name, buffer + offset + kRecordHeaderBytes, copyUnits * sizeof(UTF16_UNIT));
      size_t length = 0;
      while (length < copyUnits && name[length] != 0) ++length;
      if (WideFromUtf16Units(name, length) == m_wsWatchName) {
        WriteLog(L"", 1, LOG_LEVEL_INFO,
                 L"DirectoryWatcher::ProcessDirectoryChanges schedule directory watcher notify timer, action: 0x%x\n",
                 action);
        m_notifyCallback(std::wstring());
      }
    }
    if (next == 0 || offset + next + kRecordHeaderBytes > kChangeBufferBytes) break;
    offset += next;
  }
  return 0;
}
