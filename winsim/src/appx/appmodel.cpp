// The package query of the current user and the parsing of package full names (appmodel.h).
#include "appmodel.h"

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "appx/packages.h"
#include "core/fault.h"
#include "core/identity.h"

namespace {

// Every filter the function documents; PACKAGE_FILTER_ALL_LOADED (no bit) is the one it refuses.
constexpr UINT32 kKnownFilters = PACKAGE_FILTER_HEAD | PACKAGE_FILTER_DIRECT | PACKAGE_FILTER_RESOURCE |
                                 PACKAGE_FILTER_BUNDLE | PACKAGE_FILTER_OPTIONAL | PACKAGE_FILTER_IS_IN_RELATED_SET |
                                 PACKAGE_FILTER_STATIC | PACKAGE_FILTER_DYNAMIC | 0x00200000 /* HOSTRUNTIME */;

WCHAR* CopyString(WCHAR*& cursor, const std::wstring& text) {
  WCHAR* start = cursor;
  std::wmemcpy(cursor, text.c_str(), text.size() + 1);
  cursor += text.size() + 1;
  return start;
}

}  // namespace

LONG WINAPI FindPackagesByPackageFamily(PCWSTR packageFamilyName, UINT32 packageFilters, UINT32* count,
                                        PWSTR* packageFullNames, UINT32* bufferLength, WCHAR* buffer,
                                        UINT32* packageProperties) {
  WINSIM_FAULT_STATUS("FindPackagesByPackageFamily", LONG);
  if (!packageFamilyName || !count || !bufferLength) return ERROR_INVALID_PARAMETER;
  if (packageFilters == PACKAGE_FILTER_ALL_LOADED || (packageFilters & ~kKnownFilters) != 0) {
    return ERROR_INVALID_PARAMETER;
  }
  if (!winsim::appx::ParseFamilyName(packageFamilyName)) return ERROR_INVALID_PARAMETER;

  // Packages are registered per user: the query sees the caller's own. Every package the machine
  // installs is a main package, which the head filter selects; no framework, resource, bundle or
  // optional packages exist to match the other filters.
  std::vector<winsim::appx::InstalledPackage> found;
  if (packageFilters & PACKAGE_FILTER_HEAD) {
    found = winsim::appx::PackagesOfFamily(winsim::CurrentIdentity().sid, packageFamilyName);
  }
  UINT32 needed = 0;
  for (const auto& p : found) needed += static_cast<UINT32>(p.fullName.size() + 1);
  UINT32 n = static_cast<UINT32>(found.size());
  if (n == 0) {
    *count = 0;
    *bufferLength = 0;
    return ERROR_SUCCESS;
  }
  // Either buffer missing or short: both sizes come back, as the two-call protocol needs them.
  if (*count < n || *bufferLength < needed || !packageFullNames || !buffer) {
    *count = n;
    *bufferLength = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  WCHAR* cursor = buffer;
  for (UINT32 i = 0; i < n; ++i) {
    packageFullNames[i] = CopyString(cursor, found[i].fullName);
    if (packageProperties) packageProperties[i] = 0;  // a main package: no property flag applies
  }
  *count = n;
  *bufferLength = needed;
  return ERROR_SUCCESS;
}

LONG WINAPI PackageIdFromFullName(PCWSTR packageFullName, const UINT32 flags, UINT32* bufferLength, BYTE* buffer) {
  WINSIM_FAULT_STATUS("PackageIdFromFullName", LONG);
  if (!packageFullName || !bufferLength) return ERROR_INVALID_PARAMETER;
  if ((flags & ~static_cast<UINT32>(PACKAGE_INFORMATION_FULL)) != 0) return ERROR_INVALID_PARAMETER;
  auto id = winsim::appx::ParseFullName(packageFullName);
  if (!id) return ERROR_INVALID_PARAMETER;

  // Basic information comes from the name alone; the publisher only from the package registered
  // for the current user.
  bool full = (flags & PACKAGE_INFORMATION_FULL) != 0;
  std::wstring publisher;
  if (full) {
    auto installed = winsim::appx::FindPackage(winsim::CurrentIdentity().sid, packageFullName);
    if (!installed) return ERROR_NOT_FOUND;
    publisher = installed->publisher;
  }
  size_t chars = id->name.size() + 1 + id->publisherId.size() + 1;
  if (full) chars += publisher.size() + 1;
  if (!id->resourceId.empty()) chars += id->resourceId.size() + 1;
  UINT32 needed = static_cast<UINT32>(sizeof(PACKAGE_ID) + chars * sizeof(WCHAR));
  if (*bufferLength < needed || !buffer) {
    *bufferLength = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }

  PACKAGE_ID packageId;
  std::memset(&packageId, 0, sizeof(packageId));
  packageId.processorArchitecture = id->architectureValue;
  packageId.version.Major = id->version[0];
  packageId.version.Minor = id->version[1];
  packageId.version.Build = id->version[2];
  packageId.version.Revision = id->version[3];
  WCHAR* cursor = reinterpret_cast<WCHAR*>(buffer + sizeof(PACKAGE_ID));
  packageId.name = CopyString(cursor, id->name);
  if (full) packageId.publisher = CopyString(cursor, publisher);
  if (!id->resourceId.empty()) packageId.resourceId = CopyString(cursor, id->resourceId);
  packageId.publisherId = CopyString(cursor, id->publisherId);
  std::memcpy(buffer, &packageId, sizeof(packageId));
  *bufferLength = needed;
  return ERROR_SUCCESS;
}
