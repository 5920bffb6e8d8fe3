// A program for the process tests to run on the machine: it starts the number of extra threads
// given as its second argument, creates the file named by its first argument (a Windows path)
// followed by ".ready" to say that it has, then waits until the file named by its first argument
// exists, and exits with 0. Its image name is whatever its starter calls it.
#include <windows.h>

#include <atomic>
#include <cwchar>
#include <string>

namespace {

std::atomic<bool> g_done{false};

DWORD WINAPI Idle(LPVOID) {
  while (!g_done.load()) Sleep(10);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  int threads = argc > 2 ? static_cast<int>(std::wcstol(argv[2], nullptr, 10)) : 0;
  HANDLE handles[16] = {};
  if (threads < 0 || threads > 16) return 2;
  for (int i = 0; i < threads; ++i) {
    handles[i] = CreateThread(nullptr, 0, Idle, nullptr, 0, nullptr);
    if (!handles[i]) return 3;
  }
  std::wstring ready = std::wstring(argv[1]) + L".ready";
  HANDLE file = CreateFileW(ready.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 4;
  CloseHandle(file);
  while (GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES) Sleep(10);
  g_done.store(true);
  for (int i = 0; i < threads; ++i) {
    WaitForSingleObject(handles[i], INFINITE);
    CloseHandle(handles[i]);
  }
  return 0;
}
