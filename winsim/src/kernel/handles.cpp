#include "kernel/handles.h"

#include <unistd.h>

#include <thread>
#include <unordered_map>

#include "core/fault.h"
#include "core/timescale.h"
#include "windows.h"

namespace winsim {
namespace {

// The handle table lives as long as the process: a program's exit runs static destructors while
// its other threads (thread-pool callbacks setting events, say) may still use handles, as they may
// on Windows until the process ends. So it is made once and never destroyed.
std::mutex& g_tableLock = *new std::mutex;
std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>>& g_table =
    *new std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>>;
uintptr_t g_next = 0x100;

}  // namespace

DWORD KernelObject::Wait(DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

DWORD WaitableObject::Wait(DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  if (timeoutMs == INFINITE) {
    m_changed.wait(lock, [this] { return TryAcquireLocked(); });
    return WAIT_OBJECT_0;
  }
  bool ok = m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return TryAcquireLocked(); });
  return ok ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  uintptr_t value = g_next;
  g_next += 4;
  g_table.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> ReferenceHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
  return it == g_table.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> released;  // told and destroyed outside the lock
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = g_table.find(reinterpret_cast<uintptr_t>(handle));
    if (it == g_table.end()) return false;
    released = std::move(it->second);
    g_table.erase(it);
  }
  released->OnHandleClosed();
  return true;
}

}  // namespace winsim

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

BOOL WINAPI CloseHandle(HANDLE hObject) {
  WINSIM_FAULT_BOOL("CloseHandle");
  // Pseudo handles of the current process and thread need no closing.
  if (hObject == GetCurrentProcess() || hObject == GetCurrentThread()) return TRUE;
  if (!winsim::RemoveHandle(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  WINSIM_FAULT_VALUE("WaitForSingleObject", WAIT_FAILED);
  auto object = winsim::ReferenceHandle(hHandle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  return object->Wait(winsim::ScaledMilliseconds(dwMilliseconds));
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  DWORD ms = winsim::ScaledMilliseconds(dwMilliseconds);
  if (ms == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

HANDLE WINAPI GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }
HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2)); }
DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }
DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(gettid()); }
