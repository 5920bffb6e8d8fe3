// Registry helpers shared by the service and the agent: stateless free functions over the Win32
// registry API. Each opens the key it needs, does one read, write or delete, and closes what it
// opened before returning; none logs, so callers report failures in their own words.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Owns an open registry key and closes it when it goes out of scope.
class UniqueHKey {
 public:
  UniqueHKey() = default;
  explicit UniqueHKey(HKEY key) : m_key(key) {}
  ~UniqueHKey() { reset(); }
  UniqueHKey(const UniqueHKey&) = delete;
  UniqueHKey& operator=(const UniqueHKey&) = delete;
  UniqueHKey(UniqueHKey&& other) noexcept : m_key(other.release()) {}
  UniqueHKey& operator=(UniqueHKey&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  HKEY get() const { return m_key; }
  explicit operator bool() const { return m_key != nullptr; }
  // Closes the key held and returns the place for a new one, for the Reg*Key* out parameters.
  HKEY* put() {
    reset();
    return &m_key;
  }
  HKEY release() {
    HKEY key = m_key;
    m_key = nullptr;
    return key;
  }
  void reset(HKEY key = nullptr) {
    if (m_key) RegCloseKey(m_key);
    m_key = key;
  }

 private:
  HKEY m_key = nullptr;
};

// Operations the programs call.
bool CreateKey(HKEY root, LPCWSTR subKey);
bool GetKeyValueInt(HKEY root, std::wstring subKey, std::wstring valueName, DWORD* value);
bool SetKeyValueInt(HKEY root, LPCWSTR subKey, LPCWSTR valueName, DWORD value);
bool GetRegValueOfStringType(HKEY root, std::wstring subKey, std::wstring valueName, std::wstring& text);
bool SetKeyValueOfStringType(HKEY root, std::wstring subKey, std::wstring valueName, std::wstring text);

// Further operations of the library.
bool DeleteKeyTree(HKEY root, std::wstring subKey);
bool DeleteKeyValue(HKEY root, std::wstring subKey, std::wstring valueName);
bool IsKeyExist(HKEY root, LPCWSTR subKey);
// Reads any value into data. *size is the buffer's size in bytes on entry and the value's size on
// return; string data is counted in this process's WCHAR width (sizeof(WCHAR) bytes a character).
// With userHive set and a userKeyName given, a key under HKEY_CURRENT_USER is read from
// HKEY_USERS\<userKeyName>\<subKey> instead. Returns the Win32 status; ERROR_INVALID_PARAMETER when
// root, subKey, valueName, data or size is missing.
LSTATUS GetRegValueOfAnyType(HKEY root, LPCWSTR subKey, LPCWSTR valueName, bool userHive, LPCWSTR userKeyName,
                             LPVOID data, LPDWORD size, LPDWORD type);
std::vector<std::wstring> GetRegValueOfMultiStringType(HKEY root, LPCWSTR subKey, LPCWSTR valueName, bool userHive,
                                                       LPCWSTR userKeyName);
std::vector<std::wstring> GetRegMultiStringValue(HKEY root, LPCWSTR subKey, LPCWSTR valueName, bool userHive,
                                                 LPCWSTR userKeyName);
bool GetUserRegValueOfStringType(HKEY root, std::wstring subKey, std::wstring valueName, bool userHive,
                                 std::wstring userKeyName, std::wstring& text);
bool EnumSubKeys(HKEY key, std::vector<std::wstring>& names);
// Opens the (redirected) key with the given rights; the caller closes *key.
bool OpenRegKey(HKEY root, LPCWSTR subKey, HKEY* key, bool userHive, LPCWSTR userKeyName, REGSAM rights);
bool CopyKeyTree(HKEY sourceRoot, LPCWSTR sourceSubKey, HKEY destRoot, LPCWSTR destSubKey);
bool SetKeyValueString(HKEY root, LPCWSTR subKey, LPCWSTR valueName, LPCWSTR text);
bool SetKeyValueOfMultiStringType(HKEY root, LPCWSTR subKey, LPCWSTR valueName, const BYTE* data, DWORD size);
