// Capability SIDs: the derivation against published and independently computed values, the
// shaped count, and CheckTokenCapability against the calling process's identity.
#include <algorithm>
#include <set>

#include "SecurityTest.h"
#include "core/identity.h"

namespace winsim::test {
namespace {

class CapabilityTest : public SecurityTest {
 protected:
  struct Derived {
    std::vector<std::string> groups;
    std::vector<std::string> capabilities;
  };
  // Calls DeriveCapabilitySidsFromName and frees what it returns as its caller must.
  static Derived Derive(const wchar_t* name) {
    PSID* groups = nullptr;
    PSID* capabilities = nullptr;
    DWORD groupCount = 99, capabilityCount = 99;
    Derived out;
    EXPECT_TRUE(DeriveCapabilitySidsFromName(name, &groups, &groupCount, &capabilities, &capabilityCount));
    for (DWORD i = 0; i < groupCount; ++i) {
      out.groups.push_back(SidText(groups[i]));
      EXPECT_EQ(LocalFree(groups[i]), nullptr);
    }
    for (DWORD i = 0; i < capabilityCount; ++i) {
      out.capabilities.push_back(SidText(capabilities[i]));
      EXPECT_EQ(LocalFree(capabilities[i]), nullptr);
    }
    EXPECT_EQ(LocalFree(groups), nullptr);
    EXPECT_EQ(LocalFree(capabilities), nullptr);
    return out;
  }
};

constexpr const wchar_t* kAppFamily = L"R3185527.TorvexUtility_7mvd2kx9qhe3b";
// Computed apart from winsim, with Python's hashlib over the upper-cased name in UTF-16LE.
constexpr const char* kAppCapabilitySid =
    "S-1-15-3-1024-1570295577-2822330613-973233710-2040343370-1947880162-3069898925-3121259780-2136965787";

TEST_F(CapabilityTest, DerivationMatchesPublishedAndIndependentlyComputedSids) {
  struct Case {
    const wchar_t* name;
    const char* capability;
    const char* group;
  };
  const Case cases[] = {
      // Published capability SIDs (registryRead and lpacServicesManagement appear in Windows' own ACLs).
      {L"registryRead",
       "S-1-15-3-1024-1065365936-1281604716-3511738428-1654721687-432734479-3232135806-4053264122-3456934681",
       "S-1-5-32-1065365936-1281604716-3511738428-1654721687-432734479-3232135806-4053264122-3456934681"},
      {L"lpacServicesManagement",
       "S-1-15-3-1024-528118966-3876874398-709513571-1907873084-3598227634-3698730060-278077788-3990600205",
       "S-1-5-32-528118966-3876874398-709513571-1907873084-3598227634-3698730060-278077788-3990600205"},
      // Upper-cased before hashing: any spelling gives the same SIDs.
      {L"REGISTRYREAD",
       "S-1-15-3-1024-1065365936-1281604716-3511738428-1654721687-432734479-3232135806-4053264122-3456934681",
       "S-1-5-32-1065365936-1281604716-3511738428-1654721687-432734479-3232135806-4053264122-3456934681"},
      {kAppFamily, kAppCapabilitySid,
       "S-1-5-32-1570295577-2822330613-973233710-2040343370-1947880162-3069898925-3121259780-2136965787"},
      // A legacy capability keeps its published short SID; its group SID is hash-derived.
      {L"internetClient", "S-1-15-3-1",
       "S-1-5-32-2779705173-1925339129-2667939958-2414465498-3395756507-4015878651-158944808-788332705"},
      {L"contacts", "S-1-15-3-12", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capability);
    Derived d = Derive(c.name);
    ASSERT_EQ(d.capabilities.size(), 1u);
    ASSERT_EQ(d.groups.size(), 1u);
    EXPECT_EQ(d.capabilities[0], c.capability);
    if (c.group) {
      EXPECT_EQ(d.groups[0], c.group);
    }
  }
}

TEST_F(CapabilityTest, TheMachineShapesHowManySidsANameGives) {
  auto result = Winsim({"security", "capability-count", "r3185527.torvexutility_7MVD2KX9QHE3B", "0"});
  ASSERT_EQ(result.status, 0) << result.errors;
  // Names match without regard to case; other names keep one SID.
  EXPECT_TRUE(Derive(kAppFamily).capabilities.empty());
  EXPECT_TRUE(Derive(kAppFamily).groups.empty());
  EXPECT_EQ(Derive(L"registryRead").capabilities.size(), 1u);

  ASSERT_EQ(Winsim({"security", "capability-count", "R3185527.TorvexUtility_7mvd2kx9qhe3b", "3"}).status, 0);
  Derived three = Derive(kAppFamily);
  ASSERT_EQ(three.capabilities.size(), 3u);
  ASSERT_EQ(three.groups.size(), 3u);
  EXPECT_EQ(three.capabilities[0], kAppCapabilitySid);
  // The further ones are made up from "NAME#2", "NAME#3" (computed apart with hashlib).
  EXPECT_EQ(three.capabilities[1],
            "S-1-15-3-1024-746016476-1051037474-3562742853-1983550124-2348151475-686170469-1003231863-902293844");
  EXPECT_EQ(std::set<std::string>(three.capabilities.begin(), three.capabilities.end()).size(), 3u);

  auto listed = Winsim({"security", "capability-count"});
  EXPECT_EQ(listed.output, "R3185527.TorvexUtility_7mvd2kx9qhe3b 3\n");
  ASSERT_EQ(Winsim({"security", "capability-count", "R3185527.TorvexUtility_7mvd2kx9qhe3b", "--clear"}).status, 0);
  EXPECT_EQ(Derive(kAppFamily).capabilities, std::vector<std::string>{kAppCapabilitySid});
  EXPECT_EQ(Winsim({"security", "capability-count"}).output, "");

  // Clear one-line errors for bad counts.
  auto bad = Winsim({"security", "capability-count", "x", "-1"});
  EXPECT_NE(bad.status, 0);
  EXPECT_EQ(bad.errors, "winsim: the count must be a number from 0 to 9999, not '-1'\n");
}

TEST_F(CapabilityTest, TheCommandPrintsTheDerivedSids) {
  auto result = Winsim({"security", "capability-sid", "registryRead"});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(result.output,
            "capability S-1-15-3-1024-1065365936-1281604716-3511738428-1654721687-432734479-3232135806-4053264122-"
            "3456934681\n"
            "group S-1-5-32-1065365936-1281604716-3511738428-1654721687-432734479-3232135806-4053264122-3456934681\n");
}

TEST_F(CapabilityTest, NullArgumentsAreRefused) {
  PSID* groups = nullptr;
  PSID* capabilities = nullptr;
  DWORD groupCount = 0, capabilityCount = 0;
  EXPECT_FALSE(DeriveCapabilitySidsFromName(nullptr, &groups, &groupCount, &capabilities, &capabilityCount));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(DeriveCapabilitySidsFromName(kAppFamily, &groups, &groupCount, nullptr, &capabilityCount));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(DeriveCapabilitySidsFromName(kAppFamily, &groups, nullptr, &capabilities, &capabilityCount));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CapabilityTest, CheckTokenCapabilityAsksTheCallingProcess) {
  AddUser("alice");
  auto app = UserIdentity(L"alice");
  ASSERT_TRUE(app.has_value());
  app->capabilitySids = {kAppCapabilitySid, "S-1-15-3-1"};
  app->appContainerSid = "S-1-15-2-1-2-3-4-5-6-7";
  SetCurrentIdentity(*app);

  OwnedSid capability(L"S-1-15-3-1024-1570295577-2822330613-973233710-2040343370-1947880162-3069898925-3121259780-"
                      L"2136965787");
  OwnedSid internetClient(L"S-1-15-3-1");
  OwnedSid other(L"S-1-15-3-2");
  struct Case {
    HANDLE token;
    PSID sid;
    BOOL expected;
  };
  const HANDLE processToken = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-4));
  const HANDLE effectiveToken = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-6));
  const Case cases[] = {
      {nullptr, capability.get(), TRUE},       {nullptr, internetClient.get(), TRUE},
      {nullptr, other.get(), FALSE},           {processToken, capability.get(), TRUE},
      {effectiveToken, other.get(), FALSE},
  };
  for (const auto& c : cases) {
    BOOL has = 7;
    ASSERT_TRUE(CheckTokenCapability(c.token, c.sid, &has));
    EXPECT_EQ(has, c.expected);
  }

  // A full-trust process carries no capabilities.
  RunAsUser(L"alice");
  BOOL has = 7;
  ASSERT_TRUE(CheckTokenCapability(nullptr, capability.get(), &has));
  EXPECT_EQ(has, FALSE);

  // No thread impersonates, no token objects exist yet, and the SID must be one.
  EXPECT_FALSE(CheckTokenCapability(reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-5)), capability.get(), &has));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  EXPECT_FALSE(CheckTokenCapability(reinterpret_cast<HANDLE>(0x1234), capability.get(), &has));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  unsigned char notASid[12] = {9};
  EXPECT_FALSE(CheckTokenCapability(nullptr, notASid, &has));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_FALSE(CheckTokenCapability(nullptr, capability.get(), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace winsim::test
