// The Remote Desktop Services session queries over the machine's sessions.
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/fault.h"
#include "core/identity.h"
#include "security/token.h"
#include "sessions/sessions.h"
#include "windows.h"
#include "wtsapi32.h"

using namespace winsim;

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The buffer is the caller's until WTSFreeMemory releases it.
BOOL Answer(const void* data, size_t size, LPWSTR* ppBuffer, DWORD* pBytesReturned) {
  void* buffer = std::malloc(size);
  if (!buffer) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(buffer, data, size);
  *ppBuffer = static_cast<LPWSTR>(buffer);
  *pBytesReturned = static_cast<DWORD>(size);
  return TRUE;
}

BOOL AnswerText(const std::wstring& text, LPWSTR* ppBuffer, DWORD* pBytesReturned) {
  return Answer(text.c_str(), (text.size() + 1) * sizeof(WCHAR), ppBuffer, pBytesReturned);
}

std::wstring WinStationName(const sessions::Session& s) {
  switch (s.kind) {
    case sessions::SessionKind::Services: return L"Services";
    case sessions::SessionKind::Console: return L"Console";
    default: return L"RDP-Tcp#" + std::to_wstring(s.id - sessions::kFirstRemoteSessionId);
  }
}

}  // namespace

DWORD WINAPI WTSGetActiveConsoleSessionId(void) {
  // The function has no last error: its one failure value is the answer for "no console session".
  if (CheckFault("WTSGetActiveConsoleSessionId")) return sessions::kNoConsoleSession;
  return sessions::ConsoleSessionId();
}

// What Windows documents and what winsim relies on: the buffer is allocated by the function and
// released with WTSFreeMemory; pBytesReturned is its size in bytes; WTS_CURRENT_SESSION names the
// caller's session. Windows' documentation names no error for a session that does not exist;
// Windows reports ERROR_FILE_NOT_FOUND for it (as WTSQueryUserToken documents for the same case,
// and as callers see when a session ends between enumeration and query).
BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId, WTS_INFO_CLASS WTSInfoClass,
                                        LPWSTR* ppBuffer, DWORD* pBytesReturned) {
  // A failed call leaves no stale pointer for a caller that frees what it got.
  if (ppBuffer) *ppBuffer = nullptr;
  if (pBytesReturned) *pBytesReturned = 0;
  WINSIM_FAULT_BOOL("WTSQuerySessionInformationW");
  if (!ppBuffer || !pBytesReturned) return Fail(ERROR_INVALID_PARAMETER);
  if (hServer != WTS_CURRENT_SERVER_HANDLE) return Fail(ERROR_INVALID_HANDLE);
  if (static_cast<int>(WTSInfoClass) < static_cast<int>(WTSInitialProgram) ||
      static_cast<int>(WTSInfoClass) > static_cast<int>(WTSCapabilityCheck)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  DWORD id = SessionId == WTS_CURRENT_SESSION ? CurrentIdentity().sessionId : SessionId;
  auto session = sessions::FindSession(id);
  if (!session) return Fail(ERROR_FILE_NOT_FOUND);
  bool signedIn = !session->userName.empty();

  switch (WTSInfoClass) {
    case WTSSessionId: {
      ULONG value = session->id;
      return Answer(&value, sizeof(value), ppBuffer, pBytesReturned);
    }
    case WTSUserName:
      // The account name alone, empty when nobody is signed in (and for the services' session).
      return AnswerText(session->userName, ppBuffer, pBytesReturned);
    case WTSDomainName:
      // Local accounts belong to the computer's own domain.
      return AnswerText(signedIn ? std::wstring(L"WINSIM") : std::wstring(), ppBuffer, pBytesReturned);
    case WTSWinStationName:
      return AnswerText(WinStationName(*session), ppBuffer, pBytesReturned);
    case WTSConnectState: {
      // Session 0 is never connected to a terminal; a console at the sign-in screen is connected
      // without being active.
      WTS_CONNECTSTATE_CLASS state = session->kind == sessions::SessionKind::Services ? WTSDisconnected
                                     : signedIn                                      ? WTSActive
                                                                                     : WTSConnected;
      return Answer(&state, sizeof(state), ppBuffer, pBytesReturned);
    }
    case WTSClientProtocolType: {
      USHORT protocol = session->kind == sessions::SessionKind::Remote ? WTS_PROTOCOL_TYPE_RDP
                                                                       : WTS_PROTOCOL_TYPE_CONSOLE;
      return Answer(&protocol, sizeof(protocol), ppBuffer, pBytesReturned);
    }
    case WTSIsRemoteSession: {
      BOOLEAN remote = session->kind == sessions::SessionKind::Remote ? 1 : 0;
      return Answer(&remote, sizeof(remote), ppBuffer, pBytesReturned);
    }
    default:
      // Client, traffic and time details of a session are not simulated.
      return Fail(ERROR_NOT_SUPPORTED);
  }
}

void WINAPI WTSFreeMemory(PVOID pMemory) {
  // Freeing cannot fail, so a planned fault has nothing to report; the call is still counted.
  CheckFault("WTSFreeMemory");
  std::free(pMemory);
}

// What winsim relies on, from Microsoft's WTSQueryUserToken documentation: the caller must run as
// LocalSystem with SE_TCB_NAME (ERROR_PRIVILEGE_NOT_HELD otherwise); ERROR_INVALID_PARAMETER for a
// null phToken; ERROR_FILE_NOT_FOUND for a session that does not exist; ERROR_NO_TOKEN for a
// session without a signed-in user. The token is a primary token with full access.
BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken) {
  WINSIM_FAULT_BOOL("WTSQueryUserToken");
  if (!phToken) return Fail(ERROR_INVALID_PARAMETER);
  *phToken = nullptr;
  if (CurrentIdentity().kind != AccountKind::System) return Fail(ERROR_PRIVILEGE_NOT_HELD);
  UserAccount account;
  DWORD error = sessions::WhoIsSignedIn(SessionId, &account);
  if (error != NO_ERROR) return Fail(error);
  auto identity = UserIdentity(account.name, SessionId);
  if (!identity) return Fail(ERROR_NO_TOKEN);
  *phToken = InsertTokenHandle(*identity, TokenPrimary, SecurityImpersonation, TOKEN_ALL_ACCESS);
  return TRUE;
}
