// Run-time linking: LoadLibraryW, FreeLibrary, GetProcAddress, GetModuleHandleW and
// GetModuleHandleExW over the dynamic linker. A winsim PE library runs its unpacked payload; a
// plain ELF shared object is opened as it is. Facts relied on (Microsoft's LoadLibraryW,
// GetModuleHandleExW, GetProcAddress and DllMain pages): a name without a path gets ".dll" when it
// has no extension, matches an already loaded module by base name, and is otherwise searched in the
// application folder first; a relative path is appended to every folder of the search order; the
// module handle is the address where the module is mapped; reference counts pair LoadLibrary with
// FreeLibrary; a DllMain that fails DLL_PROCESS_ATTACH is called with DLL_PROCESS_DETACH and the
// load fails. A library's imports (Microsoft's "Dynamic-link library search order"): the libraries
// it depends on are found as if they were loaded by their module names alone, even when the library
// itself was loaded by its full path, so that the application folder comes first; they are loaded
// before it, their DllMain runs first, and a missing one fails the load with ERROR_MOD_NOT_FOUND.
// On winsim a library's imports are the dependencies of its native payload whose names end in
// ".dll" (a payload built with such an soname dependency), which the dynamic linker then finds
// among the loaded objects by that soname.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "core/fault.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "files/paths_full.h"
#include "files/sharing.h"
#include "process/modules.h"
#include "process/peimage.h"
#include "process/process.h"
#include "windows.h"

