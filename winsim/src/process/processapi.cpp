#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "core/fault.h"
#include "process/process.h"
#include "windows.h"

LPWSTR WINAPI GetCommandLineW(void) {
  // Windows documents no failure; an injected one gives NULL with its last error, so that a
  // program's handling of a missing command line can be tried. The C runtime's start-up reads the
  // command line without this call (winsim/entry), as Windows' reads the process parameters.
  WINSIM_FAULT_VALUE("GetCommandLineW", nullptr);
  // The buffer lives as long as the process, as Windows' does.
  static std::wstring buffer = winsim::CurrentCommandLine();
  return buffer.data();
}

void WINAPI ExitProcess(UINT uExitCode) {
  winsim::RecordProcessExit(uExitCode);
  std::fflush(nullptr);
  std::exit(static_cast<int>(uExitCode));
}
