// The service process's side: StartServiceCtrlDispatcherW connects to the manager by listening on
// the service's control socket, runs ServiceMain on a thread of its own and calls the control
// handler for each request, one at a time, on the dispatcher's own thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "core/fault.h"
#include "core/strings.h"
#include "services/internal.h"

using namespace winsim;
using namespace winsim::services::detail;

namespace {

struct Dispatcher {
  std::mutex lock;
  bool active = false;
  std::wstring serviceName;  // as the manager started it
  std::wstring nameKey;
  int64_t generation = 0;
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  std::vector<std::wstring> tableNames;
  LPHANDLER_FUNCTION_EX handlerEx = nullptr;
  LPHANDLER_FUNCTION handler = nullptr;
  LPVOID context = nullptr;
  SERVICE_STATUS status{};
  bool statusHandleIssued = false;
  int wakeWrite = -1;
};

Dispatcher g_dispatcher;
std::atomic<bool> g_called{false};
// The status handle of this process's service; one service per process is what winsim runs.
SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5e71ce);

// Kept for the life of the process: ServiceMain may hold on to its arguments.
std::vector<std::wstring> g_args;
std::vector<wchar_t*> g_argv;

std::vector<std::wstring> DecodeArgs(const char* hex) {
  std::vector<std::wstring> out;
  if (!hex || !*hex) return out;
  std::string text = hex;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(',', start);
    std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string bytes;
    for (size_t i = 0; i + 1 < part.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(part.substr(i, 2), nullptr, 16)));
    out.push_back(WideFromUtf8(bytes));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

DWORD Handle(const ControlRequest& req, std::vector<uint8_t>& data) {
  LPHANDLER_FUNCTION_EX ex;
  LPHANDLER_FUNCTION plain;
  LPVOID context;
  {
    std::lock_guard<std::mutex> lock(g_dispatcher.lock);
    if (DWORD refusal = CheckControlAllowed(g_dispatcher.status, req.control)) return refusal;
    ex = g_dispatcher.handlerEx;
    plain = g_dispatcher.handler;
    context = g_dispatcher.context;
  }
  if (ex) return ex(req.control, req.eventType, data.empty() ? nullptr : data.data(), context);
  if (plain) {
    plain(req.control);
    return NO_ERROR;
  }
  return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
}

void Serve(int client) {
  ControlRequest req{};
  if (!ReadFull(client, &req, sizeof(req), 5000) || req.dataSize > kMaxEventData) return;
  // Aligned for the structures that event data carries.
  std::vector<uint8_t> data(req.dataSize);
  if (req.dataSize && !ReadFull(client, data.data(), data.size(), 5000)) return;
  uint32_t answer = Handle(req, data);
  WriteFull(client, &answer, sizeof(answer));
}

bool Stopped() {
  std::lock_guard<std::mutex> lock(g_dispatcher.lock);
  return g_dispatcher.status.dwCurrentState == SERVICE_STOPPED;
}

}  // namespace

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable) {
  WINSIM_FAULT_BOOL("StartServiceCtrlDispatcherW");
  const char* name = std::getenv("WINSIM_SERVICE_NAME");
  const char* generationText = std::getenv("WINSIM_SERVICE_GENERATION");
  if (!name || !generationText || !HasMachine()) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (!lpServiceStartTable) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (g_called.exchange(true)) {
    SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
    return FALSE;
  }
  std::vector<const SERVICE_TABLE_ENTRYW*> entries;
  for (const SERVICE_TABLE_ENTRYW* e = lpServiceStartTable; e->lpServiceName || e->lpServiceProc; ++e) {
    if (!e->lpServiceName || !e->lpServiceProc) {
      g_called = false;
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
    entries.push_back(e);
  }
  if (entries.empty()) {
    g_called = false;
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }

  std::wstring serviceName = WideFromUtf8(name);
  std::wstring key = UpperCase(serviceName);
  int64_t generation = std::atoll(generationText);
  DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
  {
    // Only the process that the manager started for the current start may connect.
    Statement q(ServiceDb().Raw(), "SELECT pid, generation, type FROM services WHERE name_key=?");
    q.Bind(1, Utf8FromWide(key));
    if (!q.Step() || q.Int(0) != getpid() || q.Int(1) != generation) {
      g_called = false;
      SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
      return FALSE;
    }
    serviceType = static_cast<DWORD>(q.Int(2));
  }
  // An own-process service runs the first entry whatever its name; a shared process the entry
  // named like the service.
  const SERVICE_TABLE_ENTRYW* chosen = nullptr;
  if ((serviceType & SERVICE_WIN32_SHARE_PROCESS) == 0) {
    chosen = entries[0];
  } else {
    for (auto* e : entries) {
      if (EqualsNoCase(e->lpServiceName, serviceName)) chosen = e;
    }
  }

  sockaddr_un addr;
  std::string path;
  socklen_t len = ControlSocketAddress(serviceName, &addr, &path);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int wake[2] = {-1, -1};
  if (!path.empty()) unlink(path.c_str());  // a stale socket of an earlier run
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener, 64) != 0 ||
      pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    if (listener >= 0) close(listener);
    g_called = false;
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  struct stat ours {};
  if (!path.empty()) stat(path.c_str(), &ours);

  {
    std::lock_guard<std::mutex> lock(g_dispatcher.lock);
    g_dispatcher.active = true;
    g_dispatcher.serviceName = serviceName;
    g_dispatcher.nameKey = key;
    g_dispatcher.generation = generation;
    g_dispatcher.serviceType = serviceType;
    for (auto* e : entries) g_dispatcher.tableNames.emplace_back(e->lpServiceName);
    g_dispatcher.status.dwServiceType = serviceType;
    g_dispatcher.status.dwCurrentState = SERVICE_START_PENDING;
    g_dispatcher.wakeWrite = wake[1];
  }

  if (!chosen) {
    SERVICE_STATUS s{};
    s.dwServiceType = serviceType;
    s.dwCurrentState = SERVICE_STOPPED;
    s.dwWin32ExitCode = ERROR_SERVICE_NOT_IN_EXE;
    RecordStatus(key, generation, s, getpid(), "scm");
  } else {
    Statement up(ServiceDb().Raw(), "UPDATE services SET connected=1 WHERE name_key=? AND generation=?");
    up.Bind(1, Utf8FromWide(key)).Bind(2, generation).Step();
    g_args.clear();
    g_args.push_back(serviceName);
    for (auto& a : DecodeArgs(std::getenv("WINSIM_SERVICE_ARGS"))) g_args.push_back(a);
    g_argv.clear();
    for (auto& a : g_args) g_argv.push_back(a.data());
    g_argv.push_back(nullptr);
    LPSERVICE_MAIN_FUNCTIONW main = chosen->lpServiceProc;
    DWORD argc = static_cast<DWORD>(g_args.size());
    // Windows does not wait for ServiceMain's thread: the dispatcher returns on the stopped report.
    std::thread([main, argc] { main(argc, g_argv.data()); }).detach();
  }

  while (!Stopped()) {
    pollfd fds[2] = {{listener, POLLIN, 0}, {wake[0], POLLIN, 0}};
    int rc = poll(fds, 2, 500);
    if (rc < 0 && errno != EINTR) break;
    if (rc <= 0) continue;
    if (fds[1].revents) {
      char buf[16];
      while (read(wake[0], buf, sizeof(buf)) > 0) {
      }
    }
    if (fds[0].revents & POLLIN) {
      int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        Serve(client);
        close(client);
      }
    }
  }

  close(listener);
  // Leave a socket that a newer start of the service has bound alone.
  struct stat now {};
  if (!path.empty() && stat(path.c_str(), &now) == 0 && now.st_ino == ours.st_ino && now.st_dev == ours.st_dev) {
    unlink(path.c_str());
  }
  {
    std::lock_guard<std::mutex> lock(g_dispatcher.lock);
    g_dispatcher.wakeWrite = -1;
  }
  close(wake[0]);
  close(wake[1]);
  if (!chosen) {
    SetLastError(ERROR_SERVICE_NOT_IN_EXE);
    return FALSE;
  }
  return TRUE;
}

