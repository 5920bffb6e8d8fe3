// WinVerifyTrust's verdicts on signed and unsigned images, its state protocol and argument checks,
// the machine's trusted roots, and reading a file's signer certificate.
#include <gtest/gtest.h>

#include <fstream>

#include "TrustFixture.h"

namespace winsim::test {
namespace {

class TrustTest : public TrustFixture {
 protected:
  void SetUp() override {
    TrustFixture::SetUp();
    for (const char* name : {"testlib.dll", "testlib-unsigned.dll", "testlib-leaf.dll", "testlib-full.dll",
                             "testlib-other.dll", "testlib-other-full.dll", "pe_probe.exe"}) {
      Install(Image(name), L"C:\\lib\\" + WideFromUtf8(name));
    }
    // One byte of the payload changed after signing.
    std::string bytes = ReadFile(Image("testlib.dll"));
    bytes[0x400] = static_cast<char>(bytes[0x400] ^ 0x20);
    std::ofstream(LinuxOf(L"C:\\lib\\testlib-changed.dll"), std::ios::binary) << bytes;
    // One byte of the signer's encrypted digest changed: it ends the signature, before the padding
    // of its certificate table entry.
    bytes = ReadFile(Image("testlib.dll"));
    auto u32 = [&](size_t at) {
      return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) | static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
             static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
             static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
    };
    uint32_t table = u32(u32(60) + 168);
    uint32_t length = u32(table);
    bytes[table + length - 16] = static_cast<char>(bytes[table + length - 16] ^ 0x01);
    std::ofstream(LinuxOf(L"C:\\lib\\testlib-badsig.dll"), std::ios::binary) << bytes;
    std::ofstream(LinuxOf(L"C:\\lib\\readme.txt")) << "no image";
  }
};

TEST_F(TrustTest, VerdictsFollowSignatureDigestAndChain) {
  struct Case {
    const wchar_t* file;
    std::vector<const char*> roots;  // the machine's trusted roots
    LONG result;
    const char* why;
  } cases[] = {
      {L"C:\\lib\\testlib.dll", {"root.pem"}, ERROR_SUCCESS, "signed, chain to a trusted root"},
      {L"C:\\lib\\testlib-unsigned.dll", {"root.pem"}, TRUST_E_NOSIGNATURE, "no certificate table"},
      {L"C:\\lib\\testlib-changed.dll", {"root.pem"}, TRUST_E_BAD_DIGEST, "one byte changed after signing"},
      {L"C:\\lib\\testlib-badsig.dll", {"root.pem"}, TRUST_E_BAD_DIGEST, "the signature does not verify"},
      {L"C:\\lib\\testlib.dll", {}, CERT_E_CHAINING, "the root is nowhere to be found"},
      {L"C:\\lib\\testlib-full.dll", {}, CERT_E_UNTRUSTEDROOT, "the chain ends in a root the machine does not trust"},
      {L"C:\\lib\\testlib-full.dll", {"root.pem"}, ERROR_SUCCESS, "the root in the signature is trusted"},
      {L"C:\\lib\\testlib-leaf.dll", {"root.pem"}, CERT_E_CHAINING, "the intermediate is missing"},
      {L"C:\\lib\\testlib-other.dll", {"other-root.pem"}, ERROR_SUCCESS, "another publisher under its trusted root"},
      {L"C:\\lib\\testlib-other.dll", {"root.pem"}, CERT_E_CHAINING, "another publisher, its root unknown"},
      {L"C:\\lib\\testlib-other-full.dll", {"root.pem"}, CERT_E_UNTRUSTEDROOT, "another publisher, root not trusted"},
      {L"C:\\lib\\pe_probe.exe", {"other-root.pem", "root.pem"}, ERROR_SUCCESS, "a program, with two roots trusted"},
      {L"C:\\lib\\readme.txt", {"root.pem"}, TRUST_E_SUBJECT_FORM_UNKNOWN, "no image at all"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    for (const auto& root : trust::ListTrustedRoots()) trust::RemoveTrustedRoot(root.thumbprint);
    for (const char* root : c.roots) TrustRoot(Pki(root));
    EXPECT_EQ(Verify(c.file), c.result);
  }
}

TEST_F(TrustTest, UnreadableFileIsUnsignedWithTheReasonInTheLastError) {
  DWORD lastError = 0;
  EXPECT_EQ(Verify(L"C:\\lib\\missing.dll", WTD_REVOCATION_CHECK_CHAIN, &lastError), TRUST_E_NOSIGNATURE);
  EXPECT_EQ(lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Verify(L"C:\\lib\\testlib-unsigned.dll", 0, &lastError), TRUST_E_NOSIGNATURE);
  EXPECT_EQ(lastError, static_cast<DWORD>(TRUST_E_NOSIGNATURE));
}

TEST_F(TrustTest, HashOnlyChecksTheDigestAlone) {
  EXPECT_EQ(Verify(L"C:\\lib\\testlib-full.dll", WTD_HASH_ONLY_FLAG), ERROR_SUCCESS);
  EXPECT_EQ(Verify(L"C:\\lib\\testlib-changed.dll", WTD_HASH_ONLY_FLAG), TRUST_E_BAD_DIGEST);
}

TEST_F(TrustTest, FileHandleStateProtocolAndArgumentChecks) {
  TrustRoot(Pki("root.pem"));
  HANDLE file = CreateFileW(L"C:\\lib\\testlib.dll", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  WINTRUST_FILE_INFO info{sizeof(WINTRUST_FILE_INFO), L"C:\\lib\\testlib-unsigned.dll", file, nullptr};
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &info;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  // The handle is read, not the name.
  EXPECT_EQ(WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data), ERROR_SUCCESS);
  EXPECT_EQ(data.hWVTStateData, nullptr) << "WTD_STATEACTION_IGNORE keeps no state";
  CloseHandle(file);

  struct Case {
    const char* what;
    void (*change)(WINTRUST_DATA&, GUID&);
    LONG result;
  } cases[] = {
      {"unknown action", [](WINTRUST_DATA&, GUID& g) { g.Data1 ^= 1; }, TRUST_E_PROVIDER_UNKNOWN},
      {"no user interface choice", [](WINTRUST_DATA& d, GUID&) { d.dwUIChoice = 0; }, E_INVALIDARG},
      {"unknown revocation choice", [](WINTRUST_DATA& d, GUID&) { d.fdwRevocationChecks = 7; }, E_INVALIDARG},
      {"unknown subject choice", [](WINTRUST_DATA& d, GUID&) { d.dwUnionChoice = 9; }, E_INVALIDARG},
      {"catalog subject", [](WINTRUST_DATA& d, GUID&) { d.dwUnionChoice = WTD_CHOICE_CATALOG; },
       TRUST_E_SUBJECT_FORM_UNKNOWN},
      {"unknown state action", [](WINTRUST_DATA& d, GUID&) { d.dwStateAction = 9; }, E_INVALIDARG},
      {"structure too short", [](WINTRUST_DATA& d, GUID&) { d.cbStruct = 8; }, E_INVALIDARG},
  };
  for (const auto& c : cases) {
    WINTRUST_FILE_INFO named{sizeof(WINTRUST_FILE_INFO), L"C:\\lib\\testlib.dll", nullptr, nullptr};
    WINTRUST_DATA d = data;
    d.pFile = &named;
    GUID g = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    c.change(d, g);
    EXPECT_EQ(WinVerifyTrust(nullptr, &g, &d), c.result) << c.what;
  }
}

TEST_F(TrustTest, RootCommandsChangeWhatTheMachineTrusts) {
  auto added = Winsim({"cert", "add-root", Pki("root.pem")});
  ASSERT_EQ(added.status, 0) << added.errors;
  EXPECT_NE(added.output.find("Winsim Test Root CA"), std::string::npos);
  std::string thumbprint = added.output.substr(std::string("trusted root ").size(), 40);
  auto listed = Winsim({"cert", "list"});
  EXPECT_EQ(listed.output.rfind(thumbprint, 0), 0u) << listed.output;
  auto verified = Winsim({"trust", "verify", "C:\\lib\\testlib.dll"});
  EXPECT_EQ(verified.status, 0);
  EXPECT_EQ(verified.output, "0x00000000 trusted\n");
  EXPECT_EQ(Winsim({"cert", "remove", thumbprint}).status, 0);
  verified = Winsim({"trust", "verify", "C:\\lib\\testlib.dll"});
  EXPECT_EQ(verified.status, 1);
  EXPECT_EQ(verified.output, "0x800B010A CERT_E_CHAINING\n");
  EXPECT_EQ(Winsim({"cert", "remove", thumbprint}).status, 1) << "already gone";
  auto notCert = Winsim({"cert", "add-root", Image("testlib.dll")});
  EXPECT_EQ(notCert.status, 1);
  EXPECT_NE(notCert.errors.find("not a certificate"), std::string::npos);
}

// The signer's certificate of a file: CryptQueryObject, CryptMsgGetParam(CMSG_SIGNER_INFO_PARAM),
// CertFindCertificateInStore(CERT_FIND_SUBJECT_CERT).
struct Signer {
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  PCCERT_CONTEXT cert = nullptr;
  ~Signer() {
    if (cert) CertFreeCertificateContext(cert);
    if (store) CertCloseStore(store, 0);
    if (message) CryptMsgClose(message);
  }
};

void ReadSigner(const wchar_t* path, Signer* signer) {
  DWORD encoding = 0, content = 0, format = 0;
  ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                               CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &content, &format, &signer->store,
                               &signer->message, nullptr))
      << GetLastError();
  EXPECT_EQ(encoding, static_cast<DWORD>(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING));
  EXPECT_EQ(content, static_cast<DWORD>(CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED));
  EXPECT_EQ(format, static_cast<DWORD>(CERT_QUERY_FORMAT_BINARY));
  DWORD size = 0;
  ASSERT_TRUE(CryptMsgGetParam(signer->message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size));
  std::vector<BYTE> buffer(size);
  DWORD small = size - 1;
  SetLastError(0);
  EXPECT_FALSE(CryptMsgGetParam(signer->message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small, size);
  ASSERT_TRUE(CryptMsgGetParam(signer->message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size));
  auto* info = reinterpret_cast<CMSG_SIGNER_INFO*>(buffer.data());
  EXPECT_EQ(std::string(info->HashAlgorithm.pszObjId), szOID_NIST_sha256);
  EXPECT_GE(info->AuthAttrs.cAttr, 2u) << "content type and message digest at least";
  CERT_INFO id{};
  id.Issuer = info->Issuer;
  id.SerialNumber = info->SerialNumber;
  signer->cert = CertFindCertificateInStore(signer->store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                            CERT_FIND_SUBJECT_CERT, &id, nullptr);
  ASSERT_NE(signer->cert, nullptr);
  EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING, &id, signer->cert->pCertInfo));
}

