// The per-user package registry: `winsim package`, FindPackagesByPackageFamily with its sizing
// protocol, and PackageIdFromFullName.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "AppxPackaging.h"
#include "ShellTest.h"
#include "appmodel.h"
#include "appx/packages.h"
#include "core/fault.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const std::string kFamilyText = "R3185527.TorvexUtility_7mvd2kx9qhe3b";

class PackageTest : public ShellTest {
 protected:
  std::string DataFolder(const std::string& user, const std::string& family = kFamilyText) {
    return MachinePath("drives/c/Users/" + user + "/AppData/Local/Packages/" + family);
  }
  std::string InstallFolder(const std::string& fullName) {
    return MachinePath("drives/c/Program Files/WindowsApps/" + fullName);
  }
};

TEST_F(PackageTest, InstallListAndRemoveThroughTheCommand) {
  std::string out = WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  EXPECT_EQ(out, "package " + Utf8FromWide(kFullName) + " installed for alice: app " + Utf8FromWide(kAumid) +
                     ", program " + Utf8FromWide(kProgram) + "\n");
  // The user's package folder, with the folders an app finds in it, and the program in the install
  // folder: a copy of the build's Utility.exe.
  for (const char* sub : {"", "/AC/Temp", "/LocalState", "/RoamingState", "/Settings", "/TempState"}) {
    EXPECT_TRUE(fs::is_directory(DataFolder("alice") + sub)) << sub;
  }
  EXPECT_FALSE(fs::exists(DataFolder("bob")));
  std::string program = InstallFolder(Utf8FromWide(kFullName)) + "/Utility.exe";
  EXPECT_EQ(ReadFile(program), ReadFile(BinPath("Utility.exe")));

  std::string list = WinsimOk({"package", "list"});
  EXPECT_NE(list.find("alice"), std::string::npos) << list;
  EXPECT_NE(list.find(Utf8FromWide(kAumid)), std::string::npos) << list;
  EXPECT_EQ(WinsimOk({"package", "list", "--user", "bob"}).find(Utf8FromWide(kFullName)), std::string::npos);

  // Bob gets the same package: one install folder serves both.
  WinsimOk({"package", "install", "--user", "bob", kFamilyText});
  EXPECT_EQ(WinsimOk({"package", "remove", "--user", "alice", kFamilyText}),
            "package " + Utf8FromWide(kFullName) + " removed for alice\n");
  EXPECT_FALSE(fs::exists(DataFolder("alice")));
  EXPECT_TRUE(fs::exists(DataFolder("bob")));
  EXPECT_TRUE(fs::exists(program)) << "bob's registration still needs it";
  WinsimOk({"package", "remove", "--user", "bob", kFamilyText});
  EXPECT_FALSE(fs::exists(InstallFolder(Utf8FromWide(kFullName))));
  EXPECT_TRUE(appx::ListPackages().empty());
}

TEST_F(PackageTest, CommandErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"package", "install", "--user", "carol", kFamilyText}, "winsim: no user carol on this machine\n"},
      {{"package", "install", "--user", "alice", "TorvexUtility"},
       "winsim: not a package family name: TorvexUtility (NAME_PUBLISHERID, such as Contoso.App_8wekyb3d8bbwe)\n"},
      {{"package", "install", "--user", "alice", "R3185527.TorvexUtility_7mvd2kx9qhe3i"},
       "winsim: not a package family name: R3185527.TorvexUtility_7mvd2kx9qhe3i (NAME_PUBLISHERID, such as "
       "Contoso.App_8wekyb3d8bbwe)\n"},
      {{"package", "install", "--user", "alice", kFamilyText, "--version", "1.0.0"},
       "winsim: not a package version: 1.0.0 (four numbers up to 65535)\n"},
      {{"package", "install", "--user", "alice", kFamilyText, "--arch", "ia64"},
       "winsim: not a package architecture: ia64\n"},
      {{"package", "install", "--user", "alice", kFamilyText, "--app", "9lives"},
       "winsim: not an application id: 9lives\n"},
      {{"package", "install", "--user", "alice", kFamilyText, "--exe", "C:\\nothing\\here.exe"},
       "winsim: no program at " + MachinePath("drives/c/nothing/here.exe") + "\n"},
      {{"package", "remove", "--user", "alice", kFamilyText},
       "winsim: no package of the family " + kFamilyText + " is installed for alice\n"},
  };
  for (const auto& c : cases) {
    auto r = Winsim(c.args);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.errors, c.message);
    EXPECT_EQ(r.output, "");
  }
  EXPECT_FALSE(fs::exists(DataFolder("alice"))) << "a refused install leaves no package folder";
  auto usage = Winsim({"package", "install", kFamilyText});
  EXPECT_EQ(usage.status, 1);
  EXPECT_NE(usage.errors.find("usage: winsim package install --user NAME FAMILY"), std::string::npos);
}

