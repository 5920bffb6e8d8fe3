// What the manager side (any process) and the dispatcher side (the service process) share: the
// schema, process liveness, the control socket's address and the wire form of a control request.
#pragma once
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

#include "core/machine.h"
#include "windows.h"

namespace winsim::services::detail {
using namespace ::winsim;

Database& ServiceDb();

// The start time of a process as /proc gives it (clock ticks since boot), empty when there is no
// such process; with the pid it names one process even when pids are reused.
std::string ProcessStartTime(int64_t pid);
// Running (not a zombie) and still the process that was recorded.
bool ProcessAlive(int64_t pid, const std::string& startTime);

// <machine>/run/services/<name>.sock; a path too long for sockaddr_un falls back to an abstract
// address derived from it.
socklen_t ControlSocketAddress(const std::wstring& serviceName, sockaddr_un* address, std::string* path);

// A control request: three little-endian DWORDs (control, event type, event data size), then the
// event data. The answer is one DWORD: the handler's result or the dispatcher's refusal.
struct ControlRequest {
  uint32_t control;
  uint32_t eventType;
  uint32_t dataSize;
};
constexpr uint32_t kMaxEventData = 4096;

// Records a status report: the service's current status and a history row, in one transaction.
// Only the process of the current start (generation) may report; false when it is not that one.
bool RecordStatus(const std::wstring& nameKey, int64_t generation, const SERVICE_STATUS& status, int64_t pid,
                  const char* source);
// Removes a service marked for deletion once it is stopped and no process holds a handle to it.
void RemoveIfDeletable(const std::wstring& nameKey);

// NO_ERROR when a control may reach a service in this status, else the manager's refusal.
DWORD CheckControlAllowed(const SERVICE_STATUS& status, DWORD control);

bool ReadFull(int fd, void* data, size_t size, int timeoutMs);
bool WriteFull(int fd, const void* data, size_t size);

double NowSeconds();

}  // namespace winsim::services::detail
