// The signer certificate of an embedded Authenticode signature, found the documented way:
// CryptQueryObject opens the signature as a message with its certificate store, CryptMsgGetParam
// gives the signer's CMSG_SIGNER_INFO (its issuer and serial number), and
// CertFindCertificateInStore with CERT_FIND_SUBJECT_CERT finds that certificate in the message's
// store (Microsoft's "How To Get Information from Authenticode Signed Executables").
#include "Qolm.h"

#include <wincrypt.h>

#include <cstring>
#include <vector>

namespace {

// An HRESULT for the last error: CryptoAPI leaves HRESULTs there, other calls Win32 codes.
LONG LastErrorResult() {
  DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return E_FAIL;
  if (error & 0x80000000u) return static_cast<LONG>(error);
  return static_cast<LONG>(HRESULT_FROM_WIN32(error));
}

// What holds a signer certificate; all released together.
class CSignerCertificate {
 public:
  CSignerCertificate() = default;
  CSignerCertificate(const CSignerCertificate&) = delete;
  CSignerCertificate& operator=(const CSignerCertificate&) = delete;
  ~CSignerCertificate() {
    if (m_pCertificate) CertFreeCertificateContext(m_pCertificate);
    if (m_hStore) CertCloseStore(m_hStore, 0);
    if (m_hMessage) CryptMsgClose(m_hMessage);
  }

  // ERROR_SUCCESS, or the HRESULT of the step that failed.
  LONG Read(LPCWSTR pwszPath) {
    DWORD dwEncoding = 0, dwContentType = 0, dwFormatType = 0;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_FILE, pwszPath, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &dwEncoding, &dwContentType, &dwFormatType, &m_hStore,
                          &m_hMessage, nullptr)) {
      return LastErrorResult();
    }
    DWORD cbSignerInfo = 0;
    if (!CryptMsgGetParam(m_hMessage, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cbSignerInfo)) return LastErrorResult();
    // The signer information holds pointers into itself: a buffer aligned for the structure.
    std::vector<ULONGLONG> signerInfo((cbSignerInfo + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
    if (!CryptMsgGetParam(m_hMessage, CMSG_SIGNER_INFO_PARAM, 0, signerInfo.data(), &cbSignerInfo)) {
      return LastErrorResult();
    }
    const auto* pSigner = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerInfo.data());
    CERT_INFO certInfo;
    std::memset(&certInfo, 0, sizeof(certInfo));
    certInfo.Issuer = pSigner->Issuer;
    certInfo.SerialNumber = pSigner->SerialNumber;
    m_pCertificate = CertFindCertificateInStore(m_hStore, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                CERT_FIND_SUBJECT_CERT, &certInfo, nullptr);
    if (!m_pCertificate) return LastErrorResult();
    return ERROR_SUCCESS;
  }

  PCCERT_CONTEXT Certificate() const { return m_pCertificate; }

 private:
  HCERTSTORE m_hStore = nullptr;
  HCRYPTMSG m_hMessage = nullptr;
  PCCERT_CONTEXT m_pCertificate = nullptr;
};

}  // namespace

extern "C" LONG WINAPI QolmGetSignerCertificate(LPCWSTR pwszPath, BYTE* pbCertificate, DWORD* pcbCertificate) {
  if (!pwszPath || !*pwszPath || !pcbCertificate) return E_INVALIDARG;
  CSignerCertificate signer;
  LONG result = signer.Read(pwszPath);
  if (result != ERROR_SUCCESS) return result;
  PCCERT_CONTEXT pCertificate = signer.Certificate();
  DWORD cbAvailable = *pcbCertificate;
  *pcbCertificate = pCertificate->cbCertEncoded;
  if (!pbCertificate || cbAvailable < pCertificate->cbCertEncoded) return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
  std::memcpy(pbCertificate, pCertificate->pbCertEncoded, pCertificate->cbCertEncoded);
  return ERROR_SUCCESS;
}
