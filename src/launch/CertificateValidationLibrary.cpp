// The checks on the certificate-validation library and its loading. Facts relied on (Microsoft's
// pages on WinVerifyTrust, VerifyVersionInfoW, the CryptoAPI hash functions, CreateFileW and the
// PE format): WinVerifyTrust returns 0 only for a trusted subject and keeps state until a call with
// WTD_STATEACTION_CLOSE; VerifyVersionInfoW returns FALSE with ERROR_OLD_WIN_VERSION when the
// system is older than asked, and FALSE with another error when it fails; a file opened with
// FILE_SHARE_READ alone cannot be opened for writing or deletion by anyone else until that handle
// is closed, while the loader's own read-only open of it still succeeds; the PE32+ NT headers
// begin at the offset stored at 60, with the checksum at +88 and the certificate table's directory
// entry (a file offset and a size) at +168.
#include "launch/CertificateValidationLibrary.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <vector>

#include "PinnedLibraryDigests.h"

void (*g_pfnCertificateValidationBeforeLoadLibrary)() = nullptr;

namespace {

// The digests of the two libraries as the build ships them, upper-case hexadecimal.
const wchar_t kPinnedValidationLibraryDigest[] = TORVEX_PINNED_VALIDATION_LIBRARY_DIGEST;
const wchar_t kPinnedAuxiliaryLibraryDigest[] = TORVEX_PINNED_AUXILIARY_LIBRARY_DIGEST;

constexpr DWORD kChunkSize = 65536;
constexpr DWORD kDosHeaderSize = 64;
constexpr DWORD kNtHeadersOffsetField = 60;
// Signature, file header and the PE32+ optional header with its sixteen data directories.
constexpr DWORD kNtHeadersSize = 264;
constexpr DWORD kOptionalHeaderMagicField = 24;
constexpr WORD kPe32PlusMagic = 0x20B;
constexpr DWORD kChecksumField = 88;
constexpr DWORD kChecksumSize = 4;
constexpr DWORD kCertificateEntryField = 168;
constexpr DWORD kCertificateEntrySize = 8;

class CFileHandle {
 public:
  explicit CFileHandle(HANDLE hFile = INVALID_HANDLE_VALUE) : m_hFile(hFile) {}
  CFileHandle(const CFileHandle&) = delete;
  CFileHandle& operator=(const CFileHandle&) = delete;
  ~CFileHandle() { Reset(INVALID_HANDLE_VALUE); }
  HANDLE Get() const { return m_hFile; }
  bool IsValid() const { return m_hFile != INVALID_HANDLE_VALUE && m_hFile != nullptr; }
  void Reset(HANDLE hFile) {
    if (IsValid()) CloseHandle(m_hFile);
    m_hFile = hFile;
  }
  HANDLE Release() {
    HANDLE hFile = m_hFile;
    m_hFile = INVALID_HANDLE_VALUE;
    return hFile;
  }

 private:
  HANDLE m_hFile;
};

class CCryptContext {
 public:
  CCryptContext() = default;
  CCryptContext(const CCryptContext&) = delete;
  CCryptContext& operator=(const CCryptContext&) = delete;
  ~CCryptContext() {
    if (m_hProv) CryptReleaseContext(m_hProv, 0);
  }
  HCRYPTPROV* Put() { return &m_hProv; }
  HCRYPTPROV Get() const { return m_hProv; }

 private:
  HCRYPTPROV m_hProv = 0;
};

class CCryptHash {
 public:
  CCryptHash() = default;
  CCryptHash(const CCryptHash&) = delete;
  CCryptHash& operator=(const CCryptHash&) = delete;
  ~CCryptHash() {
    if (m_hHash) CryptDestroyHash(m_hHash);
  }
  HCRYPTHASH* Put() { return &m_hHash; }
  HCRYPTHASH Get() const { return m_hHash; }

