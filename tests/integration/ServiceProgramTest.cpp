// The service program as an administrator or a user meets it: its command line, install and
// remove, and a run under the control manager with its reports, events and log.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <regex>
#include <sstream>

#include "UtilityServiceRun.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const std::wstring kName = L"TorvexUtilityService";
const char kUsage[] =
    "Parameters:\n"
    " -install  to install the service.\n"
    " -remove   to remove the service.\n"
    " -console  to run in console mode.\n";

class ServiceProgramTest : public UtilityServiceRunTest {};

// The steps of the table that the Wine check plays too (see the table file for its format).
struct Step {
  std::string kind;
  std::vector<std::string> fields;
};

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'n' || text[i + 1] == 'r')) {
      out += text[++i] == 'n' ? '\n' : '\r';
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<Step> ReadSteps() {
  std::vector<Step> steps;
  std::ifstream in(std::string(TORVEX_SOURCE_DIR) + "/tests/integration/service_program.txt");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    Step step;
    size_t pos = 0;
    for (;;) {
      size_t bar = line.find(" | ", pos);
      std::string field = line.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos);
      if (step.kind.empty()) {
        step.kind = field;
      } else {
        step.fields.push_back(Unescape(field));
      }
      if (bar == std::string::npos) break;
      pos = bar + 3;
    }
    steps.push_back(step);
  }
  return steps;
}

std::vector<std::string> SplitArgs(const std::string& args) {
  std::vector<std::string> out;
  if (args == "(none)") return out;
  std::istringstream words(args);
  std::string word;
  while (words >> word) out.push_back(word);
  return out;
}

