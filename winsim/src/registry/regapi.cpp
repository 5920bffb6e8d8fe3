// The Reg* functions over the machine's registry store.
//
// Handles: an HKEY that RegOpenKeyExW or RegCreateKeyExW returns is an entry of the process's handle
// table that names the key by id and carries the rights granted at open time; each function checks
// the rights it needs against them. The predefined keys act with full rights, limited by who the
// process runs as: only SYSTEM and administrators may write under HKEY_LOCAL_MACHINE, and a user
// may write her own hive under HKEY_USERS only (this stands in for the keys' security descriptors).
//
// Wide strings: the store keeps string data as UTF-16LE, like a hive; the process's wchar_t may be
// wider, so string data is converted at this boundary and every byte count that the caller passes
// or receives for string data is in the caller's own wchar_t width.
#include <cstring>
#include <functional>
#include <memory>

#include "core/fault.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/strings.h"
#include "kernel/handles.h"
#include "registry/store.h"
#include "windows.h"

namespace winsim::reg {
namespace {

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

// Where a key lives, for the identity rule: its hive and, under HKEY_USERS, the hive's SID (the
// first name below HKEY_USERS; empty for HKEY_USERS itself).
struct Location {
  Hive hive = Hive::Machine;
  std::wstring owner;
};

class RegistryKey : public KernelObject {
 public:
  RegistryKey(int64_t id, REGSAM access, Location location) : id(id), access(access), location(std::move(location)) {}
  const int64_t id;
  const REGSAM access;
  const Location location;
};

struct KeyRef {
  int64_t id = 0;
  REGSAM access = 0;
  Location location;
  bool predefined = false;
  bool hiveRoot = false;  // HKEY_LOCAL_MACHINE or HKEY_USERS itself
};

bool MayWrite(const Location& location) {
  const Identity& identity = CurrentIdentity();
  if (identity.IsPrivileged()) return true;
  if (location.hive == Hive::Machine) return false;
  return !location.owner.empty() && EqualsNoCase(location.owner, WideFromUtf8(identity.sid));
}

// Generic rights map to the key rights; MAXIMUM_ALLOWED grants what the caller may have there.
REGSAM MapAccess(REGSAM sam, const Location& location) {
  REGSAM mapped = sam & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                          GENERIC_ALL | MAXIMUM_ALLOWED);
  if (sam & GENERIC_READ) mapped |= KEY_READ;
  if (sam & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (sam & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
  if (sam & GENERIC_ALL) mapped |= KEY_ALL_ACCESS;
  if (sam & MAXIMUM_ALLOWED) mapped |= MayWrite(location) ? KEY_ALL_ACCESS : KEY_READ;
  return mapped;
}

bool IsPredefined(HKEY h) {
  return h == HKEY_CLASSES_ROOT || h == HKEY_CURRENT_USER || h == HKEY_LOCAL_MACHINE || h == HKEY_USERS;
}

LSTATUS Resolve(HKEY h, KeyRef* ref) {
  if (IsPredefined(h)) {
    ref->predefined = true;
    if (h == HKEY_LOCAL_MACHINE) {
      ref->id = RootKey(Hive::Machine);
      ref->location = {Hive::Machine, L""};
      ref->hiveRoot = true;
    } else if (h == HKEY_USERS) {
      ref->id = RootKey(Hive::Users);
      ref->location = {Hive::Users, L""};
      ref->hiveRoot = true;
    } else if (h == HKEY_CURRENT_USER) {
      // The current identity's hive; loaded on first use for identities that have no account row.
      std::wstring sid = WideFromUtf8(CurrentIdentity().sid);
      if (sid.empty()) return ERROR_FILE_NOT_FOUND;
      auto found = FindChild(RootKey(Hive::Users), sid);
      if (!found) {
        EnsureUserHive(CurrentIdentity().sid);
        found = FindChild(RootKey(Hive::Users), sid);
      }
      ref->id = *found;
      ref->location = {Hive::Users, sid};
    } else {
      // HKEY_CLASSES_ROOT is the machine's classes key here; the per-user merge is not simulated.
      ref->id = EnsurePath(Hive::Machine, L"SOFTWARE\\Classes");
      ref->location = {Hive::Machine, L""};
    }
    ref->access = MayWrite(ref->location) ? KEY_ALL_ACCESS : KEY_READ;
    return ERROR_SUCCESS;
  }
  auto key = ReferenceHandleAs<RegistryKey>(h);
  if (!key) return ERROR_INVALID_HANDLE;
  if (!KeyExists(key->id)) return ERROR_KEY_DELETED;
  ref->id = key->id;
  ref->access = key->access;
  ref->location = key->location;
  return ERROR_SUCCESS;
}

bool Has(const KeyRef& ref, REGSAM rights) { return (ref.access & rights) == rights; }

// Splits a sub-key path at backslashes. A leading backslash is refused as Windows refuses it;
// empty parts between doubled or trailing backslashes are skipped.
LSTATUS SplitPath(LPCWSTR path, std::vector<std::wstring>* parts) {
  parts->clear();
  if (!path) return ERROR_SUCCESS;
  std::wstring_view text(path);
  if (!text.empty() && text[0] == L'\\') return ERROR_BAD_PATHNAME;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\\', start);
    if (end == std::wstring_view::npos) end = text.size();
    if (end > start) {
      // Key names are at most 255 characters.
      if (end - start > 255) return ERROR_INVALID_PARAMETER;
      parts->emplace_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

Location LocationBelow(const KeyRef& from, const std::vector<std::wstring>& parts) {
  Location loc = from.location;
  if (loc.hive == Hive::Users && loc.owner.empty() && !parts.empty()) loc.owner = parts[0];
  return loc;
}

// Walks a path below a resolved key.
LSTATUS Walk(const KeyRef& from, const std::vector<std::wstring>& parts, int64_t* id) {
  int64_t key = from.id;
  for (const auto& part : parts) {
    auto child = FindChild(key, part);
    if (!child) return ERROR_FILE_NOT_FOUND;
    key = *child;
  }
  *id = key;
  return ERROR_SUCCESS;
}

HKEY NewHandle(int64_t id, REGSAM access, const Location& location) {
  return static_cast<HKEY>(InsertHandle(std::make_shared<RegistryKey>(id, access, location)));
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Caller's bytes to stored bytes: string data becomes UTF-16LE; a partial trailing wchar_t is dropped.
std::vector<uint8_t> ToStored(DWORD type, const BYTE* data, DWORD cb) {
  if (!data || cb == 0) return {};
  if (!IsStringType(type)) return std::vector<uint8_t>(data, data + cb);
  std::wstring text(cb / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), data, text.size() * sizeof(wchar_t));
  return Utf16LeFromWide(text);
}

// Stored bytes to the caller's bytes.
std::vector<uint8_t> ToProcess(DWORD type, const std::vector<uint8_t>& stored) {
  if (!IsStringType(type)) return stored;
  std::wstring text = WideFromUtf16Le(stored.data(), stored.size());
  std::vector<uint8_t> out(text.size() * sizeof(wchar_t));
  if (!out.empty()) std::memcpy(out.data(), text.data(), out.size());
  return out;
}

struct StoredValue {
  std::wstring name;
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

std::optional<StoredValue> ReadValue(int64_t key, LPCWSTR name) {
  Statement q(RegistryDb().Raw(), "SELECT name, type, data FROM reg_values WHERE key=? AND upper=?");
  q.Bind(1, key).Bind(2, Utf8FromWide(UpperCase(name ? name : L"")));
  if (!q.Step()) return std::nullopt;
  return StoredValue{WideFromUtf8(q.Text(0)), static_cast<DWORD>(q.Int(1)), q.Blob(2)};
}

std::vector<StoredValue> ReadValues(int64_t key) {
  Statement q(RegistryDb().Raw(), "SELECT name, type, data FROM reg_values WHERE key=? ORDER BY id");
  q.Bind(1, key);
  std::vector<StoredValue> out;
  while (q.Step()) out.push_back({WideFromUtf8(q.Text(0)), static_cast<DWORD>(q.Int(1)), q.Blob(2)});
  return out;
}

struct SubKey {
  int64_t id;
  std::wstring name;
  std::wstring keyClass;
  int64_t mtime;
};

// Sub-keys in the order Windows enumerates them: sorted by their upper-case names.
std::vector<SubKey> ReadSubKeys(int64_t key) {
  Statement q(RegistryDb().Raw(), "SELECT id, name, class, mtime FROM reg_keys WHERE parent=? ORDER BY upper");
  q.Bind(1, key);
  std::vector<SubKey> out;
  while (q.Step()) out.push_back({q.Int(0), WideFromUtf8(q.Text(1)), WideFromUtf8(q.Text(2)), q.Int(3)});
  return out;
}

// Hands value data to a caller of RegQueryValueExW or RegEnumValueW under the sizing protocol:
// no buffer gives the size, a short buffer ERROR_MORE_DATA with the size needed.
//
// One exception keeps a Windows behaviour that callers rely on. On Windows the bytes of a string
// value are its UTF-16 bytes, so a caller that reads a short text value into a 4-byte integer gets
// the raw characters and success. Here the converted data is larger (wchar_t is wider), so when the
// buffer is too small for the converted data but holds the stored UTF-16 bytes, the raw stored bytes
// are copied and their size reported, as Windows would, for a buffer of at most a DWORD.
LSTATUS CopyValueOut(DWORD type, const std::vector<uint8_t>& stored, LPBYTE data, LPDWORD cbData) {
  std::vector<uint8_t> converted = ToProcess(type, stored);
  if (!cbData) return ERROR_SUCCESS;
  DWORD need = static_cast<DWORD>(converted.size());
  if (!data) {
    *cbData = need;
    return ERROR_SUCCESS;
  }
  if (*cbData >= need) {
    if (need) std::memcpy(data, converted.data(), need);
    *cbData = need;
    return ERROR_SUCCESS;
  }
  // Only an integer-sized buffer takes the raw bytes: a string reader with a buffer too small must
  // still hear ERROR_MORE_DATA, as on Windows.
  if (IsStringType(type) && *cbData >= stored.size() && *cbData <= sizeof(DWORD)) {
    if (!stored.empty()) std::memcpy(data, stored.data(), stored.size());
    *cbData = static_cast<DWORD>(stored.size());
    return ERROR_SUCCESS;
  }
  *cbData = need;
  return ERROR_MORE_DATA;
}

// Copies a name into a caller's character buffer whose size counts the terminator.
LSTATUS CopyName(const std::wstring& name, LPWSTR buffer, LPDWORD cch) {
  if (name.size() + 1 > *cch) return ERROR_MORE_DATA;
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

void PutFileTime(int64_t value, PFILETIME out) {
  if (!out) return;
  out->dwLowDateTime = static_cast<DWORD>(value & 0xFFFFFFFF);
  out->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) >> 32);
}

// %NAME% references replaced from the process's environment; unknown names stay as written, as
// ExpandEnvironmentStrings leaves them.
std::wstring ExpandEnvironment(const std::wstring& text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    size_t open = text.find(L'%', i);
    if (open == std::wstring::npos) break;
    size_t close = text.find(L'%', open + 1);
    if (close == std::wstring::npos) break;
    out.append(text, i, open - i);
    std::wstring name = text.substr(open + 1, close - open - 1);
    auto value = name.empty() ? std::nullopt : WindowsEnvironmentVariable(name);
    if (value) {
      out += *value;
      i = close + 1;
    } else {
      out.append(text, open, close - open);
      i = close;
    }
  }
  out.append(text, i, std::wstring::npos);
  return out;
}

// A snapshot of a key's contents, for RegCopyTreeW.
struct TreeCopy {
  std::vector<StoredValue> values;
  std::vector<std::pair<SubKey, TreeCopy>> children;
};

TreeCopy Snapshot(int64_t key) {
  TreeCopy copy;
  copy.values = ReadValues(key);
  for (auto& child : ReadSubKeys(key)) copy.children.emplace_back(child, Snapshot(child.id));
  return copy;
}

void WriteTree(int64_t dest, const TreeCopy& tree) {
  for (const auto& v : tree.values) PutStoredValue(dest, v.name, v.type, v.data);
  for (const auto& [child, contents] : tree.children) {
    int64_t id = CreateChild(dest, child.name, child.keyClass, nullptr);
    WriteTree(id, contents);
  }
}

// Runs a registry operation, turning a database failure into the error Windows gives for an
// unreadable or unwritable hive rather than letting it escape into the caller.
LSTATUS Guarded(const std::function<LSTATUS()>& body, LSTATUS onFailure) {
  try {
    return body();
  } catch (const std::exception&) {
    return onFailure;
  }
}

}  // namespace
}  // namespace winsim::reg

using namespace winsim::reg;

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  WINSIM_FAULT_STATUS("RegOpenKeyExW", LSTATUS);
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    std::vector<std::wstring> parts;
    if (LSTATUS st = SplitPath(lpSubKey, &parts)) return st;
    // No sub-key on a predefined key: the same predefined handle comes back.
    if (parts.empty() && ref.predefined) {
      *phkResult = hKey;
      return ERROR_SUCCESS;
    }
    int64_t id = 0;
    if (LSTATUS st = Walk(ref, parts, &id)) return st;
    Location loc = LocationBelow(ref, parts);
    REGSAM access = MapAccess(samDesired, loc);
    if ((access & kWriteRights) && !MayWrite(loc)) return ERROR_ACCESS_DENIED;
    *phkResult = NewHandle(id, access, loc);
    return ERROR_SUCCESS;
  }, ERROR_CANTOPEN);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  WINSIM_FAULT_STATUS("RegCreateKeyExW", LSTATUS);
  if (!phkResult || !lpSubKey) return ERROR_INVALID_PARAMETER;
  // REG_OPTION_VOLATILE keys are kept like non-volatile ones: a simulated machine does not reboot.
  return Guarded([&]() -> LSTATUS {
    winsim::Transaction tx;
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    std::vector<std::wstring> parts;
    if (LSTATUS st = SplitPath(lpSubKey, &parts)) return st;
    Location loc = LocationBelow(ref, parts);
    REGSAM access = MapAccess(samDesired, loc);
    if ((access & kWriteRights) && !MayWrite(loc)) return ERROR_ACCESS_DENIED;
    int64_t key = ref.id;
    size_t existing = 0;
    for (; existing < parts.size(); ++existing) {
      auto child = FindChild(key, parts[existing]);
      if (!child) break;
      key = *child;
    }
    bool creating = existing < parts.size();
    if (creating) {
      // Creating a key is checked against the key's security (here: the identity rule), not the
      // rights of the parent handle, as RegCreateKeyEx documents. A hive's root takes no new
      // direct children: hives are loaded, not created.
      if (!MayWrite(loc)) return ERROR_ACCESS_DENIED;
      if (ref.hiveRoot && existing == 0) return ERROR_ACCESS_DENIED;
      std::wstring keyClass = lpClass ? lpClass : L"";
      for (size_t i = existing; i < parts.size(); ++i) {
        key = CreateChild(key, parts[i], i + 1 == parts.size() ? keyClass : L"", nullptr);
      }
    }
    tx.Commit();
    if (lpdwDisposition) *lpdwDisposition = creating ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *phkResult = NewHandle(key, access, loc);
    return ERROR_SUCCESS;
  }, ERROR_CANTWRITE);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  WINSIM_FAULT_STATUS("RegCloseKey", LSTATUS);
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  if (!winsim::ReferenceHandleAs<RegistryKey>(hKey)) return ERROR_INVALID_HANDLE;
  return winsim::RemoveHandle(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
  WINSIM_FAULT_STATUS("RegQueryValueExW", LSTATUS);
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    if (!Has(ref, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    auto value = ReadValue(ref.id, lpValueName);
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (lpType) *lpType = value->type;
    return CopyValueOut(value->type, value->data, lpData, lpcbData);
  }, ERROR_CANTREAD);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
  WINSIM_FAULT_STATUS("RegSetValueExW", LSTATUS);
  // Windows probes the caller's buffer and fails with ERROR_NOACCESS when it cannot be read.
  if (!lpData && cbData) return ERROR_NOACCESS;
  if (lpValueName && std::wcslen(lpValueName) > 16383) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    winsim::Transaction tx;
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    if (!Has(ref, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    PutStoredValue(ref.id, lpValueName ? lpValueName : L"", dwType, ToStored(dwType, lpData, cbData));
    tx.Commit();
    return ERROR_SUCCESS;
  }, ERROR_CANTWRITE);
}