// One package of a family per user and architecture: another version replaces it, another
// architecture joins it.
TEST_F(PackageTest, UpdatesReplaceAndArchitecturesAdd) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText, "--version", "1.0.0.0"});
  WinsimOk({"package", "install", "--user", "alice", kFamilyText, "--version", "1.2.0.0"});
  WinsimOk({"package", "install", "--user", "alice", kFamilyText, "--version", "1.0.0.0", "--arch", "x86"});
  std::vector<std::wstring> names;
  for (auto& p : appx::PackagesOfFamily(FindUserAccount(L"alice")->sid, kFamily)) names.push_back(p.fullName);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"R3185527.TorvexUtility_1.2.0.0_x64__7mvd2kx9qhe3b",
                                               L"R3185527.TorvexUtility_1.0.0.0_x86__7mvd2kx9qhe3b"}));
  EXPECT_FALSE(fs::exists(InstallFolder("R3185527.TorvexUtility_1.0.0.0_x64__7mvd2kx9qhe3b")))
      << "the replaced version's folder goes";
  // Removing the family removes both.
  EXPECT_EQ(WinsimOk({"package", "remove", "--user", "alice", kFamilyText}),
            "package R3185527.TorvexUtility_1.2.0.0_x64__7mvd2kx9qhe3b removed for alice\n"
            "package R3185527.TorvexUtility_1.0.0.0_x86__7mvd2kx9qhe3b removed for alice\n");
}

// What the caller passes and what comes back, for the two-call protocol.
struct FindCase {
  const char* name;
  const char* caller;      // whose query
  UINT32 filters;
  UINT32 count;            // *count on input
  int bufferDelta;         // *bufferLength on input: what the two names need plus this (INT32_MIN: 0)
  bool names;              // a name array is passed
  bool buffer;             // a character buffer is passed
  LONG expected;
  UINT32 countAfter;
  bool lengthAfterIsNeeded;  // *bufferLength after: what the names need (else 0)
};

class FindTable : public PackageTest, public ::testing::WithParamInterface<FindCase> {};

TEST_P(FindTable, SizingProtocol) {
  const FindCase& c = GetParam();
  // Alice has the family in two architectures; bob has none.
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  WinsimOk({"package", "install", "--user", "alice", kFamilyText, "--arch", "x86"});
  const std::wstring first = kFullName;
  const std::wstring second = L"R3185527.TorvexUtility_1.0.0.0_x86__7mvd2kx9qhe3b";
  const UINT32 needed = static_cast<UINT32>(first.size() + 1 + second.size() + 1);
  RunAsUser(WideFromUtf8(c.caller));

  UINT32 count = c.count;
  UINT32 length = c.bufferDelta == INT32_MIN ? 0 : static_cast<UINT32>(static_cast<int>(needed) + c.bufferDelta);
  std::vector<PWSTR> names(8, nullptr);
  std::vector<WCHAR> buffer(needed + 16, L'#');
  std::vector<UINT32> properties(8, 0xFFFFFFFF);
  LONG rc = FindPackagesByPackageFamily(kFamily, c.filters, &count, c.names ? names.data() : nullptr, &length,
                                        c.buffer ? buffer.data() : nullptr, properties.data());
  EXPECT_EQ(rc, c.expected);
  EXPECT_EQ(count, c.countAfter);
  EXPECT_EQ(length, c.lengthAfterIsNeeded ? needed : 0u);
  if (rc == ERROR_SUCCESS && c.countAfter == 2) {
    EXPECT_EQ(std::wstring(names[0]), first);
    EXPECT_EQ(std::wstring(names[1]), second);
    EXPECT_EQ(names[0], buffer.data()) << "the names lie in the caller's buffer";
    EXPECT_EQ(names[1], buffer.data() + first.size() + 1);
    EXPECT_EQ(buffer[needed], L'#') << "nothing written past what was needed";
    EXPECT_EQ(properties[0], 0u);
    EXPECT_EQ(properties[1], 0u);
    EXPECT_EQ(properties[2], 0xFFFFFFFFu);
  } else {
    EXPECT_EQ(names[0], nullptr) << "no name is handed out on failure";
    EXPECT_EQ(buffer[0], L'#');
  }
}

