// Activation of a packaged app for the calling process, as the application activation manager
// does it.
#pragma once
#include "minwindef.h"

namespace winsim::appx {

// Activates the app named by an application user model id ("FAMILY!APPID") for the calling
// identity: the package of that family registered for the caller's user whose application has that
// id. Its program starts in the caller's session as the caller's user, in an app container: the
// token carries the package SID of the family and the capability SID derived from the family name
// (the package declares a capability named like its family). The command line is the quoted
// program path, then a blank and the argument text when there is one; the current folder is the
// install folder; TEMP and TMP are the package's AC\Temp folder. Apps are single-instanced per
// user session: while the app runs in the caller's session, activating it again gives the running
// instance's process id and starts nothing.
//
// Results: S_OK with *processId; E_INVALIDARG for a null id or processId or unknown options;
// E_NOTIMPL for AO_DESIGNMODE (design mode needs package debug settings that the machine does not
// keep); E_APPLICATION_NOT_REGISTERED when no package registered for the caller has that app (a
// malformed id included); E_APPLICATION_ACTIVATION_EXEC_FAILURE when its program cannot be started.
HRESULT ActivateApplicationForCaller(LPCWSTR appUserModelId, LPCWSTR arguments, DWORD options, DWORD* processId);

}  // namespace winsim::appx
