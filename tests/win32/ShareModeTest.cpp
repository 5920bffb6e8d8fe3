// Share modes between two handles of one process, as a verified file relies on them: what an open
// handle lets a second open, a deletion, a rename or a replacement do, until it is closed; and the
// rules MoveFileExW documents for existing and missing names.
#include "Win32Test.h"

namespace torvex::test {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class ShareModeTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    m_folder = NewFolder();
    m_file = m_folder + L"\\file.txt";
    m_other = m_folder + L"\\other.txt";
    ASSERT_TRUE(WriteBytes(m_file, "original"));
    ASSERT_TRUE(WriteBytes(m_other, "replacement"));
  }

  // 0 when the second open succeeds, else its error.
  DWORD Open(DWORD access, DWORD share) {
    HANDLE h = CreateFileW(m_file.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(h);
    return 0;
  }

  std::wstring m_folder, m_file, m_other;
};

TEST_F(ShareModeTest, ASecondOpenMeetsTheShareModeOfTheFirst) {
  struct Case {
    DWORD heldAccess, heldShare, access, share, expected;
  };
  const Case cases[] = {
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, kShareAll, 0},
      {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareAll, ERROR_SHARING_VIOLATION},
      {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
      {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, GENERIC_READ, FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
      {GENERIC_WRITE, FILE_SHARE_READ, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
      {GENERIC_READ, kShareAll, GENERIC_READ, 0, ERROR_SHARING_VIOLATION},
      {GENERIC_READ, 0, GENERIC_READ, kShareAll, ERROR_SHARING_VIOLATION},
      {DELETE, kShareAll, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_SHARING_VIOLATION},
      // An open that denies only reading: a writer that shares writing passes, a reader does not.
      {GENERIC_WRITE, FILE_SHARE_WRITE | FILE_SHARE_DELETE, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
      {GENERIC_WRITE, FILE_SHARE_WRITE | FILE_SHARE_DELETE, GENERIC_READ, kShareAll, ERROR_SHARING_VIOLATION},
      {FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
      {FILE_APPEND_DATA, FILE_SHARE_READ, FILE_APPEND_DATA, kShareAll, ERROR_SHARING_VIOLATION},
      {FILE_READ_ATTRIBUTES, 0, GENERIC_WRITE, 0, 0},
      {GENERIC_READ, 0, FILE_READ_ATTRIBUTES, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.heldAccess) + "/" + std::to_string(c.heldShare) + " then " +
                 std::to_string(c.access) + "/" + std::to_string(c.share));
    Handle held(CreateFileW(m_file.c_str(), c.heldAccess, c.heldShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    ASSERT_TRUE(held.valid()) << GetLastError();
    EXPECT_EQ(Open(c.access, c.share), c.expected);
  }
}

TEST_F(ShareModeTest, AFileHeldWithoutSharingDeletionCannotBeDeletedRenamedOrReplaced) {
  std::wstring renamed = m_folder + L"\\renamed.txt";
  {
    Handle held(CreateFileW(m_file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    EXPECT_FALSE(DeleteFileW(m_file.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileExW(m_file.c_str(), renamed.c_str(), 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileExW(m_other.c_str(), m_file.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ReadBytes(m_file), "original");
  }
  // Closed, the file is anyone's again.
  EXPECT_TRUE(MoveFileExW(m_other.c_str(), m_file.c_str(), MOVEFILE_REPLACE_EXISTING)) << GetLastError();
  EXPECT_EQ(ReadBytes(m_file), "replacement");
  EXPECT_TRUE(MoveFileExW(m_file.c_str(), renamed.c_str(), 0)) << GetLastError();
  EXPECT_TRUE(DeleteFileW(renamed.c_str())) << GetLastError();
}

TEST_F(ShareModeTest, AFileHeldSharingDeletionCanBeRenamedAndDeletedButNotReplaced) {
  Handle held(CreateFileW(m_file.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr));
  ASSERT_TRUE(held.valid());
  EXPECT_FALSE(MoveFileExW(m_other.c_str(), m_file.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  std::wstring renamed = m_folder + L"\\renamed.txt";
  EXPECT_TRUE(MoveFileExW(m_file.c_str(), renamed.c_str(), 0)) << GetLastError();
  EXPECT_TRUE(DeleteFileW(renamed.c_str())) << GetLastError();
}

TEST_F(ShareModeTest, MoveFileExWRefusesAnExistingNameUnlessAskedToReplaceIt) {
  EXPECT_FALSE(MoveFileExW(m_other.c_str(), m_file.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(MoveFileW(m_other.c_str(), m_file.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  std::wstring missing = m_folder + L"\\missing.txt";
  EXPECT_FALSE(MoveFileExW(missing.c_str(), (m_folder + L"\\x.txt").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(MoveFileExW(m_other.c_str(), (m_folder + L"\\no\\x.txt").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_FALSE(MoveFileExW(m_other.c_str(), m_folder.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(MoveFileW(m_other.c_str(), (m_folder + L"\\moved.txt").c_str())) << GetLastError();
  EXPECT_EQ(ReadBytes(m_folder + L"\\moved.txt"), "replacement");
}

}  // namespace
}  // namespace torvex::test
