// Interim: the check itself arrives with the session monitoring, which is also what arms the
// timer; until then nothing arms it, so this callback cannot run. Replaced by the check as a whole.
#include "monitor/CheckTimer.h"

VOID CALLBACK UtilityPackageCheckDelayTimerCallback(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER) {}
