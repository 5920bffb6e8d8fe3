#include "files/paths_full.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "core/paths.h"
#include "windows.h"

namespace winsim {

std::wstring CurrentDirectoryWindows() {
  std::vector<char> buffer(4096);
  while (!getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return L"C:\\";
    buffer.resize(buffer.size() * 2);
  }
  return WindowsPathOf(buffer.data());
}

namespace {

bool IsSep(wchar_t c) { return c == L'\\' || c == L'/'; }

// Folds the components after the root; trailing dots and spaces of a component are not part of a
// Windows name. The components are written straight after the root, a ".." taking back the last
// one written.
std::wstring Fold(const std::wstring& root, const std::wstring& rest) {
  std::wstring out;
  out.reserve(root.size() + rest.size() + 1);
  out += root;
  const size_t base = out.size();
  size_t begin = 0;
  auto flush = [&](size_t end) {
    std::wstring_view component(rest.data() + begin, end - begin);
    begin = end + 1;
    if (component == L"..") {
      if (out.size() > base) {
        size_t separator = out.rfind(L'\\');
        out.resize(separator == std::wstring::npos || separator < base ? base : separator);
      }
      return;
    }
    if (component == L"." || component.empty()) return;
    while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) component.remove_suffix(1);
    if (component.empty()) return;
    if (out.size() > base) out += L'\\';
    out += component;
  };
  for (size_t i = 0; i < rest.size(); ++i) {
    if (IsSep(rest[i])) flush(i);
  }
  bool trailing = !rest.empty() && IsSep(rest.back());
  // A last component of only dots (other than . and ..) or spaces vanishes but keeps the folder.
  flush(rest.size());
  if (trailing && out.size() > base) out += L'\\';
  return out;
}

}  // namespace

std::optional<std::wstring> FullWindowsPath(const std::wstring& name, unsigned long* error) {
  if (name.empty()) {
    if (error) *error = ERROR_INVALID_NAME;
    return std::nullopt;
  }
  // \\?\ names are taken literally.
  if (name.rfind(L"\\\\?\\", 0) == 0) return name;
  if (name.size() >= 2 && IsSep(name[0]) && IsSep(name[1])) {
    // UNC: \\server\share is the root.
    size_t server = name.find_first_of(L"\\/", 2);
    if (server == std::wstring::npos) return L"\\\\" + name.substr(2);
    size_t share = name.find_first_of(L"\\/", server + 1);
    std::wstring root = L"\\\\" + name.substr(2, server - 2) + L"\\" +
                        name.substr(server + 1, share == std::wstring::npos ? std::wstring::npos : share - server - 1);
    if (share == std::wstring::npos) return root;
    return Fold(root + L"\\", name.substr(share));
  }
  if (name.size() >= 2 && name[1] == L':') {
    wchar_t drive = static_cast<wchar_t>(towupper(name[0]));
    std::wstring root = std::wstring(1, drive) + L":\\";
    std::wstring rest = name.substr(2);
    if (!rest.empty() && IsSep(rest[0])) return Fold(root, rest);
    // Only a relative name needs the current directory.
    std::wstring cwd = CurrentDirectoryWindows();
    // Drive-relative: against the current directory when it is on that drive, else the root.
    if (static_cast<wchar_t>(towupper(cwd[0])) == drive) return Fold(root, cwd.substr(3) + L"\\" + rest);
    return Fold(root, rest);
  }
  std::wstring cwd = CurrentDirectoryWindows();
  std::wstring root = cwd.substr(0, 3);
  if (IsSep(name[0])) return Fold(root, name);
  return Fold(root, cwd.substr(3) + L"\\" + name);
}

std::optional<ResolvedName> ResolveFileName(const wchar_t* name, unsigned long* error) {
  if (!name || !*name) {
    if (error) *error = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  auto full = FullWindowsPath(name, error);
  if (!full) return std::nullopt;
  ResolvedName out;
  auto linuxPath = LinuxPathOf(*full, error, &out.entry);
  if (!linuxPath) return std::nullopt;
  out.windowsPath = *full;
  out.linuxPath = *linuxPath;
  out.trailingSeparator = IsSep(name[std::wcslen(name) - 1]);
  while (out.linuxPath.size() > 1 && out.linuxPath.back() == '/') out.linuxPath.pop_back();
  return out;
}

bool ResolvedName::StatOwn(struct stat* own) const {
  if (entry.known) {
    *own = entry.own;
    return true;
  }
  return lstat(linuxPath.c_str(), own) == 0;
}

unsigned long MissingError(const std::string& linuxPath) {
  std::string parent = linuxPath;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  size_t slash = parent.rfind('/');
  parent = slash == 0 ? "/" : parent.substr(0, slash);
  struct stat st;
  if (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

unsigned long ErrorFromErrno(int err, const std::string& linuxPath) {
  switch (err) {
    case ENOENT: return MissingError(linuxPath);
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY: return ERROR_BUSY;
    // A running program's file: Windows refuses writing to a mapped image as a sharing violation.
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace winsim