namespace winsim {
namespace {

using DllMainFunction = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

struct Module {
  HMODULE handle = nullptr;
  void* dl = nullptr;
  std::wstring windowsPath;
  int references = 0;
  bool pinned = false;
  DllMainFunction dllMain = nullptr;
  // The file held as a mapped image while the module is loaded: not writable, not deletable.
  ShareReservation image;
  std::vector<HMODULE> imports;  // the libraries it imports, released with it
};

// The loader lock: held across DllMain as on Windows, and recursive so that a DllMain that loads
// another library does not deadlock.
std::recursive_mutex g_loaderLock;
std::vector<std::unique_ptr<Module>> g_modules;  // in load order

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring FileNamePart(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring FolderPart(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool HasPath(const std::wstring& name) {
  return name.find_first_of(L"\\/") != std::wstring::npos || (name.size() >= 2 && name[1] == L':');
}

// Absolute, rooted or drive-qualified: a name GetFullPathNameW turns into one path, which is the
// only place looked at.
bool IsFullPath(const std::wstring& name) {
  return IsSeparator(name[0]) || (name.size() >= 2 && name[1] == L':');
}

// The module name as the loader compares it: ".dll" added to a bare name without an extension, a
// trailing dot meaning "no extension" removed.
std::wstring WithDefaultExtension(std::wstring name) {
  if (!name.empty() && name.back() == L'.') {
    name.pop_back();
    return name;
  }
  if (FileNamePart(name).find(L'.') == std::wstring::npos) name += L".dll";
  return name;
}

// The base address of the mapped object that contains `address`.
HMODULE BaseOf(const void* address) {
  Dl_info info;
  if (!address || dladdr(address, &info) == 0) return nullptr;
  return reinterpret_cast<HMODULE>(info.dli_fbase);
}

Module* FindByHandle(HMODULE handle) {
  for (auto& m : g_modules) {
    if (m->handle == handle) return m.get();
  }
  return nullptr;
}

Module* FindByPath(const std::wstring& windowsPath) {
  for (auto& m : g_modules) {
    if (EqualsNoCase(m->windowsPath, windowsPath)) return m.get();
  }
  return nullptr;
}

// The first loaded module with this file name, the process image included.
HMODULE FindByBaseName(const std::wstring& fileName) {
  if (EqualsNoCase(FileNamePart(CurrentImagePath()), fileName)) return ProcessImageHandle();
  for (auto& m : g_modules) {
    if (EqualsNoCase(FileNamePart(m->windowsPath), fileName)) return m->handle;
  }
  return nullptr;
}

// A module of the process looked up by name, as GetModuleHandle does.
HMODULE FindLoaded(const std::wstring& nameIn) {
  std::wstring name = WithDefaultExtension(nameIn);
  if (!HasPath(name)) return FindByBaseName(name);
  unsigned long error = 0;
  auto full = FullWindowsPath(name, &error);
  if (!full) return nullptr;
  if (EqualsNoCase(*full, CurrentImagePath())) return ProcessImageHandle();
  Module* m = FindByPath(*full);
  return m ? m->handle : nullptr;
}

// The folders of the standard search order (safe search mode, as Windows has by default).
std::vector<std::wstring> SearchFolders() {
  std::vector<std::wstring> folders;
  std::wstring app = FolderPart(CurrentImagePath());
  if (!app.empty()) folders.push_back(app);
  folders.push_back(L"C:\\Windows\\System32");
  folders.push_back(L"C:\\Windows\\System");
  folders.push_back(L"C:\\Windows");
  folders.push_back(CurrentDirectoryWindows());
  if (auto path = WindowsEnvironmentVariable(L"Path")) {
    size_t start = 0;
    while (start <= path->size()) {
      size_t end = path->find(L';', start);
      if (end == std::wstring::npos) end = path->size();
      std::wstring folder = path->substr(start, end - start);
      if (!folder.empty()) folders.push_back(folder);
      start = end + 1;
    }
  }
  return folders;
}

bool IsRegularFile(const std::string& linuxPath) {
  struct stat st;
  return stat(linuxPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct Located {
  std::wstring windowsPath;
  std::string linuxPath;
};

std::optional<Located> Locate(const std::wstring& name) {
  std::vector<std::wstring> candidates;
  if (IsFullPath(name)) {
    unsigned long error = 0;
    if (auto full = FullWindowsPath(name, &error)) candidates.push_back(*full);
  } else {
    for (const auto& folder : SearchFolders()) candidates.push_back(JoinWindowsPath(folder, name));
  }
  for (const auto& candidate : candidates) {
    unsigned long error = 0;
    auto full = FullWindowsPath(candidate, &error);
    if (!full) continue;
    auto linuxPath = LinuxPathOf(*full, &error);
    if (linuxPath && IsRegularFile(*linuxPath)) return Located{*full, *linuxPath};
  }
  return std::nullopt;
}

// What a failed dlopen means to a Windows caller: a library it depends on is missing, an import is
// missing, or the file is no image for this machine.
DWORD ErrorOfDlopen(const char* message) {
  std::string text = message ? message : "";
  if (text.find("cannot open shared object file") != std::string::npos) return ERROR_MOD_NOT_FOUND;
  if (text.find("undefined symbol") != std::string::npos) return ERROR_PROC_NOT_FOUND;
  return ERROR_BAD_EXE_FORMAT;
}

// A symbol that the object defines itself, as a PE export is the module's own.
void* OwnSymbol(void* dl, HMODULE base, const char* name) {
  dlerror();
  void* symbol = dlsym(dl, name);
  if (!symbol || BaseOf(symbol) != base) return nullptr;
  return symbol;
}

HMODULE Fail(DWORD error) {
  SetLastError(error);
  return nullptr;
}

HMODULE LoadLocated(const Located& file);

// A module by name, as LoadLibraryW looks for one: a bare name matches a loaded module first.
HMODULE LoadByName(std::wstring name) {
  if (!HasPath(name)) {
    name = WithDefaultExtension(name);
    if (HMODULE loaded = FindByBaseName(name)) {
      if (Module* m = FindByHandle(loaded)) ++m->references;
      return loaded;
    }
  }
  auto located = Locate(name);
  if (!located) return Fail(ERROR_MOD_NOT_FOUND);
  return LoadLocated(*located);
}

bool EndsWithDll(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (auto& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".dll";
}

bool Release(HMODULE handle);

void ReleaseImports(const std::vector<HMODULE>& imports) {
  for (auto it = imports.rbegin(); it != imports.rend(); ++it) Release(*it);
}

// One reference less, under the loader lock; the module is unloaded with its last one. False for
// a handle that is no loaded module.
bool Release(HMODULE handle) {
  Module* m = handle ? FindByHandle(handle) : nullptr;
  if (!m) return false;
  if (--m->references > 0 || m->pinned) {
    if (m->references < 0) m->references = 0;
    return true;
  }
  if (m->dllMain) m->dllMain(m->handle, DLL_PROCESS_DETACH, nullptr);
  dlclose(m->dl);
  std::vector<HMODULE> imports = std::move(m->imports);
  for (auto it = g_modules.begin(); it != g_modules.end(); ++it) {
    if (it->get() == m) {
      g_modules.erase(it);
      break;
    }
  }
  // After the module that used them, as Windows unloads a library before its imports.
  ReleaseImports(imports);
  return true;
}

HMODULE LoadLocated(const Located& file) {
  if (Module* loaded = FindByPath(file.windowsPath)) {
    ++loaded->references;
    return loaded->handle;
  }
  if (EqualsNoCase(file.windowsPath, CurrentImagePath())) return ProcessImageHandle();
  // The loader opens the file as an image (reading, sharing reading and deletion): a holder that
  // writes it or does not share reading refuses the load.
  ShareReservation image;
  if (unsigned long shared = ReserveImage(file.linuxPath, &image); shared != ERROR_SUCCESS) return Fail(shared);
  pe::FileProbe probe = pe::ProbeFile(file.linuxPath);
  std::string objectPath;
  switch (probe.kind) {
    case pe::FileKind::Elf: objectPath = file.linuxPath; break;
    case pe::FileKind::PeWithPayload: {
      auto unpacked = pe::UnpackPayload(file.linuxPath, Utf8FromWide(UpperCase(file.windowsPath)));
      if (!unpacked) return Fail(errno == ENOEXEC ? ERROR_BAD_EXE_FORMAT : ERROR_NOT_ENOUGH_MEMORY);
      objectPath = *unpacked;
      break;
    }
    case pe::FileKind::Unreadable: return Fail(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_MOD_NOT_FOUND);
    default: return Fail(ERROR_BAD_EXE_FORMAT);
  }
  // The imports first, so that the dynamic linker finds them loaded under their sonames.
  auto dependencies = pe::ElfDependencies(objectPath);
  if (!dependencies) return Fail(ERROR_BAD_EXE_FORMAT);
  std::vector<HMODULE> imports;
  for (const auto& name : *dependencies) {
    if (!EndsWithDll(name)) continue;
    HMODULE imported = LoadByName(WideFromUtf8(name));
    if (!imported) {
      DWORD error = GetLastError();
      ReleaseImports(imports);
      return Fail(error);
    }
    imports.push_back(imported);
  }
  dlerror();
  void* dl = dlopen(objectPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!dl) {
    DWORD error = ErrorOfDlopen(dlerror());
    ReleaseImports(imports);
    return Fail(error);
  }
  link_map* map = nullptr;
  HMODULE base = nullptr;
  if (dlinfo(dl, RTLD_DI_LINKMAP, &map) == 0 && map) base = BaseOf(map->l_ld);
  if (!base) {
    dlclose(dl);
    ReleaseImports(imports);
    return Fail(ERROR_BAD_EXE_FORMAT);
  }
  // The same object under another name (a link to a loaded file): one module, as the dynamic
  // linker keeps one mapping of it.
  if (Module* same = FindByHandle(base)) {
    dlclose(dl);
    ReleaseImports(imports);
    ++same->references;
    return same->handle;
  }
  auto module = std::make_unique<Module>();
  module->handle = base;
  module->dl = dl;
  module->windowsPath = file.windowsPath;
  module->references = 1;
  module->dllMain = reinterpret_cast<DllMainFunction>(OwnSymbol(dl, base, "DllMain"));
  module->image = std::move(image);
  if (module->dllMain && !module->dllMain(base, DLL_PROCESS_ATTACH, nullptr)) {
    module->dllMain(base, DLL_PROCESS_DETACH, nullptr);
    dlclose(dl);
    ReleaseImports(imports);
    return Fail(ERROR_DLL_INIT_FAILED);
  }
  module->imports = std::move(imports);
  g_modules.push_back(std::move(module));
  return base;
}

}  // namespace

HMODULE ProcessImageHandle() {
  static const HMODULE handle = [] {
    HMODULE found = nullptr;
    // The first object the dynamic linker reports is the program; its image starts at the segment
    // that maps file offset 0.
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) -> int {
          for (int i = 0; i < info->dlpi_phnum; ++i) {
            const auto& ph = info->dlpi_phdr[i];
            if (ph.p_type == PT_LOAD && ph.p_offset == 0) {
              *static_cast<HMODULE*>(out) = reinterpret_cast<HMODULE>(info->dlpi_addr + ph.p_vaddr);
              break;
            }
          }
          return 1;
        },
        &found);
    return found;
  }();
  return handle;
}

std::optional<std::wstring> ModulePath(HMODULE hModule) {
  if (hModule == nullptr || hModule == ProcessImageHandle()) return CurrentImagePath();
  std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
  if (Module* m = FindByHandle(hModule)) return m->windowsPath;
  return std::nullopt;
}

}  // namespace winsim

using namespace winsim;

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  WINSIM_FAULT_VALUE("LoadLibraryW", nullptr);
  if (!lpLibFileName || !*lpLibFileName) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
  return LoadByName(lpLibFileName);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  WINSIM_FAULT_BOOL("FreeLibrary");
  if (hLibModule != nullptr && hLibModule == ProcessImageHandle()) return TRUE;
  std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
  if (!Release(hLibModule)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  WINSIM_FAULT_VALUE("GetProcAddress", nullptr);
  std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
  void* dl = nullptr;
  HMODULE base = hModule;
  if (hModule == nullptr || hModule == ProcessImageHandle()) {
    // The program's own exports: what it defines among the symbols the dynamic linker sees.
    static void* program = dlopen(nullptr, RTLD_NOW);
    dl = program;
    base = ProcessImageHandle();
  } else if (Module* m = FindByHandle(hModule)) {
    dl = m->dl;
  } else {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // An ordinal has a zero high-order word; these modules have no ordinal exports.
  if (reinterpret_cast<uintptr_t>(lpProcName) <= 0xFFFF) {
    SetLastError(ERROR_INVALID_ORDINAL);
    return nullptr;
  }
  void* symbol = dl ? OwnSymbol(dl, base, lpProcName) : nullptr;
  if (!symbol) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  WINSIM_FAULT_VALUE("GetModuleHandleW", nullptr);
  if (!lpModuleName) return ProcessImageHandle();
  std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
  HMODULE found = *lpModuleName ? FindLoaded(lpModuleName) : nullptr;
  if (!found) return Fail(ERROR_MOD_NOT_FOUND);
  return found;
}

BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  WINSIM_FAULT_BOOL("GetModuleHandleExW");
  constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                           GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
  if (phModule) *phModule = nullptr;
  if (!phModule || (dwFlags & ~kKnown) ||
      ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) && (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::recursive_mutex> lock(g_loaderLock);
  HMODULE found = nullptr;
  if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    HMODULE base = BaseOf(lpModuleName);
    if (base && (base == ProcessImageHandle() || FindByHandle(base))) found = base;
  } else if (!lpModuleName) {
    found = ProcessImageHandle();
  } else if (*lpModuleName) {
    found = FindLoaded(lpModuleName);
  }
  if (!found) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (Module* m = FindByHandle(found)) {
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) m->pinned = true;
    if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) ++m->references;
  }
  *phModule = found;
  return TRUE;
}
