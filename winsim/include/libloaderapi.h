// Modules: the process image and the libraries it loads. On winsim a library is a winsim PE image
// whose payload is a native shared object, or a plain ELF shared object under a .dll or .so name;
// its exports are the shared object's dynamic symbols that it defines itself.
#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

// A name without a path is looked for among the loaded modules, then in the standard search order:
// the application's folder, the system folder, the 16-bit system folder, the Windows folder, the
// current folder and the folders of the Path variable. ".dll" is appended to a name without a path
// and without an extension. A library that exports DllMain has it called with DLL_PROCESS_ATTACH
// and DLL_PROCESS_DETACH (thread notifications are not delivered).
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
// Names only: winsim's libraries export no ordinals (an ordinal fails with ERROR_INVALID_ORDINAL).
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);
