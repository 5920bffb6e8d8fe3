// The product's registry helpers over the platform's registry: keys and values under
// HKEY_LOCAL_MACHINE as the service and the agent use them.
#include "common/Registry.h"

#include <atomic>

#include "Win32Test.h"

namespace torvex::test {
namespace {

class RegistryTest : public Win32Test {
 protected:
  void SetUp() override {
    Win32Test::SetUp();
    m_key = L"SOFTWARE\\TorvexWin32Test\\" + UniqueName();
  }
  void TearDown() override {
    DeleteKeyTree(HKEY_LOCAL_MACHINE, m_key);
    Win32Test::TearDown();
  }
  std::wstring m_key;
};

TEST_F(RegistryTest, IntegersAndStringsRoundTrip) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, m_key.c_str()));
  EXPECT_TRUE(IsKeyExist(HKEY_LOCAL_MACHINE, m_key.c_str()));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, m_key.c_str(), L"CheckCount", 0xDEADBEEF));
  DWORD value = 0;
  ASSERT_TRUE(GetKeyValueInt(HKEY_LOCAL_MACHINE, m_key, L"checkcount", &value)) << "value names ignore case";
  EXPECT_EQ(value, 0xDEADBEEFu);

  const std::wstring texts[] = {L"19045", L"", L"caf\u00e9 \u4e2d\u6587", std::wstring(300, L'x')};
  for (const auto& text : texts) {
    ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, m_key, L"OSBuildNumber", text));
    std::wstring read = L"old";
    ASSERT_TRUE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, m_key, L"OSBuildNumber", read));
    EXPECT_EQ(read, text);
  }
}

TEST_F(RegistryTest, StringsAreStoredAsRegSzWithTheirTerminator) {
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, m_key.c_str()));
  ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, m_key, L"Text", L"abc"));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 4 * sizeof(WCHAR));
  // Too small a buffer: the size needed, and nothing read.
  WCHAR small[2] = {L'#', L'#'};
  size = sizeof(small);
  EXPECT_EQ(RegQueryValueExW(key, L"Text", nullptr, &type, reinterpret_cast<BYTE*>(small), &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4 * sizeof(WCHAR));
  RegCloseKey(key);
}

TEST_F(RegistryTest, MissingKeysAndValuesFailAndLeaveOutputsAlone) {
  DWORD value = 77;
  EXPECT_FALSE(GetKeyValueInt(HKEY_LOCAL_MACHINE, m_key, L"CheckCount", &value));
  EXPECT_EQ(value, 77u);
  std::wstring text = L"unchanged";
  EXPECT_FALSE(GetRegValueOfStringType(HKEY_LOCAL_MACHINE, m_key, L"OSBuildNumber", text));
  EXPECT_EQ(text, L"unchanged");
  EXPECT_FALSE(SetKeyValueInt(HKEY_LOCAL_MACHINE, m_key.c_str(), L"CheckCount", 1)) << "writes need the key";
  EXPECT_FALSE(IsKeyExist(HKEY_LOCAL_MACHINE, m_key.c_str()));

  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, m_key.c_str()));
  EXPECT_FALSE(GetKeyValueInt(HKEY_LOCAL_MACHINE, m_key, L"CheckCount", &value));
  EXPECT_EQ(value, 77u);
  // An integer read of a value too wide for a DWORD fails.
  ASSERT_TRUE(SetKeyValueOfStringType(HKEY_LOCAL_MACHINE, m_key, L"Long", L"a longer text"));
  EXPECT_FALSE(GetKeyValueInt(HKEY_LOCAL_MACHINE, m_key, L"Long", &value));
}

TEST_F(RegistryTest, KeyTreesAreDeletedWhole) {
  std::wstring child = m_key + L"\\Child\\Grandchild";
  ASSERT_TRUE(CreateKey(HKEY_LOCAL_MACHINE, child.c_str()));
  ASSERT_TRUE(SetKeyValueInt(HKEY_LOCAL_MACHINE, child.c_str(), L"Deep", 1));
  std::vector<std::wstring> names;
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_TRUE(EnumSubKeys(key, names));
  RegCloseKey(key);
  EXPECT_EQ(names, std::vector<std::wstring>{L"Child"});
  ASSERT_TRUE(DeleteKeyTree(HKEY_LOCAL_MACHINE, m_key));
  EXPECT_FALSE(IsKeyExist(HKEY_LOCAL_MACHINE, m_key.c_str()));
}

}  // namespace
}  // namespace torvex::test
