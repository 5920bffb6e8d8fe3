// The service itself: owns the RPC endpoint's start-up work, the check timer, the mutex of the
// session and check logic, the package folder watcher and the user for whom a check is due.
#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

#include "service/ServiceBase.h"

class DirectoryWatcher;

#define UTILITY_SERVICE_NAME L"TorvexUtilityService"
#define UTILITY_SERVICE_DISPLAY_NAME L"Torvex Utility Service"

class CUtilityService : public CServiceBase {
 public:
  CUtilityService();
  ~CUtilityService() override;

  void WriteServiceEvent(PCWSTR pszMessage, UCHAR level) override;

  static VOID CALLBACK StartRpcServerWorkCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work);

  PTP_WORK m_pRpcStartWork;
  bool m_bConsoleMode;
  DirectoryWatcher* m_hDirectoryWatcher;
  // Read without the mutex by the watcher's thread when it re-arms the check; the teardown clears
  // it before closing the timer.
  std::atomic<PTP_TIMER> m_pCheckDelayTimer;
  std::mutex* m_pDirectoryWatcherMutex;
  std::wstring m_wsCheckUserMD5;

 protected:
  void OnStart(DWORD dwArgc, PWSTR* pszArgv) override;
  void OnStop() override;

 private:
  void ReleaseDirectoryWatcher();
};
