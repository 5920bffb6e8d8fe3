// The judgement on a file: a valid Authenticode signature, made with the certificate that signed
// this library. The signature check is WinVerifyTrust's, made as the service makes its own
// (whole-chain revocation checks from the local cache only, never fetched); the signer
// certificates come from libQolm.
//
// This library's own signer is read from its own file once, at the first call, and kept: the
// service loads the library once per process and never checks it again, so a library file
// replaced on disk afterwards changes nothing until the process restarts.
#include "CertificateValidation.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "Qolm.h"

namespace {

std::mutex g_ownSignerLock;
std::vector<BYTE> g_ownSigner;  // empty until read

LONG VerifyEmbeddedSignature(LPCWSTR pwszPath) {
  WINTRUST_FILE_INFO fileInfo;
  std::memset(&fileInfo, 0, sizeof(fileInfo));
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = pwszPath;
  WINTRUST_DATA trustData;
  std::memset(&trustData, 0, sizeof(trustData));
  trustData.cbStruct = sizeof(trustData);
  trustData.dwUIChoice = WTD_UI_NONE;
  trustData.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  trustData.dwUnionChoice = WTD_CHOICE_FILE;
  trustData.pFile = &fileInfo;
  trustData.dwStateAction = WTD_STATEACTION_VERIFY;
  trustData.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN | WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG result = WinVerifyTrust(nullptr, &action, &trustData);
  trustData.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(nullptr, &action, &trustData);
  return result;
}

// The signer certificate of a file's embedded signature, with libQolm's sizing protocol.
LONG ReadSignerCertificate(LPCWSTR pwszPath, std::vector<BYTE>* pCertificate) {
  DWORD cb = 0;
  LONG result = QolmGetSignerCertificate(pwszPath, nullptr, &cb);
  if (result != HRESULT_FROM_WIN32(ERROR_MORE_DATA)) return result == ERROR_SUCCESS ? E_UNEXPECTED : result;
  pCertificate->resize(cb);
  result = QolmGetSignerCertificate(pwszPath, pCertificate->data(), &cb);
  if (result != ERROR_SUCCESS) return result;
  pCertificate->resize(cb);
  return ERROR_SUCCESS;
}

// An HRESULT for a failed Win32 call.
LONG LastErrorResult() {
  DWORD error = GetLastError();
  return error == ERROR_SUCCESS ? E_FAIL : static_cast<LONG>(HRESULT_FROM_WIN32(error));
}

// This library's own signer certificate, read from its own file (found from an address inside it)
// at the first call that needs it; a failed read is tried again next time.
LONG GetOwnSignerCertificate(std::vector<BYTE>* pCertificate) {
  std::lock_guard<std::mutex> lock(g_ownSignerLock);
  if (g_ownSigner.empty()) {
    HMODULE hSelf = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ValidateAssembly), &hSelf)) {
      return LastErrorResult();
    }
    WCHAR wszOwnPath[MAX_PATH] = {};
    DWORD cch = GetModuleFileNameW(hSelf, wszOwnPath, MAX_PATH);
    // A result that fills the buffer is a cut path.
    if (cch == 0) return LastErrorResult();
    if (cch >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    std::vector<BYTE> certificate;
    LONG result = ReadSignerCertificate(wszOwnPath, &certificate);
    if (result != ERROR_SUCCESS) return result;
    g_ownSigner = std::move(certificate);
  }
  *pCertificate = g_ownSigner;
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" INT WINAPI ValidateAssembly(LPCWSTR pwszFullPath) {
  if (!pwszFullPath || !*pwszFullPath) return E_INVALIDARG;
  std::vector<BYTE> ownSigner, fileSigner;
  LONG result = GetOwnSignerCertificate(&ownSigner);
  if (result != ERROR_SUCCESS) return result;
  result = VerifyEmbeddedSignature(pwszFullPath);
  if (result != ERROR_SUCCESS) return result;
  result = ReadSignerCertificate(pwszFullPath, &fileSigner);
  if (result != ERROR_SUCCESS) return result;
  // Byte for byte the same certificate: the same publisher's same signing certificate, not merely
  // a look-alike name.
  return fileSigner == ownSigner ? ERROR_SUCCESS : CRYPT_E_NO_MATCH;
}

extern "C" INT WINAPI ValidateCertFile(LPCWSTR) { return E_NOTIMPL; }
extern "C" INT WINAPI ValidateXmlFile(LPCWSTR) { return E_NOTIMPL; }
extern "C" INT WINAPI ValidateXmlString(LPCWSTR) { return E_NOTIMPL; }