std::wstring NameOf(PCCERT_CONTEXT cert, DWORD type, DWORD flags = 0, void* para = nullptr) {
  DWORD n = CertGetNameStringW(cert, type, flags, para, nullptr, 0);
  std::vector<wchar_t> buffer(n);
  EXPECT_EQ(CertGetNameStringW(cert, type, flags, para, buffer.data(), n), n);
  return std::wstring(buffer.data());
}

TEST_F(TrustTest, SignerCertificateNamesThePublisher) {
  Signer library, program, other;
  ReadSigner(L"C:\\lib\\testlib.dll", &library);
  ReadSigner(L"C:\\lib\\pe_probe.exe", &program);
  ReadSigner(L"C:\\lib\\testlib-other.dll", &other);
  if (HasFatalFailure()) return;
  EXPECT_EQ(NameOf(library.cert, CERT_NAME_SIMPLE_DISPLAY_TYPE), L"Winsim Test Publisher");
  EXPECT_EQ(NameOf(library.cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, CERT_NAME_ISSUER_FLAG), L"Winsim Test Code Signing CA");
  EXPECT_EQ(NameOf(library.cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COUNTRY_NAME)), L"US");
  DWORD x500 = CERT_X500_NAME_STR;
  EXPECT_EQ(NameOf(library.cert, CERT_NAME_RDN_TYPE, 0, &x500), L"C=US, O=Winsim Test Publisher, CN=Winsim Test Publisher");
  DWORD reversed = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_SEMICOLON_FLAG;
  EXPECT_EQ(NameOf(library.cert, CERT_NAME_RDN_TYPE, 0, &reversed),
            L"CN=Winsim Test Publisher; O=Winsim Test Publisher; C=US");
  EXPECT_EQ(NameOf(library.cert, CERT_NAME_EMAIL_TYPE), L"") << "absent names are empty";
  EXPECT_EQ(CertGetNameStringW(library.cert, CERT_NAME_EMAIL_TYPE, 0, nullptr, nullptr, 0), 1u);
  wchar_t truncated[7];
  EXPECT_EQ(CertGetNameStringW(library.cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, truncated, 7), 7u);
  EXPECT_EQ(std::wstring(truncated), L"Winsim");

  // Two files of one publisher, and one of another.
  EXPECT_TRUE(CertCompareCertificateName(X509_ASN_ENCODING, &library.cert->pCertInfo->Subject,
                                         &program.cert->pCertInfo->Subject));
  EXPECT_FALSE(CertCompareCertificateName(X509_ASN_ENCODING, &library.cert->pCertInfo->Subject,
                                          &other.cert->pCertInfo->Subject));
  EXPECT_EQ(NameOf(other.cert, CERT_NAME_SIMPLE_DISPLAY_TYPE), L"Other Test Publisher");
  // The certificate's fields as CryptoAPI lays them out.
  const CERT_INFO* info = library.cert->pCertInfo;
  EXPECT_EQ(info->dwVersion, static_cast<DWORD>(CERT_V3));
  EXPECT_EQ(std::string(info->SubjectPublicKeyInfo.Algorithm.pszObjId), szOID_RSA_RSA);
  EXPECT_EQ(std::string(info->SignatureAlgorithm.pszObjId), szOID_RSA_SHA256RSA);
  bool codeSigning = false;
  for (DWORD i = 0; i < info->cExtension; ++i) {
    if (std::string(info->rgExtension[i].pszObjId) == szOID_ENHANCED_KEY_USAGE) codeSigning = true;
  }
  EXPECT_TRUE(codeSigning);
}