LSTATUS WINAPI RegGetValueW(HKEY hkey, LPCWSTR lpSubKey, LPCWSTR lpValue, DWORD dwFlags, LPDWORD pdwType, PVOID pvData,
                            LPDWORD pcbData) {
  WINSIM_FAULT_STATUS("RegGetValueW", LSTATUS);
  if (pvData && !pcbData) return ERROR_INVALID_PARAMETER;
  DWORD types = dwFlags & RRF_RT_ANY;
  if (types == 0) return ERROR_INVALID_PARAMETER;
  // Asking for REG_EXPAND_SZ alone needs RRF_NOEXPAND: such data would otherwise come back expanded
  // as REG_SZ and never match.
  if (types != RRF_RT_ANY && (types & RRF_RT_REG_EXPAND_SZ) && !(dwFlags & RRF_NOEXPAND)) {
    return ERROR_INVALID_PARAMETER;
  }
  DWORD offered = pcbData ? *pcbData : 0;
  auto fail = [&](LSTATUS st) {
    if ((dwFlags & RRF_ZEROONFAILURE) && pvData && offered) std::memset(pvData, 0, offered);
    return st;
  };
  return Guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (LSTATUS st = Resolve(hkey, &ref)) return fail(st);
    std::vector<std::wstring> parts;
    if (LSTATUS st = SplitPath(lpSubKey, &parts)) return fail(st);
    int64_t key = ref.id;
    if (parts.empty()) {
      if (!Has(ref, KEY_QUERY_VALUE)) return fail(ERROR_ACCESS_DENIED);
    } else if (LSTATUS st = Walk(ref, parts, &key)) {
      return fail(st);
    }
    auto value = ReadValue(key, lpValue);
    if (!value) return fail(ERROR_FILE_NOT_FOUND);
    DWORD type = value->type;
    std::vector<uint8_t> data = ToProcess(type, value->data);
    if (type == REG_EXPAND_SZ && !(dwFlags & RRF_NOEXPAND)) {
      std::wstring text(data.size() / sizeof(wchar_t), L'\0');
      if (!data.empty()) std::memcpy(text.data(), data.data(), data.size());
      std::wstring expanded = ExpandEnvironment(text);
      data.assign(expanded.size() * sizeof(wchar_t), 0);
      if (!data.empty()) std::memcpy(data.data(), expanded.data(), data.size());
      type = REG_SZ;
    }
    bool allowed = types == RRF_RT_ANY;
    if (!allowed) {
      switch (type) {
        case REG_NONE: allowed = types & RRF_RT_REG_NONE; break;
        case REG_SZ: allowed = types & RRF_RT_REG_SZ; break;
        case REG_EXPAND_SZ: allowed = types & RRF_RT_REG_EXPAND_SZ; break;
        case REG_DWORD: allowed = types & RRF_RT_REG_DWORD; break;
        case REG_MULTI_SZ: allowed = types & RRF_RT_REG_MULTI_SZ; break;
        case REG_QWORD: allowed = types & RRF_RT_REG_QWORD; break;
        case REG_BINARY:
          // RRF_RT_DWORD and RRF_RT_QWORD accept REG_BINARY data of exactly that width.
          if (types & RRF_RT_REG_BINARY) {
            bool dword = types & RRF_RT_REG_DWORD, qword = types & RRF_RT_REG_QWORD;
            allowed = (!dword && !qword) || (dword && data.size() == 4) || (qword && data.size() == 8);
          }
          break;
        default: break;
      }
    }
    if (!allowed) return fail(ERROR_UNSUPPORTED_TYPE);
    // String data always comes back terminated: room for a terminator is added when the stored
    // data lacks one.
    if (IsStringType(type)) {
      bool terminated = data.size() >= sizeof(wchar_t) &&
                        reinterpret_cast<const wchar_t*>(data.data())[data.size() / sizeof(wchar_t) - 1] == L'\0';
      if (!terminated) data.resize(data.size() + sizeof(wchar_t), 0);
    }
    if (pdwType) *pdwType = type;
    DWORD need = static_cast<DWORD>(data.size());
    if (!pcbData) return ERROR_SUCCESS;
    if (!pvData) {
      *pcbData = need;
      return ERROR_SUCCESS;
    }
    if (offered < need) {
      fail(ERROR_MORE_DATA);
      *pcbData = need;
      return ERROR_MORE_DATA;
    }
    if (need) std::memcpy(pvData, data.data(), need);
    *pcbData = need;
    return ERROR_SUCCESS;
  }, ERROR_CANTREAD);
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  WINSIM_FAULT_STATUS("RegDeleteKeyW", LSTATUS);
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    winsim::Transaction tx;
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    std::vector<std::wstring> parts;
    if (LSTATUS st = SplitPath(lpSubKey, &parts)) return st;
    // The key is opened for DELETE: the identity rule applies to it; the parent handle's rights
    // do not matter. Neither a predefined key nor a hive's root can be deleted.
    if (parts.empty() && ref.predefined) return ERROR_ACCESS_DENIED;
    int64_t id = 0;
    if (LSTATUS st = Walk(ref, parts, &id)) return st;
    Location loc = LocationBelow(ref, parts);
    if (!MayWrite(loc)) return ERROR_ACCESS_DENIED;
    if (ref.hiveRoot && parts.size() == 1) return ERROR_ACCESS_DENIED;
    if (!ReadSubKeys(id).empty()) return ERROR_ACCESS_DENIED;
    winsim::Statement parent(RegistryDb().Raw(), "SELECT parent FROM reg_keys WHERE id=?");
    parent.Bind(1, id);
    int64_t parentId = parent.Step() ? parent.Int(0) : 0;
    winsim::Statement del(RegistryDb().Raw(), "DELETE FROM reg_keys WHERE id=?");
    del.Bind(1, id).Step();
    if (parentId) TouchKey(parentId);
    tx.Commit();
    return ERROR_SUCCESS;
  }, ERROR_CANTWRITE);
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  WINSIM_FAULT_STATUS("RegDeleteValueW", LSTATUS);
  return Guarded([&]() -> LSTATUS {
    winsim::Transaction tx;
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    if (!Has(ref, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    winsim::Statement del(RegistryDb().Raw(), "DELETE FROM reg_values WHERE key=? AND upper=?");
    del.Bind(1, ref.id).Bind(2, winsim::Utf8FromWide(winsim::UpperCase(lpValueName ? lpValueName : L""))).Step();
    if (RegistryDb().Changes() == 0) return ERROR_FILE_NOT_FOUND;
    TouchKey(ref.id);
    tx.Commit();
    return ERROR_SUCCESS;
  }, ERROR_CANTWRITE);
}

LSTATUS WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  WINSIM_FAULT_STATUS("RegDeleteTreeW", LSTATUS);
  return Guarded([&]() -> LSTATUS {
    winsim::Transaction tx;
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    std::vector<std::wstring> parts;
    if (LSTATUS st = SplitPath(lpSubKey, &parts)) return st;
    auto& db = RegistryDb();
    if (parts.empty()) {
      // Without a sub-key the key stays and loses its values and sub-keys; the handle needs the
      // rights that RegDeleteTree documents.
      if (!Has(ref, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
      if (!MayWrite(ref.location)) return ERROR_ACCESS_DENIED;
      winsim::Statement values(db.Raw(), "DELETE FROM reg_values WHERE key=?");
      values.Bind(1, ref.id).Step();
      winsim::Statement keys(db.Raw(), "DELETE FROM reg_keys WHERE parent=?");
      keys.Bind(1, ref.id).Step();
      TouchKey(ref.id);
    } else {
      int64_t id = 0;
      if (LSTATUS st = Walk(ref, parts, &id)) return st;
      Location loc = LocationBelow(ref, parts);
      if (!MayWrite(loc)) return ERROR_ACCESS_DENIED;
      if (ref.hiveRoot && parts.size() == 1) return ERROR_ACCESS_DENIED;
      winsim::Statement parent(db.Raw(), "SELECT parent FROM reg_keys WHERE id=?");
      parent.Bind(1, id);
      int64_t parentId = parent.Step() ? parent.Int(0) : 0;
      winsim::Statement del(db.Raw(), "DELETE FROM reg_keys WHERE id=?");
      del.Bind(1, id).Step();
      if (parentId) TouchKey(parentId);
    }
    tx.Commit();
    return ERROR_SUCCESS;
  }, ERROR_CANTWRITE);
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                             LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  WINSIM_FAULT_STATUS("RegEnumKeyExW", LSTATUS);
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    if (!Has(ref, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    winsim::Statement q(RegistryDb().Raw(),
                        "SELECT name, class, mtime FROM reg_keys WHERE parent=? ORDER BY upper LIMIT 1 OFFSET ?");
    q.Bind(1, ref.id).Bind(2, int64_t{dwIndex});
    if (!q.Step()) return ERROR_NO_MORE_ITEMS;
    std::wstring name = winsim::WideFromUtf8(q.Text(0));
    std::wstring keyClass = winsim::WideFromUtf8(q.Text(1));
    if (LSTATUS st = CopyName(name, lpName, lpcchName)) return st;
    if (lpClass) {
      if (LSTATUS st = CopyName(keyClass, lpClass, lpcchClass)) return st;
    }
    PutFileTime(q.Int(2), lpftLastWriteTime);
    return ERROR_SUCCESS;
  }, ERROR_CANTREAD);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  WINSIM_FAULT_STATUS("RegEnumValueW", LSTATUS);
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    if (!Has(ref, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    winsim::Statement q(RegistryDb().Raw(),
                        "SELECT name, type, data FROM reg_values WHERE key=? ORDER BY id LIMIT 1 OFFSET ?");
    q.Bind(1, ref.id).Bind(2, int64_t{dwIndex});
    if (!q.Step()) return ERROR_NO_MORE_ITEMS;
    std::wstring name = winsim::WideFromUtf8(q.Text(0));
    DWORD type = static_cast<DWORD>(q.Int(1));
    std::vector<uint8_t> data = q.Blob(2);
    if (LSTATUS st = CopyName(name, lpValueName, lpcchValueName)) return st;
    if (lpType) *lpType = type;
    return CopyValueOut(type, data, lpData, lpcbData);
  }, ERROR_CANTREAD);
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  WINSIM_FAULT_STATUS("RegQueryInfoKeyW", LSTATUS);
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    KeyRef ref;
    if (LSTATUS st = Resolve(hKey, &ref)) return st;
    if (!Has(ref, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    winsim::Statement self(RegistryDb().Raw(), "SELECT class, mtime FROM reg_keys WHERE id=?");
    self.Bind(1, ref.id);
    if (!self.Step()) return ERROR_KEY_DELETED;
    std::wstring keyClass = winsim::WideFromUtf8(self.Text(0));
    int64_t mtime = self.Int(1);
    if (lpClass) {
      // A short class buffer reports the class length without its terminator.
      if (keyClass.size() + 1 > *lpcchClass) {
        *lpcchClass = static_cast<DWORD>(keyClass.size());
        return ERROR_MORE_DATA;
      }
      std::memcpy(lpClass, keyClass.c_str(), (keyClass.size() + 1) * sizeof(wchar_t));
      *lpcchClass = static_cast<DWORD>(keyClass.size());
    } else if (lpcchClass) {
      *lpcchClass = static_cast<DWORD>(keyClass.size());
    }
    auto subKeys = ReadSubKeys(ref.id);
    auto values = ReadValues(ref.id);
    DWORD maxSub = 0, maxClass = 0, maxName = 0, maxData = 0;
    for (auto& k : subKeys) {
      maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(k.name.size()));
      maxClass = std::max<DWORD>(maxClass, static_cast<DWORD>(k.keyClass.size()));
    }
    for (auto& v : values) {
      maxName = std::max<DWORD>(maxName, static_cast<DWORD>(v.name.size()));
      maxData = std::max<DWORD>(maxData, static_cast<DWORD>(ToProcess(v.type, v.data).size()));
    }
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subKeys.size());
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSub;
    if (lpcbMaxClassLen) *lpcbMaxClassLen = maxClass;
    if (lpcValues) *lpcValues = static_cast<DWORD>(values.size());
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
    if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
    // The size of a minimal self-relative security descriptor: no descriptors are kept.
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 20;
    PutFileTime(mtime, lpftLastWriteTime);
    return ERROR_SUCCESS;
  }, ERROR_CANTREAD);
}

