// The ACL functions of securitybaseapi.h and SetEntriesInAclW of aclapi.h.
#include "security/acl.h"

#include <algorithm>
#include <cstring>

#include "aclapi.h"
#include "core/fault.h"
#include "core/identity.h"
#include "kernel/localmem.h"
#include "windows.h"

namespace winsim::security {
namespace {

constexpr size_t kAclHeader = 8;
constexpr size_t kAceHeader = 4;

uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void WriteLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void WriteLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The entry types whose body is a mask followed by a SID.
bool IsMaskAndSidType(uint8_t type) {
  return type == ACCESS_ALLOWED_ACE_TYPE || type == ACCESS_DENIED_ACE_TYPE || type == SYSTEM_AUDIT_ACE_TYPE ||
         type == SYSTEM_ALARM_ACE_TYPE || type == SYSTEM_MANDATORY_LABEL_ACE_TYPE;
}

size_t EntrySize(const AceEntry& e) { return e.HasSid() ? kAceHeader + 4 + e.sid.size() : e.raw.size(); }

}  // namespace

bool ParseAcl(const void* acl, size_t available, std::vector<AceEntry>* entries, uint8_t* revision) {
  if (acl == nullptr || available < kAclHeader) return false;
  const uint8_t* p = static_cast<const uint8_t*>(acl);
  uint8_t rev = p[0];
  size_t size = ReadLe16(p + 2);
  size_t count = ReadLe16(p + 4);
  if (rev < MIN_ACL_REVISION || rev > MAX_ACL_REVISION) return false;
  if (size < kAclHeader || size % 4 != 0 || size > available) return false;
  std::vector<AceEntry> out;
  size_t offset = kAclHeader;
  for (size_t i = 0; i < count; ++i) {
    if (offset + kAceHeader > size) return false;
    const uint8_t* ace = p + offset;
    size_t aceSize = ReadLe16(ace + 2);
    if (aceSize < kAceHeader || aceSize % 4 != 0 || offset + aceSize > size) return false;
    AceEntry e;
    e.type = ace[0];
    e.flags = ace[1];
    if (IsMaskAndSidType(e.type)) {
      if (aceSize < kAceHeader + 4) return false;
      e.mask = ReadLe32(ace + kAceHeader);
      size_t sidLength = ValidSidLength(ace + kAceHeader + 4, aceSize - kAceHeader - 4);
      if (sidLength == 0) return false;
      e.sid = SidFromPointer(ace + kAceHeader + 4);
    } else {
      e.raw.assign(ace, ace + aceSize);
    }
    out.push_back(std::move(e));
    offset += aceSize;
  }
  if (entries) *entries = std::move(out);
  if (revision) *revision = rev;
  return true;
}

size_t ValidAclLength(const void* acl, size_t available) {
  if (!ParseAcl(acl, available, nullptr, nullptr)) return 0;
  return ReadLe16(static_cast<const uint8_t*>(acl) + 2);
}

std::vector<uint8_t> BuildAcl(const std::vector<AceEntry>& entries, uint8_t revision) {
  size_t size = kAclHeader;
  for (const auto& e : entries) size += EntrySize(e);
  if (size > 0xFFFF || entries.size() > 0xFFFF) return {};
  std::vector<uint8_t> acl(size, 0);
  acl[0] = revision;
  WriteLe16(&acl[2], static_cast<uint16_t>(size));
  WriteLe16(&acl[4], static_cast<uint16_t>(entries.size()));
  size_t offset = kAclHeader;
  for (const auto& e : entries) {
    uint8_t* ace = &acl[offset];
    if (e.HasSid()) {
      ace[0] = e.type;
      ace[1] = e.flags;
      WriteLe16(ace + 2, static_cast<uint16_t>(EntrySize(e)));
      WriteLe32(ace + kAceHeader, e.mask);
      std::memcpy(ace + kAceHeader + 4, e.sid.data(), e.sid.size());
    } else {
      std::memcpy(ace, e.raw.data(), e.raw.size());
    }
    offset += EntrySize(e);
  }
  return acl;
}

}  // namespace winsim::security

