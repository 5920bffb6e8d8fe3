// The machine's registry as kept in its database: keys under two hives (HKEY_LOCAL_MACHINE,
// HKEY_USERS), values with their stored bytes (string data as UTF-16LE, as in a hive file).
// The Reg* functions are built on this; init and account creation use it directly to lay down
// keys that no caller of the API may create (the hives under HKEY_USERS).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim {
class Database;
}

namespace winsim::reg {

// The calling thread's database with the registry's tables in place.
Database& RegistryDb();
// Now as a FILETIME count; and stamping a key's last-write time with it.
int64_t FileTimeNow();
void TouchKey(int64_t key);

enum class Hive { Machine, Users };

// The root key of a hive, created on first use.
int64_t RootKey(Hive hive);
// The child of a key by name (case-insensitive), if any.
std::optional<int64_t> FindChild(int64_t parent, const std::wstring& name);
// Opens or creates the child; *created tells which. Call inside a Transaction.
int64_t CreateChild(int64_t parent, const std::wstring& name, const std::wstring& keyClass, bool* created);
bool KeyExists(int64_t key);
// Opens or creates a path of keys below a root; used by init.
int64_t EnsurePath(Hive hive, const std::wstring& path);
// HKEY_USERS\<sid> and its Software key: the user's hive, loaded at account creation.
void EnsureUserHive(const std::string& sid);
// Writes a value with data as stored (UTF-16LE for string types).
void PutStoredValue(int64_t key, const std::wstring& name, uint32_t type, const std::vector<uint8_t>& stored);
// A value as stored (type and bytes), if the key has it; and its removal.
struct StoredValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};
std::optional<StoredValue> GetStoredValue(int64_t key, const std::wstring& name);
void DeleteStoredValue(int64_t key, const std::wstring& name);

}  // namespace winsim::reg
