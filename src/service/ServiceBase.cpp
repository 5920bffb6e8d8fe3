#include "service/ServiceBase.h"

#include <condition_variable>
#include <mutex>

#include "common/Console.h"
#include "common/Log.h"

// Last: it marks the unbounded string functions of the headers above as deprecated.
#include <strsafe.h>

namespace {

// {5B1E7A42-9C3D-4F80-A1B6-2E7D94C3F015}
const GUID kServiceProviderId = {0x5b1e7a42, 0x9c3d, 0x4f80, {0xa1, 0xb6, 0x2e, 0x7d, 0x94, 0xc3, 0xf0, 0x15}};

const DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;
const UCHAR kEventLevelError = 2;

// Reports come from the control handler's thread and from thread-pool threads (a failed RPC
// endpoint stops the service); one report at a time keeps the record and checkpoints whole. The
// lock lives as long as the process: the stopped report lets the entry point destroy the service
// object while the reporting thread still has to release it.
std::mutex g_statusLock;

// While the start is in progress (from its start-pending report to its last report), a stop asked
// for on another thread waits for it: a thread that the start set going may stop the service (the
// RPC endpoint's set-up failing), and its reports must come after the start's running report, not
// between the start-pending report and a running report that would then follow the stopped one.
// Like the lock, these live as long as the process.
std::condition_variable& g_startFinished = *new std::condition_variable;
bool g_bStarting = false;
DWORD g_dwStartingThread = 0;

}  // namespace

CServiceBase* CServiceBase::s_pServiceInstance = nullptr;
DWORD CServiceBase::s_dwCheckPoint = 1;

BOOL CServiceBase::Run(CServiceBase& service) {
  s_pServiceInstance = &service;
  SERVICE_TABLE_ENTRYW serviceTable[] = {
      {const_cast<PWSTR>(service.m_serviceName), ServiceMain},
      {nullptr, nullptr},
  };
  return StartServiceCtrlDispatcherW(serviceTable);
}

CServiceBase::CServiceBase(PCWSTR pszServiceName)
    : m_serviceName(pszServiceName), m_serviceStatus{}, m_serviceStatusHandle(nullptr), m_hEventProvider(0) {
  m_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  m_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
  ULONG status = EventRegister(&kServiceProviderId, nullptr, nullptr, &m_hEventProvider);
  if (status != ERROR_SUCCESS) {
    m_hEventProvider = 0;
    ConsolePrint(L"Provider not registered. EventRegister failed with %d\n", status);
  }
}

CServiceBase::~CServiceBase() {
  if (m_hEventProvider != 0) {
    EventUnregister(m_hEventProvider);
    m_hEventProvider = 0;
  }
}

void CServiceBase::ServiceMain(DWORD dwArgc, PWSTR* pszArgv) {
  CServiceBase* service = s_pServiceInstance;
  service->m_serviceStatusHandle =
      RegisterServiceCtrlHandlerExW(service->m_serviceName, ControlHandlerEx, service);
  if (service->m_serviceStatusHandle == nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"CServiceBase::ServiceMain m_serviceStatusHandle is NULL! error: %d",
             GetLastError());
  }
  service->Start(dwArgc, pszArgv);
}

DWORD CServiceBase::ControlHandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID lpContext) {
  CServiceBase* context = static_cast<CServiceBase*>(lpContext);
  if (context != nullptr) context->OnServiceControlHandle(dwControl, dwEventType, lpEventData, lpContext);
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
      s_pServiceInstance->Stop();
      break;
    case SERVICE_CONTROL_PAUSE:
      s_pServiceInstance->Pause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      s_pServiceInstance->Continue();
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      s_pServiceInstance->Shutdown();
      break;
    default:
      break;
  }
  return NO_ERROR;
}

