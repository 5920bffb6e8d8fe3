// Directory change notification: the records as Windows lays them out, the actions under each
// filter, queueing between reads, overflow, overlapped results, cancellation and closing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/strings.h"
#include "files/dirwatch.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

struct Record {
  DWORD action;
  std::wstring name;
  bool operator==(const Record& other) const { return action == other.action && name == other.name; }
};

void PrintTo(const Record& r, std::ostream* os) { *os << "{" << r.action << ", " << Utf8FromWide(r.name) << "}"; }

// Walks a change buffer the way a Windows program reads it: DWORD fields, UTF-16LE names, records
// at the next-entry offsets. Checks the layout rules on the way.
std::vector<Record> Parse(const BYTE* buffer, DWORD bytes) {
  std::vector<Record> records;
  size_t offset = 0;
  while (bytes > 0) {
    EXPECT_LE(offset + 12, bytes);
    if (offset + 12 > bytes) break;
    DWORD next, action, nameBytes;
    std::memcpy(&next, buffer + offset, 4);
    std::memcpy(&action, buffer + offset + 4, 4);
    std::memcpy(&nameBytes, buffer + offset + 8, 4);
    EXPECT_EQ(nameBytes % 2, 0u);
    EXPECT_LE(offset + 12 + nameBytes, bytes);
    records.push_back({action, WideFromUtf16Le(buffer + offset + 12, nameBytes)});
    if (next == 0) {
      EXPECT_EQ(offset + 12 + nameBytes, bytes) << "the byte count ends with the last record";
      break;
    }
    EXPECT_EQ(next % 4, 0u) << "records are DWORD-aligned";
    EXPECT_GE(next, 12 + nameBytes);
    offset += next;
  }
  return records;
}

class DirectoryChangesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    fs::create_directories(MachinePath("drives/c/watch"));
    fs::create_directories(MachinePath("drives/c/elsewhere"));
    m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(m_event, nullptr);
  }
  void TearDown() override {
    CloseHandle(m_event);
    MachineTest::TearDown();
  }

  std::string In(const std::string& name) { return MachinePath("drives/c/" + m_root + "/" + name); }
  std::wstring WinIn(const std::string& name) {
    std::wstring path = L"C:\\" + WideFromUtf8(m_root + "/" + name);
    for (auto& c : path) if (c == L'/') c = L'\\';
    return path;
  }
  HANDLE OpenFolder(const wchar_t* path = L"C:\\watch", DWORD flags = FILE_FLAG_OVERLAPPED,
                    DWORD access = FILE_LIST_DIRECTORY) {
    HANDLE h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    return h;
  }
  // Issues an overlapped read into m_buffer.
  void StartRead(HANDLE h, DWORD filter, DWORD length = sizeof(m_buffer)) {
    std::memset(&m_overlapped, 0, sizeof(m_overlapped));
    m_overlapped.hEvent = m_event;
    SetLastError(12345);
    ASSERT_TRUE(ReadDirectoryChangesW(h, m_buffer, length, FALSE, filter, nullptr, &m_overlapped, nullptr))
        << GetLastError();
  }
  std::vector<Record> FinishRead(HANDLE h) {
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &m_overlapped, &bytes, TRUE)) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(m_event, 0), WAIT_OBJECT_0) << "completion signals the event";
    return Parse(m_buffer, bytes);
  }
  // Reads until the record `last` arrives, however the changes were split between reads.
  std::vector<Record> ReadThrough(HANDLE h, DWORD filter, const Record& last, bool alreadyStarted = true) {
    std::vector<Record> all;
    for (int reads = 0; reads < 100; ++reads) {
      if (!alreadyStarted) StartRead(h, filter);
      alreadyStarted = false;
      for (const Record& r : FinishRead(h)) all.push_back(r);
      if (!all.empty() && all.back() == last) break;
    }
    return all;
  }

  std::string m_root = "watch";
  HANDLE m_event = nullptr;
  OVERLAPPED m_overlapped{};
  alignas(DWORD) BYTE m_buffer[4096];
};

