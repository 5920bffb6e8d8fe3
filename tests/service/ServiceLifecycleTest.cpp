// The service framework under the real control manager: status reports and checkpoints, the
// controls it acts on, and what each lifecycle hook's failure turns into.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include <sstream>

#include "ServiceRun.h"

namespace winsim::test {
namespace {

const std::wstring kName = L"HookService";

class ServiceLifecycleTest : public ServiceRunTest {
 protected:
  std::string RecordPath() { return MachinePath("hook-record.txt"); }
  void Install(const std::wstring& options = L"") {
    ASSERT_TRUE(Register(kName, "HookService.exe", L"record=" + WideFromUtf8(RecordPath()) + L" " + options));
  }
  // The command fails when the service stops while starting.
  void StartService(bool expectRunning = true) {
    auto r = Winsim({"service", "start", "HookService"});
    if (expectRunning) {
      ASSERT_EQ(r.status, 0) << r.errors;
    }
  }
  std::vector<std::string> Record() {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(RecordPath()));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  bool Recorded(const std::string& prefix) {
    auto lines = Record();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
};

TEST_F(ServiceLifecycleTest, StartAndStopReportWithRunWideCheckpoints) {
  Install();
  StartService();
  ASSERT_TRUE(WaitFor(kName, SERVICE_RUNNING));
  EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0"}));
  EXPECT_EQ(Control(kName, SERVICE_CONTROL_STOP), 0u);
  ASSERT_TRUE(WaitFor(kName, SERVICE_STOPPED));
  EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0",
                                                      "STOP_PENDING/2/0x85/0", "STOPPED/0/0x85/0"}));
  EXPECT_EQ(Events(), (std::vector<std::string>{"2: Service trying to start."}));
  // The hook saw the stop first, on the dispatcher's thread.
  std::smatch m;
  std::string out = ServiceOutput("HookService");
  ASSERT_TRUE(std::regex_search(out, m, std::regex("dispatcher thread (\\d+)")));
  EXPECT_EQ(Record(), (std::vector<std::string>{"OnStart", "control 1 event 0 thread " + m[1].str(), "OnStop"}));
}

// A thread that the start hook sets going stops the service before the hook has returned: the stop
// waits for the start, so that the running report comes first and nothing follows the stopped one.
TEST_F(ServiceLifecycleTest, AStopFromAnotherThreadWaitsForTheStartToBeReported) {
  Install(L"stopfromthread=300");
  StartService(false);
  ASSERT_TRUE(WaitFor(kName, SERVICE_STOPPED));
  EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0",
                                                      "STOP_PENDING/2/0x85/0", "STOPPED/0/0x85/0"}));
  EXPECT_EQ(Record(), (std::vector<std::string>{"OnStart", "OnStop"}));
}

