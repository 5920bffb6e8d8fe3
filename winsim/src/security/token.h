// Access tokens as kernel objects: who a process runs as (user, session, app container package
// and capabilities, carried by winsim's Identity), of which kind (primary or impersonation) and
// with which access the handle was opened. A token never changes once made, so each handle names
// a token object of its own, with its own access.
#pragma once
#include <memory>

#include "core/identity.h"
#include "kernel/handles.h"
#include "minwindef.h"
#include "winnt.h"

namespace winsim {

class TokenObject : public KernelObject {
 public:
  TokenObject(Identity identity, TOKEN_TYPE type, SECURITY_IMPERSONATION_LEVEL level, DWORD access)
      : m_identity(std::move(identity)), m_type(type), m_level(level), m_access(access) {}

  const Identity& GetIdentity() const { return m_identity; }
  TOKEN_TYPE Type() const { return m_type; }
  SECURITY_IMPERSONATION_LEVEL Level() const { return m_level; }
  DWORD Access() const { return m_access; }
  bool Grants(DWORD rights) const { return (m_access & rights) == rights; }

 private:
  Identity m_identity;
  TOKEN_TYPE m_type;
  SECURITY_IMPERSONATION_LEVEL m_level;
  DWORD m_access;
};

// The pseudo-handles of the calling process's and thread's tokens (GetCurrentProcessToken,
// GetCurrentThreadToken, GetCurrentThreadEffectiveToken), which need no closing.
inline HANDLE CurrentProcessTokenPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4)); }
inline HANDLE CurrentThreadTokenPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-5)); }
inline HANDLE CurrentThreadEffectiveTokenPseudoHandle() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-6)); }

// The token a handle names: a token object, or for the pseudo-handles of the process's own
// token a primary token of the caller's identity with TOKEN_QUERY and TOKEN_QUERY_SOURCE access
// (what Windows allows through them). Null with ERROR_INVALID_HANDLE set for anything else, and
// with ERROR_NO_TOKEN for the thread's own token, which no winsim thread has.
std::shared_ptr<TokenObject> TokenOfHandle(HANDLE handle);

// The generic rights (and MAXIMUM_ALLOWED) of a request mapped to the token rights.
DWORD MapTokenAccess(DWORD desired);

// A new handle to a new token.
HANDLE InsertTokenHandle(const Identity& identity, TOKEN_TYPE type, SECURITY_IMPERSONATION_LEVEL level, DWORD access);

}  // namespace winsim
