// The delayed check for the companion app after a console logon or a package folder change.
#pragma once
#include <windows.h>

VOID CALLBACK UtilityPackageCheckDelayTimerCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_TIMER timer);

// A seam for tests: when set, the check calls it just before it allocates and starts the package
// folder watcher, where allocation or the thread's start may throw; it may throw as they do. Null
// in the service.
extern void (*g_pfnBeforeNewDirectoryWatcher)();
