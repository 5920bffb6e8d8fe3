// Executable trust verification: before the service starts the agent to activate the companion
// app, the maker's certificate-validation library judges the agent's file. The library lies in the
// service's own folder with its auxiliary library; because the service runs as LocalSystem and
// loads it into its own process, both files are verified first (an Authenticode signature that
// WinVerifyTrust accepts, and a digest equal to the one pinned in the program), and only then is
// the validation library loaded, once per process.
#pragma once
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>

// The validation library's entries, bound by name. ValidateAssembly takes the zero-terminated wide
// full path of the file to judge and returns 0 when the file is accepted; the other three are
// resolved and never called.
typedef INT(WINAPI* PFN_VALIDATE_ASSEMBLY)(LPCWSTR pwszFullPath);
typedef INT(WINAPI* PFN_VALIDATE_CERT_FILE)(LPCWSTR pwszPath);
typedef INT(WINAPI* PFN_VALIDATE_XML_FILE)(LPCWSTR pwszPath);
typedef INT(WINAPI* PFN_VALIDATE_XML_STRING)(LPCWSTR pwszXml);

// The file names of the two libraries, looked for in the service's folder only.
#define CERTIFICATE_VALIDATION_LIBRARY_NAME L"Torvex.CertificateValidation.Native.dll"
#define CERTIFICATE_VALIDATION_AUXILIARY_LIBRARY_NAME L"libQolm.dll"

// The one process-wide validation library: not loaded until both files have passed their checks,
// then loaded for the life of the process (never unloaded, never checked again).
class CertificateValidationLibrary {
 public:
  // Creates the object on first use, runs Load on every call and returns the object.
  static CertificateValidationLibrary* GetInstance();

  // True when the library is loaded, already or now. A failed attempt leaves it not loaded, and
  // the next call tries again from the start, so that a mended file is taken without a restart.
  bool Load();

  // The ValidateAssembly entry, or null while the library is not loaded or lacks that entry: null
  // means that no file can be verified.
  PFN_VALIDATE_ASSEMBLY GetValidateAssembly() const;

  CertificateValidationLibrary(const CertificateValidationLibrary&) = delete;
  CertificateValidationLibrary& operator=(const CertificateValidationLibrary&) = delete;

 private:
  CertificateValidationLibrary() = default;

  // Written once, by the Load that loads the library, before the module handle; read only after
  // the module handle has been seen set.
  PFN_VALIDATE_ASSEMBLY m_pValidateAssembly = nullptr;
  PFN_VALIDATE_CERT_FILE m_pValidateCertFile = nullptr;
  PFN_VALIDATE_XML_FILE m_pValidateXmlFile = nullptr;
  PFN_VALIDATE_XML_STRING m_pValidateXmlString = nullptr;
  // Null while not loaded. Set last, so that a caller that sees it set also sees the entries.
  std::atomic<HMODULE> m_hModule{nullptr};
  // One verification and load at a time: a concurrent caller waits and then finds it loaded.
  std::mutex m_loadLock;
};

// The SHA-256 digest of a signed PE32+ image, written as 64 upper-case hexadecimal digits: the whole
// file except its checksum field, its certificate table's directory entry and the certificate table
// itself. Empty when WinVerifyTrust does not accept the file's signature, or when the file cannot be
// read or digested (headers cut short, offsets outside the file).
std::wstring GetTrustedFileDigest(const std::wstring& wsPath);

// The service's own folder, with a trailing backslash, as an absolute path; empty when it cannot
// be had whole.
std::wstring GetModuleDirectory();

// The absolute form of a path; empty when it cannot be formed.
std::wstring GetFullPath(const std::wstring& wsPath);

// A seam for tests: when set, Load calls it after both library files have passed their checks,
// while it still holds them open against writing and deletion, just before LoadLibraryW. Null in
// the service.
extern void (*g_pfnCertificateValidationBeforeLoadLibrary)();
