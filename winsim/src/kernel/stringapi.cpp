#include <cwchar>
#include <string>

#include "core/fault.h"
#include "core/strings.h"
#include "windows.h"

int WINAPI CompareStringOrdinal(LPCWCH lpString1, int cchCount1, LPCWCH lpString2, int cchCount2, BOOL bIgnoreCase) {
  WINSIM_FAULT_VALUE("CompareStringOrdinal", 0);
  if (lpString1 == nullptr || lpString2 == nullptr || cchCount1 < -1 || cchCount2 < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::wstring a(lpString1, cchCount1 == -1 ? std::wcslen(lpString1) : static_cast<size_t>(cchCount1));
  std::wstring b(lpString2, cchCount2 == -1 ? std::wcslen(lpString2) : static_cast<size_t>(cchCount2));
  if (bIgnoreCase) {
    a = winsim::UpperCase(a);
    b = winsim::UpperCase(b);
  }
  int c = a.compare(b);
  return c < 0 ? CSTR_LESS_THAN : c == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
}
