// The security descriptor functions of securitybaseapi.h, MapGenericMask and the self-relative copy
// of access.h.
#include "security/descriptor.h"

#include <cstring>

#include "core/fault.h"
#include "security/access.h"
#include "security/acl.h"
#include "security/sid.h"
#include "windows.h"

namespace winsim::security {
namespace {

constexpr size_t kRelativeHeader = sizeof(SECURITY_DESCRIPTOR_RELATIVE);

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

size_t AclLength(const uint8_t* acl) { return acl ? static_cast<size_t>(acl[2] | acl[3] << 8) : 0; }

}  // namespace

bool ReadDescriptor(const void* descriptor, size_t available, DescriptorParts* parts) {
  if (descriptor == nullptr || available < 4) return false;
  const uint8_t* p = static_cast<const uint8_t*>(descriptor);
  if (p[0] != SECURITY_DESCRIPTOR_REVISION) return false;
  DescriptorParts out;
  out.control = static_cast<uint16_t>(p[2] | p[3] << 8);
  const uint8_t* owner = nullptr;
  const uint8_t* group = nullptr;
  const uint8_t* sacl = nullptr;
  const uint8_t* dacl = nullptr;
  size_t limit = SIZE_MAX;
  if (out.control & SE_SELF_RELATIVE) {
    if (available < kRelativeHeader) return false;
    limit = available;
    auto at = [&](size_t field, const uint8_t** part) {
      uint32_t offset = ReadLe32(p + field);
      if (offset == 0) return true;
      if (offset < kRelativeHeader || offset >= available) return false;
      *part = p + offset;
      return true;
    };
    if (!at(4, &owner) || !at(8, &group) || !at(12, &sacl) || !at(16, &dacl)) return false;
  } else {
    const auto* absolute = static_cast<const SECURITY_DESCRIPTOR*>(descriptor);
    owner = static_cast<const uint8_t*>(absolute->Owner);
    group = static_cast<const uint8_t*>(absolute->Group);
    sacl = reinterpret_cast<const uint8_t*>(absolute->Sacl);
    dacl = reinterpret_cast<const uint8_t*>(absolute->Dacl);
  }
  auto remaining = [&](const uint8_t* part) { return limit == SIZE_MAX ? SIZE_MAX : limit - (part - p); };
  if (owner && ValidSidLength(owner, remaining(owner)) == 0) return false;
  if (group && ValidSidLength(group, remaining(group)) == 0) return false;
  // A list counts only when its present bit is set; present with no list is a NULL list.
  if (!(out.control & SE_SACL_PRESENT)) sacl = nullptr;
  if (!(out.control & SE_DACL_PRESENT)) dacl = nullptr;
  if (sacl && ValidAclLength(sacl, remaining(sacl)) == 0) return false;
  if (dacl && ValidAclLength(dacl, remaining(dacl)) == 0) return false;
  out.owner = owner;
  out.group = group;
  out.sacl = sacl;
  out.dacl = dacl;
  if (parts) *parts = out;
  return true;
}

std::vector<uint8_t> SelfRelativeBytes(const DescriptorParts& parts) {
  std::vector<uint8_t> out(kRelativeHeader, 0);
  out[0] = SECURITY_DESCRIPTOR_REVISION;
  uint16_t control = static_cast<uint16_t>(parts.control | SE_SELF_RELATIVE);
  out[2] = static_cast<uint8_t>(control);
  out[3] = static_cast<uint8_t>(control >> 8);
  auto append = [&](size_t field, const uint8_t* part, size_t length) {
    if (part == nullptr) return;
    uint32_t offset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), part, part + length);
    for (int i = 0; i < 4; ++i) out[field + i] = static_cast<uint8_t>(offset >> (8 * i));
  };
  append(12, parts.sacl, AclLength(parts.sacl));
  append(16, parts.dacl, AclLength(parts.dacl));
  append(4, parts.owner, parts.owner ? ValidSidLength(parts.owner) : 0);
  append(8, parts.group, parts.group ? ValidSidLength(parts.group) : 0);
  return out;
}

std::vector<uint8_t> CopySecurityDescriptor(const void* descriptor) {
  DescriptorParts parts;
  if (!ReadDescriptor(descriptor, SIZE_MAX, &parts)) return {};
  return SelfRelativeBytes(parts);
}

}  // namespace winsim::security

