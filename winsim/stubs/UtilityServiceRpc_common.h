// What the server and client stubs of UtilityServiceRpc share: the interface's identity.
#pragma once
#include "winsim/rpcstub.h"

namespace utility_service_rpc {

// {4E9C2B71-3A5D-4F62-8B1E-7C0D95A3E2F4} version 1.0, as the IDL declares it.
inline const winsim::rpc::SyntaxIdentifier kInterfaceId = {
    {0x4E9C2B71, 0x3A5D, 0x4F62, {0x8B, 0x1E, 0x7C, 0x0D, 0x95, 0xA3, 0xE2, 0xF4}}, 1, 0};

// Procedure numbers in declaration order; the callback is numbered on its own.
enum : uint16_t {
  kOpenRpcEndpoint = 0,
  kCloseRpcEndpoint = 1,
  kStartMetering = 2,
  kSetMeteringPeriod = 3,
  kStopMetering = 4,
  kEndMetering = 5,
  kGetCommend = 6,
  kSetXMLCommend = 7,
  kProcedureCount = 8,
};
enum : uint16_t { kMeteringTickCallback = 0 };

}  // namespace utility_service_rpc
