// The service control manager: the service database in the machine's SQLite state, SC_HANDLEs,
// starting service processes and sending them controls over their dispatcher's socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "core/fault.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/process.h"
#include "services/internal.h"
#include "services/scm.h"

namespace winsim::services {
namespace detail {

namespace {
const char* kSchema =
    "CREATE TABLE IF NOT EXISTS services (name_key TEXT PRIMARY KEY, name TEXT NOT NULL, display TEXT NOT NULL,"
    " display_key TEXT NOT NULL, type INTEGER NOT NULL, start_type INTEGER NOT NULL, error_control INTEGER NOT NULL,"
    " binary TEXT NOT NULL, account TEXT, dependencies TEXT NOT NULL, marked_delete INTEGER NOT NULL DEFAULT 0,"
    " state INTEGER NOT NULL DEFAULT 1, controls INTEGER NOT NULL DEFAULT 0, win32_exit INTEGER NOT NULL DEFAULT 1077,"
    " specific_exit INTEGER NOT NULL DEFAULT 0, checkpoint INTEGER NOT NULL DEFAULT 0,"
    " wait_hint INTEGER NOT NULL DEFAULT 0, pid INTEGER NOT NULL DEFAULT 0, pid_start TEXT NOT NULL DEFAULT '',"
    " generation INTEGER NOT NULL DEFAULT 0, connected INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS service_history (id INTEGER PRIMARY KEY AUTOINCREMENT, name_key TEXT NOT NULL,"
    " time_us INTEGER NOT NULL, state INTEGER NOT NULL, checkpoint INTEGER NOT NULL, wait_hint INTEGER NOT NULL,"
    " controls INTEGER NOT NULL, win32_exit INTEGER NOT NULL, specific_exit INTEGER NOT NULL, pid INTEGER NOT NULL,"
    " source TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS service_handles (id INTEGER PRIMARY KEY AUTOINCREMENT, name_key TEXT NOT NULL,"
    " pid INTEGER NOT NULL, pid_start TEXT NOT NULL);";
}  // namespace

Database& ServiceDb() {
  Database& db = Database::Get();
  db.EnsureSchema("services", kSchema);
  return db;
}

double NowSeconds() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::string ProcessStartTime(int64_t pid) {
  if (pid <= 0) return {};
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return {};
  size_t close = line.rfind(')');
  if (close == std::string::npos) return {};
  // Fields after the command name: state is field 3, starttime field 22.
  std::string rest = line.substr(close + 2);
  size_t pos = 0;
  for (int field = 3; field < 22; ++field) {
    pos = rest.find(' ', pos);
    if (pos == std::string::npos) return {};
    ++pos;
  }
  size_t end = rest.find(' ', pos);
  return rest.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}

bool ProcessAlive(int64_t pid, const std::string& startTime) {
  if (pid <= 0) return false;
  // A service process that this process started is its child: reap it once it has ended.
  int status = 0;
  waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  size_t close = line.rfind(')');
  if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') return false;
  return startTime.empty() || ProcessStartTime(pid) == startTime;
}

socklen_t ControlSocketAddress(const std::wstring& serviceName, sockaddr_un* address, std::string* pathOut) {
  std::string path = MachineDir() + "/run/services/" + Utf8FromWide(serviceName) + ".sock";
  if (pathOut) *pathOut = path;
  std::memset(address, 0, sizeof(*address));
  address->sun_family = AF_UNIX;
  if (path.size() < sizeof(address->sun_path)) {
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  }
  std::string abstractName = "winsim-service-" + std::to_string(std::hash<std::string>{}(path));
  if (pathOut) pathOut->clear();
  std::memcpy(address->sun_path + 1, abstractName.data(), abstractName.size());
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size());
}

bool ReadFull(int fd, void* data, size_t size, int timeoutMs) {
  auto* p = static_cast<char*>(data);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (size > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    int rc = poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    ssize_t n = read(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteFull(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

namespace {
void InsertHistory(Database& db, const std::wstring& nameKey, const SERVICE_STATUS& s, int64_t pid, const char* source) {
  Statement ins(db.Raw(),
                "INSERT INTO service_history(name_key, time_us, state, checkpoint, wait_hint, controls, win32_exit,"
                " specific_exit, pid, source) VALUES(?,?,?,?,?,?,?,?,?,?)");
  ins.Bind(1, Utf8FromWide(nameKey)).Bind(2, static_cast<int64_t>(NowSeconds() * 1e6)).Bind(3, int64_t{s.dwCurrentState});
  ins.Bind(4, int64_t{s.dwCheckPoint}).Bind(5, int64_t{s.dwWaitHint}).Bind(6, int64_t{s.dwControlsAccepted});
  ins.Bind(7, int64_t{s.dwWin32ExitCode}).Bind(8, int64_t{s.dwServiceSpecificExitCode}).Bind(9, pid).Bind(10, source);
  ins.Step();
}

void WriteStatus(Database& db, const std::wstring& nameKey, const SERVICE_STATUS& s, int64_t pid) {
  Statement up(db.Raw(),
               "UPDATE services SET state=?, controls=?, win32_exit=?, specific_exit=?, checkpoint=?, wait_hint=?,"
               " pid=? WHERE name_key=?");
  up.Bind(1, int64_t{s.dwCurrentState}).Bind(2, int64_t{s.dwControlsAccepted}).Bind(3, int64_t{s.dwWin32ExitCode});
  up.Bind(4, int64_t{s.dwServiceSpecificExitCode}).Bind(5, int64_t{s.dwCheckPoint}).Bind(6, int64_t{s.dwWaitHint});
  up.Bind(7, pid).Bind(8, Utf8FromWide(nameKey));
  up.Step();
}
}  // namespace

bool RecordStatus(const std::wstring& nameKey, int64_t generation, const SERVICE_STATUS& status, int64_t pid,
                  const char* source) {
  Database& db = ServiceDb();
  {
    Transaction tx;
    {
      Statement q(db.Raw(), "SELECT generation FROM services WHERE name_key=?");
      q.Bind(1, Utf8FromWide(nameKey));
      if (!q.Step() || q.Int(0) != generation) return false;
    }
    WriteStatus(db, nameKey, status, status.dwCurrentState == SERVICE_STOPPED ? 0 : pid);
    InsertHistory(db, nameKey, status, pid, source);
    tx.Commit();
  }
  if (status.dwCurrentState == SERVICE_STOPPED) RemoveIfDeletable(nameKey);
  return true;
}

void RemoveIfDeletable(const std::wstring& nameKey) {
  Database& db = ServiceDb();
  Transaction tx;
  std::string key = Utf8FromWide(nameKey);
  Statement q(db.Raw(), "SELECT marked_delete, state FROM services WHERE name_key=?");
  q.Bind(1, key);
  if (!q.Step() || q.Int(0) == 0 || q.Int(1) != SERVICE_STOPPED) return;
  // Handles of processes that have ended were closed with them.
  Statement handles(db.Raw(), "SELECT id, pid, pid_start FROM service_handles WHERE name_key=?");
  handles.Bind(1, key);
  std::vector<int64_t> dead;
  bool open = false;
  while (handles.Step()) {
    if (ProcessAlive(handles.Int(1), handles.Text(2))) {
      open = true;
    } else {
      dead.push_back(handles.Int(0));
    }
  }
  for (int64_t id : dead) {
    Statement del(db.Raw(), "DELETE FROM service_handles WHERE id=?");
    del.Bind(1, id).Step();
  }
  if (!open) {
    Statement d1(db.Raw(), "DELETE FROM services WHERE name_key=?");
    d1.Bind(1, key).Step();
    Statement d2(db.Raw(), "DELETE FROM service_history WHERE name_key=?");
    d2.Bind(1, key).Step();
  }
  tx.Commit();
}

}  // namespace detail

using namespace detail;

namespace {

// Brings the recorded status up to date: a service whose process has ended without reporting
// SERVICE_STOPPED is stopped, as Windows' manager sees when the process goes away.
void RefreshLocked(Database& db, const std::wstring& nameKey) {
  Statement q(db.Raw(), "SELECT state, pid, pid_start FROM services WHERE name_key=?");
  q.Bind(1, Utf8FromWide(nameKey));
  if (!q.Step()) return;
  DWORD state = static_cast<DWORD>(q.Int(0));
  int64_t pid = q.Int(1);
  std::string start = q.Text(2);
  if (state == SERVICE_STOPPED || pid <= 0 || ProcessAlive(pid, start)) return;
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = SERVICE_STOPPED;
  s.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
  WriteStatus(db, nameKey, s, 0);
  InsertHistory(db, nameKey, s, pid, "scm");
  // Its dispatcher's socket is stale now.
  std::string path;
  sockaddr_un addr;
  ControlSocketAddress(nameKey, &addr, &path);
  if (!path.empty()) unlink(path.c_str());
}

std::optional<ServiceInfo> ReadService(Database& db, const std::wstring& nameKey) {
  Statement q(db.Raw(),
              "SELECT name, display, type, start_type, error_control, binary, account, dependencies, marked_delete,"
              " state, controls, win32_exit, specific_exit, checkpoint, wait_hint, pid FROM services WHERE name_key=?");
  q.Bind(1, Utf8FromWide(nameKey));
  if (!q.Step()) return std::nullopt;
  ServiceInfo info;
  info.name = WideFromUtf8(q.Text(0));
  info.displayName = WideFromUtf8(q.Text(1));
  info.serviceType = static_cast<DWORD>(q.Int(2));
  info.startType = static_cast<DWORD>(q.Int(3));
  info.errorControl = static_cast<DWORD>(q.Int(4));
  info.binaryPath = WideFromUtf8(q.Text(5));
  if (!q.IsNull(6)) info.account = WideFromUtf8(q.Text(6));
  std::wstring deps = WideFromUtf8(q.Text(7));
  size_t start = 0;
  while (start < deps.size()) {
    size_t end = deps.find(L'\n', start);
    if (end == std::wstring::npos) end = deps.size();
    if (end > start) info.dependencies.push_back(deps.substr(start, end - start));
    start = end + 1;
  }
  info.markedForDelete = q.Int(8) != 0;
  info.status.dwServiceType = info.serviceType;
  info.status.dwCurrentState = static_cast<DWORD>(q.Int(9));
  info.status.dwControlsAccepted = static_cast<DWORD>(q.Int(10));
  info.status.dwWin32ExitCode = static_cast<DWORD>(q.Int(11));
  info.status.dwServiceSpecificExitCode = static_cast<DWORD>(q.Int(12));
  info.status.dwCheckPoint = static_cast<DWORD>(q.Int(13));
  info.status.dwWaitHint = static_cast<DWORD>(q.Int(14));
  info.pid = q.Int(15);
  return info;
}

std::optional<ServiceInfo> LoadRefreshed(const std::wstring& nameKey) {
  Database& db = ServiceDb();
  {
    Transaction tx;
    RefreshLocked(db, nameKey);
    tx.Commit();
  }
  RemoveIfDeletable(nameKey);
  return ReadService(db, nameKey);
}

DWORD AcceptFlagFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP: return SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE: return SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN: return SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_PARAMCHANGE: return SERVICE_ACCEPT_PARAMCHANGE;
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: return SERVICE_ACCEPT_NETBINDCHANGE;
    case SERVICE_CONTROL_HARDWAREPROFILECHANGE: return SERVICE_ACCEPT_HARDWAREPROFILECHANGE;
    case SERVICE_CONTROL_POWEREVENT: return SERVICE_ACCEPT_POWEREVENT;
    case SERVICE_CONTROL_SESSIONCHANGE: return SERVICE_ACCEPT_SESSIONCHANGE;
    case SERVICE_CONTROL_PRESHUTDOWN: return SERVICE_ACCEPT_PRESHUTDOWN;
    case SERVICE_CONTROL_TIMECHANGE: return SERVICE_ACCEPT_TIMECHANGE;
    case SERVICE_CONTROL_TRIGGEREVENT: return SERVICE_ACCEPT_TRIGGEREVENT;
    default: return 0;  // interrogate, device events and user-defined controls need no flag
  }
}

}  // namespace

// Whether a control may reach a service in this status. Windows refuses every control while the
// service is starting or stopping (ERROR_SERVICE_CANNOT_ACCEPT_CTRL), refuses a control that the
// last report does not accept (ERROR_INVALID_SERVICE_CONTROL), and always delivers interrogate.
DWORD detail::CheckControlAllowed(const SERVICE_STATUS& s, DWORD control) {
  if (s.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (s.dwCurrentState == SERVICE_START_PENDING || s.dwCurrentState == SERVICE_STOP_PENDING) {
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
  if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  DWORD flag = AcceptFlagFor(control);
  if (flag != 0 && (s.dwControlsAccepted & flag) == 0) return ERROR_INVALID_SERVICE_CONTROL;
  return NO_ERROR;
}

std::optional<ServiceInfo> FindService(const std::wstring& name) { return LoadRefreshed(UpperCase(name)); }

std::vector<ServiceInfo> ListServices() {
  std::vector<std::wstring> keys;
  {
    Statement q(ServiceDb().Raw(), "SELECT name_key FROM services ORDER BY name_key");
    while (q.Step()) keys.push_back(WideFromUtf8(q.Text(0)));
  }
  std::vector<ServiceInfo> out;
  for (auto& key : keys) {
    if (auto info = LoadRefreshed(key)) out.push_back(*info);
  }
  return out;
}

std::vector<StatusReport> ServiceHistory(const std::wstring& name) {
  LoadRefreshed(UpperCase(name));
  Statement q(ServiceDb().Raw(),
              "SELECT time_us, state, checkpoint, wait_hint, controls, win32_exit, specific_exit, pid, source"
              " FROM service_history WHERE name_key=? ORDER BY id");
  q.Bind(1, Utf8FromWide(UpperCase(name)));
  std::vector<StatusReport> out;
  while (q.Step()) {
    StatusReport r;
    r.time = static_cast<double>(q.Int(0)) / 1e6;
    r.state = static_cast<DWORD>(q.Int(1));
    r.checkPoint = static_cast<DWORD>(q.Int(2));
    r.waitHint = static_cast<DWORD>(q.Int(3));
    r.controlsAccepted = static_cast<DWORD>(q.Int(4));
    r.win32ExitCode = static_cast<DWORD>(q.Int(5));
    r.serviceSpecificExitCode = static_cast<DWORD>(q.Int(6));
    r.pid = q.Int(7);
    r.source = q.Text(8);
    out.push_back(r);
  }
  return out;
}

// Windows' manager waits 30 seconds for a handler to return before it gives up on the request.
constexpr int kControlTimeoutMs = 30000;

DWORD DeliverControl(const std::wstring& name, DWORD control, DWORD eventType, const void* eventData,
                     size_t eventDataSize, SERVICE_STATUS* status) {
  std::wstring key = UpperCase(name);
  auto info = LoadRefreshed(key);
  if (!info) return ERROR_SERVICE_DOES_NOT_EXIST;
  auto fill = [&](DWORD result) {
    if (status) {
      if (auto latest = ReadService(ServiceDb(), key)) *status = latest->status;
    }
    return result;
  };
  if (DWORD refusal = CheckControlAllowed(info->status, control)) return fill(refusal);
  if (eventDataSize > kMaxEventData) return ERROR_INVALID_PARAMETER;

  sockaddr_un addr;
  socklen_t len = ControlSocketAddress(info->name, &addr, nullptr);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD result = ERROR_SERVICE_REQUEST_TIMEOUT;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
    ControlRequest req{control, eventType, static_cast<uint32_t>(eventDataSize)};
    uint32_t answer = 0;
    if (WriteFull(fd, &req, sizeof(req)) && (eventDataSize == 0 || WriteFull(fd, eventData, eventDataSize)) &&
        ReadFull(fd, &answer, sizeof(answer), kControlTimeoutMs)) {
      result = answer;
    } else {
      result = ERROR_SERVICE_REQUEST_TIMEOUT;
    }
  }
  close(fd);
  if (result == ERROR_SERVICE_REQUEST_TIMEOUT) {
    // The process may have ended, or stopped before it took the request.
    auto now = LoadRefreshed(key);
    if (!now || now->status.dwCurrentState == SERVICE_STOPPED) result = ERROR_SERVICE_NOT_ACTIVE;
  }
  return fill(result);
}

namespace {
std::vector<std::wstring> Broadcast(DWORD control, DWORD acceptFlag, DWORD eventType, const void* data, size_t size) {
  std::vector<std::wstring> delivered;
  for (auto& info : ListServices()) {
    if (info.status.dwCurrentState == SERVICE_STOPPED || (info.status.dwControlsAccepted & acceptFlag) == 0) continue;
    if (DeliverControl(info.name, control, eventType, data, size, nullptr) == NO_ERROR) delivered.push_back(info.name);
  }
  return delivered;
}
}  // namespace

std::vector<std::wstring> SendSessionChange(DWORD eventType, DWORD sessionId) {
  WTSSESSION_NOTIFICATION n{sizeof(WTSSESSION_NOTIFICATION), sessionId};
  return Broadcast(SERVICE_CONTROL_SESSIONCHANGE, SERVICE_ACCEPT_SESSIONCHANGE, eventType, &n, sizeof(n));
}

std::vector<std::wstring> SendShutdown() {
  return Broadcast(SERVICE_CONTROL_SHUTDOWN, SERVICE_ACCEPT_SHUTDOWN, 0, nullptr, 0);
}

namespace {
std::optional<ServiceInfo> WaitUntil(const std::wstring& name, uint32_t timeoutMs,
                                     const std::function<bool(DWORD)>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto info = FindService(name);
    if (!info || done(info->status.dwCurrentState) || std::chrono::steady_clock::now() >= deadline) return info;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
}  // namespace

std::optional<ServiceInfo> WaitWhileState(const std::wstring& name, DWORD state, uint32_t timeoutMs) {
  return WaitUntil(name, timeoutMs, [state](DWORD s) { return s != state; });
}
std::optional<ServiceInfo> WaitForState(const std::wstring& name, DWORD state, uint32_t timeoutMs) {
  return WaitUntil(name, timeoutMs, [state](DWORD s) { return s == state; });
}

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
  }
}

}  // namespace winsim::services
