// winsim reg query|add|delete, with the arguments and output layout of Windows' reg command. It goes
// through the registry API as the machine's administrator, so it sees what programs see.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "command.h"
#include "core/identity.h"
#include "core/strings.h"
#include "windows.h"

namespace winsim::cli {
namespace {

const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";

struct Root {
  const char* shortName;
  const char* longName;
  HKEY key;
};
const Root kRoots[] = {{"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                       {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                       {"HKU", "HKEY_USERS", HKEY_USERS},
                       {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT}};

struct KeyPath {
  HKEY root = nullptr;
  std::string rootName;  // long name, as reg prints it
  std::wstring sub;
  std::string Display() const { return sub.empty() ? rootName : rootName + "\\" + Utf8FromWide(sub); }
};

bool ParseKey(const std::string& text, KeyPath* out) {
  std::string head = text.substr(0, text.find('\\'));
  std::string rest = head.size() < text.size() ? text.substr(head.size() + 1) : "";
  for (const auto& r : kRoots) {
    if (EqualsNoCase(WideFromUtf8(head), WideFromUtf8(r.shortName)) ||
        EqualsNoCase(WideFromUtf8(head), WideFromUtf8(r.longName))) {
      out->root = r.key;
      out->rootName = r.longName;
      while (!rest.empty() && rest.back() == '\\') rest.pop_back();
      out->sub = WideFromUtf8(rest);
      return true;
    }
  }
  return false;
}

int Error(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

int StatusError(LSTATUS status) {
  if (status == ERROR_FILE_NOT_FOUND) return Error(kNotFound);
  if (status == ERROR_ACCESS_DENIED) return Error("ERROR: Access is denied.");
  return Error("ERROR: The registry operation failed with error " + std::to_string(status) + ".");
}

int Syntax(const char* op) {
  return Error(std::string("ERROR: Invalid syntax.\nType \"REG ") + op + " /?\" for usage.");
}

const char* TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return "REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_RESOURCE_LIST: return "REG_RESOURCE_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: return "REG_UNKNOWN";
  }
}

DWORD TypeFromName(const std::string& name) {
  for (DWORD t : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD}) {
    if (EqualsNoCase(WideFromUtf8(name), WideFromUtf8(TypeName(t)))) return t;
  }
  return 0xFFFFFFFF;
}

std::string FormatData(DWORD type, const std::vector<BYTE>& data) {
  char buf[32];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
      std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
      return Utf8FromWide(text.c_str());
    }
    case REG_MULTI_SZ: {
      std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      std::string out;
      size_t start = 0;
      while (start <= text.size()) {
        size_t end = text.find(L'\0', start);
        if (end == std::wstring::npos) end = text.size();
        if (start) out += "\\0";
        out += Utf8FromWide(text.substr(start, end - start));
        start = end + 1;
      }
      return out;
    }
    case REG_DWORD:
      if (data.size() == 4) {
        DWORD v;
        std::memcpy(&v, data.data(), 4);
        std::snprintf(buf, sizeof(buf), "0x%x", v);
        return buf;
      }
      break;
    case REG_QWORD:
      if (data.size() == 8) {
        ULONGLONG v;
        std::memcpy(&v, data.data(), 8);
        std::snprintf(buf, sizeof(buf), "0x%llx", static_cast<unsigned long long>(v));
        return buf;
      }
      break;
    default: break;
  }
  std::string hex;
  for (BYTE b : data) {
    std::snprintf(buf, sizeof(buf), "%02X", b);
    hex += buf;
  }
  return hex;
}

void PrintValue(const std::wstring& name, DWORD type, const std::vector<BYTE>& data) {
  std::string shown = name.empty() ? "(Default)" : Utf8FromWide(name);
  std::printf("    %s    %s    %s\n", shown.c_str(), TypeName(type), FormatData(type, data).c_str());
}

struct Options {
  bool hasValue = false;  // /v or /ve given
  std::wstring value;
  bool allValues = false;  // /va
  bool recurse = false;    // /s
  bool force = false;      // /f
  std::string type;        // /t
  bool hasData = false;
  std::string data;        // /d
  std::string separator = "\\0";
};

bool ParseOptions(const Args& args, size_t from, const std::string& allowed, Options* o) {
  for (size_t i = from; i < args.size(); ++i) {
    std::string a = Utf8FromWide(UpperCase(WideFromUtf8(args[i])));
    if (!a.empty() && a[0] == '-') a[0] = '/';
    auto need = [&](const char* flag) { return allowed.find(flag) != std::string::npos; };
    auto next = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string text;
    if (a == "/V" && need("v")) {
      if (o->hasValue || !next(&text)) return false;
      o->hasValue = true;
      o->value = WideFromUtf8(text);
    } else if (a == "/VE" && need("v")) {
      if (o->hasValue) return false;
      o->hasValue = true;
      o->value.clear();
    } else if (a == "/VA" && need("a")) {
      o->allValues = true;
    } else if (a == "/S" && need("s")) {
      o->recurse = true;
    } else if (a == "/S" && need("p")) {
      if (!next(&o->separator)) return false;
    } else if (a == "/F" && need("f")) {
      o->force = true;
    } else if (a == "/T" && need("t")) {
      if (!next(&o->type)) return false;
    } else if (a == "/D" && need("d")) {
      if (!next(&o->data)) return false;
      o->hasData = true;
    } else {
      return false;
    }
  }
  return !(o->allValues && o->hasValue);
}

