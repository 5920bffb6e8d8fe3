// Capability SIDs: their derivation from a capability name, the machine setting that shapes how
// many DeriveCapabilitySidsFromName returns, and whether an identity carries one.
//
// The derivation, as Windows documents and publishes it: the SHA-256 of the upper-cased name in
// UTF-16LE, read as eight little-endian 32-bit values h1..h8, gives the capability SID
// S-1-15-3-1024-h1-...-h8 and the capability group SID S-1-5-32-h1-...-h8. The twelve capabilities
// published before hash-derived SIDs existed (internetClient ... contacts) keep their short
// capability SIDs S-1-15-3-1 ... S-1-15-3-12; their group SIDs are hash-derived all the same.
//
// Shaping (`winsim security capability-count NAME N`, stored in the machine): the function then
// returns N capability SIDs and N group SIDs for NAME instead of one of each, so that a caller's
// handling of "not exactly one" can be tested. The first is the derived SID; the further ones are
// distinct made-up SIDs derived from "NAME#2", "NAME#3" ... in the same way.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/identity.h"
#include "security/sid.h"

namespace winsim::security {

SidBytes DeriveCapabilitySid(const std::wstring& name);
SidBytes DeriveCapabilityGroupSid(const std::wstring& name);

// How many capability SIDs the machine gives for the name: nullopt when not shaped (one).
std::optional<uint32_t> ShapedCapabilityCount(const std::wstring& name);
// Shapes the count for a name (names match without regard to case); nullopt removes the setting.
void SetShapedCapabilityCount(const std::wstring& name, std::optional<uint32_t> count);
std::vector<std::pair<std::wstring, uint32_t>> ListShapedCapabilityCounts();

// Whether the identity's token carries the capability SID. A token object calls this for its
// identity; CheckTokenCapability calls it for the calling process.
bool IdentityHasCapability(const Identity& identity, const void* capabilitySid);

}  // namespace winsim::security
