// The companion app seen from the user's session: whether its package is installed for the user
// the agent runs as, and its activation through the application activation manager.
#pragma once
#include <windows.h>

// True when at least one package of the family is installed for the current user and the first
// one's full name converts to a package identity. Logs nothing; any failing step gives false.
bool IsPackageFamilyPreloaded(const wchar_t* packageFamilyName);

// Activates the companion app, with the argument text " /NOTSHOWOSD" when noOsd is set or with no
// argument text at all when it is clear. Returns the HRESULT of the step that decided the outcome;
// each failing step is logged at ERROR. The thread is in the multithreaded apartment only during
// the call.
HRESULT ActivateTorvexUtilityAppx(bool noOsd);
