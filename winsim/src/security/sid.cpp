#include "security/sid.h"

#include <cstdio>
#include <cstring>

#include "core/identity.h"
#include "core/machine.h"
#include "core/strings.h"

namespace winsim::security {
namespace {

constexpr size_t kSidHeader = 8;  // revision, count, authority
constexpr uint8_t kSidRevision = 1;
constexpr uint8_t kMaxSubAuthorities = 15;

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool ParseNumber(std::string_view text, bool allowHex, uint64_t max, uint64_t* value) {
  if (text.empty()) return false;
  int base = 10;
  if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint64_t v = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (v > max) return false;
  }
  *value = v;
  return true;
}

}  // namespace

size_t ValidSidLength(const void* sid, size_t available) {
  if (sid == nullptr || available < kSidHeader) return 0;
  const uint8_t* p = static_cast<const uint8_t*>(sid);
  if (p[0] != kSidRevision || p[1] > kMaxSubAuthorities) return 0;
  size_t length = kSidHeader + 4u * p[1];
  return length <= available ? length : 0;
}

SidBytes SidFromPointer(const void* sid) {
  const uint8_t* p = static_cast<const uint8_t*>(sid);
  return SidBytes(p, p + kSidHeader + 4u * p[1]);
}

SidBytes MakeSid(const uint8_t authority[6], const std::vector<uint32_t>& subAuthorities) {
  SidBytes sid(kSidHeader + 4 * subAuthorities.size());
  sid[0] = kSidRevision;
  sid[1] = static_cast<uint8_t>(subAuthorities.size());
  std::memcpy(&sid[2], authority, 6);
  for (size_t i = 0; i < subAuthorities.size(); ++i) {
    uint32_t v = subAuthorities[i];
    for (int b = 0; b < 4; ++b) sid[kSidHeader + 4 * i + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  return sid;
}

std::string SidToString(const void* sid) {
  const uint8_t* p = static_cast<const uint8_t*>(sid);
  uint64_t authority = 0;
  for (int i = 0; i < 6; ++i) authority = authority << 8 | p[2 + i];
  char buffer[32];
  // Windows writes an authority of 2^32 or more in hexadecimal, as twelve digits.
  if (authority >= (1ull << 32)) {
    std::snprintf(buffer, sizeof(buffer), "0x%012llX", static_cast<unsigned long long>(authority));
  } else {
    std::snprintf(buffer, sizeof(buffer), "%llu", static_cast<unsigned long long>(authority));
  }
  std::string text = std::string("S-") + std::to_string(p[0]) + "-" + buffer;
  for (uint8_t i = 0; i < p[1]; ++i) text += "-" + std::to_string(ReadLe32(p + kSidHeader + 4 * i));
  return text;
}

std::optional<SidBytes> SidFromString(std::string_view text) {
  if (text.size() < 2 || (text[0] != 'S' && text[0] != 's') || text[1] != '-') return std::nullopt;
  text.remove_prefix(2);
  std::vector<std::string_view> parts;
  while (true) {
    size_t dash = text.find('-');
    parts.push_back(text.substr(0, dash));
    if (dash == std::string_view::npos) break;
    text.remove_prefix(dash + 1);
  }
  // Revision, authority (decimal, or 0x-hexadecimal as SidToString writes large ones), then at
  // most 15 decimal sub-authorities.
  if (parts.size() < 2 || parts.size() > 2u + kMaxSubAuthorities) return std::nullopt;
  uint64_t revision = 0, authority = 0;
  if (!ParseNumber(parts[0], false, 255, &revision) || revision != kSidRevision) return std::nullopt;
  if (!ParseNumber(parts[1], true, (1ull << 48) - 1, &authority)) return std::nullopt;
  uint8_t auth[6];
  for (int i = 0; i < 6; ++i) auth[i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
  std::vector<uint32_t> subs;
  for (size_t i = 2; i < parts.size(); ++i) {
    uint64_t v = 0;
    if (!ParseNumber(parts[i], false, 0xFFFFFFFFull, &v)) return std::nullopt;
    subs.push_back(static_cast<uint32_t>(v));
  }
  return MakeSid(auth, subs);
}

std::optional<SidBytes> SidFromAlias(std::wstring_view alias) {
  // The SDDL account aliases that need no domain.
  static const struct {
    const wchar_t* alias;
    const char* sid;
  } kAliases[] = {
      {L"WD", kEveryoneSid},     {L"CO", "S-1-3-0"},           {L"CG", "S-1-3-1"},
      {L"OW", kOwnerRightsSid},  {L"NU", "S-1-5-2"},           {L"IU", kInteractiveSid},
      {L"SU", "S-1-5-6"},        {L"AN", "S-1-5-7"},           {L"AU", kAuthenticatedUsersSid},
      {L"RC", "S-1-5-12"},       {L"SY", kSystemSid},          {L"LS", "S-1-5-19"},
      {L"NS", "S-1-5-20"},       {L"BA", kAdministratorsSid},  {L"BU", kUsersSid},
      {L"BG", "S-1-5-32-546"},   {L"AC", kAllApplicationPackagesSid},
  };
  for (const auto& a : kAliases) {
    if (EqualsNoCase(alias, a.alias)) return SidFromString(a.sid);
  }
  return std::nullopt;
}

std::optional<SidBytes> SidFromAccountName(std::wstring_view nameIn) {
  std::wstring name(nameIn);
  // "BUILTIN\Administrators", "NT AUTHORITY\SYSTEM", "WINSIM\alice": the domain part names no
  // more than the account does on a single machine.
  size_t slash = name.find(L'\\');
  std::wstring domain = slash == std::wstring::npos ? L"" : name.substr(0, slash);
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  static const struct {
    const wchar_t* domain;
    const wchar_t* name;
    const char* sid;
  } kWellKnown[] = {
      {L"", L"Everyone", kEveryoneSid},
      {L"", L"LOCAL", kLocalSid},
      {L"", L"OWNER RIGHTS", kOwnerRightsSid},
      {L"NT AUTHORITY", L"INTERACTIVE", kInteractiveSid},
      {L"NT AUTHORITY", L"ANONYMOUS LOGON", kAnonymousSid},
      {L"NT AUTHORITY", L"Authenticated Users", kAuthenticatedUsersSid},
      {L"NT AUTHORITY", L"SYSTEM", kSystemSid},
      {L"NT AUTHORITY", L"LOCAL SERVICE", "S-1-5-19"},
      {L"NT AUTHORITY", L"NETWORK SERVICE", "S-1-5-20"},
      {L"BUILTIN", L"Administrators", kAdministratorsSid},
      {L"BUILTIN", L"Users", kUsersSid},
      {L"APPLICATION PACKAGE AUTHORITY", L"ALL APPLICATION PACKAGES", kAllApplicationPackagesSid},
  };
  for (const auto& w : kWellKnown) {
    if (EqualsNoCase(name, w.name) && (domain.empty() || EqualsNoCase(domain, w.domain))) return SidFromString(w.sid);
  }
  if (!domain.empty() && !EqualsNoCase(domain, L"WINSIM")) return std::nullopt;
  if (!HasMachine()) return std::nullopt;
  auto account = FindUserAccount(name);
  if (!account) return std::nullopt;
  return SidFromString(account->sid);
}

}  // namespace winsim::security
