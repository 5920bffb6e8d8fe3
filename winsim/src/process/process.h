// Processes of the simulated machine: real Linux processes, recorded in the machine's process
// table with their Windows image path, identity and full 32-bit exit code.
#pragma once
#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/identity.h"

namespace winsim {

// The C runtime's split of a command line into arguments (program name first).
std::vector<std::wstring> SplitCrtCommandLine(const std::wstring& commandLine);
// One argument quoted so that SplitCrtCommandLine gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& argument);
// This process's Windows command line: what its starter gave it, or its Linux arguments quoted.
const std::wstring& CurrentCommandLine();
// This process's image as a Windows path.
const std::wstring& CurrentImagePath();

// Called by the program entry: records the process in the table.
void RegisterCurrentProcess();
// Records the exit code (once; later calls keep the first).
void RecordProcessExit(uint32_t exitCode);

struct ProcessRecord {
  int64_t pid = 0;
  std::wstring imagePath;
  std::wstring imageName;
  uint32_t sessionId = 0;
  std::wstring userName;
  std::string sid;
  AccountKind kind = AccountKind::User;
  std::vector<std::string> capabilitySids;
  std::string appContainerSid;
  // The Linux start time of the process (clock ticks after boot), which tells it apart from a
  // later process that reuses its pid; absent in records of machines made before it was kept.
  std::optional<uint64_t> startTicks;
  std::optional<uint32_t> exitCode;
  bool running = false;
};
std::vector<ProcessRecord> ListProcesses(bool runningOnly);
std::optional<ProcessRecord> FindProcess(int64_t pid);

// The start time of a live Linux process in clock ticks after boot; nullopt when it has ended.
std::optional<uint64_t> ProcessStartTicks(int64_t pid);
// Whether the system process that started at `startTicks` with that pid still runs: not ended, not
// a zombie (whose descriptors are closed already), and its pid not taken by a later process. A
// process may have recorded its exit in the machine's table and still be running its exit.
bool SystemProcessRunning(int64_t pid, uint64_t startTicks);
// The identity of the running process `pid` as the machine recorded it when it started; nullopt
// when the machine does not know that process: no record, its recorded process has ended, or the
// pid now belongs to another process (its start time differs).
std::optional<Identity> IdentityOfProcess(int64_t pid);

struct SpawnRequest {
  std::string linuxPath;           // the file to execute
  std::wstring windowsImage;       // its Windows path
  std::wstring commandLine;        // the full Windows command line (program first)
  Identity identity;
  std::map<std::wstring, std::wstring> windowsEnv;
  std::wstring currentDirectory;   // Windows path; empty: keep the starter's
  std::vector<std::string> extraEnv;  // further NAME=value entries (the service controller's)
  bool detach = false;             // a new session, stdio to outputPath
  std::string outputPath;          // where a detached process writes stdout and stderr
  bool noConsole = false;          // standard input and output lead nowhere (no console of the starter's)
  bool suspended = false;          // waits before it runs until SpawnedProcess::resumeFd is written
  int inheritFd = -1;              // a descriptor the process keeps open for its whole life
};
// Starts the process; returns its pid, or -1 with errno (ENOEXEC: a PE image that cannot run, such
// as a DLL). A winsim PE image runs its unpacked payload while its image path stays windowsImage.
pid_t SpawnProcess(const SpawnRequest& request);

// What a process handle needs of a started process. The caller owns the descriptors.
struct SpawnedProcess {
  pid_t pid = -1;
  int pidfd = -1;      // readable once the process has ended, whoever its parent is
  int resumeFd = -1;   // a suspended process runs once a byte is written here (or ends when it closes)
  int64_t rowId = 0;   // its row in the process table, made by the starter before the process runs
};
// Starts the process as SpawnProcess does: its row in the process table exists before the call
// returns, and a failed exec fails the call (errno from exec: ENOEXEC, EACCES, ENOENT ...) and
// leaves no row. A suspended process has not exec'ed yet, so its exec failure is its exit instead.
bool SpawnProcess(const SpawnRequest& request, SpawnedProcess* spawned);

// The 32-bit exit code of a Linux wait status: the exit status, or 0xC0000000 with the signal
// number for a process that a signal ended without recording a code.
uint32_t ExitCodeOfWaitStatus(int status);
// Records an exit code in the process table for a row that has none (the code of a process that
// could not record its own, as a reaper learns it).
void RecordExitCodeIfMissing(int64_t rowId, uint32_t exitCode);
// The exit code recorded in a row, if any.
std::optional<uint32_t> RecordedExitCode(int64_t rowId);
// The row of the running process with this pid (the latest without an end), or 0.
int64_t RunningRowOf(int64_t pid);
// Waits for a child started by SpawnProcess and returns its exit code: the 32-bit code it recorded,
// or the Linux status when it recorded none.
uint32_t WaitForChild(pid_t pid);

}  // namespace winsim
