// The product's registry helpers on a simulated machine.
#include "common/Registry.h"

#include <gtest/gtest.h>

#include <cstring>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/strings.h"

namespace winsim::test {
namespace {

const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\Vantorel";

class RegistryHelpersTest : public MachineTest {
 protected:
  static size_t StoredSize(const std::wstring& valueName) {
    Statement q(Database::Get().Raw(), "SELECT length(data) FROM reg_values WHERE upper=?");
    q.Bind(1, Utf8FromWide(UpperCase(valueName)));
    EXPECT_TRUE(q.Step());
    return static_cast<size_t>(q.Int(0));
  }
  static void SetRaw(const wchar_t* sub, const wchar_t* name, DWORD type, const void* data, DWORD cb) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
    RegCloseKey(key);
  }
};

TEST_F(RegistryHelpersTest, CreateKeyMakesPathsAndLeavesExistingKeysAlone) {
  EXPECT_FALSE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs"));
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs"));
  EXPECT_TRUE(IsKeyExist(HKEY_LOCAL_MACHINE, L"system\\currentcontrolset\\services\\vantorel\\logs"));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs", L"Level", 4));
  EXPECT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs"));
  DWORD level = 0;
  ASSERT_TRUE(GetKeyValueInt(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs", L"Level",
                             &level));
  EXPECT_EQ(level, 4u) << "an existing key is left unchanged";
}

TEST_F(RegistryHelpersTest, WritesFailOnMissingKeysAndCreateNothing) {
  EXPECT_FALSE(SetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", 1));
  EXPECT_FALSE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Name", L"x"));
  EXPECT_FALSE(SetKeyValueString(HKEY_LOCAL_MACHINE, kServiceKey, L"Name", L"x"));
  EXPECT_FALSE(IsKeyExist(HKEY_LOCAL_MACHINE, kServiceKey));
  DWORD v = 77;
  EXPECT_FALSE(GetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", &v));
  std::wstring text = L"unchanged";
  EXPECT_FALSE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Name", text));
  EXPECT_EQ(text, L"unchanged");
}

TEST_F(RegistryHelpersTest, IntegersAndTheirTypes) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kServiceKey));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", 0xDEADBEEF));
  DWORD v = 0;
  ASSERT_TRUE(GetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"count", &v));
  EXPECT_EQ(v, 0xDEADBEEFu);

  ULONGLONG q = 5;
  SetRaw(kServiceKey, L"Wide", REG_QWORD, &q, 8);
  v = 123;
  EXPECT_FALSE(GetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Wide", &v)) << "8 bytes do not fit";
  // Fewer bytes fill only the low bytes; the type is not looked at.
  BYTE two[2] = {0x34, 0x12};
  SetRaw(kServiceKey, L"Short", REG_BINARY, two, 2);
  v = 0xAAAAAAAA;
  ASSERT_TRUE(GetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Short", &v));
  EXPECT_EQ(v, 0xAAAA1234u);
  // A one-character text is 4 bytes as Windows stores it, and is read like Windows reads it.
  ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Digit", L"7"));
  v = 0;
  ASSERT_TRUE(GetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Digit", &v));
  EXPECT_EQ(v, static_cast<DWORD>(L'7'));
}

TEST_F(RegistryHelpersTest, StringsRoundTripAndEmptyTextIsTheTerminatorAlone) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kServiceKey));
  ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Name", L"Vantorel \u00e9t\u00e9"));
  std::wstring text;
  ASSERT_TRUE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Name", text));
  EXPECT_EQ(text, L"Vantorel \u00e9t\u00e9");
  EXPECT_EQ(StoredSize(L"Name"), 13u * 2);

  ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Empty", L""));
  EXPECT_EQ(StoredSize(L"Empty"), 2u);
  text = L"x";
  ASSERT_TRUE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Empty", text));
  EXPECT_EQ(text, L"");

  ASSERT_TRUE(SetKeyValueString(HKEY_LOCAL_MACHINE, kServiceKey, L"Other", L"abc"));
  EXPECT_EQ(StoredSize(L"Other"), 8u);

  // The OS build number as a fresh machine has it.
  ASSERT_TRUE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                      L"CurrentBuildNumber", text));
  EXPECT_EQ(text, L"19045");
}

TEST_F(RegistryHelpersTest, StringReadOfAnotherTypeFailsAndLeavesTheOutput) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kServiceKey));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", 3));
  std::wstring text = L"before";
  EXPECT_FALSE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", text));
  EXPECT_EQ(text, L"before");
  // A failure of the second read leaves the output too.
  ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Name", L"n"));
  InjectFault("RegGetValueW", ERROR_MORE_DATA, 0, 2);
  EXPECT_FALSE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Name", text));
  EXPECT_EQ(text, L"before");
}

