// The Win32 service control functions: OpenSCManagerW … CloseServiceHandle.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "core/fault.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/create.h"
#include "process/process.h"
#include "services/internal.h"
#include "services/scm.h"

using namespace winsim;
using namespace winsim::services;
using namespace winsim::services::detail;

namespace {

enum class Kind { Manager, Service };

struct ScHandle {
  Kind kind;
  DWORD access;
  std::wstring nameKey;  // services only
  int64_t rowId = 0;     // the handle's row in service_handles
  std::string machine;   // a handle names an object of the machine it was opened on
};

std::mutex g_lock;
std::map<uintptr_t, ScHandle> g_handles;
uintptr_t g_next = 0x5c000;

const std::string& SelfStartTime() {
  static const std::string start = ProcessStartTime(getpid());
  return start;
}

SC_HANDLE NewHandle(ScHandle h) {
  std::lock_guard<std::mutex> lock(g_lock);
  uintptr_t value = g_next;
  g_next += 4;
  h.machine = MachineDir();
  g_handles.emplace(value, std::move(h));
  return reinterpret_cast<SC_HANDLE>(value);
}

std::optional<ScHandle> Lookup(SC_HANDLE handle, Kind kind) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_handles.end() || it->second.kind != kind || it->second.machine != MachineDir()) return std::nullopt;
  return it->second;
}

// Generic rights map to the specific ones as Windows documents them for the manager and services.
DWORD MapManagerAccess(DWORD access) {
  if (access & GENERIC_READ) access |= STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (access & GENERIC_WRITE) access |= STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (access & GENERIC_EXECUTE) access |= STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (access & GENERIC_ALL) access |= SC_MANAGER_ALL_ACCESS;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}
