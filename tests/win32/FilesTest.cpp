// File and path calls as the log facility, the watcher and the queries use them: creation
// dispositions and their last errors, appending, folders, attributes, full and final paths, and
// the temporary folder's sizing protocol.
#include "Win32Test.h"

#include <shlwapi.h>

namespace torvex::test {
namespace {

class FilesTest : public Win32Test {
 protected:
  // Opens with the disposition and returns the last error after the call (0 on success with
  // nothing to report), closing what was opened.
  static DWORD OpenWith(const std::wstring& path, DWORD disposition, bool* opened) {
    SetLastError(0xDEAD);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    DWORD error = GetLastError();
    *opened = h != INVALID_HANDLE_VALUE;
    if (*opened) CloseHandle(h);
    return error;
  }
};

TEST_F(FilesTest, CreationDispositionsAndTheirLastErrors) {
  std::wstring folder = NewFolder();
  std::wstring file = folder + L"\\a.txt";
  struct Case {
    DWORD disposition;
    bool exists;
    bool opened;
    DWORD error;
  };
  // Windows sets ERROR_ALREADY_EXISTS when CREATE_ALWAYS or OPEN_ALWAYS find the file, and 0
  // when they create it.
  const Case cases[] = {
      {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND},
      {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND},
      {CREATE_NEW, false, true, 0},
      {CREATE_NEW, true, false, ERROR_FILE_EXISTS},
      {OPEN_EXISTING, true, true, 0},
      {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS},
      {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS},
      {TRUNCATE_EXISTING, true, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.disposition);
    if (!c.exists) DeleteFileW(file.c_str());
    EXPECT_EQ(PathFileExistsW(file.c_str()) != FALSE, c.exists);
    bool opened = false;
    DWORD error = OpenWith(file, c.disposition, &opened);
    EXPECT_EQ(opened, c.opened);
    EXPECT_EQ(error, c.error);
  }
  DeleteFileW(file.c_str());
  bool opened = false;
  EXPECT_EQ(OpenWith(file, OPEN_ALWAYS, &opened), 0u);
  EXPECT_TRUE(opened);
  EXPECT_EQ(OpenWith(folder + L"\\missing\\a.txt", CREATE_ALWAYS, &opened), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(opened);
}

TEST_F(FilesTest, AppendingWritesAtTheEndWhateverThePosition) {
  std::wstring file = NewFolder() + L"\\log.txt";
  ASSERT_TRUE(WriteBytes(file, "first\r\n"));
  for (const char* entry : {"second\r\n", "third\r\n"}) {
    Handle h(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(h.valid()) << GetLastError();
    LARGE_INTEGER start = {};
    EXPECT_TRUE(SetFilePointerEx(h.get(), start, nullptr, FILE_BEGIN));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h.get(), entry, static_cast<DWORD>(strlen(entry)), &written, nullptr));
    EXPECT_EQ(written, strlen(entry));
  }
  EXPECT_EQ(ReadBytes(file), "first\r\nsecond\r\nthird\r\n");
  Handle h(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  LARGE_INTEGER size = {};
  ASSERT_TRUE(GetFileSizeEx(h.get(), &size));
  EXPECT_EQ(size.QuadPart, 22);
}

TEST_F(FilesTest, FoldersAttributesAndNamesThatIgnoreCase) {
  std::wstring folder = NewFolder();
  std::wstring sub = folder + L"\\Packages";
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryW(sub.c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryW((folder + L"\\no\\such").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  DWORD attributes = GetFileAttributesW((folder + L"\\PACKAGES").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(PathFileExistsW((folder + L"\\packages").c_str()));

  ASSERT_TRUE(WriteBytes(sub + L"\\Data.bin", "x"));
  EXPECT_EQ(ReadBytes(sub + L"\\DATA.BIN"), "x");
  EXPECT_FALSE(RemoveDirectoryW(sub.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  ASSERT_TRUE(DeleteFileW((sub + L"\\data.bin").c_str()));
  EXPECT_FALSE(DeleteFileW((sub + L"\\data.bin").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_TRUE(RemoveDirectoryW(sub.c_str()));

  SetLastError(0);
  EXPECT_EQ(GetFileAttributesW(sub.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW((sub + L"\\deeper\\x").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(PathFileExistsW(sub.c_str()));
}

TEST_F(FilesTest, FullAndFinalPathNames) {
  std::wstring folder = NewFolder();
  wchar_t full[MAX_PATH] = {};
  std::wstring dotted = folder + L"\\a\\.\\b\\..\\c.txt";
  DWORD length = GetFullPathNameW(dotted.c_str(), MAX_PATH, full, nullptr);
  EXPECT_EQ(std::wstring(full), folder + L"\\a\\c.txt");
  EXPECT_EQ(length, (folder + L"\\a\\c.txt").size());
  // Too small: the size needed, terminator included.
  wchar_t tiny[4] = {};
  EXPECT_EQ(GetFullPathNameW(dotted.c_str(), ARRAYSIZE(tiny), tiny, nullptr), length + 1);

  std::wstring file = folder + L"\\Final.txt";
  ASSERT_TRUE(WriteBytes(file, "x"));
  Handle h(CreateFileW((folder + L"\\FINAL.TXT").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                       nullptr));
  ASSERT_TRUE(h.valid());
  wchar_t final[MAX_PATH + 8] = {};
  DWORD finalLength = GetFinalPathNameByHandleW(h.get(), final, ARRAYSIZE(final), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  ASSERT_GT(finalLength, 0u);
  std::wstring expected = L"\\\\?\\" + file;
  EXPECT_EQ(CompareStringOrdinal(final, -1, expected.c_str(), -1, TRUE), CSTR_EQUAL)
      << testing::PrintToString(std::wstring(final));
  EXPECT_EQ(finalLength, expected.size());
}

TEST_F(FilesTest, TemporaryFolderAndItsSizing) {
  wchar_t path[MAX_PATH + 1] = {};
  DWORD length = GetTempPathW(ARRAYSIZE(path), path);
  ASSERT_GT(length, 3u);
  EXPECT_EQ(length, wcslen(path));
  EXPECT_EQ(path[length - 1], L'\\');
  EXPECT_EQ(path[1], L':');
  wchar_t small[2] = {L'#', L'#'};
  EXPECT_EQ(GetTempPathW(ARRAYSIZE(small), small), length + 1) << "too small: the size needed with the terminator";
}

}  // namespace
}  // namespace torvex::test