 private:
  HCRYPTHASH m_hHash = 0;
};

DWORD ReadLe32(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
         (static_cast<DWORD>(p[3]) << 24);
}

bool SeekTo(HANDLE hFile, ULONGLONG ullOffset) {
  LARGE_INTEGER liDistance;
  liDistance.QuadPart = static_cast<LONGLONG>(ullOffset);
  return SetFilePointerEx(hFile, liDistance, nullptr, FILE_BEGIN) != FALSE;
}

// Reads exactly cbWanted bytes from the current position; a short read is a failure.
bool ReadWhole(HANDLE hFile, BYTE* pbBuffer, DWORD cbWanted) {
  DWORD cbDone = 0;
  while (cbDone < cbWanted) {
    DWORD cbRead = 0;
    if (!ReadFile(hFile, pbBuffer + cbDone, cbWanted - cbDone, &cbRead, nullptr) || cbRead == 0) return false;
    cbDone += cbRead;
  }
  return true;
}

// Windows older than Windows 8 (6.2): only a system that VerifyVersionInfoW reports as older
// counts, not a call that failed.
bool IsOlderThanWindows8() {
  OSVERSIONINFOEXW osvi;
  std::memset(&osvi, 0, sizeof(osvi));
  osvi.dwOSVersionInfoSize = sizeof(osvi);
  osvi.dwMajorVersion = 6;
  osvi.dwMinorVersion = 2;
  osvi.wServicePackMajor = 0;
  DWORDLONG dwlConditionMask = 0;
  dwlConditionMask = VerSetConditionMask(dwlConditionMask, VER_MAJORVERSION, VER_GREATER_EQUAL);
  dwlConditionMask = VerSetConditionMask(dwlConditionMask, VER_MINORVERSION, VER_GREATER_EQUAL);
  dwlConditionMask = VerSetConditionMask(dwlConditionMask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  if (VerifyVersionInfoW(&osvi, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, dwlConditionMask)) {
    return false;
  }
  return GetLastError() == ERROR_OLD_WIN_VERSION;
}

// The signature check: WinVerifyTrust's verdict, with the allowance for chains that cannot be
// built on systems older than Windows 8, and its state closed whatever the verdict.
bool IsTrustedFile(const std::wstring& wsPath) {
  WINTRUST_FILE_INFO fileInfo;
  std::memset(&fileInfo, 0, sizeof(fileInfo));
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = wsPath.c_str();
  fileInfo.hFile = nullptr;
  fileInfo.pgKnownSubject = nullptr;
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
  LONG lResult = WinVerifyTrust(nullptr, &action, &trustData);
  bool bTrusted = false;
  if (lResult == ERROR_SUCCESS) {
    bTrusted = true;
  } else if (lResult == CERT_E_CHAINING) {
    bTrusted = IsOlderThanWindows8();
  }
  trustData.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(nullptr, &action, &trustData);
  return bTrusted;
}

// The digest of the open file, read from its start; empty on any failure. Only whole headers are
// read, and every offset taken from them is checked before it is used: the NT headers must lie
// within the file, and a certificate table after them and within the file. The offsets are those
// of a PE32+ image, so anything else (no "MZ", no "PE\0\0", another optional header) has no digest.
std::wstring DigestImage(HANDLE hFile) {
  LARGE_INTEGER liSize;
  if (!GetFileSizeEx(hFile, &liSize) || liSize.QuadPart < 0) return std::wstring();
  const ULONGLONG ullFileSize = static_cast<ULONGLONG>(liSize.QuadPart);

  CCryptContext context;
  if (!CryptAcquireContextW(context.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return std::wstring();
  CCryptHash hash;
  if (!CryptCreateHash(context.Get(), CALG_SHA_256, 0, 0, hash.Put())) return std::wstring();

  // The image's layout: the DOS header names the NT headers, whose PE32+ optional header holds the
  // certificate table's place.
  BYTE dosHeader[kDosHeaderSize];
  if (!SeekTo(hFile, 0) || !ReadWhole(hFile, dosHeader, kDosHeaderSize)) return std::wstring();
  if (dosHeader[0] != 'M' || dosHeader[1] != 'Z') return std::wstring();
  const ULONGLONG ullNtHeaders = ReadLe32(dosHeader + kNtHeadersOffsetField);
  if (ullNtHeaders + kNtHeadersSize > ullFileSize) return std::wstring();
  BYTE ntHeaders[kNtHeadersSize];
  if (!SeekTo(hFile, ullNtHeaders) || !ReadWhole(hFile, ntHeaders, kNtHeadersSize)) return std::wstring();
  if (std::memcmp(ntHeaders, "PE\0\0", 4) != 0) return std::wstring();
  if ((ntHeaders[kOptionalHeaderMagicField] | (ntHeaders[kOptionalHeaderMagicField + 1] << 8)) != kPe32PlusMagic) {
    return std::wstring();
  }
  const ULONGLONG ullCertificateTable = ReadLe32(ntHeaders + kCertificateEntryField);
  const ULONGLONG ullCertificateTableSize = ReadLe32(ntHeaders + kCertificateEntryField + 4);
  if (ullCertificateTableSize > 0 && (ullCertificateTable < ullNtHeaders + kNtHeadersSize ||
                                      ullCertificateTable + ullCertificateTableSize > ullFileSize)) {
    return std::wstring();
  }

  // The ranges left out, in file order; the certificate table only when there is one.
  struct Range {
    ULONGLONG ullStart;
    ULONGLONG ullSize;
  };
  const Range ranges[3] = {{ullNtHeaders + kChecksumField, kChecksumSize},
                           {ullNtHeaders + kCertificateEntryField, kCertificateEntrySize},
                           {ullCertificateTable, ullCertificateTableSize}};
  bool bLeftOut[3] = {false, false, ullCertificateTableSize == 0};

  if (!SeekTo(hFile, 0)) return std::wstring();
  std::vector<BYTE> buffer(kChunkSize);
  ULONGLONG ullPosition = 0;
  for (;;) {
    DWORD cbRead = 0;
    if (!ReadFile(hFile, buffer.data(), kChunkSize, &cbRead, nullptr)) return std::wstring();
    if (cbRead == 0) break;
    DWORD cbHash = cbRead;
    ULONGLONG ullNext = ullPosition + cbRead;
    bool bSeek = false;
    for (int i = 0; i < 3; ++i) {
      if (bLeftOut[i]) continue;
      // The first range not yet left out is the nearest; the others lie beyond it.
      if (ullPosition + cbRead > ranges[i].ullStart) {
        cbHash = static_cast<DWORD>(ranges[i].ullStart - ullPosition);
        ullNext = ranges[i].ullStart + ranges[i].ullSize;
        bLeftOut[i] = true;
        bSeek = true;
      }
      break;
    }
    if (cbHash > 0 && !CryptHashData(hash.Get(), buffer.data(), cbHash, 0)) return std::wstring();
    if (bSeek && !SeekTo(hFile, ullNext)) return std::wstring();
    ullPosition = ullNext;
  }

  BYTE digest[32];
  DWORD cbDigest = sizeof(digest);
  if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &cbDigest, 0) || cbDigest != sizeof(digest)) {
    return std::wstring();
  }
  static const wchar_t kHexDigits[] = L"0123456789ABCDEF";
  std::wstring wsDigest;
  wsDigest.reserve(2 * sizeof(digest));
  for (BYTE b : digest) {
    wsDigest.push_back(kHexDigits[b >> 4]);
    wsDigest.push_back(kHexDigits[b & 0x0F]);
  }
  return wsDigest;
}

// The file digest text of a trusted file. The file is opened first, denying writing and deletion
// to everyone else, so that the file whose signature is checked is the one digested; with
// phHeld the open handle is handed to the caller, who holds it as long as the file must stay as
// it was checked.
std::wstring GetTrustedFileDigestHeld(const std::wstring& wsPath, CFileHandle* phHeld) {
  CFileHandle file(CreateFileW(wsPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.IsValid()) return std::wstring();
  if (!IsTrustedFile(wsPath)) return std::wstring();
  std::wstring wsDigest = DigestImage(file.Get());
  if (!wsDigest.empty() && phHeld) phHeld->Reset(file.Release());
  return wsDigest;
}

template <class Entry>
Entry BindEntry(HMODULE hModule, const char* pszName) {
  // Through void (*)(), which converts to any function pointer type without a cast warning.
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(hModule, pszName)));
}

}  // namespace

