// User tokens: who may take a signed-in user's token and what it carries, duplication into primary
// and impersonation tokens with their level and access rules, the sizing protocol of
// GetTokenInformation, the process's own token, and capabilities carried by a token.
#include <vector>

#include "LaunchTest.h"
#include "core/identity.h"
#include "security/sid.h"
#include "sessions/sessions.h"
#include "wtsapi32.h"

namespace winsim::test {
namespace {

class TokenTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    AddUser("alice");
    AddUser("bob");
    ASSERT_TRUE(sessions::Logon(L"alice", false).ok);
    ASSERT_TRUE(sessions::Logon(L"bob", true).ok);  // session 2
  }

  void TearDown() override {
    for (HANDLE token : m_tokens) CloseHandle(token);
    RunAsAdministrator();
    LaunchTest::TearDown();
  }

  HANDLE Keep(HANDLE token) {
    m_tokens.push_back(token);
    return token;
  }

  // The signed-in user's token, taken as LocalSystem; the caller's identity is restored.
  HANDLE UserToken(DWORD session) {
    Identity caller = CurrentIdentity();
    RunAsSystem();
    HANDLE token = nullptr;
    EXPECT_TRUE(WTSQueryUserToken(session, &token)) << GetLastError();
    SetCurrentIdentity(caller);
    return Keep(token);
  }

