// Access control lists as bytes: an 8-byte header (revision, size, entry count) followed by the
// entries, each an ACE_HEADER (type, flags, size) and its body; allow, deny and audit entries hold
// a 32-bit access mask and the SID inline. Sizes are multiples of four.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "security/sid.h"

namespace winsim::security {

struct AceEntry {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t mask = 0;
  SidBytes sid;               // for the entry types that carry mask and SID
  std::vector<uint8_t> raw;   // the whole entry, for the types winsim only carries along
  bool HasSid() const { return raw.empty(); }
};

// Whether the ACL at `acl` (of which `available` bytes may be read) is valid; fills the entries
// and the revision. Entries of the mask-and-SID types must hold a valid SID.
bool ParseAcl(const void* acl, size_t available, std::vector<AceEntry>* entries, uint8_t* revision);
// The AclSize of a valid ACL; 0 when it is not valid.
size_t ValidAclLength(const void* acl, size_t available = SIZE_MAX);
// The bytes of an ACL of exactly the entries' size; empty when it would exceed 64 KB.
std::vector<uint8_t> BuildAcl(const std::vector<AceEntry>& entries, uint8_t revision);

}  // namespace winsim::security