TEST_F(ServiceProgramTest, TheSharedStoryOfTheProgram) {
  auto steps = ReadSteps();
  ASSERT_GT(steps.size(), 10u) << "the table was not found or not read";
  const char* states[] = {"?", "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING", "CONTINUE_PENDING",
                          "PAUSE_PENDING", "PAUSED"};
  for (const auto& step : steps) {
    std::string trace = step.kind;
    for (auto& f : step.fields) trace += " | " + f;
    SCOPED_TRACE(trace);
    if (step.kind == "run") {
      ASSERT_EQ(step.fields.size(), 2u);
      auto r = Program(SplitArgs(step.fields[0]));
      EXPECT_EQ(r.output, step.fields[1]);
      EXPECT_EQ(r.status, 0);
    } else if (step.kind == "level") {
      SetLogLevel(static_cast<DWORD>(std::stoul(step.fields.at(0))));
    } else if (step.kind == "start") {
      // The registration as the control manager keeps it.
      auto info = services::FindService(kName);
      ASSERT_TRUE(info.has_value());
      EXPECT_EQ(info->displayName, L"Torvex Utility Service");
      EXPECT_EQ(info->serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
      EXPECT_EQ(info->startType, static_cast<DWORD>(SERVICE_DEMAND_START));
      EXPECT_EQ(info->errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
      // In quotes, so that a path with blanks is never read blank by blank.
      EXPECT_EQ(info->binaryPath, L"\"" + WindowsPathOf(BinPath("TorvexUtilityService.exe")) + L"\"");
      EXPECT_FALSE(info->account.has_value());
      EXPECT_TRUE(info->dependencies.empty());
      StartService();
    } else if (step.kind == "status") {
      auto info = services::FindService(kName);
      ASSERT_TRUE(info.has_value());
      const SERVICE_STATUS& st = info->status;
      char text[64];
      std::snprintf(text, sizeof(text), "%s/0x%x/%u", st.dwCurrentState < 8 ? states[st.dwCurrentState] : "?",
                    static_cast<unsigned>(st.dwControlsAccepted), static_cast<unsigned>(st.dwWin32ExitCode));
      EXPECT_EQ(text, step.fields.at(0));
    } else if (step.kind == "stop") {
      auto r = Winsim({"service", "stop", "TorvexUtilityService"});
      EXPECT_EQ(r.status, 0) << r.errors;
      ASSERT_TRUE(WaitFor(kName, SERVICE_STOPPED));
    } else if (step.kind == "log") {
      EXPECT_EQ(std::regex_replace(ServiceLog(), std::regex(R"(\[[-0-9 :.]{23}\])"), "[T]"), step.fields.at(0));
    } else {
      ADD_FAILURE() << "unknown step " << step.kind;
    }
  }
}

TEST_F(ServiceProgramTest, PlainUserMayNotInstallOrRemove) {
  AddUser("alice");
  auto r = Program({"-install"}, "alice");
  EXPECT_EQ(r.output, "OpenSCManager failed w/err 0x00000005\n");
  EXPECT_EQ(r.status, 0);
  ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
  r = Program({"-remove"}, "alice");
  EXPECT_EQ(r.output, "OpenService failed w/err 0x00000005\n");
  EXPECT_TRUE(services::FindService(kName).has_value());
}

TEST_F(ServiceProgramTest, FailingSystemCallsPrintTheirTexts) {
  struct Case {
    std::vector<std::string> args;
    std::string faults;
    std::string output;
  };
  const std::vector<Case> cases = {
      {{"-install"}, "OpenSCManagerW=5", "OpenSCManager failed w/err 0x00000005\n"},
      {{"-install"}, "GetModuleFileNameW=122", "GetModuleFileName failed w/err 0x0000007a\n"},
      {{"-install"}, "CreateServiceW=1072", "CreateService failed w/err 0x00000430\n"},
      {{"-remove"}, "OpenSCManagerW=1115", "OpenSCManager failed w/err 0x0000045b\n"},
      {{"-remove"}, "DeleteService=1072", "DeleteService failed w/err 0x00000430\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    if (c.args[0] == "-remove" && !services::FindService(kName)) {
      ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
    }
    auto r = Program(c.args, "", {{"WINSIM_FAULTS", c.faults}});
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.status, 0);
  }
}

TEST_F(ServiceProgramTest, RunUnderTheControlManager) {
  SetLogLevel(2);
  ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
  StartService();
  EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0"}));
  auto r = Winsim({"service", "stop", "TorvexUtilityService"});
  EXPECT_EQ(r.status, 0) << r.errors;
  ASSERT_TRUE(WaitFor(kName, SERVICE_STOPPED));
  EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0",
                                                      "STOP_PENDING/2/0x85/0", "STOPPED/0/0x85/0"}));
  EXPECT_EQ(Events(), (std::vector<std::string>{"2: Service trying to start.", "4: CppWindowsService in OnStart",
                                                "4: CppWindowsService in OnStop"}));
  std::string log = std::regex_replace(ServiceLog(), std::regex(R"(\[[-0-9 :.]{23}\] )"), "[T] ");
  EXPECT_EQ(log, "[T] [INFO] CUtilityService::OnStart enter.\r\n[T] [INFO] CUtilityService::OnStop enter.\r\n");
  // The entry prints its usage text on every return from the dispatcher, then the process ends.
  EXPECT_TRUE(Eventually([&] { return ServiceOutput("TorvexUtilityService").find(kUsage) != std::string::npos; }));
  EXPECT_TRUE(Eventually([&] {
    auto info = services::FindService(kName);
    return info && info->pid == 0;
  }));
}

TEST_F(ServiceProgramTest, RemoveStopsARunningServiceFirst) {
  ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
  StartService();
  auto r = Program({"-remove"});
  EXPECT_EQ(r.output, "Stopping TorvexUtilityService.\nTorvexUtilityService is stopped.\nTorvexUtilityService is removed.\n");
  EXPECT_FALSE(services::FindService(kName).has_value());
}

// A service under the same name that stays stop-pending until a gate file appears: the remove's
// progress dots, one per status query a second apart, and its final lines.
TEST_F(ServiceProgramTest, RemoveShowsAStopThatTakesItsTime) {
  std::string gate = MachinePath("stop-gate");
  ASSERT_TRUE(Register(kName, "test_service.exe", L"--stop-gate " + WideFromUtf8(gate)));
  StartService();
  std::thread opener([&] {
    // Long enough for the first query, a second after the stop request, to find the stop pending.
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    std::ofstream(gate) << "open";
  });
  auto r = Program({"-remove"});
  opener.join();
  EXPECT_TRUE(std::regex_match(
      r.output, std::regex("Stopping TorvexUtilityService\\.\\.+\nTorvexUtilityService is stopped\\.\nTorvexUtilityService is removed\\.\n")))
      << r.output;
  EXPECT_FALSE(services::FindService(kName).has_value());
}

