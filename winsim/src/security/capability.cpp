// DeriveCapabilitySidsFromName and CheckTokenCapability.
#include "security/capability.h"

#include <openssl/sha.h>

#include <cstring>

#include "core/fault.h"
#include "core/machine.h"
#include "core/strings.h"
#include "kernel/localmem.h"
#include "security/token.h"
#include "windows.h"

namespace winsim::security {
namespace {

const char* kCapabilitySchema =
    "CREATE TABLE IF NOT EXISTS security_capability_count (key TEXT PRIMARY KEY, name TEXT NOT NULL,"
    " count INTEGER NOT NULL);";

Database& CapabilityDb() {
  Database& db = Database::Get();
  db.EnsureSchema("security_capability", kCapabilitySchema);
  return db;
}

std::vector<uint32_t> NameHash(const std::wstring& name) {
  std::vector<uint8_t> utf16 = Utf16LeFromWide(UpperCase(name));
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(utf16.data(), utf16.size(), digest);
  std::vector<uint32_t> words(8);
  for (size_t i = 0; i < 8; ++i) {
    const uint8_t* p = digest + 4 * i;
    words[i] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
               static_cast<uint32_t>(p[3]) << 24;
  }
  return words;
}

// The capabilities that had published SIDs before names were hashed, with their RIDs.
std::optional<uint32_t> LegacyCapabilityRid(const std::wstring& name) {
  static const wchar_t* kLegacy[] = {L"internetClient",      L"internetClientServer",
                                     L"privateNetworkClientServer", L"picturesLibrary",
                                     L"videosLibrary",       L"musicLibrary",
                                     L"documentsLibrary",    L"enterpriseAuthentication",
                                     L"sharedUserCertificates", L"removableStorage",
                                     L"appointments",        L"contacts"};
  for (uint32_t i = 0; i < sizeof(kLegacy) / sizeof(kLegacy[0]); ++i) {
    if (EqualsNoCase(name, kLegacy[i])) return i + 1;
  }
  return std::nullopt;
}

const uint8_t kAppPackageAuthority[6] = SECURITY_APP_PACKAGE_AUTHORITY;
const uint8_t kNtAuthority[6] = SECURITY_NT_AUTHORITY;

}  // namespace

SidBytes DeriveCapabilitySid(const std::wstring& name) {
  if (auto rid = LegacyCapabilityRid(name)) {
    return MakeSid(kAppPackageAuthority, {SECURITY_CAPABILITY_BASE_RID, *rid});
  }
  std::vector<uint32_t> subs{SECURITY_CAPABILITY_BASE_RID, SECURITY_CAPABILITY_APP_RID};
  for (uint32_t w : NameHash(name)) subs.push_back(w);
  return MakeSid(kAppPackageAuthority, subs);
}

SidBytes DeriveCapabilityGroupSid(const std::wstring& name) {
  std::vector<uint32_t> subs{SECURITY_INSTALLER_GROUP_CAPABILITY_BASE};
  for (uint32_t w : NameHash(name)) subs.push_back(w);
  return MakeSid(kNtAuthority, subs);
}

std::optional<uint32_t> ShapedCapabilityCount(const std::wstring& name) {
  if (!HasMachine()) return std::nullopt;
  Statement st(CapabilityDb().Raw(), "SELECT count FROM security_capability_count WHERE key = ?");
  st.Bind(1, Utf8FromWide(UpperCase(name)));
  if (!st.Step()) return std::nullopt;
  return static_cast<uint32_t>(st.Int(0));
}

void SetShapedCapabilityCount(const std::wstring& name, std::optional<uint32_t> count) {
  Database& db = CapabilityDb();
  if (count) {
    Statement st(db.Raw(), "INSERT OR REPLACE INTO security_capability_count (key, name, count) VALUES (?, ?, ?)");
    st.Bind(1, Utf8FromWide(UpperCase(name))).Bind(2, Utf8FromWide(name)).Bind(3, static_cast<int64_t>(*count));
    st.Step();
  } else {
    Statement st(db.Raw(), "DELETE FROM security_capability_count WHERE key = ?");
    st.Bind(1, Utf8FromWide(UpperCase(name)));
    st.Step();
  }
}

std::vector<std::pair<std::wstring, uint32_t>> ListShapedCapabilityCounts() {
  std::vector<std::pair<std::wstring, uint32_t>> out;
  Statement st(CapabilityDb().Raw(), "SELECT name, count FROM security_capability_count ORDER BY key");
  while (st.Step()) out.emplace_back(WideFromUtf8(st.Text(0)), static_cast<uint32_t>(st.Int(1)));
  return out;
}

bool IdentityHasCapability(const Identity& identity, const void* capabilitySid) {
  size_t length = ValidSidLength(capabilitySid);
  if (length == 0) return false;
  for (const std::string& text : identity.capabilitySids) {
    auto sid = SidFromString(text);
    if (sid && sid->size() == length && std::memcmp(sid->data(), capabilitySid, length) == 0) return true;
  }
  return false;
}

}  // namespace winsim::security

