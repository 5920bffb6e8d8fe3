#include "process/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/machine.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/peimage.h"

extern char** environ;

namespace winsim {
namespace {

const char* kProcessSchema =
    "CREATE TABLE IF NOT EXISTS processes (id INTEGER PRIMARY KEY AUTOINCREMENT, pid INTEGER NOT NULL,"
    " image TEXT NOT NULL, image_name TEXT NOT NULL, session INTEGER NOT NULL, user TEXT NOT NULL,"
    " sid TEXT NOT NULL, started REAL NOT NULL, exit_code INTEGER, ended REAL, account TEXT,"
    " capabilities TEXT, appcontainer TEXT, start_ticks INTEGER);"
    "CREATE INDEX IF NOT EXISTS processes_pid ON processes(pid);";

// Columns that tables of older machines lack.
void AddMissingColumns(Database& db) {
  for (const char* column : {"account TEXT", "capabilities TEXT", "appcontainer TEXT", "start_ticks INTEGER"}) {
    try {
      db.Exec((std::string("ALTER TABLE processes ADD COLUMN ") + column).c_str());
    } catch (const std::exception&) {
      // Present already.
    }
  }
}

Database& ProcessDb() {
  Database& db = Database::Get();
  db.EnsureSchema("processes", kProcessSchema);
  static thread_local const Database* upgraded = nullptr;
  if (upgraded != &db) {
    AddMissingColumns(db);
    upgraded = &db;
  }
  return db;
}

const char* AccountText(AccountKind kind) {
  return kind == AccountKind::System ? "system" : kind == AccountKind::User ? "user" : "admin";
}

AccountKind AccountFromText(const std::string& text) {
  if (text == "system") return AccountKind::System;
  if (text == "admin") return AccountKind::Administrator;
  return AccountKind::User;
}

std::mutex g_lock;
int64_t g_rowId = 0;
bool g_exitRecorded = false;

double Now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

std::wstring BaseName(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool Alive(int64_t pid) {
  if (pid <= 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  // A zombie has ended too.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  size_t close = line.rfind(')');
  if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') return false;
  return true;
}

// Runs when a program calls exit() itself (not through its entry's return, which records first).
// By then the C library has destroyed the calling thread's thread_local objects, the machine
// database connection among them, so the exit is recorded from a thread of its own.
void OnExit(int status, void*) {
  std::thread recorder([status] { RecordProcessExit(static_cast<uint32_t>(status)); });
  recorder.join();
}

// The row that a winsim starter made for this process, taken over; 0 when there is none, or when
// the starter gave it to another pid (the variable leaked to a grandchild).
int64_t AdoptStarterRow(Database& db) {
  const char* row = std::getenv("WINSIM_PROCESS_ROW");
  if (!row) return 0;
  int64_t given = std::strtoll(row, nullptr, 10);
  Statement up(db.Raw(), "UPDATE processes SET pid=? WHERE id=? AND ended IS NULL AND (pid=0 OR pid=?)");
  up.Bind(1, static_cast<int64_t>(getpid())).Bind(2, given).Bind(3, static_cast<int64_t>(getpid()));
  up.Step();
  int64_t adopted = db.Changes() == 1 ? given : 0;
  unsetenv("WINSIM_PROCESS_ROW");
  return adopted;
}

}  // namespace

std::vector<std::wstring> SplitCrtCommandLine(const std::wstring& cmd) {
  std::vector<std::wstring> args;
  size_t i = 0, n = cmd.size();
  // The program name ends at the first blank outside quotes; backslashes are not special in it.
  {
    std::wstring prog;
    bool quoted = false;
    while (i < n) {
      wchar_t c = cmd[i];
      if (c == L'"') {
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && (c == L' ' || c == L'\t')) break;
      prog.push_back(c);
      ++i;
    }
    args.push_back(prog);
  }
  for (;;) {
    while (i < n && (cmd[i] == L' ' || cmd[i] == L'\t')) ++i;
    if (i >= n) break;
    std::wstring arg;
    bool quoted = false;
    while (i < n) {
      wchar_t c = cmd[i];
      if (!quoted && (c == L' ' || c == L'\t')) break;
      if (c == L'\\') {
        size_t count = 0;
        while (i < n && cmd[i] == L'\\') {
          ++count;
          ++i;
        }
        if (i < n && cmd[i] == L'"') {
          arg.append(count / 2, L'\\');
          if (count % 2 == 1) {
            arg.push_back(L'"');
            ++i;
          }
        } else {
          arg.append(count, L'\\');
        }
        continue;
      }
      if (c == L'"') {
        // Inside quotes, "" stands for one quote character (the CRT's rule since 2008).
        if (quoted && i + 1 < n && cmd[i + 1] == L'"') {
          arg.push_back(L'"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg.push_back(c);
      ++i;
    }
    args.push_back(arg);
  }
  return args;
}

std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

const std::wstring& CurrentImagePath() {
  static const std::wstring path = [] {
    if (const char* image = std::getenv("WINSIM_IMAGE")) return WideFromUtf8(image);
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return std::wstring();
    return WindowsPathOf(std::string(buffer, static_cast<size_t>(n)));
  }();
  return path;
}

const std::wstring& CurrentCommandLine() {
  static const std::wstring line = [] {
    if (const char* cmd = std::getenv("WINSIM_CMDLINE")) return WideFromUtf8(cmd);
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::wstring out;
    size_t start = 0;
    bool first = true;
    while (start < all.size()) {
      size_t end = all.find('\0', start);
      if (end == std::string::npos) end = all.size();
      std::wstring arg = first ? CurrentImagePath() : WideFromUtf8(all.substr(start, end - start));
      if (!first) out.push_back(L' ');
      out += QuoteArgument(arg);
      first = false;
      start = end + 1;
    }
    return out;
  }();
  return line;
}

void RegisterCurrentProcess() {
  if (!HasMachine()) return;
  const Identity& id = CurrentIdentity();
  Database& db = ProcessDb();
  const std::wstring& image = CurrentImagePath();
  int64_t rowId = AdoptStarterRow(db);
  if (rowId == 0) {
    Statement ins(db.Raw(),
                  "INSERT INTO processes(pid, image, image_name, session, user, sid, started) VALUES(?,?,?,?,?,?,?)");
    ins.Bind(1, static_cast<int64_t>(getpid())).Bind(2, Utf8FromWide(image)).Bind(3, Utf8FromWide(BaseName(image)));
    ins.Bind(4, static_cast<int64_t>(id.sessionId)).Bind(5, Utf8FromWide(id.userName)).Bind(6, id.sid);
    ins.Bind(7, static_cast<int64_t>(Now()));
    ins.Step();
    rowId = db.LastInsertId();
  }
  // What a server learns of this process as its caller: the account, capabilities and package,
  // and the Linux start time that tells this process from a later one with the same pid.
  Statement up(db.Raw(), "UPDATE processes SET account=?, capabilities=?, appcontainer=?, start_ticks=? WHERE id=?");
  std::string caps;
  for (const auto& c : id.capabilitySids) caps += (caps.empty() ? "" : ",") + c;
  up.Bind(1, AccountText(id.kind)).Bind(2, caps).Bind(3, id.appContainerSid);
  if (auto ticks = ProcessStartTicks(getpid())) {
    up.Bind(4, static_cast<int64_t>(*ticks));
  } else {
    up.BindNull(4);
  }
  up.Bind(5, rowId);
  up.Step();
  std::lock_guard<std::mutex> lock(g_lock);
  g_rowId = rowId;
  on_exit(OnExit, nullptr);
}

void RecordProcessExit(uint32_t exitCode) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (g_exitRecorded) return;
  try {
    // A program without winsim's entry (a test program) never registered; the row its starter
    // made still takes its code.
    if (g_rowId == 0 && HasMachine()) g_rowId = AdoptStarterRow(ProcessDb());
    if (g_rowId == 0) return;
    g_exitRecorded = true;
    Database& db = ProcessDb();
    Statement up(db.Raw(), "UPDATE processes SET exit_code=?, ended=? WHERE id=?");
    up.Bind(1, static_cast<int64_t>(exitCode)).Bind(2, static_cast<int64_t>(Now())).Bind(3, g_rowId);
    up.Step();
  } catch (...) {
  }
}

std::vector<ProcessRecord> ListProcesses(bool runningOnly) {
  Database& db = ProcessDb();
  Statement q(db.Raw(),
              "SELECT pid, image, image_name, session, user, sid, exit_code, ended, account, capabilities, appcontainer,"
              " start_ticks FROM processes ORDER BY id");
  std::vector<ProcessRecord> out;
  while (q.Step()) {
    ProcessRecord r;
    r.pid = q.Int(0);
    r.imagePath = WideFromUtf8(q.Text(1));
    r.imageName = WideFromUtf8(q.Text(2));
    r.sessionId = static_cast<uint32_t>(q.Int(3));
    r.userName = WideFromUtf8(q.Text(4));
    r.sid = q.Text(5);
    if (!q.IsNull(6)) r.exitCode = static_cast<uint32_t>(q.Int(6));
    r.running = q.IsNull(7) && Alive(r.pid);
    r.kind = AccountFromText(q.Text(8));
    std::string caps = q.Text(9);
    for (size_t start = 0; start < caps.size();) {
      size_t comma = caps.find(',', start);
      if (comma == std::string::npos) comma = caps.size();
      if (comma > start) r.capabilitySids.push_back(caps.substr(start, comma - start));
      start = comma + 1;
    }
    r.appContainerSid = q.Text(10);
    if (!q.IsNull(11)) r.startTicks = static_cast<uint64_t>(q.Int(11));
    if (runningOnly && !r.running) continue;
    out.push_back(r);
  }
  return out;
}

std::optional<ProcessRecord> FindProcess(int64_t pid) {
  std::optional<ProcessRecord> found;
  for (auto& r : ListProcesses(false)) {
    if (r.pid == pid) found = r;  // the latest record of a reused pid wins
  }
  return found;
}

std::optional<uint64_t> ProcessStartTicks(int64_t pid) {
  if (pid <= 0) return std::nullopt;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return std::nullopt;
  // The name in parentheses may hold blanks; the fields after it start with the state (field 3),
  // and the start time is field 22.
  size_t close = line.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream rest(line.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    if (!(rest >> field)) return std::nullopt;
  }
  try {
    return static_cast<uint64_t>(std::stoull(field));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool SystemProcessRunning(int64_t pid, uint64_t startTicks) {
  auto ticks = ProcessStartTicks(pid);
  return ticks && *ticks == startTicks && Alive(pid);
}

std::optional<Identity> IdentityOfProcess(int64_t pid) {
  auto record = FindProcess(pid);
  if (!record || !record->running || !record->startTicks) return std::nullopt;
  auto ticks = ProcessStartTicks(pid);
  if (!ticks || *ticks != *record->startTicks) return std::nullopt;
  Identity id;
  id.kind = record->kind;
  id.userName = record->userName;
  id.sid = record->sid;
  id.sessionId = record->sessionId;
  id.capabilitySids = record->capabilitySids;
  id.appContainerSid = record->appContainerSid;
  return id;
}

pid_t SpawnProcess(const SpawnRequest& req) {
  SpawnedProcess spawned;
  if (!SpawnProcess(req, &spawned)) return -1;
  if (spawned.pidfd >= 0) close(spawned.pidfd);
  if (spawned.resumeFd >= 0) close(spawned.resumeFd);
  return spawned.pid;
}

bool SpawnProcess(const SpawnRequest& req, SpawnedProcess* spawned) {
  *spawned = SpawnedProcess();
  // A PE image runs its payload, unpacked once per machine; a DLL or a PE image without a payload
  // cannot be started (CreateProcess answers ERROR_BAD_EXE_FORMAT). ELF programs and scripts run
  // as they are.
  std::string path = req.linuxPath;
  pe::FileProbe probe = pe::ProbeFile(path);
  if (probe.kind == pe::FileKind::PeOther || (probe.kind == pe::FileKind::PeWithPayload && probe.layout.IsDll())) {
    errno = ENOEXEC;
    return false;
  }
  if (probe.kind == pe::FileKind::PeWithPayload) {
    auto unpacked = pe::UnpackPayload(path);
    if (!unpacked) return false;
    path = *unpacked;
  }
  // The process exists for the machine from its creation on, as a Windows process does: its row
  // is made here, and the process takes it over when it starts (WINSIM_PROCESS_ROW).
  Database& db = ProcessDb();
  int64_t rowId = 0;
  {
    Statement ins(db.Raw(),
                  "INSERT INTO processes(pid, image, image_name, session, user, sid, started) VALUES(0,?,?,?,?,?,?)");
    ins.Bind(1, Utf8FromWide(req.windowsImage)).Bind(2, Utf8FromWide(BaseName(req.windowsImage)));
    ins.Bind(3, static_cast<int64_t>(req.identity.sessionId)).Bind(4, Utf8FromWide(req.identity.userName));
    ins.Bind(5, req.identity.sid).Bind(6, static_cast<int64_t>(Now()));
    ins.Step();
    rowId = db.LastInsertId();
  }
  auto dropRow = [&db, rowId] {
    Statement del(db.Raw(), "DELETE FROM processes WHERE id=?");
    del.Bind(1, rowId);
    del.Step();
  };

  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "WINSIM_", 7) == 0 && std::strncmp(*e, "WINSIM_TIME_SCALE=", 18) != 0 &&
        std::strncmp(*e, "WINSIM_FAULTS=", 14) != 0) {
      continue;
    }
    env.emplace_back(*e);
  }
  env.push_back("WINSIM_MACHINE=" + MachineDir());
  for (auto& e : ChildEnvironment(req.identity, req.windowsEnv)) env.push_back(e);
  env.push_back("WINSIM_IMAGE=" + Utf8FromWide(req.windowsImage));
  env.push_back("WINSIM_CMDLINE=" + Utf8FromWide(req.commandLine));
  env.push_back("WINSIM_PROCESS_ROW=" + std::to_string(rowId));
  for (auto& e : req.extraEnv) env.push_back(e);
  std::string cwd;
  if (!req.currentDirectory.empty()) {
    if (auto p = LinuxPathOf(req.currentDirectory)) cwd = *p;
  }

  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  // Programs built on winsim read WINSIM_CMDLINE; any other Linux program gets the C runtime's
  // split of it as its arguments.
  std::vector<std::string> args{req.linuxPath};
  std::vector<std::wstring> split = SplitCrtCommandLine(req.commandLine);
  for (size_t i = 1; i < split.size(); ++i) args.push_back(Utf8FromWide(split[i]));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The child reports a failed exec through a pipe that a successful exec closes.
  int errorPipe[2];
  if (pipe2(errorPipe, O_CLOEXEC) != 0) {
    int err = errno;
    dropRow();
    errno = err;
    return false;
  }
  int resumePipe[2] = {-1, -1};
  if (req.suspended && pipe2(resumePipe, O_CLOEXEC) != 0) {
    int err = errno;
    close(errorPipe[0]);
    close(errorPipe[1]);
    dropRow();
    errno = err;
    return false;
  }

  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    close(errorPipe[0]);
    close(errorPipe[1]);
    if (resumePipe[0] >= 0) {
      close(resumePipe[0]);
      close(resumePipe[1]);
    }
    dropRow();
    errno = err;
    return false;
  }
  if (pid == 0) {
    if (req.detach) {
      setsid();
      int in = open("/dev/null", O_RDONLY);
      if (in >= 0) dup2(in, 0);
      int out = open(req.outputPath.empty() ? "/dev/null" : req.outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
    } else if (req.noConsole) {
      int in = open("/dev/null", O_RDONLY);
      if (in >= 0) dup2(in, 0);
      int out = open("/dev/null", O_WRONLY);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
    }
    // A copy without close-on-exec stays open in the program.
    if (req.inheritFd >= 0) fcntl(req.inheritFd, F_DUPFD, 3);
    if (req.suspended) {
      close(resumePipe[1]);
      char go = 0;
      ssize_t n;
      while ((n = read(resumePipe[0], &go, 1)) < 0 && errno == EINTR) {
      }
      // Its starter went away without letting it run: it never runs.
      if (n != 1) _exit(1);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
      int err = errno;
      ssize_t ignored = write(errorPipe[1], &err, sizeof(err));
      (void)ignored;
      _exit(127);
    }
    // An unpacked image that another thread of the starter has just written may still be open for
    // writing in a child forked meanwhile, until that child's own exec: wait that out.
    for (int attempt = 0; attempt < 200; ++attempt) {
      execve(path.c_str(), argv.data(), envp.data());
      if (errno != ETXTBSY) break;
      struct timespec pause = {0, 5 * 1000 * 1000};
      nanosleep(&pause, nullptr);
    }
    int err = errno;
    ssize_t ignored = write(errorPipe[1], &err, sizeof(err));
    (void)ignored;
    _exit(127);
  }
  close(errorPipe[1]);
  if (resumePipe[0] >= 0) close(resumePipe[0]);
  {
    Statement up(db.Raw(), "UPDATE processes SET pid=? WHERE id=? AND pid=0");
    up.Bind(1, static_cast<int64_t>(pid)).Bind(2, rowId);
    up.Step();
  }
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (!req.suspended) {
    int err = 0;
    ssize_t n;
    while ((n = read(errorPipe[0], &err, sizeof(err))) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof(err))) {
      close(errorPipe[0]);
      if (pidfd >= 0) close(pidfd);
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      dropRow();
      errno = err;
      return false;
    }
  }
  close(errorPipe[0]);
  spawned->pid = pid;
  spawned->pidfd = pidfd;
  spawned->resumeFd = resumePipe[1];
  spawned->rowId = rowId;
  return true;
}

uint32_t ExitCodeOfWaitStatus(int status) {
  return WIFEXITED(status) ? static_cast<uint32_t>(WEXITSTATUS(status))
                           : 0xC0000000u | static_cast<uint32_t>(WTERMSIG(status));
}

void RecordExitCodeIfMissing(int64_t rowId, uint32_t exitCode) {
  Database& db = ProcessDb();
  Statement up(db.Raw(), "UPDATE processes SET exit_code=?, ended=? WHERE id=? AND exit_code IS NULL");
  up.Bind(1, static_cast<int64_t>(exitCode)).Bind(2, static_cast<int64_t>(Now())).Bind(3, rowId);
  up.Step();
}

std::optional<uint32_t> RecordedExitCode(int64_t rowId) {
  Database& db = ProcessDb();
  Statement q(db.Raw(), "SELECT exit_code FROM processes WHERE id=?");
  q.Bind(1, rowId);
  if (!q.Step() || q.IsNull(0)) return std::nullopt;
  return static_cast<uint32_t>(q.Int(0));
}

int64_t RunningRowOf(int64_t pid) {
  Database& db = ProcessDb();
  Statement q(db.Raw(), "SELECT MAX(id) FROM processes WHERE pid=? AND ended IS NULL");
  q.Bind(1, pid);
  if (!q.Step() || q.IsNull(0)) return 0;
  return q.Int(0);
}

uint32_t WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  uint32_t fallback = ExitCodeOfWaitStatus(status);
  if (auto record = FindProcess(pid)) {
    if (record->exitCode) return *record->exitCode;
  }
  return fallback;
}

}  // namespace winsim