std::wstring GetTrustedFileDigest(const std::wstring& wsPath) { return GetTrustedFileDigestHeld(wsPath, nullptr); }

std::wstring GetFullPath(const std::wstring& wsPath) {
  std::vector<WCHAR> buffer(4096, L'\0');
  DWORD cch = GetFullPathNameW(wsPath.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (cch == 0 || cch >= buffer.size()) return std::wstring();
  return std::wstring(buffer.data(), cch);
}

std::wstring GetModuleDirectory() {
  WCHAR wszPath[MAX_PATH] = {};
  DWORD cch = GetModuleFileNameW(nullptr, wszPath, MAX_PATH);
  std::wstring wsDirectory;
  // A result that fills the buffer is a cut path.
  if (cch > 0 && cch < MAX_PATH) {
    wsDirectory.assign(wszPath, cch);
    size_t slash = wsDirectory.find_last_of(L'\\');
    wsDirectory.erase(slash == std::wstring::npos ? 0 : slash + 1);
  }
  return GetFullPath(wsDirectory);
}

CertificateValidationLibrary* CertificateValidationLibrary::GetInstance() {
  static CertificateValidationLibrary s_instance;
  s_instance.Load();
  return &s_instance;
}

PFN_VALIDATE_ASSEMBLY CertificateValidationLibrary::GetValidateAssembly() const {
  return m_hModule.load(std::memory_order_acquire) ? m_pValidateAssembly : nullptr;
}

bool CertificateValidationLibrary::Load() {
  if (m_hModule.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> lock(m_loadLock);
  if (m_hModule.load(std::memory_order_acquire)) return true;

  // Without the service's folder there is no place to look: a bare file name would be looked for
  // elsewhere (the current directory), which is no place of ours.
  std::wstring wsFolder = GetModuleDirectory();
  if (wsFolder.empty()) return false;
  std::wstring wsValidationLibrary = wsFolder + CERTIFICATE_VALIDATION_LIBRARY_NAME;
  std::wstring wsAuxiliaryLibrary = wsFolder + CERTIFICATE_VALIDATION_AUXILIARY_LIBRARY_NAME;

  // Both files stay open, denying writing and deletion, until LoadLibraryW has mapped them (the
  // auxiliary library as the validation library's import), so that the files checked are the
  // files loaded.
  CFileHandle validationHeld, auxiliaryHeld;
  std::wstring wsValidationDigest = GetTrustedFileDigestHeld(wsValidationLibrary, &validationHeld);
  std::wstring wsAuxiliaryDigest = GetTrustedFileDigestHeld(wsAuxiliaryLibrary, &auxiliaryHeld);
  if (wsValidationDigest.empty() || wsAuxiliaryDigest.empty()) return false;
  if (wsValidationDigest != kPinnedValidationLibraryDigest || wsAuxiliaryDigest != kPinnedAuxiliaryLibraryDigest) {
    return false;
  }

  if (g_pfnCertificateValidationBeforeLoadLibrary) g_pfnCertificateValidationBeforeLoadLibrary();
  HMODULE hModule = LoadLibraryW(wsValidationLibrary.c_str());
  if (!hModule) return false;
  m_pValidateAssembly = BindEntry<PFN_VALIDATE_ASSEMBLY>(hModule, "ValidateAssembly");
  m_pValidateCertFile = BindEntry<PFN_VALIDATE_CERT_FILE>(hModule, "ValidateCertFile");
  m_pValidateXmlFile = BindEntry<PFN_VALIDATE_XML_FILE>(hModule, "ValidateXmlFile");
  m_pValidateXmlString = BindEntry<PFN_VALIDATE_XML_STRING>(hModule, "ValidateXmlString");
  // Published last: whoever sees the library loaded sees its entries.
  m_hModule.store(hModule, std::memory_order_release);
  return true;
}