namespace {

// The checks the setters and getters share: a descriptor of revision 1 (ERROR_UNKNOWN_REVISION
// otherwise), and for the setters the absolute form (ERROR_INVALID_SECURITY_DESCR for a
// self-relative one, whose parts cannot be replaced in place).
bool CheckDescriptor(PSECURITY_DESCRIPTOR descriptor, bool forWriting) {
  if (descriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return false;
  }
  if (forWriting && (sd->Control & SE_SELF_RELATIVE)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return false;
  }
  return true;
}

// One part of a descriptor in either form: the address that the absolute form holds or the
// self-relative form's offset points to.
void* DescriptorPart(PSECURITY_DESCRIPTOR descriptor, size_t absoluteField, size_t relativeField) {
  auto* bytes = static_cast<uint8_t*>(descriptor);
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (sd->Control & SE_SELF_RELATIVE) {
    uint32_t offset;
    std::memcpy(&offset, bytes + relativeField, 4);
    return offset ? bytes + offset : nullptr;
  }
  void* part;
  std::memcpy(&part, bytes + absoluteField, sizeof(part));
  return part;
}

BOOL SetSid(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID sid, BOOL defaulted, bool owner) {
  if (!CheckDescriptor(pSecurityDescriptor, true)) return FALSE;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  SECURITY_DESCRIPTOR_CONTROL flag = owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED;
  (owner ? sd->Owner : sd->Group) = sid;
  sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(defaulted ? (sd->Control | flag) : (sd->Control & ~flag));
  return TRUE;
}

BOOL GetSid(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* sid, LPBOOL defaulted, bool owner) {
  if (sid == nullptr || defaulted == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!CheckDescriptor(pSecurityDescriptor, false)) return FALSE;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  *sid = owner ? DescriptorPart(pSecurityDescriptor, offsetof(SECURITY_DESCRIPTOR, Owner), 4)
               : DescriptorPart(pSecurityDescriptor, offsetof(SECURITY_DESCRIPTOR, Group), 8);
  *defaulted = (sd->Control & (owner ? SE_OWNER_DEFAULTED : SE_GROUP_DEFAULTED)) ? TRUE : FALSE;
  return TRUE;
}

}  // namespace

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision) {
  WINSIM_FAULT_BOOL("InitializeSecurityDescriptor");
  if (pSecurityDescriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  // An absolute descriptor with no owner, no group, no SACL and no DACL.
  std::memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  WINSIM_FAULT_BOOL("IsValidSecurityDescriptor");
  if (!winsim::security::ReadDescriptor(pSecurityDescriptor, SIZE_MAX, nullptr)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  WINSIM_FAULT_VALUE("GetSecurityDescriptorLength", 0);
  // Undefined for an invalid descriptor on Windows; 0 here.
  winsim::security::DescriptorParts parts;
  if (!winsim::security::ReadDescriptor(pSecurityDescriptor, SIZE_MAX, &parts)) return 0;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  // The header of its own form plus every part it refers to.
  DWORD header = (sd->Control & SE_SELF_RELATIVE) ? sizeof(SECURITY_DESCRIPTOR_RELATIVE) : sizeof(SECURITY_DESCRIPTOR);
  return header + static_cast<DWORD>(winsim::security::SelfRelativeBytes(parts).size() -
                                     sizeof(SECURITY_DESCRIPTOR_RELATIVE));
}

BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         PSECURITY_DESCRIPTOR_CONTROL pControl, LPDWORD lpdwRevision) {
  WINSIM_FAULT_BOOL("GetSecurityDescriptorControl");
  if (pControl == nullptr || lpdwRevision == nullptr || pSecurityDescriptor == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  // The revision is handed out even when it is not one this function knows.
  *lpdwRevision = sd->Revision;
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  *pControl = sd->Control;
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted) {
  WINSIM_FAULT_BOOL("SetSecurityDescriptorDacl");
  if (!CheckDescriptor(pSecurityDescriptor, true)) return FALSE;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  if (!bDaclPresent) {
    // No DACL at all: the defaulted flag and the pointer go with it.
    sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    sd->Dacl = nullptr;
    return TRUE;
  }
  // Present with a null pointer is a NULL DACL, which grants every access.
  sd->Dacl = pDacl;
  sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(sd->Control | SE_DACL_PRESENT);
  sd->Control = static_cast<SECURITY_DESCRIPTOR_CONTROL>(bDaclDefaulted ? (sd->Control | SE_DACL_DEFAULTED)
                                                                        : (sd->Control & ~SE_DACL_DEFAULTED));
  return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                                      LPBOOL lpbDaclDefaulted) {
  WINSIM_FAULT_BOOL("GetSecurityDescriptorDacl");
  if (lpbDaclPresent == nullptr || pDacl == nullptr || lpbDaclDefaulted == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!CheckDescriptor(pSecurityDescriptor, false)) return FALSE;
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
  *lpbDaclPresent = (sd->Control & SE_DACL_PRESENT) ? TRUE : FALSE;
  if (*lpbDaclPresent) {
    *pDacl = static_cast<PACL>(DescriptorPart(pSecurityDescriptor, offsetof(SECURITY_DESCRIPTOR, Dacl), 16));
    *lpbDaclDefaulted = (sd->Control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
  } else {
    *pDacl = nullptr;
    *lpbDaclDefaulted = FALSE;
  }
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner, BOOL bOwnerDefaulted) {
  WINSIM_FAULT_BOOL("SetSecurityDescriptorOwner");
  return SetSid(pSecurityDescriptor, pOwner, bOwnerDefaulted, true);
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner,
                                       LPBOOL lpbOwnerDefaulted) {
  WINSIM_FAULT_BOOL("GetSecurityDescriptorOwner");
  return GetSid(pSecurityDescriptor, pOwner, lpbOwnerDefaulted, true);
}

BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup, BOOL bGroupDefaulted) {
  WINSIM_FAULT_BOOL("SetSecurityDescriptorGroup");
  return SetSid(pSecurityDescriptor, pGroup, bGroupDefaulted, false);
}

BOOL WINAPI GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pGroup,
                                       LPBOOL lpbGroupDefaulted) {
  WINSIM_FAULT_BOOL("GetSecurityDescriptorGroup");
  return GetSid(pSecurityDescriptor, pGroup, lpbGroupDefaulted, false);
}

BOOL WINAPI MakeSelfRelativeSD(PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                               PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor, LPDWORD lpdwBufferLength) {
  WINSIM_FAULT_BOOL("MakeSelfRelativeSD");
  if (pAbsoluteSecurityDescriptor == nullptr || lpdwBufferLength == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pAbsoluteSecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_UNKNOWN_REVISION);
    return FALSE;
  }
  if (sd->Control & SE_SELF_RELATIVE) {
    SetLastError(ERROR_BAD_DESCRIPTOR_FORMAT);
    return FALSE;
  }
  winsim::security::DescriptorParts parts;
  if (!winsim::security::ReadDescriptor(sd, SIZE_MAX, &parts)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  std::vector<uint8_t> bytes = winsim::security::SelfRelativeBytes(parts);
  // Sizing protocol: a short buffer learns the size it needs.
  if (pSelfRelativeSecurityDescriptor == nullptr || *lpdwBufferLength < bytes.size()) {
    *lpdwBufferLength = static_cast<DWORD>(bytes.size());
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(pSelfRelativeSecurityDescriptor, bytes.data(), bytes.size());
  *lpdwBufferLength = static_cast<DWORD>(bytes.size());
  return TRUE;
}

// It cannot fail and returns nothing, so no fault can be injected into it.
void WINAPI MapGenericMask(PDWORD AccessMask, PGENERIC_MAPPING GenericMapping) {
  if (AccessMask == nullptr || GenericMapping == nullptr) return;
  DWORD mask = *AccessMask;
  if (mask & GENERIC_READ) mask |= GenericMapping->GenericRead;
  if (mask & GENERIC_WRITE) mask |= GenericMapping->GenericWrite;
  if (mask & GENERIC_EXECUTE) mask |= GenericMapping->GenericExecute;
  if (mask & GENERIC_ALL) mask |= GenericMapping->GenericAll;
  *AccessMask = mask & ~static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}
