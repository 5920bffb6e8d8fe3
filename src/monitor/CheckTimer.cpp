// The companion-app check for the user at the console: unless the bookkeeping says it is done, look
// for the app in the console session, have the agent activate it when it does not run, and when
// that does not succeed either, watch the user's Packages folder for the app's package folder.
#include "monitor/CheckTimer.h"

#include <exception>
#include <mutex>
#include <string>

#include "common/Log.h"
#include "common/Registry.h"
#include "common/UtilityApp.h"
#include "launch/UserSessionLaunch.h"
#include "monitor/CheckBookkeeping.h"
#include "monitor/DirectoryWatcher.h"
#include "monitor/SessionQueries.h"
#include "service/UtilityService.h"

void (*g_pfnBeforeNewDirectoryWatcher)() = nullptr;

namespace {

void LogCheckSkipped() {
  WriteLog(L"", 1, LOG_LEVEL_INFO,
           L"::UtilityPackageCheckDelayTimerCallback bIsNeedCheckUtilityPackage is FALSE, so skip the check of "
           L"utility process of current user.\n");
}

// The check proper, with m_pDirectoryWatcherMutex held; the caller writes the opening and closing
// lines around it.
void RunCheck(CUtilityService* pService) {
  std::wstring wsUserName;
  std::wstring wsUserMD5;
  // An empty name has no identity: taking it for one would let any check through the user gate
  // and keep the bookkeeping under the main service key itself.
  if (!GetCurrentUserNameAndMD5(wsUserName, wsUserMD5) || wsUserName.empty() || wsUserMD5.empty()) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"::UtilityPackageCheckDelayTimerCallback GetCurrentUserNameAndMD5() return fail!\n");
    LogCheckSkipped();
    return;
  }
  WriteLog(L"", 1, LOG_LEVEL_INFO, L" UtilityPackageCheckDelayTimerCallback current user name: \"%s\", MD5: \"%s\"\n",
           wsUserName.c_str(), wsUserMD5.c_str());

  // The check is for the user it was armed for; another user at the console now is left alone.
  std::wstring wsCheckUserMD5 = pService->GetCheckUserMD5();
  if (!wsCheckUserMD5.empty() && wsCheckUserMD5 != wsUserMD5) {
    WriteLog(L"", 1, LOG_LEVEL_INFO,
             L" UtilityPackageCheckDelayTimerCallback Current user is not the user that need check utility process, so "
             L"skip the check of utility process of current user.\n");
    return;
  }

  std::wstring wsKey = UserCheckKeyPath(wsUserMD5);
  DWORD dwCheckCount = 0;
  if (GetKeyValueInt(HKEY_LOCAL_MACHINE, wsKey, REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, &dwCheckCount)) {
    WriteLog(L"", 1, LOG_LEVEL_INFO, L" UtilityPackageCheckDelayTimerCallback %s\\%s is %u\n", wsUserMD5.c_str(),
             REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, dwCheckCount);
    if (dwCheckCount != 0) {
      LogCheckSkipped();
      return;
    }
  } else if (!CreateKey(HKEY_LOCAL_MACHINE, wsKey.c_str())) {
    // The bookkeeping is lost for this run, but the app is still looked for and brought up.
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"::UtilityPackageCheckDelayTimerCallback CreateKey() return fail!\n");
  } else {
    if (SetKeyValueInt(HKEY_LOCAL_MACHINE, wsKey.c_str(), REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, 0)) {
      WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback set %s\\%s to %u\n", wsUserMD5.c_str(),
               REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, 0u);
    } else {
      WriteLog(L"", 1, LOG_LEVEL_ERROR,
               L"::UtilityPackageCheckDelayTimerCallback SetKeyValueInt(REG_CHECK_UTILITY_PROCESS_COUNT_VALUE) return "
               L"fail!\n");
    }
    if (!SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, wsKey, REG_OS_BUILD_NUMBER_VALUE, GetCurrentOSBuildNumber())) {
      WriteLog(L"", 1, LOG_LEVEL_ERROR,
               L"::UtilityPackageCheckDelayTimerCallback SetKeyValueOfStringType(REG_OS_BUILD_NUMBER_VALUE) return "
               L"fail!\n");
    }
  }

  BOOL bProcessExists = IsExistUtilityProcess();
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback The \"%s\" process is exist: %s.\n",
           UTILITY_PROCESS_IMAGE_NAME, bProcessExists ? L"True" : L"False");

  bool bDone = bProcessExists != FALSE;
  std::wstring wsPackagesFolder;
  if (!bDone) {
    BOOL bFolderExists = IsUtilityfolderExist(wsPackagesFolder);
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback The \"%s\" folder is exist: %s.\n",
             UTILITY_PACKAGE_FAMILY_NAME, bFolderExists ? L"True" : L"False");
    DWORD dwExitCode = 0;
    bDone = LaunchTorvexUtilityAppx(&dwExitCode) && dwExitCode == 0;
  }

  if (bDone) {
    if (SetKeyValueInt(HKEY_LOCAL_MACHINE, wsKey.c_str(), REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, 1)) {
      WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback set %s\\%s to %u\n", wsUserMD5.c_str(),
               REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, 1u);
    } else {
      WriteLog(L"", 1, LOG_LEVEL_ERROR, L"::UtilityPackageCheckDelayTimerCallback SetKeyValueInt() return fail!\n");
    }
    if (pService->m_hDirectoryWatcher != nullptr) {
      WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback Destroy DirectoryWatcher\n");
      delete pService->m_hDirectoryWatcher;
      pService->m_hDirectoryWatcher = nullptr;
    }
    return;
  }

  // Not brought up: watch for the app's package folder, once per service object.
  if (pService->m_hDirectoryWatcher != nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback DirectoryWatcher is existance.\n");
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback The \"%s\\%s\" folder will is monitored\n",
             wsPackagesFolder.c_str(), UTILITY_PACKAGE_FAMILY_NAME);
    return;
  }
  if (wsPackagesFolder.empty()) return;
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback Create DirectoryWatcher\n");
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::UtilityPackageCheckDelayTimerCallback The \"%s\\%s\" folder will is monitored\n",
           wsPackagesFolder.c_str(), UTILITY_PACKAGE_FAMILY_NAME);
  DirectoryWatcher* pWatcher = nullptr;
  // Allocation and the thread's start report failure by throwing; nothing may leave a thread-pool
  // callback that way, and the member stays null.
  try {
    if (g_pfnBeforeNewDirectoryWatcher) g_pfnBeforeNewDirectoryWatcher();
    pWatcher = new DirectoryWatcher(wsPackagesFolder, UTILITY_PACKAGE_FAMILY_NAME,
                                    [pService](std::wstring wsUnused) { pService->DirectoryChangesNotify(wsUnused); });
  } catch (...) {
    pWatcher = nullptr;
  }
  pService->m_hDirectoryWatcher = pWatcher;
  if (pWatcher == nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR,
             L"::UtilityPackageCheckDelayTimerCallback new DirectoryWatcher() return fail! m_hDirectoryWatcher is NULL!\n");
  }
}

}  // namespace

