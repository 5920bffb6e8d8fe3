// The run time: starting a service process, its status reports, controls on the dispatcher's
// thread, session changes, shutdown, and a service process that dies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "ServiceTestFixture.h"
#include "process/process.h"

namespace winsim::test {
namespace {

class ServiceRuntimeTest : public ServiceTest {};

std::vector<DWORD> States(const std::vector<services::StatusReport>& history) {
  std::vector<DWORD> out;
  for (auto& r : history) out.push_back(r.state);
  return out;
}

TEST_F(ServiceRuntimeTest, DispatcherOutsideTheManagerFailsAtOnce) {
  auto r = RunProgram({BinPath("test_service.exe")}, {{"WINSIM_MACHINE", Machine()}});
  EXPECT_EQ(r.output, "StartServiceCtrlDispatcherW failed 1063\n");
  EXPECT_EQ(r.status, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT & 0xFF);
}

TEST_F(ServiceRuntimeTest, StartRunsServiceMainAsSystemAndRecordsEveryReport) {
  SC_HANDLE h = Install("Runner", "--start-steps 2 --accept 81");
  SERVICE_STATUS s = StartAndWait(h, "Runner");
  EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(s.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE));

  auto history = services::ServiceHistory(L"runner");
  ASSERT_EQ(history.size(), 4u);
  EXPECT_EQ(States(history), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_START_PENDING, SERVICE_START_PENDING,
                                                  SERVICE_RUNNING}));
  EXPECT_EQ(history[0].source, "scm");
  EXPECT_EQ(history[0].waitHint, 2000u);
  EXPECT_EQ(history[1].checkPoint, 1u);
  EXPECT_EQ(history[2].checkPoint, 2u);
  EXPECT_EQ(history[3].source, "service");
  EXPECT_EQ(history[3].controlsAccepted, 0x81u);

  SERVICE_STATUS_PROCESS p{};
  DWORD needed = 0;
  ASSERT_TRUE(QueryServiceStatusEx(h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&p), sizeof(p), &needed));
  EXPECT_EQ(p.dwProcessId, static_cast<DWORD>(history[3].pid));
  auto process = FindProcess(p.dwProcessId);
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ(process->sessionId, 0u);
  EXPECT_EQ(process->sid, kSystemSid);

  auto lines = LogLines("Runner");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind("main argc=1 name=Runner ", 0), 0u) << lines[0];
  EXPECT_FALSE(StartServiceW(h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));

  auto q = Winsim({"service", "query", "Runner", "--history"});
  EXPECT_EQ(q.status, 0) << q.errors;
  EXPECT_NE(q.output.find("STATE: 4 RUNNING\n"), std::string::npos) << q.output;
  EXPECT_NE(q.output.find("CONTROLS_ACCEPTED: 0x81\n"), std::string::npos) << q.output;
  EXPECT_NE(q.output.find("HISTORY:"), std::string::npos);
}