TEST_F(TrustTest, QueryMessageAndStoreEdges) {
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  SetLastError(0);
  EXPECT_FALSE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, L"C:\\lib\\testlib-unsigned.dll",
                                CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr,
                                nullptr, nullptr, &store, &message, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NO_MATCH));
  EXPECT_EQ(store, nullptr);
  EXPECT_FALSE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, L"C:\\lib\\none.dll", CERT_QUERY_CONTENT_FLAG_ALL,
                                CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // A certificate file (PEM) is a certificate context.
  Install(Pki("root.pem"), L"C:\\lib\\root.pem");
  const void* context = nullptr;
  DWORD content = 0, format = 0;
  ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, L"C:\\lib\\root.pem", CERT_QUERY_CONTENT_FLAG_ALL,
                               CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, &content, &format, nullptr, nullptr, &context));
  EXPECT_EQ(content, static_cast<DWORD>(CERT_QUERY_CONTENT_CERT));
  EXPECT_EQ(format, static_cast<DWORD>(CERT_QUERY_FORMAT_BASE64_ENCODED));
  auto* root = static_cast<PCCERT_CONTEXT>(context);
  EXPECT_EQ(NameOf(root, CERT_NAME_SIMPLE_DISPLAY_TYPE), L"Winsim Test Root CA");
  EXPECT_TRUE(CertFreeCertificateContext(root));

  ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, L"C:\\lib\\testlib-full.dll",
                               CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr,
                               nullptr, nullptr, &store, &message, nullptr));
  DWORD count = 0, size = sizeof(count);
  ASSERT_TRUE(CryptMsgGetParam(message, CMSG_CERT_COUNT_PARAM, 0, &count, &size));
  EXPECT_EQ(count, 3u) << "signer, intermediate and root";
  ASSERT_TRUE(CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, &count, &size));
  EXPECT_EQ(count, 1u);
  size = 0;
  SetLastError(0);
  EXPECT_FALSE(CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 1, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
  EXPECT_FALSE(CryptMsgGetParam(message, 99, 0, nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE));

  // Enumeration frees the previous context and ends with CRYPT_E_NOT_FOUND.
  std::vector<std::wstring> names;
  PCCERT_CONTEXT cert = nullptr;
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) names.push_back(NameOf(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  EXPECT_EQ(names.size(), 3u);
  PCCERT_CONTEXT intermediate =
      CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, L"code signing ca", nullptr);
  ASSERT_NE(intermediate, nullptr);
  EXPECT_EQ(NameOf(intermediate, CERT_NAME_SIMPLE_DISPLAY_TYPE), L"Winsim Test Code Signing CA");
  // A store closed while a context is held stays until that context is freed.
  PCCERT_CONTEXT held = CertDuplicateCertificateContext(intermediate);
  EXPECT_EQ(held, intermediate);
  EXPECT_TRUE(CertFreeCertificateContext(intermediate));
  SetLastError(0);
  EXPECT_FALSE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_PENDING_CLOSE));
  EXPECT_EQ(NameOf(held, CERT_NAME_SIMPLE_DISPLAY_TYPE), L"Winsim Test Code Signing CA");
  EXPECT_TRUE(CertFreeCertificateContext(held));
  EXPECT_TRUE(CryptMsgClose(message));
}

}  // namespace
}  // namespace winsim::test
