// Share modes between two processes of the machine: what an open handle allows others to do with
// the file (open it, delete it, rename it, replace it), in both directions, until the handle
// closes or its process dies; a running program's image; and the file that is verified, then
// started, cannot be swapped in between.
#include <signal.h>

#include "LaunchTest.h"

namespace winsim::test {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

enum class Op { Open, Delete, Rename, Replace };

struct ShareCase {
  const char* name;
  DWORD holderAccess;
  DWORD holderShare;
  Op op;
  DWORD access;  // for Op::Open
  DWORD share;   // for Op::Open
  DWORD expected;
};

const ShareCase kCases[] = {
    {"reader sharing read lets another read", GENERIC_READ, FILE_SHARE_READ, Op::Open, GENERIC_READ, kShareAll, 0},
    {"reader sharing read refuses a writer", GENERIC_READ, FILE_SHARE_READ, Op::Open, GENERIC_WRITE, kShareAll,
     ERROR_SHARING_VIOLATION},
    {"reader sharing read refuses deletion", GENERIC_READ, FILE_SHARE_READ, Op::Delete, 0, 0, ERROR_SHARING_VIOLATION},
    {"reader sharing read refuses a rename", GENERIC_READ, FILE_SHARE_READ, Op::Rename, 0, 0, ERROR_SHARING_VIOLATION},
    {"reader sharing read cannot be replaced", GENERIC_READ, FILE_SHARE_READ, Op::Replace, 0, 0, ERROR_ACCESS_DENIED},
    {"reader sharing deletion lets it be deleted", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, Op::Delete, 0, 0,
     0},
    {"reader sharing deletion lets it be renamed", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, Op::Rename, 0, 0,
     0},
    {"an open file is never replaced, whatever it shares", GENERIC_READ, kShareAll, Op::Replace, 0, 0,
     ERROR_ACCESS_DENIED},
    {"reader sharing writing lets another write", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, Op::Open,
     GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
    {"a writer refuses an open that does not share writing", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
     Op::Open, GENERIC_READ, FILE_SHARE_READ, ERROR_SHARING_VIOLATION},
    {"a writer admits a reader that shares writing", GENERIC_WRITE, FILE_SHARE_READ, Op::Open, GENERIC_READ,
     FILE_SHARE_READ | FILE_SHARE_WRITE, 0},
    {"a reader refuses an open that does not share reading", GENERIC_READ, kShareAll, Op::Open, GENERIC_READ, 0,
     ERROR_SHARING_VIOLATION},
    {"an open for deletion refuses one that does not share deletion", DELETE, kShareAll, Op::Open, GENERIC_READ,
     FILE_SHARE_READ | FILE_SHARE_WRITE, ERROR_SHARING_VIOLATION},
    {"an attributes-only open takes no part in sharing", FILE_READ_ATTRIBUTES, 0, Op::Open, GENERIC_WRITE, 0, 0},
    {"an attributes-only open meets no share mode", GENERIC_READ, 0, Op::Open, FILE_READ_ATTRIBUTES, 0, 0},
    {"exclusive reader refuses everyone who reads", GENERIC_READ, 0, Op::Open, GENERIC_READ, kShareAll,
     ERROR_SHARING_VIOLATION},
};

class ShareModeTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    PlantProbe();
    WriteText(kFile, "original");
    WriteText(kOther, "replacement");
  }

  // The probe's command line for the operation on kFile.
  std::wstring ProbeLine(const ShareCase& c) {
    switch (c.op) {
      case Op::Open:
        return Probe() + L" open " + kFile + L" " + std::to_wstring(c.access) + L" " + std::to_wstring(c.share);
      case Op::Delete: return Probe() + L" delete " + kFile;
      case Op::Rename: return Probe() + L" move " + kFile + L" C:\\Data\\renamed.txt 0";
      case Op::Replace: return Probe() + L" move " + kOther + L" " + kFile + L" 1";
    }
    return std::wstring();
  }

