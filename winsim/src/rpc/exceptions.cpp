#include "rpc/exceptions.h"

namespace winsim::rpc {

// Windows' run-time sends most failures as their Windows status (access denied 5, bad stub data
// 0x6F7, a manager routine's own exception code) and the presentation-level ones as C706's NCA
// statuses; its clients map those back.
uint32_t FaultFromStatus(DWORD status) {
  switch (status) {
    case RPC_S_PROCNUM_OUT_OF_RANGE: return kNcaOpRangeError;
    case RPC_S_UNKNOWN_IF: return kNcaUnknownInterface;
    case RPC_X_SS_CONTEXT_MISMATCH: return kNcaContextMismatch;
    case RPC_S_PROTOCOL_ERROR: return kNcaProtoError;
    case RPC_S_SERVER_TOO_BUSY: return kNcaServerTooBusy;
    case RPC_S_CALL_CANCELLED: return kNcaFaultCancel;
    default: return status;
  }
}

DWORD StatusFromFault(uint32_t fault) {
  switch (fault) {
    case kNcaOpRangeError: return RPC_S_PROCNUM_OUT_OF_RANGE;
    case kNcaUnknownInterface: return RPC_S_UNKNOWN_IF;
    case kNcaContextMismatch: return RPC_X_SS_CONTEXT_MISMATCH;
    case kNcaProtoError: return RPC_S_PROTOCOL_ERROR;
    case kNcaServerTooBusy: return RPC_S_SERVER_TOO_BUSY;
    case kNcaFaultCancel: return RPC_S_CALL_CANCELLED;
    case kNcaIntDivByZero: return RPC_S_ZERO_DIVIDE;
    case kNcaAddrError: return RPC_S_ADDRESS_ERROR;
    case kNcaInvalidTag: return RPC_S_INVALID_TAG;
    case kNcaInvalidBound: return RPC_S_INVALID_BOUND;
    case kNcaRemoteNoMemory: return RPC_S_SERVER_OUT_OF_MEMORY;
    case kNcaFaultUnspec: return RPC_S_CALL_FAILED;
    default: return fault;
  }
}

void Raise(DWORD status) { throw RpcException{status}; }

}  // namespace winsim::rpc

void RPC_ENTRY RpcRaiseException(RPC_STATUS exception) { throw winsim::RpcException{static_cast<DWORD>(exception)}; }

// Exceptions that signal a broken process rather than a failed call go on to the next handler, as
// Microsoft documents for RpcExceptionFilter.
int RPC_ENTRY I_RpcExceptionFilter(ULONG ExceptionCode) {
  switch (ExceptionCode) {
    case 0xC0000005u:  // STATUS_ACCESS_VIOLATION
    case 0xC0000194u:  // STATUS_POSSIBLE_DEADLOCK
    case 0xC00000AAu:  // STATUS_INSTRUCTION_MISALIGNMENT
    case 0x80000002u:  // STATUS_DATATYPE_MISALIGNMENT
    case 0xC0000096u:  // STATUS_PRIVILEGED_INSTRUCTION
    case 0xC000001Du:  // STATUS_ILLEGAL_INSTRUCTION
    case 0x80000003u:  // STATUS_BREAKPOINT
    case 0xC00000FDu:  // STATUS_STACK_OVERFLOW
    case 0xC0000235u:  // STATUS_HANDLE_NOT_CLOSABLE
    case 0xC0000006u:  // STATUS_IN_PAGE_ERROR
    case 0xC0000420u:  // STATUS_ASSERTION_FAILURE
    case 0xC0000409u:  // STATUS_STACK_BUFFER_OVERRUN
    case 0x80000001u:  // STATUS_GUARD_PAGE_VIOLATION
      return EXCEPTION_CONTINUE_SEARCH;
    default:
      return EXCEPTION_EXECUTE_HANDLER;
  }
}
