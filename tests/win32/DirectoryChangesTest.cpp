// Directory change notification as the package folder watcher uses it: overlapped reads of folder
// name changes directly in one folder, their records, and cancellation.
#include "Win32Test.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "common/Portability.h"
#include "monitor/DirectoryWatcher.h"

namespace torvex::test {
namespace {

struct Record {
  DWORD action;
  std::wstring name;
  bool operator==(const Record& other) const { return action == other.action && name == other.name; }
};

void PrintTo(const Record& r, std::ostream* os) { *os << r.action << ":" << testing::PrintToString(r.name); }

class DirectoryChangesTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    m_folder = NewFolder(L"Packages");
    m_directory = CreateFileW(m_folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(m_directory, INVALID_HANDLE_VALUE) << GetLastError();
    m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (m_directory != INVALID_HANDLE_VALUE) CloseHandle(m_directory);
    if (m_event) CloseHandle(m_event);
    Win32Test::TearDown();
  }
  bool Issue() {
    std::memset(&m_overlapped, 0, sizeof(m_overlapped));
    m_overlapped.hEvent = m_event;
    BOOL ok = ReadDirectoryChangesW(m_directory, m_buffer, sizeof(m_buffer), FALSE, FILE_NOTIFY_CHANGE_DIR_NAME,
                                    nullptr, &m_overlapped, nullptr);
    return ok || GetLastError() == ERROR_IO_PENDING;
  }
  // Reads until `count` records have arrived or the time is up.
  std::vector<Record> Collect(size_t count, DWORD timeoutMs = 5000) {
    std::vector<Record> records;
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (records.size() < count && GetTickCount64() < end) {
      if (!Issue()) break;
      if (WaitForSingleObject(m_event, static_cast<DWORD>(end - GetTickCount64())) != WAIT_OBJECT_0) {
        CancelIoEx(m_directory, &m_overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(m_directory, &m_overlapped, &ignored, TRUE);
        break;
      }
      DWORD bytes = 0;
      if (!GetOverlappedResult(m_directory, &m_overlapped, &bytes, FALSE)) break;
      for (size_t offset = 0; bytes > 0;) {
        DWORD next = 0, action = 0, nameBytes = 0;
        std::memcpy(&next, m_buffer + offset, 4);
        std::memcpy(&action, m_buffer + offset + 4, 4);
        std::memcpy(&nameBytes, m_buffer + offset + 8, 4);
        records.push_back({action, WideFromUtf16Units(reinterpret_cast<const UTF16_UNIT*>(m_buffer + offset + 12),
                                                       nameBytes / sizeof(UTF16_UNIT))});
        if (next == 0) break;
        offset += next;
      }
    }
    return records;
  }

  std::wstring m_folder;
  HANDLE m_directory = INVALID_HANDLE_VALUE;
  HANDLE m_event = nullptr;
  OVERLAPPED m_overlapped = {};
  alignas(DWORD) BYTE m_buffer[4096] = {};
};

TEST_F(DirectoryChangesTest, FolderCreationAndRemovalAreReportedByName) {
  std::wstring name = L"R3185527.TorvexUtility_7mvd2kx9qhe3b";
  ASSERT_TRUE(Issue());
  ASSERT_TRUE(CreateDirectoryW((m_folder + L"\\" + name).c_str(), nullptr));
  // A file is no folder name change, and changes inside a subfolder are not watched.
  ASSERT_TRUE(WriteBytes(m_folder + L"\\file.txt", "x"));
  ASSERT_TRUE(CreateDirectoryW((m_folder + L"\\" + name + L"\\Inner").c_str(), nullptr));
  ASSERT_TRUE(RemoveDirectoryW((m_folder + L"\\" + name + L"\\Inner").c_str()));
  ASSERT_TRUE(RemoveDirectoryW((m_folder + L"\\" + name).c_str()));
  ASSERT_EQ(WaitForSingleObject(m_event, 5000), WAIT_OBJECT_0);
  // The first read was issued before the changes; take its records, then any that follow.
  std::vector<Record> records;
  DWORD bytes = 0;
  ASSERT_TRUE(GetOverlappedResult(m_directory, &m_overlapped, &bytes, FALSE));
  ASSERT_GT(bytes, 0u);
  for (size_t offset = 0;;) {
    DWORD next = 0, action = 0, nameBytes = 0;
    std::memcpy(&next, m_buffer + offset, 4);
    std::memcpy(&action, m_buffer + offset + 4, 4);
    std::memcpy(&nameBytes, m_buffer + offset + 8, 4);
    EXPECT_EQ(next % 4, 0u) << "records are DWORD-aligned";
    records.push_back({action, WideFromUtf16Units(reinterpret_cast<const UTF16_UNIT*>(m_buffer + offset + 12),
                                                   nameBytes / sizeof(UTF16_UNIT))});
    if (next == 0) break;
    offset += next;
  }
  if (records.size() < 2) {
    auto more = Collect(2 - records.size());
    records.insert(records.end(), more.begin(), more.end());
  }
  EXPECT_EQ(records, (std::vector<Record>{{FILE_ACTION_ADDED, name}, {FILE_ACTION_REMOVED, name}}));
}

TEST_F(DirectoryChangesTest, CancelledReadCompletesAsAborted) {
  ASSERT_TRUE(Issue());
  EXPECT_EQ(WaitForSingleObject(m_event, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(CancelIoEx(m_directory, &m_overlapped));
  DWORD bytes = 77;
  EXPECT_FALSE(GetOverlappedResult(m_directory, &m_overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(bytes, 0u);
  // Nothing left to cancel.
  EXPECT_FALSE(CancelIoEx(m_directory, &m_overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
}

class DirectoryWatcherTest : public Win32Test {};

TEST_F(DirectoryWatcherTest, NotifiesForTheExactFolderNameOnly) {
  std::wstring folder = NewFolder(L"Packages");
  std::atomic<int> notified{0};
  {
    DirectoryWatcher watcher(folder, L"R3185527.TorvexUtility_7mvd2kx9qhe3b", [&](std::wstring) { ++notified; });
    // Let the watching thread issue its first read.
    Sleep(200);
    // Names are case-insensitive, so the name in other case goes before the exact one comes.
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\r3185527.torvexutility_7mvd2kx9qhe3b").c_str(), nullptr));
    ASSERT_TRUE(RemoveDirectoryW((folder + L"\\r3185527.torvexutility_7mvd2kx9qhe3b").c_str()));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\R3185527.TorvexUtility_7mvd2kx9qhe3").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\R3185527.TorvexUtility_7mvd2kx9qhe3b").c_str(), nullptr));
    EXPECT_TRUE(WaitUntil([&] { return notified.load() == 1; }));
    ASSERT_TRUE(RemoveDirectoryW((folder + L"\\R3185527.TorvexUtility_7mvd2kx9qhe3b").c_str()));
    EXPECT_TRUE(WaitUntil([&] { return notified.load() == 2; }));
    EXPECT_TRUE(watcher.UnWatch());
    EXPECT_TRUE(watcher.UnWatch()) << "a second stop returns at once";
  }
  Sleep(100);
  EXPECT_EQ(notified.load(), 2);
}

TEST_F(DirectoryWatcherTest, MissingFolderEndsTheThreadAndStopsCleanly) {
  std::wstring folder = NewFolder() + L"\\NoSuchFolder";
  std::atomic<int> notified{0};
  DirectoryWatcher watcher(folder, L"x", [&](std::wstring) { ++notified; });
  Sleep(100);
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((folder + L"\\x").c_str(), nullptr));
  Sleep(200);
  EXPECT_TRUE(watcher.UnWatch());
  EXPECT_EQ(notified.load(), 0);
}

}  // namespace
}  // namespace torvex::test
