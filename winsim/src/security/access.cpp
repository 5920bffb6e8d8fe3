// The access check of access.h.
#include "security/access.h"

#include <algorithm>

#include "security/acl.h"
#include "security/descriptor.h"
#include "security/sid.h"

namespace winsim::security {
namespace {

constexpr uint32_t kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

uint32_t Map(uint32_t mask, const GENERIC_MAPPING& mapping) {
  if (mask & GENERIC_READ) mask |= mapping.GenericRead;
  if (mask & GENERIC_WRITE) mask |= mapping.GenericWrite;
  if (mask & GENERIC_EXECUTE) mask |= mapping.GenericExecute;
  if (mask & GENERIC_ALL) mask |= mapping.GenericAll;
  return mask & ~kGenericRights;
}

void AddSid(std::vector<SidBytes>& sids, const std::string& text) {
  if (auto sid = SidFromString(text)) sids.push_back(*sid);
}

// The SIDs of the caller's user and groups (the first pass).
std::vector<SidBytes> UserSideSids(const Identity& caller) {
  std::vector<SidBytes> sids;
  AddSid(sids, caller.sid);
  AddSid(sids, kEveryoneSid);
  if (caller.IsAnonymous()) return sids;
  if (caller.kind == AccountKind::System) {
    AddSid(sids, kAuthenticatedUsersSid);
    AddSid(sids, kAdministratorsSid);
    return sids;
  }
  AddSid(sids, kLocalSid);
  AddSid(sids, kInteractiveSid);
  AddSid(sids, kAuthenticatedUsersSid);
  AddSid(sids, kUsersSid);
  if (caller.kind == AccountKind::Administrator) AddSid(sids, kAdministratorsSid);
  return sids;
}

// The SIDs of an app container's package side (the second pass).
std::vector<SidBytes> PackageSideSids(const Identity& caller) {
  std::vector<SidBytes> sids;
  AddSid(sids, caller.appContainerSid);
  for (const auto& capability : caller.capabilitySids) AddSid(sids, capability);
  AddSid(sids, kAllApplicationPackagesSid);
  return sids;
}

bool Contains(const std::vector<SidBytes>& sids, const SidBytes& sid) {
  return std::find(sids.begin(), sids.end(), sid) != sids.end();
}

// Every right a descriptor can grant to a caller that asks for the most it may have.
uint32_t AllRights(const GENERIC_MAPPING& mapping) {
  return Map(GENERIC_ALL, mapping) | STANDARD_RIGHTS_ALL | Map(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, mapping);
}

// The rights one pass grants: the owner's implicit rights first, then the entries in order, each
// allow entry adding the rights no earlier deny entry took and each deny entry taking the rights no
// earlier allow entry gave.
uint32_t GrantedByPass(const DescriptorParts& parts, const std::vector<AceEntry>* dacl,
                       const std::vector<SidBytes>& sids, bool ownerRights, const GENERIC_MAPPING& mapping) {
  // No DACL, or a NULL one, grants everything.
  if (!(parts.control & SE_DACL_PRESENT) || dacl == nullptr) return AllRights(mapping);
  uint32_t granted = 0, denied = 0;
  if (ownerRights && parts.owner && Contains(sids, SidFromPointer(parts.owner))) granted |= READ_CONTROL | WRITE_DAC;
  for (const auto& ace : *dacl) {
    if (!ace.HasSid() || (ace.flags & INHERIT_ONLY_ACE) || !Contains(sids, ace.sid)) continue;
    uint32_t mask = Map(ace.mask, mapping);
    if (ace.type == ACCESS_ALLOWED_ACE_TYPE) {
      granted |= mask & ~denied;
    } else if (ace.type == ACCESS_DENIED_ACE_TYPE) {
      denied |= mask & ~granted;
    }
  }
  return granted;
}

}  // namespace

bool AccessCheckIdentity(const std::vector<uint8_t>& descriptor, const Identity& caller, uint32_t desired,
                         const GENERIC_MAPPING& mapping, uint32_t* granted) {
  if (granted) *granted = 0;
  DescriptorParts parts;
  if (descriptor.empty() || !ReadDescriptor(descriptor.data(), descriptor.size(), &parts)) return false;
  std::vector<AceEntry> entries;
  const std::vector<AceEntry>* dacl = nullptr;
  if (parts.dacl) {
    if (!ParseAcl(parts.dacl, descriptor.size() - static_cast<size_t>(parts.dacl - descriptor.data()), &entries,
                  nullptr)) {
      return false;
    }
    dacl = &entries;
  }
  bool maximum = (desired & MAXIMUM_ALLOWED) != 0;
  uint32_t wanted = Map(desired & ~static_cast<uint32_t>(MAXIMUM_ALLOWED), mapping);
  if (!maximum && wanted == 0) return false;

  uint32_t allowed = GrantedByPass(parts, dacl, UserSideSids(caller), true, mapping);
  // An app container gets only what its package side is granted as well.
  if (caller.IsAppContainer()) allowed &= GrantedByPass(parts, dacl, PackageSideSids(caller), false, mapping);

  if ((wanted & allowed) != wanted) return false;
  uint32_t result = maximum ? (allowed | wanted) : wanted;
  if (result == 0) return false;
  if (granted) *granted = result;
  return true;
}

}  // namespace winsim::security