DWORD MapServiceAccess(DWORD access) {
  if (access & GENERIC_READ) {
    access |= STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
              SERVICE_ENUMERATE_DEPENDENTS;
  }
  if (access & GENERIC_WRITE) access |= STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG;
  if (access & GENERIC_EXECUTE) {
    access |= STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
              SERVICE_USER_DEFINED_CONTROL;
  }
  if (access & GENERIC_ALL) access |= SERVICE_ALL_ACCESS;
  return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

// What the default security descriptors grant an interactive user: connect, enumerate and query
// the manager; query, interrogate and user-defined controls on a service. LocalSystem and
// administrators get everything.
constexpr DWORD kUserManagerRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS |
                                     READ_CONTROL;
constexpr DWORD kUserServiceRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;

// The rights granted, or nullopt when the caller may not have what it asks.
std::optional<DWORD> Grant(DWORD desired, DWORD allRights, DWORD userRights) {
  DWORD allowed = CurrentIdentity().IsPrivileged() ? allRights : userRights;
  if (desired & MAXIMUM_ALLOWED) return allowed;
  if ((desired & ~allowed) != 0) return std::nullopt;
  return desired;
}

int64_t InsertHandleRow(const std::wstring& nameKey) {
  Database& db = ServiceDb();
  Statement ins(db.Raw(), "INSERT INTO service_handles(name_key, pid, pid_start) VALUES(?,?,?)");
  ins.Bind(1, Utf8FromWide(nameKey)).Bind(2, static_cast<int64_t>(getpid())).Bind(3, SelfStartTime());
  ins.Step();
  return db.LastInsertId();
}

// Windows rejects service names that are empty, longer than 256 characters or contain a slash or
// backslash.
bool ValidServiceName(LPCWSTR name) {
  if (!name || !*name) return false;
  size_t n = std::wcslen(name);
  if (n > 256) return false;
  return std::wcspbrk(name, L"/\\") == nullptr;
}

std::wstring JoinDependencies(LPCWSTR deps) {
  std::wstring out;
  if (!deps) return out;
  for (const wchar_t* p = deps; *p; p += std::wcslen(p) + 1) {
    if (!out.empty()) out.push_back(L'\n');
    out += p;
  }
  return out;
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
  WINSIM_FAULT_VALUE("OpenSCManagerW", nullptr);
  // Only the local machine is reachable: an empty name or this computer's name.
  if (lpMachineName && *lpMachineName) {
    std::wstring m = lpMachineName;
    while (!m.empty() && m[0] == L'\\') m.erase(0, 1);
    if (!EqualsNoCase(m, L"WINSIM") && !EqualsNoCase(m, L"localhost") && m != L"." && m != L"127.0.0.1") {
      SetLastError(1722);  // RPC_S_SERVER_UNAVAILABLE: no other machine is reachable
      return nullptr;
    }
  }
  if (lpDatabaseName && !EqualsNoCase(lpDatabaseName, SERVICES_ACTIVE_DATABASEW)) {
    SetLastError(EqualsNoCase(lpDatabaseName, SERVICES_FAILED_DATABASEW) ? ERROR_ACCESS_DENIED
                                                                          : ERROR_DATABASE_DOES_NOT_EXIST);
    return nullptr;
  }
  // SC_MANAGER_CONNECT comes with every handle to the manager.
  auto granted = Grant(MapManagerAccess(dwDesiredAccess) | SC_MANAGER_CONNECT, SC_MANAGER_ALL_ACCESS, kUserManagerRights);
  if (!granted) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  ServiceDb();
  SetLastError(ERROR_SUCCESS);
  return NewHandle(ScHandle{Kind::Manager, *granted, L"", 0, ""});
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  WINSIM_FAULT_VALUE("CreateServiceW", nullptr);
  auto manager = Lookup(hSCManager, Kind::Manager);
  if (!manager) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((manager->access & SC_MANAGER_CREATE_SERVICE) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (!ValidServiceName(lpServiceName)) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  std::wstring display = lpDisplayName && *lpDisplayName ? lpDisplayName : lpServiceName;
  DWORD baseType = dwServiceType & ~SERVICE_INTERACTIVE_PROCESS;
  bool win32 = baseType == SERVICE_WIN32_OWN_PROCESS || baseType == SERVICE_WIN32_SHARE_PROCESS;
  bool driver = baseType == SERVICE_KERNEL_DRIVER || baseType == SERVICE_FILE_SYSTEM_DRIVER;
  bool badType = !(win32 || driver) || ((dwServiceType & SERVICE_INTERACTIVE_PROCESS) && !win32);
  bool badStart = dwStartType > SERVICE_DISABLED || (win32 && dwStartType < SERVICE_AUTO_START);
  bool badPath = !lpBinaryPathName || !*lpBinaryPathName;
  // A tag is only given within a load-order group.
  bool badTag = lpdwTagId && (!lpLoadOrderGroup || !*lpLoadOrderGroup);
  if (badType || badStart || dwErrorControl > SERVICE_ERROR_CRITICAL || badPath || badTag ||
      display.size() > 256) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::optional<std::wstring> account;
  if (lpServiceStartName && *lpServiceStartName && !EqualsNoCase(lpServiceStartName, L"LocalSystem") &&
      !EqualsNoCase(lpServiceStartName, L".\\LocalSystem")) {
    std::wstring a = lpServiceStartName;
    bool builtin = EqualsNoCase(a, L"NT AUTHORITY\\LocalService") || EqualsNoCase(a, L"NT AUTHORITY\\NetworkService");
    std::wstring user = a.rfind(L".\\", 0) == 0 ? a.substr(2) : a;
    if (!builtin && !FindUserAccount(user)) {
      SetLastError(ERROR_INVALID_SERVICE_ACCOUNT);
      return nullptr;
    }
    account = a;
  }
  (void)lpPassword;
  auto granted = Grant(MapServiceAccess(dwDesiredAccess), SERVICE_ALL_ACCESS, kUserServiceRights);
  if (!granted) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  std::wstring key = UpperCase(lpServiceName);
  std::wstring deps = JoinDependencies(lpDependencies);
  for (const wchar_t* p = lpDependencies; p && *p; p += std::wcslen(p) + 1) {
    if (EqualsNoCase(p, lpServiceName)) {
      SetLastError(ERROR_CIRCULAR_DEPENDENCY);
      return nullptr;
    }
  }
  Database& db = ServiceDb();
  int64_t row = 0;
  {
    Transaction tx;
    Statement existing(db.Raw(), "SELECT marked_delete FROM services WHERE name_key=?");
    existing.Bind(1, Utf8FromWide(key));
    if (existing.Step()) {
      SetLastError(existing.Int(0) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
      return nullptr;
    }
    // A display name may not repeat another service's name or display name.
    Statement dup(db.Raw(), "SELECT 1 FROM services WHERE display_key=? OR name_key=? OR display_key=?");
    dup.Bind(1, Utf8FromWide(UpperCase(display))).Bind(2, Utf8FromWide(UpperCase(display))).Bind(3, Utf8FromWide(key));
    if (dup.Step()) {
      SetLastError(ERROR_DUPLICATE_SERVICE_NAME);
      return nullptr;
    }
    Statement ins(db.Raw(),
                  "INSERT INTO services(name_key, name, display, display_key, type, start_type, error_control, binary,"
                  " account, dependencies) VALUES(?,?,?,?,?,?,?,?,?,?)");
    ins.Bind(1, Utf8FromWide(key)).Bind(2, Utf8FromWide(lpServiceName)).Bind(3, Utf8FromWide(display));
    ins.Bind(4, Utf8FromWide(UpperCase(display))).Bind(5, int64_t{dwServiceType}).Bind(6, int64_t{dwStartType});
    ins.Bind(7, int64_t{dwErrorControl}).Bind(8, Utf8FromWide(lpBinaryPathName));
    if (account) {
      ins.Bind(9, Utf8FromWide(*account));
    } else {
      ins.BindNull(9);
    }
    ins.Bind(10, Utf8FromWide(deps));
    ins.Step();
    row = InsertHandleRow(key);
    tx.Commit();
  }
  if (lpdwTagId) *lpdwTagId = 0;
  SetLastError(ERROR_SUCCESS);
  return NewHandle(ScHandle{Kind::Service, *granted, key, row, ""});
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
  WINSIM_FAULT_VALUE("OpenServiceW", nullptr);
  if (!Lookup(hSCManager, Kind::Manager)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!lpServiceName || !*lpServiceName || std::wcslen(lpServiceName) > 256) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  std::wstring key = UpperCase(lpServiceName);
  Database& db = ServiceDb();
  Transaction tx;
  Statement q(db.Raw(), "SELECT 1 FROM services WHERE name_key=?");
  q.Bind(1, Utf8FromWide(key));
  if (!q.Step()) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  auto granted = Grant(MapServiceAccess(dwDesiredAccess), SERVICE_ALL_ACCESS, kUserServiceRights);
  if (!granted) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  int64_t row = InsertHandleRow(key);
  tx.Commit();
  SetLastError(ERROR_SUCCESS);
  return NewHandle(ScHandle{Kind::Service, *granted, key, row, ""});
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  WINSIM_FAULT_BOOL("CloseServiceHandle");
  ScHandle h;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(hSCObject));
    if (it == g_handles.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    h = it->second;
    g_handles.erase(it);
  }
  if (h.kind == Kind::Service && h.machine == MachineDir()) {
    Statement del(ServiceDb().Raw(), "DELETE FROM service_handles WHERE id=?");
    del.Bind(1, h.rowId).Step();
    RemoveIfDeletable(h.nameKey);
  }
  return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  WINSIM_FAULT_BOOL("DeleteService");
  auto h = Lookup(hService, Kind::Service);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((h->access & DELETE) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  Database& db = ServiceDb();
  {
    Transaction tx;
    Statement q(db.Raw(), "SELECT marked_delete FROM services WHERE name_key=?");
    q.Bind(1, Utf8FromWide(h->nameKey));
    if (!q.Step() || q.Int(0) != 0) {
      SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
      return FALSE;
    }
    Statement up(db.Raw(), "UPDATE services SET marked_delete=1 WHERE name_key=?");
    up.Bind(1, Utf8FromWide(h->nameKey)).Step();
    tx.Commit();
  }
  return TRUE;
}

namespace {
bool FillStatus(const ScHandle& h, SERVICE_STATUS* out, int64_t* pid) {
  auto info = FindService(h.nameKey);
  if (!info) return false;
  *out = info->status;
  if (pid) *pid = info->pid;
  return true;
}
}  // namespace

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  WINSIM_FAULT_BOOL("QueryServiceStatus");
  auto h = Lookup(hService, Kind::Service);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((h->access & SERVICE_QUERY_STATUS) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!lpServiceStatus) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  if (!FillStatus(*h, lpServiceStatus, nullptr)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded) {
  WINSIM_FAULT_BOOL("QueryServiceStatusEx");
  auto h = Lookup(hService, Kind::Service);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (InfoLevel != SC_STATUS_PROCESS_INFO) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  if ((h->access & SERVICE_QUERY_STATUS) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!pcbBytesNeeded) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  // The buffer's size is checked before the pointer, so a sizing call may pass NULL and 0.
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!lpBuffer) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  SERVICE_STATUS s{};
  int64_t pid = 0;
  if (!FillStatus(*h, &s, &pid)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
  }
  SERVICE_STATUS_PROCESS p{};
  std::memcpy(&p, &s, sizeof(s));
  p.dwProcessId = s.dwCurrentState == SERVICE_STOPPED ? 0 : static_cast<DWORD>(pid);
  p.dwServiceFlags = 0;
  std::memcpy(lpBuffer, &p, sizeof(p));
  return TRUE;
}

namespace {
// Windows' manager waits 30 seconds for a new service process to connect.
constexpr int kStartTimeoutMs = 30000;

std::string HexArgs(DWORD count, LPCWSTR* args) {
  std::string out;
  static const char* digits = "0123456789abcdef";
  for (DWORD i = 0; i < count; ++i) {
    if (i) out.push_back(',');
    for (unsigned char c : Utf8FromWide(args[i] ? args[i] : L"")) {
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
  }
  return out;
}
}  // namespace

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors) {
  WINSIM_FAULT_BOOL("StartServiceW");
  auto h = Lookup(hService, Kind::Service);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if ((h->access & SERVICE_START) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (dwNumServiceArgs > 0 && !lpServiceArgVectors) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto current = FindService(h->nameKey);  // brings a dead process's status up to date
  if (!current) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return FALSE;
  }
  Database& db = ServiceDb();
  int64_t generation = 0;
  pid_t pid = -1;
  std::wstring name;
  {
    Transaction tx;
    Statement q(db.Raw(), "SELECT state, marked_delete, start_type, generation, name, binary FROM services WHERE name_key=?");
    q.Bind(1, Utf8FromWide(h->nameKey));
    if (!q.Step()) {
      SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
      return FALSE;
    }
    if (q.Int(1)) {
      SetLastError(ERROR_SERVICE_MARKED_FOR_DELETE);
      return FALSE;
    }
    if (q.Int(2) == SERVICE_DISABLED) {
      SetLastError(ERROR_SERVICE_DISABLED);
      return FALSE;
    }
    if (q.Int(0) != SERVICE_STOPPED) {
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE;
    }
    generation = q.Int(3) + 1;
    name = WideFromUtf8(q.Text(4));
    std::wstring commandLine = WideFromUtf8(q.Text(5));
    std::vector<std::wstring> split = SplitCrtCommandLine(commandLine);
    unsigned long pathError = ERROR_PATH_NOT_FOUND;
    // The control manager hands the binary path to process creation as a command line without an
    // application name, so Windows' program search applies: an unquoted path with blanks, as
    // "C:\Program Files\...\service.exe" installed from GetModuleFileNameW, is tried blank by
    // blank (C:\Program.exe first) until a file exists. The first token is what errors name.
    std::wstring program;
    std::optional<std::string> linuxPath;
    if (FindProgram(std::nullopt, commandLine, &program) == ERROR_SUCCESS) {
      linuxPath = LinuxPathOf(program, &pathError);
    } else if (!split.empty()) {
      program = split[0];
      linuxPath = LinuxPathOf(split[0], &pathError);
    }
    struct stat st;
    if (!linuxPath || stat(linuxPath->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      // As CreateProcess reports it: the file, or a folder on its way, is missing.
      bool folderThere = false;
      if (linuxPath) {
        std::string dir = linuxPath->substr(0, linuxPath->find_last_of('/'));
        folderThere = stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      SetLastError(linuxPath ? (folderThere ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND) : pathError);
      return FALSE;
    }
    SpawnRequest req;
    req.linuxPath = *linuxPath;
    req.windowsImage = program;
    req.commandLine = commandLine;
    req.identity = SystemIdentity();
    req.windowsEnv = DefaultWindowsEnvironment(req.identity);
    req.currentDirectory = L"C:\\Windows\\System32";
    req.detach = true;
    req.outputPath = MachineDir() + "/run/services/" + Utf8FromWide(name) + ".out";
    req.extraEnv.push_back("WINSIM_SERVICE_NAME=" + Utf8FromWide(name));
    req.extraEnv.push_back("WINSIM_SERVICE_GENERATION=" + std::to_string(generation));
    req.extraEnv.push_back("WINSIM_SERVICE_ARGS=" + HexArgs(dwNumServiceArgs, lpServiceArgVectors));
    pid = SpawnProcess(req);
    if (pid < 0) {
      SetLastError(errno == ENOEXEC ? ERROR_BAD_EXE_FORMAT : ERROR_NOT_ENOUGH_MEMORY);
      return FALSE;
    }
    Statement up(db.Raw(),
                 "UPDATE services SET state=?, controls=0, win32_exit=0, specific_exit=0, checkpoint=0, wait_hint=2000,"
                 " pid=?, pid_start=?, generation=?, connected=0 WHERE name_key=?");
    up.Bind(1, int64_t{SERVICE_START_PENDING}).Bind(2, static_cast<int64_t>(pid)).Bind(3, ProcessStartTime(pid));
    up.Bind(4, generation).Bind(5, Utf8FromWide(h->nameKey));
    up.Step();
    Statement hist(db.Raw(),
                   "INSERT INTO service_history(name_key, time_us, state, checkpoint, wait_hint, controls, win32_exit,"
                   " specific_exit, pid, source) VALUES(?,?,?,0,2000,0,0,0,?,'scm')");
    hist.Bind(1, Utf8FromWide(h->nameKey)).Bind(2, static_cast<int64_t>(NowSeconds() * 1e6));
    hist.Bind(3, int64_t{SERVICE_START_PENDING}).Bind(4, static_cast<int64_t>(pid));
    hist.Step();
    tx.Commit();
  }
  // StartService returns once the process's dispatcher has taken the start request.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  for (;;) {
    {
      // Scoped: a statement left on a row keeps a read snapshot that a later write cannot upgrade.
      Statement q(db.Raw(), "SELECT connected, generation FROM services WHERE name_key=?");
      q.Bind(1, Utf8FromWide(h->nameKey));
      if (!q.Step() || q.Int(1) != generation) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
      }
      if (q.Int(0)) break;
    }
    auto info = FindService(h->nameKey);
    if (info && info->status.dwCurrentState == SERVICE_STOPPED) {
      // The process ended before it connected.
      SetLastError(ERROR_PROCESS_ABORTED);
      return FALSE;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      WaitWhileState(h->nameKey, SERVICE_START_PENDING, 5000);
      SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
      return FALSE;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  WINSIM_FAULT_BOOL("ControlService");
  auto h = Lookup(hService, Kind::Service);
  if (!h) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Programs may send these controls; the others come from the system alone.
  DWORD needed = 0;
  switch (dwControl) {
    case SERVICE_CONTROL_STOP: needed = SERVICE_STOP; break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE: needed = SERVICE_PAUSE_CONTINUE; break;
    case SERVICE_CONTROL_INTERROGATE: needed = SERVICE_INTERROGATE; break;
    default:
      if (dwControl >= 128 && dwControl <= 255) {
        needed = SERVICE_USER_DEFINED_CONTROL;
        break;
      }
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  if ((h->access & needed) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!lpServiceStatus) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  SERVICE_STATUS latest{};
  DWORD result = DeliverControl(h->nameKey, dwControl, 0, nullptr, 0, &latest);
  // The status is filled in on success and on the refusals that describe the service's state.
  if (result == NO_ERROR || result == ERROR_INVALID_SERVICE_CONTROL || result == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
      result == ERROR_SERVICE_NOT_ACTIVE) {
    *lpServiceStatus = latest;
  }
  SetLastError(result);
  return result == NO_ERROR ? TRUE : FALSE;
}
