#include "registry/store.h"

#include <chrono>

#include "core/machine.h"
#include "core/strings.h"

namespace winsim::reg {
namespace {

// Keys and values get ids that are never reused (AUTOINCREMENT), so a handle to a deleted key can
// tell that its key is gone even after new keys were made. Deleting a key removes its sub-tree and
// values through the foreign keys' cascades. Values keep their row id when rewritten, which gives
// the insertion order that RegEnumValueW follows.
const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys (id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " parent INTEGER REFERENCES reg_keys(id) ON DELETE CASCADE, hive INTEGER,"
    " name TEXT NOT NULL, upper TEXT NOT NULL, class TEXT NOT NULL DEFAULT '', mtime INTEGER NOT NULL DEFAULT 0);"
    "CREATE UNIQUE INDEX IF NOT EXISTS reg_keys_child ON reg_keys(parent, upper);"
    "CREATE UNIQUE INDEX IF NOT EXISTS reg_keys_root ON reg_keys(hive) WHERE parent IS NULL;"
    "CREATE TABLE IF NOT EXISTS reg_values (id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " key INTEGER NOT NULL REFERENCES reg_keys(id) ON DELETE CASCADE, name TEXT NOT NULL, upper TEXT NOT NULL,"
    " type INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS reg_values_name ON reg_values(key, upper);";

}  // namespace

Database& RegistryDb() {
  Database& db = Database::Get();
  db.EnsureSchema("registry", kSchema);
  return db;
}

int64_t FileTimeNow() {
  // 100-nanosecond intervals since 1601-01-01, as FILETIME counts them.
  auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return since1970 / 100 + 116444736000000000LL;
}

void TouchKey(int64_t key) {
  Statement q(RegistryDb().Raw(), "UPDATE reg_keys SET mtime=? WHERE id=?");
  q.Bind(1, FileTimeNow()).Bind(2, key).Step();
}

int64_t RootKey(Hive hive) {
  Database& db = RegistryDb();
  int h = hive == Hive::Machine ? 0 : 1;
  {
    Statement q(db.Raw(), "SELECT id FROM reg_keys WHERE parent IS NULL AND hive=?");
    q.Bind(1, h);
    if (q.Step()) return q.Int(0);
  }
  const char* name = hive == Hive::Machine ? "HKEY_LOCAL_MACHINE" : "HKEY_USERS";
  Transaction tx;
  Statement ins(db.Raw(), "INSERT OR IGNORE INTO reg_keys(parent, hive, name, upper, mtime) VALUES(NULL, ?, ?, ?, ?)");
  ins.Bind(1, h).Bind(2, name).Bind(3, name).Bind(4, FileTimeNow()).Step();
  tx.Commit();
  Statement q(db.Raw(), "SELECT id FROM reg_keys WHERE parent IS NULL AND hive=?");
  q.Bind(1, h);
  q.Step();
  return q.Int(0);
}

std::optional<int64_t> FindChild(int64_t parent, const std::wstring& name) {
  Statement q(RegistryDb().Raw(), "SELECT id FROM reg_keys WHERE parent=? AND upper=?");
  q.Bind(1, parent).Bind(2, Utf8FromWide(UpperCase(name)));
  if (!q.Step()) return std::nullopt;
  return q.Int(0);
}

int64_t CreateChild(int64_t parent, const std::wstring& name, const std::wstring& keyClass, bool* created) {
  if (auto found = FindChild(parent, name)) {
    if (created) *created = false;
    return *found;
  }
  Database& db = RegistryDb();
  Statement ins(db.Raw(), "INSERT INTO reg_keys(parent, name, upper, class, mtime) VALUES(?, ?, ?, ?, ?)");
  ins.Bind(1, parent).Bind(2, Utf8FromWide(name)).Bind(3, Utf8FromWide(UpperCase(name)));
  ins.Bind(4, Utf8FromWide(keyClass)).Bind(5, FileTimeNow()).Step();
  int64_t id = db.LastInsertId();
  TouchKey(parent);
  if (created) *created = true;
  return id;
}

bool KeyExists(int64_t key) {
  Statement q(RegistryDb().Raw(), "SELECT 1 FROM reg_keys WHERE id=?");
  q.Bind(1, key);
  return q.Step();
}

int64_t EnsurePath(Hive hive, const std::wstring& path) {
  int64_t key = RootKey(hive);
  Transaction tx;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (end > start) key = CreateChild(key, path.substr(start, end - start), L"", nullptr);
    start = end + 1;
  }
  tx.Commit();
  return key;
}

void EnsureUserHive(const std::string& sid) {
  if (sid.empty()) return;
  EnsurePath(Hive::Users, WideFromUtf8(sid) + L"\\Software");
}

void PutStoredValue(int64_t key, const std::wstring& name, uint32_t type, const std::vector<uint8_t>& stored) {
  Statement q(RegistryDb().Raw(),
              "INSERT INTO reg_values(key, name, upper, type, data) VALUES(?, ?, ?, ?, ?)"
              " ON CONFLICT(key, upper) DO UPDATE SET type=excluded.type, data=excluded.data");
  q.Bind(1, key).Bind(2, Utf8FromWide(name)).Bind(3, Utf8FromWide(UpperCase(name))).Bind(4, int64_t{type});
  q.BindBlob(5, stored).Step();
  TouchKey(key);
}

std::optional<StoredValue> GetStoredValue(int64_t key, const std::wstring& name) {
  Statement q(RegistryDb().Raw(), "SELECT type, data FROM reg_values WHERE key=? AND upper=?");
  q.Bind(1, key).Bind(2, Utf8FromWide(UpperCase(name)));
  if (!q.Step()) return std::nullopt;
  return StoredValue{static_cast<uint32_t>(q.Int(0)), q.Blob(1)};
}

void DeleteStoredValue(int64_t key, const std::wstring& name) {
  Statement q(RegistryDb().Raw(), "DELETE FROM reg_values WHERE key=? AND upper=?");
  q.Bind(1, key).Bind(2, Utf8FromWide(UpperCase(name))).Step();
  TouchKey(key);
}

}  // namespace winsim::reg
