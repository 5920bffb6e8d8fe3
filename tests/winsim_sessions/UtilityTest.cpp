// Utility.exe, the companion app's stand-in: a real process in the session it was started in, that
// records its exact command line and runs until a logoff ends its session.
#include "SessionTest.h"
#include "core/paths.h"
#include "sessions/sessions.h"

namespace winsim::test {
namespace {

using UtilityTest = SessionTest;

TEST_F(UtilityTest, RecordsItsExactCommandLineAndRunsInItsSession) {
  ASSERT_EQ(SessionOk({"logon", "alice"}), "1\n");
  auto [index, process] =
      StartUtility({"--user", "alice", "--session", "1"}, {"/NOTSHOWOSD", "two words", "q\"uote", "", "back\\slash"});
  ASSERT_GT(process.pid, 0);

  std::string image = Utf8FromWide(QuoteArgument(WindowsPathOf(BinPath("Utility.exe"))));
  std::string expected = image + " /NOTSHOWOSD \"two words\" \"q\\\"uote\" \"\" back\\slash";
  EXPECT_EQ(RecordedCommandLine(process.pid), expected);
  EXPECT_EQ(process.sessionId, 1u);
  EXPECT_EQ(process.userName, L"alice");
  EXPECT_EQ(process.sid, FindUserAccount(L"alice")->sid);

  // It keeps running: winsim ps lists it in session 1.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto ps = Winsim({"ps"});
  EXPECT_NE(ps.output.find(std::to_string(process.pid) + " "), std::string::npos) << ps.output;
  EXPECT_TRUE(FindProcess(process.pid)->running);

  SessionOk({"logoff", "alice"});
  EXPECT_EQ(Finish(index), static_cast<int>(sessions::kLogoffExitCode & 0xFF));
  EXPECT_EQ(BackgroundOutput(index), "Utility.exe command line: " + expected + "\n");
}

TEST_F(UtilityTest, LogoffEndsTheProcessesOfThatSessionOnly) {
  SessionOk({"logon", "alice"});
  ASSERT_EQ(SessionOk({"logon", "bob", "--remote"}), "2\n");
  // Without --session a signed-in user's program runs in that user's session.
  auto [aliceRun, aliceApp] = StartUtility({"--user", "alice"}, {"a"});
  auto [bobRun, bobApp] = StartUtility({"--user", "bob"}, {"b"});
  auto [otherRun, otherApp] = StartUtility({"--user", "carol", "--session", "3"}, {"c"});
  EXPECT_EQ(aliceApp.sessionId, 1u);
  EXPECT_EQ(bobApp.sessionId, 2u);
  EXPECT_EQ(otherApp.sessionId, 3u);
  EXPECT_EQ(sessions::ProcessesInSession(2), (std::vector<int64_t>{bobApp.pid}));

  SessionOk({"logoff", "bob"});
  // The logoff returns once the session's processes have ended, with the logoff's exit code.
  auto bobRecord = FindProcess(bobApp.pid);
  ASSERT_TRUE(bobRecord.has_value());
  EXPECT_FALSE(bobRecord->running);
  EXPECT_EQ(bobRecord->exitCode, std::optional<uint32_t>(sessions::kLogoffExitCode));
  EXPECT_EQ(Finish(bobRun), static_cast<int>(sessions::kLogoffExitCode & 0xFF));
  EXPECT_TRUE(FindProcess(aliceApp.pid)->running);
  EXPECT_TRUE(FindProcess(otherApp.pid)->running);

  SessionOk({"logoff", "alice"});
  EXPECT_EQ(FindProcess(aliceApp.pid)->exitCode, std::optional<uint32_t>(sessions::kLogoffExitCode));
  EXPECT_EQ(Finish(aliceRun), static_cast<int>(sessions::kLogoffExitCode & 0xFF));
  EXPECT_TRUE(FindProcess(otherApp.pid)->running);
  EXPECT_TRUE(sessions::ProcessesInSession(1).empty());
  (void)otherRun;  // ended in TearDown
}

}  // namespace
}  // namespace winsim::test
