// Injected faults reach every loader, trust, CryptoAPI and version function, each failing in the
// terms of its own result.
#include <gtest/gtest.h>

#include <functional>

#include "TrustFixture.h"
#include "core/fault.h"

namespace winsim::test {
namespace {

class FaultTest : public TrustFixture {};

TEST_F(FaultTest, EveryFunctionFailsWithTheInjectedError) {
  std::wstring library = Install(Image("testlib.dll"), L"C:\\lib\\testlib.dll");
  // Objects to call the functions on, made before any fault is planned.
  HMODULE module = LoadLibraryW(library.c_str());
  ASSERT_NE(module, nullptr);
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  ASSERT_TRUE(CryptQueryObject(CERT_QUERY_OBJECT_FILE, library.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                               CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr));
  PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store, nullptr);
  ASSERT_NE(cert, nullptr);
  OSVERSIONINFOEXW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  DWORDLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  WINTRUST_FILE_INFO file{sizeof(WINTRUST_FILE_INFO), library.c_str(), nullptr, nullptr};
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  DWORD size = 0;
  BYTE buffer[64];

  // Each call gives: whether it failed, and the error it failed with (the last error, or the
  // status it returns).
  using Outcome = std::pair<bool, DWORD>;
  auto lastError = [](bool failed) { return Outcome{failed, GetLastError()}; };
  // A context found is given back at once.
  auto found = [](PCCERT_CONTEXT context) {
    Outcome outcome{context == nullptr, GetLastError()};
    if (context) CertFreeCertificateContext(context);
    return outcome;
  };
  // Calls that take what they are given (a reference, a handle) are only made to fail.
  struct Case {
    const char* name;
    std::function<Outcome()> call;
    bool consumes = false;
  } cases[] = {
      {"LoadLibraryW", [&] {
         HMODULE again = LoadLibraryW(library.c_str());
         if (again) FreeLibrary(again);
         return lastError(again == nullptr);
       }},
      {"FreeLibrary", [&] { return lastError(!FreeLibrary(module)); }, true},
      {"GetProcAddress", [&] { return lastError(GetProcAddress(module, "WinsimTestAdd") == nullptr); }},
      {"GetModuleHandleW", [&] { return lastError(GetModuleHandleW(L"testlib.dll") == nullptr); }},
      {"GetModuleHandleExW", [&] {
         HMODULE h = nullptr;
         return lastError(!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"testlib.dll", &h));
       }},
      {"GetModuleFileNameW", [&] {
         wchar_t name[MAX_PATH];
         return lastError(GetModuleFileNameW(module, name, MAX_PATH) == 0);
       }},
      {"WinVerifyTrust", [&] {
         LONG result = WinVerifyTrust(nullptr, &action, &data);
         return Outcome{result != ERROR_SUCCESS && result != CERT_E_CHAINING, static_cast<DWORD>(result)};
       }},
      {"CryptAcquireContextW", [&] {
         HCRYPTPROV p = 0;
         return lastError(!CryptAcquireContextW(&p, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
       }},
      {"CryptCreateHash", [&] {
         HCRYPTHASH h = 0;
         return lastError(!CryptCreateHash(prov, CALG_SHA_256, 0, 0, &h));
       }},
      {"CryptHashData", [&] { return lastError(!CryptHashData(hash, buffer, 1, 0)); }},
      {"CryptGetHashParam", [&] {
         size = sizeof(buffer);
         return lastError(!CryptGetHashParam(hash, HP_HASHSIZE, buffer, &size, 0));
       }},
      {"CryptDestroyHash", [&] { return lastError(!CryptDestroyHash(hash)); }, true},
      {"CryptReleaseContext", [&] { return lastError(!CryptReleaseContext(prov, 0)); }, true},
      {"CryptQueryObject", [&] {
         return lastError(!CryptQueryObject(CERT_QUERY_OBJECT_FILE, library.c_str(),
                                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY,
                                            0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
       }},
      {"CryptMsgGetParam", [&] { return lastError(!CryptMsgGetParam(message, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &size)); }},
      {"CryptMsgClose", [&] { return lastError(!CryptMsgClose(message)); }, true},
      {"CertEnumCertificatesInStore", [&] { return found(CertEnumCertificatesInStore(store, nullptr)); }},
      {"CertFindCertificateInStore", [&] {
         return found(CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, nullptr));
       }},
      {"CertDuplicateCertificateContext", [&] { return found(CertDuplicateCertificateContext(cert)); }},
      {"CertFreeCertificateContext", [&] { return lastError(!CertFreeCertificateContext(cert)); }, true},
      {"CertCloseStore", [&] { return lastError(!CertCloseStore(store, 0)); }, true},
      {"CertGetNameStringW", [&] {
         return lastError(CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0) == 0);
       }},
      {"CertCompareCertificate", [&] {
         return lastError(!CertCompareCertificate(X509_ASN_ENCODING, cert->pCertInfo, cert->pCertInfo));
       }},
      {"CertCompareCertificateName", [&] {
         return lastError(!CertCompareCertificateName(X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                                                      &cert->pCertInfo->Subject));
       }},
      {"VerifyVersionInfoW", [&] { return lastError(!VerifyVersionInfoW(&version, VER_MAJORVERSION, mask)); }},
  };
  for (const auto& c : cases) {
    // Without a fault the call succeeds; with one it fails with the planned error.
    if (!c.consumes) {
      SetLastError(0);
      EXPECT_FALSE(c.call().first) << c.name << " without a fault";
    }
    InjectFault(c.name, 1234, 1);
    SetLastError(0);
    Outcome faulted = c.call();
    EXPECT_TRUE(faulted.first) << c.name;
    EXPECT_EQ(faulted.second, 1234u) << c.name;
    ClearFaults();
  }
  // VerSetConditionMask cannot fail: a fault leaves the mask as it was.
  InjectFault("VerSetConditionMask", 1234, 1);
  EXPECT_EQ(VerSetConditionMask(0x18, VER_MINORVERSION, VER_EQUAL), 0x18ull);
  EXPECT_EQ(VerSetConditionMask(0x18, VER_MINORVERSION, VER_EQUAL), 0x19ull);

  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
  CryptMsgClose(message);
  CryptDestroyHash(hash);
  CryptReleaseContext(prov, 0);
  FreeLibrary(module);
}

}  // namespace
}  // namespace winsim::test
