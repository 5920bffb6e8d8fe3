// strsafe's bounded character-count functions. Every one of them leaves a non-empty destination
// terminated, truncating to cchDest-1 characters when the result does not fit.
#include "strsafe.h"

#include <cwchar>
#include <string>

#include "core/fault.h"
#include "core/wideformat.h"
#include "errhandlingapi.h"

namespace {

bool ValidDestination(size_t cchDest) { return cchDest != 0 && cchDest <= STRSAFE_MAX_CCH; }

// Copies at most cchDest-1 characters and terminates.
HRESULT CopyTruncated(wchar_t* dest, size_t cchDest, const wchar_t* src, size_t length) {
  if (length < cchDest) {
    std::wmemcpy(dest, src, length);
    dest[length] = L'\0';
    return S_OK;
  }
  std::wmemcpy(dest, src, cchDest - 1);
  dest[cchDest - 1] = L'\0';
  return STRSAFE_E_INSUFFICIENT_BUFFER;
}

HRESULT PrintfWorker(const char* name, wchar_t* dest, size_t cchDest, const wchar_t* format, va_list args) {
  if (auto fault = winsim::CheckFault(name)) {
    if (dest && ValidDestination(cchDest)) dest[0] = L'\0';
    return static_cast<HRESULT>(*fault);
  }
  if (!dest) return STRSAFE_E_INVALID_PARAMETER;
  if (!ValidDestination(cchDest)) {
    // A non-zero destination is still left terminated.
    if (cchDest != 0) dest[0] = L'\0';
    return STRSAFE_E_INVALID_PARAMETER;
  }
  // The text is formatted into a buffer kept by the thread, which keeps its room from call to call.
  thread_local std::wstring text;
  if (!format || !winsim::FormatWindowsWide(format, args, &text)) {
    dest[0] = L'\0';
    return STRSAFE_E_INVALID_PARAMETER;
  }
  return CopyTruncated(dest, cchDest, text.data(), text.size());
}

}  // namespace

HRESULT StringCchVPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, va_list argList) {
  return PrintfWorker("StringCchVPrintfW", pszDest, cchDest, pszFormat, argList);
}

HRESULT StringCchPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  HRESULT hr = PrintfWorker("StringCchPrintfW", pszDest, cchDest, pszFormat, args);
  va_end(args);
  return hr;
}

HRESULT StringCbPrintfW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  HRESULT hr = PrintfWorker("StringCbPrintfW", pszDest, cbDest / sizeof(wchar_t), pszFormat, args);
  va_end(args);
  return hr;
}

HRESULT StringCchCopyW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc) {
  if (auto fault = winsim::CheckFault("StringCchCopyW")) {
    if (pszDest && ValidDestination(cchDest)) pszDest[0] = L'\0';
    return static_cast<HRESULT>(*fault);
  }
  if (!pszDest) return STRSAFE_E_INVALID_PARAMETER;
  if (!ValidDestination(cchDest)) {
    if (cchDest != 0) pszDest[0] = L'\0';
    return STRSAFE_E_INVALID_PARAMETER;
  }
  if (!pszSrc) {
    pszDest[0] = L'\0';
    return STRSAFE_E_INVALID_PARAMETER;
  }
  // Only as much of the source as can fit is read, so an unterminated long source is safe.
  size_t length = 0;
  while (length < cchDest && pszSrc[length] != L'\0') ++length;
  return CopyTruncated(pszDest, cchDest, pszSrc, length);
}

HRESULT StringCchCatW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc) {
  WINSIM_FAULT_STATUS("StringCchCatW", HRESULT);
  if (!pszDest || !ValidDestination(cchDest)) return STRSAFE_E_INVALID_PARAMETER;
  // The destination must already be terminated inside its buffer; it is left untouched otherwise.
  size_t used = 0;
  while (used < cchDest && pszDest[used] != L'\0') ++used;
  if (used == cchDest) return STRSAFE_E_INVALID_PARAMETER;
  if (!pszSrc) return STRSAFE_E_INVALID_PARAMETER;
  size_t room = cchDest - used;
  size_t length = 0;
  while (length < room && pszSrc[length] != L'\0') ++length;
  return CopyTruncated(pszDest + used, room, pszSrc, length);
}

HRESULT StringCchLengthW(STRSAFE_LPCWSTR psz, size_t cchMax, size_t* pcchLength) {
  if (auto fault = winsim::CheckFault("StringCchLengthW")) {
    if (pcchLength) *pcchLength = 0;
    return static_cast<HRESULT>(*fault);
  }
  HRESULT hr = S_OK;
  size_t length = 0;
  if (!psz || cchMax > STRSAFE_MAX_CCH) {
    hr = STRSAFE_E_INVALID_PARAMETER;
  } else {
    while (length < cchMax && psz[length] != L'\0') ++length;
    if (length == cchMax) hr = STRSAFE_E_INVALID_PARAMETER;  // not terminated within cchMax
  }
  if (pcchLength) *pcchLength = SUCCEEDED(hr) ? length : 0;
  return hr;
}
