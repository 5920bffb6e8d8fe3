// The delayed check for the companion app after a console logon or a package folder change.
#pragma once
#include <windows.h>

VOID CALLBACK UtilityPackageCheckDelayTimerCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_TIMER timer);