TEST_F(RegistryHelpersTest, DeleteKeyTreeRemovesDeepestFirst) {
  EXPECT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Never")) << "nothing to delete";
  for (const wchar_t* sub : {L"SOFTWARE\\Tree\\A\\A1\\A11", L"SOFTWARE\\Tree\\A\\A2", L"SOFTWARE\\Tree\\B"}) {
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, sub));
  }
  ASSERT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"));
  EXPECT_FALSE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"));
  EXPECT_TRUE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SOFTWARE"));

  // A child that cannot be deleted stops the walk and the key stays.
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree\\A\\A1"));
  InjectFault("RegDeleteKeyW", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(DeleteKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"));
  ClearFaults();
  EXPECT_TRUE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree\\A\\A1"));
}

TEST_F(RegistryHelpersTest, DeleteKeyTreeDeletesChildrenBeforeParents) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree\\A\\Deep"));
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree\\B"));
  // Fail only the fourth RegDeleteKeyW: by then the deepest key must be gone and its parent, whose
  // deletion fails, still be there.
  InjectFault("RegDeleteKeyW", ERROR_ACCESS_DENIED, -1, 4);
  EXPECT_FALSE(DeleteKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree"));
  ClearFaults();
  // Calls: Tree (has children, refused), A (refused), Deep (gone), A again (4th: injected failure).
  EXPECT_FALSE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree\\A\\Deep"));
  EXPECT_TRUE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree\\A"));
  EXPECT_TRUE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tree\\B")) << "the walk stopped at the failed child";
}

TEST_F(RegistryHelpersTest, DeleteKeyValue) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kServiceKey));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", 1));
  EXPECT_TRUE(DeleteKeyValue(HKEY_LOCAL_MACHINE, kServiceKey, L"COUNT"));
  EXPECT_FALSE(DeleteKeyValue(HKEY_LOCAL_MACHINE, kServiceKey, L"Count"));
  EXPECT_FALSE(DeleteKeyValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Missing", L"Count"));
}

