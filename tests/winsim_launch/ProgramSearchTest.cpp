// Which program CreateProcessW runs: the application name as given, the command line's first
// token quoted or tried blank by blank (with the well-known C:\Program.exe hijack shown for real),
// ".exe" appended, the search order for a bare name, and the errors of the failures.
#include <unistd.h>

#include <cstdlib>

#include "LaunchTest.h"
#include "core/identity.h"
#include "process/create.h"

namespace winsim::test {
namespace {

class ProgramSearchTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    Plant(L"C:\\Program Files\\Probe Dir\\probe.exe");
    Plant(L"C:\\Tools\\tool.exe");
    Plant(L"C:\\Tools\\noext");
    Plant(L"C:\\Windows\\System32\\sysprobe.exe");
    Plant(L"C:\\Windows\\System32\\shadowed.exe");
    Plant(L"C:\\Windows\\winprobe.exe");
    Plant(L"C:\\Work\\local.exe");
    Plant(L"C:\\Work\\shadowed.exe");
    Plant(L"C:\\PathDir\\onpath.exe");
    Plant(L"C:\\PathDir\\winprobe.exe");
    MakeFolder(L"C:\\Tools\\folder.exe");
    MakeFolder(L"C:\\Out");
    WriteText(L"C:\\Tools\\text.exe", "this is no program\n");
    // The search runs from C:\Work, with C:\PathDir on the PATH.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    m_cwd = cwd;
    ASSERT_EQ(chdir(Linux(L"C:\\Work").c_str()), 0);
    setenv("WINSIM_ENV_PATH", "C:\\Windows\\system32;C:\\Windows;C:\\PathDir", 1);
    RunAsAdministrator();
  }

  void TearDown() override {
    unsetenv("WINSIM_ENV_PATH");
    if (!m_cwd.empty()) {
      EXPECT_EQ(chdir(m_cwd.c_str()), 0);
    }
    RunAsAdministrator();
    LaunchTest::TearDown();
  }

  std::string m_cwd;
};

struct SearchCase {
  const wchar_t* application;  // null: none
  const wchar_t* commandLine;
  const wchar_t* program;      // the program found, or null
  DWORD error;                 // when none is found
};

