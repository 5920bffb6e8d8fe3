// winsim's registry API: names, rights, the identity rule, sizing protocols, UTF-16 storage.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/strings.h"
#include "windows.h"

namespace winsim::test {
namespace {

class RegistryApiTest : public MachineTest {
 protected:
  // A key under HKLM\SOFTWARE\Test created with full rights; closed by the test.
  HKEY MakeKey(const wchar_t* sub = L"SOFTWARE\\Test") {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }
  static void SetString(HKEY key, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  static void SetDword(HKEY key, const wchar_t* name, DWORD v) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4), ERROR_SUCCESS);
  }
  // What the store keeps for a value: its bytes as in a hive.
  static std::vector<uint8_t> StoredBytes(const std::wstring& valueName) {
    Statement q(Database::Get().Raw(), "SELECT data FROM reg_values WHERE upper=?");
    q.Bind(1, Utf8FromWide(UpperCase(valueName)));
    EXPECT_TRUE(q.Step()) << "no stored value " << Utf8FromWide(valueName);
    return q.Blob(0);
  }
};

TEST_F(RegistryApiTest, NamesAreCaseInsensitiveAndCasePreserving) {
  HKEY key = MakeKey(L"SOFTWARE\\MixedCase\\Child");
  SetDword(key, L"ValueName", 7);
  RegCloseKey(key);

  HKEY again = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"software\\MIXEDCASE\\child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            &again, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  DWORD v = 0, cb = 4, type = 0;
  EXPECT_EQ(RegQueryValueExW(again, L"VALUENAME", nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(type, REG_DWORD);
  // Rewriting under another case keeps the first spelling.
  SetDword(again, L"valuename", 8);
  wchar_t name[32];
  DWORD cch = 32;
  ASSERT_EQ(RegEnumValueW(again, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(name, cch), L"ValueName");
  RegCloseKey(again);

  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\MIXEDCASE", 0, KEY_READ, &parent), ERROR_SUCCESS);
  cch = 32;
  ASSERT_EQ(RegEnumKeyExW(parent, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(name, cch), L"Child");
  RegCloseKey(parent);
}

TEST_F(RegistryApiTest, CreateMakesIntermediateKeysAndReportsDisposition) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A\\B\\C", 0, nullptr, REG_OPTION_VOLATILE, KEY_READ,
                            nullptr, &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  RegCloseKey(key);
  HKEY b = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A\\B", 0, KEY_READ, &b), ERROR_SUCCESS);
  RegCloseKey(b);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A\\Missing", 0, KEY_READ, &b), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"\\SOFTWARE", 0, KEY_READ, &b), ERROR_BAD_PATHNAME);
  // A hive root takes no new direct children, even from an administrator.
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"NewRoot", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &b, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  // Creation is checked against the key's security, not the parent handle's rights: a read-only
  // handle may create where the caller may write.
  HKEY readOnly = nullptr, made = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\A", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExW(readOnly, L"FromReadOnly", 0, nullptr, 0, KEY_READ, nullptr, &made, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  RegCloseKey(made);
  RegCloseKey(readOnly);
}

TEST_F(RegistryApiTest, PredefinedKeyWithoutSubKeyComesBackItself) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x7777770))), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryApiTest, EachCallChecksTheRightsOfItsHandle) {
  RegCloseKey(MakeKey(L"SOFTWARE\\Test\\Sub"));
  struct Case {
    const char* what;
    REGSAM granted;
    LSTATUS expected;
    std::function<LSTATUS(HKEY)> call;
  };
  DWORD v = 1;
  const BYTE* data = reinterpret_cast<const BYTE*>(&v);
  std::vector<Case> cases = {
      {"query without KEY_QUERY_VALUE", KEY_SET_VALUE, ERROR_ACCESS_DENIED,
       [](HKEY k) { return RegQueryValueExW(k, L"x", nullptr, nullptr, nullptr, nullptr); }},
      {"set without KEY_SET_VALUE", KEY_READ, ERROR_ACCESS_DENIED,
       [&](HKEY k) { return RegSetValueExW(k, L"x", 0, REG_DWORD, data, 4); }},
      {"set with KEY_SET_VALUE", KEY_SET_VALUE, ERROR_SUCCESS,
       [&](HKEY k) { return RegSetValueExW(k, L"x", 0, REG_DWORD, data, 4); }},
      {"enumerate keys without KEY_ENUMERATE_SUB_KEYS", KEY_QUERY_VALUE, ERROR_ACCESS_DENIED,
       [](HKEY k) {
         wchar_t n[64];
         DWORD c = 64;
         return RegEnumKeyExW(k, 0, n, &c, nullptr, nullptr, nullptr, nullptr);
       }},
      {"enumerate keys with GENERIC_READ", GENERIC_READ, ERROR_SUCCESS,
       [](HKEY k) {
         wchar_t n[64];
         DWORD c = 64;
         return RegEnumKeyExW(k, 0, n, &c, nullptr, nullptr, nullptr, nullptr);
       }},
      {"delete value without KEY_SET_VALUE", KEY_READ, ERROR_ACCESS_DENIED,
       [](HKEY k) { return RegDeleteValueW(k, L"x"); }},
      {"info without KEY_QUERY_VALUE", KEY_ENUMERATE_SUB_KEYS, ERROR_ACCESS_DENIED,
       [](HKEY k) {
         return RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr);
       }},
      {"delete tree of own contents without DELETE", KEY_READ, ERROR_ACCESS_DENIED,
       [](HKEY k) { return RegDeleteTreeW(k, nullptr); }},
  };
  for (auto& c : cases) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", 0, c.granted, &key), ERROR_SUCCESS) << c.what;
    EXPECT_EQ(c.call(key), c.expected) << c.what;
    RegCloseKey(key);
  }
}