TEST_F(RegistryHelpersTest, AnyTypeChecksItsArgumentsFirst) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kServiceKey));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", 9));
  BYTE buffer[16];
  DWORD size = sizeof(buffer), type = 0;
  // With every registry call failing, a missing argument still gives 87: nothing was called.
  InjectFault("RegOpenKeyExW", ERROR_CANTOPEN);
  InjectFault("RegQueryValueExW", ERROR_CANTREAD);
  EXPECT_EQ(GetRegValueOfAnyType(HKEY_LOCAL_MACHINE, kServiceKey, nullptr, false, nullptr, buffer, &size, &type),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetRegValueOfAnyType(nullptr, kServiceKey, L"Count", false, nullptr, buffer, &size, &type),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetRegValueOfAnyType(HKEY_LOCAL_MACHINE, nullptr, L"Count", false, nullptr, buffer, &size, &type),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetRegValueOfAnyType(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", false, nullptr, nullptr, &size, &type),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetRegValueOfAnyType(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", false, nullptr, buffer, nullptr, &type),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetRegValueOfAnyType(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", false, nullptr, buffer, &size, &type),
            ERROR_CANTOPEN);
  ClearFaults();

  std::memset(buffer, 0xEE, sizeof(buffer));
  size = sizeof(buffer);
  ASSERT_EQ(GetRegValueOfAnyType(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", false, nullptr, buffer, &size, &type),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(buffer[0], 9);
  EXPECT_EQ(buffer[4], 0) << "the buffer was zero-filled";
  size = sizeof(buffer);
  EXPECT_EQ(GetRegValueOfAnyType(HKEY_LOCAL_MACHINE, kServiceKey, L"Nope", false, nullptr, buffer, &size, &type),
            ERROR_FILE_NOT_FOUND);
  size = 2;
  EXPECT_EQ(GetRegValueOfAnyType(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", false, nullptr, buffer, &size, &type),
            ERROR_MORE_DATA);
}

TEST_F(RegistryHelpersTest, UserHiveRedirection) {
  AddUser("alice");
  std::wstring sid = WideFromUtf8(FindUserAccount(L"alice")->sid);
  // Written by the user herself through HKEY_CURRENT_USER.
  RunAsUser(L"alice");
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Vendor", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  const wchar_t text[] = L"from alice";
  ASSERT_EQ(RegSetValueExW(key, L"Greeting", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof(text)),
            ERROR_SUCCESS);
  const wchar_t multi[] = L"one\0two\0\0three\0";
  ASSERT_EQ(RegSetValueExW(key, L"List", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof(multi)),
            ERROR_SUCCESS);
  RegCloseKey(key);

  // Read by the service, which runs as SYSTEM and has a hive of its own.
  RunAsSystem();
  std::wstring out;
  EXPECT_FALSE(GetUserRegValueOfStringType(HKEY_CURRENT_USER, L"Software\\Vendor", L"Greeting", false, sid, out))
      << "without the flag: SYSTEM's own hive";
  EXPECT_FALSE(GetUserRegValueOfStringType(HKEY_CURRENT_USER, L"Software\\Vendor", L"Greeting", true, L"", out));
  ASSERT_TRUE(GetUserRegValueOfStringType(HKEY_CURRENT_USER, L"Software\\Vendor", L"Greeting", true, sid, out));
  EXPECT_EQ(out, L"from alice");
  // The flag matters only with HKEY_CURRENT_USER as the root.
  EXPECT_FALSE(GetUserRegValueOfStringType(HKEY_LOCAL_MACHINE, L"Software\\Vendor", L"Greeting", true, sid, out));

  EXPECT_EQ(GetRegValueOfMultiStringType(HKEY_CURRENT_USER, L"Software\\Vendor", L"List", true, sid.c_str()),
            (std::vector<std::wstring>{L"one", L"two"}));
  EXPECT_EQ(GetRegMultiStringValue(HKEY_CURRENT_USER, L"Software\\Vendor", L"List", true, sid.c_str()),
            (std::vector<std::wstring>{L"one", L"two"}));
  EXPECT_TRUE(GetRegValueOfMultiStringType(HKEY_CURRENT_USER, L"Software\\Vendor", L"Greeting", true, sid.c_str())
                  .empty())
      << "not a REG_MULTI_SZ";
  EXPECT_EQ(GetRegMultiStringValue(HKEY_CURRENT_USER, L"Software\\Vendor", L"Greeting", true, sid.c_str()),
            (std::vector<std::wstring>{L"from alice"}))
      << "no type check";

  HKEY opened = reinterpret_cast<HKEY>(1);
  ASSERT_TRUE(OpenRegKey(HKEY_CURRENT_USER, L"Software\\Vendor", &opened, true, sid.c_str(), KEY_READ));
  std::vector<std::wstring> none;
  EXPECT_FALSE(EnumSubKeys(opened, none));
  RegCloseKey(opened);
  opened = reinterpret_cast<HKEY>(1);
  EXPECT_FALSE(OpenRegKey(HKEY_CURRENT_USER, L"Software\\Vendor", &opened, false, sid.c_str(), KEY_READ));
  EXPECT_EQ(opened, nullptr) << "the handle is cleared first";

  // The composed path holds 511 characters at most: a key whose path is that long opens, one
  // character more fails although the key exists.
  std::wstring sub;
  while (sid.size() + 1 + sub.size() + 101 <= 511) sub += std::wstring(100, L'k') + L"\\";
  sub += std::wstring(511 - sid.size() - 1 - sub.size(), L'm');
  ASSERT_EQ(sid.size() + 1 + sub.size(), 511u);
  ASSERT_TRUE(CreateKey(HKEY_USERS, (sid + L"\\" + sub).c_str()));
  ASSERT_TRUE(CreateKey(HKEY_USERS, (sid + L"\\" + sub + L"m").c_str()));
  ASSERT_TRUE(OpenRegKey(HKEY_CURRENT_USER, sub.c_str(), &opened, true, sid.c_str(), KEY_READ));
  RegCloseKey(opened);
  EXPECT_FALSE(OpenRegKey(HKEY_CURRENT_USER, (sub + L"m").c_str(), &opened, true, sid.c_str(), KEY_READ));
  BYTE buf[8];
  DWORD size = sizeof(buf);
  EXPECT_NE(GetRegValueOfAnyType(HKEY_CURRENT_USER, (sub + L"m").c_str(), L"v", true, sid.c_str(), buf, &size,
                                 nullptr),
            ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryHelpersTest, MultiStringsSplitAtTheFirstEmptyString) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kServiceKey));
  const wchar_t block[] = L"a\0bc\0\0d\0";
  ASSERT_TRUE(SetKeyValueOfMultiStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"M", reinterpret_cast<const BYTE*>(block),
                                           sizeof(block)));
  EXPECT_EQ(GetRegValueOfMultiStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"M", false, nullptr),
            (std::vector<std::wstring>{L"a", L"bc"}));
  // Unterminated data ends at the end of the data.
  const wchar_t bare[] = {L'x', L'\0', L'y', L'z'};
  SetRaw(kServiceKey, L"Bare", REG_MULTI_SZ, bare, sizeof(bare));
  EXPECT_EQ(GetRegMultiStringValue(HKEY_LOCAL_MACHINE, kServiceKey, L"Bare", false, nullptr),
            (std::vector<std::wstring>{L"x", L"yz"}));
  const wchar_t leadingNul[] = L"\0a\0";
  SetRaw(kServiceKey, L"Lead", REG_MULTI_SZ, leadingNul, sizeof(leadingNul));
  EXPECT_TRUE(GetRegMultiStringValue(HKEY_LOCAL_MACHINE, kServiceKey, L"Lead", false, nullptr).empty());
  EXPECT_TRUE(GetRegMultiStringValue(HKEY_LOCAL_MACHINE, kServiceKey, L"Missing", false, nullptr).empty());
}

