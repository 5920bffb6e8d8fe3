#include "common/Registry.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace {

// Rights per kind of operation.
constexpr REGSAM kWriteValueRights = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;
constexpr REGSAM kDeleteValueRights = KEY_WRITE;
// A copy creates sub-keys and sets values in its destination; RegCopyTreeW needs no more there.
constexpr REGSAM kCopyDestinationRights = KEY_CREATE_SUB_KEY | KEY_SET_VALUE;
// The composed user-hive path lives in a 512-character buffer, terminator included.
constexpr size_t kMaxKeyPath = 511;

// The key actually opened: with the user-hive flag and a user key name, a key under
// HKEY_CURRENT_USER is the same sub-key of that user's hive under HKEY_USERS.
bool RedirectKey(HKEY root, LPCWSTR subKey, bool userHive, LPCWSTR userKeyName, HKEY* actualRoot,
                 std::wstring* path) {
  std::wstring sub = subKey ? subKey : L"";
  if (root == HKEY_CURRENT_USER && userHive && userKeyName && *userKeyName) {
    *actualRoot = HKEY_USERS;
    *path = std::wstring(userKeyName) + L"\\" + sub;
  } else {
    *actualRoot = root;
    *path = sub;
  }
  return path->size() <= kMaxKeyPath;
}

bool OpenKey(HKEY root, LPCWSTR subKey, REGSAM rights, UniqueHKey& key) {
  return RegOpenKeyExW(root, subKey, 0, rights, key.put()) == ERROR_SUCCESS;
}

// Splits a block of NUL-separated strings, ending at the first empty string or after count
// characters, whichever comes first.
std::vector<std::wstring> SplitMultiString(const WCHAR* block, size_t count) {
  std::vector<std::wstring> list;
  size_t pos = 0;
  while (pos < count && block[pos] != L'\0') {
    size_t end = pos;
    while (end < count && block[end] != L'\0') ++end;
    list.emplace_back(block + pos, end - pos);
    pos = end + 1;
  }
  return list;
}

}  // namespace

bool CreateKey(HKEY root, LPCWSTR subKey) {
  UniqueHKey key;
  if (OpenKey(root, subKey, KEY_READ, key)) return true;
  return RegCreateKeyExW(root, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(),
                         nullptr) == ERROR_SUCCESS;
}

bool GetKeyValueInt(HKEY root, std::wstring subKey, std::wstring valueName, DWORD* value) {
  UniqueHKey key;
  if (!OpenKey(root, subKey.c_str(), KEY_QUERY_VALUE, key)) return false;
  // Straight into the caller's integer: any value whose data fits in 4 bytes is taken as it is.
  DWORD size = sizeof(DWORD);
  return RegQueryValueExW(key.get(), valueName.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(value), &size) ==
         ERROR_SUCCESS;
}

bool SetKeyValueInt(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD value) {
  UniqueHKey key;
  if (!OpenKey(root, subKey, kWriteValueRights, key)) return false;
  return RegSetValueExW(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(DWORD)) ==
         ERROR_SUCCESS;
}

bool GetRegValueOfStringType(HKEY root, std::wstring subKey, std::wstring valueName, std::wstring& text) {
  DWORD size = 0;
  LSTATUS status = RegGetValueW(root, subKey.c_str(), valueName.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size);
  if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) return false;
  // One character more than the data and zeroed, so the text is terminated whatever was read.
  size_t count = size / sizeof(WCHAR) + 2;
  std::unique_ptr<WCHAR[]> buffer(new (std::nothrow) WCHAR[count]());
  if (!buffer) return false;
  if (RegGetValueW(root, subKey.c_str(), valueName.c_str(), RRF_RT_REG_SZ, nullptr, buffer.get(), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  text = buffer.get();
  return true;
}

bool SetKeyValueOfStringType(HKEY root, std::wstring subKey, std::wstring valueName, std::wstring text) {
  UniqueHKey key;
  if (!OpenKey(root, subKey.c_str(), kWriteValueRights, key)) return false;
  DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR));
  return RegSetValueExW(key.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes) ==
         ERROR_SUCCESS;
}

bool DeleteKeyTree(HKEY root, std::wstring subKey) {
  if (RegDeleteKeyW(root, subKey.c_str()) == ERROR_SUCCESS) return true;
  {
    UniqueHKey key;
    LSTATUS status = RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, key.put());
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    // Index 0 every time: each successful call removes the child just found.
    for (;;) {
      WCHAR name[MAX_PATH];
      DWORD length = MAX_PATH;
      if (RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      if (!DeleteKeyTree(root, subKey + L"\\" + name)) break;
    }
  }
  return RegDeleteKeyW(root, subKey.c_str()) == ERROR_SUCCESS;
}

bool DeleteKeyValue(HKEY root, std::wstring subKey, std::wstring valueName) {
  UniqueHKey key;
  if (!OpenKey(root, subKey.c_str(), kDeleteValueRights, key)) return false;
  return RegDeleteValueW(key.get(), valueName.c_str()) == ERROR_SUCCESS;
}

bool IsKeyExist(HKEY root, LPCWSTR subKey) {
  UniqueHKey key;
  return OpenKey(root, subKey, KEY_READ, key);
}