namespace {

using winsim::security::AceEntry;
using winsim::security::SidBytes;

// The used bytes of a valid ACL: its header and entries.
size_t UsedAclBytes(const std::vector<AceEntry>& entries) {
  size_t used = 8;
  for (const auto& e : entries) used += e.HasSid() ? 8 + e.sid.size() : e.raw.size();
  return used;
}

BOOL AddMaskAndSidAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid, uint8_t type) {
  if (pAcl == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::vector<AceEntry> entries;
  uint8_t revision = 0;
  if (!winsim::security::ParseAcl(pAcl, SIZE_MAX, &entries, &revision)) {
    SetLastError(ERROR_INVALID_ACL);
    return FALSE;
  }
  if (dwAceRevision < MIN_ACL_REVISION || dwAceRevision > MAX_ACL_REVISION) {
    SetLastError(ERROR_REVISION_MISMATCH);
    return FALSE;
  }
  size_t sidLength = winsim::security::ValidSidLength(pSid);
  if (sidLength == 0) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  size_t used = UsedAclBytes(entries);
  if (used + 8 + sidLength > pAcl->AclSize) {
    SetLastError(ERROR_ALLOTTED_SPACE_EXCEEDED);
    return FALSE;
  }
  // The entry goes at the end; the list's revision rises to the entry's.
  auto* ace = reinterpret_cast<uint8_t*>(pAcl) + used;
  ace[0] = type;
  ace[1] = 0;
  uint16_t aceSize = static_cast<uint16_t>(8 + sidLength);
  std::memcpy(ace + 2, &aceSize, 2);
  std::memcpy(ace + 4, &AccessMask, 4);
  std::memcpy(ace + 8, pSid, sidLength);
  pAcl->AceCount = static_cast<WORD>(pAcl->AceCount + 1);
  pAcl->AclRevision = static_cast<BYTE>(std::max<DWORD>(revision, dwAceRevision));
  return TRUE;
}

}  // namespace

BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision) {
  WINSIM_FAULT_BOOL("InitializeAcl");
  if (pAcl == nullptr || dwAclRevision < MIN_ACL_REVISION || dwAclRevision > MAX_ACL_REVISION ||
      nAclLength > 0xFFFF) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (nAclLength < sizeof(ACL)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // The size is kept DWORD-aligned, as every entry's is.
  pAcl->AclRevision = static_cast<BYTE>(dwAclRevision);
  pAcl->Sbz1 = 0;
  pAcl->AclSize = static_cast<WORD>(nAclLength & ~3u);
  pAcl->AceCount = 0;
  pAcl->Sbz2 = 0;
  return TRUE;
}

BOOL WINAPI IsValidAcl(PACL pAcl) {
  WINSIM_FAULT_BOOL("IsValidAcl");
  if (winsim::security::ValidAclLength(pAcl) == 0) {
    SetLastError(ERROR_INVALID_ACL);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce) {
  WINSIM_FAULT_BOOL("GetAce");
  if (pAcl == nullptr || pAce == nullptr || dwAceIndex >= pAcl->AceCount ||
      winsim::security::ValidAclLength(pAcl) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* p = reinterpret_cast<uint8_t*>(pAcl) + sizeof(ACL);
  for (DWORD i = 0; i < dwAceIndex; ++i) p += reinterpret_cast<ACE_HEADER*>(p)->AceSize;
  *pAce = p;
  return TRUE;
}

BOOL WINAPI GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                              ACL_INFORMATION_CLASS dwAclInformationClass) {
  WINSIM_FAULT_BOOL("GetAclInformation");
  std::vector<AceEntry> entries;
  uint8_t revision = 0;
  if (pAcl == nullptr || pAclInformation == nullptr ||
      !winsim::security::ParseAcl(pAcl, SIZE_MAX, &entries, &revision)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwAclInformationClass == AclRevisionInformation) {
    if (nAclInformationLength < sizeof(ACL_REVISION_INFORMATION)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    static_cast<ACL_REVISION_INFORMATION*>(pAclInformation)->AclRevision = revision;
    return TRUE;
  }
  if (dwAclInformationClass == AclSizeInformation) {
    if (nAclInformationLength < sizeof(ACL_SIZE_INFORMATION)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    auto* info = static_cast<ACL_SIZE_INFORMATION*>(pAclInformation);
    info->AceCount = static_cast<DWORD>(entries.size());
    info->AclBytesInUse = static_cast<DWORD>(UsedAclBytes(entries));
    info->AclBytesFree = pAcl->AclSize - info->AclBytesInUse;
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
  WINSIM_FAULT_BOOL("AddAccessAllowedAce");
  return AddMaskAndSidAce(pAcl, dwAceRevision, AccessMask, pSid, ACCESS_ALLOWED_ACE_TYPE);
}

BOOL WINAPI AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid) {
  WINSIM_FAULT_BOOL("AddAccessDeniedAce");
  return AddMaskAndSidAce(pAcl, dwAceRevision, AccessMask, pSid, ACCESS_DENIED_ACE_TYPE);
}

namespace {

// The trustee's SID, or the error that SetEntriesInAclW returns for it.
DWORD TrusteeSid(const TRUSTEE_W& trustee, SidBytes* sid) {
  // Multiple trustees are documented as unsupported: the member must be null.
  if (trustee.pMultipleTrustee != nullptr || trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE) {
    return ERROR_INVALID_PARAMETER;
  }
  switch (trustee.TrusteeForm) {
    case TRUSTEE_IS_SID: {
      if (winsim::security::ValidSidLength(trustee.ptstrName) == 0) return ERROR_INVALID_SID;
      *sid = winsim::security::SidFromPointer(trustee.ptstrName);
      return ERROR_SUCCESS;
    }
    case TRUSTEE_IS_NAME: {
      if (trustee.ptstrName == nullptr) return ERROR_INVALID_PARAMETER;
      std::wstring name(trustee.ptstrName);
      // CURRENT_USER names the caller's own account.
      std::optional<SidBytes> found;
      if (name == L"CURRENT_USER") {
        found = winsim::security::SidFromString(winsim::CurrentIdentity().sid);
      } else {
        found = winsim::security::SidFromAccountName(name);
      }
      if (!found) return ERROR_NONE_MAPPED;
      *sid = *found;
      return ERROR_SUCCESS;
    }
    case TRUSTEE_IS_OBJECTS_AND_SID:
    case TRUSTEE_IS_OBJECTS_AND_NAME:
      // Object-specific entries belong to directory-service objects, which winsim does not have.
      return ERROR_NOT_SUPPORTED;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

bool IsExplicitFor(const AceEntry& e, const SidBytes& sid) {
  return e.HasSid() && (e.flags & INHERITED_ACE) == 0 && e.sid == sid;
}

// Adds rights to a matching entry of `list` (same type, SID and flags) or appends a new one.
void MergeInto(std::vector<AceEntry>& list, std::vector<AceEntry>& old, uint8_t type, uint8_t flags, uint32_t mask,
               const SidBytes& sid) {
  for (auto& e : list) {
    if (e.type == type && e.flags == flags && IsExplicitFor(e, sid)) {
      e.mask |= mask;
      return;
    }
  }
  // An existing entry of the old list is combined into the new one, which takes its place in
  // the ordering of new entries.
  for (auto it = old.begin(); it != old.end(); ++it) {
    if (it->type == type && it->flags == flags && IsExplicitFor(*it, sid)) {
      mask |= it->mask;
      old.erase(it);
      break;
    }
  }
  AceEntry e;
  e.type = type;
  e.flags = flags;
  e.mask = mask;
  e.sid = sid;
  list.push_back(std::move(e));
}

void RemoveExplicit(std::vector<AceEntry>& list, const SidBytes& sid, std::initializer_list<uint8_t> types) {
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const AceEntry& e) {
                              return IsExplicitFor(e, sid) &&
                                     std::find(types.begin(), types.end(), e.type) != types.end();
                            }),
             list.end());
}

}  // namespace

// Documented placement: new access-denied entries at the beginning of the list, new access-allowed
// entries just before the existing access-allowed ones, new audit entries at the beginning. Where the
// old list has no explicit allowed entry, new allowed entries go before its first inherited entry,
// keeping the list in canonical order.
DWORD WINAPI SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries, PACL OldAcl,
                              PACL* NewAcl) {
  WINSIM_FAULT_STATUS("SetEntriesInAclW", DWORD);
  if (NewAcl == nullptr || (cCountOfExplicitEntries > 0 && pListOfExplicitEntries == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<AceEntry> old;
  uint8_t revision = ACL_REVISION;
  if (OldAcl != nullptr && !winsim::security::ParseAcl(OldAcl, SIZE_MAX, &old, &revision)) {
    return ERROR_INVALID_ACL;
  }
  // Nothing to merge into nothing gives no list at all.
  if (cCountOfExplicitEntries == 0 && OldAcl == nullptr) {
    *NewAcl = nullptr;
    return ERROR_SUCCESS;
  }
  std::vector<AceEntry> newDenied, newAllowed, newAudit;
  for (ULONG i = 0; i < cCountOfExplicitEntries; ++i) {
    const EXPLICIT_ACCESS_W& entry = pListOfExplicitEntries[i];
    if (entry.grfAccessMode == NOT_USED_ACCESS) continue;
    if (entry.grfAccessMode < NOT_USED_ACCESS || entry.grfAccessMode > SET_AUDIT_FAILURE) {
      return ERROR_INVALID_PARAMETER;
    }
    SidBytes sid;
    if (DWORD error = TrusteeSid(entry.Trustee, &sid); error != ERROR_SUCCESS) return error;
    uint8_t flags = static_cast<uint8_t>(entry.grfInheritance & VALID_INHERIT_FLAGS);
    uint32_t mask = entry.grfAccessPermissions;
    switch (entry.grfAccessMode) {
      case SET_ACCESS:
        // Every earlier allow and deny entry of the trustee is discarded.
        for (auto* list : {&old, &newDenied, &newAllowed}) {
          RemoveExplicit(*list, sid, {ACCESS_ALLOWED_ACE_TYPE, ACCESS_DENIED_ACE_TYPE});
        }
        MergeInto(newAllowed, old, ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid);
        break;
      case GRANT_ACCESS:
        MergeInto(newAllowed, old, ACCESS_ALLOWED_ACE_TYPE, flags, mask, sid);
        break;
      case DENY_ACCESS:
        MergeInto(newDenied, old, ACCESS_DENIED_ACE_TYPE, flags, mask, sid);
        break;
      case REVOKE_ACCESS:
        for (auto* list : {&old, &newAllowed, &newAudit}) {
          RemoveExplicit(*list, sid, {ACCESS_ALLOWED_ACE_TYPE, SYSTEM_AUDIT_ACE_TYPE});
        }
        break;
      case SET_AUDIT_SUCCESS:
        MergeInto(newAudit, old, SYSTEM_AUDIT_ACE_TYPE, flags | SUCCESSFUL_ACCESS_ACE_FLAG, mask, sid);
        break;
      case SET_AUDIT_FAILURE:
        MergeInto(newAudit, old, SYSTEM_AUDIT_ACE_TYPE, flags | FAILED_ACCESS_ACE_FLAG, mask, sid);
        break;
      default:
        break;
    }
  }
  std::vector<AceEntry> result = newAudit;
  result.insert(result.end(), newDenied.begin(), newDenied.end());
  auto firstAllowedOrInherited = std::find_if(old.begin(), old.end(), [](const AceEntry& e) {
    return e.type == ACCESS_ALLOWED_ACE_TYPE || (e.flags & INHERITED_ACE) != 0;
  });
  result.insert(result.end(), old.begin(), firstAllowedOrInherited);
  result.insert(result.end(), newAllowed.begin(), newAllowed.end());
  result.insert(result.end(), firstAllowedOrInherited, old.end());

  std::vector<uint8_t> bytes = winsim::security::BuildAcl(result, revision);
  if (bytes.empty()) return ERROR_ALLOTTED_SPACE_EXCEEDED;
  void* block = winsim::AllocateLocal(bytes.size(), false);
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(block, bytes.data(), bytes.size());
  *NewAcl = static_cast<PACL>(block);
  return ERROR_SUCCESS;
}
