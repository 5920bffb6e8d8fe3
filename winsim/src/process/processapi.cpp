#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "core/fault.h"
#include "process/process.h"
#include "windows.h"

LPWSTR WINAPI GetCommandLineW(void) {
  // The buffer lives as long as the process, as Windows' does.
  static std::wstring buffer = winsim::CurrentCommandLine();
  return buffer.data();
}

void WINAPI ExitProcess(UINT uExitCode) {
  winsim::RecordProcessExit(uExitCode);
  std::fflush(nullptr);
  std::exit(static_cast<int>(uExitCode));
}