TEST_F(RegistryHelpersTest, EnumSubKeysListsNamesAndPrintsTheCount) {
  for (const wchar_t* sub : {L"SOFTWARE\\E\\two", L"SOFTWARE\\E\\One", L"SOFTWARE\\E\\three"}) {
    ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, sub));
  }
  HKEY key = nullptr;
  ASSERT_TRUE(OpenRegKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\E", &key, false, nullptr, KEY_READ));
  std::vector<std::wstring> names{L"kept"};
  testing::internal::CaptureStdout();
  EXPECT_TRUE(EnumSubKeys(key, names));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nNumber of subkeys: 3\n");
  EXPECT_EQ(names, (std::vector<std::wstring>{L"kept", L"One", L"three", L"two"}));
  RegCloseKey(key);
}

TEST_F(RegistryHelpersTest, CopyKeyTreeIntoNewAndExistingDestinations) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Src\\Child"));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Src", L"Top", 1));
  ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Src\\Child", L"Name", L"child"));

  ASSERT_TRUE(CopyKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Src", HKEY_LOCAL_MACHINE, L"SOFTWARE\\NewDest\\Deep"));
  std::wstring text;
  ASSERT_TRUE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NewDest\\Deep\\Child", L"Name", text));
  EXPECT_EQ(text, L"child");

  // An existing destination keeps its own values and gains the source's.
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Existing"));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Existing", L"Own", 7));
  ASSERT_TRUE(CopyKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Src", HKEY_LOCAL_MACHINE, L"SOFTWARE\\Existing"));
  DWORD v = 0;
  ASSERT_TRUE(GetKeyValueInt(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Existing", L"Own", &v));
  EXPECT_EQ(v, 7u);
  ASSERT_TRUE(GetKeyValueInt(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Existing", L"Top", &v));
  EXPECT_EQ(v, 1u);
  ASSERT_TRUE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Existing\\Child", L"Name", text));

  EXPECT_FALSE(CopyKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\NoSource", HKEY_LOCAL_MACHINE, L"SOFTWARE\\X"));
  EXPECT_FALSE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SOFTWARE\\X"));
}

TEST_F(RegistryHelpersTest, UserCannotWriteUnderTheMachineHive) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kServiceKey));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", 2));
  AddUser("bob");
  RunAsUser(L"bob");
  EXPECT_FALSE(CreateKey(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs"));
  EXPECT_FALSE(SetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", 5));
  EXPECT_FALSE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, kServiceKey, L"Name", L"bob"));
  EXPECT_FALSE(DeleteKeyValue(HKEY_LOCAL_MACHINE, kServiceKey, L"Count"));
  EXPECT_FALSE(DeleteKeyTree(HKEY_LOCAL_MACHINE, kServiceKey));
  EXPECT_FALSE(CopyKeyTree(HKEY_LOCAL_MACHINE, kServiceKey, HKEY_LOCAL_MACHINE, L"SOFTWARE\\Copy"));
  // Reading works, and what is there is unchanged.
  EXPECT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, kServiceKey)) << "an existing key opens for reading";
  DWORD v = 0;
  ASSERT_TRUE(GetKeyValueInt(HKEY_LOCAL_MACHINE, kServiceKey, L"Count", &v));
  EXPECT_EQ(v, 2u);
  EXPECT_FALSE(IsKeyExist(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs"));
}

}  // namespace
}  // namespace winsim::test