namespace {

// Frees what DeriveCapabilitySidsFromName had built when it cannot finish.
void FreeSidArray(PSID* array, DWORD count) {
  if (array == nullptr) return;
  for (DWORD i = 0; i < count; ++i) winsim::FreeLocal(array[i]);
  winsim::FreeLocal(array);
}

// An array of `count` SIDs in local-heap blocks, each SID a block of its own.
PSID* LocalSidArray(const std::vector<winsim::security::SidBytes>& sids) {
  auto* array = static_cast<PSID*>(winsim::AllocateLocal(sids.size() * sizeof(PSID), true));
  if (array == nullptr) return nullptr;
  for (size_t i = 0; i < sids.size(); ++i) {
    array[i] = winsim::AllocateLocal(sids[i].size(), false);
    if (array[i] == nullptr) {
      FreeSidArray(array, static_cast<DWORD>(i));
      return nullptr;
    }
    std::memcpy(array[i], sids[i].data(), sids[i].size());
  }
  return array;
}

}  // namespace

BOOL WINAPI DeriveCapabilitySidsFromName(LPCWSTR CapName, PSID** CapabilityGroupSids, DWORD* CapabilityGroupSidCount,
                                         PSID** CapabilitySids, DWORD* CapabilitySidCount) {
  WINSIM_FAULT_BOOL("DeriveCapabilitySidsFromName");
  if (CapName == nullptr || CapabilityGroupSids == nullptr || CapabilityGroupSidCount == nullptr ||
      CapabilitySids == nullptr || CapabilitySidCount == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::wstring name(CapName);
  // The name travels as a counted UTF-16 string, at most 32767 characters.
  if (winsim::Utf16LeFromWide(name).size() > 0xFFFE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  uint32_t count = 1;
  try {
    if (auto shaped = winsim::security::ShapedCapabilityCount(name)) count = *shaped;
  } catch (const std::exception&) {
    // An unreadable machine setting leaves the count as Windows has it.
  }
  std::vector<winsim::security::SidBytes> groups, capabilities;
  for (uint32_t i = 0; i < count; ++i) {
    std::wstring source = i == 0 ? name : name + L"#" + std::to_wstring(i + 1);
    groups.push_back(winsim::security::DeriveCapabilityGroupSid(source));
    capabilities.push_back(winsim::security::DeriveCapabilitySid(source));
  }
  PSID* groupArray = LocalSidArray(groups);
  PSID* capabilityArray = groupArray ? LocalSidArray(capabilities) : nullptr;
  if (capabilityArray == nullptr) {
    FreeSidArray(groupArray, count);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *CapabilityGroupSids = groupArray;
  *CapabilityGroupSidCount = count;
  *CapabilitySids = capabilityArray;
  *CapabilitySidCount = count;
  return TRUE;
}

BOOL WINAPI CheckTokenCapability(HANDLE TokenHandle, PSID CapabilitySidToCheck, PBOOL HasCapability) {
  WINSIM_FAULT_BOOL("CheckTokenCapability");
  if (HasCapability == nullptr || CapabilitySidToCheck == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (winsim::security::ValidSidLength(CapabilitySidToCheck) == 0) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  // A null handle is the calling thread's effective token: the process's own, as winsim threads do
  // not impersonate. Any other handle is a token object (the pseudo-handles of the process's token
  // among them), which answers for the identity it carries; the thread's own token does not exist.
  if (TokenHandle == nullptr) {
    *HasCapability =
        winsim::security::IdentityHasCapability(winsim::CurrentIdentity(), CapabilitySidToCheck) ? TRUE : FALSE;
    return TRUE;
  }
  auto token = winsim::TokenOfHandle(TokenHandle);
  if (!token) return FALSE;
  if (!token->Grants(TOKEN_QUERY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  *HasCapability =
      winsim::security::IdentityHasCapability(token->GetIdentity(), CapabilitySidToCheck) ? TRUE : FALSE;
  return TRUE;
}
