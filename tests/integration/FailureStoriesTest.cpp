// Things going wrong around the installed system, each on a fresh machine through the real programs:
// the validation library tampered with and mended while the service runs, the agent killed while it
// pauses between activation attempts, and the machine shut down while the agent runs. What the
// stories observe: the service's and the agent's logs, the control manager's reports, the process
// records and the per-user key.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "InstalledSystem.h"
#include "services/scm.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const std::wstring kService = L"TorvexUtilityService";
const std::string kValidationLibrary = "Torvex.CertificateValidation.Native.dll";

class FailureStoriesTest : public InstalledSystemTest {
 protected:
  // The service with delays passing `scale` times faster: a slower scale than the other stories
  // where a test must act while the agent pauses between its attempts (30 s, scaled).
  void StartScaled(const std::string& scale, const std::map<std::string, std::string>& env = {}) {
    auto all = env;
    all["WINSIM_TIME_SCALE"] = scale;
    StartService(all);
  }
  int64_t ServicePid() {
    auto info = services::FindService(kService);
    return info ? static_cast<int64_t>(info->pid) : 0;
  }
  // Waits (bounded) until the agent's logs hold the message.
  bool WaitForAgentMessage(const std::string& message) {
    return Eventually([&] { return Count(AgentMessages(), message) > 0; });
  }
  // The agent's one process that still runs, or 0.
  int64_t RunningAgent() {
    for (auto& p : AgentProcesses()) {
      if (!p.exitCode) return p.pid;
    }
    return 0;
  }
  bool ServiceProcessRuns() {
    for (auto& p : ListProcesses(true)) {
      if (p.imageName == L"TorvexUtilityService.exe") return true;
    }
    return false;
  }
  // Every run of the check that opened has closed.
  bool RunRecordedChecksClosed() {
    auto service = ServiceLogMessages();
    return CountPrefix(service, kCheckOpened) == CountPrefix(service, kCheckClosed);
  }
  static std::string AgentError(const std::string& hresult) {
    return "[ERROR] ActivateTorvexUtilityAppx ActivateApplication() return fail! hr is:" + hresult;
  }
};

// The validation library changed on disk after installation: the check refuses the agent and
// watches the Packages folder. Put back while the service runs, the check that the package's folder
// brings accepts the agent and activates the app, in the same service process.
struct Tampering {
  const char* name;
  void (*tamper)(const std::string& file);
};

class TamperedLibraryTest : public FailureStoriesTest, public ::testing::WithParamInterface<Tampering> {};

TEST_P(TamperedLibraryTest, RefusedWhileTamperedAcceptedOnceMendedWithoutARestart) {
  Install();
  std::string original = MachinePath("original.dll");
  fs::copy_file(Installed(kValidationLibrary), original);
  GetParam().tamper(Installed(kValidationLibrary));
  ASSERT_NE(ReadFile(original), ReadFile(Installed(kValidationLibrary)));
  Start();
  int64_t pid = ServicePid();
  ASSERT_GT(pid, 0);
  Command({"session", "logon", "alice"});
  ASSERT_TRUE(WaitForChecks(1));

  auto service = ServiceLogMessages();
  EXPECT_EQ(Count(service, kRefused), 1);
  EXPECT_EQ(Count(service, kAccepted), 0);
  EXPECT_EQ(CountPrefix(service, "[INFO] LaunchTorvexUtilityAppx "), 0);
  EXPECT_TRUE(AgentProcesses().empty());
  EXPECT_EQ(Count(service, kWatcherCreated), 1);
  EXPECT_EQ(Count(service, kWatched), 1);
  EXPECT_EQ(CheckCount(), "0x0");

  Replace(kValidationLibrary, original);
  InstallPackage("alice");
  ASSERT_TRUE(WaitForChecks(2));
  service = ServiceLogMessages();
  EXPECT_EQ(Count(service, kRefused), 1);
  EXPECT_EQ(Count(service, kAccepted), 1);
  EXPECT_EQ(Count(service, AgentExit("0x0")), 1);
  EXPECT_EQ(Count(service, kWatcherDestroyed), 1);
  EXPECT_EQ(CheckCount(), "0x1");
  auto apps = RunningApps();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].session, 1u);
  EXPECT_EQ(apps[0].user, "alice");
  EXPECT_EQ(ServicePid(), pid) << "mended without a restart";
  EXPECT_EQ(State(kService), static_cast<DWORD>(SERVICE_RUNNING));
}

const Tampering kTamperings[] = {
    {"OneByteFlipped",
     [](const std::string& file) {
       std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
       f.seekg(0, std::ios::end);
       auto middle = static_cast<std::streamoff>(f.tellg()) / 2;
       char c = 0;
       f.seekg(middle);
       f.read(&c, 1);
       c = static_cast<char>(c ^ 0x40);
       f.seekp(middle);
       f.write(&c, 1);
     }},
    {"CutInHalf", [](const std::string& file) { fs::resize_file(file, fs::file_size(file) / 2); }},
};

INSTANTIATE_TEST_SUITE_P(Tamperings, TamperedLibraryTest, ::testing::ValuesIn(kTamperings),
                         [](const auto& info) { return std::string(info.param.name); });

