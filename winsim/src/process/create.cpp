// Finding the program and starting it. What winsim relies on, from Microsoft's CreateProcessW
// documentation:
//   - lpApplicationName is used as given: a partial name is completed with the current drive and
//     folder, the search path is not used and no extension is assumed;
//   - without it the module name is the first white-space-delimited token of the command line; a
//     quoted token ends at the closing quote; an unquoted one with blanks is ambiguous and tried
//     blank by blank ("c:\program files\sub dir\program name" is tried as c:\program.exe, then
//     c:\program files\sub.exe, c:\program files\sub dir\program.exe and
//     c:\program files\sub dir\program name.exe);
//   - ".exe" is appended to a name without an extension (the documented example appends it to
//     names with a path too); a name ending in a period gets none;
//   - a name without a path is looked for in the folder the application was loaded from, the
//     current folder, the 32-bit system folder, the 16-bit system folder, the Windows folder and
//     the folders of PATH, in that order;
//   - the first existing file ends the search, whether or not it can run (a file that is not a
//     program fails with ERROR_BAD_EXE_FORMAT rather than trying the next candidate);
//   - a current folder that does not exist fails with ERROR_DIRECTORY; a command line is at most
//     32767 characters with its terminator.
#include "process/create.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/paths.h"
#include "core/strings.h"
#include "files/paths_full.h"
#include "files/sharing.h"
#include "process/process.h"
#include "windows.h"