TEST_F(ProgramSearchTest, TheProgramIsFoundAsWindowsDocuments) {
  const SearchCase cases[] = {
      // The command line's first token.
      {nullptr, L"\"C:\\Program Files\\Probe Dir\\probe.exe\" report x", L"C:\\Program Files\\Probe Dir\\probe.exe", 0},
      {nullptr, L"C:\\Program Files\\Probe Dir\\probe.exe report x", L"C:\\Program Files\\Probe Dir\\probe.exe", 0},
      {nullptr, L"C:\\Program Files\\Probe Dir\\probe report x", L"C:\\Program Files\\Probe Dir\\probe.exe", 0},
      {nullptr, L"\"C:\\Tools\\tool\" -x", L"C:\\Tools\\tool.exe", 0},
      {nullptr, L"c:\\tools\\TOOL.EXE", L"C:\\Tools\\tool.exe", 0},
      {nullptr, L"C:\\Tools\\noext. -x", L"C:\\Tools\\noext", 0},
      {nullptr, L"C:\\Tools\\noext -x", nullptr, ERROR_FILE_NOT_FOUND},
      {nullptr, L"\"C:\\Program Files\\Probe Dir\\probe report\" x", nullptr, ERROR_FILE_NOT_FOUND},
      // A bare name: the current folder, the system folders, the PATH, in that order.
      {nullptr, L"local arg", L"C:\\Work\\local.exe", 0},
      {nullptr, L"sysprobe", L"C:\\Windows\\System32\\sysprobe.exe", 0},
      {nullptr, L"shadowed", L"C:\\Work\\shadowed.exe", 0},
      {nullptr, L"winprobe.exe", L"C:\\Windows\\winprobe.exe", 0},
      {nullptr, L"onpath", L"C:\\PathDir\\onpath.exe", 0},
      {nullptr, L"tool", nullptr, ERROR_FILE_NOT_FOUND},
      {nullptr, L"C:\\Missing\\tool.exe", nullptr, ERROR_FILE_NOT_FOUND},
      {nullptr, L"C:\\Tools\\folder.exe x", nullptr, ERROR_FILE_NOT_FOUND},
      // The application name, used as given.
      {L"C:\\Tools\\tool.exe", L"anything at all", L"C:\\Tools\\tool.exe", 0},
      {L"C:\\Tools\\tool", L"tool", nullptr, ERROR_FILE_NOT_FOUND},
      {L"local.exe", L"x", L"C:\\Work\\local.exe", 0},
      {L"onpath.exe", L"x", nullptr, ERROR_FILE_NOT_FOUND},
      {L"C:\\Missing\\tool.exe", L"x", nullptr, ERROR_PATH_NOT_FOUND},
      {L"C:\\Tools\\folder.exe", L"x", nullptr, ERROR_ACCESS_DENIED},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(Utf8FromWide(c.application ? c.application : L"(none)") + " | " + Utf8FromWide(c.commandLine));
    std::optional<std::wstring> application;
    if (c.application) application = c.application;
    std::wstring program;
    DWORD error = FindProgram(application, c.commandLine, &program);
    if (c.program) {
      ASSERT_EQ(error, 0u);
      EXPECT_TRUE(EqualsNoCase(program, c.program)) << Utf8FromWide(program);
    } else {
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST_F(ProgramSearchTest, AnUnquotedPathWithBlanksRunsCProgramExeWhenOneIsPlanted) {
  // The program splits its own unquoted path into several arguments, so it sees no command word
  // and reports to C:\ProbeReport.txt with exit code 99.
  const std::wstring line = L"C:\\Program Files\\Probe Dir\\probe.exe report C:\\Out\\unquoted.txt";
  DWORD code = 0;
  ASSERT_EQ(Run(nullptr, line, &code), ERROR_SUCCESS);
  EXPECT_EQ(code, 99u);
  auto report = ReadReport(L"C:\\ProbeReport.txt");
  EXPECT_EQ(report["image"], "C:\\Program Files\\Probe Dir\\probe.exe");
  EXPECT_EQ(report["cmdline"], Utf8FromWide(line));

  // Anyone who may write to C:\ plants a program there, and the same command line runs it, with
  // the whole line as its command line.
  Plant(L"C:\\Program.exe");
  ASSERT_EQ(Run(nullptr, line, &code), ERROR_SUCCESS);
  auto hijacked = ReadReport(L"C:\\ProbeReport.txt");
  EXPECT_EQ(hijacked["image"], "C:\\Program.exe");
  EXPECT_EQ(hijacked["cmdline"], Utf8FromWide(line));

  // Quoted, the path means what it says; so does an application name.
  const std::wstring quoted = L"\"C:\\Program Files\\Probe Dir\\probe.exe\" report C:\\Out\\quoted.txt";
  ASSERT_EQ(Run(nullptr, quoted, &code), ERROR_SUCCESS);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(ReadReport(L"C:\\Out\\quoted.txt")["image"], "C:\\Program Files\\Probe Dir\\probe.exe");
  ASSERT_EQ(Run(L"C:\\Program Files\\Probe Dir\\probe.exe", L"probe.exe report C:\\Out\\named.txt", &code),
            ERROR_SUCCESS);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(ReadReport(L"C:\\Out\\named.txt")["image"], "C:\\Program Files\\Probe Dir\\probe.exe");
}

TEST_F(ProgramSearchTest, TheChildGetsTheCommandLineExactlyAsGiven) {
  struct LineCase {
    const wchar_t* application;
    const wchar_t* commandLine;
  } cases[] = {
      {nullptr, L"local report C:\\Out\\a.txt"},
      {nullptr, L"\"C:\\Tools\\tool.exe\"   report   C:\\Out\\a.txt   \"with \\\"quotes\\\"\" "},
      // The application name does not have to appear in the command line.
      {L"C:\\Tools\\tool.exe", L"not-the-program report C:\\Out\\a.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8FromWide(c.commandLine));
    DWORD code = 1;
    std::filesystem::remove(Linux(L"C:\\Out\\a.txt"));
    ASSERT_EQ(Run(c.application, c.commandLine, &code), ERROR_SUCCESS);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadReport(L"C:\\Out\\a.txt")["cmdline"], Utf8FromWide(c.commandLine));
  }
  // Without a command line the application name is the command line.
  DWORD code = 0;
  PROCESS_INFORMATION info;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  ASSERT_TRUE(CreateProcessW(L"C:\\Tools\\tool.exe", nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &info));
  m_processes.push_back(info.hProcess);
  CloseHandle(info.hThread);
  ASSERT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
  EXPECT_EQ(code, 99u);
  EXPECT_EQ(ReadReport(L"C:\\ProbeReport.txt")["cmdline"], "C:\\Tools\\tool.exe");
}

TEST_F(ProgramSearchTest, CreationFailsWithWindowsErrors) {
  struct FailCase {
    const char* name;
    const wchar_t* application;
    std::wstring commandLine;
    const wchar_t* directory;
    DWORD flags;
    DWORD expected;
  } cases[] = {
      {"no such program", nullptr, L"C:\\Tools\\missing.exe", nullptr, 0, ERROR_FILE_NOT_FOUND},
      {"no such folder", L"C:\\Missing\\tool.exe", L"x", nullptr, 0, ERROR_PATH_NOT_FOUND},
      {"a folder", L"C:\\Tools\\folder.exe", L"x", nullptr, 0, ERROR_ACCESS_DENIED},
      {"not a program", nullptr, L"C:\\Tools\\text.exe", nullptr, 0, ERROR_BAD_EXE_FORMAT},
      {"current folder missing", nullptr, L"C:\\Tools\\tool.exe exit 0", L"C:\\Nowhere", 0, ERROR_DIRECTORY},
      {"current folder is a file", nullptr, L"C:\\Tools\\tool.exe exit 0", L"C:\\Tools\\text.exe", 0, ERROR_DIRECTORY},
      {"command line too long", nullptr, L"C:\\Tools\\tool.exe " + std::wstring(32767, L'x'), nullptr, 0,
       ERROR_FILENAME_EXCED_RANGE},
      {"no console and a new one", nullptr, L"C:\\Tools\\tool.exe exit 0", nullptr,
       DETACHED_PROCESS | CREATE_NEW_CONSOLE, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PROCESS_INFORMATION info;
    info.hProcess = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(Start(c.application, c.commandLine, &info, c.flags, nullptr, c.directory), c.expected);
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info;
  EXPECT_FALSE(CreateProcessW(nullptr, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // A command line of 32766 characters (32767 with its terminator) is the longest that runs.
  std::wstring longest = L"C:\\Tools\\tool.exe exit 0 ";
  longest += std::wstring(32766 - longest.size(), L' ');
  DWORD code = 1;
  ASSERT_EQ(Run(nullptr, longest, &code), ERROR_SUCCESS);
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace winsim::test