// The agent's first activation attempt fails (a fault planned for the first call in each agent
// process) and it pauses before the next; killed then as a task manager kills (TerminateProcess
// with 1), the service reads 1 as its exit code, the check stays due and the Packages folder is
// watched. The user reinstalling the app brings the next check, whose agent gets through on its
// second attempt: the check is done and the app runs.
TEST_F(FailureStoriesTest, TheAgentKilledWhilePausingBetweenAttempts) {
  InstallPackage("alice");
  Install();
  // 120 s pass in 8 s, the agent's 30 s pause and the watcher's 30 s in 2 s.
  StartScaled("15", {{"WINSIM_FAULTS", "ActivateApplication=0x80270254*1"}});
  Command({"session", "logon", "alice"});
  ASSERT_TRUE(WaitForAgentMessage(ActivationStatus(false)));
  int64_t agent = RunningAgent();
  ASSERT_GT(agent, 0) << "the agent ended before its pause was over";
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(agent));
  ASSERT_NE(process, nullptr) << GetLastError();
  EXPECT_TRUE(TerminateProcess(process, 1)) << GetLastError();
  CloseHandle(process);
  ASSERT_TRUE(WaitForChecks(1));

  // One attempt, no second: the kill came in the pause.
  EXPECT_EQ(AgentMessages(), (std::vector<std::string>{Preloaded(true), AgentError("0x80270254"), ActivationStatus(false)}));
  auto agents = AgentProcesses();
  ASSERT_EQ(agents.size(), 1u);
  EXPECT_EQ(agents[0].exitCode, std::optional<uint32_t>(1));
  auto service = ServiceLogMessages();
  EXPECT_EQ(Count(service, kCreated), 1);
  EXPECT_EQ(Count(service, AgentExit("0x1")), 1);
  EXPECT_EQ(Count(service, kWatcherCreated), 1);
  EXPECT_EQ(Count(service, kWatched), 1);
  EXPECT_EQ(Count(service, CheckCountSet(1)), 0);
  EXPECT_EQ(CheckCount(), "0x0");
  EXPECT_TRUE(RunningApps().empty());

  // The user reinstalls the app: its folder goes and comes back, and the check runs once the
  // watcher's delay has passed after the last change.
  Command({"package", "remove", "--user", "alice", kFamily});
  InstallPackage("alice");
  ASSERT_TRUE(Eventually([&] { return CheckCount() == "0x1"; })) << ::testing::PrintToString(ServiceLogMessages());
  ASSERT_TRUE(Eventually([&] { return RunRecordedChecksClosed(); }));
  service = ServiceLogMessages();
  EXPECT_EQ(Count(service, AgentExit("0x0")), 1);
  EXPECT_EQ(Count(service, CheckCountSet(1)), 1);
  EXPECT_EQ(Count(service, kWatcherDestroyed), 1);
  EXPECT_EQ(Count(service, kWatcherCreated), 1);
  agents = AgentProcesses();
  ASSERT_GE(agents.size(), 2u);
  EXPECT_EQ(agents.back().exitCode, std::optional<uint32_t>(0));
  auto apps = RunningApps();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].session, 1u);
  EXPECT_EQ(State(kService), static_cast<DWORD>(SERVICE_RUNNING));
}

// `winsim shutdown` while the check waits for the agent: the service reports stopped at once,
// without its stop hook, and its process ends only after the check it was running has ended (the
// agent's three attempts, its exit code, the check closed), leaving the check due.
TEST_F(FailureStoriesTest, TheMachineShutDownWhileTheAgentRuns) {
  InstallPackage("alice");
  Install();
  StartScaled("15", {{"WINSIM_FAULTS", "ActivateApplication=0x80270254"}});
  int64_t pid = ServicePid();
  ASSERT_GT(pid, 0);
  Command({"session", "logon", "alice"});
  ASSERT_TRUE(WaitForAgentMessage(ActivationStatus(false)));
  ASSERT_GT(RunningAgent(), 0);

  auto r = Winsim({"shutdown"});
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(r.output, "TorvexUtilityService: STOPPED\n");
  ASSERT_TRUE(Eventually([&] { return !ServiceProcessRuns(); }));

  EXPECT_EQ(Reports(kService), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0", "STOPPED/0/0x85/0"}));
  auto service = ServiceLogMessages();
  EXPECT_EQ(ServiceLog().find("OnStop"), std::string::npos);
  const std::string shutdown = "[INFO] ::OnServiceControlHandle Syetem Shutdown";
  EXPECT_EQ(Count(service, shutdown), 1);
  // The check that was running when the shutdown came went on to its end, after the shutdown line.
  auto at = std::find(service.begin(), service.end(), shutdown);
  ASSERT_NE(at, service.end());
  EXPECT_NE(std::find(at, service.end(), AgentExit("0x80270254")), service.end()) << ::testing::PrintToString(service);
  EXPECT_EQ(CountPrefix(service, kCheckOpened), 1);
  EXPECT_EQ(CountPrefix(service, kCheckClosed), 1);
  EXPECT_EQ(CheckCount(), "0x0");
  auto agent = AgentMessages();
  EXPECT_EQ(Count(agent, ActivationStatus(false)), 3);
  auto agents = AgentProcesses();
  ASSERT_EQ(agents.size(), 1u);
  EXPECT_EQ(agents[0].exitCode, std::optional<uint32_t>(0x80270254u));
  for (auto& p : ListProcesses(false)) {
    if (p.pid == pid && p.imageName == L"TorvexUtilityService.exe") {
      EXPECT_EQ(p.exitCode, std::optional<uint32_t>(0));
    }
  }
  EXPECT_TRUE(RunningApps().empty());
  // The failed activation still made the check create its watcher after the shutdown; the service's
  // teardown then stopped it, the last thing the service logged.
  EXPECT_NE(std::find(at, service.end(), kWatcherCreated), service.end());
  ASSERT_FALSE(service.empty());
  EXPECT_EQ(service.back(), "[INFO] DirectoryWatcher::UnWatch thread exit.");
}

}  // namespace
}  // namespace winsim::test
