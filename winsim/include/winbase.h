// The parts of winbase.h that the system uses.
#pragma once
#include "minwinbase.h"
#include "minwindef.h"
#include "winnt.h"

// The session attached to the physical console; 0xFFFFFFFF when there is none.
DWORD WINAPI WTSGetActiveConsoleSessionId(void);

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

// Local memory. Blocks are fixed: LMEM_MOVEABLE is accepted and gives a fixed block, whose handle
// is its address. Security functions hand out their results in such blocks.
#define LMEM_FIXED 0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_NOCOMPACT 0x0010
#define LMEM_NODISCARD 0x0020
#define LMEM_ZEROINIT 0x0040
#define LMEM_MODIFY 0x0080
#define LMEM_DISCARDABLE 0x0F00
#define LMEM_VALID_FLAGS 0x0F72
#define LMEM_INVALID_HANDLE 0x8000
#define LHND (LMEM_MOVEABLE | LMEM_ZEROINIT)
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
#define NONZEROLHND (LMEM_MOVEABLE)
#define NONZEROLPTR (LMEM_FIXED)

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
// NULL on success; the handle itself, with ERROR_INVALID_HANDLE, for a handle that is not a live block.
HLOCAL WINAPI LocalFree(HLOCAL hMem);
SIZE_T WINAPI LocalSize(HLOCAL hMem);

// Compares the machine's Windows version (set with `winsim version set`) with the requirements.
BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask);
