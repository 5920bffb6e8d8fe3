// Running a built program with an exact command line on winsim. The machine's own process
// creation, as `winsim run` uses it, starts the program as the test's identity with its
// environment.
#pragma once
#include <filesystem>
#include <string>

#include "MachineTest.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/process.h"
#include "windows.h"

namespace torvex::test {

inline std::wstring BuiltProgramPath(const std::wstring& name) {
  return winsim::WindowsPathOf(TORVEX_BIN_DIR) + L"\\" + name;
}

inline bool RunAndWait(const std::wstring& program, const std::wstring& commandLine, DWORD* exitCode) {
  auto linux = winsim::LinuxPathOf(program);
  if (!linux) return false;
  winsim::SpawnRequest request;
  request.linuxPath = *linux;
  request.windowsImage = program;
  request.commandLine = commandLine;
  request.identity = winsim::CurrentIdentity();
  request.windowsEnv = winsim::CurrentWindowsEnvironment();
  pid_t pid = winsim::SpawnProcess(request);
  if (pid < 0) return false;
  *exitCode = winsim::WaitForChild(pid);
  return true;
}

// Keeps the file's Linux mode, which lets a native program run.
inline bool CopyProgram(const std::wstring& from, const std::wstring& to) {
  auto source = winsim::LinuxPathOf(from);
  auto target = winsim::LinuxPathOf(to);
  std::error_code ec;
  return source && target &&
         std::filesystem::copy_file(*source, *target, std::filesystem::copy_options::overwrite_existing, ec);
}

}  // namespace torvex::test