namespace winsim {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool HasPath(const std::wstring& name) { return name.find_first_of(L"\\/:") != std::wstring::npos; }

std::wstring WithDefaultExtension(const std::wstring& name) {
  if (name.empty() || name.back() == L'.') return name;
  size_t slash = name.find_last_of(L"\\/:");
  std::wstring last = slash == std::wstring::npos ? name : name.substr(slash + 1);
  return last.find(L'.') == std::wstring::npos ? name + L".exe" : name;
}

enum class Kind { File, Folder, Missing };

// What a Windows name leads to, with its full path; the error of a missing one.
Kind Probe(const std::wstring& name, std::wstring* full, DWORD* error) {
  unsigned long err = 0;
  auto path = FullWindowsPath(name, &err);
  if (!path) {
    *error = err;
    return Kind::Missing;
  }
  auto linux = LinuxPathOf(*path, &err);
  if (!linux) {
    *error = err;
    return Kind::Missing;
  }
  *full = *path;
  struct stat st;
  if (stat(linux->c_str(), &st) != 0) {
    *error = ErrorFromErrno(errno, *linux);
    return Kind::Missing;
  }
  return S_ISDIR(st.st_mode) ? Kind::Folder : Kind::File;
}

std::vector<std::wstring> SearchFolders() {
  std::vector<std::wstring> folders;
  const std::wstring& image = CurrentImagePath();
  size_t slash = image.find_last_of(L'\\');
  if (slash != std::wstring::npos) folders.push_back(image.substr(0, slash == 2 ? 3 : slash));
  folders.push_back(CurrentDirectoryWindows());
  folders.push_back(L"C:\\Windows\\System32");
  folders.push_back(L"C:\\Windows\\System");
  folders.push_back(L"C:\\Windows");
  if (auto path = WindowsEnvironmentVariable(L"PATH")) {
    size_t start = 0;
    while (start <= path->size()) {
      size_t end = path->find(L';', start);
      if (end == std::wstring::npos) end = path->size();
      std::wstring folder = path->substr(start, end - start);
      if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') folder = folder.substr(1, folder.size() - 2);
      if (!folder.empty()) folders.push_back(folder);
      start = end + 1;
    }
  }
  return folders;
}

// A module name from the command line: the extension added, then looked for.
bool LookUp(const std::wstring& name, std::wstring* program) {
  if (name.empty()) return false;
  std::wstring candidate = WithDefaultExtension(name);
  DWORD error = 0;
  if (HasPath(candidate)) return Probe(candidate, program, &error) == Kind::File;
  for (const std::wstring& folder : SearchFolders()) {
    if (Probe(JoinWindowsPath(folder, candidate), program, &error) == Kind::File) return true;
  }
  return false;
}

DWORD ErrorOfSpawn(int err) {
  switch (err) {
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case E2BIG:
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_GEN_FAILURE;
  }
}

// Whether the file starts as something the machine can run: an ELF program, a script, or a
// Windows image (which the loader unpacks, or refuses itself).
bool LooksRunnable(const std::string& linuxPath) {
  int fd = open(linuxPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // the exec reports why it cannot be opened
  unsigned char head[4] = {};
  ssize_t n = read(fd, head, sizeof(head));
  close(fd);
  if (n >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') return true;
  if (n >= 2 && head[0] == '#' && head[1] == '!') return true;
  if (n >= 2 && head[0] == 'M' && head[1] == 'Z') return true;
  return false;
}

}  // namespace

DWORD FindProgram(const std::optional<std::wstring>& applicationName, const std::wstring& commandLine,
                  std::wstring* program) {
  if (applicationName) {
    DWORD error = ERROR_PATH_NOT_FOUND;
    switch (Probe(*applicationName, program, &error)) {
      case Kind::File: return ERROR_SUCCESS;
      case Kind::Folder: return ERROR_ACCESS_DENIED;
      case Kind::Missing: return error;
    }
  }
  size_t start = 0;
  while (start < commandLine.size() && IsBlank(commandLine[start])) ++start;
  if (start < commandLine.size() && commandLine[start] == L'"') {
    size_t close = commandLine.find(L'"', start + 1);
    std::wstring name = commandLine.substr(start + 1, close == std::wstring::npos ? std::wstring::npos : close - start - 1);
    return LookUp(name, program) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }
  // Unquoted: the text up to each blank in turn, then the whole line.
  for (size_t i = start; i <= commandLine.size(); ++i) {
    if (i < commandLine.size() && !IsBlank(commandLine[i])) continue;
    if (i > start && IsBlank(commandLine[i - 1])) continue;  // a run of blanks is one separator
    if (LookUp(commandLine.substr(start, i - start), program)) return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

DWORD CreateMachineProcess(const ProcessCreation& creation, CreatedProcess* created) {
  *created = CreatedProcess();
  if (creation.commandLine.size() > 32766) return ERROR_FILENAME_EXCED_RANGE;
  std::wstring program;
  if (DWORD error = FindProgram(creation.applicationName, creation.commandLine, &program); error != ERROR_SUCCESS) {
    return error;
  }
  unsigned long pathError = 0;
  auto linux = LinuxPathOf(program, &pathError);
  if (!linux) return pathError;

  std::wstring directory;
  if (!creation.currentDirectory.empty()) {
    unsigned long err = 0;
    auto full = FullWindowsPath(creation.currentDirectory, &err);
    auto linuxDir = full ? LinuxPathOf(*full, &err) : std::nullopt;
    struct stat st;
    if (!linuxDir || stat(linuxDir->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_DIRECTORY;
    directory = *full;
  }

  // The program file is opened as an image first: a writer that does not share reading, or an
  // open for writing, refuses it; the image then stays held for the life of the process.
  ShareReservation image;
  if (unsigned long shared = ReserveImage(*linux, &image); shared != ERROR_SUCCESS) return shared;
  if (!LooksRunnable(*linux)) return ERROR_BAD_EXE_FORMAT;
  // Windows files carry no execute permission; the Linux file needs one to run.
  struct stat st;
  if (stat(linux->c_str(), &st) == 0 && !(st.st_mode & S_IXUSR)) chmod(linux->c_str(), st.st_mode | 0111);

  SpawnRequest request;
  request.linuxPath = *linux;
  request.windowsImage = program;
  request.commandLine = creation.commandLine;
  request.identity = creation.identity;
  request.windowsEnv = creation.environment;
  request.currentDirectory = directory;
  request.noConsole = creation.noConsole;
  request.suspended = creation.suspended;
  request.inheritFd = image.Fd();
  std::wstring desktop = creation.desktop;
  if (desktop.empty()) {
    if (const char* own = std::getenv("WINSIM_DESKTOP")) desktop = WideFromUtf8(own);
  }
  if (!desktop.empty()) request.extraEnv.push_back("WINSIM_DESKTOP=" + Utf8FromWide(desktop));
  SpawnedProcess spawned;
  try {
    if (!SpawnProcess(request, &spawned)) return ErrorOfSpawn(errno);
    created->process = std::make_shared<ProcessObject>(spawned, creation.identity, program, true);
  } catch (const std::exception&) {
    // Out of memory, or the machine's database out of reach.
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  created->imagePath = program;
  return ERROR_SUCCESS;
}

void InsertProcessHandles(const CreatedProcess& created, HANDLE* process, HANDLE* thread) {
  *process = InsertHandle(created.process);
  *thread = InsertHandle(std::make_shared<PrimaryThreadObject>(created.process));
}

}  // namespace winsim
