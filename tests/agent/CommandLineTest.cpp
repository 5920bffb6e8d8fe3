// The agent's command line as the service and anyone trying it meet it: the real Quenlet.exe run
// as the signed-in alice, its exit code, and the log file of its run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AgentRun.h"

namespace winsim::test {
namespace {

const std::string kNotPreloaded =
    "[INFO] Quenlet.exe WinMain The \"R3185527.TorvexUtility_7mvd2kx9qhe3b\" app is NOT preloaded.";

std::string LaunchLine(const std::string& name, const std::string& parameters) {
  return "[INFO] Quenlet.exe WinMain wsAppName: " + name + ", wsAppCmdLine: " + parameters +
         ", wsAppCurrentDir: \"\"";
}

using CommandLineTest = AgentProgramTest;

// The package is not installed for alice, so an accepted activation command ends at once with 4.
TEST_F(CommandLineTest, GrammarTable) {
  const std::string shellFileNotFound = "[ERROR] Quenlet.exe WinMain ShellExecute error: 2";
  struct Case {
    std::vector<std::string> args;
    uint32_t exitCode;
    std::vector<std::string> log;  // empty: no log file at all
  } cases[] = {
      // No command word, or one that is not exactly one of the four.
      {{}, 1, {}},
      {{"-launchtorvexutilityappx"}, 1, {}},
      {{"-LAUNCHTORVEXUTILITYAPPX"}, 1, {}},
      {{"-lauchapp", "notepad.exe"}, 1, {}},
      {{"-LaunchApp", "notepad.exe"}, 1, {}},  // the launch word is spelt without an n
      {{"/LaunchApp", "notepad.exe"}, 1, {}},
      {{"LaunchTorvexUtilityAppx"}, 1, {}},
      {{"--LaunchTorvexUtilityAppx"}, 1, {}},
      {{"-LaunchTorvexUtilityAppxx"}, 1, {}},
      {{"- LauchApp", "notepad.exe"}, 1, {}},
      {{"\"-LauchApp\"", "notepad.exe"}, 1, {}},  // an escaped quote stays in the word
      {{""}, 1, {}},
      {{"   "}, 1, {}},
      // Both spellings, quoted and padded with any of the six whitespace characters.
      {{"-LaunchTorvexUtilityAppx"}, 4, {kNotPreloaded}},
      {{"/LaunchTorvexUtilityAppx"}, 4, {kNotPreloaded}},
      {{" -LaunchTorvexUtilityAppx "}, 4, {kNotPreloaded}},
      {{"\t/LaunchTorvexUtilityAppx\t"}, 4, {kNotPreloaded}},
      {{"\v\f-LaunchTorvexUtilityAppx\r\n"}, 4, {kNotPreloaded}},
      // Further arguments of the activation command are ignored.
      {{"-LaunchTorvexUtilityAppx", "extra", "more words", ""}, 4, {kNotPreloaded}},
      // The launch command takes a file and at most one parameters operand.
      {{"-LauchApp"}, 1, {}},
      {{"/LauchApp"}, 1, {}},
      {{"-LauchApp", "notepad.exe", "a", "b"}, 1, {}},
      {{"-LauchApp", "a", "b", "c", "d"}, 1, {}},
      {{" -LauchApp ", "C:\\missing.exe"}, 6, {LaunchLine("\"C:\\missing.exe\"", "\"\""), shellFileNotFound}},
      {{"\t/LauchApp\n", "missing.exe", " x "}, 6, {LaunchLine("\"missing.exe\"", "\"x\""), shellFileNotFound}},
      // The shell's own value is logged: SE_ERR_PNF for a missing folder on this machine (Wine's
      // shell answers SE_ERR_FNF there; Windows documents both values without saying which).
      {{"-LauchApp", "C:\\No Such Folder\\app.exe"},
       6,
       {LaunchLine("\"C:\\No Such Folder\\app.exe\"", "\"\""), "[ERROR] Quenlet.exe WinMain ShellExecute error: 3"}},
      // An empty or blank file name: logged as "", refused by the shell.
      {{"-LauchApp", ""}, 6, {LaunchLine("\"\"", "\"\""), shellFileNotFound}},
      {{"-LauchApp", " \t "}, 6, {LaunchLine("\"\"", "\"\""), shellFileNotFound}},
      {{"-LauchApp", "", "parameters"}, 6, {LaunchLine("\"\"", "\"parameters\""), shellFileNotFound}},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    SCOPED_TRACE(shown);
    AgentRun run = Agent(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.errors;
    EXPECT_EQ(run.status, static_cast<int>(c.exitCode & 0xFF));
    EXPECT_EQ(run.Messages(), c.log);
    if (c.log.empty()) {
      EXPECT_TRUE(run.logFiles.empty()) << "a run ending with 1 writes no log at all";
    } else {
      ASSERT_EQ(run.logFiles.size(), 1u);
      EXPECT_TRUE(IsRunLogName(run.logFiles[0])) << run.logFiles[0];
    }
  }
}

// The launch line ends without a line feed, so the shell's error runs on on the same line.
TEST_F(CommandLineTest, LaunchLineAndErrorShareALineOfTheFile) {
  AgentRun run = Agent({"-LauchApp", "missing.exe", "-x \"y\""});
  EXPECT_EQ(run.exitCode, 6u);
  ASSERT_EQ(run.logFiles.size(), 1u);
  std::string text = ReadFile(LogFolder() + "/" + run.logFiles[0]);
  std::regex expected(
      R"(\[[0-9 :.-]{23}\] \[INFO\] Quenlet\.exe WinMain wsAppName: "missing\.exe", wsAppCmdLine: "-x "y"", )"
      R"(wsAppCurrentDir: ""\[[0-9 :.-]{23}\] \[ERROR\] Quenlet\.exe WinMain ShellExecute error: 2)");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(CommandLineTest, LaunchOpensTheProgramInTheUsersSession) {
  // A second program with blanks in its folder, found by its full path.
  std::filesystem::create_directories(MachinePath("drives/c/Program Files/Torvex Tools"));
  std::filesystem::copy_file(MachinePath("drives/c/Windows/System32/notepad.exe"),
                             MachinePath("drives/c/Program Files/Torvex Tools/notepad.exe"));
  struct Case {
    std::vector<std::string> args;
    std::string logLine;
    std::string program;      // the Windows path of the program started
    std::string commandLine;  // what it received
  } cases[] = {
      {{"-LauchApp", "notepad.exe"}, LaunchLine("\"notepad.exe\"", "\"\""), "C:\\Windows\\System32\\notepad.exe",
       "\"C:\\Windows\\System32\\notepad.exe\""},
      // Trimmed operands; the parameters with blanks reach the program as one quoted argument.
      {{"/LauchApp", " notepad.exe\t", "  my notes.txt  "}, LaunchLine("\"notepad.exe\"", "\"my notes.txt\""),
       "C:\\Windows\\System32\\notepad.exe", "\"C:\\Windows\\System32\\notepad.exe\" \"my notes.txt\""},
      // The file with blanks is quoted again after the split.
      {{"-LauchApp", "C:\\Program Files\\Torvex Tools\\notepad.exe", "/p"},
       LaunchLine("\"C:\\Program Files\\Torvex Tools\\notepad.exe\"", "\"/p\""),
       "C:\\Program Files\\Torvex Tools\\notepad.exe", "\"C:\\Program Files\\Torvex Tools\\notepad.exe\" \"/p\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.commandLine);
    AgentRun run = Agent(c.args);
    EXPECT_EQ(run.exitCode, 0u) << run.errors;
    EXPECT_EQ(run.Messages(), std::vector<std::string>{c.logLine});
    // The agent has ended without waiting for the program, which runs on as alice in her session.
    std::vector<ProcessRecord> started;
    ASSERT_TRUE(WaitUntil([&] {
      started = Running(L"notepad.exe");
      return started.size() == 1;
    }));
    EXPECT_EQ(Utf8FromWide(started[0].imagePath), c.program);
    EXPECT_EQ(started[0].userName, L"alice");
    EXPECT_EQ(started[0].sessionId, 1u);
    EXPECT_EQ(RecordedCommandLine("notepad", started[0].pid), c.commandLine);
    ASSERT_TRUE(EndProcess(started[0].pid));
  }
}

// The command line that the service builds, with the agent installed under a folder with a blank:
// quoted, the path stays argument 0; unquoted, it is split and the command word is a piece of it.
TEST_F(CommandLineTest, ProgramPathWithBlanks) {
  const std::wstring agent = L"C:\\Program Files\\Torvex Utility\\Quenlet.exe";
  InstallCopy(agent);
  AgentRun quoted = AgentWithCommandLine(agent, L"\"" + agent + L"\" -LaunchTorvexUtilityAppx");
  EXPECT_EQ(quoted.exitCode, 4u);
  EXPECT_EQ(quoted.Messages(), std::vector<std::string>{kNotPreloaded});

  AgentRun unquoted = AgentWithCommandLine(agent, agent + L" -LaunchTorvexUtilityAppx");
  EXPECT_EQ(unquoted.exitCode, 1u);
  EXPECT_TRUE(unquoted.logFiles.empty());
  AgentRun launch = AgentWithCommandLine(agent, agent + L" -LauchApp notepad.exe");
  EXPECT_EQ(launch.exitCode, 1u);
  EXPECT_TRUE(launch.logFiles.empty());
  EXPECT_TRUE(Running(L"notepad.exe").empty());

  // The launch command line as the service builds it.
  AgentRun service = AgentWithCommandLine(agent, L"\"" + agent + L"\" -LauchApp notepad.exe");
  EXPECT_EQ(service.exitCode, 0u);
  EXPECT_EQ(service.Messages(), std::vector<std::string>{LaunchLine("\"notepad.exe\"", "\"\"")});
}

TEST_F(CommandLineTest, NoCommandLineAndFailedSplitEndWithTwoAndThree) {
  AgentRun none = Agent({"-LaunchTorvexUtilityAppx"}, "alice", {{"WINSIM_FAULTS", "GetCommandLineW=87"}});
  EXPECT_EQ(none.exitCode, 2u);
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.Messages(),
            std::vector<std::string>{"[ERROR] Quenlet.exe WinMain GetCommandLine() return fail! error: 87"});

  AgentRun split = Agent({"-LaunchTorvexUtilityAppx"}, "alice", {{"WINSIM_FAULTS", "CommandLineToArgvW=8"}});
  EXPECT_EQ(split.exitCode, 3u);
  EXPECT_EQ(split.Messages(),
            std::vector<std::string>{"[ERROR] Quenlet.exe WinMain CommandLineToArgvW() return fail! error: 8"});
}

TEST_F(CommandLineTest, EveryRunLogsIntoAFileOfItsOwnOrTheBareNameWithoutAGuid) {
  AgentRun first = Agent({"-LaunchTorvexUtilityAppx"});
  AgentRun second = Agent({"-LaunchTorvexUtilityAppx"});
  ASSERT_EQ(first.logFiles.size(), 1u);
  ASSERT_EQ(second.logFiles.size(), 1u);
  EXPECT_NE(first.logFiles[0], second.logFiles[0]);

  // Without a GUID text every run appends to Quenlet.log.
  for (const char* fault : {"CoCreateGuid=0x80004005", "UuidToStringW=14"}) {
    SCOPED_TRACE(fault);
    AgentRun run = Agent({"-LaunchTorvexUtilityAppx"}, "alice", {{"WINSIM_FAULTS", fault}});
    EXPECT_EQ(run.exitCode, 4u);
  }
  auto bare = ParseLog(ReadFile(LogFolder() + "/Quenlet.log"));
  EXPECT_EQ(MessagesOf(bare), (std::vector<std::string>{kNotPreloaded, kNotPreloaded}));
  EXPECT_EQ(LogFileNames().size(), 3u);
}

TEST_F(CommandLineTest, LogGoesToTheDriveOfTheUsersTemporaryFolder) {
  AddUser("dana", "D");
  // The log folder's parent must exist; nothing creates more than the last level.
  AgentRun lost = Agent({"-LaunchTorvexUtilityAppx"}, "dana", {}, "d");
  EXPECT_EQ(lost.exitCode, 4u);
  EXPECT_FALSE(std::filesystem::exists(LogFolder("d")));

  std::filesystem::create_directories(MachinePath("drives/d/Windows/Temp"));
  AgentRun kept = Agent({"-LaunchTorvexUtilityAppx"}, "dana", {}, "d");
  EXPECT_EQ(kept.exitCode, 4u);
  ASSERT_EQ(kept.logFiles.size(), 1u);
  EXPECT_TRUE(IsRunLogName(kept.logFiles[0]));
  EXPECT_EQ(kept.Messages(), std::vector<std::string>{kNotPreloaded});
  EXPECT_TRUE(LogFileNames("c").empty()) << "nothing on drive C";
}

// A user cannot write the default level: with no level configured the agent logs nothing.
TEST_F(CommandLineTest, NoConfiguredLevelNoLog) {
  WinsimOk({"reg", "delete", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs", "/v", "Level", "/f"});
  AgentRun run = Agent({"-LauchApp", "missing.exe"});
  EXPECT_EQ(run.exitCode, 6u);
  EXPECT_TRUE(run.logFiles.empty());
}

}  // namespace
}  // namespace winsim::test