INSTANTIATE_TEST_SUITE_P(
    FindPackagesByPackageFamily, FindTable,
    ::testing::Values(
        FindCase{"NothingInstalledForTheCaller", "bob", PACKAGE_FILTER_HEAD, 0, INT32_MIN, false, false, ERROR_SUCCESS,
                 0, false},
        FindCase{"NothingInstalledWithBuffers", "bob", PACKAGE_FILTER_HEAD, 8, 10, true, true, ERROR_SUCCESS, 0, false},
        FindCase{"SizeQuery", "alice", PACKAGE_FILTER_HEAD, 0, INT32_MIN, false, false, ERROR_INSUFFICIENT_BUFFER, 2,
                 true},
        FindCase{"HeadAndDirect", "alice", PACKAGE_FILTER_HEAD | PACKAGE_FILTER_DIRECT, 0, INT32_MIN, false, false,
                 ERROR_INSUFFICIENT_BUFFER, 2, true},
        FindCase{"BufferOneShort", "alice", PACKAGE_FILTER_HEAD, 2, -1, true, true, ERROR_INSUFFICIENT_BUFFER, 2, true},
        FindCase{"CountOneShort", "alice", PACKAGE_FILTER_HEAD, 1, 0, true, true, ERROR_INSUFFICIENT_BUFFER, 2, true},
        FindCase{"NoNameArray", "alice", PACKAGE_FILTER_HEAD, 2, 0, false, true, ERROR_INSUFFICIENT_BUFFER, 2, true},
        FindCase{"NoCharacterBuffer", "alice", PACKAGE_FILTER_HEAD, 2, 0, true, false, ERROR_INSUFFICIENT_BUFFER, 2,
                 true},
        FindCase{"Exact", "alice", PACKAGE_FILTER_HEAD, 2, 0, true, true, ERROR_SUCCESS, 2, true},
        FindCase{"Roomier", "alice", PACKAGE_FILTER_HEAD, 8, 16, true, true, ERROR_SUCCESS, 2, true},
        // Only main packages exist: the filters for dependencies and resources find none.
        FindCase{"DirectDependenciesOnly", "alice", PACKAGE_FILTER_DIRECT, 0, INT32_MIN, false, false, ERROR_SUCCESS, 0,
                 false},
        FindCase{"AllLoadedIsRefused", "alice", PACKAGE_FILTER_ALL_LOADED, 0, INT32_MIN, false, false,
                 ERROR_INVALID_PARAMETER, 0, false}),
    [](const ::testing::TestParamInfo<FindCase>& info) { return std::string(info.param.name); });

