// Torvex.CertificateValidation.Native.dll: the maker's certificate-validation library, as the
// service loads it after checking its signature and pinned digest. The service binds the four
// entries by name; only ValidateAssembly is ever called.
#pragma once
#include <windows.h>

extern "C" {

// 0 when the file at the zero-terminated wide full path carries an Authenticode signature that
// WinVerifyTrust accepts and that was made with the same certificate as this library's own
// signature; otherwise the reason as an HRESULT: WinVerifyTrust's verdict, CRYPT_E_NO_MATCH for
// another publisher, E_INVALIDARG for no path, or the error of the step that failed.
INT WINAPI ValidateAssembly(LPCWSTR pwszFullPath);

// Entries that the library's contract names but that nothing calls: each answers E_NOTIMPL.
INT WINAPI ValidateCertFile(LPCWSTR pwszPath);
INT WINAPI ValidateXmlFile(LPCWSTR pwszPath);
INT WINAPI ValidateXmlString(LPCWSTR pwszXml);

}  // extern "C"
