// Prints a service's status as "STATE/0xCONTROLS/EXITCODE", the form the shared table of the
// service program's texts uses: for instance "RUNNING/0x85/0".
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ServiceStatus NAME\n");
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    std::fprintf(stderr, "OpenSCManagerW: %lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    std::fprintf(stderr, "OpenServiceW: %lu\n", GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  BOOL ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                 &needed);
  DWORD error = GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!ok) {
    std::fprintf(stderr, "QueryServiceStatusEx: %lu\n", error);
    return 1;
  }
  const char* states[] = {"?", "STOPPED", "START_PENDING", "STOP_PENDING", "RUNNING",
                          "CONTINUE_PENDING", "PAUSE_PENDING", "PAUSED"};
  const char* state = status.dwCurrentState < 8 ? states[status.dwCurrentState] : "?";
  std::printf("%s/0x%lx/%lu\n", state, status.dwControlsAccepted, status.dwWin32ExitCode);
  return 0;
}
