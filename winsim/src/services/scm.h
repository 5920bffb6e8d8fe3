// The service control manager's side that winsim's own tools and subsystems use: the service
// records with their current status, the recorded status reports, and delivery of controls that
// programs cannot send through ControlService (session changes, shutdown).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "windows.h"

namespace winsim::services {

struct ServiceInfo {
  std::wstring name;
  std::wstring displayName;
  DWORD serviceType = 0;
  DWORD startType = 0;
  DWORD errorControl = 0;
  std::wstring binaryPath;              // the Windows command line as given
  std::optional<std::wstring> account;  // nullopt: LocalSystem
  std::vector<std::wstring> dependencies;
  bool markedForDelete = false;
  SERVICE_STATUS status{};
  int64_t pid = 0;  // of the running service process; 0 when stopped
};

struct StatusReport {
  double time = 0;  // seconds since the epoch
  DWORD state = 0, checkPoint = 0, waitHint = 0, controlsAccepted = 0, win32ExitCode = 0, serviceSpecificExitCode = 0;
  int64_t pid = 0;
  std::string source;  // "service" for SetServiceStatus, "scm" for the manager's own transitions
};

// A service by name (case-insensitive), its status brought up to date (a dead process counts as
// stopped); nullopt when there is none.
std::optional<ServiceInfo> FindService(const std::wstring& name);
std::vector<ServiceInfo> ListServices();
std::vector<StatusReport> ServiceHistory(const std::wstring& name);

// Sends one control to a service's handler and waits for its answer: NO_ERROR, the handler's
// error, or the manager's (ERROR_SERVICE_NOT_ACTIVE, ERROR_INVALID_SERVICE_CONTROL, …). *status,
// when given, receives the latest status. No access checks: callers are the system itself.
DWORD DeliverControl(const std::wstring& name, DWORD control, DWORD eventType, const void* eventData,
                     size_t eventDataSize, SERVICE_STATUS* status);

// Delivers SERVICE_CONTROL_SESSIONCHANGE with a WTSSESSION_NOTIFICATION to every running service
// that accepts it; returns the names of the services whose handler got it.
std::vector<std::wstring> SendSessionChange(DWORD eventType, DWORD sessionId);
// Delivers SERVICE_CONTROL_SHUTDOWN to every running service that accepts it.
std::vector<std::wstring> SendShutdown();

// Waits (real time, bounded) until the service's state is no longer `state`; returns the last
// status seen.
std::optional<ServiceInfo> WaitWhileState(const std::wstring& name, DWORD state, uint32_t timeoutMs);
std::optional<ServiceInfo> WaitForState(const std::wstring& name, DWORD state, uint32_t timeoutMs);

const char* StateName(DWORD state);

}  // namespace winsim::services
