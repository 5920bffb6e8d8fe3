// Who the current process runs as. A process started through winsim carries its identity in its
// environment (WINSIM_ACCOUNT, WINSIM_USER, WINSIM_SESSION, and for an app container process
// WINSIM_CAPABILITIES and WINSIM_APPCONTAINER_SID); a process that carries none runs as the
// machine's administrator in the console session, as from an elevated command prompt. Tests may
// switch the identity of their own process.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace winsim {

enum class AccountKind { System, Administrator, User };

struct Identity {
  AccountKind kind = AccountKind::Administrator;
  std::wstring userName;  // "SYSTEM", "Administrator" or the user's name
  std::string sid;        // string SID of the user
  uint32_t sessionId = 1;
  std::vector<std::string> capabilitySids;
  // The package SID (S-1-15-2-...) of an app container process; empty for a full-trust process.
  std::string appContainerSid;
  // LocalSystem and administrators may write under HKEY_LOCAL_MACHINE and change services.
  bool IsPrivileged() const { return kind != AccountKind::User; }
  // A process that carries capabilities or a package SID runs in an app container: access checks
  // must admit both its user and its package or capabilities.
  bool IsAppContainer() const { return !appContainerSid.empty() || !capabilitySids.empty(); }
  // A caller the machine does not know: ANONYMOUS LOGON, member of Everyone and nothing else.
  bool IsAnonymous() const;
};

struct UserAccount {
  std::wstring name;
  std::string sid;
  std::wstring profile;     // Windows path, e.g. C:\Users\NAME
  std::wstring tempFolder;  // Windows path without trailing backslash
};

constexpr const char* kSystemSid = "S-1-5-18";
constexpr const char* kAnonymousSid = "S-1-5-7";
constexpr uint32_t kConsoleSessionId = 1;

const Identity& CurrentIdentity();
void SetCurrentIdentity(const Identity& identity);

Identity SystemIdentity();
// A local caller that the machine does not know (a process it did not start).
Identity AnonymousIdentity();
Identity AdministratorIdentity(uint32_t session = kConsoleSessionId);
// The named user's identity; nullopt when the machine has no such user.
std::optional<Identity> UserIdentity(const std::wstring& name, uint32_t session = kConsoleSessionId);

std::optional<UserAccount> FindUserAccount(const std::wstring& name);
std::vector<UserAccount> ListUserAccounts();
// Adds a user with a profile under C:\Users\NAME and a temporary folder on the given drive.
// Fails (false) when the name is taken.
bool AddUserAccount(const std::wstring& name, wchar_t tempDrive, std::wstring* error);

// The Windows environment block of a process of that identity (TMP, TEMP, USERPROFILE, …).
std::map<std::wstring, std::wstring> DefaultWindowsEnvironment(const Identity& identity);
// The current process's Windows environment: what its starter gave it (WINSIM_ENV_*), or the
// default for its identity.
const std::map<std::wstring, std::wstring>& CurrentWindowsEnvironment();
std::optional<std::wstring> WindowsEnvironmentVariable(const std::wstring& name);

// Linux environment entries ("NAME=value") that hand an identity and a Windows environment to a
// child process.
std::vector<std::string> ChildEnvironment(const Identity& identity,
                                          const std::map<std::wstring, std::wstring>& windowsEnv);

}  // namespace winsim
