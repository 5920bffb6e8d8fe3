#include "sessions/sessions.h"

#include <unistd.h>

#include "core/init_hooks.h"
#include "core/machine.h"
#include "core/strings.h"
#include "process/process.h"
#include "process/terminate.h"
#include "services/scm.h"
#include "windows.h"

namespace winsim::sessions {
namespace {

const char* kSessionSchema =
    "CREATE TABLE IF NOT EXISTS sessions (id INTEGER PRIMARY KEY, kind TEXT NOT NULL,"
    " user TEXT NOT NULL DEFAULT '', sid TEXT NOT NULL DEFAULT '', locked INTEGER NOT NULL DEFAULT 0);";

Database& SessionDb() {
  Database& db = Database::Get();
  db.EnsureSchema("sessions", kSessionSchema);
  return db;
}

SessionKind KindFromText(const std::string& text) {
  if (text == "console") return SessionKind::Console;
  if (text == "remote") return SessionKind::Remote;
  return SessionKind::Services;
}

Session FromRow(const Statement& q) {
  Session s;
  s.id = static_cast<uint32_t>(q.Int(0));
  s.kind = KindFromText(q.Text(1));
  s.userName = WideFromUtf8(q.Text(2));
  s.sid = q.Text(3);
  s.locked = q.Int(4) != 0;
  return s;
}

ChangeResult Failed(const std::string& message) {
  ChangeResult r;
  r.error = message;
  return r;
}

ChangeResult Done(uint32_t sessionId) {
  ChangeResult r;
  r.ok = true;
  r.sessionId = sessionId;
  return r;
}

std::string Narrow(const std::wstring& text) { return Utf8FromWide(text); }

// The session the user is signed in in, or the message that says the user is not.
std::optional<Session> SignedInSession(const std::wstring& userName, std::string* error) {
  auto account = FindUserAccount(userName);
  if (!account) {
    *error = "no user " + Narrow(userName) + " on this machine";
    return std::nullopt;
  }
  auto session = SessionOfUser(account->name);
  if (!session) *error = Narrow(account->name) + " is not signed in";
  return session;
}

ChangeResult SetLocked(const std::wstring& userName, bool locked) {
  uint32_t id = 0;
  {
    Transaction tx;
    std::string error;
    auto session = SignedInSession(userName, &error);
    if (!session) return Failed(error);
    if (session->locked == locked) {
      return Failed(Narrow(session->userName) + "'s session " + std::to_string(session->id) +
                    (locked ? " is already locked" : " is not locked"));
    }
    Statement up(SessionDb().Raw(), "UPDATE sessions SET locked=? WHERE id=?");
    up.Bind(1, static_cast<int64_t>(locked ? 1 : 0)).Bind(2, static_cast<int64_t>(session->id)).Step();
    tx.Commit();
    id = session->id;
  }
  services::SendSessionChange(locked ? WTS_SESSION_LOCK : WTS_SESSION_UNLOCK, id);
  return Done(id);
}

}  // namespace

const char* KindName(SessionKind kind) {
  switch (kind) {
    case SessionKind::Console: return "console";
    case SessionKind::Remote: return "remote";
    default: return "services";
  }
}

std::vector<Session> ListSessions() {
  Statement q(SessionDb().Raw(), "SELECT id, kind, user, sid, locked FROM sessions ORDER BY id");
  std::vector<Session> out;
  while (q.Step()) out.push_back(FromRow(q));
  return out;
}

std::optional<Session> FindSession(uint32_t id) {
  Statement q(SessionDb().Raw(), "SELECT id, kind, user, sid, locked FROM sessions WHERE id=?");
  q.Bind(1, static_cast<int64_t>(id));
  if (!q.Step()) return std::nullopt;
  return FromRow(q);
}

uint32_t ConsoleSessionId() {
  Statement q(SessionDb().Raw(), "SELECT id FROM sessions WHERE kind='console'");
  return q.Step() ? static_cast<uint32_t>(q.Int(0)) : kNoConsoleSession;
}

std::optional<Session> SessionOfUser(const std::wstring& userName) {
  auto account = FindUserAccount(userName);
  if (!account) return std::nullopt;
  Statement q(SessionDb().Raw(), "SELECT id, kind, user, sid, locked FROM sessions WHERE sid=? ORDER BY id");
  q.Bind(1, account->sid);
  if (!q.Step()) return std::nullopt;
  return FromRow(q);
}

uint32_t WhoIsSignedIn(uint32_t sessionId, UserAccount* account) {
  auto session = FindSession(sessionId);
  if (!session) return ERROR_FILE_NOT_FOUND;
  if (session->userName.empty()) return ERROR_NO_TOKEN;
  auto found = FindUserAccount(session->userName);
  if (!found) return ERROR_NO_TOKEN;
  if (account) *account = *found;
  return NO_ERROR;
}

std::vector<int64_t> ProcessesInSession(uint32_t sessionId) {
  std::vector<int64_t> pids;
  for (auto& p : ListProcesses(true)) {
    if (p.sessionId != sessionId || p.pid == getpid() || !IsProcessOfThisMachine(p.pid)) continue;
    pids.push_back(p.pid);
  }
  return pids;
}

ChangeResult Logon(const std::wstring& userName, bool remote) {
  auto account = FindUserAccount(userName);
  if (!account) return Failed("no user " + Narrow(userName) + " on this machine (winsim user add " + Narrow(userName) + ")");
  uint32_t id = 0;
  {
    Transaction tx;
    Database& db = SessionDb();
    if (auto current = SessionOfUser(account->name)) {
      return Failed(Narrow(account->name) + " is already signed in (session " + std::to_string(current->id) + ")");
    }
    if (!remote) {
      auto console = FindSession(kConsoleSessionId);
      if (!console) return Failed("the machine has no console session (winsim session console attach)");
      if (!console->userName.empty()) {
        return Failed("the console is in use by " + Narrow(console->userName) + " (winsim session logoff " +
                      Narrow(console->userName) + " first)");
      }
      id = kConsoleSessionId;
      Statement up(db.Raw(), "UPDATE sessions SET user=?, sid=?, locked=0 WHERE id=?");
      up.Bind(1, Narrow(account->name)).Bind(2, account->sid).Bind(3, static_cast<int64_t>(id)).Step();
    } else {
      // Windows gives a new session the lowest id that no session holds.
      id = kFirstRemoteSessionId;
      Statement used(db.Raw(), "SELECT id FROM sessions WHERE id >= ? ORDER BY id");
      used.Bind(1, static_cast<int64_t>(kFirstRemoteSessionId));
      while (used.Step() && static_cast<uint32_t>(used.Int(0)) == id) ++id;
      Statement ins(db.Raw(), "INSERT INTO sessions(id, kind, user, sid, locked) VALUES(?, 'remote', ?, ?, 0)");
      ins.Bind(1, static_cast<int64_t>(id)).Bind(2, Narrow(account->name)).Bind(3, account->sid).Step();
    }
    tx.Commit();
  }
  services::SendSessionChange(WTS_SESSION_LOGON, id);
  return Done(id);
}

ChangeResult Logoff(const std::wstring& userName) {
  std::string error;
  auto session = SignedInSession(userName, &error);
  if (!session) return Failed(error);
  // The session's programs end before the user is signed out, as Windows ends them.
  for (int64_t pid : ProcessesInSession(session->id)) {
    if (!TerminateMachineProcess(pid, kLogoffExitCode)) {
      if (auto record = FindProcess(pid); record && record->running) {
        return Failed("process " + std::to_string(pid) + " in session " + std::to_string(session->id) +
                      " did not end");
      }
    }
  }
  {
    Transaction tx;
    auto now = FindSession(session->id);
    if (!now || now->sid != session->sid) return Failed(Narrow(session->userName) + " is not signed in");
    Database& db = SessionDb();
    if (now->kind == SessionKind::Console) {
      Statement up(db.Raw(), "UPDATE sessions SET user='', sid='', locked=0 WHERE id=?");
      up.Bind(1, static_cast<int64_t>(now->id)).Step();
    } else {
      Statement del(db.Raw(), "DELETE FROM sessions WHERE id=?");
      del.Bind(1, static_cast<int64_t>(now->id)).Step();
    }
    tx.Commit();
  }
  services::SendSessionChange(WTS_SESSION_LOGOFF, session->id);
  return Done(session->id);
}

ChangeResult Lock(const std::wstring& userName) { return SetLocked(userName, true); }
ChangeResult Unlock(const std::wstring& userName) { return SetLocked(userName, false); }

ChangeResult DetachConsole() {
  {
    Transaction tx;
    auto console = FindSession(kConsoleSessionId);
    if (!console) return Failed("the machine has no console session");
    if (!console->userName.empty()) {
      return Failed(Narrow(console->userName) + " is signed in at the console (winsim session logoff " +
                    Narrow(console->userName) + " first)");
    }
    Statement del(SessionDb().Raw(), "DELETE FROM sessions WHERE id=?");
    del.Bind(1, static_cast<int64_t>(kConsoleSessionId)).Step();
    tx.Commit();
  }
  services::SendSessionChange(WTS_CONSOLE_DISCONNECT, kConsoleSessionId);
  return Done(kConsoleSessionId);
}

ChangeResult AttachConsole() {
  {
    Transaction tx;
    if (FindSession(kConsoleSessionId)) return Failed("the console session is already attached");
    Statement ins(SessionDb().Raw(), "INSERT INTO sessions(id, kind) VALUES(?, 'console')");
    ins.Bind(1, static_cast<int64_t>(kConsoleSessionId)).Step();
    tx.Commit();
  }
  services::SendSessionChange(WTS_CONSOLE_CONNECT, kConsoleSessionId);
  return Done(kConsoleSessionId);
}

}  // namespace winsim::sessions

namespace winsim {

// A fresh machine has the services' session and a console session at which nobody is signed in.
// Running init again keeps the sessions as they are (the console stays detached, if it was).
void InitSessionDefaults() {
  Database& db = sessions::SessionDb();
  Transaction tx;
  Statement probe(db.Raw(), "SELECT 1 FROM sessions WHERE id=0");
  if (!probe.Step()) {
    db.Exec("INSERT INTO sessions(id, kind) VALUES(0, 'services')");
    db.Exec("INSERT INTO sessions(id, kind) VALUES(1, 'console')");
  }
  tx.Commit();
}

}  // namespace winsim
