// Token handles: the pseudo-handles of the process's own token, OpenProcessToken, and the token
// objects that WTSQueryUserToken and DuplicateTokenEx hand out.
#include "security/token.h"

#include "core/fault.h"
#include "process/processobject.h"
#include "windows.h"

namespace winsim {

std::shared_ptr<TokenObject> TokenOfHandle(HANDLE handle) {
  if (handle == CurrentProcessTokenPseudoHandle() || handle == CurrentThreadEffectiveTokenPseudoHandle()) {
    // A winsim thread never impersonates, so its effective token is the process's.
    return std::make_shared<TokenObject>(CurrentIdentity(), TokenPrimary, SecurityImpersonation,
                                         TOKEN_QUERY | TOKEN_QUERY_SOURCE);
  }
  if (handle == CurrentThreadTokenPseudoHandle()) {
    SetLastError(ERROR_NO_TOKEN);
    return nullptr;
  }
  auto token = ReferenceHandleAs<TokenObject>(handle);
  if (!token) SetLastError(ERROR_INVALID_HANDLE);
  return token;
}

HANDLE InsertTokenHandle(const Identity& identity, TOKEN_TYPE type, SECURITY_IMPERSONATION_LEVEL level, DWORD access) {
  return InsertHandle(std::make_shared<TokenObject>(identity, type, level, access));
}

DWORD MapTokenAccess(DWORD desired) {
  DWORD access = desired & ~DWORD(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) access |= TOKEN_READ;
  if (desired & GENERIC_WRITE) access |= TOKEN_WRITE;
  if (desired & GENERIC_EXECUTE) access |= TOKEN_EXECUTE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= TOKEN_ALL_ACCESS;
  return access;
}

}  // namespace winsim

// What winsim relies on: a process's token grants its own user, LocalSystem and administrators
// full access; a standard user cannot open the token of another user's process
// (ERROR_ACCESS_DENIED). The process handle must name a process (ERROR_INVALID_HANDLE).
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  WINSIM_FAULT_BOOL("OpenProcessToken");
  if (!TokenHandle) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *TokenHandle = nullptr;
  const winsim::Identity& caller = winsim::CurrentIdentity();
  winsim::Identity identity;
  if (ProcessHandle == GetCurrentProcess()) {
    identity = caller;
  } else {
    auto process = winsim::ReferenceHandleAs<winsim::ProcessObject>(ProcessHandle);
    if (!process) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    identity = process->GetIdentity();
    if (!caller.IsPrivileged() && identity.sid != caller.sid) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  DWORD access = winsim::MapTokenAccess(DesiredAccess) & TOKEN_ALL_ACCESS;
  *TokenHandle = winsim::InsertTokenHandle(identity, TokenPrimary, SecurityImpersonation, access);
  return TRUE;
}