  std::string UserSid(HANDLE token) {
    DWORD size = 0;
    EXPECT_FALSE(GetTokenInformation(token, TokenUser, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<unsigned char> buffer(size);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return "<error " + std::to_string(GetLastError()) + ">";
    return security::SidToString(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  }

  DWORD Session(HANDLE token) {
    DWORD session = 0xFFFF, size = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenSessionId, &session, sizeof(session), &size)) << GetLastError();
    EXPECT_EQ(size, sizeof(DWORD));
    return session;
  }

  std::string SidOfUser(const char* name) { return FindUserAccount(WideFromUtf8(name))->sid; }

  std::vector<HANDLE> m_tokens;
};

TEST_F(TokenTest, OnlyLocalSystemTakesTheTokenOfTheUserSignedInInASession) {
  enum class Caller { System, Administrator, Alice };
  struct Case {
    Caller caller;
    DWORD session;
    DWORD expected;     // the error, or 0
    const char* user;   // who the token is for
  } cases[] = {
      {Caller::System, 1, 0, "alice"},
      {Caller::System, 2, 0, "bob"},
      {Caller::System, 0, ERROR_NO_TOKEN, nullptr},
      {Caller::System, 9, ERROR_FILE_NOT_FOUND, nullptr},
      {Caller::Administrator, 1, ERROR_PRIVILEGE_NOT_HELD, nullptr},
      {Caller::Alice, 1, ERROR_PRIVILEGE_NOT_HELD, nullptr},
      {Caller::Alice, 2, ERROR_PRIVILEGE_NOT_HELD, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("session " + std::to_string(c.session) + ", caller " + std::to_string(static_cast<int>(c.caller)));
    if (c.caller == Caller::System) RunAsSystem();
    if (c.caller == Caller::Administrator) RunAsAdministrator();
    if (c.caller == Caller::Alice) RunAsUser(L"alice", 1);
    HANDLE token = reinterpret_cast<HANDLE>(0x1);
    BOOL ok = WTSQueryUserToken(c.session, &token);
    DWORD error = GetLastError();
    if (c.expected != 0) {
      EXPECT_FALSE(ok);
      EXPECT_EQ(error, c.expected);
      EXPECT_EQ(token, nullptr);
      continue;
    }
    ASSERT_TRUE(ok) << error;
    Keep(token);
    EXPECT_EQ(UserSid(token), SidOfUser(c.user));
    EXPECT_EQ(Session(token), c.session);
    TOKEN_TYPE type{};
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenType, &type, sizeof(type), &size));
    EXPECT_EQ(type, TokenPrimary);
  }
  RunAsSystem();
  EXPECT_FALSE(WTSQueryUserToken(1, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(TokenTest, AConsoleWithNobodySignedInHasNoToken) {
  ASSERT_TRUE(sessions::Logoff(L"alice").ok);
  RunAsSystem();
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  HANDLE token = nullptr;
  EXPECT_FALSE(WTSQueryUserToken(1, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  // Once someone signs in there, the token is theirs.
  ASSERT_TRUE(sessions::Logoff(L"bob").ok);
  ASSERT_TRUE(sessions::Logon(L"bob", false).ok);
  ASSERT_TRUE(WTSQueryUserToken(1, &token));
  Keep(token);
  EXPECT_EQ(UserSid(token), SidOfUser("bob"));
}

TEST_F(TokenTest, DuplicatesKeepTheUserAndSessionWithinTheLevelAndAccessRules) {
  RunAsSystem();
  HANDLE user = UserToken(1);
  HANDLE primary = nullptr, identification = nullptr, impersonation = nullptr;
  // The service's road: a primary token with the same access as the source.
  ASSERT_TRUE(DuplicateTokenEx(user, 0, nullptr, SecurityImpersonation, TokenPrimary, &primary)) << GetLastError();
  Keep(primary);
  EXPECT_EQ(UserSid(primary), SidOfUser("alice"));
  EXPECT_EQ(Session(primary), 1u);
  ASSERT_TRUE(DuplicateTokenEx(user, TOKEN_QUERY | TOKEN_DUPLICATE, nullptr, SecurityIdentification,
                               TokenImpersonation, &identification));
  Keep(identification);
  ASSERT_TRUE(DuplicateTokenEx(user, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenImpersonation,
                               &impersonation));
  Keep(impersonation);
  SECURITY_IMPERSONATION_LEVEL level{};
  DWORD size = 0;
  ASSERT_TRUE(GetTokenInformation(identification, TokenImpersonationLevel, &level, sizeof(level), &size));
  EXPECT_EQ(level, SecurityIdentification);
  // A primary token has no impersonation level.
  EXPECT_FALSE(GetTokenInformation(primary, TokenImpersonationLevel, &level, sizeof(level), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  struct Case {
    const char* name;
    HANDLE source;
    DWORD access;
    int level;
    int type;
    bool nullOut;
    DWORD expected;
  } cases[] = {
      {"raise an identification token's level", identification, 0, SecurityImpersonation, TokenImpersonation, false,
       ERROR_BAD_IMPERSONATION_LEVEL},
      {"primary token from an identification token", identification, 0, SecurityImpersonation, TokenPrimary, false,
       ERROR_BAD_IMPERSONATION_LEVEL},
      {"source without TOKEN_DUPLICATE", nullptr, 0, SecurityImpersonation, TokenPrimary, false, ERROR_ACCESS_DENIED},
      {"no such type", user, 0, SecurityImpersonation, 3, false, ERROR_INVALID_PARAMETER},
      {"no such level", user, 0, 7, TokenPrimary, false, ERROR_INVALID_PARAMETER},
      {"not a token", reinterpret_cast<HANDLE>(0x7777), 0, SecurityImpersonation, TokenPrimary, false,
       ERROR_INVALID_HANDLE},
      {"nowhere to put it", user, 0, SecurityImpersonation, TokenPrimary, true, ERROR_NOACCESS},
  };
  HANDLE queryOnly = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(user, TOKEN_QUERY, nullptr, SecurityImpersonation, TokenPrimary, &queryOnly));
  Keep(queryOnly);
  cases[2].source = queryOnly;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE out = nullptr;
    EXPECT_FALSE(DuplicateTokenEx(c.source, c.access, nullptr, static_cast<SECURITY_IMPERSONATION_LEVEL>(c.level),
                                  static_cast<TOKEN_TYPE>(c.type), c.nullOut ? nullptr : &out));
    EXPECT_EQ(GetLastError(), c.expected);
  }
  // Lowering the level is allowed.
  HANDLE lowered = nullptr;
  EXPECT_TRUE(DuplicateTokenEx(impersonation, 0, nullptr, SecurityIdentification, TokenImpersonation, &lowered));
  Keep(lowered);
}

TEST_F(TokenTest, GetTokenInformationSizesAndRefusesAsDocumented) {
  HANDLE user = UserToken(1);
  DWORD size = 0;
  // Variable size: ERROR_INSUFFICIENT_BUFFER and the size needed, then the answer.
  EXPECT_FALSE(GetTokenInformation(user, TokenUser, nullptr, 0, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(size, sizeof(TOKEN_USER));
  std::vector<unsigned char> buffer(size - 1);
  EXPECT_FALSE(GetTokenInformation(user, TokenUser, buffer.data(), size - 1, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  // Fixed size: ERROR_BAD_LENGTH.
  WORD half = 0;
  EXPECT_FALSE(GetTokenInformation(user, TokenSessionId, &half, sizeof(half), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
  EXPECT_EQ(size, sizeof(DWORD));
  // Classes out of range, not simulated, no query right, no length pointer.
  DWORD value = 0;
  EXPECT_FALSE(GetTokenInformation(user, static_cast<TOKEN_INFORMATION_CLASS>(0), &value, sizeof(value), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(GetTokenInformation(user, TokenGroups, &value, sizeof(value), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  RunAsSystem();
  HANDLE noQuery = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(user, TOKEN_DUPLICATE, nullptr, SecurityImpersonation, TokenPrimary, &noQuery));
  Keep(noQuery);
  EXPECT_FALSE(GetTokenInformation(noQuery, TokenSessionId, &value, sizeof(value), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(GetTokenInformation(user, TokenSessionId, &value, sizeof(value), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
  // Elevation: LocalSystem's own token is elevated, a standard user's is not.
  TOKEN_ELEVATION elevation{};
  ASSERT_TRUE(GetTokenInformation(GetCurrentProcessToken(), TokenElevation, &elevation, sizeof(elevation), &size));
  EXPECT_EQ(elevation.TokenIsElevated, 1u);
  ASSERT_TRUE(GetTokenInformation(user, TokenElevation, &elevation, sizeof(elevation), &size));
  EXPECT_EQ(elevation.TokenIsElevated, 0u);
}

TEST_F(TokenTest, AProcessOpensItsOwnTokenButNotAnotherUsers) {
  RunAsUser(L"alice", 1);
  HANDLE own = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) << GetLastError();
  Keep(own);
  EXPECT_EQ(UserSid(own), SidOfUser("alice"));
  EXPECT_EQ(Session(own), 1u);
  EXPECT_EQ(Session(GetCurrentProcessToken()), 1u);
  DWORD value = 0, size = 0;
  EXPECT_FALSE(GetTokenInformation(GetCurrentThreadToken(), TokenSessionId, &value, sizeof(value), &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x7777), TOKEN_QUERY, &own));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // A process of bob's, started by LocalSystem.
  PlantProbe();
  HANDLE bob = UserToken(2);
  RunAsSystem();
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info;
  std::wstring line = Probe() + L" sleep";
  ASSERT_TRUE(CreateProcessAsUserW(bob, nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &info))
      << GetLastError();
  m_processes.push_back(info.hProcess);
  CloseHandle(info.hThread);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(info.hProcess, TOKEN_QUERY, &token));
  Keep(token);
  EXPECT_EQ(UserSid(token), SidOfUser("bob"));
  EXPECT_EQ(Session(token), 2u);
  RunAsUser(L"alice", 1);
  EXPECT_FALSE(OpenProcessToken(info.hProcess, TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  // Closing a token handle works once.
  HANDLE closing = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &closing));
  EXPECT_TRUE(CloseHandle(closing));
  EXPECT_FALSE(CloseHandle(closing));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(TokenTest, AnAppContainerTokenCarriesItsPackageAndCapabilities) {
  Identity app = *UserIdentity(L"alice", 1);
  app.appContainerSid = "S-1-15-2-1111-2222-3333-4444-5555-6666-7777";
  app.capabilitySids = {"S-1-15-3-1024-1-2-3-4-5-6-7-8", "S-1-15-3-1"};
  SetCurrentIdentity(app);
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  Keep(token);
  DWORD isApp = 0, size = 0;
  ASSERT_TRUE(GetTokenInformation(token, TokenIsAppContainer, &isApp, sizeof(isApp), &size));
  EXPECT_EQ(isApp, 1u);
  ASSERT_FALSE(GetTokenInformation(token, TokenAppContainerSid, nullptr, 0, &size));
  std::vector<unsigned char> buffer(size);
  ASSERT_TRUE(GetTokenInformation(token, TokenAppContainerSid, buffer.data(), size, &size));
  EXPECT_EQ(security::SidToString(reinterpret_cast<TOKEN_APPCONTAINER_INFORMATION*>(buffer.data())->TokenAppContainer),
            app.appContainerSid);
  ASSERT_FALSE(GetTokenInformation(token, TokenCapabilities, nullptr, 0, &size));
  buffer.assign(size, 0);
  ASSERT_TRUE(GetTokenInformation(token, TokenCapabilities, buffer.data(), size, &size));
  auto* groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
  ASSERT_EQ(groups->GroupCount, 2u);
  EXPECT_EQ(security::SidToString(groups->Groups[0].Sid), app.capabilitySids[0]);
  EXPECT_EQ(security::SidToString(groups->Groups[1].Sid), app.capabilitySids[1]);
  // The capability check reads the token's own identity.
  auto capability = security::SidFromString(app.capabilitySids[1]);
  auto other = security::SidFromString("S-1-15-3-2");
  BOOL has = FALSE;
  ASSERT_TRUE(CheckTokenCapability(token, capability->data(), &has));
  EXPECT_TRUE(has);
  ASSERT_TRUE(CheckTokenCapability(token, other->data(), &has));
  EXPECT_FALSE(has);
  // A full-trust token has neither.
  RunAsUser(L"alice", 1);
  ASSERT_TRUE(GetTokenInformation(GetCurrentProcessToken(), TokenIsAppContainer, &isApp, sizeof(isApp), &size));
  EXPECT_EQ(isApp, 0u);
  ASSERT_TRUE(CheckTokenCapability(token, capability->data(), &has));
  EXPECT_TRUE(has);
  HANDLE plain = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &plain));
  Keep(plain);
  ASSERT_TRUE(CheckTokenCapability(plain, capability->data(), &has));
  EXPECT_FALSE(has);
}

}  // namespace
}  // namespace winsim::test
