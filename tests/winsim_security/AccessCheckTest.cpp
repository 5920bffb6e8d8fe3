// The identity access check that winsim's RPC run-time makes against an endpoint's descriptor.
#include "SecurityTest.h"
#include "aclapi.h"
#include "core/identity.h"
#include "security/access.h"

namespace winsim::test {
namespace {

constexpr const wchar_t* kCapability =
    L"S-1-15-3-1024-1570295577-2822330613-973233710-2040343370-1947880162-3069898925-3121259780-2136965787";
constexpr const char* kCapabilityText =
    "S-1-15-3-1024-1570295577-2822330613-973233710-2040343370-1947880162-3069898925-3121259780-2136965787";

// An object type with four specific rights.
constexpr DWORD kRead = 0x1, kWrite = 0x2, kExecute = 0x4, kAll = STANDARD_RIGHTS_REQUIRED | 0xF;
const GENERIC_MAPPING kMapping = {READ_CONTROL | kRead, kWrite, kExecute, kAll};

class AccessCheckTest : public SecurityTest {
 protected:
  struct Ace {
    bool deny;
    const wchar_t* sid;
    DWORD mask;
  };

  // The self-relative copy of an absolute descriptor with these entries, in this order
  // (AddAccess*Ace keeps the order given, canonical or not).
  static std::vector<uint8_t> Descriptor(const std::vector<Ace>& aces, const wchar_t* owner = nullptr) {
    unsigned char buffer[1024];
    auto* acl = reinterpret_cast<PACL>(buffer);
    EXPECT_TRUE(InitializeAcl(acl, sizeof(buffer), ACL_REVISION));
    for (const auto& a : aces) {
      OwnedSid sid(a.sid);
      EXPECT_TRUE(a.deny ? AddAccessDeniedAce(acl, ACL_REVISION, a.mask, sid.get())
                         : AddAccessAllowedAce(acl, ACL_REVISION, a.mask, sid.get()));
    }
    SECURITY_DESCRIPTOR sd;
    EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    OwnedSid ownerSid(owner ? owner : L"SY");
    if (owner) {
      EXPECT_TRUE(SetSecurityDescriptorOwner(&sd, ownerSid.get(), FALSE));
    }
    return security::CopySecurityDescriptor(&sd);
  }

  static std::vector<uint8_t> NullDaclDescriptor() {
    SECURITY_DESCRIPTOR sd;
    EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    return security::CopySecurityDescriptor(&sd);
  }

