// Module file names: the process image's Windows path, or a loaded library's.
#include <cwchar>

#include "core/fault.h"
#include "process/modules.h"
#include "process/process.h"
#include "windows.h"

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  WINSIM_FAULT_VALUE("GetModuleFileNameW", 0);
  auto path = winsim::ModulePath(hModule);
  if (!path) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (!lpFilename && nSize > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::wstring& image = *path;
  if (image.size() < nSize) {
    std::wmemcpy(lpFilename, image.c_str(), image.size() + 1);
    return static_cast<DWORD>(image.size());
  }
  // Too small (Windows XP and later): truncated to nSize-1 characters, terminated, nSize returned.
  if (nSize > 0) {
    std::wmemcpy(lpFilename, image.c_str(), nSize - 1);
    lpFilename[nSize - 1] = L'\0';
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}