  // The same operation in this process: 0 or its error.
  DWORD Here(const ShareCase& c) {
    switch (c.op) {
      case Op::Open: {
        HANDLE file = CreateFileW(kFile, c.access, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return GetLastError();
        CloseHandle(file);
        return 0;
      }
      case Op::Delete: return DeleteFileW(kFile) ? 0 : GetLastError();
      case Op::Rename: return MoveFileExW(kFile, L"C:\\Data\\renamed.txt", 0) ? 0 : GetLastError();
      case Op::Replace: return MoveFileExW(kOther, kFile, MOVEFILE_REPLACE_EXISTING) ? 0 : GetLastError();
    }
    return 99;
  }

  // A probe that holds kFile open with the access and share mode until it is ended.
  HANDLE HoldInProbe(DWORD access, DWORD share) {
    std::wstring ready = L"C:\\Data\\held." + std::to_wstring(m_holders++);
    PROCESS_INFORMATION info;
    EXPECT_EQ(Start(nullptr, Probe() + L" hold " + kFile + L" " + std::to_wstring(access) + L" " +
                                 std::to_wstring(share) + L" " + ready,
                    &info),
              ERROR_SUCCESS);
    CloseHandle(info.hThread);
    EXPECT_TRUE(AwaitFile(ready));
    return info.hProcess;
  }

  void Restore() {
    WriteText(kFile, "original");
    WriteText(kOther, "replacement");
    std::filesystem::remove(Linux(L"C:\\Data\\renamed.txt"));
  }

  static constexpr const wchar_t* kFile = L"C:\\Data\\file.txt";
  static constexpr const wchar_t* kOther = L"C:\\Data\\other.txt";
  int m_holders = 0;
};

TEST_F(ShareModeTest, AHandleInThisProcessRulesWhatAnotherProcessMayDo) {
  for (const ShareCase& c : kCases) {
    SCOPED_TRACE(c.name);
    HANDLE held = CreateFileW(kFile, c.holderAccess, c.holderShare, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD code = 0;
    ASSERT_EQ(Run(nullptr, ProbeLine(c), &code), ERROR_SUCCESS);
    EXPECT_EQ(code, c.expected);
    CloseHandle(held);
    // Once the handle is closed, nothing stands in the way.
    Restore();
    ASSERT_EQ(Run(nullptr, ProbeLine(c), &code), ERROR_SUCCESS);
    EXPECT_EQ(code, 0u);
    Restore();
  }
}

TEST_F(ShareModeTest, AHandleInAnotherProcessRulesWhatThisProcessMayDo) {
  for (const ShareCase& c : kCases) {
    SCOPED_TRACE(c.name);
    HANDLE holder = HoldInProbe(c.holderAccess, c.holderShare);
    EXPECT_EQ(Here(c), c.expected);
    Restore();
    ASSERT_TRUE(TerminateProcess(holder, 0));
    ASSERT_EQ(WaitForSingleObject(holder, 20000), WAIT_OBJECT_0);
  }
}

TEST_F(ShareModeTest, HandlesOfOneProcessShareByTheSameRules) {
  HANDLE reader = CreateFileW(kFile, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileW(kFile, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileW(kFile));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // A refused CREATE_ALWAYS leaves the file as it was: the check comes before the truncation.
  EXPECT_EQ(CreateFileW(kFile, GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(ReadFile(Linux(kFile)), "original");
  CloseHandle(reader);
  HANDLE writer = CreateFileW(kFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  CloseHandle(writer);
  EXPECT_EQ(ReadFile(Linux(kFile)), "");
}

TEST_F(ShareModeTest, AProcessThatDiesHoldingAFileReleasesIt) {
  HANDLE holder = HoldInProbe(GENERIC_READ | GENERIC_WRITE, 0);
  EXPECT_FALSE(DeleteFileW(kFile));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  // Killed from outside, without closing anything.
  ASSERT_EQ(kill(static_cast<pid_t>(GetProcessId(holder)), SIGKILL), 0);
  ASSERT_EQ(WaitForSingleObject(holder, 20000), WAIT_OBJECT_0);
  HANDLE writer = CreateFileW(kFile, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(writer);
  EXPECT_TRUE(DeleteFileW(kFile)) << GetLastError();
}

TEST_F(ShareModeTest, ARunningProgramsImageCanBeRenamedButNotWrittenDeletedOrReplaced) {
  Plant(L"C:\\Apps\\running.exe");
  PROCESS_INFORMATION info;
  ASSERT_EQ(Start(nullptr, L"C:\\Apps\\running.exe sleep", &info), ERROR_SUCCESS);
  CloseHandle(info.hThread);
  // The image is held from the creation on.
  EXPECT_EQ(CreateFileW(L"C:\\Apps\\running.exe", GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(DeleteFileW(L"C:\\Apps\\running.exe"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(MoveFileExW(kOther, L"C:\\Apps\\running.exe", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE reader = CreateFileW(L"C:\\Apps\\running.exe", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  EXPECT_TRUE(MoveFileExW(L"C:\\Apps\\running.exe", L"C:\\Apps\\renamed.exe", 0)) << GetLastError();
  // Once the program has ended, its image is an ordinary file again.
  ASSERT_TRUE(TerminateProcess(info.hProcess, 0));
  ASSERT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
  EXPECT_TRUE(DeleteFileW(L"C:\\Apps\\renamed.exe")) << GetLastError();
}

// The road of a verified program: held open for reading and denying writing and deletion from
// the verification until the process has been created from it; nobody can swap the file between.
TEST_F(ShareModeTest, AVerifiedProgramHeldOpenCannotBeSwappedBeforeItRuns) {
  const std::wstring agent = L"C:\\Program Files\\Vendor\\agent.exe";
  const std::wstring forged = L"C:\\Users\\Public\\forged.exe";
  Plant(agent);
  Plant(forged);
  HANDLE verified = CreateFileW(agent.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(verified, INVALID_HANDLE_VALUE);

  // Another process tries every way to put its own program in the verified one's place.
  DWORD code = 0;
  ASSERT_EQ(Run(nullptr, Probe() + L" move \"" + forged + L"\" \"" + agent + L"\" 1", &code), ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(Run(nullptr, Probe() + L" delete \"" + agent + L"\"", &code), ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_EQ(Run(nullptr, Probe() + L" move \"" + agent + L"\" C:\\Users\\Public\\moved.exe 0", &code), ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_EQ(Run(nullptr, Probe() + L" open \"" + agent + L"\" " + std::to_wstring(GENERIC_WRITE) + L" 7", &code),
            ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  // Process creation shares reading, so the held file still starts: the verified one.
  PROCESS_INFORMATION info;
  ASSERT_EQ(Start(nullptr, L"\"" + agent + L"\" report C:\\Data\\agent.txt", &info), ERROR_SUCCESS);
  CloseHandle(info.hThread);
  ASSERT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(ReadReport(L"C:\\Data\\agent.txt")["image"], Utf8FromWide(agent));
  CloseHandle(verified);

  // With the handle closed and the program ended, the file is anyone's again.
  ASSERT_EQ(Run(nullptr, Probe() + L" move \"" + forged + L"\" \"" + agent + L"\" 1", &code), ERROR_SUCCESS);
  EXPECT_EQ(code, 0u);
}

// The same for a library: held while it is verified, then loaded; loaded, it stays held as a
// mapped image until it is freed.
TEST_F(ShareModeTest, AVerifiedLibraryHeldOpenIsTheOneLoadedAndStaysHeldWhileLoaded) {
  const std::wstring library = L"C:\\Libs\\verified.dll";
  std::filesystem::create_directories(Linux(L"C:\\Libs"));
  std::filesystem::copy_file(WINSIM_TESTLIB_SO, Linux(library));
  // A writer that only shares reading keeps the loader out.
  HANDLE writer = CreateFileW(library.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(LoadLibraryW(library.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(writer);

  HANDLE verified = CreateFileW(library.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(verified, INVALID_HANDLE_VALUE);
  DWORD code = 0;
  ASSERT_EQ(Run(nullptr, Probe() + L" move " + kOther + L" " + library + L" 1", &code), ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(Run(nullptr, Probe() + L" delete " + library, &code), ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  HMODULE module = LoadLibraryW(library.c_str());
  ASSERT_NE(module, nullptr) << GetLastError();
  CloseHandle(verified);

  // Loaded, the file is a mapped image: not writable, not deletable, not replaceable.
  ASSERT_EQ(Run(nullptr, Probe() + L" open " + library + L" " + std::to_wstring(GENERIC_WRITE) + L" 7", &code),
            ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  ASSERT_EQ(Run(nullptr, Probe() + L" delete " + library, &code), ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(Run(nullptr, Probe() + L" move " + kOther + L" " + library + L" 1", &code), ERROR_SUCCESS);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(FreeLibrary(module));
  ASSERT_EQ(Run(nullptr, Probe() + L" delete " + library, &code), ERROR_SUCCESS);
  EXPECT_EQ(code, 0u);
}

TEST_F(ShareModeTest, AProgramFileOpenForWritingDoesNotStart) {
  Plant(L"C:\\Apps\\tool.exe");
  HANDLE writer = CreateFileW(L"C:\\Apps\\tool.exe", GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  PROCESS_INFORMATION info;
  EXPECT_EQ(Start(nullptr, L"C:\\Apps\\tool.exe exit 0", &info), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  CloseHandle(writer);
  DWORD code = 1;
  EXPECT_EQ(Run(nullptr, L"C:\\Apps\\tool.exe exit 0", &code), ERROR_SUCCESS);
  EXPECT_EQ(code, 0u);
}

TEST_F(ShareModeTest, MoveFileFollowsTheDocumentedRules) {
  MakeFolder(L"C:\\Data\\folder");
  struct MoveCase {
    const wchar_t* from;
    const wchar_t* to;
    DWORD flags;
    DWORD expected;
  } cases[] = {
      {L"C:\\Data\\other.txt", L"C:\\Data\\file.txt", 0, ERROR_ALREADY_EXISTS},
      {L"C:\\Data\\missing.txt", L"C:\\Data\\x.txt", 0, ERROR_FILE_NOT_FOUND},
      {L"C:\\Data\\other.txt", L"C:\\Nowhere\\x.txt", 0, ERROR_PATH_NOT_FOUND},
      {L"C:\\Data\\other.txt", L"C:\\Data\\folder", MOVEFILE_REPLACE_EXISTING, ERROR_ACCESS_DENIED},
      {L"C:\\Data\\other.txt", L"D:\\other.txt", 0, ERROR_NOT_SAME_DEVICE},
      {L"C:\\Data\\other.txt", L"C:\\Data\\x.txt", MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED,
       ERROR_INVALID_PARAMETER},
      {L"C:\\Data\\other.txt", L"C:\\Data\\x.txt", 0x100, ERROR_INVALID_PARAMETER},
  };
  MakeFolder(L"D:\\");
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8FromWide(c.from) + " -> " + Utf8FromWide(c.to));
    EXPECT_FALSE(MoveFileExW(c.from, c.to, c.flags));
    EXPECT_EQ(GetLastError(), c.expected);
  }
  EXPECT_TRUE(MoveFileExW(L"C:\\Data\\other.txt", L"C:\\Data\\file.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(Linux(L"C:\\Data\\file.txt")), "replacement");
  // Another drive with the copy allowed (MoveFileW allows it); a name in other letter case.
  EXPECT_TRUE(MoveFileW(L"C:\\Data\\file.txt", L"D:\\moved.txt")) << GetLastError();
  EXPECT_EQ(ReadFile(Linux(L"D:\\moved.txt")), "replacement");
  EXPECT_FALSE(Exists(L"C:\\Data\\file.txt"));
  EXPECT_TRUE(MoveFileExW(L"D:\\moved.txt", L"D:\\MOVED.TXT", 0)) << GetLastError();
  EXPECT_TRUE(std::filesystem::exists(MachinePath("drives/d/MOVED.TXT")));
}

}  // namespace
}  // namespace winsim::test
