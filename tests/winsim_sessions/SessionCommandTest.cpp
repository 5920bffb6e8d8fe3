// The machine's sessions as `winsim session` changes and shows them.
#include "SessionTest.h"
#include "core/machine.h"
#include "sessions/sessions.h"

namespace winsim::test {
namespace {

const char* kHeader = "ID   TYPE      USER                 LOCKED\n";

std::string Row(unsigned id, const std::string& type, const std::string& user, bool locked) {
  char line[128];
  std::snprintf(line, sizeof(line), "%-4u %-9s %-20s %s\n", id, type.c_str(), user.c_str(), locked ? "yes" : "no");
  return line;
}

using SessionCommandTest = SessionTest;

TEST_F(SessionCommandTest, FreshMachineHasTheServicesSessionAndAConsoleWithNobodySignedIn) {
  EXPECT_EQ(SessionOk({"list"}), kHeader + Row(0, "services", "-", false) + Row(1, "console", "-", false));
  EXPECT_EQ(SessionOk({"console"}), "1\n");
  // Running init again keeps the sessions as they are, a detached console included.
  SessionOk({"logon", "alice"});
  SessionOk({"logon", "bob", "--remote"});
  InitMachine(Machine());
  EXPECT_EQ(SessionOk({"list"}), kHeader + Row(0, "services", "-", false) + Row(1, "console", "alice", false) +
                                     Row(2, "remote", "bob", false));
  SessionOk({"logoff", "alice"});
  SessionOk({"console", "detach"});
  InitMachine(Machine());
  EXPECT_EQ(SessionOk({"console"}), "none\n");
}

TEST_F(SessionCommandTest, LogonTakesTheConsoleOrTheLowestFreeRemoteSession) {
  EXPECT_EQ(SessionOk({"logon", "Alice"}), "1\n");  // names are case-insensitive
  EXPECT_EQ(SessionOk({"logon", "bob", "--remote"}), "2\n");
  EXPECT_EQ(SessionOk({"logon", "--remote", "carol"}), "3\n");
  EXPECT_EQ(SessionOk({"list"}), kHeader + Row(0, "services", "-", false) + Row(1, "console", "alice", false) +
                                     Row(2, "remote", "bob", false) + Row(3, "remote", "carol", false));

  // A remote logoff ends the session; its id is free for the next one. A console logoff leaves the
  // console session with nobody signed in.
  SessionOk({"logoff", "bob"});
  SessionOk({"logoff", "alice"});
  EXPECT_EQ(SessionOk({"list"}), kHeader + Row(0, "services", "-", false) + Row(1, "console", "-", false) +
                                     Row(3, "remote", "carol", false));
  EXPECT_EQ(SessionOk({"logon", "dave", "--remote"}), "2\n");
  EXPECT_EQ(SessionOk({"logon", "bob", "--remote"}), "4\n");
  EXPECT_EQ(SessionOk({"logon", "alice"}), "1\n");
}

TEST_F(SessionCommandTest, LockAndUnlockConcernOnlyTheUsersSession) {
  SessionOk({"logon", "alice"});
  SessionOk({"logon", "bob", "--remote"});
  SessionOk({"lock", "bob"});
  EXPECT_EQ(SessionOk({"list"}), kHeader + Row(0, "services", "-", false) + Row(1, "console", "alice", false) +
                                     Row(2, "remote", "bob", true));
  SessionOk({"lock", "alice"});
  SessionOk({"unlock", "bob"});
  EXPECT_EQ(SessionOk({"list"}), kHeader + Row(0, "services", "-", false) + Row(1, "console", "alice", true) +
                                     Row(2, "remote", "bob", false));
  // A logoff of a locked session leaves the console unlocked for the next user.
  SessionOk({"logoff", "alice"});
  SessionOk({"logon", "carol"});
  auto console = sessions::FindSession(1);
  ASSERT_TRUE(console.has_value());
  EXPECT_EQ(console->userName, L"carol");
  EXPECT_FALSE(console->locked);
}

TEST_F(SessionCommandTest, ConsoleDetachesAndAttachesWithNobodySignedIn) {
  SessionOk({"logon", "bob", "--remote"});
  SessionOk({"console", "detach"});
  EXPECT_EQ(SessionOk({"console"}), "none\n");
  EXPECT_EQ(SessionOk({"list"}), kHeader + Row(0, "services", "-", false) + Row(2, "remote", "bob", false));
  // Remote sessions still start while there is no console; they never take id 1.
  EXPECT_EQ(SessionOk({"logon", "carol", "--remote"}), "3\n");
  SessionOk({"console", "attach"});
  EXPECT_EQ(SessionOk({"console"}), "1\n");
  EXPECT_EQ(SessionOk({"logon", "alice"}), "1\n");
}

// A failed change is one line on stderr, a non-zero status, and no change at all.
struct ErrorCase {
  const char* name;
  std::vector<std::vector<std::string>> setup;  // session commands that succeed first
  std::vector<std::string> command;
  std::string message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class SessionCommandErrorTest : public SessionTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(SessionCommandErrorTest, FailsWithOneLineAndChangesNothing) {
  const ErrorCase& c = GetParam();
  for (auto& step : c.setup) SessionOk(step);
  std::string before = SessionOk({"list"});
  auto r = Session(c.command);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, "winsim: " + c.message + "\n");
  EXPECT_EQ(r.output, "");
  EXPECT_EQ(SessionOk({"list"}), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SessionCommandErrorTest,
    ::testing::Values(
        ErrorCase{"UnknownUser", {}, {"logon", "nobody"}, "no user nobody on this machine (winsim user add nobody)"},
        ErrorCase{"UnknownUserRemote", {}, {"logon", "nobody", "--remote"},
                  "no user nobody on this machine (winsim user add nobody)"},
        ErrorCase{"ConsoleInUse", {{"logon", "alice"}}, {"logon", "bob"},
                  "the console is in use by alice (winsim session logoff alice first)"},
        ErrorCase{"AlreadyAtConsole", {{"logon", "alice"}}, {"logon", "alice", "--remote"},
                  "alice is already signed in (session 1)"},
        ErrorCase{"AlreadyRemote", {{"logon", "bob", "--remote"}}, {"logon", "BOB"},
                  "bob is already signed in (session 2)"},
        ErrorCase{"LogoffNotSignedIn", {{"logon", "alice"}}, {"logoff", "bob"}, "bob is not signed in"},
        ErrorCase{"LogoffUnknownUser", {}, {"logoff", "nobody"}, "no user nobody on this machine"},
        ErrorCase{"LockNotSignedIn", {}, {"lock", "alice"}, "alice is not signed in"},
        ErrorCase{"LockTwice", {{"logon", "alice"}, {"lock", "alice"}}, {"lock", "alice"},
                  "alice's session 1 is already locked"},
        ErrorCase{"UnlockUnlocked", {{"logon", "bob", "--remote"}}, {"unlock", "bob"}, "bob's session 2 is not locked"},
        ErrorCase{"LogonWithoutConsole", {{"console", "detach"}}, {"logon", "alice"},
                  "the machine has no console session (winsim session console attach)"},
        ErrorCase{"DetachWhileSignedIn", {{"logon", "alice"}}, {"console", "detach"},
                  "alice is signed in at the console (winsim session logoff alice first)"},
        ErrorCase{"DetachTwice", {{"console", "detach"}}, {"console", "detach"}, "the machine has no console session"},
        ErrorCase{"AttachTwice", {}, {"console", "attach"}, "the console session is already attached"},
        ErrorCase{"ConsoleSubCommand", {}, {"console", "sideways"}, "unknown console sub-command 'sideways' (detach or attach)"},
        ErrorCase{"RemoteWithLock", {{"logon", "alice"}}, {"lock", "alice", "--remote"}, "--remote goes with logon only"},
        ErrorCase{"MissingName", {}, {"logon"}, "usage: winsim session logon NAME [--remote]"},
        ErrorCase{"ExtraName", {}, {"logoff", "alice", "bob"}, "usage: winsim session logoff NAME"},
        ErrorCase{"UnknownSubCommand", {}, {"frobnicate"}, "unknown session sub-command 'frobnicate'"},
        ErrorCase{"Nothing",
                  {},
                  {},
                  "usage: winsim session logon NAME [--remote] | logoff|lock|unlock NAME | list | console "
                  "[detach|attach]"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST_F(SessionCommandTest, RunPutsASignedInUsersProgramsInThatUsersSession) {
  auto sessionOf = [&](const std::vector<std::string>& options) {
    std::vector<std::string> args{"run"};
    args.insert(args.end(), options.begin(), options.end());
    for (const char* a : {"--", "/bin/sh", "-c", "echo $WINSIM_USER $WINSIM_SESSION"}) args.push_back(a);
    auto r = Winsim(args);
    EXPECT_EQ(r.status, 0) << r.errors;
    return r.output;
  };
  EXPECT_EQ(sessionOf({"--user", "bob"}), "bob 1\n");  // not signed in: the console session
  SessionOk({"logon", "bob", "--remote"});
  SessionOk({"logon", "alice"});
  EXPECT_EQ(sessionOf({"--user", "bob"}), "bob 2\n");
  EXPECT_EQ(sessionOf({"--user", "alice"}), "alice 1\n");
  EXPECT_EQ(sessionOf({"--user", "bob", "--session", "3"}), "bob 3\n");  // an explicit session wins
  EXPECT_EQ(sessionOf({}), "Administrator 1\n");
  SessionOk({"logoff", "bob"});
  EXPECT_EQ(sessionOf({"--user", "bob"}), "bob 1\n");
}

}  // namespace
}  // namespace winsim::test
