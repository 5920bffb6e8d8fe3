// Session changes reach the running services that accept them, in order, after the machine's state
// has changed: the test service logs each notification with what the session queries answered
// while it handled it.
#include <cstdlib>

#include "../winsim_services/ServiceTestFixture.h"

namespace winsim::test {
namespace {

class SessionNotificationTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    for (const char* name : {"alice", "bob"}) AddUser(name);
  }
  void Session(const std::vector<std::string>& args) {
    std::vector<std::string> all{"session"};
    all.insert(all.end(), args.begin(), args.end());
    auto r = Winsim(all);
    EXPECT_EQ(r.status, 0) << r.errors;
  }
  SC_HANDLE StartWatcher(const std::string& name, const std::string& options) {
    SC_HANDLE h = Install(name, options);
    EXPECT_EQ(StartAndWait(h, name).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    return h;
  }
  // "event session user console" of each session-change line.
  std::vector<std::string> Notifications(const std::string& name) {
    std::vector<std::string> out;
    for (auto& line : ControlLines(name)) {
      EXPECT_EQ(Field(line, "control"), "14") << line;
      EXPECT_EQ(Field(line, "cb"), "8") << line;
      out.push_back(Field(line, "event") + " " + Field(line, "session") + " " + Field(line, "user") + " " +
                    Field(line, "console"));
    }
    return out;
  }
};

TEST_F(SessionNotificationTest, EachChangeArrivesInOrderAfterTheStateHasChanged) {
  SC_HANDLE watcher = StartWatcher("Watcher", "--accept 81 --query-session");
  StartWatcher("Deaf", "--accept 1");

  Session({"logon", "alice"});
  Session({"logon", "bob", "--remote"});
  Session({"lock", "alice"});
  Session({"unlock", "alice"});
  Session({"lock", "bob"});
  Session({"logoff", "bob"});
  Session({"logoff", "alice"});
  Session({"console", "detach"});
  Session({"console", "attach"});

  // A logon is seen with its user signed in; after a logoff the console has nobody and a remote
  // session is gone (ERROR_FILE_NOT_FOUND); without a console the console id is 0xFFFFFFFF.
  EXPECT_EQ(Notifications("Watcher"), (std::vector<std::string>{
                                          "5 1 alice 1",          // WTS_SESSION_LOGON
                                          "5 2 bob 1",            //
                                          "7 1 alice 1",          // WTS_SESSION_LOCK
                                          "8 1 alice 1",          // WTS_SESSION_UNLOCK
                                          "7 2 bob 1",            //
                                          "6 2 !2 1",             // WTS_SESSION_LOGOFF
                                          "6 1  1",               //
                                          "2 1 !2 4294967295",    // WTS_CONSOLE_DISCONNECT
                                          "1 1  1",               // WTS_CONSOLE_CONNECT
                                      }));
  EXPECT_TRUE(ControlLines("Deaf").empty());
  // Services run in session 0, which no logoff touches.
  EXPECT_EQ(StatusOf(watcher), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST_F(SessionNotificationTest, RefusedChangesNotifyNobody) {
  StartWatcher("Watcher", "--accept 81");
  Session({"logon", "alice"});
  for (std::vector<std::string> refused : {std::vector<std::string>{"session", "logon", "bob"},
                                           {"session", "logoff", "bob"},
                                           {"session", "unlock", "alice"},
                                           {"session", "logon", "nobody"},
                                           {"session", "console", "detach"},
                                           {"session", "console", "attach"}}) {
    EXPECT_NE(Winsim(refused).status, 0) << refused[1] << " " << refused[2];
  }
  EXPECT_EQ(ControlLines("Watcher").size(), 1u);
}

TEST_F(SessionNotificationTest, FaultsFromTheEnvironmentReachTheQueriesOfAServiceProcess) {
  // The planned fault travels to the service process in its environment.
  setenv("WINSIM_FAULTS", "WTSQuerySessionInformationW=5*1;WTSGetActiveConsoleSessionId=1@2", 1);
  StartWatcher("Watcher", "--accept 81 --query-session");
  unsetenv("WINSIM_FAULTS");
  Session({"logon", "alice"});
  Session({"lock", "alice"});
  Session({"unlock", "alice"});
  EXPECT_EQ(Notifications("Watcher"), (std::vector<std::string>{"5 1 !5 1", "7 1 alice 4294967295", "8 1 alice 1"}));
}

}  // namespace
}  // namespace winsim::test
