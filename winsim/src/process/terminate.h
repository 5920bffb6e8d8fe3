// Ending a process of the machine from outside it, as the system does at logoff.
#pragma once
#include <cstdint>
#include <string>

namespace winsim {

// True when the running process with this pid is one of this machine's: its environment names
// this machine directory. It keeps a stale row of the process table (a pid since reused by an
// unrelated Linux process) from leading to the wrong process.
bool IsProcessOfThisMachine(int64_t pid);

// Records the exit code in the process table, then kills the process and waits (bounded) until it
// has gone. The code is recorded first so that whoever waits for the process finds it as soon as
// the process is gone. False when the process was no longer running or did not end in time.
bool TerminateMachineProcess(int64_t pid, uint32_t exitCode, uint32_t timeoutMs = 5000);

}  // namespace winsim