TEST_F(DirectoryChangesTest, RecordsAreLaidOutAsWindowsLaysThemOut) {
  HANDLE h = OpenFolder();
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  fs::create_directory(In("first"));
  EXPECT_EQ(FinishRead(h), (std::vector<Record>{{FILE_ACTION_ADDED, L"first"}}));

  // Made while no read is pending: queued, and delivered at once by the next read.
  fs::create_directory(In("abc"));
  fs::create_directory(In("\xC3\x9C\xF0\x9F\x98\x80x"));  // U+00DC, U+1F600 (a surrogate pair), 'x'
  std::memset(m_buffer, 0xAB, sizeof(m_buffer));
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  EXPECT_EQ(WaitForSingleObject(m_event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(HasOverlappedIoCompleted(&m_overlapped));
  DWORD bytes = 0;
  ASSERT_TRUE(GetOverlappedResult(h, &m_overlapped, &bytes, FALSE));
  // "abc": 12 + 6 bytes, padded to 20; then 12 + 8 bytes (four UTF-16 units), unpadded at the end.
  ASSERT_EQ(bytes, 40u);
  EXPECT_EQ(m_overlapped.InternalHigh, 40u);
  EXPECT_EQ(m_overlapped.Internal, 0u);
  const BYTE expected[] = {20, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0, 'a', 0, 'b', 0, 'c', 0, 0, 0,
                           0,  0, 0, 0, 1, 0, 0, 0, 8, 0, 0, 0, 0xDC, 0, 0x3D, 0xD8, 0x00, 0xDE, 'x', 0};
  EXPECT_EQ(std::vector<BYTE>(m_buffer, m_buffer + bytes), std::vector<BYTE>(expected, expected + sizeof(expected)));
  EXPECT_EQ(m_buffer[bytes], 0xAB) << "nothing is written past the records";
  // The structure as declared matches the bytes.
  auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(m_buffer);
  EXPECT_EQ(record->NextEntryOffset, 20u);
  EXPECT_EQ(record->FileName[2], u'c');
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DirectoryChangesTest, ActionsUnderEachFilter) {
  struct Case {
    const char* what;
    DWORD filter;
    std::vector<std::string> before;  // entries present before watching: "d/" a folder, else a file
    std::function<void()> change;
    std::vector<Record> expected;  // before the sentinel record
  };
  const DWORD kDir = FILE_NOTIFY_CHANGE_DIR_NAME, kFile = FILE_NOTIFY_CHANGE_FILE_NAME;
  auto mkdir = [this](const std::string& p) { return [this, p]() { fs::create_directory(In(p)); }; };
  auto touch = [this](const std::string& p) { return [this, p]() { std::ofstream(In(p)); }; };
  auto remove = [this](const std::string& p) { return [this, p]() { fs::remove(In(p)); }; };
  auto rename = [this](const std::string& a, const std::string& b) {
    return [this, a, b]() { fs::rename(In(a), In(b)); };
  };
  const std::vector<Case> cases = {
      {"folder created", kDir, {}, mkdir("d"), {{FILE_ACTION_ADDED, L"d"}}},
      {"folder created, files watched", kFile, {}, mkdir("d"), {}},
      {"file created", kFile, {}, touch("f"), {{FILE_ACTION_ADDED, L"f"}}},
      {"file created, folders watched", kDir, {}, touch("f"), {}},
      {"folder deleted", kDir, {"d/"}, remove("d"), {{FILE_ACTION_REMOVED, L"d"}}},
      {"file deleted", kFile, {"f"}, remove("f"), {{FILE_ACTION_REMOVED, L"f"}}},
      {"file deleted, folders watched", kDir, {"f"}, remove("f"), {}},
      {"folder renamed", kDir, {"d/"}, rename("d", "e"),
       {{FILE_ACTION_RENAMED_OLD_NAME, L"d"}, {FILE_ACTION_RENAMED_NEW_NAME, L"e"}}},
      {"folder renamed, files watched", kFile, {"d/"}, rename("d", "e"), {}},
      {"file renamed", kFile, {"f"}, rename("f", "g"),
       {{FILE_ACTION_RENAMED_OLD_NAME, L"f"}, {FILE_ACTION_RENAMED_NEW_NAME, L"g"}}},
      {"folder moved in", kDir, {}, [this]() {
         fs::create_directory(MachinePath("drives/c/elsewhere/in"));
         fs::rename(MachinePath("drives/c/elsewhere/in"), In("in"));
       }, {{FILE_ACTION_ADDED, L"in"}}},
      {"folder moved out", kDir, {"out/"}, [this]() {
         fs::rename(In("out"), MachinePath("drives/c/elsewhere/out"));
       }, {{FILE_ACTION_REMOVED, L"out"}}},
      {"through the Windows API", kDir | kFile, {}, [this]() {
         ASSERT_TRUE(CreateDirectoryW(WinIn("Win").c_str(), nullptr));
         HANDLE f = CreateFileW(WinIn("w.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
         ASSERT_NE(f, INVALID_HANDLE_VALUE);
         CloseHandle(f);
         ASSERT_TRUE(DeleteFileW(WinIn("w.txt").c_str()));
         ASSERT_TRUE(RemoveDirectoryW(WinIn("Win").c_str()));
       }, {{FILE_ACTION_ADDED, L"Win"}, {FILE_ACTION_ADDED, L"w.txt"}, {FILE_ACTION_REMOVED, L"w.txt"},
           {FILE_ACTION_REMOVED, L"Win"}}},
      {"file written", kFile | FILE_NOTIFY_CHANGE_LAST_WRITE, {"f"}, [this]() {
         std::ofstream(In("f"), std::ios::app) << "more";
       }, {{FILE_ACTION_MODIFIED, L"f"}}},
      {"file written, names only", kFile, {"f"}, [this]() {
         std::ofstream(In("f"), std::ios::app) << "more";
       }, {}},
      {"attributes changed", kFile | FILE_NOTIFY_CHANGE_ATTRIBUTES, {"f"}, [this]() {
         fs::permissions(In("f"), fs::perms::owner_read);
       }, {{FILE_ACTION_MODIFIED, L"f"}}},
      // The folder's own entries only: what happens inside a subfolder is not reported.
      {"inside a subfolder", kDir | kFile, {"sub/"}, [this]() {
         fs::create_directory(In("sub/inner"));
         std::ofstream(In("sub/file"));
         fs::rename(In("sub/file"), In("sub/file2"));
       }, {}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string folder = "case" + std::to_string(++n);
    fs::create_directories(In(folder));
    for (const std::string& entry : c.before) {
      if (entry.back() == '/') fs::create_directory(In(folder + "/" + entry));
      else std::ofstream(In(folder + "/" + entry));
    }
    std::wstring path = L"C:\\watch\\" + WideFromUtf8(folder);
    HANDLE h = OpenFolder(path.c_str());
    StartRead(h, c.filter);
    // The case's changes, through In(), land in its own folder.
    m_root = "watch/" + folder;
    c.change();
    // A sentinel of the kind the filter reports ends what the case produced.
    Record sentinel{FILE_ACTION_ADDED, L"zz-sentinel"};
    if (c.filter & kDir) fs::create_directory(In("zz-sentinel"));
    else std::ofstream(In("zz-sentinel"));
    m_root = "watch";
    std::vector<Record> expected = c.expected;
    expected.push_back(sentinel);
    EXPECT_EQ(ReadThrough(h, c.filter, sentinel), expected);
    EXPECT_TRUE(CloseHandle(h));
  }
}


TEST_F(DirectoryChangesTest, SynchronousReadsBlockUntilChangesAndTakeWhatWasQueuedMeanwhile) {
  HANDLE h = OpenFolder(L"C:\\watch", 0);  // no FILE_FLAG_OVERLAPPED: the read blocks
  std::atomic<bool> returned{false};
  DWORD firstBytes = 0;
  BOOL firstOk = FALSE;
  std::thread reader([&] {
    firstOk = ReadDirectoryChangesW(h, m_buffer, sizeof(m_buffer), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, &firstBytes,
                                    nullptr, nullptr);
    returned = true;
  });
  // The watch starts with the reader's call; until it has, a change may go unseen, so keep making
  // them until the blocked call returns with one.
  for (int i = 0; !returned; ++i) {
    fs::create_directory(In("wake" + std::to_string(i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  reader.join();
  ASSERT_TRUE(firstOk);
  std::vector<Record> first = Parse(m_buffer, firstBytes);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first.front().action, static_cast<DWORD>(FILE_ACTION_ADDED));

  // Drain whatever wake-up folders followed, by removing them and waiting for a marker.
  fs::create_directory(In("marker"));
  for (;;) {
    DWORD bytes = 0;
    ASSERT_TRUE(ReadDirectoryChangesW(h, m_buffer, sizeof(m_buffer), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, &bytes,
                                      nullptr, nullptr));
    auto records = Parse(m_buffer, bytes);
    if (!records.empty() && records.back() == Record{FILE_ACTION_ADDED, L"marker"}) break;
  }
  // Changes between two reads are all delivered by the next one, without blocking.
  fs::create_directory(In("q1"));
  fs::rename(In("q1"), In("q2"));
  fs::remove(In("q2"));
  DWORD bytes = 0;
  ASSERT_TRUE(ReadDirectoryChangesW(h, m_buffer, sizeof(m_buffer), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, &bytes,
                                    nullptr, nullptr));
  EXPECT_EQ(Parse(m_buffer, bytes),
            (std::vector<Record>{{FILE_ACTION_ADDED, L"q1"}, {FILE_ACTION_RENAMED_OLD_NAME, L"q1"},
                                 {FILE_ACTION_RENAMED_NEW_NAME, L"q2"}, {FILE_ACTION_REMOVED, L"q2"}}));
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DirectoryChangesTest, TooManyChangesForTheBufferCompleteWithNoBytes) {
  HANDLE h = OpenFolder();
  // The first read's 64 bytes size the handle's change queue.
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME, 64);
  fs::create_directory(In("first"));
  EXPECT_EQ(FinishRead(h), (std::vector<Record>{{FILE_ACTION_ADDED, L"first"}}));

  for (int i = 0; i < 6; ++i) fs::create_directory(In("overflowing-name-" + std::to_string(i)));
  std::memset(m_buffer, 0xAB, sizeof(m_buffer));
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME, 64);
  DWORD bytes = 99;
  SetLastError(0);
  ASSERT_TRUE(GetOverlappedResult(h, &m_overlapped, &bytes, FALSE)) << "completed at once";
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOTIFY_ENUM_DIR));
  EXPECT_EQ(m_overlapped.Internal, winsim::kStatusNotifyEnumDir);
  EXPECT_EQ(m_buffer[0], 0xAB) << "the buffer is left alone";

  // Watching goes on after an overflow.
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME, 64);
  fs::create_directory(In("later"));
  EXPECT_EQ(FinishRead(h), (std::vector<Record>{{FILE_ACTION_ADDED, L"later"}}));

  // The synchronous form: TRUE, no bytes, ERROR_NOTIFY_ENUM_DIR.
  for (int i = 0; i < 6; ++i) fs::remove(In("overflowing-name-" + std::to_string(i)));
  bytes = 99;
  SetLastError(0);
  ASSERT_TRUE(ReadDirectoryChangesW(h, m_buffer, 64, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, &bytes, nullptr, nullptr));
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOTIFY_ENUM_DIR));

  // A read whose own buffer is too small for what is queued gets no records either.
  fs::create_directory(In("abcdefgh"));  // 12 + 16 bytes
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME, 16);
  bytes = 99;
  ASSERT_TRUE(GetOverlappedResult(h, &m_overlapped, &bytes, FALSE));
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOTIFY_ENUM_DIR));
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DirectoryChangesTest, PendingCompletedAndCancelledReads) {
  HANDLE h = OpenFolder();
  // Nothing pending yet.
  EXPECT_FALSE(CancelIoEx(h, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

  SetEvent(m_event);  // issuing the read resets it
  std::memset(m_buffer, 0xAB, sizeof(m_buffer));
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  EXPECT_EQ(WaitForSingleObject(m_event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(HasOverlappedIoCompleted(&m_overlapped));
  DWORD bytes = 99;
  EXPECT_FALSE(GetOverlappedResult(h, &m_overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  // Someone else signalling the event does not make the read complete.
  SetEvent(m_event);
  EXPECT_FALSE(GetOverlappedResult(h, &m_overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  ResetEvent(m_event);

  // Another OVERLAPPED matches nothing.
  OVERLAPPED other{};
  EXPECT_FALSE(CancelIoEx(h, &other));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

  EXPECT_TRUE(CancelIoEx(h, &m_overlapped));
  EXPECT_EQ(WaitForSingleObject(m_event, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(h, &m_overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(m_buffer[0], 0xAB);
  EXPECT_FALSE(CancelIoEx(h, &m_overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

  // A change made while cancelled is kept for the next read.
  fs::create_directory(In("kept"));
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  EXPECT_EQ(FinishRead(h), (std::vector<Record>{{FILE_ACTION_ADDED, L"kept"}}));

  // A waiting GetOverlappedResult returns when the change comes.
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  std::vector<Record> seen;
  std::thread waiter([&] { seen = FinishRead(h); });
  fs::create_directory(In("awaited"));
  waiter.join();
  EXPECT_EQ(seen, (std::vector<Record>{{FILE_ACTION_ADDED, L"awaited"}}));

  // CancelIoEx with no OVERLAPPED cancels every read of the handle; CancelIo those of this thread.
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  EXPECT_TRUE(CancelIoEx(h, nullptr));
  EXPECT_FALSE(GetOverlappedResult(h, &m_overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  std::thread([&] { EXPECT_TRUE(CancelIo(h)); }).join();  // another thread's: not this read
  EXPECT_FALSE(GetOverlappedResult(h, &m_overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  EXPECT_TRUE(CancelIo(h));
  EXPECT_FALSE(GetOverlappedResult(h, &m_overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DirectoryChangesTest, ClosingTheHandleEndsPendingReadsWithoutTouchingTheirBuffers) {
  HANDLE h = OpenFolder();
  std::memset(m_buffer, 0xAB, sizeof(m_buffer));
  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  ASSERT_EQ(OpenDirectoryWatchCount(), 1u);
  EXPECT_TRUE(CloseHandle(h));
  // Completed inside CloseHandle: no records, the cleanup status, the event signalled, and the
  // notifier gone, so nothing can reach the buffer afterwards.
  EXPECT_EQ(WaitForSingleObject(m_event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(m_overlapped.Internal, winsim::kStatusNotifyCleanup);
  EXPECT_EQ(m_overlapped.InternalHigh, 0u);
  EXPECT_EQ(OpenDirectoryWatchCount(), 0u);
  fs::create_directory(In("after-close"));
  EXPECT_EQ(m_buffer[0], 0xAB);

  // A synchronous read blocked in another thread is released by the close.
  HANDLE sync = OpenFolder(L"C:\\watch", 0);
  BOOL ok = TRUE;
  DWORD error = 0, bytes = 99;
  std::thread reader([&] {
    ok = ReadDirectoryChangesW(sync, m_buffer, sizeof(m_buffer), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, &bytes, nullptr,
                               nullptr);
    error = GetLastError();
  });
  while (OpenDirectoryWatchCount() == 0) std::this_thread::yield();
  EXPECT_TRUE(CloseHandle(sync));
  reader.join();
  // The close may also come between the watch's start and the read's queueing: then the read
  // meets a closed handle. Either way the reader is released with nothing read.
  if (ok) {
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOTIFY_CLEANUP));
    EXPECT_EQ(bytes, 0u);
  } else {
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(m_buffer[0], 0xAB);
}

TEST_F(DirectoryChangesTest, ArgumentChecks) {
  std::ofstream(In("plain.txt"));
  HANDLE folder = OpenFolder();
  HANDLE file = CreateFileW(L"C:\\watch\\plain.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  HANDLE noList = OpenFolder(L"C:\\watch", FILE_FLAG_OVERLAPPED, FILE_READ_ATTRIBUTES);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  auto dummyRoutine = [](DWORD, DWORD, LPOVERLAPPED) {};
  struct Case {
    const char* what;
    HANDLE handle;
    size_t bufferOffset;
    BOOL subtree;
    DWORD filter;
    HANDLE event;
    LPOVERLAPPED_COMPLETION_ROUTINE routine;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {"not a handle", reinterpret_cast<HANDLE>(0x7ff0), 0, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, m_event, nullptr,
       ERROR_INVALID_HANDLE},
      {"a file", file, 0, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, m_event, nullptr, ERROR_INVALID_PARAMETER},
      {"without FILE_LIST_DIRECTORY", noList, 0, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, m_event, nullptr,
       ERROR_ACCESS_DENIED},
      {"no filter", folder, 0, FALSE, 0, m_event, nullptr, ERROR_INVALID_PARAMETER},
      {"unknown filter bit", folder, 0, FALSE, 0x200, m_event, nullptr, ERROR_INVALID_PARAMETER},
      {"unaligned buffer", folder, 2, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, m_event, nullptr, ERROR_NOACCESS},
      {"event is not an event", folder, 0, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, folder, nullptr,
       ERROR_INVALID_HANDLE},
      {"subtree (not simulated)", folder, 0, TRUE, FILE_NOTIFY_CHANGE_DIR_NAME, m_event, nullptr,
       ERROR_INVALID_PARAMETER},
      {"completion routine (not simulated)", folder, 0, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, m_event, dummyRoutine,
       ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    OVERLAPPED ov{};
    ov.hEvent = c.event;
    SetLastError(0);
    EXPECT_FALSE(ReadDirectoryChangesW(c.handle, m_buffer + c.bufferOffset, 256, c.subtree, c.filter, nullptr, &ov,
                                       c.routine));
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(OpenDirectoryWatchCount(), 0u) << "no failed call starts watching";
  DWORD bytes = 0;
  OVERLAPPED ov{};
  EXPECT_FALSE(GetOverlappedResult(reinterpret_cast<HANDLE>(0x7ff0), &ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CancelIoEx(reinterpret_cast<HANDLE>(0x7ff0), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // A file's overlapped read completed before its call returned; its result is there at once.
  char data[8];
  OVERLAPPED readOv{};
  ASSERT_TRUE(ReadFile(file, data, sizeof(data), nullptr, &readOv) || GetLastError() == ERROR_HANDLE_EOF);
  EXPECT_FALSE(CancelIoEx(file, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  CloseHandle(noList);
  CloseHandle(file);
  CloseHandle(folder);
}

TEST_F(DirectoryChangesTest, InjectedFaults) {
  HANDLE h = OpenFolder();
  InjectFault("ReadDirectoryChangesW", ERROR_NOT_ENOUGH_MEMORY, 1);
  OVERLAPPED ov{};
  ov.hEvent = m_event;
  EXPECT_FALSE(ReadDirectoryChangesW(h, m_buffer, 256, FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, nullptr, &ov, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(OpenDirectoryWatchCount(), 0u);

  StartRead(h, FILE_NOTIFY_CHANGE_DIR_NAME);
  DWORD bytes = 0;
  InjectFault("GetOverlappedResult", ERROR_INVALID_HANDLE, 1);
  EXPECT_FALSE(GetOverlappedResult(h, &m_overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  InjectFault("CancelIoEx", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(CancelIoEx(h, &m_overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  InjectFault("CancelIo", ERROR_ACCESS_DENIED, 1);
  EXPECT_FALSE(CancelIo(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // The faults left the read pending; it still cancels.
  EXPECT_TRUE(CancelIoEx(h, &m_overlapped));
  EXPECT_FALSE(GetOverlappedResult(h, &m_overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DirectoryChangesTest, ProcessExitsWithAReadStillPending) {
  ASSERT_EQ(OpenDirectoryWatchCount(), 0u) << "a child must not inherit another watch's thread";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    HANDLE h = CreateFileW(L"C:\\watch", FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    static OVERLAPPED ov{};
    alignas(DWORD) static BYTE buffer[256];
    BOOL ok = ReadDirectoryChangesW(h, buffer, sizeof(buffer), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME, nullptr, &ov,
                                    nullptr);
    std::exit(ok ? 7 : 1);  // the handle is never closed
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

}  // namespace
}  // namespace winsim::test
