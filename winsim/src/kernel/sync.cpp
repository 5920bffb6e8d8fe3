// Events and threads: waitable kernel objects on top of the handle table.
//
// Named events live in a namespace of this process only: two handles of one process that name the
// same event share it (the second create answers ERROR_ALREADY_EXISTS), but other processes of
// the machine do not see it. Names compare case-sensitively, as Windows documents for them.
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "core/fault.h"
#include "kernel/handles.h"
#include "kernel/sync.h"
#include "windows.h"

namespace winsim {
namespace {

class Event : public WaitableObject {
 public:
  Event(bool manualReset, bool initialState) : m_manualReset(manualReset), m_signalled(initialState) {}

  void Set() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_signalled = true;
    NotifyAllLocked();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_signalled = false;
  }

 protected:
  bool TryAcquireLocked() override {
    if (!m_signalled) return false;
    if (!m_manualReset) m_signalled = false;  // an auto-reset event releases one waiter
    return true;
  }

 private:
  const bool m_manualReset;
  bool m_signalled;
};

}  // namespace

bool IsEventObject(const KernelObject* object) { return dynamic_cast<const Event*>(object) != nullptr; }

bool SetEventObject(KernelObject* object) {
  auto* event = dynamic_cast<Event*>(object);
  if (!event) return false;
  event->Set();
  return true;
}

bool ResetEventObject(KernelObject* object) {
  auto* event = dynamic_cast<Event*>(object);
  if (!event) return false;
  event->Reset();
  return true;
}

namespace {

std::mutex g_namesLock;
std::map<std::wstring, std::weak_ptr<Event>> g_namedEvents;

class Thread : public WaitableObject {
 public:
  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_ended ? m_exitCode : STILL_ACTIVE;
  }
  void Finish(DWORD code) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_exitCode = code;
    m_ended = true;
    NotifyAllLocked();
  }
  // The suspend count after the call's decrement, and the previous count returned.
  DWORD Resume() {
    std::lock_guard<std::mutex> lock(m_lock);
    DWORD previous = m_suspendCount;
    if (m_suspendCount > 0 && --m_suspendCount == 0) m_resumed.notify_all();
    return previous;
  }
  void WaitUntilResumed() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_resumed.wait(lock, [this] { return m_suspendCount == 0; });
  }
  void Start(DWORD suspendCount, DWORD id) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_suspendCount = suspendCount;
    m_id = id;
  }
  void SetId(DWORD id) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_id = id;
    m_idKnown.notify_all();
  }
  DWORD Id() {
    std::unique_lock<std::mutex> lock(m_lock);
    m_idKnown.wait(lock, [this] { return m_id != 0; });
    return m_id;
  }

 protected:
  bool TryAcquireLocked() override { return m_ended; }  // stays signalled once ended

 private:
  bool m_ended = false;
  DWORD m_exitCode = 0;
  DWORD m_suspendCount = 0;
  DWORD m_id = 0;
  std::condition_variable m_resumed;
  std::condition_variable m_idKnown;
};

}  // namespace
}  // namespace winsim

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName) {
  WINSIM_FAULT_VALUE("CreateEventW", nullptr);
  try {
    if (lpName && *lpName) {
      std::lock_guard<std::mutex> lock(winsim::g_namesLock);
      auto& slot = winsim::g_namedEvents[lpName];
      if (auto existing = slot.lock()) {
        // The existing event is opened; the reset mode and initial state asked for are ignored.
        HANDLE handle = winsim::InsertHandle(existing);
        SetLastError(ERROR_ALREADY_EXISTS);
        return handle;
      }
      auto event = std::make_shared<winsim::Event>(bManualReset != FALSE, bInitialState != FALSE);
      slot = event;
      HANDLE handle = winsim::InsertHandle(event);
      SetLastError(ERROR_SUCCESS);
      return handle;
    }
    HANDLE handle = winsim::InsertHandle(std::make_shared<winsim::Event>(bManualReset != FALSE, bInitialState != FALSE));
    SetLastError(ERROR_SUCCESS);
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  WINSIM_FAULT_BOOL("SetEvent");
  auto event = winsim::ReferenceHandleAs<winsim::Event>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  WINSIM_FAULT_BOOL("ResetEvent");
  auto event = winsim::ReferenceHandleAs<winsim::Event>(hEvent);
  if (!event) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  event->Reset();
  return TRUE;
}

// The thread runs detached: its handle (and the object) may be closed while it runs, and a process
// that exits with the thread still running must not wait for it.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId) {
  WINSIM_FAULT_VALUE("CreateThread", nullptr);
  if (dwCreationFlags & ~static_cast<DWORD>(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  try {
    auto thread = std::make_shared<winsim::Thread>();
    thread->Start((dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0, 0);
    std::thread([thread, lpStartAddress, lpParameter] {
      thread->SetId(GetCurrentThreadId());
      thread->WaitUntilResumed();
      DWORD code = lpStartAddress(lpParameter);
      thread->Finish(code);
    }).detach();
    DWORD id = thread->Id();
    HANDLE handle = winsim::InsertHandle(thread);
    if (lpThreadId) *lpThreadId = id;
    return handle;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
  return nullptr;
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  WINSIM_FAULT_VALUE("ResumeThread", static_cast<DWORD>(-1));
  auto thread = winsim::ReferenceHandleAs<winsim::Thread>(hThread);
  if (!thread) {
    if (auto foreign = winsim::ReferenceHandleAs<winsim::ForeignThread>(hThread)) return foreign->ResumeThreadOnce();
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  return thread->Resume();
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  WINSIM_FAULT_BOOL("GetExitCodeThread");
  auto thread = winsim::ReferenceHandleAs<winsim::Thread>(hThread);
  if (!thread) {
    if (auto foreign = winsim::ReferenceHandleAs<winsim::ForeignThread>(hThread)) {
      *lpExitCode = foreign->ThreadExitCode();
      return TRUE;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *lpExitCode = thread->ExitCode();
  return TRUE;
}

DWORD WINAPI GetThreadId(HANDLE Thread) {
  WINSIM_FAULT_VALUE("GetThreadId", 0);
  if (Thread == GetCurrentThread()) return GetCurrentThreadId();
  auto thread = winsim::ReferenceHandleAs<winsim::Thread>(Thread);
  if (!thread) {
    if (auto foreign = winsim::ReferenceHandleAs<winsim::ForeignThread>(Thread)) return foreign->ThreadId();
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return thread->Id();
}
