// A small program for the loader's tests, run as a PE image. It prints its module file name, then
// acts on its command line:
//   pe_probe exit CODE      ends with the 32-bit exit code CODE (decimal or 0x-hexadecimal)
//   pe_probe load NAME      loads the library NAME, prints its file name and WinsimTestAdd(2, 3),
//                           and ends with 0, or with the last error when the load fails
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::printf("image=%ls\n", n ? path : L"");
  if (argc >= 3 && std::wstring(argv[1]) == L"exit") {
    std::fflush(stdout);
    ExitProcess(static_cast<UINT>(std::wcstoul(argv[2], nullptr, 0)));
  }
  if (argc >= 3 && std::wstring(argv[1]) == L"load") {
    HMODULE library = LoadLibraryW(argv[2]);
    if (!library) {
      DWORD error = GetLastError();
      std::printf("load failed %lu\n", static_cast<unsigned long>(error));
      return static_cast<int>(error);
    }
    n = GetModuleFileNameW(library, path, MAX_PATH);
    using Add = int (*)(int, int);
    auto add = reinterpret_cast<Add>(reinterpret_cast<void (*)()>(GetProcAddress(library, "WinsimTestAdd")));
    std::printf("library=%ls\nsum=%d\n", n ? path : L"", add ? add(2, 3) : -1);
    FreeLibrary(library);
    return 0;
  }
  return 0;
}
