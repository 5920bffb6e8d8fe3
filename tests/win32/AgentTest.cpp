// The agent's command line against the platform's own CommandLineToArgvW and ShellExecuteW: the
// built Quenlet.exe started with exact command lines through CreateProcessW, on winsim and,
// cross-built, under Wine, gives the same exit codes.
#include <string>
#include <vector>

#include "ProgramRun.h"
#include "Win32Test.h"

namespace torvex::test {
namespace {

class AgentTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    m_agent = BuiltProgramPath(L"Quenlet.exe");
    ASSERT_NE(GetFileAttributesW(m_agent.c_str()), INVALID_FILE_ATTRIBUTES) << "the agent is built";
  }
  static std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

  struct Case {
    std::wstring program;
    std::wstring commandLine;
    DWORD exitCode;
  };
  // Each program file started with exactly its command line, as the service starts the agent,
  // and waited for.
  void Play(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
      std::string shown(c.commandLine.begin(), c.commandLine.end());
      SCOPED_TRACE(shown);
      std::wstring line = c.commandLine;
      STARTUPINFOW startup = {};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION process = {};
      ASSERT_TRUE(CreateProcessW(c.program.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process))
          << GetLastError();
      Handle processHandle(process.hProcess);
      Handle threadHandle(process.hThread);
      ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
      DWORD exitCode = STILL_ACTIVE;
      ASSERT_TRUE(GetExitCodeProcess(process.hProcess, &exitCode));
      EXPECT_EQ(exitCode, c.exitCode);
    }
  }
  std::wstring m_agent;
};

TEST_F(AgentTest, CommandLineTable) {
  const std::wstring agent = Quoted(m_agent);
  const std::wstring missing = NewFolder() + L"\\missing.exe";
  // The agent opens a program through the shell: a copy of itself, which (without arguments, or
  // with the whole parameters text as one unknown word) ends at once.
  const std::wstring self = Quoted(m_agent);
  Play({
      {m_agent, agent, 1},
      {m_agent, agent + L"   ", 1},
      {m_agent, agent + L" -launchtorvexutilityappx", 1},
      {m_agent, agent + L" -LaunchApp " + self, 1},
      {m_agent, agent + L" \"-LauchApp\"x " + self, 1},
      {m_agent, agent + L" -LauchApp", 1},
      {m_agent, agent + L" /LauchApp a b c", 1},
      {m_agent, agent + L" -LauchApp " + self + L" a b", 1},
      {m_agent, agent + L" \" -LauchApp \" " + Quoted(missing), 6},
      {m_agent, agent + L" -LauchApp " + Quoted(missing) + L" \"a b\"", 6},
      {m_agent, agent + L"\t-LauchApp\t" + self, 0},
      {m_agent, agent + L" \"\t/LauchApp\" " + self + L" \"-LaunchTorvexUtilityAppx more\"", 0},
      {m_agent, agent + L" -LauchApp \"  " + m_agent + L"  \" \"\"", 0},
  });
}

TEST_F(AgentTest, EmptyFileNameIsRefusedByTheShell) {
  Play({
      {m_agent, Quoted(m_agent) + L" -LauchApp \"\"", 6},
      {m_agent, Quoted(m_agent) + L" -LauchApp \" \t \" x", 6},
  });
}

// Argument 0 unquoted with a blank in it is split: the command word is then a piece of the path.
TEST_F(AgentTest, ProgramPathWithABlank) {
  const std::wstring copy = NewFolder(L"Torvex Utility") + L"\\Quenlet.exe";
  ASSERT_TRUE(CopyProgram(m_agent, copy));
  Play({
      {copy, copy + L" -LauchApp " + Quoted(m_agent), 1},
      {copy, Quoted(copy) + L" -LauchApp " + Quoted(m_agent), 0},
  });
}

TEST_F(AgentTest, ActivationWithoutThePackage) {
  SKIP_UNDER_WINE("Wine 8 has no FindPackagesByPackageFamily in kernel32: the agent's call would hit a stub");
  Play({
      {m_agent, Quoted(m_agent) + L" -LaunchTorvexUtilityAppx", 4},
      {m_agent, Quoted(m_agent) + L" \" /LaunchTorvexUtilityAppx\" extra", 4},
  });
}

}  // namespace
}  // namespace torvex::test
