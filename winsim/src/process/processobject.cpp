#include "process/processobject.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "core/strings.h"
#include "process/terminate.h"
#include "windows.h"

namespace winsim {
namespace {

// Fields of /proc/PID/stat after the command name: state is field 3, ppid 4, starttime 22 and
// exit_code 52 (the wait status of a zombie).
struct ProcStat {
  bool present = false;
  char state = 0;
  long long ppid = 0;
  unsigned long long startTime = 0;
  int exitStatus = 0;
  bool hasExitStatus = false;
};

ProcStat ReadProcStat(pid_t pid) {
  ProcStat out;
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return out;
  size_t close = line.rfind(')');
  if (close == std::string::npos) return out;
  std::vector<std::string> fields;  // fields[0] is field 3
  size_t i = close + 2;
  while (i < line.size()) {
    size_t end = line.find(' ', i);
    if (end == std::string::npos) end = line.size();
    fields.push_back(line.substr(i, end - i));
    i = end + 1;
  }
  if (fields.size() < 20) return out;
  out.present = true;
  out.state = fields[0].empty() ? 0 : fields[0][0];
  out.ppid = std::stoll(fields[1]);
  out.startTime = std::stoull(fields[19]);
  if (fields.size() >= 50) {
    out.exitStatus = std::stoi(fields[49]);
    out.hasExitStatus = true;
  }
  return out;
}

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

// Reaps the children that this process created through winsim, whether or not their handles are
// still open, and keeps the code of each (as the wait status tells it) for the process objects to
// ask for: a process that a signal ended could not record its own code. The reaper never touches
// the machine database itself; it may run on while the machine is being taken down.
class Reaper {
 public:
  static Reaper& Get() {
    static Reaper* reaper = new Reaper();  // lives on past static destruction, with its thread
    return *reaper;
  }

  // The code of a reaped child, by its row.
  std::optional<uint32_t> CodeOf(int64_t rowId) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_codes.find(rowId);
    if (it == m_codes.end()) return std::nullopt;
    return it->second;
  }

  void Add(int pidfd, int64_t rowId) {
    int fd = fcntl(pidfd, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_entries.push_back({fd, rowId});
    if (!m_running) {
      m_running = true;
      std::thread([this] { Loop(); }).detach();
    } else {
      uint64_t one = 1;
      ssize_t ignored = write(m_wake, &one, sizeof(one));
      (void)ignored;
    }
  }

 private:
  struct Entry {
    int pidfd;
    int64_t rowId;
  };

  Reaper() : m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  void Loop() {
    for (;;) {
      std::vector<pollfd> fds;
      {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_entries.empty()) {
          m_running = false;
          return;
        }
        for (const Entry& e : m_entries) fds.push_back({e.pidfd, POLLIN, 0});
      }
      fds.push_back({m_wake, POLLIN, 0});
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds.back().revents) {
        uint64_t count;
        ssize_t ignored = read(m_wake, &count, sizeof(count));
        (void)ignored;
      }
      for (size_t i = 0; i + 1 < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        Entry entry{};
        {
          std::lock_guard<std::mutex> lock(m_lock);
          for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->pidfd == fds[i].fd) {
              entry = *it;
              m_entries.erase(it);
              break;
            }
          }
        }
        if (entry.pidfd == 0) continue;
        siginfo_t info = {};
        // The code is kept before the child is reaped, so that it is known all along: from the
        // zombie's status first, from here afterwards.
        if (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(entry.pidfd), &info, WEXITED | WNOWAIT) == 0) {
          int status = info.si_code == CLD_EXITED ? (info.si_status & 0xFF) << 8 : info.si_status & 0x7F;
          {
            std::lock_guard<std::mutex> lock(m_lock);
            m_codes[entry.rowId] = ExitCodeOfWaitStatus(status);
          }
          waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(entry.pidfd), &info, WEXITED);
        }
        close(entry.pidfd);
      }
    }
  }

  std::mutex m_lock;
  std::vector<Entry> m_entries;
  std::map<int64_t, uint32_t> m_codes;
  bool m_running = false;
  int m_wake;
};

bool Readable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait = left.count() < 0 ? 0 : static_cast<int>(left.count());
    }
    int rc = poll(&p, 1, wait);
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

