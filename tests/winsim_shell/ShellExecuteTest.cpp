// ShellExecuteW: programs found along the documented search path and started in the caller's
// session as the caller, with their parameters and working folder; Windows' failure values.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "ShellTest.h"
#include "core/fault.h"
#include "files/paths_full.h"
#include "process/peimage.h"
#include "shellapi.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

constexpr const wchar_t* kNotepad = L"C:\\Windows\\System32\\notepad.exe";
constexpr const wchar_t* kTool = L"C:\\Tools Dir\\tool.exe";

class ShellExecuteTest : public ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    // A program in a folder with a blank (a copy of the notepad stand-in), a folder, a document, a
    // file that is no program, and a program that may not be run.
    fs::create_directories(MachinePath("drives/c/Tools Dir"));
    fs::copy_file(BinPath("notepad.exe"), MachinePath("drives/c/Tools Dir/tool.exe"));
    fs::create_directories(MachinePath("drives/c/Data"));
    fs::create_directories(MachinePath("drives/c/Docs"));
    std::ofstream(MachinePath("drives/c/Docs/readme.txt")) << "text";
    fs::create_directories(MachinePath("drives/c/Bad"));
    std::ofstream(MachinePath("drives/c/Bad/bad.exe")) << "not a program";
    chmod(MachinePath("drives/c/Bad/bad.exe").c_str(), 0755);
    fs::create_directories(MachinePath("drives/c/NoExec"));
    fs::copy_file(BinPath("notepad.exe"), MachinePath("drives/c/NoExec/noexec.exe"));
    chmod(MachinePath("drives/c/NoExec/noexec.exe").c_str(), 0644);
    // PE images as the machine's installed programs are: one of the notepad stand-in (which runs
    // whatever its Linux mode), and one of a library under a program's name.
    fs::create_directories(MachinePath("drives/c/Images"));
    auto payload = pe::ReadWholeFile(BinPath("notepad.exe"));
    ASSERT_TRUE(payload.has_value());
    WriteBytes(MachinePath("drives/c/Images/wrapped.exe"), pe::Wrap(*payload, {}));
    chmod(MachinePath("drives/c/Images/wrapped.exe").c_str(), 0644);
    pe::WrapOptions dll;
    dll.dll = true;
    WriteBytes(MachinePath("drives/c/Images/library.exe"), pe::Wrap(*payload, dll));
    WinsimOk({"session", "logon", "alice"});
    RunAsUser(L"alice", 1);
  }

  static void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  std::set<int64_t> RunningPids() {
    std::set<int64_t> pids;
    for (auto& p : ListProcesses(true)) pids.insert(p.pid);
    return pids;
  }

  // The one process that appeared since `before`.
  std::optional<ProcessRecord> Started(const std::set<int64_t>& before) {
    std::optional<ProcessRecord> found;
    for (auto& p : ListProcesses(true)) {
      if (!before.count(p.pid)) {
        EXPECT_FALSE(found.has_value()) << "more than one process started";
        found = p;
      }
    }
    return found;
  }

  static void End(int64_t pid) {
    kill(static_cast<pid_t>(pid), SIGKILL);
    waitpid(static_cast<pid_t>(pid), nullptr, 0);
  }
};

struct OpenCase {
  const char* name;
  const wchar_t* verb;
  const wchar_t* file;
  const wchar_t* parameters;
  const wchar_t* directory;
  const wchar_t* image;        // the program that runs
  const wchar_t* commandLine;  // its command line
  const wchar_t* folder;       // its current folder; nullptr: the caller's
};

class OpenTable : public ShellExecuteTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenTable, StartsTheProgramInTheCallersSession) {
  const OpenCase& c = GetParam();
  auto before = RunningPids();
  HINSTANCE result = ShellExecuteW(nullptr, c.verb, c.file, c.parameters, c.directory, SW_SHOWNORMAL);
  EXPECT_GT(reinterpret_cast<INT_PTR>(result), 32);
  auto process = Started(before);
  ASSERT_TRUE(process.has_value()) << "nothing started";
  EXPECT_EQ(process->imagePath, c.image);
  EXPECT_EQ(process->sessionId, 1u);
  EXPECT_EQ(process->userName, L"alice");
  EXPECT_EQ(process->sid, FindUserAccount(L"alice")->sid);
  EXPECT_EQ(RecordedCommandLine("notepad", process->pid), Utf8FromWide(c.commandLine));
  EXPECT_EQ(CurrentFolderOf(process->pid), c.folder ? std::wstring(c.folder) : CurrentDirectoryWindows());
  End(process->pid);
}

