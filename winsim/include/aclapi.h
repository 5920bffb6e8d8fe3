// Building access control lists from explicit entries (advapi32), written from Microsoft's public
// documentation of aclapi.h.
#pragma once
#include "accctrl.h"
#include "minwindef.h"
#include "winnt.h"

// Merges the entries into OldAcl (which may be null) and returns the new list in *NewAcl, to be
// freed with LocalFree. Returns ERROR_SUCCESS or an error code.
DWORD WINAPI SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries, PACL OldAcl,
                              PACL* NewAcl);
