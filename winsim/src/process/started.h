// Waiting for a program that SpawnProcess has just started to be under way, as Windows' process
// creation returns only once the new process exists: either it has entered the machine's process
// table (what a program built on winsim does first), or it has already ended, or it is a program
// that never enters the table and a bounded wait ran out.
#pragma once
#include <sys/types.h>

#include <cstdint>

namespace winsim {

enum class StartOutcome {
  Running,       // in the process table (it may have ended since)
  NotExecuted,   // ended before entering the table with the status of a failed exec (127)
  EndedEarly,    // ended before entering the table with another status
  Unregistered,  // still running after the wait without entering the table (not a winsim program)
};

// Reaps the child when it has ended before entering the table, so that no zombie remains.
StartOutcome WaitUntilStarted(pid_t pid, uint32_t timeoutMs = 10000);

}  // namespace winsim
