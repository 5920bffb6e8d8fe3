// winsim service start|stop|query|list, winsim shutdown: the machine's services in the style of sc.
#include <cstdio>
#include <ctime>
#include <string>

#include "command.h"
#include "core/strings.h"
#include "services/scm.h"
#include "windows.h"

namespace winsim::cli {
namespace {

using services::ServiceInfo;

// Services may take their time to start and stop; these bounds keep the command from hanging.
constexpr uint32_t kStartWaitMs = 30000;
constexpr uint32_t kStopWaitMs = 30000;
constexpr uint32_t kShutdownWaitMs = 20000;

int Win32Fail(const std::string& what, DWORD error) {
  return Fail(what + " failed: error " + std::to_string(error));
}

void PrintStatus(const ServiceInfo& s) {
  std::printf("SERVICE_NAME: %s\n", Utf8FromWide(s.name).c_str());
  std::printf("STATE: %lu %s\n", static_cast<unsigned long>(s.status.dwCurrentState), services::StateName(s.status.dwCurrentState));
  std::printf("PID: %lld\n", static_cast<long long>(s.pid));
  std::printf("CONTROLS_ACCEPTED: 0x%lx\n", static_cast<unsigned long>(s.status.dwControlsAccepted));
  std::printf("WIN32_EXIT_CODE: %lu\n", static_cast<unsigned long>(s.status.dwWin32ExitCode));
  std::printf("SERVICE_EXIT_CODE: %lu\n", static_cast<unsigned long>(s.status.dwServiceSpecificExitCode));
  std::printf("CHECKPOINT: %lu\n", static_cast<unsigned long>(s.status.dwCheckPoint));
  std::printf("WAIT_HINT: %lu\n", static_cast<unsigned long>(s.status.dwWaitHint));
}

struct Handles {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  ~Handles() {
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
  }
};

// Opens the service through the Win32 functions, so that the caller's rights apply.
int Open(const std::string& name, DWORD access, Handles* h) {
  h->manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!h->manager) return Win32Fail("OpenSCManager", GetLastError());
  h->service = OpenServiceW(h->manager, WideFromUtf8(name).c_str(), access);
  if (!h->service) {
    DWORD e = GetLastError();
    if (e == ERROR_SERVICE_DOES_NOT_EXIST) return Fail("no service " + name + " on this machine (error 1060)");
    return Win32Fail("OpenService " + name, e);
  }
  return 0;
}

int Start(const std::string& name) {
  Handles h;
  if (int rc = Open(name, SERVICE_START | SERVICE_QUERY_STATUS, &h)) return rc;
  if (!StartServiceW(h.service, 0, nullptr)) return Win32Fail("StartService " + name, GetLastError());
  auto info = services::WaitWhileState(WideFromUtf8(name), SERVICE_START_PENDING, kStartWaitMs);
  if (!info) return Fail("service " + name + " went away while starting");
  PrintStatus(*info);
  if (info->status.dwCurrentState == SERVICE_START_PENDING) return Fail("service " + name + " is still starting");
  if (info->status.dwCurrentState == SERVICE_STOPPED) return Fail("service " + name + " stopped while starting");
  return 0;
}

int Stop(const std::string& name) {
  Handles h;
  if (int rc = Open(name, SERVICE_STOP | SERVICE_QUERY_STATUS, &h)) return rc;
  SERVICE_STATUS status{};
  if (!ControlService(h.service, SERVICE_CONTROL_STOP, &status)) {
    return Win32Fail("ControlService(stop) " + name, GetLastError());
  }
  auto info = services::WaitForState(WideFromUtf8(name), SERVICE_STOPPED, kStopWaitMs);
  if (info) PrintStatus(*info);
  if (info && info->status.dwCurrentState != SERVICE_STOPPED) return Fail("service " + name + " did not stop in time");
  return 0;
}

int Query(const std::string& name, bool history) {
  Handles h;
  if (int rc = Open(name, SERVICE_QUERY_STATUS, &h)) return rc;
  auto info = services::FindService(WideFromUtf8(name));
  if (!info) return Fail("no service " + name + " on this machine (error 1060)");
  PrintStatus(*info);
  if (history) {
    std::printf("HISTORY:\n%-23s %-14s %-10s %-9s %-8s %-6s %-6s %-8s %s\n", "TIME", "STATE", "CHECKPOINT", "WAIT_HINT",
                "CONTROLS", "WIN32", "SPEC", "PID", "SOURCE");
    for (auto& r : services::ServiceHistory(info->name)) {
      // Local time to the millisecond, as the log files show it.
      time_t seconds = static_cast<time_t>(r.time);
      struct tm local;
      localtime_r(&seconds, &local);
      char when[32];
      size_t n = std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
      std::snprintf(when + n, sizeof(when) - n, ".%03d", static_cast<int>((r.time - static_cast<double>(seconds)) * 1000));
      std::printf("%-23s %-14s %-10lu %-9lu 0x%-6lx %-6lu %-6lu %-8lld %s\n", when, services::StateName(r.state),
                  static_cast<unsigned long>(r.checkPoint), static_cast<unsigned long>(r.waitHint),
                  static_cast<unsigned long>(r.controlsAccepted), static_cast<unsigned long>(r.win32ExitCode),
                  static_cast<unsigned long>(r.serviceSpecificExitCode), static_cast<long long>(r.pid), r.source.c_str());
    }
  }
  return 0;
}

int List() {
  std::printf("%-32s %-14s %-8s %s\n", "NAME", "STATE", "PID", "DISPLAY NAME");
  for (auto& s : services::ListServices()) {
    std::printf("%-32s %-14s %-8lld %s%s\n", Utf8FromWide(s.name).c_str(), services::StateName(s.status.dwCurrentState),
                static_cast<long long>(s.pid), Utf8FromWide(s.displayName).c_str(),
                s.markedForDelete ? " (marked for deletion)" : "");
  }
  return 0;
}

int Service(const Args& argsIn) {
  Args args = argsIn;
  bool history = TakeFlag(args, "--history");
  if (args.empty()) return Fail("usage: winsim service start|stop|query|list [NAME]");
  const std::string& sub = args[0];
  if (sub == "list" && args.size() == 1) return List();
  if (args.size() != 2) return Fail("usage: winsim service " + sub + " NAME");
  if (sub == "start") return Start(args[1]);
  if (sub == "stop") return Stop(args[1]);
  if (sub == "query") return Query(args[1], history);
  return Fail("unknown service sub-command '" + sub + "'");
}

int Shutdown(const Args& args) {
  if (!args.empty()) return Fail("usage: winsim shutdown");
  auto told = services::SendShutdown();
  int failed = 0;
  for (auto& name : told) {
    auto info = services::WaitForState(name, SERVICE_STOPPED, kShutdownWaitMs);
    bool stopped = !info || info->status.dwCurrentState == SERVICE_STOPPED;
    std::printf("%s: %s\n", Utf8FromWide(name).c_str(), stopped ? "STOPPED" : "did not stop in time");
    if (!stopped) ++failed;
  }
  if (failed) return Fail(std::to_string(failed) + " service(s) did not stop in time");
  return 0;
}

Registrar serviceCommand({"service", "winsim service start|stop|query NAME     start, stop or show a service (query --history: every report)\n"
                                     "winsim service list                        the machine's services", Service});
Registrar shutdownCommand({"shutdown", "winsim shutdown                            tell every running service that accepts it to shut down", Shutdown});

}  // namespace
}  // namespace winsim::cli
