// The process heap. Windows declares these in heapapi.h, which windows.h includes.
#pragma once
#include "minwindef.h"

#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_GENERATE_EXCEPTIONS 0x00000004
#define HEAP_ZERO_MEMORY 0x00000008

HANDLE WINAPI GetProcessHeap(void);
// NULL when the block cannot be had. Windows sets no last error here; with HEAP_GENERATE_EXCEPTIONS
// it would raise an exception instead, which winsim, having no structured exceptions, does not:
// it returns NULL in that case too.
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
