// The parts of winbase.h that the system uses.
#pragma once
#include "minwinbase.h"
#include "minwindef.h"
#include "winnt.h"

// The session attached to the physical console; 0xFFFFFFFF when there is none.
DWORD WINAPI WTSGetActiveConsoleSessionId(void);

// Moving and renaming files and folders.
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004
#define MOVEFILE_WRITE_THROUGH 0x00000008
#define MOVEFILE_CREATE_HARDLINK 0x00000010
#define MOVEFILE_FAIL_IF_NOT_TRACKABLE 0x00000020

// A file whose other opens do not all share deletion cannot be moved (ERROR_SHARING_VIOLATION);
// a file with any open handle cannot be replaced (ERROR_ACCESS_DENIED). winsim does not restart,
// so MOVEFILE_DELAY_UNTIL_REBOOT fails with ERROR_NOT_SUPPORTED.
BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);
// MoveFileExW with MOVEFILE_COPY_ALLOWED: never replaces; a folder does not move to another drive.
BOOL WINAPI MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName);

// Internal is written by the thread that completes the I/O; the read is atomic here as the kernel's
// write is on Windows.
#define HasOverlappedIoCompleted(lpOverlapped) \
  (((DWORD)__atomic_load_n(&(lpOverlapped)->Internal, __ATOMIC_ACQUIRE)) != STATUS_PENDING)

// Directory change notification. On winsim only the folder's own entries can be watched
// (bWatchSubtree TRUE fails with ERROR_INVALID_PARAMETER) and completion routines are not
// supported (ERROR_INVALID_PARAMETER); completion is signalled through the OVERLAPPED's event.
BOOL WINAPI ReadDirectoryChangesW(HANDLE hDirectory, LPVOID lpBuffer, DWORD nBufferLength, BOOL bWatchSubtree,
                                  DWORD dwNotifyFilter, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped,
                                  LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine);
