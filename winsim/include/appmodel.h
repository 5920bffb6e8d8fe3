// Packages and their identities: the per-user package query and the parsing of package full
// names. A package full name is Name_Version_Architecture_ResourceId_PublisherId (the resource id
// may be empty, as in "Contoso.App_1.0.0.0_x64__8wekyb3d8bbwe"); its family name is
// Name_PublisherId.
#pragma once
#include "minwindef.h"
#include "winerror.h"

// Identity string limits, in characters, without the terminator (the two *_ID_* lengths of user
// model ids include it).
#define PACKAGE_NAME_MIN_LENGTH 3
#define PACKAGE_NAME_MAX_LENGTH 50
#define PACKAGE_PUBLISHER_MIN_LENGTH 4
#define PACKAGE_PUBLISHER_MAX_LENGTH 8192
#define PACKAGE_PUBLISHERID_MIN_LENGTH 13
#define PACKAGE_PUBLISHERID_MAX_LENGTH 13
#define PACKAGE_RESOURCEID_MIN_LENGTH 0
#define PACKAGE_RESOURCEID_MAX_LENGTH 30
#define PACKAGE_VERSION_MIN_LENGTH 7
#define PACKAGE_VERSION_MAX_LENGTH 23
#define PACKAGE_ARCHITECTURE_MIN_LENGTH 3
#define PACKAGE_ARCHITECTURE_MAX_LENGTH 7
#define PACKAGE_FAMILY_NAME_MIN_LENGTH 17
#define PACKAGE_FAMILY_NAME_MAX_LENGTH 64
#define PACKAGE_FULL_NAME_MIN_LENGTH 30
#define PACKAGE_FULL_NAME_MAX_LENGTH 127
#define APPLICATION_USER_MODEL_ID_MIN_LENGTH 21
#define APPLICATION_USER_MODEL_ID_MAX_LENGTH 130
#define PACKAGE_RELATIVE_APPLICATION_ID_MIN_LENGTH 2
#define PACKAGE_RELATIVE_APPLICATION_ID_MAX_LENGTH 65

// Package constants: which packages a query takes, how much identity it gives, and the
// properties it reports for each package.
#define PACKAGE_FILTER_ALL_LOADED 0x00000000
#define PACKAGE_FILTER_HEAD 0x00000010
#define PACKAGE_FILTER_DIRECT 0x00000020
#define PACKAGE_FILTER_RESOURCE 0x00000040
#define PACKAGE_FILTER_BUNDLE 0x00000080
#define PACKAGE_FILTER_OPTIONAL 0x00020000
#define PACKAGE_FILTER_IS_IN_RELATED_SET 0x00040000
#define PACKAGE_FILTER_STATIC 0x00080000
#define PACKAGE_FILTER_DYNAMIC 0x00100000
#define PACKAGE_INFORMATION_BASIC 0x00000000
#define PACKAGE_INFORMATION_FULL 0x00000100
#define PACKAGE_PROPERTY_FRAMEWORK 0x00000001
#define PACKAGE_PROPERTY_RESOURCE 0x00000002
#define PACKAGE_PROPERTY_BUNDLE 0x00000004
#define PACKAGE_PROPERTY_OPTIONAL 0x00000008
#define PACKAGE_PROPERTY_DEVELOPMENT_MODE 0x00010000

typedef struct PACKAGE_VERSION {
  union {
    UINT64 Version;
    struct {
      USHORT Revision;
      USHORT Build;
      USHORT Minor;
      USHORT Major;
    };
  };
} PACKAGE_VERSION;

// The strings point into the buffer that holds the structure; a missing part is NULL.
typedef struct PACKAGE_ID {
  UINT32 reserved;
  UINT32 processorArchitecture;  // an APPX_PACKAGE_ARCHITECTURE value
  PACKAGE_VERSION version;
  PWSTR name;
  PWSTR publisher;
  PWSTR resourceId;
  PWSTR publisherId;
} PACKAGE_ID;

// The full names of the packages of a family installed for the current user, and their
// properties. Sizing: when *count or *bufferLength (characters, terminators included) is too small
// or a buffer is missing, ERROR_INSUFFICIENT_BUFFER with both set to what the answer needs. No
// package of the family: ERROR_SUCCESS with both 0. packageFullNames[i] point into buffer.
LONG WINAPI FindPackagesByPackageFamily(PCWSTR packageFamilyName, UINT32 packageFilters, UINT32* count,
                                        PWSTR* packageFullNames, UINT32* bufferLength, WCHAR* buffer,
                                        UINT32* packageProperties);

// The identity of a package full name, as a PACKAGE_ID followed by its strings in one buffer of
// *bufferLength bytes. PACKAGE_INFORMATION_BASIC parses the name (the publisher stays NULL);
// PACKAGE_INFORMATION_FULL also gives the publisher and needs the package installed for the
// current user (ERROR_NOT_FOUND otherwise). A malformed full name: ERROR_INVALID_PARAMETER.
LONG WINAPI PackageIdFromFullName(PCWSTR packageFullName, const UINT32 flags, UINT32* bufferLength, BYTE* buffer);
