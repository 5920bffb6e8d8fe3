// CreateProcessW, CreateProcessAsUserW and the process handle functions.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "core/fault.h"
#include "core/identity.h"
#include "core/strings.h"
#include "process/create.h"
#include "process/processobject.h"
#include "security/token.h"
#include "windows.h"

using namespace winsim;

namespace {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The variables of an environment block: "NAME=value" strings, each ended by a terminator, the
// block by one more; UTF-16 (WCHAR) with CREATE_UNICODE_ENVIRONMENT, else 8-bit characters.
// Entries whose name begins with "=" (the per-drive current folders) and entries without "=" are
// not variables.
template <class Char>
std::map<std::wstring, std::wstring> ParseBlock(const Char* block) {
  std::map<std::wstring, std::wstring> env;
  const Char* p = block;
  while (*p) {
    std::wstring entry;
    for (; *p; ++p) entry.push_back(static_cast<wchar_t>(static_cast<std::make_unsigned_t<Char>>(*p)));
    ++p;
    size_t eq = entry.find(L'=', 1);
    if (entry.empty() || entry[0] == L'=' || eq == std::wstring::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  return env;
}

constexpr DWORD kUnsupportedFlags = DEBUG_PROCESS | DEBUG_ONLY_THIS_PROCESS | CREATE_PROTECTED_PROCESS |
                                    CREATE_SECURE_PROCESS;

BOOL Create(const Identity& identity, LPCWSTR lpApplicationName, LPWSTR lpCommandLine, DWORD dwCreationFlags,
            LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
            LPPROCESS_INFORMATION lpProcessInformation) {
  if (!lpStartupInfo || !lpProcessInformation) return Fail(ERROR_INVALID_PARAMETER);
  if (!lpApplicationName && !lpCommandLine) return Fail(ERROR_INVALID_PARAMETER);
  // A process without a console cannot also get a new one.
  if ((dwCreationFlags & DETACHED_PROCESS) && (dwCreationFlags & CREATE_NEW_CONSOLE)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  // Debugging and protected processes are not simulated.
  if (dwCreationFlags & kUnsupportedFlags) return Fail(ERROR_NOT_SUPPORTED);

  ProcessCreation creation;
  if (lpApplicationName) creation.applicationName = std::wstring(lpApplicationName);
  // Without a command line the process gets the application name as its command line.
  creation.commandLine = lpCommandLine ? lpCommandLine : lpApplicationName;
  creation.identity = identity;
  if (lpEnvironment) {
    creation.environment = (dwCreationFlags & CREATE_UNICODE_ENVIRONMENT)
                               ? ParseBlock(static_cast<const WCHAR*>(lpEnvironment))
                               : ParseBlock(static_cast<const char*>(lpEnvironment));
  } else {
    creation.environment = CurrentWindowsEnvironment();
  }
  if (lpCurrentDirectory) creation.currentDirectory = lpCurrentDirectory;
  if (lpStartupInfo->lpDesktop) creation.desktop = lpStartupInfo->lpDesktop;
  creation.suspended = (dwCreationFlags & CREATE_SUSPENDED) != 0;
  // A new console, no window or no console: the caller's console is not the process's.
  creation.noConsole = (dwCreationFlags & (CREATE_NEW_CONSOLE | CREATE_NO_WINDOW | DETACHED_PROCESS)) != 0;

  CreatedProcess created;
  DWORD error = CreateMachineProcess(creation, &created);
  if (error != ERROR_SUCCESS) return Fail(error);
  HANDLE process = nullptr, thread = nullptr;
  InsertProcessHandles(created, &process, &thread);
  lpProcessInformation->hProcess = process;
  lpProcessInformation->hThread = thread;
  lpProcessInformation->dwProcessId = created.process->Pid();
  lpProcessInformation->dwThreadId = created.process->Pid();
  return TRUE;
}

std::shared_ptr<ProcessObject> ProcessOf(HANDLE handle) {
  auto process = ReferenceHandleAs<ProcessObject>(handle);
  if (!process) SetLastError(ERROR_INVALID_HANDLE);
  return process;
}

}  // namespace

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                           LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID lpEnvironment,
                           LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
  WINSIM_FAULT_BOOL("CreateProcessW");
  return Create(CurrentIdentity(), lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment,
                lpCurrentDirectory, lpStartupInfo, lpProcessInformation);
}

// What winsim relies on, from Microsoft's CreateProcessAsUserW documentation: the token must be a
// primary token with TOKEN_QUERY, TOKEN_DUPLICATE and TOKEN_ASSIGN_PRIMARY access; the caller needs
// SE_ASSIGNPRIMARYTOKEN_NAME unless the token is (a restricted copy of) its own, and fails with
// ERROR_PRIVILEGE_NOT_HELD (1314) without it. Only LocalSystem holds that privilege by default
// (administrators do not). A null environment is the caller's, not the user's: the function does
// not add the user's variables itself.
BOOL WINAPI CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                 LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags,
                                 LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                 LPPROCESS_INFORMATION lpProcessInformation) {
  WINSIM_FAULT_BOOL("CreateProcessAsUserW");
  const Identity& caller = CurrentIdentity();
  if (!hToken) {
    return Create(caller, lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment, lpCurrentDirectory,
                  lpStartupInfo, lpProcessInformation);
  }
  auto token = ReferenceHandleAs<TokenObject>(hToken);
  if (!token) return Fail(ERROR_INVALID_HANDLE);
  if (token->Type() != TokenPrimary) return Fail(ERROR_BAD_TOKEN_TYPE);
  if (!token->Grants(TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY)) return Fail(ERROR_ACCESS_DENIED);
  const Identity& user = token->GetIdentity();
  bool ownToken = user.sid == caller.sid && user.sessionId == caller.sessionId;
  if (caller.kind != AccountKind::System && !ownToken) return Fail(ERROR_PRIVILEGE_NOT_HELD);
  return Create(user, lpApplicationName, lpCommandLine, dwCreationFlags, lpEnvironment, lpCurrentDirectory,
                lpStartupInfo, lpProcessInformation);
}

BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  WINSIM_FAULT_BOOL("GetExitCodeProcess");
  if (!lpExitCode) return Fail(ERROR_INVALID_PARAMETER);
  if (hProcess == GetCurrentProcess()) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto process = ProcessOf(hProcess);
  if (!process) return FALSE;
  *lpExitCode = process->ExitCode();
  return TRUE;
}

