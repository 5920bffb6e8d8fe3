// Comparing GUIDs, as guiddef.h provides: IsEqualGUID and its IID and CLSID spellings, and the C++
// equality operators.
#pragma once
#include <cstring>

#include "minwindef.h"

inline int IsEqualGUID(REFGUID rguid1, REFGUID rguid2) { return std::memcmp(&rguid1, &rguid2, sizeof(GUID)) == 0; }
#define IsEqualIID(riid1, riid2) IsEqualGUID(riid1, riid2)
#define IsEqualCLSID(rclsid1, rclsid2) IsEqualGUID(rclsid1, rclsid2)

inline bool operator==(REFGUID guidOne, REFGUID guidOther) { return IsEqualGUID(guidOne, guidOther) != 0; }
inline bool operator!=(REFGUID guidOne, REFGUID guidOther) { return !(guidOne == guidOther); }
