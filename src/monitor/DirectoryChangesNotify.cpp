// The package folder watcher's notification: the app's package folder was created, deleted or
// renamed, so the check is due again shortly, for the user now at the console.
#include "common/Log.h"
#include "monitor/CheckBookkeeping.h"
#include "monitor/SessionQueries.h"
#include "service/UtilityService.h"

// Runs on the watcher's thread and takes no m_pDirectoryWatcherMutex: whoever destroys the
// watcher joins this thread while holding that mutex.
void CUtilityService::DirectoryChangesNotify(std::wstring) {
  WriteLog(L"", 1, LOG_LEVEL_INFO,
           L"::DirectoryChangesNotify directory watcher notify is received, schedule a delay timer for %lds\n",
           static_cast<long>(DIRECTORY_NOTIFY_DELAY_SECONDS));
  ArmCheckDelayTimer(DIRECTORY_NOTIFY_DELAY_SECONDS);
  // When the console user cannot be named, the check stays due for the user it was due for.
  std::wstring userName;
  std::wstring userMD5;
  if (GetCurrentUserNameAndMD5(userName, userMD5)) SetCheckUserMD5(userMD5);
}
