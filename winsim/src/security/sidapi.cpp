// The SID functions of securitybaseapi.h and sddl.h. Where Windows would fault on a null pointer,
// winsim fails the call with ERROR_INVALID_PARAMETER instead.
#include <cstring>

#include "core/fault.h"
#include "core/strings.h"
#include "kernel/localmem.h"
#include "sddl.h"
#include "security/sid.h"
#include "windows.h"

namespace {

using winsim::security::SidBytes;
using winsim::security::ValidSidLength;

constexpr DWORD kSidHeader = 8;

// A SID in a block of the local heap (what LocalFree and FreeSid release).
PSID LocalSid(const SidBytes& sid) {
  void* block = winsim::AllocateLocal(sid.size(), false);
  if (block) std::memcpy(block, sid.data(), sid.size());
  return block;
}

}  // namespace

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid) {
  WINSIM_FAULT_BOOL("AllocateAndInitializeSid");
  if (pIdentifierAuthority == nullptr || pSid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // At most eight sub-authorities can be given; more is STATUS_INVALID_SID.
  if (nSubAuthorityCount > 8) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  const DWORD all[8] = {nSubAuthority0, nSubAuthority1, nSubAuthority2, nSubAuthority3,
                        nSubAuthority4, nSubAuthority5, nSubAuthority6, nSubAuthority7};
  SidBytes sid = winsim::security::MakeSid(pIdentifierAuthority->Value,
                                           std::vector<uint32_t>(all, all + nSubAuthorityCount));
  PSID block = LocalSid(sid);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *pSid = block;
  return TRUE;
}

PVOID WINAPI FreeSid(PSID pSid) {
  WINSIM_FAULT_VALUE("FreeSid", pSid);
  if (pSid == nullptr) return nullptr;
  // Documented: NULL on success, the SID itself on failure.
  if (!winsim::FreeLocal(pSid)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return pSid;
  }
  return nullptr;
}

BOOL WINAPI InitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount) {
  WINSIM_FAULT_BOOL("InitializeSid");
  if (Sid == nullptr || pIdentifierAuthority == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (nSubAuthorityCount > SID_MAX_SUB_AUTHORITIES) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // The sub-authorities are left for the caller to set through GetSidSubAuthority.
  SID* sid = static_cast<SID*>(Sid);
  sid->Revision = SID_REVISION;
  sid->SubAuthorityCount = nSubAuthorityCount;
  sid->IdentifierAuthority = *pIdentifierAuthority;
  return TRUE;
}

DWORD WINAPI GetSidLengthRequired(UCHAR nSubAuthorityCount) {
  WINSIM_FAULT_VALUE("GetSidLengthRequired", 0);
  return kSidHeader + 4u * nSubAuthorityCount;
}

DWORD WINAPI GetLengthSid(PSID pSid) {
  WINSIM_FAULT_VALUE("GetLengthSid", 0);
  // Undefined for an invalid SID on Windows; 0 here.
  return static_cast<DWORD>(ValidSidLength(pSid));
}

BOOL WINAPI IsValidSid(PSID pSid) {
  // No extended error information is documented for this function.
  if (winsim::CheckFault("IsValidSid")) return FALSE;
  return ValidSidLength(pSid) != 0 ? TRUE : FALSE;
}

BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2) {
  WINSIM_FAULT_BOOL("EqualSid");
  size_t a = ValidSidLength(pSid1), b = ValidSidLength(pSid2);
  if (a == 0 || b == 0) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  // The documentation sends a caller to GetLastError when the SIDs differ: ERROR_SUCCESS tells a
  // difference from a failure.
  SetLastError(ERROR_SUCCESS);
  return a == b && std::memcmp(pSid1, pSid2, a) == 0 ? TRUE : FALSE;
}

BOOL WINAPI CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid) {
  WINSIM_FAULT_BOOL("CopySid");
  size_t length = ValidSidLength(pSourceSid);
  if (length == 0) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  if (nDestinationSidLength < length) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (pDestinationSid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memmove(pDestinationSid, pSourceSid, length);
  return TRUE;
}

PSID_IDENTIFIER_AUTHORITY WINAPI GetSidIdentifierAuthority(PSID pSid) {
  WINSIM_FAULT_VALUE("GetSidIdentifierAuthority", nullptr);
  if (pSid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return &static_cast<SID*>(pSid)->IdentifierAuthority;
}

PDWORD WINAPI GetSidSubAuthority(PSID pSid, DWORD nSubAuthority) {
  WINSIM_FAULT_VALUE("GetSidSubAuthority", nullptr);
  // Windows does not check the index; winsim refuses one beyond the SID's sub-authorities.
  if (pSid == nullptr || nSubAuthority >= static_cast<SID*>(pSid)->SubAuthorityCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return &static_cast<SID*>(pSid)->SubAuthority[nSubAuthority];
}

PUCHAR WINAPI GetSidSubAuthorityCount(PSID pSid) {
  WINSIM_FAULT_VALUE("GetSidSubAuthorityCount", nullptr);
  if (pSid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return &static_cast<SID*>(pSid)->SubAuthorityCount;
}

BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid) {
  WINSIM_FAULT_BOOL("ConvertSidToStringSidW");
  if (Sid == nullptr || StringSid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (ValidSidLength(Sid) == 0) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  std::wstring text = winsim::WideFromUtf8(winsim::security::SidToString(Sid));
  auto* buffer = static_cast<wchar_t*>(winsim::AllocateLocal((text.size() + 1) * sizeof(wchar_t), false));
  if (buffer == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  *StringSid = buffer;
  return TRUE;
}

BOOL WINAPI ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid) {
  WINSIM_FAULT_BOOL("ConvertStringSidToSidW");
  if (StringSid == nullptr || Sid == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::wstring text(StringSid);
  std::optional<SidBytes> sid;
  for (wchar_t c : text) {
    if (c > 0x7F) {
      SetLastError(ERROR_INVALID_SID);
      return FALSE;
    }
  }
  if (text.size() == 2) {
    sid = winsim::security::SidFromAlias(text);
  } else {
    sid = winsim::security::SidFromString(winsim::Utf8FromWide(text));
  }
  if (!sid) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  PSID block = LocalSid(*sid);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *Sid = block;
  return TRUE;
}
