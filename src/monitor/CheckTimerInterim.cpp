// Interim check callback: it shows when the check timer fires, and for which user the check is
// due, until the check itself replaces it. Like the check, it holds m_pDirectoryWatcherMutex for
// its run and does nothing when a logoff cancelled the check while it waited for that mutex.
#include <mutex>

#include "common/Log.h"
#include "monitor/CheckTimer.h"
#include "service/UtilityService.h"

VOID CALLBACK UtilityPackageCheckDelayTimerCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) {
  CUtilityService* service = static_cast<CUtilityService*>(context);
  if (service == nullptr || service->m_pDirectoryWatcherMutex == nullptr) return;
  std::lock_guard<std::mutex> lock(*service->m_pDirectoryWatcherMutex);
  if (service->IsCheckCancelled()) return;
  WriteLog(L"", 1, LOG_LEVEL_INFO,
           L"::UtilityPackageCheckDelayTimerCallback (interim) the check timer fired, the check is due for MD5 \"%s\"\n",
           service->GetCheckUserMD5().c_str());
}
