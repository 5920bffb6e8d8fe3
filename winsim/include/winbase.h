// The parts of winbase.h that the system uses.
#pragma once
#include "minwinbase.h"
#include "minwindef.h"
#include "winnt.h"

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

// Compares the machine's Windows version (set with `winsim version set`) with the requirements.
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask);
