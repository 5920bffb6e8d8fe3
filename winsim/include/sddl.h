// String forms of SIDs (advapi32), written from Microsoft's public documentation of sddl.h.
#pragma once
#include "minwindef.h"
#include "winnt.h"

#define SDDL_REVISION_1 1
#define SDDL_REVISION SDDL_REVISION_1

// "S-1-..." text of a SID, in a buffer to be freed with LocalFree.
BOOL WINAPI ConvertSidToStringSidW(PSID Sid, LPWSTR* StringSid);
// A SID from "S-1-..." text or an SDDL account alias ("WD", "SY", "BA" ...), to be freed with LocalFree.
BOOL WINAPI ConvertStringSidToSidW(LPCWSTR StringSid, PSID* Sid);
