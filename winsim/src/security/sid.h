// SIDs as bytes: the binary layout (revision 1, sub-authority count, 6-byte big-endian identifier
// authority, little-endian 32-bit sub-authorities), their "S-1-..." text, and the SIDs that
// winsim's identities are made of.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::security {

using SidBytes = std::vector<uint8_t>;

constexpr const char* kEveryoneSid = "S-1-1-0";
constexpr const char* kLocalSid = "S-1-2-0";
constexpr const char* kOwnerRightsSid = "S-1-3-4";
constexpr const char* kInteractiveSid = "S-1-5-4";
constexpr const char* kAuthenticatedUsersSid = "S-1-5-11";
constexpr const char* kAdministratorsSid = "S-1-5-32-544";
constexpr const char* kUsersSid = "S-1-5-32-545";
constexpr const char* kAllApplicationPackagesSid = "S-1-15-2-1";

// The length of the valid SID at `sid`, reading at most `available` bytes; 0 when it is not one.
size_t ValidSidLength(const void* sid, size_t available = SIZE_MAX);
// A SID from its bytes (assumed valid).
SidBytes SidFromPointer(const void* sid);
SidBytes MakeSid(const uint8_t authority[6], const std::vector<uint32_t>& subAuthorities);
// "S-1-<authority>-<sub>..." (the authority in hexadecimal, 0x..., when it does not fit 32 bits).
std::string SidToString(const void* sid);
inline std::string SidToString(const SidBytes& sid) { return SidToString(sid.data()); }
// A SID from its "S-1-..." text; nullopt when the text is not one.
std::optional<SidBytes> SidFromString(std::string_view text);
// A SID from an SDDL account alias such as "WD" or "SY"; nullopt for an unknown alias.
std::optional<SidBytes> SidFromAlias(std::wstring_view alias);

// The SIDs of a winsim account name ("Everyone", "SYSTEM", "Administrators", a machine user ...),
// as LookupAccountName would find them; nullopt when the name is unknown.
std::optional<SidBytes> SidFromAccountName(std::wstring_view name);

}  // namespace winsim::security
