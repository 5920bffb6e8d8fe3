// The registry of a fresh machine: the keys and values that Windows 10 22H2 has and the system
// reads, and a loaded hive under HKEY_USERS for every account.
#include "core/identity.h"
#include "core/init_hooks.h"
#include "core/machine.h"
#include "core/strings.h"
#include "registry/store.h"
#include "winnt.h"

namespace winsim {

void InitRegistryDefaults() {
  using namespace reg;
  Transaction tx;
  EnsurePath(Hive::Machine, L"SOFTWARE\\Classes");
  EnsurePath(Hive::Machine, L"SYSTEM\\CurrentControlSet\\Services");
  int64_t version = EnsurePath(Hive::Machine, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  auto text = [](const std::wstring& s) { return Utf16LeFromWide(std::wstring(s) + L'\0'); };
  // init may run again: values already there are kept.
  auto putIfMissing = [&](const std::wstring& name, const std::wstring& data) {
    Statement q(RegistryDb().Raw(), "SELECT 1 FROM reg_values WHERE key=? AND upper=?");
    q.Bind(1, version).Bind(2, Utf8FromWide(UpperCase(name)));
    if (!q.Step()) PutStoredValue(version, name, REG_SZ, text(data));
  };
  putIfMissing(L"CurrentBuildNumber", L"19045");
  putIfMissing(L"CurrentBuild", L"19045");
  putIfMissing(L"ProductName", L"Windows 10 Pro");
  putIfMissing(L"DisplayVersion", L"22H2");
  // The version numbers as Windows 10 keeps them: CurrentVersion stays 6.3 for old readers.
  putIfMissing(L"CurrentVersion", L"6.3");
  for (auto [name, number] : {std::pair{L"CurrentMajorVersionNumber", 10u}, std::pair{L"CurrentMinorVersionNumber", 0u}}) {
    Statement q(RegistryDb().Raw(), "SELECT 1 FROM reg_values WHERE key=? AND upper=?");
    q.Bind(1, version).Bind(2, Utf8FromWide(UpperCase(name)));
    if (!q.Step()) {
      PutStoredValue(version, name, REG_DWORD,
                     {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number >> 16),
                      static_cast<uint8_t>(number >> 24)});
    }
  }
  EnsurePath(Hive::Users, L".DEFAULT\\Software");
  EnsureUserHive(kSystemSid);
  for (const auto& account : ListUserAccounts()) EnsureUserHive(account.sid);
  tx.Commit();
}

}  // namespace winsim
