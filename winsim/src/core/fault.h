// Fault injection: any winsim function can be told to fail with a chosen error, in the terms of its
// own result (the last error of a BOOL or handle function, the LSTATUS, HRESULT or status it
// returns). Plans come from the test API or, for a whole process, from WINSIM_FAULTS:
//   WINSIM_FAULTS="GetTempPathW=5;OpenSCManagerW=5*1;RegOpenKeyExW=2@3"
// NAME=ERR fails every call, NAME=ERR*N the next N calls, NAME=ERR@K only the K-th call (from 1).
// Error values may be decimal or 0x-hexadecimal.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace winsim {

// Called at the entry of each winsim function: the error to fail with, or nullopt.
std::optional<uint32_t> CheckFault(const char* function);

void InjectFault(const std::string& function, uint32_t error, int count = -1, int onCall = 0);
void ClearFaults();

}  // namespace winsim

// For the common shape: a BOOL function that fails with FALSE and its last error.
#define WINSIM_FAULT_BOOL(name)                 \
  do {                                          \
    if (auto fault_ = ::winsim::CheckFault(name)) { \
      ::SetLastError(*fault_);                  \
      return FALSE;                             \
    }                                           \
  } while (0)
// A function that returns its status (LSTATUS, HRESULT, ULONG, RPC_STATUS) directly.
#define WINSIM_FAULT_STATUS(name, type)         \
  do {                                          \
    if (auto fault_ = ::winsim::CheckFault(name)) return static_cast<type>(*fault_); \
  } while (0)
// A function that fails with a given value (a null handle, 0) and its last error.
#define WINSIM_FAULT_VALUE(name, value)         \
  do {                                          \
    if (auto fault_ = ::winsim::CheckFault(name)) { \
      ::SetLastError(*fault_);                  \
      return value;                             \
    }                                           \
  } while (0)
