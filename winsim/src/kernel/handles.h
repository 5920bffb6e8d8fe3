// The process's handle table. A HANDLE is an index into it (multiples of 4, as on Windows); the
// object it names stays alive while any handle or other reference holds it.
#pragma once
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "minwindef.h"

namespace winsim {

class KernelObject {
 public:
  virtual ~KernelObject() = default;
  // WAIT_OBJECT_0 or WAIT_TIMEOUT after at most timeoutMs real milliseconds (INFINITE waits for good).
  // Objects that cannot be waited on answer WAIT_FAILED with ERROR_INVALID_HANDLE.
  virtual DWORD Wait(DWORD timeoutMs);
  // Called when a handle to the object is closed, outside the table's lock, while the caller still
  // holds the object. Objects with one handle each (files) end their pending I/O here, since other
  // references (a thread inside a call on it) may keep the object itself alive a while longer.
  virtual void OnHandleClosed() {}
};

// An object with a signalled state under a lock, woken through a condition variable.
class WaitableObject : public KernelObject {
 public:
  DWORD Wait(DWORD timeoutMs) override;

 protected:
  // Called with m_lock held: whether a wait is satisfied now; an auto-reset object consumes the
  // signal here.
  virtual bool TryAcquireLocked() = 0;
  void NotifyAllLocked() { m_changed.notify_all(); }

  std::mutex m_lock;
  std::condition_variable m_changed;
};

HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(ReferenceHandle(handle));
}
bool RemoveHandle(HANDLE handle);

}  // namespace winsim
