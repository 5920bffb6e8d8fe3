#pragma once
#include "minwindef.h"

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#ifndef STILL_ACTIVE
#define STILL_ACTIVE 259L
#endif
#ifndef CREATE_SUSPENDED
#define CREATE_SUSPENDED 0x00000004
#endif
#ifndef STACK_SIZE_PARAM_IS_A_RESERVATION
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
#endif

// What a new process starts with. On winsim lpDesktop is handed to the process (its
// GetStartupInfoW reports it); the window and console fields are accepted and not used.
typedef struct _STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  LPBYTE lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
} STARTUPINFOW, *LPSTARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

HANDLE WINAPI GetCurrentProcess(void);
HANDLE WINAPI GetCurrentThread(void);
DWORD WINAPI GetCurrentProcessId(void);
DWORD WINAPI GetCurrentThreadId(void);
LPWSTR WINAPI GetCommandLineW(void);
[[noreturn]] void WINAPI ExitProcess(UINT uExitCode);
// The Remote Desktop Services session of a running process of the machine.
BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD* pSessionId);

// Process creation. The program is found as Windows documents: lpApplicationName is used as given
// (a relative name against the current directory, no search, no extension added); without it the
// first token of lpCommandLine names the program: the quoted text when it begins with a quote,
// else the text up to each blank in turn ("C:\Program Files\a b" tries C:\Program.exe, then
// C:\Program Files\a.exe, then C:\Program Files\a b.exe), ".exe" added to a name without an
// extension, and a name without a path looked for in the caller's image folder, the current
// folder, C:\Windows\System32, C:\Windows\System, C:\Windows and the caller's PATH. The child's
// GetCommandLineW returns lpCommandLine exactly (lpApplicationName when lpCommandLine is null).
// Failures: ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND (no program), ERROR_BAD_EXE_FORMAT (not a
// program), ERROR_ACCESS_DENIED (a folder), ERROR_DIRECTORY (lpCurrentDirectory is not a folder),
// ERROR_FILENAME_EXCED_RANGE (a command line over 32767 characters), ERROR_SHARING_VIOLATION (the
// program file is open for writing), ERROR_INVALID_PARAMETER (bad arguments or flags).
// Handles are not inherited (bInheritHandles is accepted); security attributes are ignored.
BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles, DWORD dwCreationFlags,
                           LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);
// As CreateProcessW, with the process running as the token's user in the token's session. The
// token must be primary (ERROR_BAD_TOKEN_TYPE) with TOKEN_QUERY, TOKEN_DUPLICATE and
// TOKEN_ASSIGN_PRIMARY access (ERROR_ACCESS_DENIED); a token of another user or session needs the
// privilege to assign primary tokens, which only LocalSystem holds (ERROR_PRIVILEGE_NOT_HELD). A
// null token starts the process as the caller, as CreateProcessW does.
BOOL WINAPI CreateProcessAsUserW(HANDLE hToken, LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                                 LPSECURITY_ATTRIBUTES lpProcessAttributes, LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                 BOOL bInheritHandles, DWORD dwCreationFlags, LPVOID lpEnvironment,
                                 LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                 LPPROCESS_INFORMATION lpProcessInformation);
// STILL_ACTIVE while the process runs, then its full 32-bit exit code.
BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
DWORD WINAPI GetProcessId(HANDLE Process);
// Ends the process with the code; ERROR_ACCESS_DENIED when it has already ended.
BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode);
// A handle to a running process of the machine: ERROR_INVALID_PARAMETER for a pid that names
// none (or the idle process), ERROR_ACCESS_DENIED for another user's process when the caller is
// not privileged.
HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId);
void WINAPI GetStartupInfoW(LPSTARTUPINFOW lpStartupInfo);
// Pseudo-handles of the caller's own tokens, which need no closing: the process's primary token
// and the thread's effective token may be queried (TOKEN_QUERY, TOKEN_QUERY_SOURCE); a winsim
// thread never impersonates, so it has no token of its own.
inline HANDLE GetCurrentProcessToken(void) { return (HANDLE)(LONG_PTR)-4; }
inline HANDLE GetCurrentThreadToken(void) { return (HANDLE)(LONG_PTR)-5; }
inline HANDLE GetCurrentThreadEffectiveToken(void) { return (HANDLE)(LONG_PTR)-6; }
// A handle to the primary token of the process (GetCurrentProcess() for the caller's own). A
// standard user cannot open the token of another user's process (ERROR_ACCESS_DENIED).
BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle);

// Threads. A thread handle is signalled when the thread ends.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId);
DWORD WINAPI ResumeThread(HANDLE hThread);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD WINAPI GetThreadId(HANDLE Thread);
