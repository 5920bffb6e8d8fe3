// The machine's Remote Desktop Services sessions, kept in the machine database: session 0 for
// services, at most one console session (id 1) and remote sessions (ids 2, 3, ...). A machine
// without a console session (the console detached) is not the same as a console session where
// nobody is signed in: the first has no session 1 at all, the second has one with an empty user.
//
// Logon, logoff, lock and unlock change the state first and then tell every running service that
// accepts it (SERVICE_CONTROL_SESSIONCHANGE with the event type and the session id), so that a
// service that asks who is signed in while it handles the notification sees the new state. A
// logoff ends the processes recorded in the session before it changes anything.
//
// Each user is signed in in at most one session, as Windows restricts users to a single session
// by default.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/identity.h"

namespace winsim::sessions {

constexpr uint32_t kServicesSessionId = 0;
constexpr uint32_t kFirstRemoteSessionId = 2;
// WTSGetActiveConsoleSessionId's answer when no session is attached to the console.
constexpr uint32_t kNoConsoleSession = 0xFFFFFFFFu;
// The exit code recorded for a process that a logoff ends: STATUS_CONTROL_C_EXIT, with which the
// default console control handler ends a process that does not handle the logoff signal.
constexpr uint32_t kLogoffExitCode = 0xC000013Au;

enum class SessionKind { Services, Console, Remote };

struct Session {
  uint32_t id = 0;
  SessionKind kind = SessionKind::Services;
  std::wstring userName;  // the account's name as the machine spells it; empty: nobody signed in
  std::string sid;        // the user's SID; empty when nobody is signed in
  bool locked = false;
};

// Every session, by id.
std::vector<Session> ListSessions();
std::optional<Session> FindSession(uint32_t id);
// The console session's id, or kNoConsoleSession.
uint32_t ConsoleSessionId();
// The session the user (case-insensitive) is signed in in; nullopt when not signed in.
std::optional<Session> SessionOfUser(const std::wstring& userName);

// Who is signed in in the session: NO_ERROR with the account; ERROR_FILE_NOT_FOUND when there is
// no such session; ERROR_NO_TOKEN when nobody is signed in there (session 0 included). These are
// the errors that WTSQueryUserToken documents for the two cases.
uint32_t WhoIsSignedIn(uint32_t sessionId, UserAccount* account);

// The result of a change: ok, the session it concerned, or a one-line message.
struct ChangeResult {
  bool ok = false;
  uint32_t sessionId = 0;
  std::string error;
};

// Signs the user in at the console, or in a new remote session (the lowest free id from 2).
ChangeResult Logon(const std::wstring& userName, bool remote);
// Ends the processes of the user's session (recording kLogoffExitCode), then signs the user out: the
// console session stays with nobody signed in, a remote session ends.
ChangeResult Logoff(const std::wstring& userName);
ChangeResult Lock(const std::wstring& userName);
ChangeResult Unlock(const std::wstring& userName);
// Takes the console session away (refused while someone is signed in there) and brings it back
// with nobody signed in. Services hear WTS_CONSOLE_DISCONNECT and WTS_CONSOLE_CONNECT.
ChangeResult DetachConsole();
ChangeResult AttachConsole();

// The pids of the processes that a logoff of the session ends: running, recorded in that session,
// of this machine.
std::vector<int64_t> ProcessesInSession(uint32_t sessionId);

const char* KindName(SessionKind kind);

}  // namespace winsim::sessions
