// A fresh machine with the build's test images and certificates at hand.
#pragma once
#include <softpub.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "MachineTest.h"
#include "core/paths.h"
#include "core/strings.h"
#include "trust/roots.h"

namespace winsim::test {

class TrustFixture : public MachineTest {
 protected:
  // A file of the build's image folder (tests/trust_images) or certificate folder.
  static std::string Image(const std::string& name) { return std::string(WINSIM_TRUST_IMAGES) + "/" + name; }
  static std::string Pki(const std::string& name) { return std::string(WINSIM_TEST_PKI_DIR) + "/" + name; }

  // Copies a Linux file onto the machine at a Windows path (folders made as needed).
  std::wstring Install(const std::string& linuxFile, const std::wstring& windowsPath) {
    auto target = LinuxPathOf(windowsPath);
    EXPECT_TRUE(target.has_value());
    std::filesystem::create_directories(std::filesystem::path(*target).parent_path());
    std::filesystem::copy_file(linuxFile, *target, std::filesystem::copy_options::overwrite_existing);
    return windowsPath;
  }
  std::string LinuxOf(const std::wstring& windowsPath) { return LinuxPathOf(windowsPath).value_or(""); }

  void TrustRoot(const std::string& pemFile) {
    std::string text = ReadFile(pemFile);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    std::string error;
    ASSERT_TRUE(trust::AddTrustedRoot(bytes, nullptr, &error)) << error;
  }

  // The signature check as the service makes it: whole-chain revocation from the local cache only,
  // a VERIFY call and then CLOSE.
  static LONG Verify(const std::wstring& path, DWORD provFlags = WTD_REVOCATION_CHECK_CHAIN | WTD_CACHE_ONLY_URL_RETRIEVAL,
                     DWORD* lastError = nullptr) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = provFlags;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust(nullptr, &action, &data);
    if (lastError) *lastError = GetLastError();
    EXPECT_NE(data.hWVTStateData, nullptr);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    EXPECT_EQ(WinVerifyTrust(nullptr, &action, &data), ERROR_SUCCESS);
    EXPECT_EQ(data.hWVTStateData, nullptr);
    return result;
  }
};

}  // namespace winsim::test
