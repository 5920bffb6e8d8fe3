// winsim session: sign users in and out, lock and unlock their sessions, list the sessions, and
// take the console session away and back. Every change reaches the running services that accept
// session-change notifications.
#include <cstdio>

#include "command.h"
#include "core/strings.h"
#include "sessions/sessions.h"

namespace winsim::cli {
namespace {

const char* kUsage =
    "usage: winsim session logon NAME [--remote] | logoff|lock|unlock NAME | list | console [detach|attach]";

int List() {
  std::printf("%-4s %-9s %-20s %s\n", "ID", "TYPE", "USER", "LOCKED");
  for (auto& s : sessions::ListSessions()) {
    std::string user = s.userName.empty() ? "-" : Utf8FromWide(s.userName);
    std::printf("%-4u %-9s %-20s %s\n", s.id, sessions::KindName(s.kind), user.c_str(), s.locked ? "yes" : "no");
  }
  return 0;
}

int Console(const Args& args) {
  if (args.empty()) {
    uint32_t id = sessions::ConsoleSessionId();
    if (id == sessions::kNoConsoleSession) {
      std::printf("none\n");
    } else {
      std::printf("%u\n", id);
    }
    return 0;
  }
  if (args.size() != 1) return Fail("usage: winsim session console [detach|attach]");
  sessions::ChangeResult r;
  if (args[0] == "detach") {
    r = sessions::DetachConsole();
  } else if (args[0] == "attach") {
    r = sessions::AttachConsole();
  } else {
    return Fail("unknown console sub-command '" + args[0] + "' (detach or attach)");
  }
  return r.ok ? 0 : Fail(r.error);
}

int Session(const Args& argsIn) {
  Args args = argsIn;
  bool remote = TakeFlag(args, "--remote");
  if (args.empty()) return Fail(kUsage);
  std::string sub = args[0];
  args.erase(args.begin());
  if (sub == "console") {
    if (remote) return Fail("--remote goes with logon only");
    return Console(args);
  }
  if (sub == "list") {
    if (remote || !args.empty()) return Fail("usage: winsim session list");
    return List();
  }
  if (sub != "logon" && sub != "logoff" && sub != "lock" && sub != "unlock") {
    return Fail("unknown session sub-command '" + sub + "'");
  }
  if (args.size() != 1) return Fail("usage: winsim session " + sub + " NAME" + (sub == "logon" ? " [--remote]" : ""));
  if (remote && sub != "logon") return Fail("--remote goes with logon only");
  std::wstring name = WideFromUtf8(args[0]);
  sessions::ChangeResult r = sub == "logon"    ? sessions::Logon(name, remote)
                             : sub == "logoff" ? sessions::Logoff(name)
                             : sub == "lock"   ? sessions::Lock(name)
                                               : sessions::Unlock(name);
  if (!r.ok) return Fail(r.error);
  // A logon tells which session the user got, so that scripts can use it (winsim run --session).
  if (sub == "logon") std::printf("%u\n", r.sessionId);
  return 0;
}

Registrar sessionCommand(
    {"session",
     "winsim session logon NAME [--remote]       sign NAME in at the console, or in a new remote session;\n"
     "                                           prints the session id\n"
     "winsim session logoff|lock|unlock NAME     sign NAME out (the session's processes end), lock, unlock\n"
     "winsim session list                        the sessions: id, type (services, console, remote), user, locked\n"
     "winsim session console [detach|attach]     print the console session id (or none); take the console\n"
     "                                           session away (nobody may be signed in there) or bring it back",
     Session});

}  // namespace
}  // namespace winsim::cli
