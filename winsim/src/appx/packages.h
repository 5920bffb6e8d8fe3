// The machine's app packages, registered per user in the machine database, as the deployment
// service keeps them on Windows.
//
// A package is known by its full name, Name_Version_Architecture_ResourceId_PublisherId, and
// belongs to the family Name_PublisherId. Installing a package for a user (`winsim package
// install`):
//   - copies its program into the package's install folder, which all users of that full name
//     share: C:\Program Files\WindowsApps\<full name>\<program file name>; the program is what
//     activation starts (by default the stand-in Utility.exe of the build);
//   - registers the full name, the publisher and the one application of the package (its package
//     relative id, by default the last dot-separated part of the package name, so that
//     "R3185527.TorvexUtility_7mvd2kx9qhe3b" has the app "TorvexUtility" and the user model id
//     "R3185527.TorvexUtility_7mvd2kx9qhe3b!TorvexUtility") for that user;
//   - last, creates the user's package data folder C:\Users\NAME\AppData\Local\Packages\<family>
//     (with AC\Temp, LocalState, RoamingState, Settings and TempState in it), so that whoever
//     watches the Packages folder sees the package complete.
// A user has at most one package of a family per architecture: installing another version of the
// same architecture replaces it (an update), another architecture adds one. Removing a family for
// a user unregisters its packages, deletes the user's package data folder, and deletes the install
// folders that no other user's registration still needs.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim::appx {

// The parts of a package identity.
struct PackageIdentity {
  std::wstring name;
  uint16_t version[4] = {0, 0, 0, 0};  // major, minor, build, revision
  std::wstring architecture;           // as written: x86, x64, arm, arm64 or neutral
  uint32_t architectureValue = 0;      // APPX_PACKAGE_ARCHITECTURE
  std::wstring resourceId;             // may be empty
  std::wstring publisherId;            // 13 characters

  std::wstring VersionText() const;
  std::wstring FullName() const;
  std::wstring FamilyName() const;
};

// Parses a package full name; nullopt when it is malformed.
std::optional<PackageIdentity> ParseFullName(const std::wstring& fullName);
// Splits a package family name into the package name and the publisher id; nullopt when malformed.
std::optional<std::pair<std::wstring, std::wstring>> ParseFamilyName(const std::wstring& familyName);
// Whether the text is a valid package relative application id.
bool IsValidApplicationId(const std::wstring& appId);

struct InstalledPackage {
  std::wstring userName;
  std::string userSid;
  PackageIdentity identity;
  std::wstring fullName;
  std::wstring familyName;
  std::wstring publisher;
  std::wstring applicationId;
  std::wstring executable;     // Windows path of the program in the install folder
  std::wstring installFolder;  // C:\Program Files\WindowsApps\<full name>
  std::wstring dataFolder;     // C:\Users\NAME\AppData\Local\Packages\<family>
};

// The packages of a family registered for the user with that SID, in the order they were
// registered. Family names match without regard to case.
std::vector<InstalledPackage> PackagesOfFamily(const std::string& userSid, const std::wstring& familyName);
// The registration of a full name for the user, if any.
std::optional<InstalledPackage> FindPackage(const std::string& userSid, const std::wstring& fullName);
// Every registration, or a user's (a name, case-insensitive), by user and then registration order.
std::vector<InstalledPackage> ListPackages(const std::wstring& userName = L"");

struct InstallRequest {
  std::wstring userName;
  std::wstring familyName;
  std::wstring version = L"1.0.0.0";
  std::wstring architecture = L"x64";
  std::wstring resourceId;
  std::wstring publisher;      // empty: "CN=" and the package name
  std::wstring applicationId;  // empty: the last dot-separated part of the package name
  std::string programPath;     // Linux path of the program to install
};

// The result of an install or a removal: the packages concerned, or a one-line message.
struct ChangeResult {
  bool ok = false;
  std::string error;
  std::vector<InstalledPackage> packages;
};

ChangeResult InstallPackage(const InstallRequest& request);
// Removes every package of the family registered for the user.
ChangeResult RemovePackage(const std::wstring& userName, const std::wstring& familyName);

// The package SID of a family: S-1-15-2- and seven 32-bit values, the first 28 bytes of the
// SHA-256 of the family name in lower case, UTF-16LE (what DeriveAppContainerSidFromAppContainerName
// answers for a package family name).
std::string PackageSidOfFamily(const std::wstring& familyName);

}  // namespace winsim::appx
