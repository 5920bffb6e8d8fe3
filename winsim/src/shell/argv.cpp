// The shell's split of a command line. Its rules are those that the C runtime also follows
// (SplitCrtCommandLine): argument 0 ends at the first blank or tab outside quotes and knows no
// backslash escapes; the others follow the backslash and doubled-quote rules. An empty line stands
// for the current program, as GetModuleFileNameW names it.
#include <cwchar>
#include <string>
#include <vector>

#include "core/fault.h"
#include "process/process.h"
#include "shellapi.h"
#include "windows.h"

LPWSTR* WINAPI CommandLineToArgvW(LPCWSTR lpCmdLine, int* pNumArgs) {
  WINSIM_FAULT_VALUE("CommandLineToArgvW", nullptr);
  if (!pNumArgs) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::vector<std::wstring> args;
  if (!lpCmdLine || !*lpCmdLine) {
    std::vector<WCHAR> path(MAX_PATH);
    for (;;) {
      DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
      if (length == 0) return nullptr;  // its last error stands
      if (length < path.size()) {
        args.emplace_back(path.data(), length);
        break;
      }
      path.resize(path.size() * 2);
    }
  } else {
    args = winsim::SplitCrtCommandLine(lpCmdLine);
  }

  // One block: the pointer array (with a null entry after the last argument), then the strings.
  size_t bytes = (args.size() + 1) * sizeof(LPWSTR);
  for (const auto& a : args) bytes += (a.size() + 1) * sizeof(WCHAR);
  auto* argv = static_cast<LPWSTR*>(LocalAlloc(LMEM_FIXED, bytes));
  if (!argv) return nullptr;  // LocalAlloc set the last error
  auto* text = reinterpret_cast<WCHAR*>(argv + args.size() + 1);
  for (size_t i = 0; i < args.size(); ++i) {
    argv[i] = text;
    std::wmemcpy(text, args[i].c_str(), args[i].size() + 1);
    text += args[i].size() + 1;
  }
  argv[args.size()] = nullptr;
  *pNumArgs = static_cast<int>(args.size());
  return argv;
}
