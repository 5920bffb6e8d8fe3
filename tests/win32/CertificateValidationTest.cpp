// The trust verification's Win32 side as both platforms answer it: the service's folder and full
// paths, no digest for a file without a signature, a validation library that is not loaded from a
// folder without signed libraries; and, where the build's own libraries lie beside this program (the
// Windows build, unsigned), the real loader binding the validation library's import of libQolm.dll.
#include "Win32Test.h"

#include "launch/CertificateValidationLibrary.h"

namespace torvex::test {
namespace {

class CertificateValidationTest : public Win32Test {};

std::wstring OwnPath() {
  wchar_t path[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_GT(length, 0u);
  EXPECT_LT(length, static_cast<DWORD>(MAX_PATH));
  return path;
}

TEST_F(CertificateValidationTest, FoldersAndFilesWithoutASignature) {
  std::wstring own = OwnPath();
  std::wstring folder = GetModuleDirectory();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder, own.substr(0, own.find_last_of(L'\\') + 1));
  std::wstring scratch = NewFolder();
  EXPECT_EQ(GetFullPath(scratch + L"\\a\\..\\b.dll"), scratch + L"\\b.dll");

  // This program carries no signature: no digest, whatever the system's version.
  EXPECT_EQ(GetTrustedFileDigest(own), L"");
  EXPECT_EQ(GetTrustedFileDigest(scratch + L"\\missing.dll"), L"");
  ASSERT_TRUE(WriteBytes(scratch + L"\\text.dll", "MZ not an image"));
  EXPECT_EQ(GetTrustedFileDigest(scratch + L"\\text.dll"), L"");

  // Beside this program there are no signed libraries: nothing is loaded, on every call.
  CertificateValidationLibrary* library = CertificateValidationLibrary::GetInstance();
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(library->GetValidateAssembly(), nullptr);
  EXPECT_FALSE(library->Load());
  EXPECT_EQ(CertificateValidationLibrary::GetInstance(), library);
}

TEST_F(CertificateValidationTest, TheValidationLibraryImportsTheAuxiliaryLibrary) {
  std::wstring path = GetModuleDirectory() + CERTIFICATE_VALIDATION_LIBRARY_NAME;
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "the build's libraries are not beside this program (on winsim, tests/launch loads them)";
  }
  HMODULE module = LoadLibraryW(path.c_str());
  ASSERT_NE(module, nullptr) << GetLastError();
  EXPECT_NE(GetModuleHandleW(CERTIFICATE_VALIDATION_AUXILIARY_LIBRARY_NAME), nullptr);
  auto validate = reinterpret_cast<PFN_VALIDATE_ASSEMBLY>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, "ValidateAssembly")));
  ASSERT_NE(validate, nullptr);
  // The library's own file is unsigned in this build: nothing can be accepted.
  EXPECT_NE(validate(OwnPath().c_str()), 0);
  EXPECT_EQ(validate(nullptr), E_INVALIDARG);
  for (const char* name : {"ValidateCertFile", "ValidateXmlFile", "ValidateXmlString"}) {
    auto entry = reinterpret_cast<PFN_VALIDATE_CERT_FILE>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry(path.c_str()), E_NOTIMPL) << name;
  }
  EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
}  // namespace torvex::test
