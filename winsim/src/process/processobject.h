// Process and thread handles to processes of the machine. A process object waits on a pidfd, which
// the kernel makes readable when the process ends whoever its parent is, so a handle works for the
// caller's own children and for any other process of the machine alike. The exit code is the one
// the machine database holds for the process (the full 32 bits); a process that could not record
// one (a signal ended it) gets the code its reaper learns from the wait status.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/identity.h"
#include "kernel/handles.h"
#include "kernel/sync.h"
#include "minwindef.h"
#include "process/process.h"

namespace winsim {

class ProcessObject : public KernelObject {
 public:
  // Takes ownership of the descriptors. child: the caller's Linux child, which it must reap.
  ProcessObject(const SpawnedProcess& spawned, Identity identity, std::wstring imagePath, bool child);
  ~ProcessObject() override;
  ProcessObject(const ProcessObject&) = delete;
  ProcessObject& operator=(const ProcessObject&) = delete;

  // Signalled once the process has ended (and stays so).
  DWORD Wait(DWORD timeoutMs) override;
  bool HasEnded();
  // STILL_ACTIVE while the process runs; its 32-bit exit code afterwards.
  DWORD ExitCode();
  DWORD Pid() const { return static_cast<DWORD>(m_pid); }
  const Identity& GetIdentity() const { return m_identity; }
  const std::wstring& ImagePath() const { return m_image; }
  // Lets a suspended process run; the suspend count before the call (0 when it was not suspended).
  DWORD Resume();
  // Ends the process with the code (TerminateProcess); ERROR_SUCCESS or ERROR_ACCESS_DENIED when
  // it has already ended.
  DWORD Terminate(uint32_t exitCode);

 private:
  pid_t m_pid;
  int m_pidfd;
  int m_resumeFd;
  int64_t m_rowId;
  Identity m_identity;
  std::wstring m_image;
  unsigned long long m_startTime;  // the kernel's start time, to tell a reused pid
  std::mutex m_lock;
};

// The primary thread of a created process, as PROCESS_INFORMATION hands it out: it ends with the
// process (a winsim process ends when its main thread returns), and its id is the process's main
// thread id, which on Linux equals the pid.
class PrimaryThreadObject : public ForeignThread {
 public:
  explicit PrimaryThreadObject(std::shared_ptr<ProcessObject> process) : m_process(std::move(process)) {}
  DWORD Wait(DWORD timeoutMs) override { return m_process->Wait(timeoutMs); }
  DWORD ThreadExitCode() override { return m_process->ExitCode(); }
  DWORD ThreadId() override { return m_process->Pid(); }
  DWORD ResumeThreadOnce() override { return m_process->Resume(); }

 private:
  std::shared_ptr<ProcessObject> m_process;
};

// A process object for a running process of this machine that the caller did not start (as
// OpenProcess opens one); null when no such process runs.
std::shared_ptr<ProcessObject> OpenMachineProcess(int64_t pid);

}  // namespace winsim