ProcessObject::ProcessObject(const SpawnedProcess& spawned, Identity identity, std::wstring imagePath, bool child)
    : m_pid(spawned.pid),
      m_pidfd(spawned.pidfd),
      m_resumeFd(spawned.resumeFd),
      m_rowId(spawned.rowId),
      m_identity(std::move(identity)),
      m_image(std::move(imagePath)),
      m_startTime(ReadProcStat(spawned.pid).startTime) {
  if (child && m_pidfd >= 0) Reaper::Get().Add(m_pidfd, m_rowId);
}

ProcessObject::~ProcessObject() {
  if (m_pidfd >= 0) close(m_pidfd);
  // A process still suspended when its last handle goes is never let run: it ends.
  if (m_resumeFd >= 0) close(m_resumeFd);
}

DWORD ProcessObject::Wait(DWORD timeoutMs) {
  int timeout = timeoutMs == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(timeoutMs, 0x7FFFFFFF));
  if (m_pidfd >= 0) return Readable(m_pidfd, timeout) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  // Without a pidfd (an old kernel), the process table and the pid are polled.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
  for (;;) {
    if (HasEnded()) return WAIT_OBJECT_0;
    if (timeout >= 0 && std::chrono::steady_clock::now() >= deadline) return WAIT_TIMEOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool ProcessObject::HasEnded() {
  if (m_pidfd >= 0) return Readable(m_pidfd, 0);
  ProcStat stat = ReadProcStat(m_pid);
  return !stat.present || stat.state == 'Z' || stat.startTime != m_startTime;
}

DWORD ProcessObject::ExitCode() {
  if (!HasEnded()) return STILL_ACTIVE;
  try {
    if (auto code = RecordedExitCode(m_rowId)) return *code;
    // No code recorded: a signal ended the process. While it is a zombie, its wait status tells
    // the code; once reaped, its reaper (when this process is its parent) has kept it.
    ProcStat stat = ReadProcStat(m_pid);
    if (stat.present && stat.state == 'Z' && stat.startTime == m_startTime && stat.hasExitStatus) {
      uint32_t code = ExitCodeOfWaitStatus(stat.exitStatus);
      RecordExitCodeIfMissing(m_rowId, code);
      return code;
    }
    if (auto code = Reaper::Get().CodeOf(m_rowId)) {
      RecordExitCodeIfMissing(m_rowId, *code);
      return *code;
    }
    if (auto code = RecordedExitCode(m_rowId)) return *code;
  } catch (...) {
  }
  // Ended by a signal and reaped by a program outside winsim: nobody knows its code. A process
  // ended by force without a code of its own reports 1, as Windows' task killer leaves it.
  return 1;
}

DWORD ProcessObject::Resume() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_resumeFd < 0) return 0;
  char go = 1;
  ssize_t ignored = write(m_resumeFd, &go, 1);
  (void)ignored;
  close(m_resumeFd);
  m_resumeFd = -1;
  return 1;
}

DWORD ProcessObject::Terminate(uint32_t exitCode) {
  if (HasEnded()) return ERROR_ACCESS_DENIED;
  if (m_pid == getpid()) {
    RecordProcessExit(exitCode);
    _exit(static_cast<int>(exitCode & 0xFF));
  }
  if (!TerminateMachineProcess(m_pid, exitCode) && !HasEnded()) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

std::shared_ptr<ProcessObject> OpenMachineProcess(int64_t pid) {
  if (pid <= 0) return nullptr;
  int64_t row = RunningRowOf(pid);
  if (row == 0) return nullptr;
  if (pid != getpid() && !IsProcessOfThisMachine(pid)) return nullptr;
  auto record = FindProcess(pid);
  if (!record || !record->running) return nullptr;
  SpawnedProcess spawned;
  spawned.pid = static_cast<pid_t>(pid);
  spawned.pidfd = PidfdOpen(static_cast<pid_t>(pid));
  spawned.rowId = row;
  // Who it runs as, from its row: LocalSystem by its SID, else the named account.
  Identity identity;
  if (record->sid == kSystemSid) {
    identity = SystemIdentity();
    identity.sessionId = record->sessionId;
  } else if (auto user = UserIdentity(record->userName, record->sessionId)) {
    identity = *user;
  } else {
    identity.userName = record->userName;
    identity.sid = record->sid;
    identity.sessionId = record->sessionId;
  }
  return std::make_shared<ProcessObject>(spawned, identity, record->imagePath, false);
}

}  // namespace winsim
