// libQolm.dll, the auxiliary library of the certificate-validation library: it reads the signer
// certificate out of the Authenticode signature embedded in a file. The validation library imports
// it, so that the loader maps it from the application's folder together with the validation
// library.
#pragma once
#include <windows.h>

extern "C" {

// The encoded (DER) certificate of the signer of the signature embedded in the file at
// pwszPath. On entry *pcbCertificate is the size of the buffer; on return it is the certificate's
// size. ERROR_SUCCESS with the certificate copied; HRESULT_FROM_WIN32(ERROR_MORE_DATA) when the
// buffer is null or too small (the size needed is returned); E_INVALIDARG without a path or a
// size; otherwise the HRESULT of the step that failed (no embedded signature, a file that cannot
// be read). Reads the signature only: whether it is valid is WinVerifyTrust's question.
LONG WINAPI QolmGetSignerCertificate(LPCWSTR pwszPath, BYTE* pbCertificate, DWORD* pcbCertificate);

}  // extern "C"
