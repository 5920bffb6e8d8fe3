// Installing a service program on the test machine and reading what the control manager and the
// event log recorded of its run.
#pragma once
#include <signal.h>

#include <string>
#include <vector>

#include "MachineTest.h"
#include "core/paths.h"
#include "core/strings.h"
#include "etw/etw.h"
#include "services/scm.h"
#include "windows.h"

namespace winsim::test {

class ServiceRunTest : public MachineTest {
 protected:
  void TearDown() override {
    // No service process outlives its machine.
    for (auto& s : services::ListServices()) {
      if (s.pid > 0) kill(static_cast<pid_t>(s.pid), SIGKILL);
    }
    MachineTest::TearDown();
  }

  // Registers a service whose binary path is the program (a Windows path of a built program) and
  // its arguments; returns false when the control manager refused.
  bool Register(const std::wstring& name, const std::string& program, const std::wstring& arguments = L"") {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (scm == nullptr) return false;
    std::wstring command = L"\"" + WindowsPathOf(BinPath(program)) + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    SC_HANDLE service = CreateServiceW(scm, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return service != nullptr;
  }

  // Sends a control through ControlService; the error code, or 0.
  DWORD Control(const std::wstring& name, DWORD control) {
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(scm, name.c_str(), SERVICE_ALL_ACCESS);
    SERVICE_STATUS status = {};
    DWORD error = ControlService(service, control, &status) ? 0 : GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(scm);
    return error;
  }

  DWORD State(const std::wstring& name) {
    auto info = services::FindService(name);
    return info ? info->status.dwCurrentState : 0;
  }

  // The reports the service made itself, as "STATE/checkpoint/controls/exit".
  std::vector<std::string> Reports(const std::wstring& name) {
    std::vector<std::string> out;
    for (auto& r : services::ServiceHistory(name)) {
      if (r.source != "service") continue;
      char line[128];
      std::snprintf(line, sizeof(line), "%s/%lu/0x%lx/%lu", services::StateName(r.state),
                    static_cast<unsigned long>(r.checkPoint), static_cast<unsigned long>(r.controlsAccepted),
                    static_cast<unsigned long>(r.win32ExitCode));
      out.push_back(line);
    }
    return out;
  }

  // Events of the service's provider as "level: text".
  std::vector<std::string> Events() {
    std::vector<std::string> out;
    for (auto& e : etw::ReadEvents(std::string("{5B1E7A42-9C3D-4F80-A1B6-2E7D94C3F015}"))) {
      out.push_back(std::to_string(e.level) + ": " + Utf8FromWide(e.text));
    }
    return out;
  }

  // Waits (bounded, real time) until the service reaches the state.
  bool WaitFor(const std::wstring& name, DWORD state) {
    return services::WaitForState(name, state, 30000).has_value() && State(name) == state;
  }

  std::string ServiceOutput(const std::string& name) { return ReadFile(MachinePath("run/services/" + name + ".out")); }

  // Polls (bounded, real time) until the condition holds; the service process goes on a little
  // after its last report.
  template <class Condition>
  bool Eventually(Condition condition) {
    for (int i = 0; i < 600; ++i) {
      if (condition()) return true;
      Sleep(50);
    }
    return condition();
  }
};

}  // namespace winsim::test
