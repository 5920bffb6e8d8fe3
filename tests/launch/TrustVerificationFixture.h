// A fresh machine with the build's certificate-validation libraries, their variants, agents to
// judge and the test certificates at hand; and the probe program that plays the service's side
// from a folder of the machine.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "MachineTest.h"
#include "core/paths.h"
#include "core/strings.h"
#include "kernel/version.h"
#include "trust/roots.h"

namespace winsim::test {

class TrustVerificationFixture : public MachineTest {
 protected:
  // The service's folder on the machine (with a blank, as an installation under Program Files has).
  static constexpr const wchar_t* kFolder = L"C:\\Program Files\\Torvex Utility\\";
  static std::wstring InFolder(const std::wstring& name) { return std::wstring(kFolder) + name; }
  static constexpr const wchar_t* kValidationLibrary = L"Torvex.CertificateValidation.Native.dll";
  static constexpr const wchar_t* kAuxiliaryLibrary = L"libQolm.dll";

  // The shipped images (bin/), a variant folder's (tests/launch_images/<variant>/), a certificate.
  static std::string Shipped(const std::string& name) { return std::string(TORVEX_BIN_DIR) + "/" + name; }
  static std::string Variant(const std::string& variant, const std::string& name) {
    return std::string(TORVEX_LAUNCH_IMAGES) + "/" + variant + "/" + name;
  }
  static std::string Image(const std::string& name) { return std::string(TORVEX_LAUNCH_IMAGES) + "/" + name; }
  static std::string Pki(const std::string& name) { return std::string(WINSIM_TEST_PKI_DIR) + "/" + name; }

  std::string LinuxOf(const std::wstring& windowsPath) { return LinuxPathOf(windowsPath).value_or(""); }

  // Copies a Linux file onto the machine at a Windows path (folders made as needed).
  std::wstring Install(const std::string& linuxFile, const std::wstring& windowsPath) {
    std::string target = LinuxOf(windowsPath);
    EXPECT_FALSE(target.empty());
    std::filesystem::create_directories(std::filesystem::path(target).parent_path());
    std::error_code ec;
    std::filesystem::copy_file(linuxFile, target, std::filesystem::copy_options::overwrite_existing, ec);
    EXPECT_FALSE(ec) << linuxFile << ": " << ec.message();
    return windowsPath;
  }
  void Remove(const std::wstring& windowsPath) { std::filesystem::remove(LinuxOf(windowsPath)); }

  void TrustRoot(const std::string& pemFile) {
    std::string text = ReadFile(pemFile);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    std::string error;
    ASSERT_TRUE(trust::AddTrustedRoot(bytes, nullptr, &error)) << error;
  }
  // The machine reports Windows 7 SP1.
  static void MakeWindows7() { SetMachineVersion(6, 1, 1, 7601); }

  // The probe as the service program in the service's folder, with both shipped libraries beside it.
  void InstallService(const std::string& probe = TORVEX_CERTVAL_PROBE) {
    Install(probe, InFolder(L"TorvexUtilityService.exe"));
    Install(Shipped("Torvex.CertificateValidation.Native.dll"), InFolder(kValidationLibrary));
    Install(Shipped("libQolm.dll"), InFolder(kAuxiliaryLibrary));
  }
  // Runs the probe from the service's folder with these steps.
  CommandResult RunService(const std::vector<std::string>& steps) {
    std::vector<std::string> args{"run", "--", Utf8FromWide(InFolder(L"TorvexUtilityService.exe"))};
    args.insert(args.end(), steps.begin(), steps.end());
    return Winsim(args);
  }

  // Signs a PE image with the build's test certificates, as the build does.
  static void Sign(const std::string& in, const std::string& out, const std::string& publisher = "test",
                   const std::string& chain = "intermediate") {
    CommandResult signing = RunProgram({"/bin/bash", std::string(TORVEX_SOURCE_DIR) + "/scripts/test-pki.sh", "sign",
                                        WINSIM_TEST_PKI_DIR, in, out, "--publisher", publisher, "--chain", chain});
    ASSERT_EQ(signing.status, 0) << signing.errors;
  }
};

}  // namespace winsim::test
