// Our certificate-validation library and its auxiliary library, loaded into this process as the
// service loads them: ValidateAssembly's verdicts, the entries nothing calls, the import of
// libQolm.dll, and libQolm's signer certificate with its sizing protocol.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <fstream>

#include "TrustVerificationFixture.h"
#include "windows.h"

namespace winsim::test {
namespace {

using ValidateFunction = INT(WINAPI*)(LPCWSTR);
using SignerFunction = LONG(WINAPI*)(LPCWSTR, BYTE*, DWORD*);

template <class Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The DER bytes of a PEM certificate file.
std::vector<BYTE> Der(const std::string& pemFile) {
  std::vector<BYTE> der;
  FILE* file = std::fopen(pemFile.c_str(), "r");
  if (!file) return der;
  X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (!certificate) return der;
  int size = i2d_X509(certificate, nullptr);
  der.resize(static_cast<size_t>(size));
  unsigned char* out = der.data();
  i2d_X509(certificate, &out);
  X509_free(certificate);
  return der;
}

class ValidationLibraryTest : public TrustVerificationFixture {
 protected:
  void TearDown() override {
    if (m_library) {
      EXPECT_TRUE(FreeLibrary(m_library));
    }
    TrustVerificationFixture::TearDown();
  }
  // The validation library from a folder of the machine; libQolm.dll where the search for imports
  // finds it (the system folder: this test program's own folder is not the machine's).
  HMODULE LoadValidationLibrary() {
    Install(Shipped("libQolm.dll"), L"C:\\Windows\\System32\\libQolm.dll");
    Install(Shipped("Torvex.CertificateValidation.Native.dll"), L"C:\\Torvex\\Torvex.CertificateValidation.Native.dll");
    m_library = LoadLibraryW(L"C:\\Torvex\\Torvex.CertificateValidation.Native.dll");
    EXPECT_NE(m_library, nullptr) << GetLastError();
    return m_library;
  }

 private:
  HMODULE m_library = nullptr;
};

TEST_F(ValidationLibraryTest, ValidateAssemblyAcceptsOnlyValidSignaturesOfItsOwnPublisher) {
  TrustRoot(Pki("root.pem"));
  TrustRoot(Pki("other-root.pem"));
  HMODULE library = LoadValidationLibrary();
  ASSERT_NE(library, nullptr);
  auto validate = Export<ValidateFunction>(library, "ValidateAssembly");
  ASSERT_NE(validate, nullptr);

  std::filesystem::create_directories(LinuxOf(L"C:\\Agents"));
  std::string tampered = ReadFile(Image("agent.exe"));
  tampered[tampered.size() / 2] ^= 0x01;
  std::ofstream(LinuxOf(L"C:\\Agents\\tampered.exe"), std::ios::binary) << tampered;
  struct Case {
    const char* name;
    std::wstring path;
    LONG expected;
  } cases[] = {
      {"signed by the library's publisher", Install(Image("agent.exe"), L"C:\\Agents\\agent.exe"), 0},
      {"the library itself", L"C:\\Torvex\\Torvex.CertificateValidation.Native.dll", 0},
      {"signed by another publisher", Install(Image("agent-other.exe"), L"C:\\Agents\\other.exe"), CRYPT_E_NO_MATCH},
      {"unsigned", Install(Image("agent-unsigned.exe"), L"C:\\Agents\\unsigned.exe"), TRUST_E_NOSIGNATURE},
      {"changed after signing", L"C:\\Agents\\tampered.exe", TRUST_E_BAD_DIGEST},
      {"missing", L"C:\\Agents\\missing.exe", TRUST_E_NOSIGNATURE},
      {"empty path", L"", E_INVALIDARG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(validate(c.path.c_str()), c.expected);
  }
  EXPECT_EQ(validate(nullptr), E_INVALIDARG);

  // A chain the machine cannot build is no valid signature, whatever the system's version.
  Install(Variant("leaf", "libQolm.dll"), L"C:\\Agents\\leaf.dll");
  MakeWindows7();
  EXPECT_EQ(validate(L"C:\\Agents\\leaf.dll"), CERT_E_CHAINING);

  for (const char* name : {"ValidateCertFile", "ValidateXmlFile", "ValidateXmlString"}) {
    SCOPED_TRACE(name);
    auto entry = Export<ValidateFunction>(library, name);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(L"C:\\Agents\\agent.exe"), E_NOTIMPL);
  }
}

TEST_F(ValidationLibraryTest, TheAuxiliaryLibraryIsAnImportThatReadsSignerCertificates) {
  TrustRoot(Pki("root.pem"));
  HMODULE library = LoadValidationLibrary();
  ASSERT_NE(library, nullptr);
  HMODULE qolm = GetModuleHandleW(L"libQolm.dll");
  ASSERT_NE(qolm, nullptr) << "loaded with the validation library";
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(qolm, path, MAX_PATH), 0u);
  EXPECT_STREQ(path, L"C:\\Windows\\System32\\libQolm.dll");
  EXPECT_EQ(GetProcAddress(library, "QolmGetSignerCertificate"), nullptr) << "an import is no export";

  auto signer = Export<SignerFunction>(qolm, "QolmGetSignerCertificate");
  ASSERT_NE(signer, nullptr);
  std::vector<BYTE> expected = Der(Pki("signer.pem"));
  ASSERT_FALSE(expected.empty());
  DWORD size = 0;
  EXPECT_EQ(signer(L"C:\\Windows\\System32\\libQolm.dll", nullptr, &size), HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(size, expected.size());
  std::vector<BYTE> buffer(size + 16, 0xCC);
  DWORD small = size - 1;
  EXPECT_EQ(signer(L"C:\\Windows\\System32\\libQolm.dll", buffer.data(), &small), HRESULT_FROM_WIN32(ERROR_MORE_DATA));
  EXPECT_EQ(small, size);
  EXPECT_EQ(buffer[0], 0xCC) << "nothing written into a buffer too small";
  DWORD large = static_cast<DWORD>(buffer.size());
  EXPECT_EQ(signer(L"C:\\Windows\\System32\\libQolm.dll", buffer.data(), &large), ERROR_SUCCESS);
  EXPECT_EQ(large, size);
  EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + size), expected);

  Install(Image("agent-other.exe"), L"C:\\Agents\\other.exe");
  std::vector<BYTE> other = Der(Pki("other-signer.pem"));
  std::vector<BYTE> otherBuffer(other.size());
  DWORD otherSize = static_cast<DWORD>(otherBuffer.size());
  EXPECT_EQ(signer(L"C:\\Agents\\other.exe", otherBuffer.data(), &otherSize), ERROR_SUCCESS);
  EXPECT_EQ(otherBuffer, other);

  Install(Image("agent-unsigned.exe"), L"C:\\Agents\\unsigned.exe");
  DWORD unsignedSize = 0;
  EXPECT_LT(signer(L"C:\\Agents\\unsigned.exe", nullptr, &unsignedSize), 0);
  EXPECT_EQ(signer(nullptr, nullptr, &size), E_INVALIDARG);
  EXPECT_EQ(signer(L"C:\\Agents\\other.exe", nullptr, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace winsim::test