TEST_F(PackageTest, FindPackagesArgumentsAndCase) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  RunAsUser(L"alice");
  UINT32 count = 0, length = 0;
  EXPECT_EQ(FindPackagesByPackageFamily(nullptr, PACKAGE_FILTER_HEAD, &count, nullptr, &length, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FindPackagesByPackageFamily(kFamily, PACKAGE_FILTER_HEAD, nullptr, nullptr, &length, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FindPackagesByPackageFamily(kFamily, PACKAGE_FILTER_HEAD, &count, nullptr, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FindPackagesByPackageFamily(L"TorvexUtility", PACKAGE_FILTER_HEAD, &count, nullptr, &length, nullptr,
                                        nullptr),
            ERROR_INVALID_PARAMETER);
  // Family names match without regard to case.
  EXPECT_EQ(FindPackagesByPackageFamily(L"r3185527.torvexutility_7MVD2KX9QHE3B", PACKAGE_FILTER_HEAD, &count, nullptr,
                                        &length, nullptr, nullptr),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(count, 1u);
  // Another family of the same publisher is another family.
  count = length = 0;
  EXPECT_EQ(FindPackagesByPackageFamily(L"R3185527.TorvexOther_7mvd2kx9qhe3b", PACKAGE_FILTER_HEAD, &count, nullptr,
                                        &length, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 0u);
  // The administrator, the machine's LocalSystem: nothing is installed for them.
  for (bool system : {false, true}) {
    if (system) {
      RunAsSystem();
    } else {
      RunAsAdministrator();
    }
    count = length = 5;
    EXPECT_EQ(FindPackagesByPackageFamily(kFamily, PACKAGE_FILTER_HEAD, &count, nullptr, &length, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(length, 0u);
  }
}

struct IdCase {
  const wchar_t* fullName;
  LONG expected;  // of the size query
  const wchar_t* name;
  USHORT version[4];
  UINT32 architecture;
  const wchar_t* resourceId;  // nullptr: none
  const wchar_t* publisherId;
};

class IdTable : public PackageTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(IdTable, ParsesOrRefuses) {
  const IdCase& c = GetParam();
  RunAsUser(L"alice");
  UINT32 length = 0;
  LONG rc = PackageIdFromFullName(c.fullName, PACKAGE_INFORMATION_BASIC, &length, nullptr);
  ASSERT_EQ(rc, c.expected);
  if (rc != ERROR_INSUFFICIENT_BUFFER) {
    EXPECT_EQ(length, 0u);
    return;
  }
  size_t chars = std::wcslen(c.name) + 1 + std::wcslen(c.publisherId) + 1 + (c.resourceId ? std::wcslen(c.resourceId) + 1 : 0);
  EXPECT_EQ(length, sizeof(PACKAGE_ID) + chars * sizeof(WCHAR));
  std::vector<BYTE> buffer(length + 8, 0xCD);
  UINT32 shortLength = length - 1;
  EXPECT_EQ(PackageIdFromFullName(c.fullName, PACKAGE_INFORMATION_BASIC, &shortLength, buffer.data()),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(shortLength, length);
  EXPECT_EQ(buffer[0], 0xCD) << "nothing written into a short buffer";
  ASSERT_EQ(PackageIdFromFullName(c.fullName, PACKAGE_INFORMATION_BASIC, &length, buffer.data()), ERROR_SUCCESS);
  const auto* id = reinterpret_cast<const PACKAGE_ID*>(buffer.data());
  EXPECT_EQ(id->reserved, 0u);
  EXPECT_EQ(id->processorArchitecture, c.architecture);
  EXPECT_EQ(id->version.Major, c.version[0]);
  EXPECT_EQ(id->version.Minor, c.version[1]);
  EXPECT_EQ(id->version.Build, c.version[2]);
  EXPECT_EQ(id->version.Revision, c.version[3]);
  EXPECT_EQ(std::wstring(id->name), c.name);
  EXPECT_EQ(id->publisher, nullptr) << "basic information has no publisher";
  EXPECT_EQ(std::wstring(id->publisherId), c.publisherId);
  if (c.resourceId) {
    ASSERT_NE(id->resourceId, nullptr);
    EXPECT_EQ(std::wstring(id->resourceId), c.resourceId);
  } else {
    EXPECT_EQ(id->resourceId, nullptr);
  }
  // Every string lies inside the caller's buffer, behind the structure.
  for (const WCHAR* s : {static_cast<const WCHAR*>(id->name), static_cast<const WCHAR*>(id->publisherId)}) {
    auto at = reinterpret_cast<const BYTE*>(s);
    EXPECT_GE(at, buffer.data() + sizeof(PACKAGE_ID));
    EXPECT_LT(at, buffer.data() + length);
  }
  EXPECT_EQ(buffer[length], 0xCD) << "nothing written past the length";
}

INSTANTIATE_TEST_SUITE_P(
    PackageIdFromFullName, IdTable,
    ::testing::Values(
        IdCase{L"R3185527.TorvexUtility_1.0.0.0_x64__7mvd2kx9qhe3b", ERROR_INSUFFICIENT_BUFFER, L"R3185527.TorvexUtility",
               {1, 0, 0, 0}, APPX_PACKAGE_ARCHITECTURE_X64, nullptr, L"7mvd2kx9qhe3b"},
        IdCase{L"Contoso.Sample-App_65535.2.30.40000_neutral_split.scale-100_8wekyb3d8bbwe", ERROR_INSUFFICIENT_BUFFER,
               L"Contoso.Sample-App", {65535, 2, 30, 40000}, APPX_PACKAGE_ARCHITECTURE_NEUTRAL, L"split.scale-100",
               L"8wekyb3d8bbwe"},
        IdCase{L"abc_0.0.0.0_x86__0123456789abc", ERROR_INSUFFICIENT_BUFFER, L"abc", {0, 0, 0, 0},
               APPX_PACKAGE_ARCHITECTURE_X86, nullptr, L"0123456789abc"},
        IdCase{L"Contoso.App_1.2.3.4_arm_~_8wekyb3d8bbwe", ERROR_INSUFFICIENT_BUFFER, L"Contoso.App", {1, 2, 3, 4},
               APPX_PACKAGE_ARCHITECTURE_ARM, L"~", L"8wekyb3d8bbwe"},
        IdCase{L"Contoso.App_1.2.3.4_ARM64__8wekyb3d8bbwe", ERROR_INSUFFICIENT_BUFFER, L"Contoso.App", {1, 2, 3, 4},
               APPX_PACKAGE_ARCHITECTURE_ARM64, nullptr, L"8wekyb3d8bbwe"},
        // Malformed full names.
        IdCase{L"", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"R3185527.TorvexUtility_7mvd2kx9qhe3b", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1.2.3_x64__8wekyb3d8bbwe", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1.2.3.65536_x64__8wekyb3d8bbwe", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1.2.3.x_x64__8wekyb3d8bbwe", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1..3.4_x64__8wekyb3d8bbwe", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1.2.3.4_x65__8wekyb3d8bbwe", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1.2.3.4_x64__8wekyb3d8bbw", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1.2.3.4_x64__8wekyb3d8bbwu", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso App_1.2.3.4_x64__8wekyb3d8bbwe", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"ab_1.2.3.4_x64__8wekyb3d8bbwe", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1.2.3.4_x64___8wekyb3d8bbwe", ERROR_INVALID_PARAMETER, nullptr, {}, 0, nullptr, nullptr},
        IdCase{L"Contoso.App_1.2.3.4_x64_averyveryverylongresourceidentifier_8wekyb3d8bbwe", ERROR_INVALID_PARAMETER,
               nullptr, {}, 0, nullptr, nullptr}));

TEST_F(PackageTest, FullInformationNeedsTheCallersPackage) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText, "--publisher", "CN=Torvex Test, O=Torvex"});
  for (const wchar_t* user : {L"bob", L"alice"}) {
    RunAsUser(user);
    UINT32 length = 0;
    LONG rc = PackageIdFromFullName(kFullName, PACKAGE_INFORMATION_FULL, &length, nullptr);
    if (std::wstring(user) == L"bob") {
      EXPECT_EQ(rc, ERROR_NOT_FOUND);
      continue;
    }
    ASSERT_EQ(rc, ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> buffer(length);
    ASSERT_EQ(PackageIdFromFullName(kFullName, PACKAGE_INFORMATION_FULL, &length, buffer.data()), ERROR_SUCCESS);
    const auto* id = reinterpret_cast<const PACKAGE_ID*>(buffer.data());
    ASSERT_NE(id->publisher, nullptr);
    EXPECT_EQ(std::wstring(id->publisher), L"CN=Torvex Test, O=Torvex");
    EXPECT_EQ(std::wstring(id->name), L"R3185527.TorvexUtility");
  }
  UINT32 length = 0;
  EXPECT_EQ(PackageIdFromFullName(kFullName, 0x1, &length, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(PackageIdFromFullName(kFullName, PACKAGE_INFORMATION_BASIC, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(PackageIdFromFullName(nullptr, PACKAGE_INFORMATION_BASIC, &length, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(PackageTest, FaultsReachThePackageFunctions) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  RunAsUser(L"alice");
  UINT32 count = 0, length = 0;
  InjectFault("FindPackagesByPackageFamily", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(FindPackagesByPackageFamily(kFamily, PACKAGE_FILTER_HEAD, &count, nullptr, &length, nullptr, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(FindPackagesByPackageFamily(kFamily, PACKAGE_FILTER_HEAD, &count, nullptr, &length, nullptr, nullptr),
            ERROR_INSUFFICIENT_BUFFER);
  InjectFault("PackageIdFromFullName", ERROR_NOT_ENOUGH_MEMORY, 0, 2);
  length = 0;
  EXPECT_EQ(PackageIdFromFullName(kFullName, 0, &length, nullptr), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> buffer(length);
  EXPECT_EQ(PackageIdFromFullName(kFullName, 0, &length, buffer.data()), ERROR_NOT_ENOUGH_MEMORY);
}

// The package SID of a family, against the SID that Windows gives the family of the legacy Edge
// browser (a widely published value), in any spelling of the name.
TEST_F(PackageTest, PackageSidOfAFamily) {
  const std::string edge = "S-1-15-2-3624051433-2125758914-1423191267-1740899205-1073925389-3782572162-737981194";
  EXPECT_EQ(appx::PackageSidOfFamily(L"Microsoft.MicrosoftEdge_8wekyb3d8bbwe"), edge);
  EXPECT_EQ(appx::PackageSidOfFamily(L"MICROSOFT.MICROSOFTEDGE_8WEKYB3D8BBWE"), edge);
  EXPECT_NE(appx::PackageSidOfFamily(kFamily), edge);
}

}  // namespace
}  // namespace winsim::test
