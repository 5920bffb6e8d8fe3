// Token handles: the pseudo-handles of the process's own token, OpenProcessToken, and the token
// objects that WTSQueryUserToken and DuplicateTokenEx hand out.
#include "security/token.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "core/fault.h"
#include "security/sid.h"
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

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

bool ValidLevel(SECURITY_IMPERSONATION_LEVEL level) {
  return static_cast<int>(level) >= SecurityAnonymous && static_cast<int>(level) <= SecurityDelegation;
}

}  // namespace

// What winsim relies on, from Microsoft's DuplicateTokenEx documentation and NtDuplicateToken's
// rules: desired access 0 asks for the source's own access; the source handle needs
// TOKEN_DUPLICATE; an impersonation token cannot be raised to a higher impersonation level, and a
// primary token can only be made from an impersonation token of at least SecurityImpersonation.
// The kernel writes *phNewToken, so a null one fails as an invalid address (ERROR_NOACCESS).
BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess, LPSECURITY_ATTRIBUTES,
                             SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                             PHANDLE phNewToken) {
  WINSIM_FAULT_BOOL("DuplicateTokenEx");
  if (TokenType != TokenPrimary && TokenType != TokenImpersonation) return Fail(ERROR_INVALID_PARAMETER);
  if (!ValidLevel(ImpersonationLevel)) return Fail(ERROR_INVALID_PARAMETER);
  auto source = winsim::TokenOfHandle(hExistingToken);
  if (!source) return FALSE;
  if (!source->Grants(TOKEN_DUPLICATE)) return Fail(ERROR_ACCESS_DENIED);
  if (source->Type() == TokenImpersonation) {
    SECURITY_IMPERSONATION_LEVEL needed = TokenType == TokenPrimary ? SecurityImpersonation : ImpersonationLevel;
    if (static_cast<int>(source->Level()) < static_cast<int>(needed)) return Fail(ERROR_BAD_IMPERSONATION_LEVEL);
  }
  if (!phNewToken) return Fail(ERROR_NOACCESS);
  DWORD access = dwDesiredAccess == 0 ? source->Access() : winsim::MapTokenAccess(dwDesiredAccess) & TOKEN_ALL_ACCESS;
  *phNewToken = winsim::InsertTokenHandle(source->GetIdentity(), TokenType, ImpersonationLevel, access);
  return TRUE;
}

