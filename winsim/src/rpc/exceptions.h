// RPC exceptions and the translation between the fault statuses on the wire and Windows statuses.
#pragma once
#include <cstdint>

#include "rpc.h"

namespace winsim::rpc {

// Fault statuses of C706 (Appendix E) that this run-time sends or understands.
constexpr uint32_t kNcaIntDivByZero = 0x1C000001;
constexpr uint32_t kNcaAddrError = 0x1C000002;
constexpr uint32_t kNcaInvalidTag = 0x1C000006;
constexpr uint32_t kNcaInvalidBound = 0x1C000007;
constexpr uint32_t kNcaFaultCancel = 0x1C00000D;
constexpr uint32_t kNcaFaultUnspec = 0x1C000012;
constexpr uint32_t kNcaContextMismatch = 0x1C00001A;
constexpr uint32_t kNcaRemoteNoMemory = 0x1C00001B;
constexpr uint32_t kNcaOpRangeError = 0x1C010002;
constexpr uint32_t kNcaUnknownInterface = 0x1C010003;
constexpr uint32_t kNcaProtoError = 0x1C01000B;
constexpr uint32_t kNcaServerTooBusy = 0x1C010014;

// The status a server puts in a fault for a failure with this Windows status.
uint32_t FaultFromStatus(DWORD status);
// The Windows status a client reports for a fault status.
DWORD StatusFromFault(uint32_t fault);

[[noreturn]] void Raise(DWORD status);

}  // namespace winsim::rpc
