#include "service/UtilityService.h"

#include "common/Console.h"
#include "common/Log.h"
#include "monitor/CheckTimer.h"
#include "monitor/DirectoryWatcher.h"
#include "rpc/RpcServer.h"

namespace {
const UCHAR kEventLevelError = 2;
const UCHAR kEventLevelInformation = 4;
}  // namespace

CUtilityService::CUtilityService()
    : CServiceBase(UTILITY_SERVICE_NAME),
      m_pRpcStartWork(nullptr),
      m_bConsoleMode(false),
      m_hDirectoryWatcher(nullptr),
      m_pCheckDelayTimer(nullptr),
      m_pDirectoryWatcherMutex(nullptr),
      m_wsCheckUserMD5(),
      m_bCheckCancelled(false) {
  m_pDirectoryWatcherMutex = new std::mutex();
  PTP_TIMER timer = CreateThreadpoolTimer(UtilityPackageCheckDelayTimerCallback, this, nullptr);
  if (timer == nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"CUtilityService CreateThreadpoolTimer() return failed! error: %d\n",
             GetLastError());
  }
  m_pCheckDelayTimer.store(timer);
}

// Runs after the dispatcher has returned, so no control request arrives any more. What can still
// run is a check callback (which replaces watchers under the mutex) and a watcher's thread (which
// re-arms the timer without the mutex). Hence: stop the re-arming first, then the watcher, then
// the callbacks, and only then close the timer; a watcher that a last callback made goes last.
CUtilityService::~CUtilityService() {
  PTP_TIMER timer = m_pCheckDelayTimer.exchange(nullptr);
  // Nothing arms the timer any more: a callback that is already due finds its check cancelled.
  m_bCheckCancelled.store(true);
  ReleaseDirectoryWatcher();
  if (timer != nullptr) {
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    CloseThreadpoolTimer(timer);
  }
  ReleaseDirectoryWatcher();
  if (m_pDirectoryWatcherMutex != nullptr) {
    delete m_pDirectoryWatcherMutex;
    m_pDirectoryWatcherMutex = nullptr;
  }
  std::lock_guard<std::mutex> lock(m_checkUserMD5Lock);
  m_wsCheckUserMD5.clear();
  m_wsCheckUserMD5.shrink_to_fit();
}

std::wstring CUtilityService::GetCheckUserMD5() {
  std::lock_guard<std::mutex> lock(m_checkUserMD5Lock);
  return m_wsCheckUserMD5;
}

void CUtilityService::SetCheckUserMD5(const std::wstring& wsMD5) {
  std::lock_guard<std::mutex> lock(m_checkUserMD5Lock);
  m_wsCheckUserMD5 = wsMD5;
}

void CUtilityService::ArmCheckDelayTimer(LONGLONG seconds) {
  PTP_TIMER timer = m_pCheckDelayTimer.load();
  if (timer == nullptr) return;
  // Cleared before the timer can fire, so that the run this arming causes is not taken for a
  // cancelled one.
  m_bCheckCancelled.store(false);
  // A negative due time is relative, in 100-nanosecond units.
  ULARGE_INTEGER due;
  due.QuadPart = static_cast<ULONGLONG>(-seconds * 10000000LL);
  FILETIME dueTime;
  dueTime.dwLowDateTime = due.LowPart;
  dueTime.dwHighDateTime = due.HighPart;
  SetThreadpoolTimer(timer, &dueTime, 0, 0);
}

void CUtilityService::CancelCheckDelayTimer() {
  PTP_TIMER timer = m_pCheckDelayTimer.load();
  if (timer != nullptr) SetThreadpoolTimer(timer, nullptr, 0, 0);
  m_bCheckCancelled.store(true);
}

void CUtilityService::ReleaseDirectoryWatcher() {
  if (m_pDirectoryWatcherMutex == nullptr) return;
  std::lock_guard<std::mutex> lock(*m_pDirectoryWatcherMutex);
  if (m_hDirectoryWatcher != nullptr) {
    delete m_hDirectoryWatcher;
    m_hDirectoryWatcher = nullptr;
  }
}

void CUtilityService::OnStart(DWORD, PWSTR*) {
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"CUtilityService::OnStart enter.\n");
  WriteServiceEvent(L"CppWindowsService in OnStart", kEventLevelInformation);
  m_pRpcStartWork = CreateThreadpoolWork(StartRpcServerWorkCallback, this, nullptr);
  if (m_pRpcStartWork == nullptr) {
    // Taken first: writing the event may change the last error.
    DWORD error = GetLastError();
    WriteServiceEvent(L"CreateThreadpoolWork failed", kEventLevelError);
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"CUtilityService::OnStart CreateThreadpoolWork() return fail, error: %d", error);
    return;
  }
  SubmitThreadpoolWork(m_pRpcStartWork);
}

VOID CALLBACK CUtilityService::StartRpcServerWorkCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
  CUtilityService* service = static_cast<CUtilityService*>(context);
  RPC_STATUS status = RpcServerConnect();
  if (status != RPC_S_OK) service->Stop();
}

void CUtilityService::OnStop() {
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"CUtilityService::OnStop enter.\n");
  WriteServiceEvent(L"CppWindowsService in OnStop", kEventLevelInformation);
  // Sets the stop flag (running metering loops end at their next tick), unregisters the interface
  // without waiting for calls in progress, removes its endpoint-map entries and frees the binding
  // vector; results are not looked at.
  RpcServerTeardown();
}

void CUtilityService::WriteServiceEvent(PCWSTR pszMessage, UCHAR level) {
  if (m_bConsoleMode) ConsolePrint(L"%d: %ls\n", static_cast<int>(level), pszMessage);
  if (m_hEventProvider != 0) EventWriteString(m_hEventProvider, level, 0, pszMessage);
}
