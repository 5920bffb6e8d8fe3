// WinVerifyTrust with the Authenticode policy provider (WINTRUST_ACTION_GENERIC_VERIFY_V2) for
// files. Facts relied on (Microsoft's WinVerifyTrust and WINTRUST_DATA pages, "Example C Program:
// Verifying the Signature of a PE File"): the result is a LONG, zero only when the subject is
// trusted; an unknown action gives TRUST_E_PROVIDER_UNKNOWN; WTD_STATEACTION_VERIFY leaves state
// in hWVTStateData that a call with WTD_STATEACTION_CLOSE releases; a file that is not signed, or
// cannot be opened, gives TRUST_E_NOSIGNATURE with the reason in the last error (TRUST_E_NOSIGNATURE
// itself for an unsigned file); a file of a form no subject interface package knows gives
// TRUST_E_SUBJECT_FORM_UNKNOWN.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <set>

#include "core/fault.h"
#include "files/fileobject.h"
#include "files/paths_full.h"
#include "kernel/handles.h"
#include "process/peimage.h"
#include "softpub.h"
#include "trust/authenticode.h"
#include "windows.h"

namespace {

const GUID kGenericVerifyV2 = WINTRUST_ACTION_GENERIC_VERIFY_V2;

// What WTD_STATEACTION_VERIFY leaves behind until WTD_STATEACTION_CLOSE.
struct TrustState {
  LONG result = 0;
};
std::mutex g_stateLock;
std::set<TrustState*> g_states;

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// The bytes of the file, read through the caller's handle or opened by name; the Win32 error when
// neither works.
DWORD ReadSubject(const WINTRUST_FILE_INFO* info, std::vector<uint8_t>* bytes) {
  if (info->hFile && info->hFile != INVALID_HANDLE_VALUE) {
    auto file = winsim::ReferenceHandleAs<winsim::FileObject>(info->hFile);
    if (!file) return ERROR_INVALID_HANDLE;
    if (!file->CanRead()) return ERROR_ACCESS_DENIED;
    uint8_t buffer[65536];
    off_t at = 0;
    for (;;) {
      ssize_t n = pread(file->Fd(), buffer, sizeof(buffer), at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return ERROR_READ_FAULT;
      if (n == 0) break;
      bytes->insert(bytes->end(), buffer, buffer + n);
      at += n;
    }
    return ERROR_SUCCESS;
  }
  if (!info->pcwszFilePath) return ERROR_INVALID_PARAMETER;
  unsigned long error = 0;
  auto name = winsim::ResolveFileName(info->pcwszFilePath, &error);
  if (!name) return error;
  auto data = winsim::pe::ReadWholeFile(name->linuxPath);
  if (!data) return winsim::ErrorFromErrno(errno, name->linuxPath);
  *bytes = std::move(*data);
  return ERROR_SUCCESS;
}

LONG Finish(LONG result) {
  // The provider leaves its verdict as the thread's last error too.
  SetLastError(static_cast<DWORD>(result));
  return result;
}

LONG Verify(const WINTRUST_DATA* data) {
  if (data->dwUnionChoice != WTD_CHOICE_FILE) return TRUST_E_SUBJECT_FORM_UNKNOWN;
  const WINTRUST_FILE_INFO* info = data->pFile;
  if (!info || info->cbStruct < offsetof(WINTRUST_FILE_INFO, pgKnownSubject)) return E_INVALIDARG;
  std::vector<uint8_t> bytes;
  DWORD error = ReadSubject(info, &bytes);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return TRUST_E_NOSIGNATURE;
  }
  winsim::trust::VerifyOptions options;
  options.hashOnly = (data->dwProvFlags & WTD_HASH_ONLY_FLAG) != 0;
  return Finish(winsim::trust::VerifyImage(bytes, options));
}

}  // namespace

LONG WINAPI WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData) {
  WINSIM_FAULT_STATUS("WinVerifyTrust", LONG);
  if (!pgActionID || !pWVTData) return Finish(E_INVALIDARG);
  if (!SameGuid(*pgActionID, kGenericVerifyV2)) return Finish(TRUST_E_PROVIDER_UNKNOWN);
  auto* data = static_cast<WINTRUST_DATA*>(pWVTData);
  // Older callers pass the structure without its later members: they count as zero.
  if (data->cbStruct < offsetof(WINTRUST_DATA, dwStateAction)) return Finish(E_INVALIDARG);
  WINTRUST_DATA d{};
  std::memcpy(&d, data, std::min<size_t>(data->cbStruct, sizeof(WINTRUST_DATA)));
  if (d.dwUIChoice < WTD_UI_ALL || d.dwUIChoice > WTD_UI_NOGOOD) return Finish(E_INVALIDARG);
  if (d.fdwRevocationChecks != WTD_REVOKE_NONE && d.fdwRevocationChecks != WTD_REVOKE_WHOLECHAIN) {
    return Finish(E_INVALIDARG);
  }
  if (d.dwUnionChoice < WTD_CHOICE_FILE || d.dwUnionChoice > WTD_CHOICE_CERT) return Finish(E_INVALIDARG);

  switch (d.dwStateAction) {
    case WTD_STATEACTION_CLOSE:
    case WTD_STATEACTION_AUTO_CACHE_FLUSH: {
      auto* state = static_cast<TrustState*>(d.hWVTStateData);
      if (state) {
        std::lock_guard<std::mutex> lock(g_stateLock);
        if (!g_states.erase(state)) return Finish(E_INVALIDARG);
        delete state;
      }
      if (data->cbStruct >= offsetof(WINTRUST_DATA, pwszURLReference)) data->hWVTStateData = nullptr;
      return ERROR_SUCCESS;
    }
    case WTD_STATEACTION_IGNORE:
    case WTD_STATEACTION_AUTO_CACHE:
      return Verify(&d);
    case WTD_STATEACTION_VERIFY: {
      LONG result = Verify(&d);
      DWORD lastError = GetLastError();
      // The state is kept whatever the verdict; the caller closes it.
      auto* state = new TrustState{result};
      {
        std::lock_guard<std::mutex> lock(g_stateLock);
        g_states.insert(state);
      }
      if (data->cbStruct >= offsetof(WINTRUST_DATA, pwszURLReference)) data->hWVTStateData = state;
      SetLastError(lastError);
      return result;
    }
    default: return Finish(E_INVALIDARG);
  }
}
