// Files, folders, links, paths and the temporary folder on a fresh machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/strings.h"
#include "shlwapi.h"
#include "windows.h"

namespace winsim::test {
namespace {

class FilesTest : public MachineTest {
 protected:
  void Plant(const std::string& relative, const std::string& content = "data") {
    std::filesystem::create_directories(std::filesystem::path(MachinePath(relative)).parent_path());
    std::ofstream(MachinePath(relative)) << content;
  }
  // Opens and closes, giving the last error of the open (or of the failure).
  DWORD OpenResult(const wchar_t* name, DWORD access, DWORD disposition, DWORD flags = 0) {
    SetLastError(12345);
    HANDLE h = CreateFileW(name, access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
    DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(h));
    } else {
      EXPECT_NE(error, ERROR_SUCCESS);
      return error | 0x80000000u;  // marks a failure
    }
    return error;
  }
  std::wstring FinalPath(HANDLE h, DWORD flags = VOLUME_NAME_DOS) {
    wchar_t buffer[MAX_PATH];
    DWORD n = GetFinalPathNameByHandleW(h, buffer, MAX_PATH, flags);
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, static_cast<DWORD>(MAX_PATH));
    return n > 0 && n < MAX_PATH ? std::wstring(buffer, n) : L"";
  }
};

constexpr DWORD kFailed = 0x80000000u;