DWORD WINAPI GetProcessId(HANDLE Process) {
  WINSIM_FAULT_VALUE("GetProcessId", 0);
  if (Process == GetCurrentProcess()) return GetCurrentProcessId();
  auto process = ProcessOf(Process);
  return process ? process->Pid() : 0;
}

BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  WINSIM_FAULT_BOOL("TerminateProcess");
  if (hProcess == GetCurrentProcess()) ExitProcess(uExitCode);
  auto process = ProcessOf(hProcess);
  if (!process) return FALSE;
  DWORD error = ERROR_SUCCESS;
  try {
    error = process->Terminate(uExitCode);
  } catch (const std::exception&) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != ERROR_SUCCESS) return Fail(error);
  return TRUE;
}

// The same rules as ProcessIdToSessionId's: the idle process and a pid that names no running
// process of the machine fail with ERROR_INVALID_PARAMETER; a standard user cannot open another
// user's process (ERROR_ACCESS_DENIED). Access rights are not checked further: a handle can do what
// any handle can.
HANDLE WINAPI OpenProcess(DWORD, BOOL, DWORD dwProcessId) {
  WINSIM_FAULT_VALUE("OpenProcess", nullptr);
  if (dwProcessId == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<ProcessObject> process;
  try {
    process = OpenMachineProcess(dwProcessId);
  } catch (const std::exception&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!process) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const Identity& caller = CurrentIdentity();
  if (!caller.IsPrivileged() && process->GetIdentity().sid != caller.sid) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return InsertHandle(process);
}

void WINAPI GetStartupInfoW(LPSTARTUPINFOW lpStartupInfo) {
  CheckFault("GetStartupInfoW");  // the function cannot fail; a planned fault is only counted
  if (!lpStartupInfo) return;
  // The desktop the process was started on lives as long as the process.
  static std::wstring desktop = [] {
    const char* given = std::getenv("WINSIM_DESKTOP");
    return given ? WideFromUtf8(given) : std::wstring(L"WinSta0\\Default");
  }();
  std::memset(lpStartupInfo, 0, sizeof(*lpStartupInfo));
  lpStartupInfo->cb = sizeof(*lpStartupInfo);
  lpStartupInfo->lpDesktop = desktop.data();
}