namespace {

using winsim::security::SidBytes;

// The answer of one class: its bytes, where pointers to SIDs inside are written as offsets from
// the start and fixed up once the buffer's address is known.
struct Answer {
  std::vector<uint8_t> bytes;
  std::vector<size_t> pointerOffsets;  // where a PSID field lies; it holds an offset until fixed
  bool fixedSize = false;
};

template <class T>
void Write(Answer* a, size_t at, const T& value) {
  if (a->bytes.size() < at + sizeof(T)) a->bytes.resize(at + sizeof(T));
  std::memcpy(a->bytes.data() + at, &value, sizeof(T));
}

size_t AppendSid(Answer* a, const SidBytes& sid) {
  size_t at = (a->bytes.size() + 3) & ~size_t(3);
  a->bytes.resize(at + sid.size());
  std::memcpy(a->bytes.data() + at, sid.data(), sid.size());
  return at;
}

SidBytes SidOf(const std::string& text) {
  auto sid = winsim::security::SidFromString(text);
  return sid ? *sid : SidBytes();
}

// SID_AND_ATTRIBUTES entries at `at` for these SIDs, appended after the fixed part.
void WriteSidAndAttributes(Answer* a, size_t at, const std::vector<SidBytes>& sids, DWORD attributes) {
  for (size_t i = 0; i < sids.size(); ++i) {
    size_t entry = at + i * sizeof(SID_AND_ATTRIBUTES);
    Write(a, entry + offsetof(SID_AND_ATTRIBUTES, Attributes), attributes);
    a->pointerOffsets.push_back(entry + offsetof(SID_AND_ATTRIBUTES, Sid));
  }
  for (size_t i = 0; i < sids.size(); ++i) {
    size_t sidAt = AppendSid(a, sids[i]);
    Write(a, at + i * sizeof(SID_AND_ATTRIBUTES) + offsetof(SID_AND_ATTRIBUTES, Sid), static_cast<uintptr_t>(sidAt));
  }
}

DWORD Describe(const winsim::TokenObject& token, TOKEN_INFORMATION_CLASS cls, Answer* a) {
  const winsim::Identity& id = token.GetIdentity();
  switch (cls) {
    case TokenUser: {
      a->bytes.resize(sizeof(TOKEN_USER));
      WriteSidAndAttributes(a, 0, {SidOf(id.sid)}, 0);
      return ERROR_SUCCESS;
    }
    case TokenSessionId:
      a->fixedSize = true;
      Write(a, 0, static_cast<DWORD>(id.sessionId));
      return ERROR_SUCCESS;
    case TokenType:
      a->fixedSize = true;
      Write(a, 0, token.Type());
      return ERROR_SUCCESS;
    case TokenImpersonationLevel:
      // Only an impersonation token has a level.
      if (token.Type() != TokenImpersonation) return ERROR_INVALID_PARAMETER;
      a->fixedSize = true;
      Write(a, 0, token.Level());
      return ERROR_SUCCESS;
    case TokenElevation: {
      a->fixedSize = true;
      TOKEN_ELEVATION elevation{id.IsPrivileged() ? 1u : 0u};
      Write(a, 0, elevation);
      return ERROR_SUCCESS;
    }
    case TokenIsAppContainer:
      a->fixedSize = true;
      Write(a, 0, static_cast<DWORD>(id.IsAppContainer() ? 1 : 0));
      return ERROR_SUCCESS;
    case TokenAppContainerSid: {
      a->bytes.resize(sizeof(TOKEN_APPCONTAINER_INFORMATION));
      if (!id.appContainerSid.empty()) {
        size_t at = AppendSid(a, SidOf(id.appContainerSid));
        Write(a, 0, static_cast<uintptr_t>(at));
        a->pointerOffsets.push_back(0);
      }
      return ERROR_SUCCESS;
    }
    case TokenCapabilities: {
      std::vector<SidBytes> sids;
      for (const auto& text : id.capabilitySids) sids.push_back(SidOf(text));
      size_t entries = offsetof(TOKEN_GROUPS, Groups);
      a->bytes.resize(entries + std::max<size_t>(sids.size(), 1) * sizeof(SID_AND_ATTRIBUTES));
      Write(a, 0, static_cast<DWORD>(sids.size()));
      WriteSidAndAttributes(a, entries, sids, SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED);
      return ERROR_SUCCESS;
    }
    default:
      return ERROR_NOT_SUPPORTED;
  }
}

}  // namespace

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength) {
  WINSIM_FAULT_BOOL("GetTokenInformation");
  auto token = winsim::TokenOfHandle(TokenHandle);
  if (!token) return FALSE;
  // TokenSource is the one class that needs TOKEN_QUERY_SOURCE instead.
  DWORD needed = TokenInformationClass == TokenSource ? TOKEN_QUERY_SOURCE : TOKEN_QUERY;
  if (!token->Grants(needed)) return Fail(ERROR_ACCESS_DENIED);
  if (static_cast<int>(TokenInformationClass) < TokenUser ||
      static_cast<int>(TokenInformationClass) >= MaxTokenInfoClass) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Answer answer;
  try {
    if (DWORD error = Describe(*token, TokenInformationClass, &answer); error != ERROR_SUCCESS) return Fail(error);
  } catch (const std::bad_alloc&) {
    return Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!ReturnLength) return Fail(ERROR_NOACCESS);
  *ReturnLength = static_cast<DWORD>(answer.bytes.size());
  if (TokenInformationLength < answer.bytes.size() || !TokenInformation) {
    return Fail(answer.fixedSize ? ERROR_BAD_LENGTH : ERROR_INSUFFICIENT_BUFFER);
  }
  uint8_t* out = static_cast<uint8_t*>(TokenInformation);
  std::memcpy(out, answer.bytes.data(), answer.bytes.size());
  for (size_t at : answer.pointerOffsets) {
    uintptr_t offset;
    std::memcpy(&offset, out + at, sizeof(offset));
    uintptr_t address = reinterpret_cast<uintptr_t>(out) + offset;
    std::memcpy(out + at, &address, sizeof(address));
  }
  return TRUE;
}