TEST_F(FilesTest, CreationDispositionsAndTheirLastErrors) {
  Plant("drives/c/data/existing.txt", "12345");
  struct Case {
    const wchar_t* name;
    DWORD disposition;
    DWORD access;
    DWORD expected;  // last error, with kFailed for a failed open
  };
  std::vector<Case> cases = {
      {L"C:\\data\\existing.txt", CREATE_NEW, GENERIC_WRITE, kFailed | ERROR_FILE_EXISTS},
      {L"C:\\data\\existing.txt", OPEN_EXISTING, GENERIC_READ, ERROR_SUCCESS},
      {L"C:\\data\\existing.txt", OPEN_ALWAYS, GENERIC_READ, ERROR_ALREADY_EXISTS},
      {L"c:\\DATA\\Existing.TXT", OPEN_ALWAYS, GENERIC_READ, ERROR_ALREADY_EXISTS},
      {L"C:\\data\\new1.txt", OPEN_ALWAYS, GENERIC_WRITE, ERROR_SUCCESS},
      {L"C:\\data\\new2.txt", CREATE_NEW, GENERIC_WRITE, ERROR_SUCCESS},
      {L"C:\\data\\new3.txt", CREATE_ALWAYS, GENERIC_WRITE, ERROR_SUCCESS},
      {L"C:\\data\\missing.txt", OPEN_EXISTING, GENERIC_READ, kFailed | ERROR_FILE_NOT_FOUND},
      {L"C:\\data\\missing.txt", TRUNCATE_EXISTING, GENERIC_WRITE, kFailed | ERROR_FILE_NOT_FOUND},
      {L"C:\\nofolder\\x.txt", OPEN_ALWAYS, GENERIC_WRITE, kFailed | ERROR_PATH_NOT_FOUND},
      {L"C:\\nofolder\\x.txt", OPEN_EXISTING, GENERIC_READ, kFailed | ERROR_PATH_NOT_FOUND},
      {L"C:\\data\\existing.txt\\x", OPEN_EXISTING, GENERIC_READ, kFailed | ERROR_PATH_NOT_FOUND},
      {L"C:\\data\\existing.txt", 0, GENERIC_READ, kFailed | ERROR_INVALID_PARAMETER},
      {L"C:\\data\\existing.txt", 6, GENERIC_READ, kFailed | ERROR_INVALID_PARAMETER},
      {L"C:\\data\\existing.txt", TRUNCATE_EXISTING, GENERIC_READ, kFailed | ERROR_INVALID_PARAMETER},
      {L"C:\\data\\a?b", OPEN_ALWAYS, GENERIC_WRITE, kFailed | ERROR_INVALID_NAME},
      {L"", OPEN_EXISTING, GENERIC_READ, kFailed | ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OpenResult(c.name, c.access, c.disposition), c.expected)
        << Utf8FromWide(c.name) << " disposition " << c.disposition;
  }
  // CREATE_ALWAYS over an existing file empties it and says it existed.
  EXPECT_EQ(OpenResult(L"C:\\data\\existing.txt", GENERIC_WRITE, CREATE_ALWAYS), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(std::filesystem::file_size(MachinePath("drives/c/data/existing.txt")), 0u);
  Plant("drives/c/data/t.txt", "abc");
  EXPECT_EQ(OpenResult(L"C:\\data\\t.txt", GENERIC_WRITE, TRUNCATE_EXISTING), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(std::filesystem::file_size(MachinePath("drives/c/data/t.txt")), 0u);
  EXPECT_TRUE(std::filesystem::is_regular_file(MachinePath("drives/c/data/new2.txt")));
}

TEST_F(FilesTest, ReadWriteSeekAndAppend) {
  HANDLE h = CreateFileW(L"C:\\rw.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(n, 11u);
  LARGE_INTEGER size{}, to{}, at{};
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 11);
  to.QuadPart = -5;
  ASSERT_TRUE(SetFilePointerEx(h, to, &at, FILE_END));
  EXPECT_EQ(at.QuadPart, 6);
  char buffer[16] = {};
  ASSERT_TRUE(::ReadFile(h, buffer, sizeof(buffer), &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "world");
  ASSERT_TRUE(::ReadFile(h, buffer, sizeof(buffer), &n, nullptr));  // at the end: success, nothing read
  EXPECT_EQ(n, 0u);
  to.QuadPart = -100;
  EXPECT_FALSE(SetFilePointerEx(h, to, &at, FILE_CURRENT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_FALSE(SetFilePointerEx(h, to, &at, 7));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  to.QuadPart = 0;
  ASSERT_TRUE(SetFilePointerEx(h, to, &at, FILE_BEGIN));
  ASSERT_TRUE(WriteFile(h, "J", 1, &n, nullptr));
  EXPECT_TRUE(FlushFileBuffers(h));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(ReadFile(MachinePath("drives/c/rw.bin")), "Jello world");
  EXPECT_FALSE(CloseHandle(h));  // released once only
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // With only the right to append, every write lands at the end whatever the pointer says.
  HANDLE a = CreateFileW(L"C:\\rw.bin", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  ASSERT_TRUE(SetFilePointerEx(a, to, nullptr, FILE_BEGIN));
  ASSERT_TRUE(WriteFile(a, "!", 1, &n, nullptr));
  EXPECT_FALSE(::ReadFile(a, buffer, 1, &n, nullptr));  // no right to read
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(a);
  EXPECT_EQ(ReadFile(MachinePath("drives/c/rw.bin")), "Jello world!");

  HANDLE r = CreateFileW(L"C:\\rw.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(r, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(WriteFile(r, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(FlushFileBuffers(r));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(r);
  EXPECT_FALSE(WriteFile(reinterpret_cast<HANDLE>(0x7777), "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FilesTest, FoldersCreateRemoveAndOpen) {
  EXPECT_TRUE(CreateDirectoryW(L"C:\\logs", nullptr));
  EXPECT_FALSE(CreateDirectoryW(L"C:\\logs", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryW(L"C:\\a\\b", nullptr));  // only the last level is made
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(L"C:\\logs"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(L"C:\\logs\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_TRUE(PathFileExistsW(L"c:\\LOGS"));

  // A folder opens only with backup semantics.
  EXPECT_EQ(OpenResult(L"C:\\logs", GENERIC_READ, OPEN_EXISTING), kFailed | ERROR_ACCESS_DENIED);
  HANDLE d = CreateFileW(L"C:\\logs", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                         nullptr);
  ASSERT_NE(d, INVALID_HANDLE_VALUE);
  BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(GetFileInformationByHandle(d, &info));
  EXPECT_TRUE(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(FinalPath(d), L"\\\\?\\C:\\logs");
  CloseHandle(d);

  Plant("drives/c/logs/f.txt");
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\logs"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\logs\\f.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(DeleteFileW(L"C:\\logs"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(DeleteFileW(L"C:\\logs\\f.txt"));
  EXPECT_FALSE(DeleteFileW(L"C:\\logs\\f.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileW(L"C:\\gone\\f.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\logs"));
  EXPECT_EQ(GetFileAttributesW(L"C:\\logs"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(L"C:\\logs\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(PathFileExistsW(L"C:\\logs"));
}

TEST_F(FilesTest, LinksAtTheLastComponentAreReparsePoints) {
  namespace fs = std::filesystem;
  Plant("drives/c/real/target.log", "secret");
  fs::create_directory_symlink(MachinePath("drives/c/real"), MachinePath("drives/c/junction"));
  fs::create_symlink(MachinePath("drives/c/real/target.log"), MachinePath("drives/c/real/link.log"));
  fs::create_symlink(MachinePath("drives/c/nowhere"), MachinePath("drives/c/real/dangling.log"));

  EXPECT_EQ(GetFileAttributesW(L"C:\\junction"), static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(L"C:\\real\\link.log"), static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(GetFileAttributesW(L"C:\\real\\dangling.log"), static_cast<DWORD>(FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(GetFileAttributesW(L"C:\\real\\target.log"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

  // Opened as the link itself: the handle reports the reparse point and the link's own path, and
  // nothing reaches the target.
  HANDLE h = CreateFileW(L"C:\\real\\link.log", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  BY_HANDLE_FILE_INFORMATION info{};
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_TRUE(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(FinalPath(h), L"\\\\?\\C:\\real\\link.log");
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  CloseHandle(h);
  EXPECT_EQ(ReadFile(MachinePath("drives/c/real/target.log")), "secret");

  // A dangling link opened as itself is still the link; nothing is created behind it.
  h = CreateFileW(L"C:\\real\\dangling.log", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_TRUE(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  CloseHandle(h);
  EXPECT_FALSE(fs::exists(MachinePath("drives/c/nowhere")));

  // Without the flag the link is followed to its target.
  h = CreateFileW(L"C:\\real\\link.log", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_FALSE(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(info.nFileSizeLow, 6u);
  EXPECT_EQ(info.nNumberOfLinks, 1u);
  EXPECT_EQ(FinalPath(h), L"\\\\?\\C:\\real\\target.log");
  CloseHandle(h);

  // A link earlier in the path is followed, as a junction is, even with the flag; the final path
  // names where the file really is.
  h = CreateFileW(L"C:\\junction\\new.log", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_EQ(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(FinalPath(h), L"\\\\?\\C:\\real\\new.log");
  EXPECT_EQ(FinalPath(h, VOLUME_NAME_NONE), L"\\real\\new.log");
  ASSERT_TRUE(WriteFile(h, "line\r\n", 6, &n, nullptr));
  CloseHandle(h);
  EXPECT_EQ(ReadFile(MachinePath("drives/c/real/new.log")), "line\r\n");

  // Deleting and removing links removes the links, never what they lead to.
  EXPECT_TRUE(DeleteFileW(L"C:\\real\\link.log"));
  EXPECT_TRUE(fs::exists(MachinePath("drives/c/real/target.log")));
  EXPECT_TRUE(RemoveDirectoryW(L"C:\\junction"));
  EXPECT_TRUE(fs::exists(MachinePath("drives/c/real/target.log")));
}

// The file functions reuse what the path look-up learnt about the entry: they must report the
// entry that the name reaches, spelt as asked or not, and write where a case-insensitive name leads.
TEST_F(FilesTest, NamesInAnyCaseReachTheEntryTheyName) {
  namespace fs = std::filesystem;
  fs::create_directories(MachinePath("drives/c/Twin"));
  Plant("drives/c/twin", "file");  // differs from the folder Twin only in case
  Plant("drives/c/Logs/Service.log", "old\r\n");
  fs::create_directory_symlink(MachinePath("drives/c/Logs"), MachinePath("drives/c/LogLink"));

  struct Case {
    const wchar_t* name;
    DWORD attributes;
  };
  const Case cases[] = {
      {L"C:\\Twin", FILE_ATTRIBUTE_DIRECTORY},
      {L"C:\\twin", FILE_ATTRIBUTE_ARCHIVE},
      {L"C:\\logs\\SERVICE.LOG", FILE_ATTRIBUTE_ARCHIVE},
      {L"C:\\LOGLINK", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY},
      {L"C:\\loglink\\service.log", FILE_ATTRIBUTE_ARCHIVE},
      {L"C:\\Logs\\Missing.log", INVALID_FILE_ATTRIBUTES},
      {L"C:\\Logs\\Service.log\\", INVALID_FILE_ATTRIBUTES},  // a file named as a folder
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetFileAttributesW(c.name), c.attributes) << Utf8FromWide(c.name);
  }

  // Appending through names in other cases lands in the one existing file, and a new file goes
  // into the existing folder, not into a new one spelt as asked.
  const wchar_t* names[] = {L"C:\\Logs\\Service.log", L"c:\\LOGS\\service.LOG", L"C:\\loglink\\Service.Log"};
  for (const wchar_t* name : names) {
    HANDLE h = CreateFileW(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << Utf8FromWide(name);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << Utf8FromWide(name);
    EXPECT_EQ(FinalPath(h), L"\\\\?\\C:\\Logs\\Service.log") << Utf8FromWide(name);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "+", 1, &n, nullptr));
    CloseHandle(h);
  }
  EXPECT_EQ(ReadFile(MachinePath("drives/c/Logs/Service.log")), "old\r\n+++");
  HANDLE h = CreateFileW(L"C:\\LOGS\\New.log", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FinalPath(h), L"\\\\?\\C:\\Logs\\New.log");
  CloseHandle(h);
  EXPECT_FALSE(fs::exists(MachinePath("drives/c/LOGS")));
  EXPECT_EQ(OpenResult(L"C:\\logs\\new.LOG", GENERIC_READ, CREATE_NEW), kFailed | ERROR_FILE_EXISTS);
}

// A write-only handle's share reservation is dropped when the handle closes, and a closed
// handle's reservation does not linger in the file's other opens.
TEST_F(FilesTest, WriteOnlyOpensReserveAndReleaseTheirShareModes) {
  HANDLE writer = CreateFileW(L"C:\\held.log", FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenResult(L"C:\\HELD.LOG", GENERIC_READ, OPEN_EXISTING), kFailed | ERROR_SHARING_VIOLATION);
  DWORD n = 0;
  char byte = 0;
  EXPECT_FALSE(::ReadFile(writer, &byte, 1, &n, nullptr));  // the handle's rights, not the descriptor's
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(CloseHandle(writer));
  EXPECT_EQ(OpenResult(L"C:\\held.log", GENERIC_READ, OPEN_EXISTING), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(DeleteFileW(L"C:\\Held.log"));
}

TEST_F(FilesTest, FinalPathSizingAndFlags) {
  HANDLE h = CreateFileW(L"C:\\Users\\Public\\f.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::wstring expected = L"\\\\?\\C:\\Users\\Public\\f.txt";
  wchar_t small[8];
  EXPECT_EQ(GetFinalPathNameByHandleW(h, small, 8, VOLUME_NAME_DOS), static_cast<DWORD>(expected.size() + 1));
  wchar_t exact[64];
  EXPECT_EQ(GetFinalPathNameByHandleW(h, exact, static_cast<DWORD>(expected.size()), 0), expected.size() + 1);
  EXPECT_EQ(GetFinalPathNameByHandleW(h, exact, static_cast<DWORD>(expected.size() + 1), 0), expected.size());
  EXPECT_EQ(std::wstring(exact), expected);
  EXPECT_EQ(FinalPath(h, VOLUME_NAME_NT), L"\\Device\\HarddiskVolume3\\Users\\Public\\f.txt");
  EXPECT_EQ(GetFinalPathNameByHandleW(h, exact, 64, 0x3), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(h);
  EXPECT_EQ(GetFinalPathNameByHandleW(h, exact, 64, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FilesTest, UsersMayNotWriteUnderWindowsOrProgramFilesExceptWindowsTemp) {
  AddUser("alice");
  Plant("drives/c/Windows/System32/drivers/etc/hosts", "127.0.0.1");
  RunAsUser(L"alice");
  struct Case {
    const wchar_t* name;
    DWORD access;
    DWORD disposition;
    DWORD expected;
  };
  std::vector<Case> cases = {
      {L"C:\\Windows\\evil.txt", GENERIC_WRITE, CREATE_NEW, kFailed | ERROR_ACCESS_DENIED},
      {L"C:\\windows\\system32\\drivers\\etc\\hosts", GENERIC_WRITE, OPEN_EXISTING, kFailed | ERROR_ACCESS_DENIED},
      {L"C:\\Windows\\System32\\drivers\\etc\\hosts", FILE_APPEND_DATA, OPEN_ALWAYS, kFailed | ERROR_ACCESS_DENIED},
      {L"C:\\Windows\\System32\\new.txt", GENERIC_READ, OPEN_ALWAYS, kFailed | ERROR_ACCESS_DENIED},
      {L"C:\\Program Files\\app.exe", GENERIC_WRITE, CREATE_ALWAYS, kFailed | ERROR_ACCESS_DENIED},
      {L"C:\\Windows\\Temp\\..\\sneaky.txt", GENERIC_WRITE, CREATE_NEW, kFailed | ERROR_ACCESS_DENIED},
      // Reading is fine, and so is anything inside C:\Windows\Temp.
      {L"C:\\Windows\\System32\\drivers\\etc\\hosts", GENERIC_READ, OPEN_EXISTING, ERROR_SUCCESS},
      {L"C:\\Windows\\Temp\\mine.txt", GENERIC_WRITE, CREATE_NEW, ERROR_SUCCESS},
      {L"C:\\WINDOWS\\TEMP\\mine.txt", FILE_APPEND_DATA, OPEN_ALWAYS, ERROR_ALREADY_EXISTS},
      {L"C:\\Users\\alice\\notes.txt", GENERIC_WRITE, CREATE_NEW, ERROR_SUCCESS},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OpenResult(c.name, c.access, c.disposition), c.expected) << Utf8FromWide(c.name);
  }
  EXPECT_FALSE(CreateDirectoryW(L"C:\\Program Files\\Torvex", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(L"C:\\Windows\\System32\\drivers\\etc\\hosts"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(RemoveDirectoryW(L"C:\\Windows\\Temp"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CreateDirectoryW(L"C:\\Windows\\Temp\\Torvex", nullptr));
  // A link planted in Temp does not open a way into the Windows folder.
  std::filesystem::create_directory_symlink(MachinePath("drives/c/Windows/System32"),
                                            MachinePath("drives/c/Windows/Temp/sys"));
  EXPECT_EQ(OpenResult(L"C:\\Windows\\Temp\\sys\\planted.dll", GENERIC_WRITE, CREATE_NEW), kFailed | ERROR_ACCESS_DENIED);
  EXPECT_FALSE(std::filesystem::exists(MachinePath("drives/c/Windows/System32/planted.dll")));

  RunAsSystem();
  EXPECT_EQ(OpenResult(L"C:\\Windows\\System32\\drivers\\etc\\hosts", GENERIC_WRITE, OPEN_EXISTING),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(CreateDirectoryW(L"C:\\Program Files\\Torvex", nullptr));
}

TEST_F(FilesTest, FullPathNamesAndTheirSizing) {
  std::string saved = std::filesystem::current_path().string();
  std::filesystem::create_directories(MachinePath("drives/c/work/sub"));
  ASSERT_EQ(chdir(MachinePath("drives/c/work").c_str()), 0);
  struct Case {
    const wchar_t* name;
    const wchar_t* full;
    const wchar_t* filePart;  // nullptr: none
  };
  std::vector<Case> cases = {
      {L"file.txt", L"C:\\work\\file.txt", L"file.txt"},
      {L"sub\\..\\.\\x", L"C:\\work\\x", L"x"},
      {L"..\\..\\..\\y", L"C:\\y", L"y"},
      {L"\\root.txt", L"C:\\root.txt", L"root.txt"},
      {L"C:rel", L"C:\\work\\rel", L"rel"},
      {L"D:rel", L"D:\\rel", L"rel"},
      {L"C:/a//b/", L"C:\\a\\b\\", nullptr},
      {L"C:\\a\\name. . ", L"C:\\a\\name", L"name"},
      {L"\\\\server\\share\\dir\\..\\f", L"\\\\server\\share\\f", L"f"},
  };
  for (const auto& c : cases) {
    wchar_t buffer[MAX_PATH];
    LPWSTR part = reinterpret_cast<LPWSTR>(1);
    DWORD n = GetFullPathNameW(c.name, MAX_PATH, buffer, &part);
    EXPECT_EQ(std::wstring(buffer, n), c.full) << Utf8FromWide(c.name);
    if (c.filePart) {
      ASSERT_NE(part, nullptr);
      EXPECT_EQ(std::wstring(part), c.filePart);
    } else {
      EXPECT_EQ(part, nullptr);
    }
  }
  wchar_t small[4];
  EXPECT_EQ(GetFullPathNameW(L"file.txt", 4, small, nullptr), wcslen(L"C:\\work\\file.txt") + 1);
  EXPECT_EQ(GetFullPathNameW(L"file.txt", 0, nullptr, nullptr), wcslen(L"C:\\work\\file.txt") + 1);
  EXPECT_EQ(GetFullPathNameW(L"", MAX_PATH, small, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  // Relative names reach the files through the current directory.
  EXPECT_EQ(OpenResult(L"sub\\rel.txt", GENERIC_WRITE, CREATE_NEW), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(std::filesystem::exists(MachinePath("drives/c/work/sub/rel.txt")));
  ASSERT_EQ(chdir(saved.c_str()), 0);
}

}  // namespace
}  // namespace winsim::test
