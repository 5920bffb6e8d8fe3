// User accounts of the machine: the built-in Administrator and the users that 'winsim user add'
// creates, each with a SID under the machine's domain SID, a profile and a temporary folder.
#include <sys/stat.h>

#include <filesystem>
#include <cwctype>
#include <random>

#include "core/identity.h"
#include "core/init_hooks.h"
#include "core/machine.h"
#include "core/paths.h"
#include "core/strings.h"
#include "registry/store.h"

namespace winsim {
namespace {

const char* kAccountSchema =
    "CREATE TABLE IF NOT EXISTS machine_settings (name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS users (name TEXT PRIMARY KEY COLLATE NOCASE, sid TEXT NOT NULL UNIQUE,"
    " rid INTEGER NOT NULL, profile TEXT NOT NULL, temp TEXT NOT NULL);";

Database& AccountDb() {
  Database& db = Database::Get();
  db.EnsureSchema("accounts", kAccountSchema);
  return db;
}

std::string MachineDomainSid() {
  Database& db = AccountDb();
  {
    Statement q(db.Raw(), "SELECT value FROM machine_settings WHERE name='domain_sid'");
    if (q.Step()) return q.Text(0);
  }
  std::random_device rd;
  std::string sid = "S-1-5-21-" + std::to_string(rd() % 4000000000u) + "-" + std::to_string(rd() % 4000000000u) +
                    "-" + std::to_string(rd() % 4000000000u);
  Statement ins(db.Raw(), "INSERT OR IGNORE INTO machine_settings(name, value) VALUES('domain_sid', ?)");
  ins.Bind(1, sid).Step();
  Statement q(db.Raw(), "SELECT value FROM machine_settings WHERE name='domain_sid'");
  q.Step();
  return q.Text(0);
}

void MakeWindowsFolder(const std::wstring& path) {
  if (auto linux = LinuxPathOf(path)) std::filesystem::create_directories(*linux);
}

void CreateProfileFolders(const UserAccount& account) {
  for (const wchar_t* sub : {L"\\Desktop", L"\\Documents", L"\\AppData\\Roaming", L"\\AppData\\Local\\Packages"}) {
    MakeWindowsFolder(account.profile + sub);
  }
  MakeWindowsFolder(account.tempFolder);
}

bool InsertAccount(const std::wstring& name, int64_t rid, wchar_t tempDrive, std::wstring* error) {
  Database& db = AccountDb();
  Transaction tx;
  Statement exists(db.Raw(), "SELECT 1 FROM users WHERE name=?");
  exists.Bind(1, Utf8FromWide(name));
  if (exists.Step()) {
    if (error) *error = L"the user " + name + L" already exists";
    return false;
  }
  if (rid == 0) {
    Statement next(db.Raw(), "SELECT MAX(rid) FROM users WHERE rid >= 1001");
    next.Step();
    rid = next.IsNull(0) ? 1001 : next.Int(0) + 1;
  }
  UserAccount account;
  account.name = name;
  account.sid = MachineDomainSid() + "-" + std::to_string(rid);
  account.profile = L"C:\\Users\\" + name;
  std::wstring drive(1, static_cast<wchar_t>(std::towupper(static_cast<wint_t>(tempDrive))));
  account.tempFolder = drive + L":\\Users\\" + name + L"\\AppData\\Local\\Temp";
  Statement ins(db.Raw(), "INSERT INTO users(name, sid, rid, profile, temp) VALUES(?,?,?,?,?)");
  ins.Bind(1, Utf8FromWide(name)).Bind(2, account.sid).Bind(3, rid).Bind(4, Utf8FromWide(account.profile));
  ins.Bind(5, Utf8FromWide(account.tempFolder)).Step();
  // The user's hive is loaded with the account, as Windows loads it at her first logon.
  reg::EnsureUserHive(account.sid);
  tx.Commit();
  CreateProfileFolders(account);
  return true;
}

UserAccount AccountFromRow(const Statement& q) {
  UserAccount a;
  a.name = WideFromUtf8(q.Text(0));
  a.sid = q.Text(1);
  a.profile = WideFromUtf8(q.Text(2));
  a.tempFolder = WideFromUtf8(q.Text(3));
  return a;
}

}  // namespace

std::optional<UserAccount> FindUserAccount(const std::wstring& name) {
  Database& db = AccountDb();
  Statement q(db.Raw(), "SELECT name, sid, profile, temp FROM users WHERE name=?");
  q.Bind(1, Utf8FromWide(name));
  if (!q.Step()) return std::nullopt;
  return AccountFromRow(q);
}

std::vector<UserAccount> ListUserAccounts() {
  Database& db = AccountDb();
  Statement q(db.Raw(), "SELECT name, sid, profile, temp FROM users ORDER BY rid");
  std::vector<UserAccount> out;
  while (q.Step()) out.push_back(AccountFromRow(q));
  return out;
}

bool AddUserAccount(const std::wstring& name, wchar_t tempDrive, std::wstring* error) {
  if (name.empty() || name.find_first_of(L"\\/\"[]:|<>+=;,?*@") != std::wstring::npos) {
    if (error) *error = L"not a valid user name: " + name;
    return false;
  }
  if (!std::iswalpha(static_cast<wint_t>(tempDrive)) || tempDrive > 0x7F) {
    if (error) *error = L"not a drive letter";
    return false;
  }
  return InsertAccount(name, 0, tempDrive, error);
}

void InitAccountDefaults() {
  if (!FindUserAccount(L"Administrator")) InsertAccount(L"Administrator", 500, L'C', nullptr);
}

}  // namespace winsim
