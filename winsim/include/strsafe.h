// Bounded string functions. On Windows these live inline in the header; on winsim they are ordinary
// functions so that every caller shares one wide-format engine with the Windows meaning of %s.
#pragma once
#include <cstdarg>
#include <cstddef>

#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#define STRSAFE_E_END_OF_FILE ((HRESULT)0x80070026L)

typedef wchar_t* STRSAFE_LPWSTR;
typedef const wchar_t* STRSAFE_LPCWSTR;

HRESULT StringCchPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, ...);
HRESULT StringCchVPrintfW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszFormat, va_list argList);
// cbDest counts bytes of the buffer (sizeof of a WCHAR array).
HRESULT StringCbPrintfW(STRSAFE_LPWSTR pszDest, size_t cbDest, STRSAFE_LPCWSTR pszFormat, ...);
HRESULT StringCchCopyW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCchCatW(STRSAFE_LPWSTR pszDest, size_t cchDest, STRSAFE_LPCWSTR pszSrc);
HRESULT StringCchLengthW(STRSAFE_LPCWSTR psz, size_t cchMax, size_t* pcchLength);
