// Process snapshots (tool help) and the session of a process, read from the machine's process table.
//
// What the table cannot tell (parent, thread count) comes from the Linux process, since each
// process of the machine is a real one. Windows lists two processes that are no programs: the
// System Idle Process (pid 0, named "[System Process]") and System (pid 4). Programs that walk the
// list meet them first on every Windows machine, and the documentation of OpenProcess names both
// (the idle process cannot be opened at all, System only by privileged callers), so winsim's
// snapshot shows them as well, in session 0.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/fault.h"
#include "core/identity.h"
#include "core/machine.h"
#include "kernel/handles.h"
#include "process/process.h"
#include "tlhelp32.h"
#include "windows.h"

namespace winsim {
namespace {

constexpr DWORD kIdlePid = 0;
constexpr DWORD kSystemPid = 4;
// The base priority of a process of the normal priority class.
constexpr LONG kNormalPriority = 8;

struct SnapshotEntry {
  DWORD pid = 0;
  DWORD parentPid = 0;
  DWORD threads = 0;
  LONG priority = kNormalPriority;
  std::wstring exeFile;
};

class ProcessSnapshot : public KernelObject {
 public:
  explicit ProcessSnapshot(std::vector<SnapshotEntry> entries) : m_entries(std::move(entries)) {}

  // Copies the entry at the cursor (the first one when first is set) and moves the cursor on.
  bool Next(bool first, PROCESSENTRY32W* out) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (first) m_cursor = 0;
    if (m_cursor >= m_entries.size()) return false;
    const SnapshotEntry& e = m_entries[m_cursor++];
    out->cntUsage = 0;
    out->th32ProcessID = e.pid;
    out->th32DefaultHeapID = 0;
    out->th32ModuleID = 0;
    out->cntThreads = e.threads;
    out->th32ParentProcessID = e.parentPid;
    out->pcPriClassBase = e.priority;
    out->dwFlags = 0;
    size_t n = std::min<size_t>(e.exeFile.size(), MAX_PATH - 1);
    std::copy_n(e.exeFile.data(), n, out->szExeFile);
    out->szExeFile[n] = L'\0';
    return true;
  }

 private:
  std::mutex m_lock;
  std::vector<SnapshotEntry> m_entries;
  size_t m_cursor = 0;
};

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// The parent and the thread count of a live Linux process, from /proc/PID/stat (fields 4 and 20;
// the command name in parentheses may hold blanks, so the fields are counted after its ')').
void ReadLinuxFacts(int64_t pid, SnapshotEntry* entry) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return;
  size_t close = line.rfind(')');
  if (close == std::string::npos) return;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  // After ')': state(3) ppid(4) ... num_threads(20).
  for (int index = 3; index <= 20 && (fields >> field); ++index) {
    if (index == 4) entry->parentPid = static_cast<DWORD>(std::strtoul(field.c_str(), nullptr, 10));
    if (index == 20) entry->threads = static_cast<DWORD>(std::strtoul(field.c_str(), nullptr, 10));
  }
}

DWORD ProcessorCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

// The running processes of the machine, one record per pid (the latest, when a pid was reused).
std::map<int64_t, ProcessRecord> RunningProcesses() {
  std::map<int64_t, ProcessRecord> byPid;
  if (!HasMachine()) return byPid;
  for (auto& record : ListProcesses(true)) byPid[record.pid] = record;
  return byPid;
}

