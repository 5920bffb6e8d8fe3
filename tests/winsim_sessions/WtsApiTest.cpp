// The session queries: WTSGetActiveConsoleSessionId, WTSQuerySessionInformationW, WTSFreeMemory,
// and the machine's answer to who is signed in in a session.
#include <cstring>

#include "SessionTest.h"
#include "core/fault.h"
#include "core/identity.h"
#include "sessions/sessions.h"

namespace winsim::test {
namespace {

using WtsApiTest = SessionTest;

// The raw answer of one query: its bytes, or the error.
struct RawAnswer {
  bool ok = false;
  std::vector<uint8_t> data;
  DWORD error = 0;
};

RawAnswer QueryRaw(DWORD session, WTS_INFO_CLASS infoClass) {
  RawAnswer a;
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  a.ok = WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, infoClass, &buffer, &bytes) != FALSE;
  if (a.ok) {
    auto* p = reinterpret_cast<const uint8_t*>(buffer);
    a.data.assign(p, p + bytes);
    WTSFreeMemory(buffer);
  } else {
    a.error = GetLastError();
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(bytes, 0u);
  }
  return a;
}

template <typename T>
T As(const RawAnswer& a) {
  T value{};
  EXPECT_EQ(a.data.size(), sizeof(T));
  if (a.data.size() == sizeof(T)) std::memcpy(&value, a.data.data(), sizeof(T));
  return value;
}

TEST_F(WtsApiTest, NoConsoleSessionIsNotTheSameAsNobodySignedInAtTheConsole) {
  // Nobody signed in: the console session exists and its user name is the empty string.
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  auto name = QueryText(1, WTSUserName);
  ASSERT_TRUE(name.ok) << name.error;
  EXPECT_EQ(name.text, L"");
  EXPECT_EQ(name.bytes, sizeof(WCHAR));

  SessionOk({"logon", "alice"});
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  name = QueryText(WTSGetActiveConsoleSessionId(), WTSUserName);
  ASSERT_TRUE(name.ok) << name.error;
  EXPECT_EQ(name.text, L"alice");
  EXPECT_EQ(name.bytes, 6 * sizeof(WCHAR));

  // No console: the id is 0xFFFFFFFF and session 1 does not exist at all.
  SessionOk({"logoff", "alice"});
  SessionOk({"console", "detach"});
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
  name = QueryText(1, WTSUserName);
  EXPECT_FALSE(name.ok);
  EXPECT_EQ(name.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  SessionOk({"console", "attach"});
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  EXPECT_EQ(QueryText(1, WTSUserName).text, L"");
}

TEST_F(WtsApiTest, EachClassAnswersForEachKindOfSession) {
  SessionOk({"logon", "alice"});
  SessionOk({"logon", "bob", "--remote"});
  struct Expect {
    DWORD session;
    std::wstring user, domain, station;
    WTS_CONNECTSTATE_CLASS state;
    USHORT protocol;
    BOOLEAN remote;
  };
  const Expect cases[] = {
      {0, L"", L"", L"Services", WTSDisconnected, WTS_PROTOCOL_TYPE_CONSOLE, 0},
      {1, L"alice", L"WINSIM", L"Console", WTSActive, WTS_PROTOCOL_TYPE_CONSOLE, 0},
      {2, L"bob", L"WINSIM", L"RDP-Tcp#0", WTSActive, WTS_PROTOCOL_TYPE_RDP, 1},
  };
  for (const Expect& e : cases) {
    SCOPED_TRACE("session " + std::to_string(e.session));
    EXPECT_EQ(As<ULONG>(QueryRaw(e.session, WTSSessionId)), e.session);
    EXPECT_EQ(QueryText(e.session, WTSUserName).text, e.user);
    EXPECT_EQ(QueryText(e.session, WTSDomainName).text, e.domain);
    EXPECT_EQ(QueryText(e.session, WTSWinStationName).text, e.station);
    EXPECT_EQ(As<WTS_CONNECTSTATE_CLASS>(QueryRaw(e.session, WTSConnectState)), e.state);
    EXPECT_EQ(As<USHORT>(QueryRaw(e.session, WTSClientProtocolType)), e.protocol);
    EXPECT_EQ(As<BOOLEAN>(QueryRaw(e.session, WTSIsRemoteSession)), e.remote);
  }
  // The console at the sign-in screen is connected, not active.
  SessionOk({"logoff", "alice"});
  EXPECT_EQ(As<WTS_CONNECTSTATE_CLASS>(QueryRaw(1, WTSConnectState)), WTSConnected);
  EXPECT_EQ(QueryText(1, WTSDomainName).text, L"");
}

TEST_F(WtsApiTest, CurrentSessionIsTheCallersSession) {
  SessionOk({"logon", "bob", "--remote"});
  RunAsUser(L"bob", 2);
  EXPECT_EQ(As<ULONG>(QueryRaw(WTS_CURRENT_SESSION, WTSSessionId)), 2u);
  EXPECT_EQ(QueryText(WTS_CURRENT_SESSION, WTSUserName).text, L"bob");
  RunAsSystem();
  EXPECT_EQ(As<ULONG>(QueryRaw(WTS_CURRENT_SESSION, WTSSessionId)), 0u);
  EXPECT_EQ(QueryText(WTS_CURRENT_SESSION, WTSUserName).text, L"");
  // A caller whose session has ended asks about a session that no longer exists.
  RunAsUser(L"bob", 2);
  SessionOk({"logoff", "bob"});
  EXPECT_EQ(QueryRaw(WTS_CURRENT_SESSION, WTSSessionId).error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(WtsApiTest, ArgumentsAndUnknownSessionsFailAsWindowsDoes) {
  SessionOk({"logon", "bob", "--remote"});
  struct Case {
    const char* what;
    HANDLE server;
    DWORD session;
    int infoClass;
    bool nullBuffer, nullBytes;
    DWORD error;
  };
  const Case cases[] = {
      {"unknown session", WTS_CURRENT_SERVER_HANDLE, 7, WTSUserName, false, false, ERROR_FILE_NOT_FOUND},
      {"unknown session, id class", WTS_CURRENT_SERVER_HANDLE, 3, WTSSessionId, false, false, ERROR_FILE_NOT_FOUND},
      {"null buffer pointer", WTS_CURRENT_SERVER_HANDLE, 2, WTSUserName, true, false, ERROR_INVALID_PARAMETER},
      {"null size pointer", WTS_CURRENT_SERVER_HANDLE, 2, WTSUserName, false, true, ERROR_INVALID_PARAMETER},
      {"other server", reinterpret_cast<HANDLE>(0x1234), 2, WTSUserName, false, false, ERROR_INVALID_HANDLE},
      {"class past the last", WTS_CURRENT_SERVER_HANDLE, 2, WTSCapabilityCheck + 1, false, false,
       ERROR_INVALID_PARAMETER},
      {"negative class", WTS_CURRENT_SERVER_HANDLE, 2, -1, false, false, ERROR_INVALID_PARAMETER},
      {"class not simulated", WTS_CURRENT_SERVER_HANDLE, 2, WTSClientAddress, false, false, ERROR_NOT_SUPPORTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LPWSTR buffer = reinterpret_cast<LPWSTR>(0x1);  // a stale value the call must not leave behind
    DWORD bytes = 99;
    SetLastError(0);
    BOOL ok = WTSQuerySessionInformationW(c.server, c.session, static_cast<WTS_INFO_CLASS>(c.infoClass),
                                          c.nullBuffer ? nullptr : &buffer, c.nullBytes ? nullptr : &bytes);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), c.error);
    if (!c.nullBuffer) {
      EXPECT_EQ(buffer, nullptr);
    }
    if (!c.nullBytes) {
      EXPECT_EQ(bytes, 0u);
    }
  }
}

TEST_F(WtsApiTest, FaultsReachEachFunction) {
  SessionOk({"logon", "alice"});
  InjectFault("WTSQuerySessionInformationW", ERROR_ACCESS_DENIED, 1);
  auto failed = QueryRaw(1, WTSUserName);
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(QueryText(1, WTSUserName).text, L"alice");  // only the planned call failed

  // The console query has no last error: its failure is the "no console" answer.
  InjectFault("WTSGetActiveConsoleSessionId", 1, -1, 2);  // the second call only
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 0xFFFFFFFFu);
  EXPECT_EQ(WTSGetActiveConsoleSessionId(), 1u);
}

TEST_F(WtsApiTest, WhoIsSignedInTellsNoSessionFromNobody) {
  SessionOk({"logon", "alice"});
  SessionOk({"logon", "bob", "--remote"});
  struct Case {
    uint32_t session;
    uint32_t error;
    const wchar_t* user;
  };
  for (const Case& c : {Case{0, ERROR_NO_TOKEN, nullptr}, Case{1, NO_ERROR, L"alice"}, Case{2, NO_ERROR, L"bob"},
                        Case{3, ERROR_FILE_NOT_FOUND, nullptr}, Case{0xFFFFFFFFu, ERROR_FILE_NOT_FOUND, nullptr}}) {
    SCOPED_TRACE("session " + std::to_string(c.session));
    UserAccount account;
    EXPECT_EQ(sessions::WhoIsSignedIn(c.session, &account), c.error);
    if (c.user) {
      EXPECT_EQ(account.name, c.user);
      EXPECT_EQ(account.sid, FindUserAccount(c.user)->sid);
    }
  }
  SessionOk({"logoff", "alice"});
  EXPECT_EQ(sessions::WhoIsSignedIn(1, nullptr), static_cast<uint32_t>(ERROR_NO_TOKEN));
  SessionOk({"console", "detach"});
  EXPECT_EQ(sessions::WhoIsSignedIn(1, nullptr), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace winsim::test
