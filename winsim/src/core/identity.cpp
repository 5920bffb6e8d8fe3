#include "core/identity.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "core/machine.h"
#include "core/strings.h"

extern char** environ;

namespace winsim {
namespace {

std::mutex g_identityLock;
std::optional<Identity> g_identity;
std::optional<std::map<std::wstring, std::wstring>> g_windowsEnv;

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

Identity IdentityFromEnvironment() {
  const char* account = std::getenv("WINSIM_ACCOUNT");
  const char* session = std::getenv("WINSIM_SESSION");
  uint32_t sessionId = session ? static_cast<uint32_t>(std::strtoul(session, nullptr, 10)) : kConsoleSessionId;
  Identity id;
  if (account && std::strcmp(account, "system") == 0) {
    id = SystemIdentity();
    id.sessionId = session ? sessionId : 0;
  } else if (account && std::strcmp(account, "user") == 0) {
    const char* user = std::getenv("WINSIM_USER");
    const char* sid = std::getenv("WINSIM_SID");
    id.kind = AccountKind::User;
    id.userName = WideFromUtf8(user ? user : "");
    id.sid = sid ? sid : "";
    id.sessionId = sessionId;
  } else {
    id = AdministratorIdentity(sessionId);
    const char* sid = std::getenv("WINSIM_SID");
    if (sid) id.sid = sid;
  }
  if (const char* caps = std::getenv("WINSIM_CAPABILITIES")) id.capabilitySids = Split(caps, ',');
  if (const char* package = std::getenv("WINSIM_APPCONTAINER_SID")) id.appContainerSid = package;
  return id;
}

}  // namespace

const Identity& CurrentIdentity() {
  std::lock_guard<std::mutex> lock(g_identityLock);
  if (!g_identity) g_identity = IdentityFromEnvironment();
  return *g_identity;
}

void SetCurrentIdentity(const Identity& identity) {
  std::lock_guard<std::mutex> lock(g_identityLock);
  g_identity = identity;
  g_windowsEnv.reset();
}

Identity SystemIdentity() {
  Identity id;
  id.kind = AccountKind::System;
  id.userName = L"SYSTEM";
  id.sid = kSystemSid;
  id.sessionId = 0;
  return id;
}

bool Identity::IsAnonymous() const { return sid == kAnonymousSid; }

Identity AnonymousIdentity() {
  Identity id;
  id.kind = AccountKind::User;
  id.userName = L"ANONYMOUS LOGON";
  id.sid = kAnonymousSid;
  id.sessionId = 0;
  return id;
}

Identity AdministratorIdentity(uint32_t session) {
  Identity id;
  id.kind = AccountKind::Administrator;
  id.userName = L"Administrator";
  id.sessionId = session;
  if (HasMachine()) {
    if (auto account = FindUserAccount(L"Administrator")) id.sid = account->sid;
  }
  return id;
}

std::optional<Identity> UserIdentity(const std::wstring& name, uint32_t session) {
  auto account = FindUserAccount(name);
  if (!account) return std::nullopt;
  Identity id;
  id.kind = EqualsNoCase(name, L"Administrator") ? AccountKind::Administrator : AccountKind::User;
  id.userName = account->name;
  id.sid = account->sid;
  id.sessionId = session;
  return id;
}

std::map<std::wstring, std::wstring> DefaultWindowsEnvironment(const Identity& identity) {
  std::map<std::wstring, std::wstring> env;
  env[L"SystemDrive"] = L"C:";
  env[L"SystemRoot"] = L"C:\\Windows";
  env[L"windir"] = L"C:\\Windows";
  env[L"ComputerName"] = L"WINSIM";
  env[L"PATH"] = L"C:\\Windows\\system32;C:\\Windows";
  env[L"USERNAME"] = identity.userName;
  if (identity.kind == AccountKind::System) {
    // LocalSystem's TMP and TEMP point into the Windows folder.
    env[L"USERPROFILE"] = L"C:\\Windows\\system32\\config\\systemprofile";
    env[L"TMP"] = L"C:\\Windows\\Temp";
    env[L"TEMP"] = L"C:\\Windows\\Temp";
    env[L"USERNAME"] = L"WINSIM$";
  } else {
    std::optional<UserAccount> account;
    if (HasMachine()) account = FindUserAccount(identity.userName);
    std::wstring profile = account ? account->profile : L"C:\\Users\\" + identity.userName;
    std::wstring temp = account ? account->tempFolder : profile + L"\\AppData\\Local\\Temp";
    env[L"USERPROFILE"] = profile;
    env[L"HOMEDRIVE"] = L"C:";
    env[L"HOMEPATH"] = profile.substr(2);
    env[L"APPDATA"] = profile + L"\\AppData\\Roaming";
    env[L"LOCALAPPDATA"] = profile + L"\\AppData\\Local";
    env[L"TMP"] = temp;
    env[L"TEMP"] = temp;
  }
  return env;
}

const std::map<std::wstring, std::wstring>& CurrentWindowsEnvironment() {
  const Identity& identity = CurrentIdentity();
  std::lock_guard<std::mutex> lock(g_identityLock);
  if (!g_windowsEnv) {
    std::map<std::wstring, std::wstring> env;
    bool any = false;
    for (char** e = environ; e && *e; ++e) {
      if (std::strncmp(*e, "WINSIM_ENV_", 11) != 0) continue;
      const char* eq = std::strchr(*e, '=');
      if (!eq) continue;
      any = true;
      env[WideFromUtf8(std::string(static_cast<const char*>(*e + 11), eq))] = WideFromUtf8(eq + 1);
    }
    g_windowsEnv = any ? env : DefaultWindowsEnvironment(identity);
  }
  return *g_windowsEnv;
}

std::optional<std::wstring> WindowsEnvironmentVariable(const std::wstring& name) {
  for (const auto& [key, value] : CurrentWindowsEnvironment()) {
    if (EqualsNoCase(key, name)) return value;
  }
  return std::nullopt;
}

std::vector<std::string> ChildEnvironment(const Identity& identity,
                                          const std::map<std::wstring, std::wstring>& windowsEnv) {
  std::vector<std::string> out;
  const char* kind = identity.kind == AccountKind::System ? "system"
                     : identity.kind == AccountKind::User ? "user"
                                                          : "admin";
  out.push_back(std::string("WINSIM_ACCOUNT=") + kind);
  out.push_back("WINSIM_USER=" + Utf8FromWide(identity.userName));
  out.push_back("WINSIM_SID=" + identity.sid);
  out.push_back("WINSIM_SESSION=" + std::to_string(identity.sessionId));
  std::string caps;
  for (const auto& c : identity.capabilitySids) caps += (caps.empty() ? "" : ",") + c;
  out.push_back("WINSIM_CAPABILITIES=" + caps);
  out.push_back("WINSIM_APPCONTAINER_SID=" + identity.appContainerSid);
  for (const auto& [key, value] : windowsEnv) {
    out.push_back("WINSIM_ENV_" + Utf8FromWide(key) + "=" + Utf8FromWide(value));
  }
  return out;
}

}  // namespace winsim
