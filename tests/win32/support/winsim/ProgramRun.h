// Where the built programs are, and copying one, on winsim: the programs are in the build's bin
// folder, reached through the machine's Z: drive; the machine has no CopyFileW.
#pragma once
#include <filesystem>
#include <string>

#include "MachineTest.h"
#include "core/paths.h"

namespace torvex::test {

inline std::wstring BuiltProgramPath(const std::wstring& name) {
  return winsim::WindowsPathOf(TORVEX_BIN_DIR) + L"\\" + name;
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