INSTANTIATE_TEST_SUITE_P(
    ShellExecuteW, OpenTable,
    ::testing::Values(
        OpenCase{"InTheSystemFolder", L"open", L"notepad.exe", nullptr, nullptr, kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\"", nullptr},
        OpenCase{"WithoutVerb", nullptr, L"notepad.exe", nullptr, nullptr, kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\"", nullptr},
        OpenCase{"VerbInCapitals", L"OPEN", L"notepad.exe", nullptr, nullptr, kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\"", nullptr},
        OpenCase{"WithoutExtension", L"open", L"notepad", nullptr, nullptr, kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\"", nullptr},
        OpenCase{"OtherCase", L"open", L"NOTEPAD.EXE", nullptr, nullptr, kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\"", nullptr},
        OpenCase{"QuotedName", L"open", L"\"notepad.exe\"", nullptr, nullptr, kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\"", nullptr},
        OpenCase{"WithParameters", L"open", L"notepad.exe", L"\"C:\\My Docs\\a b.txt\" /x", nullptr, kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\" \"C:\\My Docs\\a b.txt\" /x", nullptr},
        OpenCase{"EmptyParameters", L"open", L"notepad.exe", L"", nullptr, kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\"", nullptr},
        OpenCase{"WorkingFolder", L"open", L"notepad.exe", nullptr, L"C:\\Data", kNotepad,
                 L"\"C:\\Windows\\System32\\notepad.exe\"", L"C:\\Data"},
        OpenCase{"FullPathWithBlankQuoted", L"open", L"\"C:\\Tools Dir\\tool.exe\"", L"-a", nullptr, kTool,
                 L"\"C:\\Tools Dir\\tool.exe\" -a", nullptr},
        OpenCase{"FullPathWithBlankUnquoted", L"open", L"C:\\Tools Dir\\tool.exe", nullptr, nullptr, kTool,
                 L"\"C:\\Tools Dir\\tool.exe\"", nullptr},
        OpenCase{"NameInTheWorkingFolder", L"open", L"tool.exe", nullptr, L"C:\\Tools Dir", kTool,
                 L"\"C:\\Tools Dir\\tool.exe\"", L"C:\\Tools Dir"},
        OpenCase{"PeImageOfAProgram", L"open", L"C:\\Images\\wrapped.exe", nullptr, nullptr,
                 L"C:\\Images\\wrapped.exe", L"\"C:\\Images\\wrapped.exe\"", nullptr},
        OpenCase{"RelativePathAgainstTheWorkingFolder", L"open", L"..\\Tools Dir\\tool", nullptr, L"C:\\Data", kTool,
                 L"\"C:\\Tools Dir\\tool.exe\"", L"C:\\Data"}),
    [](const ::testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

struct FailCase {
  const char* name;
  const wchar_t* verb;
  const wchar_t* file;
  const wchar_t* directory;
  INT_PTR expected;
  DWORD lastError;
};

class FailTable : public ShellExecuteTest, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FailTable, ReturnsWindowsValue) {
  const FailCase& c = GetParam();
  auto before = RunningPids();
  SetLastError(0);
  HINSTANCE result = ShellExecuteW(nullptr, c.verb, c.file, nullptr, c.directory, SW_SHOWNORMAL);
  EXPECT_EQ(reinterpret_cast<INT_PTR>(result), c.expected);
  EXPECT_EQ(GetLastError(), c.lastError);
  EXPECT_FALSE(Started(before).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    ShellExecuteW, FailTable,
    ::testing::Values(
        FailCase{"NotOnTheSearchPath", L"open", L"wordpad.exe", nullptr, SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
        FailCase{"EmptyName", L"open", L"", nullptr, SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
        FailCase{"NoName", L"open", nullptr, nullptr, SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
        FailCase{"MissingFileInAFolder", L"open", L"C:\\Data\\missing.exe", nullptr, SE_ERR_FNF, ERROR_FILE_NOT_FOUND},
        FailCase{"MissingFolder", L"open", L"C:\\No Such Folder\\x.exe", nullptr, SE_ERR_PNF, ERROR_PATH_NOT_FOUND},
        FailCase{"MissingWorkingFolder", L"open", L"notepad.exe", L"C:\\No Such Folder", SE_ERR_PNF,
                 ERROR_PATH_NOT_FOUND},
        FailCase{"AFolder", L"open", L"C:\\Data", nullptr, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        FailCase{"ADocument", L"open", L"C:\\Docs\\readme.txt", nullptr, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        FailCase{"AVerbThatProgramsLack", L"print", L"notepad.exe", nullptr, SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION},
        FailCase{"NotAProgram", L"open", L"C:\\Bad\\bad.exe", nullptr, ERROR_BAD_FORMAT, ERROR_BAD_FORMAT},
        FailCase{"ALibraryImage", L"open", L"C:\\Images\\library.exe", nullptr, ERROR_BAD_FORMAT, ERROR_BAD_FORMAT},
        FailCase{"NotAllowedToRun", L"open", L"C:\\NoExec\\noexec.exe", nullptr, SE_ERR_ACCESSDENIED,
                 ERROR_ACCESS_DENIED}),
    [](const ::testing::TestParamInfo<FailCase>& info) { return std::string(info.param.name); });

// After the working folder, the Windows folder and the system folder come the folders of the
// caller's PATH, and then the App Paths registration.
TEST_F(ShellExecuteTest, PathVariableAndAppPaths) {
  auto before = RunningPids();
  EXPECT_EQ(reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", L"tool.exe", nullptr, nullptr, SW_SHOW)),
            static_cast<INT_PTR>(SE_ERR_FNF));

  // The caller's Windows environment, as its starter hands it over.
  setenv("WINSIM_ENV_PATH", "C:\\Windows\\system32;\"C:\\Tools Dir\"", 1);
  RunAsUser(L"alice", 1);
  HINSTANCE result = ShellExecuteW(nullptr, L"open", L"tool", nullptr, nullptr, SW_SHOW);
  unsetenv("WINSIM_ENV_PATH");
  RunAsUser(L"alice", 1);
  EXPECT_GT(reinterpret_cast<INT_PTR>(result), 32);
  auto process = Started(before);
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ(process->imagePath, kTool);
  End(process->pid);

  RunAsAdministrator();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\toolbox.exe",
                            0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::wstring path = L"\"C:\\Tools Dir\\tool.exe\"";
  ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                           static_cast<DWORD>((path.size() + 1) * sizeof(WCHAR))),
            ERROR_SUCCESS);
  RegCloseKey(key);
  RunAsUser(L"alice", 1);
  for (const wchar_t* name : {L"toolbox.exe", L"toolbox"}) {
    before = RunningPids();
    EXPECT_GT(reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, nullptr, name, L"x", nullptr, SW_SHOW)), 32) << name;
    process = Started(before);
    ASSERT_TRUE(process.has_value()) << name;
    EXPECT_EQ(process->imagePath, kTool);
    EXPECT_EQ(RecordedCommandLine("notepad", process->pid), "\"C:\\Tools Dir\\tool.exe\" x");
    End(process->pid);
  }
}

// A started program is its own: it keeps running, and a user in another session starts programs
// in that session.
TEST_F(ShellExecuteTest, ProgramsRunInTheSessionOfTheirCaller) {
  WinsimOk({"session", "logon", "bob", "--remote"});
  RunAsUser(L"bob", 2);
  auto before = RunningPids();
  ASSERT_GT(reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", L"notepad.exe", nullptr, nullptr, SW_SHOW)), 32);
  auto process = Started(before);
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ(process->sessionId, 2u);
  EXPECT_EQ(process->userName, L"bob");
  // A logoff of bob ends it with his session.
  WinsimOk({"session", "logoff", "bob"});
  EXPECT_FALSE(FindProcess(process->pid)->running);
}

TEST_F(ShellExecuteTest, FaultInjection) {
  InjectFault("ShellExecuteW", SE_ERR_OOM, 1);
  auto before = RunningPids();
  EXPECT_EQ(reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", L"notepad.exe", nullptr, nullptr, SW_SHOW)),
            static_cast<INT_PTR>(SE_ERR_OOM));
  EXPECT_FALSE(Started(before).has_value());
}

}  // namespace
}  // namespace winsim::test