void CServiceBase::Start(DWORD dwArgc, PWSTR* pszArgv) {
  {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_bStarting = true;
    g_dwStartingThread = GetCurrentThreadId();
  }
  try {
    WriteServiceEvent(L"Service trying to start.", kEventLevelError);
    ReportStatus(SERVICE_START_PENDING);
    OnStart(dwArgc, pszArgv);
    ReportStatus(SERVICE_RUNNING);
  } catch (DWORD dwError) {
    WriteServiceError(L"Service Start", dwError);
    ReportStatus(SERVICE_STOPPED, dwError);
  } catch (...) {
    WriteServiceEvent(L"Service failed to start.", kEventLevelError);
    ReportStatus(SERVICE_STOPPED);
  }
  {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_bStarting = false;
  }
  g_startFinished.notify_all();
}

void CServiceBase::Stop() {
  DWORD dwOriginalState;
  {
    std::unique_lock<std::mutex> lock(g_statusLock);
    // The starting thread itself does not wait: a start hook that stops would wait for itself.
    DWORD dwThread = GetCurrentThreadId();
    g_startFinished.wait(lock, [dwThread] { return !g_bStarting || g_dwStartingThread == dwThread; });
    dwOriginalState = m_serviceStatus.dwCurrentState;
  }
  try {
    ReportStatus(SERVICE_STOP_PENDING);
    OnStop();
    ReportStatus(SERVICE_STOPPED);
  } catch (DWORD dwError) {
    WriteServiceError(L"Service Stop", dwError);
    ReportStatus(dwOriginalState);
  } catch (...) {
    WriteServiceEvent(L"Service failed to stop.", kEventLevelError);
    ReportStatus(dwOriginalState);
  }
}

void CServiceBase::Pause() {
  try {
    ReportStatus(SERVICE_PAUSE_PENDING);
    OnPause();
    ReportStatus(SERVICE_PAUSED);
  } catch (DWORD dwError) {
    WriteServiceError(L"Service Pause", dwError);
    ReportStatus(SERVICE_RUNNING);
  } catch (...) {
    WriteServiceEvent(L"Service failed to pause.", kEventLevelError);
    ReportStatus(SERVICE_RUNNING);
  }
}

void CServiceBase::Continue() {
  try {
    ReportStatus(SERVICE_CONTINUE_PENDING);
    OnContinue();
    ReportStatus(SERVICE_RUNNING);
  } catch (DWORD dwError) {
    WriteServiceError(L"Service Continue", dwError);
    ReportStatus(SERVICE_PAUSED);
  } catch (...) {
    WriteServiceEvent(L"Service failed to resume.", kEventLevelError);
    ReportStatus(SERVICE_PAUSED);
  }
}

void CServiceBase::Shutdown() {
  try {
    OnShutdown();
    ReportStatus(SERVICE_STOPPED);
  } catch (DWORD dwError) {
    WriteServiceError(L"Service Shutdown", dwError);
  } catch (...) {
    WriteServiceEvent(L"Service failed to shut down.", kEventLevelError);
  }
}

void CServiceBase::ReportStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode) {
  std::lock_guard<std::mutex> lock(g_statusLock);
  m_serviceStatus.dwCurrentState = dwCurrentState;
  m_serviceStatus.dwWin32ExitCode = dwWin32ExitCode;
  m_serviceStatus.dwWaitHint = 0;
  m_serviceStatus.dwControlsAccepted = kControlsAccepted;
  m_serviceStatus.dwCheckPoint =
      (dwCurrentState == SERVICE_RUNNING || dwCurrentState == SERVICE_STOPPED) ? 0 : s_dwCheckPoint++;
  if (m_serviceStatusHandle != nullptr) SetServiceStatus(m_serviceStatusHandle, &m_serviceStatus);
}

void CServiceBase::WriteServiceError(PCWSTR pszFunction, DWORD dwError) {
  wchar_t message[260];
  // A name too long for the buffer leaves a shortened, terminated text.
  StringCchPrintfW(message, ARRAYSIZE(message), L"%s failed w/err 0x%08lx", pszFunction, dwError);
  WriteServiceEvent(message, kEventLevelError);
}

void CServiceBase::OnStart(DWORD, PWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
DWORD CServiceBase::OnServiceControlHandle(DWORD, DWORD, LPVOID, LPVOID) { return 0; }

void CServiceBase::WriteServiceEvent(PCWSTR pszMessage, UCHAR level) {
  if (m_hEventProvider != 0) EventWriteString(m_hEventProvider, level, 0, pszMessage);
}