VOID CALLBACK UtilityPackageCheckDelayTimerCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) {
  CUtilityService* pService = static_cast<CUtilityService*>(context);
  if (pService == nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"::UtilityPackageCheckDelayTimerCallback CUtilityService is NULL!\n");
    return;
  }
  if (pService->m_pDirectoryWatcherMutex == nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"::UtilityPackageCheckDelayTimerCallback m_pDirectoryWatcherMutex is NULL");
    return;
  }
  std::lock_guard<std::mutex> lock(*pService->m_pDirectoryWatcherMutex);
  // A logoff cancelled this check while it waited for the mutex: its user has gone.
  if (pService->IsCheckCancelled()) return;
  DWORD dwThreadId = GetCurrentThreadId();
  WriteLog(L"", 1, LOG_LEVEL_INFO,
           L"::UtilityPackageCheckDelayTimerCallback  +++++++++++++++++++++ %d +++++++++++++++++++++ \n",
           static_cast<int>(dwThreadId));
  try {
    RunCheck(pService);
  } catch (...) {
    // Nothing may leave a thread-pool callback by an exception; the closing line still follows.
  }
  WriteLog(L"", 1, LOG_LEVEL_INFO,
           L"::UtilityPackageCheckDelayTimerCallback  --------------------- %d --------------------- \n",
           static_cast<int>(dwThreadId));
}
