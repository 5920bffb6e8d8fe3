// A library for the loader's tests: a function, a variable, its own module's file name, and a
// DllMain that records its notifications in the WINSIM_TESTLIB_EVENTS environment variable and
// fails DLL_PROCESS_ATTACH while WINSIM_TESTLIB_FAIL_ATTACH is set.
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {
void Record(const char* event) {
  const char* before = std::getenv("WINSIM_TESTLIB_EVENTS");
  std::string events = before ? before : "";
  events += event;
  events += ";";
  setenv("WINSIM_TESTLIB_EVENTS", events.c_str(), 1);
}
}  // namespace

extern "C" {

int WinsimTestValue = 42;

int WinsimTestAdd(int a, int b) { return a + b; }

// The file name of the module that holds this function, found from its address.
DWORD WinsimTestOwnPath(wchar_t* buffer, DWORD size) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&WinsimTestOwnPath), &self)) {
    return 0;
  }
  return GetModuleFileNameW(self, buffer, size);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    Record("attach");
    if (std::getenv("WINSIM_TESTLIB_FAIL_ATTACH")) return FALSE;
  } else if (reason == DLL_PROCESS_DETACH) {
    Record("detach");
  }
  return TRUE;
}

}  // extern "C"
