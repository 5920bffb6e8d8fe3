// The RPC run-time (rpc.h): the API of rpcdce.h and the exception macros that guard RPC calls.
//
// On Windows RpcTryExcept/RpcExcept/RpcEndExcept are structured exception handling; winsim raises an
// RPC exception as a C++ exception of its own type, so the macros are a try block and a catch of
// that type whose filter expression decides, as the SEH filter does, whether the handler runs
// (a value above 0) or the exception goes on (0 or below). RpcExceptionCode() names the code in the
// filter expression and in the handler, as on Windows:
//   RpcTryExcept { Call(h); } RpcExcept(I_RpcExceptionFilter(RpcExceptionCode())) { status = RpcExceptionCode(); } RpcEndExcept
#pragma once
#include "excpt.h"
#include "rpcdce.h"

namespace winsim {
// The exception that RpcRaiseException throws and the run-time raises for failed calls.
struct RpcException {
  DWORD code;
};
}  // namespace winsim

[[noreturn]] void RPC_ENTRY RpcRaiseException(RPC_STATUS exception);
int RPC_ENTRY I_RpcExceptionFilter(ULONG ExceptionCode);

#define RpcTryExcept try {
#define RpcExcept(expr)                                                 \
  }                                                                     \
  catch (const ::winsim::RpcException& winsimRpcException_) {           \
    if (!((expr) > 0)) throw;                                           \
    {
#define RpcEndExcept \
  }                  \
  }
#define RpcExceptionCode() (winsimRpcException_.code)