class Key {
 public:
  ~Key() {
    if (m_key) RegCloseKey(m_key);
  }
  HKEY* Put() { return &m_key; }
  HKEY Get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

// Reads one value by index into name, type and data; false at the end.
bool EnumValue(HKEY key, DWORD index, std::wstring* name, DWORD* type, std::vector<BYTE>* data) {
  DWORD maxName = 0, maxData = 0;
  if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName, &maxData, nullptr,
                       nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<wchar_t> nameBuf(maxName + 1);
  DWORD cch = maxName + 1;
  data->assign(maxData, 0);
  DWORD cb = maxData;
  if (RegEnumValueW(key, index, nameBuf.data(), &cch, nullptr, type, data->data(), &cb) != ERROR_SUCCESS) return false;
  name->assign(nameBuf.data(), cch);
  data->resize(cb);
  return true;
}

std::vector<std::wstring> SubKeyNames(HKEY key) {
  std::vector<std::wstring> names;
  wchar_t buf[256];
  for (DWORD i = 0;; ++i) {
    DWORD cch = 256;
    if (RegEnumKeyExW(key, i, buf, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(buf, cch);
  }
  return names;
}

void QueryTree(HKEY key, const std::string& display, bool recurse) {
  std::printf("%s\n", display.c_str());
  std::wstring name;
  DWORD type;
  std::vector<BYTE> data;
  for (DWORD i = 0; EnumValue(key, i, &name, &type, &data); ++i) PrintValue(name, type, data);
  std::printf("\n");
  for (const auto& sub : SubKeyNames(key)) {
    std::string childDisplay = display + "\\" + Utf8FromWide(sub);
    if (!recurse) {
      std::printf("%s\n", childDisplay.c_str());
      continue;
    }
    Key child;
    if (RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, child.Put()) == ERROR_SUCCESS) {
      QueryTree(child.Get(), childDisplay, true);
    }
  }
}

int Query(const KeyPath& path, const Options& o) {
  Key key;
  LSTATUS st = RegOpenKeyExW(path.root, path.sub.c_str(), 0, KEY_READ, key.Put());
  if (st != ERROR_SUCCESS) return StatusError(st);
  if (o.hasValue) {
    DWORD type = 0, cb = 0;
    st = RegQueryValueExW(key.Get(), o.value.c_str(), nullptr, &type, nullptr, &cb);
    if (st == ERROR_FILE_NOT_FOUND && o.value.empty()) {
      std::printf("\n%s\n    (Default)    REG_SZ    (value not set)\n\n", path.Display().c_str());
      return 0;
    }
    if (st != ERROR_SUCCESS) return StatusError(st);
    std::vector<BYTE> data(cb);
    st = RegQueryValueExW(key.Get(), o.value.c_str(), nullptr, &type, data.data(), &cb);
    if (st != ERROR_SUCCESS) return StatusError(st);
    data.resize(cb);
    // Shown with its stored spelling, as the key listing shows it.
    std::wstring shown = o.value, name;
    DWORD t;
    std::vector<BYTE> d;
    for (DWORD i = 0; EnumValue(key.Get(), i, &name, &t, &d); ++i) {
      if (EqualsNoCase(name, o.value)) shown = name;
    }
    std::printf("\n%s\n", path.Display().c_str());
    PrintValue(shown, type, data);
    std::printf("\n");
    return 0;
  }
  std::printf("\n");
  QueryTree(key.Get(), path.Display(), o.recurse);
  return 0;
}

bool EncodeData(DWORD type, const Options& o, std::vector<BYTE>* out) {
  auto putText = [out](const std::wstring& text) {
    out->resize((text.size() + 1) * sizeof(wchar_t));
    std::memcpy(out->data(), text.c_str(), out->size());
  };
  const std::string& d = o.data;
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      putText(WideFromUtf8(d));
      return true;
    case REG_MULTI_SZ: {
      std::wstring block;
      size_t start = 0;
      while (!d.empty() && start <= d.size()) {
        size_t end = d.find(o.separator, start);
        if (end == std::string::npos) end = d.size();
        block += WideFromUtf8(d.substr(start, end - start));
        block.push_back(L'\0');
        start = end + o.separator.size();
      }
      block.push_back(L'\0');
      out->resize(block.size() * sizeof(wchar_t));
      std::memcpy(out->data(), block.data(), out->size());
      return true;
    }
    case REG_DWORD:
    case REG_QWORD: {
      std::string text = d.empty() ? "0" : d;
      char* end = nullptr;
      unsigned long long v = std::strtoull(text.c_str(), &end, 0);
      if (!end || *end || text[0] == '-') return false;
      if (type == REG_DWORD && v > 0xFFFFFFFFull) return false;
      out->resize(type == REG_DWORD ? 4 : 8);
      std::memcpy(out->data(), &v, out->size());  // little-endian: the low bytes first
      return true;
    }
    case REG_BINARY:
    case REG_NONE: {
      if (d.size() % 2) return false;
      for (size_t i = 0; i < d.size(); i += 2) {
        char* end = nullptr;
        std::string pair = d.substr(i, 2);
        unsigned long b = std::strtoul(pair.c_str(), &end, 16);
        if (!end || *end) return false;
        out->push_back(static_cast<BYTE>(b));
      }
      return true;
    }
    default: return false;
  }
}

bool Confirm(const std::string& question) {
  std::printf("%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) answer.clear();
  if (!answer.empty() && (answer[0] == 'y' || answer[0] == 'Y')) return true;
  std::printf("The operation was canceled by the user.\n");
  return false;
}

int Add(const KeyPath& path, const Options& o) {
  DWORD type = o.type.empty() ? REG_SZ : TypeFromName(o.type);
  if (type == 0xFFFFFFFF) return Error("ERROR: Invalid type " + o.type + ".");
  std::vector<BYTE> data;
  if (o.hasValue || o.hasData || !o.type.empty()) {
    if (!EncodeData(type, o, &data)) return Error("ERROR: Invalid data " + o.data + " for " + TypeName(type) + ".");
  }
  Key key;
  LSTATUS st = RegCreateKeyExW(path.root, path.sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, key.Put(), nullptr);
  if (st != ERROR_SUCCESS) return StatusError(st);
  if (o.hasValue || o.hasData || !o.type.empty()) {
    if (!o.force && RegQueryValueExW(key.Get(), o.value.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      std::string shown = o.value.empty() ? "(Default)" : Utf8FromWide(o.value);
      if (!Confirm("Value " + shown + " exists, overwrite")) return 1;
    }
    st = RegSetValueExW(key.Get(), o.value.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    if (st != ERROR_SUCCESS) return StatusError(st);
  }
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Delete(const KeyPath& path, const Options& o) {
  if (!o.hasValue && !o.allValues) {
    if (path.sub.empty()) return Error("ERROR: Access is denied.");
    Key probe;
    LSTATUS st = RegOpenKeyExW(path.root, path.sub.c_str(), 0, KEY_READ, probe.Put());
    if (st != ERROR_SUCCESS) return StatusError(st);
    if (!o.force && !Confirm("Permanently delete the registry key " + path.Display())) return 1;
    st = RegDeleteTreeW(path.root, path.sub.c_str());
    if (st != ERROR_SUCCESS) return StatusError(st);
    std::printf("The operation completed successfully.\n");
    return 0;
  }
  Key key;
  LSTATUS st = RegOpenKeyExW(path.root, path.sub.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.Put());
  if (st != ERROR_SUCCESS) return StatusError(st);
  if (o.hasValue) {
    if (RegQueryValueExW(key.Get(), o.value.c_str(), nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      return Error(kNotFound);
    }
    std::string shown = o.value.empty() ? "(Default)" : Utf8FromWide(o.value);
    if (!o.force && !Confirm("Delete the registry value " + shown)) return 1;
    st = RegDeleteValueW(key.Get(), o.value.c_str());
    if (st != ERROR_SUCCESS) return StatusError(st);
  } else {
    if (!o.force && !Confirm("Delete all values under the registry key " + path.Display())) return 1;
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
    // Index 0 each time: every deletion moves the next value to the front.
    while (EnumValue(key.Get(), 0, &name, &type, &data)) {
      st = RegDeleteValueW(key.Get(), name.c_str());
      if (st != ERROR_SUCCESS) return StatusError(st);
    }
  }
  std::printf("The operation completed successfully.\n");
  return 0;
}

int Reg(const Args& args) {
  SetCurrentIdentity(AdministratorIdentity());
  if (args.empty()) return Error("ERROR: Invalid syntax.\nusage: winsim reg query|add|delete KEY [options]");
  std::string op = Utf8FromWide(UpperCase(WideFromUtf8(args[0])));
  if (op != "QUERY" && op != "ADD" && op != "DELETE") return Error("ERROR: Invalid operation " + args[0] + ".");
  if (args.size() < 2) return Syntax(op.c_str());
  KeyPath path;
  if (!ParseKey(args[1], &path)) return Error("ERROR: Invalid key name " + args[1] + ".");
  Options o;
  const char* allowed = op == "QUERY" ? "vs" : op == "ADD" ? "vtdfp" : "vaf";
  if (!ParseOptions(args, 2, allowed, &o)) return Syntax(op.c_str());
  if (op == "QUERY") return Query(path, o);
  if (op == "ADD") return Add(path, o);
  return Delete(path, o);
}

Registrar regCommand({"reg", "winsim reg query KEY [/v NAME | /ve] [/s]\n"
                             "winsim reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEP] [/d DATA] [/f]\n"
                             "winsim reg delete KEY [/v NAME | /ve | /va] [/f]\n"
                             "                                           the registry, as Windows' reg command",
                      Reg});

}  // namespace
}  // namespace winsim::cli