  // The service's own descriptor, built as the service builds it.
  static std::vector<uint8_t> EndpointDescriptor() {
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    EXPECT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    OwnedSid capability(kCapability);
    EXPLICIT_ACCESS_W entries[2] = {};
    PSID sids[2] = {everyone, capability.get()};
    for (int i = 0; i < 2; ++i) {
      entries[i].grfAccessPermissions = GENERIC_ALL;
      entries[i].grfAccessMode = SET_ACCESS;
      entries[i].grfInheritance = NO_INHERITANCE;
      entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
      entries[i].Trustee.TrusteeType = i == 0 ? TRUSTEE_IS_WELL_KNOWN_GROUP : TRUSTEE_IS_UNKNOWN;
      entries[i].Trustee.ptstrName = static_cast<LPWCH>(sids[i]);
    }
    PACL acl = nullptr;
    EXPECT_EQ(SetEntriesInAclW(2, entries, nullptr, &acl), static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR sd;
    EXPECT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    std::vector<uint8_t> copy = security::CopySecurityDescriptor(&sd);
    LocalFree(acl);
    FreeSid(everyone);
    return copy;
  }
};

TEST_F(AccessCheckTest, CallersAgainstDescriptors) {
  AddUser("alice");
  const Identity alice = *UserIdentity(L"alice");
  const std::wstring aliceSid(alice.sid.begin(), alice.sid.end());
  Identity app = alice;  // the companion app: alice's process in an app container with the capability
  app.appContainerSid = "S-1-15-2-1-2-3-4-5-6-7";
  app.capabilitySids = {kCapabilityText};
  Identity otherApp = alice;  // an app container without it
  otherApp.appContainerSid = "S-1-15-2-7-6-5-4-3-2-1";
  otherApp.capabilitySids = {"S-1-15-3-1"};
  const Identity admin = AdministratorIdentity();
  const Identity system = SystemIdentity();
  const Identity anonymous = AnonymousIdentity();

  const auto endpoint = EndpointDescriptor();
  const auto everyoneOnly = Descriptor({{false, L"S-1-1-0", GENERIC_ALL}});
  const auto capabilityOnly = Descriptor({{false, kCapability, GENERIC_ALL}});
  const auto denyAlice = Descriptor({{true, aliceSid.c_str(), kWrite}, {false, L"S-1-1-0", GENERIC_ALL}});
  const auto denyAfterAllow = Descriptor({{false, L"S-1-1-0", GENERIC_ALL}, {true, aliceSid.c_str(), GENERIC_ALL}});
  const auto allPackages = Descriptor({{false, L"S-1-1-0", GENERIC_READ}, {false, L"S-1-15-2-1", GENERIC_READ}});
  const auto readOnly = Descriptor({{false, L"S-1-5-32-545", GENERIC_READ}});
  const auto adminsOnly = Descriptor({{false, L"S-1-5-32-544", GENERIC_ALL}});
  const auto authenticated = Descriptor({{false, L"S-1-5-11", kRead}});
  const auto nullDacl = NullDaclDescriptor();
  const auto emptyDacl = Descriptor({});
  const auto ownedEmpty = Descriptor({}, aliceSid.c_str());

  struct Case {
    const char* what;
    const std::vector<uint8_t>* descriptor;
    const Identity* caller;
    DWORD desired;
    bool admitted;
    DWORD granted;
  };
  const Case cases[] = {
      {"the endpoint admits a user through Everyone", &endpoint, &alice, GENERIC_ALL, true, kAll},
      {"the endpoint admits the app through both entries", &endpoint, &app, GENERIC_ALL, true, kAll},
      {"the endpoint refuses an app container without the capability", &endpoint, &otherApp, kRead, false, 0},
      {"the endpoint admits an anonymous caller through Everyone", &endpoint, &anonymous, GENERIC_ALL, true, kAll},
      {"Everyone alone admits a user", &everyoneOnly, &alice, kRead | kWrite, true, kRead | kWrite},
      {"Everyone alone does not admit an app container", &everyoneOnly, &app, kRead, false, 0},
      {"the capability alone does not admit the app's user side", &capabilityOnly, &app, kRead, false, 0},
      {"the capability alone does not admit a user", &capabilityOnly, &alice, kRead, false, 0},
      {"ALL APPLICATION PACKAGES admits any app container", &allPackages, &otherApp, GENERIC_READ, true,
       READ_CONTROL | kRead},
      {"a deny entry first takes its rights", &denyAlice, &alice, kWrite, false, 0},
      {"a deny entry leaves the other rights", &denyAlice, &alice, kRead | kExecute, true, kRead | kExecute},
      {"a deny entry for someone else is no matter", &denyAlice, &admin, kWrite, true, kWrite},
      {"a deny entry after the allow entry comes too late", &denyAfterAllow, &alice, kWrite, true, kWrite},
      {"a NULL DACL admits everyone", &nullDacl, &anonymous, GENERIC_ALL, true, kAll},
      {"a NULL DACL admits an app container", &nullDacl, &otherApp, kWrite, true, kWrite},
      {"an empty DACL admits no one", &emptyDacl, &admin, kRead, false, 0},
      {"an empty DACL admits not even SYSTEM", &emptyDacl, &system, kRead, false, 0},
      {"the owner reads and changes the DACL of an empty one", &ownedEmpty, &alice, READ_CONTROL | WRITE_DAC, true,
       READ_CONTROL | WRITE_DAC},
      {"the owner gets nothing more", &ownedEmpty, &alice, kRead, false, 0},
      {"generic read maps to the read rights only", &readOnly, &alice, GENERIC_READ, true, READ_CONTROL | kRead},
      {"generic write is not granted by generic read", &readOnly, &alice, GENERIC_WRITE, false, 0},
      {"MAXIMUM_ALLOWED gets what the entries give", &readOnly, &alice, MAXIMUM_ALLOWED, true, READ_CONTROL | kRead},
      {"MAXIMUM_ALLOWED with nothing to give is refused", &emptyDacl, &alice, MAXIMUM_ALLOWED, false, 0},
      {"Administrators admits the administrator", &adminsOnly, &admin, kExecute, true, kExecute},
      {"Administrators admits SYSTEM", &adminsOnly, &system, kExecute, true, kExecute},
      {"Administrators does not admit a user", &adminsOnly, &alice, kExecute, false, 0},
      {"Authenticated Users does not admit an anonymous caller", &authenticated, &anonymous, kRead, false, 0},
      {"Authenticated Users admits SYSTEM", &authenticated, &system, kRead, true, kRead},
      {"a request for nothing is refused", &everyoneOnly, &alice, 0, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.descriptor->empty());
    uint32_t granted = 0xDEADBEEF;
    EXPECT_EQ(security::AccessCheckIdentity(*c.descriptor, *c.caller, c.desired, kMapping, &granted), c.admitted);
    EXPECT_EQ(granted, c.granted);
  }
}

TEST_F(AccessCheckTest, AnInvalidDescriptorAdmitsNoOne) {
  const Identity admin = AdministratorIdentity();
  uint32_t granted = 1;
  EXPECT_FALSE(security::AccessCheckIdentity({}, admin, kRead, kMapping, &granted));
  EXPECT_EQ(granted, 0u);
  // A DACL offset past the end of the copy.
  std::vector<uint8_t> truncated = EndpointDescriptor();
  truncated.resize(40);
  EXPECT_FALSE(security::AccessCheckIdentity(truncated, admin, kRead, kMapping, &granted));
  std::vector<uint8_t> wrongRevision = EndpointDescriptor();
  wrongRevision[0] = 2;
  EXPECT_FALSE(security::AccessCheckIdentity(wrongRevision, admin, kRead, kMapping, &granted));
}

}  // namespace
}  // namespace winsim::test
