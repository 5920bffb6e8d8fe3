// The parts of winbase.h that the system uses.
#pragma once
#include "minwinbase.h"
#include "minwindef.h"
#include "winnt.h"

// The session attached to the physical console; 0xFFFFFFFF when there is none.
DWORD WINAPI WTSGetActiveConsoleSessionId(void);

// Process creation flags.
#define DEBUG_PROCESS 0x00000001
#define DEBUG_ONLY_THIS_PROCESS 0x00000002
#define DETACHED_PROCESS 0x00000008
#define CREATE_NEW_CONSOLE 0x00000010
#define NORMAL_PRIORITY_CLASS 0x00000020
#define IDLE_PRIORITY_CLASS 0x00000040
#define HIGH_PRIORITY_CLASS 0x00000080
#define REALTIME_PRIORITY_CLASS 0x00000100
#define CREATE_NEW_PROCESS_GROUP 0x00000200
#define CREATE_UNICODE_ENVIRONMENT 0x00000400
#define CREATE_SEPARATE_WOW_VDM 0x00000800
#define CREATE_SHARED_WOW_VDM 0x00001000
#define INHERIT_PARENT_AFFINITY 0x00010000
#define CREATE_PROTECTED_PROCESS 0x00040000
#define EXTENDED_STARTUPINFO_PRESENT 0x00080000
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000
#define CREATE_SECURE_PROCESS 0x00400000
#define CREATE_BREAKAWAY_FROM_JOB 0x01000000
#define CREATE_PRESERVE_CODE_AUTHZ_LEVEL 0x02000000
#define CREATE_DEFAULT_ERROR_MODE 0x04000000
#define CREATE_NO_WINDOW 0x08000000

// STARTUPINFOW flags.
#define STARTF_USESHOWWINDOW 0x00000001
#define STARTF_USESIZE 0x00000002
#define STARTF_USEPOSITION 0x00000004
#define STARTF_USECOUNTCHARS 0x00000008
#define STARTF_USEFILLATTRIBUTE 0x00000010
#define STARTF_RUNFULLSCREEN 0x00000020
#define STARTF_FORCEONFEEDBACK 0x00000040
#define STARTF_FORCEOFFFEEDBACK 0x00000080
#define STARTF_USESTDHANDLES 0x00000100

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
