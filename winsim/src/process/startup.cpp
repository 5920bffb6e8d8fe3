#include "process/startup.h"

#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include <unistd.h>

#include "process/peimage.h"
#include "process/process.h"

namespace winsim {

ImageCheck CheckProgramImage(const std::string& linuxPath) {
  pe::FileProbe probe = pe::ProbeFile(linuxPath);
  switch (probe.kind) {
    case pe::FileKind::Unreadable: return ImageCheck::AccessDenied;
    case pe::FileKind::PeWithPayload: return probe.layout.IsDll() ? ImageCheck::BadFormat : ImageCheck::Runnable;
    case pe::FileKind::Elf:
    case pe::FileKind::Script: return access(linuxPath.c_str(), X_OK) == 0 ? ImageCheck::Runnable : ImageCheck::AccessDenied;
    default: return ImageCheck::BadFormat;
  }
}

StartOutcome WaitUntilStarted(pid_t pid, uint32_t timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (FindProcess(pid)) return StartOutcome::Running;
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      // It may have entered the table just before it ended.
      if (FindProcess(pid)) return StartOutcome::Running;
      return WIFEXITED(status) && WEXITSTATUS(status) == 127 ? StartOutcome::NotExecuted : StartOutcome::EndedEarly;
    }
    if (done < 0 && errno == ECHILD) return FindProcess(pid) ? StartOutcome::Running : StartOutcome::EndedEarly;
    if (std::chrono::steady_clock::now() >= deadline) return StartOutcome::Unregistered;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(20)) pause *= 2;
  }
}

}  // namespace winsim
