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
  std::optional<uint32_t> exitCode;
  bool running = false;
};
std::vector<ProcessRecord> ListProcesses(bool runningOnly);
std::optional<ProcessRecord> FindProcess(int64_t pid);

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
};
// Starts the process; returns its pid, or -1 with errno (ENOEXEC: a PE image that cannot run, such
// as a DLL). A winsim PE image runs its unpacked payload while its image path stays windowsImage.
pid_t SpawnProcess(const SpawnRequest& request);
// Waits for a child started by SpawnProcess and returns its exit code: the 32-bit code it recorded,
// or the Linux status when it recorded none.
uint32_t WaitForChild(pid_t pid);

}  // namespace winsim