TEST_F(ServiceLifecycleTest, InterrogateAndSessionChangeReachOnlyTheHook) {
  Install();
  StartService();
  ASSERT_TRUE(WaitFor(kName, SERVICE_RUNNING));
  EXPECT_EQ(Control(kName, SERVICE_CONTROL_INTERROGATE), 0u);
  EXPECT_EQ(services::SendSessionChange(WTS_SESSION_LOGON, 1).size(), 1u);
  EXPECT_TRUE(Recorded("control 4 event 0"));
  EXPECT_TRUE(Recorded("control 14 event 5"));
  EXPECT_EQ(Reports(kName).size(), 2u);  // still the start's two
  EXPECT_EQ(State(kName), static_cast<DWORD>(SERVICE_RUNNING));
  // Pause is not among the accepted controls, so the manager refuses it.
  EXPECT_EQ(Control(kName, SERVICE_CONTROL_PAUSE), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
}

TEST_F(ServiceLifecycleTest, ShutdownReportsStoppedWithoutStop) {
  Install();
  StartService();
  ASSERT_TRUE(WaitFor(kName, SERVICE_RUNNING));
  auto r = Winsim({"shutdown"});
  EXPECT_EQ(r.status, 0) << r.errors;
  ASSERT_TRUE(WaitFor(kName, SERVICE_STOPPED));
  EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0", "STOPPED/0/0x85/0"}));
  auto record = Record();
  ASSERT_EQ(record.size(), 3u);
  EXPECT_EQ(record[1].rfind("control 5 event 0", 0), 0u);
  EXPECT_EQ(record[2], "OnShutdown");
}

// Each hook failing with the error code 5 or with any other exception. Pause and continue are
// reached through the user-defined controls 200 and 201 of the test service, since the service
// does not announce pause and continue.
TEST_F(ServiceLifecycleTest, HookFailuresBecomeEventsAndReports) {
  struct Case {
    std::wstring options;
    std::vector<DWORD> controls;          // sent after the start (0: the machine shuts down)
    std::vector<std::string> reports;     // the service's reports after the start's
    std::string event;                    // the error event at level 2
  };
  const std::vector<std::string> started = {"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0"};
  const std::vector<Case> cases = {
      {L"start=code", {}, {}, "2: Service Start failed w/err 0x00000005"},
      {L"start=other", {}, {}, "2: Service failed to start."},
      {L"stop=code", {SERVICE_CONTROL_STOP}, {"STOP_PENDING/2/0x85/0", "RUNNING/0/0x85/0"}, "2: Service Stop failed w/err 0x00000005"},
      {L"stop=other", {SERVICE_CONTROL_STOP}, {"STOP_PENDING/2/0x85/0", "RUNNING/0/0x85/0"}, "2: Service failed to stop."},
      {L"pause=code", {200}, {"PAUSE_PENDING/2/0x85/0", "RUNNING/0/0x85/0"}, "2: Service Pause failed w/err 0x00000005"},
      {L"pause=other", {200}, {"PAUSE_PENDING/2/0x85/0", "RUNNING/0/0x85/0"}, "2: Service failed to pause."},
      {L"continue=code", {200, 201}, {"PAUSE_PENDING/2/0x85/0", "PAUSED/3/0x85/0", "CONTINUE_PENDING/4/0x85/0", "PAUSED/5/0x85/0"},
       "2: Service Continue failed w/err 0x00000005"},
      {L"continue=other", {200, 201}, {"PAUSE_PENDING/2/0x85/0", "PAUSED/3/0x85/0", "CONTINUE_PENDING/4/0x85/0", "PAUSED/5/0x85/0"},
       "2: Service failed to resume."},
      {L"shutdown=code", {0}, {}, "2: Service Shutdown failed w/err 0x00000005"},
      {L"shutdown=other", {0}, {}, "2: Service failed to shut down."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8FromWide(c.options));
    TearDown();
    SetUp();
    Install(c.options);
    bool startFails = c.options.rfind(L"start=", 0) == 0;
    StartService(!startFails);
    if (startFails) {
      ASSERT_TRUE(WaitFor(kName, SERVICE_STOPPED));
      std::string exitCode = c.options == L"start=code" ? "5" : "0";
      EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "STOPPED/0/0x85/" + exitCode}));
    } else {
      ASSERT_TRUE(WaitFor(kName, SERVICE_RUNNING));
      for (DWORD control : c.controls) {
        if (control == 0) {
          // The hook fails, so no stopped report follows: deliver without waiting for one.
          EXPECT_EQ(services::SendShutdown().size(), 1u);
        } else {
          EXPECT_EQ(Control(kName, control), 0u);
        }
      }
      std::vector<std::string> expected = started;
      expected.insert(expected.end(), c.reports.begin(), c.reports.end());
      EXPECT_EQ(Reports(kName), expected);
      EXPECT_NE(State(kName), static_cast<DWORD>(SERVICE_STOPPED));
    }
    auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], "2: Service trying to start.");
    EXPECT_EQ(events[1], c.event);
  }
}

TEST_F(ServiceLifecycleTest, CheckpointsKeepCountingAcrossFailedStops) {
  Install(L"stop=code");
  StartService();
  ASSERT_TRUE(WaitFor(kName, SERVICE_RUNNING));
  EXPECT_EQ(Control(kName, SERVICE_CONTROL_STOP), 0u);
  EXPECT_EQ(Control(kName, SERVICE_CONTROL_STOP), 0u);
  EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0", "STOP_PENDING/2/0x85/0",
                                                      "RUNNING/0/0x85/0", "STOP_PENDING/3/0x85/0", "RUNNING/0/0x85/0"}));
}

}  // namespace
}  // namespace winsim::test
