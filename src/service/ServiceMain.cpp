// The service program's entry: installs or removes the service, runs as the service when the
// control manager starts it, or runs the RPC endpoint in the foreground.
#include <windows.h>
#include <strsafe.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/Console.h"
#include "common/Log.h"
#include "rpc/RpcServer.h"
#include "service/UtilityService.h"

std::wstring g_wsModuleName = L"TorvexUtilityService";

namespace {

void PrintUsage() {
  ConsolePrint(L"Parameters:\n");
  ConsolePrint(L" -install  to install the service.\n");
  ConsolePrint(L" -remove   to remove the service.\n");
  ConsolePrint(L" -console  to run in console mode.\n");
}

// The service object lives in this frame; its storage is zeroed before it is built.
struct ServiceStorage {
  alignas(CUtilityService) unsigned char bytes[sizeof(CUtilityService)];
  CUtilityService* Construct() {
    std::memset(bytes, 0, sizeof(bytes));
    return new (bytes) CUtilityService();
  }
};

void InstallService() {
  wchar_t wsPath[MAX_PATH];
  if (GetModuleFileNameW(nullptr, wsPath, ARRAYSIZE(wsPath)) == 0) {
    ConsolePrint(L"GetModuleFileName failed w/err 0x%08lx\n", GetLastError());
    return;
  }
  SC_HANDLE schSCManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
  if (schSCManager == nullptr) {
    ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
    return;
  }
  // The control manager reads an unquoted binary path with blanks blank by blank, so that
  // "C:\Program Files\..." would start C:\Program.exe as LocalSystem if anyone placed one there.
  // The path is registered in quotes.
  wchar_t wsBinaryPath[MAX_PATH + 2];
  if (FAILED(StringCchPrintfW(wsBinaryPath, ARRAYSIZE(wsBinaryPath), L"\"%s\"", wsPath))) {
    CloseServiceHandle(schSCManager);
    ConsolePrint(L"GetModuleFileName failed w/err 0x%08lx\n", static_cast<unsigned long>(ERROR_INSUFFICIENT_BUFFER));
    return;
  }
  SC_HANDLE schService = CreateServiceW(schSCManager, UTILITY_SERVICE_NAME, UTILITY_SERVICE_DISPLAY_NAME,
                                        SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                        SERVICE_ERROR_NORMAL, wsBinaryPath, nullptr, nullptr, L"\0\0", nullptr,
                                        nullptr);
  if (schService != nullptr) {
    ConsolePrint(L"%s is installed.\n", UTILITY_SERVICE_NAME);
  } else {
    ConsolePrint(L"CreateService failed w/err 0x%08lx\n", GetLastError());
  }
  CloseServiceHandle(schSCManager);
  if (schService != nullptr) CloseServiceHandle(schService);
}

void RemoveService() {
  SC_HANDLE schSCManager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (schSCManager == nullptr) {
    ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", GetLastError());
    return;
  }
  SC_HANDLE schService = OpenServiceW(schSCManager, UTILITY_SERVICE_NAME, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (schService == nullptr) {
    ConsolePrint(L"OpenService failed w/err 0x%08lx\n", GetLastError());
    CloseServiceHandle(schSCManager);
    return;
  }
  SERVICE_STATUS ssSvcStatus = {};
  if (ControlService(schService, SERVICE_CONTROL_STOP, &ssSvcStatus)) {
    ConsolePrint(L"Stopping %s.", UTILITY_SERVICE_NAME);
    Sleep(1000);
    while (QueryServiceStatus(schService, &ssSvcStatus)) {
      if (ssSvcStatus.dwCurrentState != SERVICE_STOP_PENDING) break;
      ConsolePrint(L".");
      Sleep(1000);
    }
    if (ssSvcStatus.dwCurrentState == SERVICE_STOPPED) {
      ConsolePrint(L"\n%s is stopped.\n", UTILITY_SERVICE_NAME);
    } else {
      ConsolePrint(L"\n%s failed to stop.\n", UTILITY_SERVICE_NAME);
    }
  }
  if (DeleteService(schService)) {
    ConsolePrint(L"%s is removed.\n", UTILITY_SERVICE_NAME);
  } else {
    ConsolePrint(L"DeleteService failed w/err 0x%08lx\n", GetLastError());
  }
  CloseServiceHandle(schSCManager);
  CloseServiceHandle(schService);
}

int RunService() {
  g_wsModuleName += GetGuidString();
  ServiceStorage storage;
  CUtilityService* service = storage.Construct();
  if (!CServiceBase::Run(*service)) {
    ConsolePrint(L"Service failed to run w/err 0x%08lx\n", GetLastError());
  }
  service->~CUtilityService();
  PrintUsage();
  return 0;
}

int RunConsole() {
  ServiceStorage storage;
  CUtilityService* service = storage.Construct();
  service->m_bConsoleMode = true;
  service->WriteServiceEvent(L"Starting Rpc Server..", 4);
  RPC_STATUS status = RpcServerConnect();
  if (status == RPC_S_OK) {
    service->~CUtilityService();
    return 0;
  }
  std::printf("RpcServerConnect returned: 0x%x\n", static_cast<unsigned>(status));
  service->WriteServiceEvent(L"Starting Rpc Server..", 4);
  std::fflush(stdout);
  std::exit(static_cast<int>(status));
}

bool IsOption(const wchar_t* word, const wchar_t* option) {
  return CompareStringOrdinal(word, -1, option, -1, TRUE) == CSTR_EQUAL;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
  if (argc > 1 && (argv[1][0] == L'-' || argv[1][0] == L'/')) {
    const wchar_t* option = argv[1] + 1;
    if (IsOption(option, L"install")) {
      InstallService();
    } else if (IsOption(option, L"remove")) {
      RemoveService();
    } else if (IsOption(option, L"console")) {
      return RunConsole();
    } else {
      PrintUsage();
    }
    return 0;
  }
  return RunService();
}