namespace {
SERVICE_STATUS_HANDLE Register(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX ex, LPHANDLER_FUNCTION plain,
                               LPVOID context) {
  if (!ex && !plain) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_dispatcher.lock);
  // "If the service type is SERVICE_WIN32_OWN_PROCESS, the function does not verify that the
  // specified name is valid"; a name that no entry of a shared process's table carries fails with
  // ERROR_SERVICE_NOT_IN_EXE. Outside a dispatcher there is no service to register for.
  if (!g_dispatcher.active) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (g_dispatcher.serviceType & SERVICE_WIN32_SHARE_PROCESS) {
    bool known = false;
    if (lpServiceName) {
      known = EqualsNoCase(lpServiceName, g_dispatcher.serviceName);
      for (auto& n : g_dispatcher.tableNames) known = known || EqualsNoCase(lpServiceName, n);
    }
    if (!known) {
      SetLastError(ERROR_SERVICE_NOT_IN_EXE);
      return nullptr;
    }
  }
  g_dispatcher.handlerEx = ex;
  g_dispatcher.handler = plain;
  g_dispatcher.context = context;
  g_dispatcher.statusHandleIssued = true;
  SetLastError(ERROR_SUCCESS);
  return kStatusHandle;
}
}  // namespace

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION_EX lpHandlerProc,
                                                          LPVOID lpContext) {
  WINSIM_FAULT_VALUE("RegisterServiceCtrlHandlerExW", nullptr);
  return Register(lpServiceName, lpHandlerProc, nullptr, lpContext);
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc) {
  WINSIM_FAULT_VALUE("RegisterServiceCtrlHandlerW", nullptr);
  return Register(lpServiceName, nullptr, lpHandlerProc, nullptr);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus) {
  WINSIM_FAULT_BOOL("SetServiceStatus");
  std::wstring key;
  int64_t generation;
  {
    std::lock_guard<std::mutex> lock(g_dispatcher.lock);
    if (hServiceStatus != kStatusHandle || !g_dispatcher.statusHandleIssued) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    key = g_dispatcher.nameKey;
    generation = g_dispatcher.generation;
  }
  if (!lpServiceStatus || lpServiceStatus->dwCurrentState < SERVICE_STOPPED ||
      lpServiceStatus->dwCurrentState > SERVICE_PAUSED) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  SERVICE_STATUS s = *lpServiceStatus;
  // The database first: whoever sees the dispatcher gone must find the stopped report there.
  RecordStatus(key, generation, s, getpid(), "service");
  std::lock_guard<std::mutex> lock(g_dispatcher.lock);
  g_dispatcher.status = s;
  if (s.dwCurrentState == SERVICE_STOPPED && g_dispatcher.wakeWrite >= 0) {
    char c = 1;
    (void)!write(g_dispatcher.wakeWrite, &c, 1);
  }
  return TRUE;
}