TEST_F(RegistryApiTest, UsersReadButCannotWriteTheMachineHive) {
  HKEY key = MakeKey();
  SetDword(key, L"Level", 3);
  RegCloseKey(key);
  AddUser("alice");
  RunAsUser(L"alice");

  HKEY h = nullptr;
  for (REGSAM write : {static_cast<REGSAM>(KEY_SET_VALUE), static_cast<REGSAM>(KEY_CREATE_SUB_KEY),
                       static_cast<REGSAM>(KEY_WRITE), static_cast<REGSAM>(KEY_ALL_ACCESS),
                       static_cast<REGSAM>(DELETE), static_cast<REGSAM>(GENERIC_WRITE),
                       static_cast<REGSAM>(GENERIC_ALL), static_cast<REGSAM>(WRITE_DAC)}) {
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", 0, write, &h), ERROR_ACCESS_DENIED) << write;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", 0, nullptr, 0, write, nullptr, &h, nullptr),
              ERROR_ACCESS_DENIED)
        << write;
  }
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\New", 0, nullptr, 0, KEY_READ, nullptr, &h, nullptr),
            ERROR_ACCESS_DENIED);
  DWORD v = 9;
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, L"x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test"), ERROR_ACCESS_DENIED);

  // Reading is allowed, and MAXIMUM_ALLOWED grants read rights only.
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", 0, MAXIMUM_ALLOWED, &h), ERROR_SUCCESS);
  DWORD cb = 4;
  EXPECT_EQ(RegQueryValueExW(h, L"Level", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(RegSetValueExW(h, L"Level", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_ACCESS_DENIED);
  RegCloseKey(h);

  RunAsAdministrator();
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", 0, KEY_QUERY_VALUE, &h), ERROR_SUCCESS);
  cb = 4;
  EXPECT_EQ(RegQueryValueExW(h, L"Level", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
  EXPECT_EQ(v, 3u) << "the refused writes changed nothing";
  RegCloseKey(h);
}

TEST_F(RegistryApiTest, CurrentUserIsTheUsersOwnHiveUnderUsers) {
  AddUser("alice");
  AddUser("bob");
  std::wstring aliceSid = WideFromUtf8(FindUserAccount(L"alice")->sid);
  std::wstring bobSid = WideFromUtf8(FindUserAccount(L"bob")->sid);
  RunAsUser(L"alice");
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Mine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  SetString(key, L"Color", L"blue");
  RegCloseKey(key);

  // The same key through HKEY_USERS\<her SID>; bob's hive is not hers to write.
  wchar_t text[16];
  DWORD cb = sizeof(text);
  EXPECT_EQ(RegGetValueW(HKEY_USERS, (aliceSid + L"\\Software\\Mine").c_str(), L"Color", RRF_RT_REG_SZ, nullptr,
                         text, &cb),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, L"blue");
  EXPECT_EQ(RegCreateKeyExW(HKEY_USERS, (bobSid + L"\\Software\\Theirs").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_ACCESS_DENIED);
  ASSERT_EQ(RegOpenKeyExW(HKEY_USERS, (bobSid + L"\\Software").c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, StringsAreStoredAsUtf16AndCountedInTheCallersWidth) {
  HKEY key = MakeKey();
  // "ab" with its terminator: 3 characters of the caller's width in, 6 UTF-16 bytes stored.
  SetString(key, L"Text", L"ab");
  std::vector<uint8_t> stored = StoredBytes(L"Text");
  EXPECT_EQ(stored, (std::vector<uint8_t>{'a', 0, 'b', 0, 0, 0}));
  // A character outside the BMP becomes a surrogate pair in the store and one wchar_t again.
  SetString(key, L"Wide", std::wstring(1, static_cast<wchar_t>(0x1F600)));
  EXPECT_EQ(StoredBytes(L"Wide").size(), 6u);

  DWORD type = 0, cb = 0;
  ASSERT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 3 * sizeof(wchar_t));
  EXPECT_EQ(type, REG_SZ);
  wchar_t buffer[8] = {};
  cb = sizeof(buffer);
  ASSERT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, L"ab");
  EXPECT_EQ(cb, 3 * sizeof(wchar_t));
  cb = sizeof(buffer);
  ASSERT_EQ(RegQueryValueExW(key, L"Wide", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &cb), ERROR_SUCCESS);
  EXPECT_EQ(static_cast<uint32_t>(buffer[0]), 0x1F600u);
  EXPECT_EQ(cb, 2 * sizeof(wchar_t));

  // An empty string is its terminator alone: 2 bytes stored.
  SetString(key, L"Empty", L"");
  EXPECT_EQ(StoredBytes(L"Empty").size(), 2u);
  // Binary data is kept as given.
  const BYTE raw[3] = {1, 2, 3};
  ASSERT_EQ(RegSetValueExW(key, L"Raw", 0, REG_BINARY, raw, 3), ERROR_SUCCESS);
  EXPECT_EQ(StoredBytes(L"Raw"), (std::vector<uint8_t>{1, 2, 3}));
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, QueryFollowsTheSizingProtocol) {
  HKEY key = MakeKey();
  SetString(key, L"Text", L"hello");
  SetDword(key, L"Number", 0x01020304);
  const DWORD textBytes = 6 * sizeof(wchar_t);

  DWORD cb = 0, type = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, textBytes);
  // A buffer too small for the converted text and for its stored bytes: ERROR_MORE_DATA.
  BYTE small[4];
  cb = sizeof(small);
  type = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, small, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, textBytes);
  EXPECT_EQ(type, REG_SZ);
  // Data pointer without a size pointer, a reserved pointer: invalid.
  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, nullptr, small, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key, L"Text", &reserved, nullptr, nullptr, &cb), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(key, L"Missing", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
  // A DWORD into a 2-byte buffer.
  cb = 2;
  EXPECT_EQ(RegQueryValueExW(key, L"Number", nullptr, nullptr, small, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4u);
  // The default value is the empty or null name.
  SetDword(key, nullptr, 5);
  DWORD v = 0;
  cb = 4;
  EXPECT_EQ(RegQueryValueExW(key, L"", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
  EXPECT_EQ(v, 5u);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, ShortTextReadIntoAnIntegerGetsTheStoredBytes) {
  HKEY key = MakeKey();
  SetString(key, L"One", L"7");  // stored as '7' 0 0 0: 4 bytes, 8 once converted
  DWORD v = 0xFFFFFFFF, cb = sizeof(v), type = 0;
  ASSERT_EQ(RegQueryValueExW(key, L"One", nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 4u) << "the stored size is reported";
  EXPECT_EQ(v, static_cast<DWORD>('7'));
  // A buffer that holds neither form still fails.
  SetString(key, L"Three", L"abc");  // 8 bytes stored
  cb = sizeof(v);
  EXPECT_EQ(RegQueryValueExW(key, L"Three", nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4 * sizeof(wchar_t));
  // A string reader whose buffer is too small hears so, even when the stored bytes would fit.
  wchar_t two[2] = {L'x', L'x'};
  cb = sizeof(two);
  EXPECT_EQ(RegQueryValueExW(key, L"Three", nullptr, &type, reinterpret_cast<BYTE*>(two), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4 * sizeof(wchar_t));
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, GetValueRestrictsTypesAndTerminatesStrings) {
  HKEY key = MakeKey();
  SetDword(key, L"Number", 42);
  SetString(key, L"Text", L"hi");
  // Text stored without its terminator.
  ASSERT_EQ(RegSetValueExW(key, L"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"xyz"), 3 * sizeof(wchar_t)),
            ERROR_SUCCESS);
  const BYTE four[4] = {1, 0, 0, 0}, three[3] = {1, 2, 3};
  ASSERT_EQ(RegSetValueExW(key, L"Bin4", 0, REG_BINARY, four, 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(key, L"Bin3", 0, REG_BINARY, three, 3), ERROR_SUCCESS);
  SetString(key, L"Path", L"%SystemRoot%\\x;%NoSuchVar%", REG_EXPAND_SZ);
  RegCloseKey(key);

  struct Case {
    const wchar_t* value;
    DWORD flags;
    LSTATUS expected;
  };
  std::vector<Case> cases = {
      {L"Number", RRF_RT_REG_DWORD, ERROR_SUCCESS},   {L"Number", RRF_RT_REG_SZ, ERROR_UNSUPPORTED_TYPE},
      {L"Text", RRF_RT_REG_DWORD, ERROR_UNSUPPORTED_TYPE}, {L"Text", RRF_RT_ANY, ERROR_SUCCESS},
      {L"Bin4", RRF_RT_DWORD, ERROR_SUCCESS},         {L"Bin3", RRF_RT_DWORD, ERROR_UNSUPPORTED_TYPE},
      {L"Bin3", RRF_RT_REG_BINARY, ERROR_SUCCESS},    {L"Path", RRF_RT_REG_SZ, ERROR_SUCCESS},
      {L"Path", RRF_RT_REG_EXPAND_SZ, ERROR_INVALID_PARAMETER},
      {L"Path", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, ERROR_SUCCESS},
      {L"Path", RRF_RT_REG_SZ | RRF_NOEXPAND, ERROR_UNSUPPORTED_TYPE},
      {L"Missing", RRF_RT_ANY, ERROR_FILE_NOT_FOUND}, {L"Number", 0, ERROR_INVALID_PARAMETER},
  };
  for (auto& c : cases) {
    BYTE buffer[256];
    DWORD cb = sizeof(buffer);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", c.value, c.flags, nullptr, buffer, &cb), c.expected)
        << Utf8FromWide(c.value) << " flags " << c.flags;
  }

  // The stored text lacks a terminator: the size asked for has room for one, and it is written.
  DWORD cb = 0, type = 0;
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", L"Bare", RRF_RT_REG_SZ, &type, nullptr, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(cb, 4 * sizeof(wchar_t));
  wchar_t text[8];
  std::wmemset(text, L'#', 8);
  cb = 3 * sizeof(wchar_t);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", L"Bare", RRF_RT_REG_SZ, &type, text, &cb),
            ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4 * sizeof(wchar_t));
  cb = sizeof(text);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", L"Bare", RRF_RT_REG_SZ, &type, text, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(text), L"xyz");

  // Expanded as REG_SZ; unknown names are left as written.
  cb = sizeof(text) * 0;
  wchar_t path[128];
  cb = sizeof(path);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", L"Path", RRF_RT_REG_SZ, &type, path, &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(std::wstring(path), L"C:\\Windows\\x;%NoSuchVar%");

  // RRF_ZEROONFAILURE clears the buffer when the type does not match.
  DWORD number = 0xFFFFFFFF;
  cb = sizeof(number);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test", L"Text", RRF_RT_REG_DWORD | RRF_ZEROONFAILURE,
                         nullptr, &number, &cb),
            ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(number, 0u);
}

TEST_F(RegistryApiTest, EnumerationOrderAndSizing) {
  HKEY key = MakeKey();
  for (const wchar_t* sub : {L"Zeta", L"alpha", L"Beta"}) {
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(key, sub, 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr), ERROR_SUCCESS);
    RegCloseKey(child);
  }
  SetDword(key, L"Second", 2);
  SetDword(key, L"First", 1);
  SetDword(key, L"Second", 3);  // rewriting keeps its place

  // Sub-keys sorted without regard to case; values in the order they were made.
  std::vector<std::wstring> keys, values;
  wchar_t name[64];
  DWORD cch = 64, i = 0;
  for (LSTATUS st; (st = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr)) == ERROR_SUCCESS;
       ++i, cch = 64) {
    keys.emplace_back(name, cch);
  }
  EXPECT_EQ(keys, (std::vector<std::wstring>{L"alpha", L"Beta", L"Zeta"}));
  cch = 64;
  EXPECT_EQ(RegEnumKeyExW(key, 3, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  cch = 64;
  for (i = 0; RegEnumValueW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; ++i, cch = 64) {
    values.emplace_back(name, cch);
  }
  EXPECT_EQ(values, (std::vector<std::wstring>{L"Second", L"First"}));

  // A name buffer without room for the terminator.
  cch = 5;  // "alpha" needs 6
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  cch = 6;
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(cch, 5u);
  EXPECT_EQ(RegEnumKeyExW(key, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  cch = 6;
  EXPECT_EQ(RegEnumValueW(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);  // "Second"
  // Value data too small: the size needed comes back.
  DWORD v = 0, cb = 2;
  cch = 64;
  EXPECT_EQ(RegEnumValueW(key, 1, name, &cch, nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4u);

  SetString(key, L"LongerValueName", L"0123456789");
  DWORD subKeys = 0, maxSub = 0, count = 0, maxName = 0, maxData = 0;
  FILETIME written{};
  ASSERT_EQ(RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, &maxSub, nullptr, &count, &maxName, &maxData,
                             nullptr, &written),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 3u);
  EXPECT_EQ(maxSub, 5u);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(maxName, 15u);
  EXPECT_EQ(maxData, 11 * sizeof(wchar_t));
  EXPECT_NE(written.dwHighDateTime, 0u);
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, ClassesAreKeptAndReported) {
  HKEY key = nullptr;
  wchar_t cls[] = L"MyClass";
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classy", 0, cls, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  wchar_t buffer[16];
  DWORD cch = 3;
  EXPECT_EQ(RegQueryInfoKeyW(key, buffer, &cch, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr),
            ERROR_MORE_DATA);
  EXPECT_EQ(cch, 7u);
  cch = 16;
  ASSERT_EQ(RegQueryInfoKeyW(key, buffer, &cch, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(buffer, L"MyClass");
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, DeletingKeysValuesAndTrees) {
  RegCloseKey(MakeKey(L"SOFTWARE\\Test\\Parent\\Child"));
  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test\\Parent", 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
  SetDword(parent, L"V", 1);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test\\Parent"), ERROR_ACCESS_DENIED) << "has a sub-key";
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test\\Nope"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(parent, L"child"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(parent, L"v"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(parent, L"v"), ERROR_FILE_NOT_FOUND);

  // A handle to a deleted key answers ERROR_KEY_DELETED.
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Test\\Parent"), ERROR_SUCCESS);
  DWORD cb = 0;
  EXPECT_EQ(RegQueryValueExW(parent, L"V", nullptr, nullptr, nullptr, &cb), ERROR_KEY_DELETED);
  DWORD v = 1;
  EXPECT_EQ(RegSetValueExW(parent, L"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_KEY_DELETED);
  // Even after a key of the same name is made again.
  RegCloseKey(MakeKey(L"SOFTWARE\\Test\\Parent"));
  EXPECT_EQ(RegQueryValueExW(parent, L"V", nullptr, nullptr, nullptr, &cb), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);

  // A tree goes whole; without a sub-key only the contents go.
  HKEY deep = MakeKey(L"SOFTWARE\\Tree\\A\\B\\C");
  SetDword(deep, L"x", 1);
  RegCloseKey(deep);
  HKEY tree = MakeKey(L"SOFTWARE\\Tree");
  SetDword(tree, L"top", 1);
  EXPECT_EQ(RegDeleteTreeW(tree, nullptr), ERROR_SUCCESS);
  DWORD subKeys = 9, values = 9;
  ASSERT_EQ(RegQueryInfoKeyW(tree, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
  RegCloseKey(tree);
  RegCloseKey(MakeKey(L"SOFTWARE\\Tree\\A\\B"));
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree", 0, KEY_READ, &tree), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"), ERROR_FILE_NOT_FOUND);
  Statement orphans(Database::Get().Raw(),
                    "SELECT COUNT(*) FROM reg_keys WHERE parent IS NOT NULL AND parent NOT IN (SELECT id FROM reg_keys)");
  ASSERT_TRUE(orphans.Step());
  EXPECT_EQ(orphans.Int(0), 0);
}

TEST_F(RegistryApiTest, CopyTreeMergesIntoTheDestination) {
  HKEY src = MakeKey(L"SOFTWARE\\Src");
  SetDword(src, L"Top", 1);
  HKEY child = MakeKey(L"SOFTWARE\\Src\\Child\\Grand");
  SetString(child, L"Name", L"grand");
  RegCloseKey(child);
  HKEY dest = MakeKey(L"SOFTWARE\\Dest");
  SetDword(dest, L"Top", 99);
  SetDword(dest, L"Kept", 5);

  EXPECT_EQ(RegCopyTreeW(src, nullptr, dest), ERROR_SUCCESS);
  std::wstring text(16, L'\0');
  DWORD cb = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  EXPECT_EQ(RegGetValueW(dest, L"Child\\Grand", L"Name", RRF_RT_REG_SZ, nullptr, text.data(), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(text.c_str(), L"grand");
  DWORD v = 0;
  cb = 4;
  EXPECT_EQ(RegGetValueW(dest, nullptr, L"Top", RRF_RT_REG_DWORD, nullptr, &v, &cb), ERROR_SUCCESS);
  EXPECT_EQ(v, 1u) << "copied values overwrite";
  cb = 4;
  EXPECT_EQ(RegGetValueW(dest, nullptr, L"Kept", RRF_RT_REG_DWORD, nullptr, &v, &cb), ERROR_SUCCESS);
  EXPECT_EQ(v, 5u) << "other values stay";

  // A sub-key of the source; copying a key into its own sub-tree ends.
  EXPECT_EQ(RegCopyTreeW(src, L"Child", dest), ERROR_SUCCESS);
  EXPECT_EQ(RegCopyTreeW(src, L"Missing", dest), ERROR_FILE_NOT_FOUND);
  HKEY inside = MakeKey(L"SOFTWARE\\Src\\Child\\Inside");
  EXPECT_EQ(RegCopyTreeW(src, nullptr, inside), ERROR_SUCCESS);
  RegCloseKey(inside);

  // Rights: the source needs KEY_READ, the destination KEY_CREATE_SUB_KEY (and KEY_SET_VALUE for values).
  HKEY weakSrc = nullptr, weakDest = nullptr, noSet = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Src", 0, KEY_QUERY_VALUE, &weakSrc), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Dest", 0, KEY_SET_VALUE, &weakDest), ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Dest", 0, KEY_CREATE_SUB_KEY, &noSet), ERROR_SUCCESS);
  EXPECT_EQ(RegCopyTreeW(weakSrc, nullptr, dest), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCopyTreeW(src, nullptr, weakDest), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCopyTreeW(src, nullptr, noSet), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCopyTreeW(src, L"Child", noSet), ERROR_SUCCESS) << "no values at the top of Child";
  for (HKEY k : {weakSrc, weakDest, noSet, src, dest}) RegCloseKey(k);
}

TEST_F(RegistryApiTest, FaultsAreInjectedPerFunction) {
  HKEY key = MakeKey();
  InjectFault("RegQueryValueExW", ERROR_ACCESS_DENIED, 1);
  DWORD cb = 0;
  SetDword(key, L"x", 1);
  EXPECT_EQ(RegQueryValueExW(key, L"x", nullptr, nullptr, nullptr, &cb), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExW(key, L"x", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS) << "once only";
  InjectFault("RegOpenKeyExW", ERROR_FILE_NOT_FOUND);
  HKEY h = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_READ, &h), ERROR_FILE_NOT_FOUND);
  InjectFault("RegSetValueExW", ERROR_CANTWRITE);
  DWORD v = 2;
  EXPECT_EQ(RegSetValueExW(key, L"x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_CANTWRITE);
  ClearFaults();
  cb = 4;
  EXPECT_EQ(RegQueryValueExW(key, L"x", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb), ERROR_SUCCESS);
  EXPECT_EQ(v, 1u) << "the failed write changed nothing";
  RegCloseKey(key);
}

TEST_F(RegistryApiTest, FreshMachineHasTheDefaultKeys) {
  wchar_t build[16];
  DWORD cb = sizeof(build);
  ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                         L"CurrentBuildNumber", RRF_RT_REG_SZ, nullptr, build, &cb),
            ERROR_SUCCESS);
  EXPECT_STREQ(build, L"19045");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
  AddUser("carol");
  std::wstring sid = WideFromUtf8(FindUserAccount(L"carol")->sid);
  EXPECT_EQ(RegOpenKeyExW(HKEY_USERS, sid.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS) << "hive loaded with the account";
  RegCloseKey(key);
}

}  // namespace
}  // namespace winsim::test
