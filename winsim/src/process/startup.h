// Starting programs for the shell and the activation manager: whether a file is a program that
// the machine can run, and waiting for a program that SpawnProcess has just started to be under
// way, as Windows' process creation returns only once the new process exists.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace winsim {

enum class ImageCheck {
  Runnable,
  AccessDenied,  // the file cannot be read, or a native program lacks the right to be executed
  BadFormat,     // not a program: a library image, a PE image without payload, or other bytes
};
// Judges a file as process creation would: a winsim PE image of a program runs whatever its Linux
// mode (its payload is unpacked); a native program or script needs to be executable.
ImageCheck CheckProgramImage(const std::string& linuxPath);

// Either the new process has entered the machine's process table (what a program built on winsim
// does first), or it has already ended, or it is a program that never enters the table and a
// bounded wait ran out.

enum class StartOutcome {
  Running,       // in the process table (it may have ended since)
  NotExecuted,   // ended before entering the table with the status of a failed exec (127)
  EndedEarly,    // ended before entering the table with another status
  Unregistered,  // still running after the wait without entering the table (not a winsim program)
};

// Reaps the child when it has ended before entering the table, so that no zombie remains.
StartOutcome WaitUntilStarted(pid_t pid, uint32_t timeoutMs = 10000);

}  // namespace winsim
