// The Windows build's delay-load failure hook. DeriveCapabilitySidsFromName is delay-loaded from
// kernelbase.dll, so that the programs still start where kernelbase.dll lacks it (Windows before
// 10; Wine 8 too). Without a hook, the first call there would raise the delay-load helper's
// exception and end the process; with it, the call fails as a Win32 call does: FALSE with
// ERROR_PROC_NOT_FOUND, which the callers already handle (RpcServerConnect returns the last error).
// Where the function exists the hook is never called, and nothing changes.
//
// The helper calls the failure hook with dliFailGetProc when GetProcAddress found no export, and
// uses a non-null result as the function's address from then on (in place of the exception).
// Built for the Windows build only; every program that links the service's library compiles it, so
// that the linker takes this definition of the hook instead of the C run-time's empty one.
#include <windows.h>

#include <cstring>

// The hooks are const in newer SDKs unless asked for writable ones; the toolchains that declare
// them plainly ignore the request. Either way the definition below matches the declaration.
#define DELAYIMP_INSECURE_WRITABLE_HOOKS
#include <delayimp.h>

namespace {

// DeriveCapabilitySidsFromName where kernelbase.dll does not export it.
BOOL WINAPI DeriveCapabilitySidsFromNameMissing(LPCWSTR, PSID**, DWORD*, PSID**, DWORD*) {
  SetLastError(ERROR_PROC_NOT_FOUND);
  return FALSE;
}

FARPROC WINAPI DelayLoadFailureHook(unsigned dliNotify, PDelayLoadInfo pdli) {
  if (dliNotify != dliFailGetProc || pdli == nullptr || !pdli->dlp.fImportByName) return nullptr;
  if (pdli->szDll == nullptr || lstrcmpiA(pdli->szDll, "kernelbase.dll") != 0) return nullptr;
  if (pdli->dlp.szProcName == nullptr || std::strcmp(pdli->dlp.szProcName, "DeriveCapabilitySidsFromName") != 0) {
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&DeriveCapabilitySidsFromNameMissing));
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliFailureHook2 = DelayLoadFailureHook;
}
