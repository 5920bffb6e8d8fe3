#include "core/paths.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cwctype>
#include <filesystem>
#include <vector>

#include "core/machine.h"
#include "core/strings.h"
#include "winerror.h"

namespace winsim {
namespace {

bool Exists(const std::string& path, struct stat* own = nullptr) {
  struct stat st;
  return lstat(path.c_str(), own ? own : &st) == 0;
}

// The entry of a folder whose name equals the component without regard to case; the component's
// own spelling when nothing matches. The caller has already found no entry of that exact spelling.
std::string MatchByCase(const std::string& folder, const std::string& component) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return component;
  std::wstring wanted = UpperCase(WideFromUtf8(component));
  std::string found = component;
  while (dirent* entry = readdir(dir)) {
    if (UpperCase(WideFromUtf8(entry->d_name)) == wanted) {
      found = entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

// The entry of a folder for a component: the entry of that exact spelling when there is one (of
// two entries that differ only in case, the one spelt as asked), else one that matches it without
// regard to case.
std::string MatchComponent(const std::string& folder, const std::string& component) {
  std::string candidate = (folder == "/" ? "" : folder) + "/" + component;
  if (Exists(candidate)) return component;
  return MatchByCase(folder, component);
}

// Each component matched in turn, from the root.
std::string WalkComponents(const std::string& start, const std::vector<std::string>& parts, size_t count) {
  std::string current = start;
  for (size_t i = 0; i < count; ++i) {
    std::string folder = current.empty() ? "/" : current;
    current += "/" + MatchComponent(folder, parts[i]);
  }
  return current;
}

std::string JoinExact(const std::string& start, const std::vector<std::string>& parts, size_t count) {
  size_t size = start.size();
  for (size_t i = 0; i < count; ++i) size += 1 + parts[i].size();
  std::string out;
  out.reserve(size);
  out += start;
  for (size_t i = 0; i < count; ++i) {
    out += '/';
    out += parts[i];
  }
  return out;
}

// The Linux path of the components below a drive folder. The walk above keeps every component of
// exact spelling that exists, so when the whole path exists as spelt, every prefix of it does and
// the walk would give it unchanged: one look-up settles the common case where the caller's case
// matches. When only the last component misses (a file about to be created, or a name in another
// case), its folder as spelt is the walk's result for the folder, and only that folder is read.
// Nothing is remembered between calls, so renames and removals by other processes are always seen.
std::string ResolveComponents(const std::string& start, const std::vector<std::string>& parts,
                              ResolvedEntry* entry) {
  if (parts.empty()) return start;
  std::string exact = JoinExact(start, parts, parts.size());
  if (Exists(exact, &entry->own)) {
    entry->known = true;
    return exact;
  }
  if (parts.size() > 1) {
    std::string folder = JoinExact(start, parts, parts.size() - 1);
    if (Exists(folder)) return folder + "/" + MatchByCase(folder, parts.back());
  } else {
    std::string folder = start.empty() ? "/" : start;
    return start + "/" + MatchByCase(folder, parts.back());
  }
  return WalkComponents(start, parts, parts.size());
}

}  // namespace

std::string DriveFolder(wchar_t letter) {
  char lower = static_cast<char>(std::towlower(static_cast<wint_t>(letter)));
  if (lower == 'z') return "/";
  return MachineDir() + "/drives/" + std::string(1, lower);
}

std::optional<std::string> LinuxPathOf(const std::wstring& windowsPath, unsigned long* error) {
  ResolvedEntry entry;
  return LinuxPathOf(windowsPath, error, &entry);
}

std::optional<std::string> LinuxPathOf(const std::wstring& windowsPath, unsigned long* error, ResolvedEntry* entry) {
  *entry = ResolvedEntry{};
  auto fail = [&](unsigned long code) -> std::optional<std::string> {
    if (error) *error = code;
    return std::nullopt;
  };
  std::wstring_view path = windowsPath;
  // The \\?\ prefix turns off parsing but names the same drive path.
  if (path.substr(0, 4) == L"\\\\?\\") path.remove_prefix(4);
  if (path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/')) {
    return fail(ERROR_BAD_NETPATH);
  }
  if (path.size() < 3 || path[1] != L':' || (path[2] != L'\\' && path[2] != L'/')) {
    return fail(ERROR_INVALID_NAME);
  }
  wchar_t letter = path[0];
  if (!std::iswalpha(static_cast<wint_t>(letter)) || letter > 0x7F) return fail(ERROR_INVALID_NAME);
  for (size_t i = 3; i < path.size(); ++i) {
    wchar_t c = path[i];
    if (c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*' || c == L':' || c < 0x20) {
      return fail(ERROR_INVALID_NAME);
    }
  }
  std::string root = DriveFolder(letter);
  std::string current = root == "/" ? "" : root;
  std::vector<std::string> parts;
  parts.reserve(8);
  size_t begin = 3;
  auto flush = [&](size_t end) {
    std::wstring_view component = path.substr(begin, end - begin);
    if (component.empty() || component == L".") {
    } else if (component == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(Utf8FromWide(component));
    }
    begin = end + 1;
  };
  for (size_t i = 3; i < path.size(); ++i) {
    if (path[i] == L'\\' || path[i] == L'/') flush(i);
  }
  flush(path.size());
  current = ResolveComponents(current, parts, entry);
  if (current.empty()) current = "/";
  // A trailing separator is kept so that callers can tell a folder path.
  wchar_t last = path.back();
  if ((last == L'\\' || last == L'/') && current.back() != '/') current += "/";
  return current;
}

namespace {

// Whether a Linux path is already absolute and in normal form (no empty, "." or ".." component,
// no final separator), as the kernel gives a descriptor's path: normalising it would change
// nothing, and costs more than the rest of the conversion.
bool IsNormalAbsolute(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  if (path.size() == 1) return true;
  if (path.back() == '/') return false;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    size_t length = end - start;
    if (length == 0) return false;
    if (length <= 2 && path[start] == '.' && (length == 1 || path[start + 1] == '.')) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

std::wstring WindowsPathOf(const std::string& linuxPathIn) {
  std::string linuxPath = IsNormalAbsolute(linuxPathIn)
                              ? linuxPathIn
                              : std::filesystem::absolute(linuxPathIn).lexically_normal().string();
  if (HasMachine()) {
    std::string drives = MachineDir() + "/drives/";
    if (linuxPath.rfind(drives, 0) == 0 && linuxPath.size() > drives.size()) {
      std::string rest = linuxPath.substr(drives.size());
      char letter = rest[0];
      if (rest.size() == 1 || rest[1] == '/') {
        std::wstring out;
        out.push_back(static_cast<wchar_t>(std::towupper(static_cast<wint_t>(letter))));
        out += L":\\";
        std::wstring tail = WideFromUtf8(rest.size() > 2 ? rest.substr(2) : "");
        for (auto& c : tail) {
          if (c == L'/') c = L'\\';
        }
        return out + tail;
      }
    }
  }
  std::wstring tail = WideFromUtf8(linuxPath.size() > 1 ? linuxPath.substr(1) : "");
  for (auto& c : tail) {
    if (c == L'/') c = L'\\';
  }
  return L"Z:\\" + tail;
}

std::wstring JoinWindowsPath(const std::wstring& base, const std::wstring& leaf) {
  if (base.empty()) return leaf;
  if (base.back() == L'\\' || base.back() == L'/') return base + leaf;
  return base + L"\\" + leaf;
}

}  // namespace winsim
