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
  // Written by the session handling and by the watcher's thread, read by the check; copied in and
  // out only under m_checkUserMD5Lock (the watcher's thread cannot take the mutex above: its owner
  // may be joining it while holding that mutex).
  std::wstring m_wsCheckUserMD5;
  std::mutex m_checkUserMD5Lock;
  // Set when a logoff (or the teardown) cancels the check, cleared whenever the timer is armed. A
  // check callback that fired before the cancel and then waited for m_pDirectoryWatcherMutex
  // finds it set once it has the mutex, and must not check for the user who has gone.
  std::atomic<bool> m_bCheckCancelled;

  // Runs on the watcher's thread when the app's package folder changes: the check is due again
  // in 30 s, for the user now at the console. The argument is not used.
  void DirectoryChangesNotify(std::wstring wsUnused);

  std::wstring GetCheckUserMD5();
  void SetCheckUserMD5(const std::wstring& wsMD5);
  bool IsCheckCancelled() const { return m_bCheckCancelled.load(); }

 protected:
  void OnStart(DWORD dwArgc, PWSTR* pszArgv) override;
  void OnStop() override;
  DWORD OnServiceControlHandle(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID lpContext) override;

 private:
  void ReleaseDirectoryWatcher();
  // Session changes, each with m_pDirectoryWatcherMutex held.
  void HandleLogon();
  void HandleLogoff();
  void HandleUnlock();
  // One-shot arming that replaces any earlier due time; nothing happens with a null timer.
  void ArmCheckDelayTimer(LONGLONG seconds);
  void CancelCheckDelayTimer();
};