TEST_F(ServiceProgramTest, RemoveOfAServiceThatFailsToStop) {
  ASSERT_TRUE(Register(kName, "HookService.exe", L"stop=code"));
  StartService();
  auto r = Program({"-remove"});
  EXPECT_EQ(r.output, "Stopping TorvexUtilityService.\nTorvexUtilityService failed to stop.\nTorvexUtilityService is removed.\n");
  // Still running, so only marked for deletion.
  auto info = services::FindService(kName);
  ASSERT_TRUE(info.has_value());
  EXPECT_TRUE(info->markedForDelete);
}

TEST_F(ServiceProgramTest, ShutdownEndsTheServiceWithoutItsStopHook) {
  SetLogLevel(2);
  ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
  StartService();
  auto r = Winsim({"shutdown"});
  EXPECT_EQ(r.status, 0) << r.errors;
  ASSERT_TRUE(WaitFor(kName, SERVICE_STOPPED));
  EXPECT_EQ(Reports(kName), (std::vector<std::string>{"START_PENDING/1/0x85/0", "RUNNING/0/0x85/0", "STOPPED/0/0x85/0"}));
  EXPECT_EQ(ServiceLog().find("OnStop"), std::string::npos);
  // The session handling hears the shutdown first, with its text as it stands.
  auto messages = ServiceLogMessages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "[INFO] ::OnServiceControlHandle Syetem Shutdown"),
            messages.end());
  EXPECT_EQ(Events().size(), 2u);
}

TEST_F(ServiceProgramTest, FailuresInsideTheServiceAreLoggedAndItRunsOn) {
  SetLogLevel(2);
  ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");

  StartService({{"WINSIM_FAULTS", "CreateThreadpoolTimer=8"}});
  EXPECT_NE(ServiceLog().find("[ERROR] CUtilityService CreateThreadpoolTimer() return failed! error: 8\r\n"), std::string::npos);
  ASSERT_EQ(Winsim({"service", "stop", "TorvexUtilityService"}).status, 0);

  fs::remove_all(MachinePath("drives/c/Windows/Temp/_TorvexUtility_"));
  StartService({{"WINSIM_FAULTS", "CreateThreadpoolWork=14"}});
  EXPECT_NE(ServiceLog().find("[ERROR] CUtilityService::OnStart CreateThreadpoolWork() return fail, error: 14"), std::string::npos);
  auto events = Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "2: CreateThreadpoolWork failed"), events.end());
  ASSERT_EQ(Winsim({"service", "stop", "TorvexUtilityService"}).status, 0);

  size_t before = Events().size();
  StartService({{"WINSIM_FAULTS", "EventRegister=5"}});
  EXPECT_NE(ServiceOutput("TorvexUtilityService").find("Provider not registered. EventRegister failed with 5\n"),
            std::string::npos);
  ASSERT_EQ(Winsim({"service", "stop", "TorvexUtilityService"}).status, 0);
  EXPECT_EQ(Events().size(), before);
}

TEST_F(ServiceProgramTest, FailedHandlerRegistrationStillRunsTheStart) {
  SetLogLevel(2);
  ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceW(scm, kName.c_str(), SERVICE_START);
  setenv("WINSIM_FAULTS", "RegisterServiceCtrlHandlerExW=1060", 1);
  BOOL started = StartServiceW(service, 0, nullptr);
  unsetenv("WINSIM_FAULTS");
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
  ASSERT_TRUE(started) << GetLastError();
  // No report can be made, but the hooks run.
  std::string log;
  for (int i = 0; i < 300 && log.find("OnStart enter") == std::string::npos; ++i) {
    Sleep(100);
    log = ServiceLog();
  }
  EXPECT_NE(log.find("[ERROR] CServiceBase::ServiceMain m_serviceStatusHandle is NULL! error: 1060"), std::string::npos);
  EXPECT_NE(log.find("[INFO] CUtilityService::OnStart enter.\r\n"), std::string::npos);
  EXPECT_TRUE(Reports(kName).empty());
}

}  // namespace
}  // namespace winsim::test
