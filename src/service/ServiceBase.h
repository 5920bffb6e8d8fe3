// Binds one service object to the service control manager: the dispatcher entry, the control
// handler, the status reports with their checkpoints, the lifecycle operations around the
// derived class's hooks, and the service's ETW provider.
#pragma once
#include <windows.h>
#include <evntprov.h>

class CServiceBase {
 public:
  // Makes the object the process's service and runs the control dispatcher; returns when the
  // service has stopped, or at once with FALSE when the process was not started as a service.
  static BOOL Run(CServiceBase& service);

  explicit CServiceBase(PCWSTR pszServiceName);
  virtual ~CServiceBase();

  // Also called by the service itself when it cannot go on (its RPC endpoint failed).
  void Stop();

 protected:
  virtual void OnStart(DWORD dwArgc, PWSTR* pszArgv);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  virtual DWORD OnServiceControlHandle(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID lpContext);
  virtual void WriteServiceEvent(PCWSTR pszMessage, UCHAR level);

  void Start(DWORD dwArgc, PWSTR* pszArgv);
  void Pause();
  void Continue();
  void Shutdown();

  void ReportStatus(DWORD dwCurrentState, DWORD dwWin32ExitCode = NO_ERROR);
  void WriteServiceError(PCWSTR pszFunction, DWORD dwError);

  static void WINAPI ServiceMain(DWORD dwArgc, PWSTR* pszArgv);
  static DWORD WINAPI ControlHandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID lpEventData, LPVOID lpContext);

  static CServiceBase* s_pServiceInstance;
  static DWORD s_dwCheckPoint;

  PCWSTR m_serviceName;
  SERVICE_STATUS m_serviceStatus;
  SERVICE_STATUS_HANDLE m_serviceStatusHandle;
  REGHANDLE m_hEventProvider;
};