std::vector<SnapshotEntry> TakeProcessList() {
  std::vector<SnapshotEntry> entries;
  SnapshotEntry idle;
  idle.pid = kIdlePid;
  idle.exeFile = L"[System Process]";
  // One idle thread per processor; the idle process runs at priority 0.
  idle.threads = ProcessorCount();
  idle.priority = 0;
  entries.push_back(idle);
  SnapshotEntry system;
  system.pid = kSystemPid;
  system.exeFile = L"System";
  // winsim runs no kernel threads of its own: a nominal count of one worker per processor.
  system.threads = ProcessorCount();
  entries.push_back(system);

  const int64_t self = getpid();
  bool selfListed = false;
  for (auto& [pid, record] : RunningProcesses()) {
    // Linux never hands out pid 0; a process with pid 4 would hide behind System.
    if (pid == kIdlePid || pid == kSystemPid) continue;
    SnapshotEntry entry;
    entry.pid = static_cast<DWORD>(pid);
    entry.exeFile = record.imageName;
    ReadLinuxFacts(pid, &entry);
    entries.push_back(entry);
    if (pid == self) selfListed = true;
  }
  // A program always finds itself, even one started outside winsim that the table does not hold.
  if (!selfListed) {
    SnapshotEntry entry;
    entry.pid = static_cast<DWORD>(self);
    entry.exeFile = FileNameOf(CurrentImagePath());
    ReadLinuxFacts(self, &entry);
    entries.push_back(entry);
  }
  return entries;
}

BOOL WalkSnapshot(HANDLE hSnapshot, LPPROCESSENTRY32W lppe, bool first) {
  auto snapshot = ReferenceHandleAs<ProcessSnapshot>(hSnapshot);
  if (!snapshot) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Windows answers a null entry pointer with an access violation; winsim reports it instead.
  if (!lppe) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A structure smaller than the one this header declares (an unset dwSize, or the ANSI
  // PROCESSENTRY32 handed to the wide function) fails with ERROR_BAD_LENGTH, as on Windows. A
  // larger one is filled as far as this structure goes.
  if (lppe->dwSize < sizeof(PROCESSENTRY32W)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  if (!snapshot->Next(first, lppe)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

}  // namespace
}  // namespace winsim

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID) {
  WINSIM_FAULT_VALUE("CreateToolhelp32Snapshot", INVALID_HANDLE_VALUE);
  // th32ProcessID only selects the process of heap and module lists, which winsim does not keep:
  // for a process list Windows ignores it.
  (void)th32ProcessID;
  if (dwFlags & (TH32CS_SNAPHEAPLIST | TH32CS_SNAPTHREAD | TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  std::vector<winsim::SnapshotEntry> entries;
  if (dwFlags & TH32CS_SNAPPROCESS) {
    try {
      entries = winsim::TakeProcessList();
    } catch (const std::exception&) {
      // The process table could not be read.
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return INVALID_HANDLE_VALUE;
    }
  }
  // Without TH32CS_SNAPPROCESS the snapshot holds no processes: walking it ends at once.
  return winsim::InsertHandle(std::make_shared<winsim::ProcessSnapshot>(std::move(entries)));
}

BOOL WINAPI Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) {
  WINSIM_FAULT_BOOL("Process32FirstW");
  return winsim::WalkSnapshot(hSnapshot, lppe, true);
}

BOOL WINAPI Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe) {
  WINSIM_FAULT_BOOL("Process32NextW");
  return winsim::WalkSnapshot(hSnapshot, lppe, false);
}

BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId) {
  WINSIM_FAULT_BOOL("ProcessIdToSessionId");
  // Windows would fault on a null pointer; winsim reports it instead.
  if (!pSessionId) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const winsim::Identity& caller = winsim::CurrentIdentity();
  // The session is read through a process handle opened for query access, so the call fails as
  // OpenProcess does: the idle process cannot be opened (ERROR_INVALID_PARAMETER), a pid that names
  // no running process neither, and a caller without access to the process gets ERROR_ACCESS_DENIED.
  if (dwProcessId == winsim::kIdlePid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwProcessId == static_cast<DWORD>(getpid())) {
    *pSessionId = caller.sessionId;
    return TRUE;
  }
  if (dwProcessId == winsim::kSystemPid) {
    if (!caller.IsPrivileged()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    *pSessionId = 0;
    return TRUE;
  }
  std::map<int64_t, winsim::ProcessRecord> running;
  try {
    running = winsim::RunningProcesses();
  } catch (const std::exception&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  auto it = running.find(dwProcessId);
  if (it == running.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // A process's default security grants query access to its own user, to LocalSystem and to
  // administrators; a standard user cannot query another user's processes.
  if (!caller.IsPrivileged() && it->second.sid != caller.sid) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  *pSessionId = it->second.sessionId;
  return TRUE;
}
