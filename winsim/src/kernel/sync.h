// Events as other subsystems signal them on completion of I/O, without going through a handle
// (the caller may close its handle while the operation holds the event).
#pragma once
#include "kernel/handles.h"

namespace winsim {

bool IsEventObject(const KernelObject* object);
// False when the object is not an event.
bool SetEventObject(KernelObject* object);
bool ResetEventObject(KernelObject* object);

// A thread of another process: the primary thread of a process that this one created, as the
// thread functions (ResumeThread, GetExitCodeThread, GetThreadId) see it.
class ForeignThread : public KernelObject {
 public:
  virtual DWORD ThreadExitCode() = 0;
  virtual DWORD ThreadId() = 0;
  // The suspend count before the call.
  virtual DWORD ResumeThreadOnce() = 0;
};

}  // namespace winsim
