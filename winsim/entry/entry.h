// The start-up that the C runtime does before a Windows program's entry function runs.
#pragma once
#include <string>
#include <vector>

#include "process/process.h"
#include "windows.h"

namespace winsim {

inline void StartProgram() { RegisterCurrentProcess(); }

inline int FinishProgram(int exitCode) {
  RecordProcessExit(static_cast<uint32_t>(exitCode));
  return exitCode;
}

}  // namespace winsim