TEST_F(ServiceRuntimeTest, SlowStopReportsPendingThenStoppedWithExitCodes) {
  std::string gate = MachinePath("stop.gate");
  SC_HANDLE h = Install("Slow", "--stop-steps 3 --step-ms 1 --exit-code 7 --stop-gate " + gate);
  ASSERT_EQ(StartAndWait(h, "Slow").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &s)) << GetLastError();
  EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  // While it stops, every control is refused, interrogate and stop included.
  for (DWORD control : std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP}) {
    SERVICE_STATUS during{};
    EXPECT_FALSE(ControlService(h, control, &during));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(during.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  }
  std::ofstream(gate).put('x');
  auto info = services::WaitForState(L"Slow", SERVICE_STOPPED, 30000);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(info->status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
  EXPECT_EQ(info->status.dwServiceSpecificExitCode, 7u);

  auto history = services::ServiceHistory(L"Slow");
  std::vector<DWORD> tail;
  std::vector<DWORD> checkpoints;
  for (size_t i = 2; i < history.size(); ++i) {
    tail.push_back(history[i].state);
    checkpoints.push_back(history[i].checkPoint);
  }
  EXPECT_EQ(tail, (std::vector<DWORD>{SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING,
                                       SERVICE_STOP_PENDING, SERVICE_STOPPED}));
  EXPECT_EQ(checkpoints, (std::vector<DWORD>{0, 1, 2, 3, 0}));

  // The dispatcher returned on the stopped report.
  services::WaitForState(L"Slow", SERVICE_STOPPED, 1000);
  for (int i = 0; i < 2000 && LogLines("Slow").back() != "dispatcher returned"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(LogLines("Slow").back(), "dispatcher returned");

  SERVICE_STATUS after{};
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &after));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_EQ(after.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(ServiceRuntimeTest, InterrogateIsAlwaysDeliveredAndUnacceptedControlsAreRefused) {
  SC_HANDLE h = Install("Picky", "--accept 1");
  ASSERT_EQ(StartAndWait(h, "Picky").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  SERVICE_STATUS s{};
  ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &s)) << GetLastError();
  EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  SERVICE_STATUS refused{};
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_PAUSE, &refused));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(refused.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  // Only the system sends these.
  for (DWORD control : std::vector<DWORD>{SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_SESSIONCHANGE, 0u, 300u}) {
    EXPECT_FALSE(ControlService(h, control, &s)) << control;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << control;
  }
  // A user-defined control reaches the handler, whose error comes back.
  EXPECT_FALSE(ControlService(h, 200, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

  auto controls = ControlLines("Picky");
  ASSERT_EQ(controls.size(), 2u);
  EXPECT_EQ(Field(controls[0], "control"), "4");
  EXPECT_EQ(Field(controls[0], "data"), "null");
  EXPECT_EQ(Field(controls[0], "context"), "ok");
  EXPECT_EQ(Field(controls[1], "control"), "200");
}

TEST_F(ServiceRuntimeTest, ControlsRunOneAtATimeOnTheDispatcherThread) {
  SC_HANDLE h = Install("Serial", "--accept 81 --handler-ms 30");
  ASSERT_EQ(StartAndWait(h, "Serial").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 3; ++i) {
        if (t % 2 == 0) {
          SERVICE_STATUS s{};
          if (!ControlService(h, SERVICE_CONTROL_INTERROGATE, &s)) ++failures;
        } else if (services::DeliverControl(L"Serial", SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, nullptr, 0,
                                            nullptr) != NO_ERROR) {
          ++failures;
        }
      }
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(failures.load(), 0);
  auto controls = ControlLines("Serial");
  ASSERT_EQ(controls.size(), 12u);
  std::string mainThread = Field(LogLines("Serial")[0], "thread");
  for (auto& line : controls) {
    EXPECT_EQ(Field(line, "thread"), Field(line, "dispatcher")) << line;
    EXPECT_NE(Field(line, "thread"), mainThread) << line;
    EXPECT_EQ(Field(line, "depth"), "1") << line;
  }
}

TEST_F(ServiceRuntimeTest, SessionChangeReachesOnlyServicesThatAcceptIt) {
  SC_HANDLE a = Install("Watcher", "--accept 81");
  SC_HANDLE b = Install("Deaf", "--accept 1");
  Install("Idle");  // never started
  ASSERT_EQ(StartAndWait(a, "Watcher").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_EQ(StartAndWait(b, "Deaf").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

  auto delivered = services::SendSessionChange(WTS_SESSION_LOGON, 3);
  EXPECT_EQ(delivered, (std::vector<std::wstring>{L"Watcher"}));
  services::SendSessionChange(WTS_SESSION_UNLOCK, 1);
  auto controls = ControlLines("Watcher");
  ASSERT_EQ(controls.size(), 2u);
  EXPECT_EQ(Field(controls[0], "control"), "14");
  EXPECT_EQ(Field(controls[0], "event"), "5");
  EXPECT_EQ(Field(controls[0], "cb"), "8");
  EXPECT_EQ(Field(controls[0], "session"), "3");
  EXPECT_EQ(Field(controls[1], "event"), "8");
  EXPECT_EQ(Field(controls[1], "session"), "1");
  EXPECT_TRUE(ControlLines("Deaf").empty());
}

TEST_F(ServiceRuntimeTest, ShutdownStopsEveryServiceThatAcceptsIt) {
  SC_HANDLE a = Install("One", "--accept 5 --stop-steps 2");
  SC_HANDLE b = Install("Two", "--accept 5");
  SC_HANDLE c = Install("Three", "--accept 1");
  for (auto [h, name] : {std::pair{a, "One"}, std::pair{b, "Two"}, std::pair{c, "Three"}}) {
    ASSERT_EQ(StartAndWait(h, name).dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)) << name;
  }
  auto r = Winsim({"shutdown"});
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(r.output, "One: STOPPED\nTwo: STOPPED\n");
  EXPECT_EQ(StatusOf(a), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(StatusOf(b), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(StatusOf(c), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(Field(ControlLines("One").at(0), "control"), "5");
  EXPECT_TRUE(ControlLines("Three").empty());
}

TEST_F(ServiceRuntimeTest, KilledServiceIsSeenAsStoppedAndStartsAgain) {
  SC_HANDLE h = Install("Fragile");
  ASSERT_EQ(StartAndWait(h, "Fragile").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  auto info = services::FindService(L"Fragile");
  ASSERT_TRUE(info && info->pid > 0);
  ASSERT_EQ(kill(static_cast<pid_t>(info->pid), SIGKILL), 0);
  auto stopped = services::WaitForState(L"Fragile", SERVICE_STOPPED, 30000);
  ASSERT_TRUE(stopped.has_value());
  EXPECT_EQ(stopped->status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(stopped->status.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_EQ(services::ServiceHistory(L"Fragile").back().source, "scm");
  SERVICE_STATUS s{};
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  // The socket the dead process left behind does not stand in the way.
  EXPECT_EQ(StartAndWait(h, "Fragile").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(ControlService(h, SERVICE_CONTROL_INTERROGATE, &s)) << GetLastError();
}

TEST_F(ServiceRuntimeTest, StartingServiceCannotAcceptControls) {
  SC_HANDLE h = Install("Sluggish", "--hang-start --step-ms 5");
  ASSERT_TRUE(StartServiceW(h, 0, nullptr)) << GetLastError();
  SERVICE_STATUS s{};
  EXPECT_FALSE(ControlService(h, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
}

TEST_F(ServiceRuntimeTest, MissingProgramAndDeletedRunningService) {
  SC_HANDLE missing = CreateServiceW(m_scm, L"Ghost", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\Windows\\nothere.exe", nullptr,
                                     nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(missing, nullptr);
  m_open.push_back(missing);
  EXPECT_FALSE(StartServiceW(missing, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(StatusOf(missing), static_cast<DWORD>(SERVICE_STOPPED));

  SC_HANDLE h = Install("Doomed");
  ASSERT_EQ(StartAndWait(h, "Doomed").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  ASSERT_TRUE(DeleteService(h));
  Close(h);
  // Still running: the entry stays until the service has stopped.
  ASSERT_TRUE(services::FindService(L"Doomed").has_value());
  auto r = Winsim({"service", "stop", "Doomed"});
  EXPECT_EQ(r.status, 0) << r.errors;
  EXPECT_FALSE(services::FindService(L"Doomed").has_value());
}

// A binary path installed unquoted from a folder with blanks is found as process creation finds an
// unquoted program: blank by blank, so C:\Program.exe, when it exists, is what runs.
TEST_F(ServiceRuntimeTest, UnquotedBinaryPathIsSearchedBlankByBlank) {
  std::string folder = MachinePath("drives/c/Program Files/Test Service");
  std::filesystem::create_directories(folder);
  std::filesystem::copy_file(BinPath("test_service.exe"), folder + "/svc.exe");
  std::wstring path = L"C:\\Program Files\\Test Service\\svc.exe";
  SC_HANDLE h = CreateServiceW(m_scm, L"Spaced", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                               (path + L" --log " + WideFromUtf8(LogPath("Spaced"))).c_str(), nullptr, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  m_open.push_back(h);
  ASSERT_EQ(StartAndWait(h, "Spaced").dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  auto running = services::FindService(L"Spaced");
  ASSERT_TRUE(running.has_value());
  auto process = FindProcess(running->pid);
  ASSERT_TRUE(process.has_value());
  EXPECT_EQ(process->imagePath, path);
  ASSERT_EQ(Winsim({"service", "stop", "Spaced"}).status, 0);

  // The well-known hijack of such a path: a program at the first blank wins.
  std::filesystem::copy_file(BinPath("test_service.exe"), MachinePath("drives/c/Program.exe"));
  EXPECT_TRUE(StartServiceW(h, 0, nullptr)) << GetLastError();
  auto hijacked = services::FindService(L"Spaced");
  ASSERT_TRUE(hijacked.has_value());
  auto first = FindProcess(hijacked->pid);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->imagePath, L"C:\\Program.exe");

  // Nothing at any blank: the error names the file that is missing.
  ASSERT_EQ(Winsim({"service", "stop", "Spaced"}).status, 0);
  std::filesystem::remove(MachinePath("drives/c/Program.exe"));
  std::filesystem::remove(folder + "/svc.exe");
  EXPECT_FALSE(StartServiceW(h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(ServiceRuntimeTest, CommandStartsAndStopsWithClearErrors) {
  Install("Cmd", "--start-steps 1");
  auto start = Winsim({"service", "start", "Cmd"});
  EXPECT_EQ(start.status, 0) << start.errors;
  EXPECT_NE(start.output.find("STATE: 4 RUNNING\n"), std::string::npos) << start.output;
  auto again = Winsim({"service", "start", "cmd"});
  EXPECT_NE(again.status, 0);
  EXPECT_EQ(again.errors, "winsim: StartService cmd failed: error 1056\n");
  auto list = Winsim({"service", "list"});
  EXPECT_NE(list.output.find("Cmd"), std::string::npos);
  EXPECT_NE(list.output.find("RUNNING"), std::string::npos);
  auto stop = Winsim({"service", "stop", "Cmd"});
  EXPECT_EQ(stop.status, 0) << stop.errors;
  EXPECT_NE(stop.output.find("STATE: 1 STOPPED\n"), std::string::npos) << stop.output;
  auto stopAgain = Winsim({"service", "stop", "Cmd"});
  EXPECT_EQ(stopAgain.errors, "winsim: ControlService(stop) Cmd failed: error 1062\n");
}

}  // namespace
}  // namespace winsim::test

namespace winsim::test {
namespace {

// An own-process service's handler registration does not check the name it is given.
TEST_F(ServiceRuntimeTest, OwnProcessServiceRegistersItsHandlerUnderAnyName) {
  SC_HANDLE h = Install("Named", "--handler-name SomethingElse");
  SERVICE_STATUS s = StartAndWait(h, "Named");
  EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  for (auto& line : LogLines("Named")) EXPECT_EQ(line.find("RegisterServiceCtrlHandlerExW failed"), std::string::npos);
  SERVICE_STATUS stopped{};
  EXPECT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &stopped)) << GetLastError();
}

}  // namespace
}  // namespace winsim::test
