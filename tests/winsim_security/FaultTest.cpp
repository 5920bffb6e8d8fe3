// Fault injection reaches every security and local memory function, which then fails the way its
// own result reports failure.
#include <cstring>
#include <functional>

#include "SecurityTest.h"
#include "aclapi.h"
#include "core/fault.h"

namespace winsim::test {
namespace {

class SecurityFaultTest : public SecurityTest {};

constexpr DWORD kError = ERROR_ACCESS_DENIED;

TEST_F(SecurityFaultTest, EveryFunctionFailsWithTheInjectedError) {
  OwnedSid everyone(L"WD");
  unsigned char aclBuffer[64];
  auto* acl = reinterpret_cast<PACL>(aclBuffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION));
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, everyone.get()));
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  HLOCAL block = LocalAlloc(LMEM_FIXED, 8);
  ASSERT_NE(block, nullptr);

  unsigned char sidBuffer[SECURITY_MAX_SID_SIZE];
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID sid = nullptr;
  PSID* sids = nullptr;
  DWORD count = 0, length = 0, revision = 0;
  BOOL flag = FALSE, defaulted = FALSE;
  PACL outAcl = nullptr;
  LPWSTR text = nullptr;
  void* ace = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  ACL_SIZE_INFORMATION aclSize = {};
  SECURITY_DESCRIPTOR scratch;
  std::memcpy(&scratch, &sd, sizeof(sd));
  EXPLICIT_ACCESS_W entry = {};
  entry.grfAccessPermissions = GENERIC_ALL;
  entry.grfAccessMode = SET_ACCESS;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.ptstrName = static_cast<LPWCH>(everyone.get());

  // Each call, and whether it reports failure (with kError as its last error, unless noted).
  struct Case {
    const char* name;
    std::function<bool()> failed;
    bool lastError;
  };
  const Case cases[] = {
      {"LocalAlloc", [&] { return LocalAlloc(LPTR, 8) == nullptr; }, true},
      {"LocalFree", [&] { return LocalFree(block) == block; }, true},
      {"LocalSize", [&] { return LocalSize(block) == 0; }, true},
      {"AllocateAndInitializeSid",
       [&] { return !AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &sid); }, true},
      {"FreeSid", [&] { return FreeSid(block) == block; }, true},
      {"InitializeSid", [&] { return !InitializeSid(sidBuffer, &world, 1); }, true},
      {"GetSidLengthRequired", [&] { return GetSidLengthRequired(1) == 0; }, true},
      {"GetLengthSid", [&] { return GetLengthSid(everyone.get()) == 0; }, true},
      {"IsValidSid", [&] { return !IsValidSid(everyone.get()); }, false},
      {"EqualSid", [&] { return !EqualSid(everyone.get(), everyone.get()); }, true},
      {"CopySid", [&] { return !CopySid(sizeof(sidBuffer), sidBuffer, everyone.get()); }, true},
      {"GetSidIdentifierAuthority", [&] { return GetSidIdentifierAuthority(everyone.get()) == nullptr; }, true},
      {"GetSidSubAuthority", [&] { return GetSidSubAuthority(everyone.get(), 0) == nullptr; }, true},
      {"GetSidSubAuthorityCount", [&] { return GetSidSubAuthorityCount(everyone.get()) == nullptr; }, true},
      {"ConvertSidToStringSidW", [&] { return !ConvertSidToStringSidW(everyone.get(), &text); }, true},
      {"ConvertStringSidToSidW", [&] { return !ConvertStringSidToSidW(L"S-1-1-0", &sid); }, true},
      {"DeriveCapabilitySidsFromName",
       [&] { return !DeriveCapabilitySidsFromName(L"registryRead", &sids, &count, &sids, &count); }, true},
      {"CheckTokenCapability", [&] { return !CheckTokenCapability(nullptr, everyone.get(), &flag); }, true},
      {"InitializeAcl", [&] { return !InitializeAcl(reinterpret_cast<PACL>(sidBuffer), 8, ACL_REVISION); }, true},
      {"IsValidAcl", [&] { return !IsValidAcl(acl); }, true},
      {"GetAce", [&] { return !GetAce(acl, 0, &ace); }, true},
      {"GetAclInformation",
       [&] { return !GetAclInformation(acl, &aclSize, sizeof(aclSize), AclSizeInformation); }, true},
      {"AddAccessAllowedAce", [&] { return !AddAccessAllowedAce(acl, ACL_REVISION, 1, everyone.get()); }, true},
      {"AddAccessDeniedAce", [&] { return !AddAccessDeniedAce(acl, ACL_REVISION, 1, everyone.get()); }, true},
      {"SetEntriesInAclW", [&] { return SetEntriesInAclW(1, &entry, nullptr, &outAcl) == kError; }, false},
      {"InitializeSecurityDescriptor", [&] { return !InitializeSecurityDescriptor(&scratch, 1); }, true},
      {"IsValidSecurityDescriptor", [&] { return !IsValidSecurityDescriptor(&sd); }, true},
      {"GetSecurityDescriptorLength", [&] { return GetSecurityDescriptorLength(&sd) == 0; }, true},
      {"GetSecurityDescriptorControl", [&] { return !GetSecurityDescriptorControl(&sd, &control, &revision); }, true},
      {"SetSecurityDescriptorDacl", [&] { return !SetSecurityDescriptorDacl(&scratch, TRUE, acl, FALSE); }, true},
      {"GetSecurityDescriptorDacl", [&] { return !GetSecurityDescriptorDacl(&sd, &flag, &outAcl, &defaulted); }, true},
      {"SetSecurityDescriptorOwner",
       [&] { return !SetSecurityDescriptorOwner(&scratch, everyone.get(), FALSE); }, true},
      {"GetSecurityDescriptorOwner", [&] { return !GetSecurityDescriptorOwner(&sd, &sid, &defaulted); }, true},
      {"SetSecurityDescriptorGroup",
       [&] { return !SetSecurityDescriptorGroup(&scratch, everyone.get(), FALSE); }, true},
      {"GetSecurityDescriptorGroup", [&] { return !GetSecurityDescriptorGroup(&sd, &sid, &defaulted); }, true},
      {"MakeSelfRelativeSD", [&] { return !MakeSelfRelativeSD(&sd, nullptr, &length); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InjectFault(c.name, kError, 1);
    SetLastError(0);
    EXPECT_TRUE(c.failed());
    if (c.lastError) {
      EXPECT_EQ(GetLastError(), kError);
    }
    ClearFaults();
  }
  // Nothing was handed out while failing, and the block survived LocalFree's and FreeSid's faults.
  EXPECT_EQ(LocalFree(block), nullptr);
}

TEST_F(SecurityFaultTest, AFaultOnALaterCallLetsTheEarlierOnesThrough) {
  // The service's sequence: the Everyone SID succeeds, its second SID allocation fails.
  InjectFault("AllocateAndInitializeSid", ERROR_NOT_ENOUGH_MEMORY, -1, 2);
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID first = nullptr, second = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &first));
  EXPECT_FALSE(AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &second));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(FreeSid(first), nullptr);
}

}  // namespace
}  // namespace winsim::test
