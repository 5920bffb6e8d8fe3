// The access check that winsim's own objects (the RPC endpoints among them) make against a
// caller's identity, as Windows' kernel makes it against a caller's token.
//
// The caller's SIDs, by its identity:
//   LocalSystem      S-1-5-18, Everyone (S-1-1-0), Authenticated Users (S-1-5-11), Administrators (S-1-5-32-544)
//   Administrator    its user SID, Everyone, Local (S-1-2-0), Interactive (S-1-5-4), Authenticated Users,
//                    Users (S-1-5-32-545), Administrators
//   User             its user SID, Everyone, Local, Interactive, Authenticated Users, Users
//   anonymous        (AnonymousIdentity() in core/identity.h) ANONYMOUS LOGON (S-1-5-7) and Everyone only
// An app container caller (Identity::IsAppContainer: it carries capability SIDs or a package SID)
// is checked twice, as Windows does: once with the SIDs above, once with its package SID, its
// capability SIDs and ALL APPLICATION PACKAGES (S-1-15-2-1); it is granted only what both passes
// grant. Everyone therefore admits it only when an entry for its package or capabilities does too.
//
// Entries are read in order: a deny entry refuses the rights not already granted by the entries
// before it. A NULL (or absent) DACL grants every right; an empty DACL grants none. The owner is
// granted READ_CONTROL and WRITE_DAC before the DACL is read (not in the app container pass).
// Generic rights, in the request and in the entries, are mapped through `mapping`, as Windows maps
// them when it assigns a descriptor to an object. A request for no rights is refused.
#pragma once
#include <cstdint>
#include <vector>

#include "core/identity.h"
#include "winnt.h"

namespace winsim::security {

// A self-relative copy of an absolute or self-relative descriptor; empty when it is invalid.
std::vector<uint8_t> CopySecurityDescriptor(const void* descriptor);
// Whether a caller of this identity gets `desired` from the (self-relative copy of the) descriptor, with GENERIC_* mapped by `mapping`; `granted` receives the granted mask.
bool AccessCheckIdentity(const std::vector<uint8_t>& descriptor, const Identity& caller, uint32_t desired, const GENERIC_MAPPING& mapping, uint32_t* granted);

}  // namespace winsim::security
