#include "Win32Test.h"

#include "common/Log.h"

// Last: it marks the unbounded string functions of the headers above as deprecated.
#include <strsafe.h>

namespace torvex::test {

std::wstring UniqueName() {
  std::wstring guid = GetGuidString();
  EXPECT_FALSE(guid.empty());
  return guid;
}

std::wstring Win32Test::NewFolder(const std::wstring& name) {
  wchar_t temp[MAX_PATH + 1] = {};
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  EXPECT_GT(length, 0u);
  EXPECT_LE(length, static_cast<DWORD>(MAX_PATH));
  wchar_t folder[MAX_PATH] = {};
  StringCchPrintfW(folder, MAX_PATH, L"%storvex-%s", temp, UniqueName().c_str());
  EXPECT_TRUE(CreateDirectoryW(folder, nullptr)) << GetLastError();
  StringCchCatW(folder, MAX_PATH, L"\\");
  StringCchCatW(folder, MAX_PATH, name.c_str());
  EXPECT_TRUE(CreateDirectoryW(folder, nullptr)) << GetLastError();
  return folder;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::string ReadBytes(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return {};
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
  return bytes;
}

}  // namespace torvex::test