LSTATUS WINAPI RegCopyTreeW(HKEY hKeySrc, LPCWSTR lpSubKey, HKEY hKeyDest) {
  WINSIM_FAULT_STATUS("RegCopyTreeW", LSTATUS);
  return Guarded([&]() -> LSTATUS {
    winsim::Transaction tx;
    KeyRef src, dest;
    if (LSTATUS st = Resolve(hKeySrc, &src)) return st;
    if (LSTATUS st = Resolve(hKeyDest, &dest)) return st;
    // The source handle needs KEY_READ and the destination KEY_CREATE_SUB_KEY, as documented;
    // values copied into the destination key itself also need KEY_SET_VALUE there.
    if (!Has(src, KEY_READ)) return ERROR_ACCESS_DENIED;
    if (!Has(dest, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    std::vector<std::wstring> parts;
    if (LSTATUS st = SplitPath(lpSubKey, &parts)) return st;
    int64_t from = 0;
    if (LSTATUS st = Walk(src, parts, &from)) return st;
    // The source is read whole before writing, so that copying a key into its own sub-tree ends.
    TreeCopy tree = Snapshot(from);
    if (!tree.values.empty() && !Has(dest, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    if (!MayWrite(dest.location)) return ERROR_ACCESS_DENIED;
    if (dest.hiveRoot && !tree.children.empty()) return ERROR_ACCESS_DENIED;
    WriteTree(dest.id, tree);
    tx.Commit();
    return ERROR_SUCCESS;
  }, ERROR_CANTWRITE);
}
