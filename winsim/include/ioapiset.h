// Results and cancellation of overlapped I/O.
#pragma once
#include "minwinbase.h"
#include "minwindef.h"

// With bWait TRUE, returns only once the operation has really completed (not merely when its event
// is signalled by someone else). Bytes are reported even when the operation failed.
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                BOOL bWait);
// Cancels the handle's pending operation that uses lpOverlapped, or all of them when it is NULL,
// whichever thread issued them. ERROR_NOT_FOUND when nothing matched.
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
// Cancels the handle's pending operations issued by the calling thread.
BOOL WINAPI CancelIo(HANDLE hFile);