LSTATUS GetRegValueOfAnyType(HKEY root, LPCWSTR subKey, LPCWSTR valueName, bool userHive, LPCWSTR userKeyName,
                             LPVOID data, LPDWORD size, LPDWORD type) {
  if (!root || !subKey || !valueName || !data || !size) return ERROR_INVALID_PARAMETER;
  std::memset(data, 0, *size);
  HKEY actualRoot = nullptr;
  std::wstring path;
  // The path does not fit the buffer it is composed in.
  if (!RedirectKey(root, subKey, userHive, userKeyName, &actualRoot, &path)) return ERROR_INSUFFICIENT_BUFFER;
  UniqueHKey key;
  LSTATUS status = RegOpenKeyExW(actualRoot, path.c_str(), 0, KEY_QUERY_VALUE, key.put());
  if (status != ERROR_SUCCESS) return status;
  return RegQueryValueExW(key.get(), valueName, nullptr, type, static_cast<LPBYTE>(data), size);
}

std::vector<std::wstring> GetRegValueOfMultiStringType(HKEY root, LPCWSTR subKey, LPCWSTR valueName, bool userHive,
                                                       LPCWSTR userKeyName) {
  HKEY actualRoot = nullptr;
  std::wstring path;
  if (!RedirectKey(root, subKey, userHive, userKeyName, &actualRoot, &path)) return {};
  UniqueHKey key;
  if (!OpenKey(actualRoot, path.c_str(), KEY_QUERY_VALUE, key)) return {};
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
  if (type != REG_MULTI_SZ) return {};
  // As many characters as the value has bytes: ample room, and zeroes after the data.
  std::vector<WCHAR> buffer(size + 1, L'\0');
  if (RegQueryValueExW(key.get(), valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer.data()), &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return SplitMultiString(buffer.data(), size / sizeof(WCHAR));
}

std::vector<std::wstring> GetRegMultiStringValue(HKEY root, LPCWSTR subKey, LPCWSTR valueName, bool userHive,
                                                 LPCWSTR userKeyName) {
  HKEY actualRoot = nullptr;
  std::wstring path;
  if (!RedirectKey(root, subKey, userHive, userKeyName, &actualRoot, &path)) return {};
  UniqueHKey key;
  if (!OpenKey(actualRoot, path.c_str(), KEY_QUERY_VALUE, key)) return {};
  DWORD size = 0;
  if (RegQueryValueExW(key.get(), valueName, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
  // Whole characters only: a partial last character is dropped.
  size -= size % sizeof(WCHAR);
  if (size == 0) return {};
  std::vector<WCHAR> buffer(size / sizeof(WCHAR), L'\0');
  if (RegQueryValueExW(key.get(), valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer.data()), &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return SplitMultiString(buffer.data(), size / sizeof(WCHAR));
}

bool GetUserRegValueOfStringType(HKEY root, std::wstring subKey, std::wstring valueName, bool userHive,
                                 std::wstring userKeyName, std::wstring& text) {
  HKEY actualRoot = nullptr;
  std::wstring path;
  if (!RedirectKey(root, subKey.c_str(), userHive, userKeyName.c_str(), &actualRoot, &path)) return false;
  return GetRegValueOfStringType(actualRoot, path, valueName, text);
}

bool EnumSubKeys(HKEY key, std::vector<std::wstring>& names) {
  WCHAR keyClass[MAX_PATH] = L"";
  DWORD classLength = MAX_PATH;
  DWORD count = 0;
  if (RegQueryInfoKeyW(key, keyClass, &classLength, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                       nullptr, nullptr) != ERROR_SUCCESS) {
    return !names.empty();
  }
  if (count > 0) {
    // Digits in a narrow format read the same whatever the width of wchar_t.
    std::printf("\nNumber of subkeys: %d\n", static_cast<int>(count));
    for (DWORD i = 0; i < count; ++i) {
      WCHAR name[256];
      DWORD length = 255;
      if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) continue;
      names.emplace_back(name, length);
    }
  }
  return !names.empty();
}

bool OpenRegKey(HKEY root, LPCWSTR subKey, HKEY* key, bool userHive, LPCWSTR userKeyName, REGSAM rights) {
  if (!key) return false;
  *key = nullptr;
  HKEY actualRoot = nullptr;
  std::wstring path;
  if (!RedirectKey(root, subKey, userHive, userKeyName, &actualRoot, &path)) return false;
  UniqueHKey opened;
  if (!OpenKey(actualRoot, path.c_str(), rights, opened)) return false;
  *key = opened.release();
  return true;
}

bool CopyKeyTree(HKEY sourceRoot, LPCWSTR sourceSubKey, HKEY destRoot, LPCWSTR destSubKey) {
  UniqueHKey source;
  if (!OpenKey(sourceRoot, sourceSubKey, KEY_READ, source)) return false;
  UniqueHKey dest;
  if (!OpenKey(destRoot, destSubKey, kCopyDestinationRights, dest) &&
      RegCreateKeyExW(destRoot, destSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, dest.put(),
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return RegCopyTreeW(source.get(), nullptr, dest.get()) == ERROR_SUCCESS;
}

bool SetKeyValueString(HKEY root, LPCWSTR subKey, LPCWSTR valueName, LPCWSTR text) {
  if (!text) return false;
  UniqueHKey key;
  if (!OpenKey(root, subKey, kWriteValueRights, key)) return false;
  DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(WCHAR));
  return RegSetValueExW(key.get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) == ERROR_SUCCESS;
}

bool SetKeyValueOfMultiStringType(HKEY root, LPCWSTR subKey, LPCWSTR valueName, const BYTE* data, DWORD size) {
  UniqueHKey key;
  if (!OpenKey(root, subKey, kWriteValueRights, key)) return false;
  return RegSetValueExW(key.get(), valueName, 0, REG_MULTI_SZ, data, size) == ERROR_SUCCESS;
}
