// Access control lists and security descriptors: the bytes the RPC endpoint's two entries give,
// the merge rules of SetEntriesInAclW, and the argument, revision and sizing errors.
#include <cstring>

#include "SecurityTest.h"
#include "aclapi.h"
#include "security/access.h"

namespace winsim::test {
namespace {

class AclTest : public SecurityTest {};

EXPLICIT_ACCESS_W Entry(PSID sid, DWORD rights, ACCESS_MODE mode, DWORD inheritance = NO_INHERITANCE,
                        TRUSTEE_TYPE type = TRUSTEE_IS_UNKNOWN) {
  EXPLICIT_ACCESS_W e = {};
  e.grfAccessPermissions = rights;
  e.grfAccessMode = mode;
  e.grfInheritance = inheritance;
  e.Trustee.pMultipleTrustee = nullptr;
  e.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  e.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  e.Trustee.TrusteeType = type;
  e.Trustee.ptstrName = static_cast<LPWCH>(sid);
  return e;
}

// An ACL's entries as "type flags mask SID" lines, read through GetAce.
std::vector<std::string> Entries(PACL acl) {
  std::vector<std::string> out;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* ace = nullptr;
    EXPECT_TRUE(GetAce(acl, i, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    char head[32];
    std::snprintf(head, sizeof(head), "%u %02x %08x ", allowed->Header.AceType, allowed->Header.AceFlags,
                  allowed->Mask);
    out.push_back(head + SidText(&allowed->SidStart));
  }
  return out;
}

TEST_F(AclTest, TheEndpointsTwoEntriesGiveTheseBytes) {
  // Built as the service builds it: Everyone and the app's capability SID, GENERIC_ALL each.
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
  PSID* groups = nullptr;
  PSID* capabilities = nullptr;
  DWORD groupCount = 0, capabilityCount = 0;
  ASSERT_TRUE(DeriveCapabilitySidsFromName(L"R3185527.TorvexUtility_7mvd2kx9qhe3b", &groups, &groupCount,
                                           &capabilities, &capabilityCount));
  ASSERT_EQ(capabilityCount, 1u);
  EXPLICIT_ACCESS_W entries[2] = {
      Entry(everyone, GENERIC_ALL, SET_ACCESS, NO_INHERITANCE, TRUSTEE_IS_WELL_KNOWN_GROUP),
      Entry(capabilities[0], GENERIC_ALL, SET_ACCESS, NO_INHERITANCE, TRUSTEE_IS_UNKNOWN),
  };
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(2, entries, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_TRUE(IsValidAcl(acl));
  // Independently laid out: header (revision 2, size 84, 2 entries), then each allowed entry with
  // its size, GENERIC_ALL and the SID inline; the second SID holds the name's SHA-256 as is.
  EXPECT_EQ(Hex(acl, acl->AclSize),
            "02005400020000000000140000000010"
            "01010000000000010000000000003800"
            "00000010010a00000000000f03000000"
            "0004000019cf985df55839a82e5e023a"
            "4a2b9d79e24a1a74adf0fab604a50aba"
            "9b825f7f");
  ACL_SIZE_INFORMATION size = {};
  ASSERT_TRUE(GetAclInformation(acl, &size, sizeof(size), AclSizeInformation));
  EXPECT_EQ(size.AceCount, 2u);
  EXPECT_EQ(size.AclBytesInUse, 84u);
  EXPECT_EQ(size.AclBytesFree, 0u);

  // The absolute descriptor: revision 1, DACL present and not defaulted, nothing else.
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  EXPECT_EQ(SECURITY_DESCRIPTOR_MIN_LENGTH, 40u);
  EXPECT_EQ(sd.Revision, 1);
  EXPECT_EQ(sd.Control, SE_DACL_PRESENT);
  EXPECT_EQ(sd.Owner, nullptr);
  EXPECT_EQ(sd.Group, nullptr);
  EXPECT_EQ(sd.Sacl, nullptr);
  EXPECT_TRUE(IsValidSecurityDescriptor(&sd));
  EXPECT_EQ(GetSecurityDescriptorLength(&sd), 40u + 84u);

  // Its self-relative form: the 20-byte header with the DACL's offset, then the DACL.
  DWORD length = 0;
  EXPECT_FALSE(MakeSelfRelativeSD(&sd, nullptr, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_EQ(length, 104u);
  std::vector<unsigned char> relative(length);
  ASSERT_TRUE(MakeSelfRelativeSD(&sd, relative.data(), &length));
  EXPECT_EQ(Hex(relative.data(), 20), "0100048000000000000000000000000014000000");
  EXPECT_EQ(std::memcmp(relative.data() + 20, acl, 84), 0);
  EXPECT_EQ(security::CopySecurityDescriptor(&sd), relative);
  EXPECT_EQ(security::CopySecurityDescriptor(relative.data()), relative);
  EXPECT_EQ(GetSecurityDescriptorLength(relative.data()), 104u);

  // The self-relative form reads back the same DACL, and cannot be changed in place.
  BOOL present = FALSE, defaulted = TRUE;
  PACL read = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(relative.data(), &present, &read, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_FALSE(defaulted);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(read), relative.data() + 20);
  EXPECT_FALSE(SetSecurityDescriptorDacl(relative.data(), TRUE, acl, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  EXPECT_FALSE(MakeSelfRelativeSD(relative.data(), nullptr, &length));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_DESCRIPTOR_FORMAT));

  for (DWORD i = 0; i < groupCount; ++i) LocalFree(groups[i]);
  LocalFree(groups);
  for (DWORD i = 0; i < capabilityCount; ++i) LocalFree(capabilities[i]);
  LocalFree(capabilities);
  EXPECT_EQ(FreeSid(everyone), nullptr);
  EXPECT_EQ(LocalFree(acl), nullptr);
}

TEST_F(AclTest, EntriesMergeIntoAnOldListAsDocumented) {
  OwnedSid a(L"S-1-5-21-1-2-3-1001");
  OwnedSid b(L"S-1-5-21-1-2-3-1002");
  const std::string A = " S-1-5-21-1-2-3-1001", B = " S-1-5-21-1-2-3-1002";
  struct OldEntry {
    bool deny;
    PSID sid;
    DWORD mask;
    bool inherited;
  };
  struct Case {
    const char* what;
    std::vector<OldEntry> old;
    EXPLICIT_ACCESS_W entry;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"grant adds to the trustee's allowed rights", {{false, a.get(), 1, false}},
       Entry(a.get(), 2, GRANT_ACCESS), {"0 00 00000003" + A}},
      {"grant for another trustee goes before the existing allowed entries", {{false, a.get(), 1, false}},
       Entry(b.get(), 2, GRANT_ACCESS), {"0 00 00000002" + B, "0 00 00000001" + A}},
      {"set discards the trustee's allowed and denied rights",
       {{true, a.get(), 4, false}, {false, a.get(), 1, false}, {false, b.get(), 1, false}},
       Entry(a.get(), 8, SET_ACCESS), {"0 00 00000008" + A, "0 00 00000001" + B}},
      {"deny goes to the beginning", {{false, a.get(), 1, false}},
       Entry(b.get(), 2, DENY_ACCESS), {"1 00 00000002" + B, "0 00 00000001" + A}},
      {"deny adds to the trustee's denied rights", {{true, b.get(), 1, false}, {false, a.get(), 1, false}},
       Entry(b.get(), 2, DENY_ACCESS), {"1 00 00000003" + B, "0 00 00000001" + A}},
      {"revoke removes allowed entries and keeps denied ones", {{true, a.get(), 4, false}, {false, a.get(), 1, false}},
       Entry(a.get(), 0, REVOKE_ACCESS), {"1 00 00000004" + A}},
      {"an unused entry changes nothing", {{false, a.get(), 1, false}},
       Entry(b.get(), 2, NOT_USED_ACCESS), {"0 00 00000001" + A}},
      {"inherited entries stay after the explicit ones and are not merged", {{false, a.get(), 1, true}},
       Entry(a.get(), 2, GRANT_ACCESS, SUB_CONTAINERS_AND_OBJECTS_INHERIT),
       {"0 03 00000002" + A, "0 10 00000001" + A}},
      {"audit entries carry their success flag", {},
       Entry(a.get(), 2, SET_AUDIT_SUCCESS), {"2 40 00000002" + A}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    unsigned char buffer[256];
    auto* old = reinterpret_cast<PACL>(buffer);
    ASSERT_TRUE(InitializeAcl(old, sizeof(buffer), ACL_REVISION));
    for (const auto& e : c.old) {
      ASSERT_TRUE(e.deny ? AddAccessDeniedAce(old, ACL_REVISION, e.mask, e.sid)
                         : AddAccessAllowedAce(old, ACL_REVISION, e.mask, e.sid));
      if (e.inherited) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(old, old->AceCount - 1, &ace));
        static_cast<ACE_HEADER*>(ace)->AceFlags |= INHERITED_ACE;
      }
    }
    EXPLICIT_ACCESS_W entry = c.entry;
    PACL merged = nullptr;
    ASSERT_EQ(SetEntriesInAclW(1, &entry, c.old.empty() ? nullptr : old, &merged), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(merged, nullptr);
    EXPECT_EQ(Entries(merged), c.expected);
    LocalFree(merged);
  }
}

TEST_F(AclTest, TrusteesByNameAndSetEntriesErrors) {
  AddUser("alice");
  RunAsUser(L"alice");
  EXPLICIT_ACCESS_W byName[3] = {};
  const wchar_t* names[3] = {L"Everyone", L"CURRENT_USER", L"BUILTIN\\Administrators"};
  for (int i = 0; i < 3; ++i) {
    byName[i] = Entry(nullptr, GENERIC_READ, GRANT_ACCESS);
    byName[i].Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    byName[i].Trustee.ptstrName = const_cast<LPWCH>(names[i]);
  }
  PACL acl = nullptr;
  ASSERT_EQ(SetEntriesInAclW(3, byName, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Entries(acl), (std::vector<std::string>{"0 00 80000000 S-1-1-0", "0 00 80000000 " + CurrentIdentity().sid,
                                                    "0 00 80000000 S-1-5-32-544"}));
  LocalFree(acl);

  OwnedSid everyone(L"WD");
  EXPLICIT_ACCESS_W good = Entry(everyone.get(), GENERIC_ALL, SET_ACCESS);
  struct Case {
    const char* what;
    EXPLICIT_ACCESS_W entry;
    DWORD expected;
  };
  unsigned char notASid[12] = {5, 1};
  EXPLICIT_ACCESS_W unknownName = byName[0];
  unknownName.Trustee.ptstrName = const_cast<LPWCH>(L"nobody-here");
  EXPLICIT_ACCESS_W multiple = good;
  multiple.Trustee.pMultipleTrustee = &good.Trustee;
  EXPLICIT_ACCESS_W badMode = good;
  badMode.grfAccessMode = static_cast<ACCESS_MODE>(7);  // past SET_AUDIT_FAILURE
  EXPLICIT_ACCESS_W badForm = good;
  badForm.Trustee.TrusteeForm = TRUSTEE_BAD_FORM;
  const Case cases[] = {
      {"a trustee that is no SID", Entry(notASid, GENERIC_ALL, SET_ACCESS), ERROR_INVALID_SID},
      {"a name no account has", unknownName, ERROR_NONE_MAPPED},
      {"multiple trustees", multiple, ERROR_INVALID_PARAMETER},
      {"an unknown access mode", badMode, ERROR_INVALID_PARAMETER},
      {"a bad trustee form", badForm, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPLICIT_ACCESS_W entry = c.entry;
    acl = reinterpret_cast<PACL>(1);
    EXPECT_EQ(SetEntriesInAclW(1, &entry, nullptr, &acl), c.expected);
  }
  EXPECT_EQ(SetEntriesInAclW(1, &good, nullptr, nullptr), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(SetEntriesInAclW(1, nullptr, nullptr, &acl), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  unsigned char corrupt[8] = {9, 0, 8, 0, 0, 0, 0, 0};  // revision 9
  EXPECT_EQ(SetEntriesInAclW(1, &good, reinterpret_cast<PACL>(corrupt), &acl), static_cast<DWORD>(ERROR_INVALID_ACL));
  // Nothing merged into nothing: success without a list.
  acl = reinterpret_cast<PACL>(1);
  EXPECT_EQ(SetEntriesInAclW(0, nullptr, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(acl, nullptr);
}

TEST_F(AclTest, DescriptorAndAclArgumentErrors) {
  SECURITY_DESCRIPTOR sd;
  EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  BOOL present = TRUE, defaulted = TRUE;
  PACL dacl = reinterpret_cast<PACL>(1);
  ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
  EXPECT_FALSE(present);
  // Present with no list: a NULL DACL, kept apart from an absent one by the control flags.
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, TRUE));
  ASSERT_TRUE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
  EXPECT_TRUE(present);
  EXPECT_TRUE(defaulted);
  EXPECT_EQ(dacl, nullptr);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(&sd, &control, &revision));
  EXPECT_EQ(control, SE_DACL_PRESENT | SE_DACL_DEFAULTED);
  EXPECT_EQ(revision, 1u);
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, FALSE, nullptr, TRUE));
  ASSERT_TRUE(GetSecurityDescriptorControl(&sd, &control, &revision));
  EXPECT_EQ(control, 0);

  // An owner and group in the descriptor, read back.
  OwnedSid system(L"SY");
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, system.get(), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorGroup(&sd, system.get(), TRUE));
  PSID owner = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorOwner(&sd, &owner, &defaulted));
  EXPECT_EQ(owner, system.get());
  EXPECT_FALSE(defaulted);
  ASSERT_TRUE(GetSecurityDescriptorGroup(&sd, &owner, &defaulted));
  EXPECT_TRUE(defaulted);

  // A descriptor is only as valid as its parts.
  unsigned char badAcl[8] = {9, 0, 8, 0, 0, 0, 0, 0};
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, reinterpret_cast<PACL>(badAcl), FALSE));
  EXPECT_FALSE(IsValidSecurityDescriptor(&sd));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR));
  EXPECT_TRUE(security::CopySecurityDescriptor(&sd).empty());
  EXPECT_TRUE(security::CopySecurityDescriptor(nullptr).empty());
  sd.Revision = 3;
  EXPECT_FALSE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
  EXPECT_FALSE(GetSecurityDescriptorDacl(&sd, &present, &dacl, &defaulted));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));

  // An ACL built by hand fills up, and GetAce refuses an index beyond its entries.
  unsigned char buffer[32];
  auto* acl = reinterpret_cast<PACL>(buffer);
  EXPECT_FALSE(InitializeAcl(acl, 4, ACL_REVISION));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(InitializeAcl(acl, sizeof(buffer), 7));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ASSERT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
  OwnedSid everyone(L"WD");
  ASSERT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_READ, everyone.get()));  // 8 + 20 bytes
  EXPECT_FALSE(AddAccessDeniedAce(acl, ACL_REVISION, GENERIC_READ, everyone.get()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALLOTTED_SPACE_EXCEEDED));
  void* ace = nullptr;
  EXPECT_FALSE(GetAce(acl, 1, &ace));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  ACL_SIZE_INFORMATION size = {};
  EXPECT_FALSE(GetAclInformation(acl, &size, 4, AclSizeInformation));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(GetAclInformation(acl, &size, sizeof(size), AclSizeInformation));
  EXPECT_EQ(size.AclBytesInUse, 28u);
  EXPECT_EQ(size.AclBytesFree, 4u);
}

TEST_F(AclTest, MapGenericMaskReplacesGenericRights) {
  GENERIC_MAPPING files = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  struct Case {
    DWORD in;
    DWORD out;
  };
  const Case cases[] = {
      {GENERIC_READ, FILE_GENERIC_READ},
      {GENERIC_READ | GENERIC_WRITE, FILE_GENERIC_READ | FILE_GENERIC_WRITE},
      {GENERIC_ALL | DELETE, FILE_ALL_ACCESS},
      {FILE_READ_DATA, FILE_READ_DATA},
  };
  for (const auto& c : cases) {
    DWORD mask = c.in;
    MapGenericMask(&mask, &files);
    EXPECT_EQ(mask, c.out);
  }
}

}  // namespace
}  // namespace winsim::test
