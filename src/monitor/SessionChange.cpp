// The service's reaction to the console's session changes: a logon makes the companion-app check
// due for the console user when the bookkeeping says so, a logoff stops it.
#include <windows.h>

#include "common/Log.h"
#include "common/Registry.h"
#include "monitor/CheckBookkeeping.h"
#include "monitor/DirectoryWatcher.h"
#include "monitor/SessionQueries.h"
#include "service/UtilityService.h"

DWORD CUtilityService::OnServiceControlHandle(DWORD dwControl, DWORD dwEventType, LPVOID, LPVOID) {
  if (dwControl == SERVICE_CONTROL_SHUTDOWN) {
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle Syetem Shutdown\n");
    return 0;
  }
  if (dwControl != SERVICE_CONTROL_SESSIONCHANGE) return 0;
  if (m_pDirectoryWatcherMutex == nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"::OnServiceControlHandle m_pDirectoryWatcherMutex is NULL");
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(*m_pDirectoryWatcherMutex);
    switch (dwEventType) {
      case WTS_SESSION_LOGON:
        HandleLogon();
        break;
      case WTS_SESSION_LOGOFF:
        HandleLogoff();
        break;
      case WTS_SESSION_LOCK:
        WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle User Session Locked\n");
        break;
      case WTS_SESSION_UNLOCK:
        HandleUnlock();
        break;
      default:
        break;
    }
  }
  // The logoff waits for the check's callbacks only now, with the mutex released: a callback that
  // fired before the cancel and waits for the mutex takes it, finds its check cancelled and
  // returns. Waiting while holding the mutex would wait for that callback for ever.
  if (dwEventType == WTS_SESSION_LOGOFF) {
    PTP_TIMER timer = m_pCheckDelayTimer.load();
    if (timer != nullptr) WaitForThreadpoolTimerCallbacks(timer, TRUE);
  }
  return 0;
}

void CUtilityService::HandleLogon() {
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle User Logged on\n");
  std::wstring userName;
  std::wstring userMD5;
  if (!GetCurrentUserNameAndMD5(userName, userMD5)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"::OnServiceControlHandle GetCurrentUserNameAndMD5() return fail!\n");
    return;
  }
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle current user name: \"%s\", MD5: \"%s\"\n",
           userName.c_str(), userMD5.c_str());
  SetCheckUserMD5(userMD5);

  // A missing key or value means the check has never been made for this user: it is due.
  std::wstring key = UserCheckKeyPath(userMD5);
  DWORD checkCount = 0;
  if (GetKeyValueInt(HKEY_LOCAL_MACHINE, key, REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, &checkCount)) {
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle %s\\%s is %u\n", userMD5.c_str(),
             REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, checkCount);
    if (checkCount != 0) {
      // Done before: due again only after a change of the Windows build. A build that cannot be
      // read is no change: taking it for one would reset the check at every logon.
      std::wstring currentBuild = GetCurrentOSBuildNumber();
      if (currentBuild.empty()) {
        WriteLog(L"", 1, LOG_LEVEL_ERROR,
                 L"::OnServiceControlHandle Current OS Build Number is EMPTY, the check state is left as it is!\n");
        return;
      }
      std::wstring storedBuild;
      if (!GetRegValueOfStringType(HKEY_LOCAL_MACHINE, key, REG_OS_BUILD_NUMBER_VALUE, storedBuild)) {
        WriteLog(L"", 1, LOG_LEVEL_ERROR,
                 L"::OnServiceControlHandle GetRegValueOfStringType(REG_OS_BUILD_NUMBER_VALUE) return fail!\n");
        return;
      }
      WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle %s\\%s is %s\n", userMD5.c_str(),
               REG_OS_BUILD_NUMBER_VALUE, storedBuild.c_str());
      WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle Current OS Build Number is %s\n",
               currentBuild.c_str());
      if (storedBuild == currentBuild) return;
      if (!SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, key, REG_OS_BUILD_NUMBER_VALUE, currentBuild)) {
        WriteLog(L"", 1, LOG_LEVEL_ERROR,
                 L"::OnServiceControlHandle SetKeyValueOfStringType(REG_OS_BUILD_NUMBER_VALUE) return fail!\n");
      }
      if (SetKeyValueInt(HKEY_LOCAL_MACHINE, key.c_str(), REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, 0)) {
        WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle set %s\\%s to %u\n", userMD5.c_str(),
                 REG_CHECK_UTILITY_PROCESS_COUNT_VALUE, 0u);
      } else {
        WriteLog(L"", 1, LOG_LEVEL_ERROR,
                 L"::OnServiceControlHandle SetKeyValueInt(REG_CHECK_UTILITY_PROCESS_COUNT_VALUE) return fail!\n");
      }
    }
  }
  if (m_pCheckDelayTimer.load() != nullptr) {
    ArmCheckDelayTimer(USER_LOGON_DELAY_SECONDS);
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle schedule user logon delay timer for %lds\n",
             static_cast<long>(USER_LOGON_DELAY_SECONDS));
  }
}

// The order matters: the timer is cancelled before the watcher is joined, and again after it,
// since a notification that the join waits for may re-arm it. The wait for callbacks comes after
// the mutex is released (OnServiceControlHandle).
void CUtilityService::HandleLogoff() {
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle User Logged off\n");
  CancelCheckDelayTimer();
  if (m_hDirectoryWatcher != nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle Destroy DirectoryWatcher\n");
    delete m_hDirectoryWatcher;
    m_hDirectoryWatcher = nullptr;
  }
  CancelCheckDelayTimer();
}

void CUtilityService::HandleUnlock() {
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle User Session Unlocked\n");
  std::wstring userName;
  DWORD sessionId = 0;
  if (GetCurrentUserNameAndSessionId(userName, sessionId)) {
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"::OnServiceControlHandle current user name: \"%s\", session id: %u\n",
             userName.c_str(), sessionId);
  }
}
