// Time from a stop request (ControlService) to the service's SERVICE_STOPPED report, as recorded
// in the status history: the median over several runs of the control manager's test service.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchLine.h"
#include "BenchMachine.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/paths.h"
#include "core/strings.h"
#include "services/scm.h"
#include "windows.h"

int main() {
  namespace fs = std::filesystem;
  // The test service is built next to the winsim command: <build>/bin.
  fs::path self = fs::read_symlink("/proc/self/exe");
  std::string program = (self.parent_path().parent_path() / "bin" / "test_service.exe").string();
  if (!fs::exists(program)) {
    std::fprintf(stderr, "service_control_bench: build the test service first (%s)\n", program.c_str());
    return 1;
  }
  BenchMachine bench(false);
  if (!bench.Ok()) return 1;
  winsim::SetCurrentIdentity(winsim::AdministratorIdentity());

  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  std::wstring cmd = L"\"" + winsim::WindowsPathOf(program) + L"\"";
  SC_HANDLE svc = CreateServiceW(scm, L"BenchService", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, cmd.c_str(), nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
  if (!svc) {
    std::fprintf(stderr, "CreateServiceW failed %lu\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  const int runs = 25;
  std::vector<double> stopMs;
  for (int i = 0; i < runs; ++i) {
    if (!StartServiceW(svc, 0, nullptr)) {
      std::fprintf(stderr, "StartServiceW failed %lu\n", static_cast<unsigned long>(GetLastError()));
      return 1;
    }
    winsim::services::WaitWhileState(L"BenchService", SERVICE_START_PENDING, 30000);
    SERVICE_STATUS s{};
    double t0 = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    if (!ControlService(svc, SERVICE_CONTROL_STOP, &s)) {
      std::fprintf(stderr, "ControlService failed %lu\n", static_cast<unsigned long>(GetLastError()));
      return 1;
    }
    winsim::services::WaitForState(L"BenchService", SERVICE_STOPPED, 30000);
    auto history = winsim::services::ServiceHistory(L"BenchService");
    if (!history.empty() && history.back().state == SERVICE_STOPPED) stopMs.push_back((history.back().time - t0) * 1000);
  }
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  std::sort(stopMs.begin(), stopMs.end());
  if (stopMs.empty()) return 1;
  std::printf("stop request -> SERVICE_STOPPED report over %zu runs: median %.2f ms, min %.2f ms, max %.2f ms\n",
              stopMs.size(), stopMs[stopMs.size() / 2], stopMs.front(), stopMs.back());
  BenchLine("service.stop_to_stopped_median", stopMs[stopMs.size() / 2], "ms");
  return 0;
}
