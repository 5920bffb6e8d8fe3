// The shell's command-line split and program launching.
#pragma once
#include "minwindef.h"
#include "winerror.h"

// Splits a command line into arguments as Windows documents it. Argument 0, the program, ends at
// the first blank or tab outside quotes and takes no backslash escapes (a quote only opens or
// closes a quoted part). In the other arguments 2n backslashes and a quote give n backslashes and
// open or close a quoted part, 2n+1 backslashes and a quote give n backslashes and a literal quote,
// backslashes before anything else are literal, and a doubled quote inside a quoted part gives one
// literal quote. An empty line gives one argument: the path of the current program. The result is
// one block, freed with LocalFree; NULL with the last error on failure.
LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs);

// Errors that ShellExecuteW returns (as a value of 32 or less).
#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_DLLNOTFOUND 32
#define SE_ERR_SHARE 26
#define SE_ERR_ASSOCINCOMPLETE 27
#define SE_ERR_DDETIMEOUT 28
#define SE_ERR_DDEFAIL 29
#define SE_ERR_DDEBUSY 30
#define SE_ERR_NOASSOC 31

// Performs a verb on a file; for a program, "open" (or no verb) starts it in the caller's session
// as the caller. Returns a value greater than 32 on success, cast to HINSTANCE, or an error of 32
// or less (0, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_BAD_FORMAT, SE_ERR_*); the last
// error is set to the matching Win32 error too.
HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                               LPCWSTR lpDirectory, INT nShowCmd);
