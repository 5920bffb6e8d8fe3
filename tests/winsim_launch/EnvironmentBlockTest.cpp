// CreateEnvironmentBlock: the user's own variables for a token, the system's without one, the
// caller's beneath them only when asked, the block's form (sorted, double-terminated, in this
// process's WCHAR), the token rights it needs, and DestroyEnvironmentBlock's refusal of a block
// it did not make.
#include <cstdlib>
#include <utility>
#include <vector>

#include "LaunchTest.h"
#include "core/identity.h"
#include "sessions/sessions.h"
#include "userenv.h"
#include "wtsapi32.h"

namespace winsim::test {
namespace {

using Entries = std::vector<std::pair<std::wstring, std::wstring>>;

class EnvironmentBlockTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    AddUser("alice", "D");
    ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
    // The caller, LocalSystem, has a variable of its own.
    setenv("WINSIM_ENV_CALLER_ONLY", "yes", 1);
    setenv("WINSIM_ENV_USERNAME", "caller", 1);
    RunAsSystem();
    ASSERT_TRUE(WTSQueryUserToken(1, &m_token));
  }

  void TearDown() override {
    if (m_token) CloseHandle(m_token);
    unsetenv("WINSIM_ENV_CALLER_ONLY");
    unsetenv("WINSIM_ENV_USERNAME");
    RunAsAdministrator();
    LaunchTest::TearDown();
  }

  // The entries of a block, checking its form on the way: every entry NAME=value, then one more
  // terminator.
  static Entries Read(const void* block) {
    Entries entries;
    const WCHAR* p = static_cast<const WCHAR*>(block);
    while (*p) {
      std::wstring entry(p);
      p += entry.size() + 1;
      size_t eq = entry.find(L'=');
      EXPECT_NE(eq, std::wstring::npos) << Utf8FromWide(entry);
      if (eq != std::wstring::npos) entries.emplace_back(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return entries;
  }

  static std::optional<std::wstring> Find(const Entries& entries, const std::wstring& name) {
    for (const auto& [key, value] : entries) {
      if (EqualsNoCase(key, name)) return value;
    }
    return std::nullopt;
  }

  Entries Make(HANDLE token, BOOL inherit) {
    void* block = nullptr;
    EXPECT_TRUE(CreateEnvironmentBlock(&block, token, inherit)) << GetLastError();
    if (!block) return {};
    Entries entries = Read(block);
    EXPECT_TRUE(DestroyEnvironmentBlock(block));
    return entries;
  }

  HANDLE m_token = nullptr;
};

TEST_F(EnvironmentBlockTest, TheBlockHoldsTheUsersOwnVariablesAndNotTheCallers) {
  Entries entries = Make(m_token, FALSE);
  auto alice = *FindUserAccount(L"alice");
  EXPECT_EQ(Find(entries, L"USERNAME"), std::wstring(L"alice"));
  EXPECT_EQ(Find(entries, L"USERPROFILE"), alice.profile);
  EXPECT_EQ(Find(entries, L"TEMP"), alice.tempFolder);
  EXPECT_EQ(Find(entries, L"TMP"), alice.tempFolder);
  EXPECT_EQ(alice.tempFolder.substr(0, 2), L"D:");
  EXPECT_EQ(Find(entries, L"APPDATA"), alice.profile + L"\\AppData\\Roaming");
  EXPECT_EQ(Find(entries, L"SystemRoot"), std::wstring(L"C:\\Windows"));
  EXPECT_FALSE(Find(entries, L"CALLER_ONLY").has_value());
  // Sorted by name without regard to case.
  for (size_t i = 1; i < entries.size(); ++i) {
    EXPECT_LT(UpperCase(entries[i - 1].first), UpperCase(entries[i].first));
  }
}

TEST_F(EnvironmentBlockTest, InheritingAddsTheCallersVariablesBeneathTheUsers) {
  Entries entries = Make(m_token, TRUE);
  EXPECT_EQ(Find(entries, L"CALLER_ONLY"), std::wstring(L"yes"));
  EXPECT_EQ(Find(entries, L"USERNAME"), std::wstring(L"alice"));
  size_t usernames = 0;
  for (const auto& entry : entries) usernames += EqualsNoCase(entry.first, L"USERNAME") ? 1 : 0;
  EXPECT_EQ(usernames, 1u);
}

TEST_F(EnvironmentBlockTest, WithoutATokenOnlyTheSystemsVariables) {
  Entries entries = Make(nullptr, FALSE);
  EXPECT_EQ(Find(entries, L"SystemRoot"), std::wstring(L"C:\\Windows"));
  EXPECT_EQ(Find(entries, L"TEMP"), std::wstring(L"C:\\Windows\\Temp"));
  EXPECT_FALSE(Find(entries, L"USERPROFILE").has_value());
  EXPECT_FALSE(Find(entries, L"USERNAME").has_value());
  EXPECT_FALSE(Find(entries, L"CALLER_ONLY").has_value());
}

TEST_F(EnvironmentBlockTest, TheTokenNeedsQueryAndDuplicateRightsAndTheBlockItsMaker) {
  HANDLE queryOnly = nullptr, impersonation = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(m_token, TOKEN_QUERY, nullptr, SecurityImpersonation, TokenPrimary, &queryOnly));
  ASSERT_TRUE(DuplicateTokenEx(m_token, TOKEN_QUERY, nullptr, SecurityImpersonation, TokenImpersonation,
                               &impersonation));
  void* block = nullptr;
  EXPECT_FALSE(CreateEnvironmentBlock(&block, queryOnly, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // An impersonation token needs only the right to query.
  EXPECT_EQ(Find(Make(impersonation, FALSE), L"USERNAME"), std::wstring(L"alice"));
  EXPECT_FALSE(CreateEnvironmentBlock(&block, reinterpret_cast<HANDLE>(0x7777), FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CreateEnvironmentBlock(nullptr, m_token, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(queryOnly);
  CloseHandle(impersonation);

  ASSERT_TRUE(CreateEnvironmentBlock(&block, m_token, FALSE));
  WCHAR foreign[4] = {L'A', L'=', 0, 0};
  EXPECT_FALSE(DestroyEnvironmentBlock(foreign));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(DestroyEnvironmentBlock(block));
  EXPECT_FALSE(DestroyEnvironmentBlock(block));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace winsim::test
