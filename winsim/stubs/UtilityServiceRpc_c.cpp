// The client stubs of UtilityServiceRpc on winsim, written from the IDL: each proxy makes one call
// on the explicit binding or on the binding that its context handle carries, and the callback
// routine hands MeteringTick's [in] parameters to the client program's MeteringTick. A null context
// handle is refused here (RPC_X_SS_IN_NULL_CONTEXT) and nothing is sent.
#include "UtilityServiceRpc.h"

#include "UtilityServiceRpc_common.h"

using namespace winsim::rpc;
using namespace utility_service_rpc;

namespace {

void MeteringTick_c(NdrReader& in, NdrWriter&) {
  hyper tickCount = in.Hyper();
  hyper callerValue = in.Hyper();
  MeteringTick(tickCount, callerValue);
}

const CallbackRoutine kCallbacks[] = {MeteringTick_c};
const ClientInterface kClient = {sizeof(ClientInterface), kInterfaceId, kCallbacks, 1};

// A call on the context's own binding, with the context as its first parameter.
void ContextCall(UTILITY_CONTEXT_HANDLE hContext, uint16_t opnum, void (*more)(NdrWriter&, hyper), hyper value) {
  ClientCall call(ContextBinding{hContext}, kClient, opnum);
  call.MarshalContext(hContext);
  if (more) more(call.In(), value);
  call.Invoke();
}

}  // namespace

RPC_IF_HANDLE UtilityServiceRpc_v1_0_c_ifspec = const_cast<ClientInterface*>(&kClient);

void OpenRpcEndpoint(handle_t hBinding, UTILITY_CONTEXT_HANDLE* phContext) {
  ClientCall call(hBinding, kClient, kOpenRpcEndpoint);
  NdrReader& out = call.Invoke();
  call.UnmarshalContext(out, phContext);
}

void CloseRpcEndpoint(UTILITY_CONTEXT_HANDLE* phContext) {
  // The [in, out] pointer itself is a reference pointer: null is refused before anything is sent.
  if (phContext == nullptr) RpcRaiseException(RPC_X_NULL_REF_POINTER);
  ClientCall call(ContextBinding{*phContext}, kClient, kCloseRpcEndpoint);
  call.MarshalContext(*phContext);
  NdrReader& out = call.Invoke();
  call.UnmarshalContext(out, phContext);
}

void StartMetering(UTILITY_CONTEXT_HANDLE hContext, hyper periodMs, hyper callerValue) {
  ClientCall call(ContextBinding{hContext}, kClient, kStartMetering);
  call.MarshalContext(hContext);
  call.In().Hyper(periodMs);
  call.In().Hyper(callerValue);
  call.Invoke();
}

void SetMeteringPeriod(UTILITY_CONTEXT_HANDLE hContext, hyper periodMs) {
  ContextCall(hContext, kSetMeteringPeriod, [](NdrWriter& in, hyper v) { in.Hyper(v); }, periodMs);
}

void StopMetering(UTILITY_CONTEXT_HANDLE hContext) { ContextCall(hContext, kStopMetering, nullptr, 0); }

void EndMetering(UTILITY_CONTEXT_HANDLE hContext) { ContextCall(hContext, kEndMetering, nullptr, 0); }

void GetCommend(UTILITY_CONTEXT_HANDLE hContext, BSTR* pbstrText) {
  if (pbstrText == nullptr) RpcRaiseException(RPC_X_NULL_REF_POINTER);
  ClientCall call(ContextBinding{hContext}, kClient, kGetCommend);
  call.MarshalContext(hContext);
  *pbstrText = call.Invoke().Bstr();
}

void SetXMLCommend(UTILITY_CONTEXT_HANDLE hContext, const wchar_t* pszCommand) {
  ClientCall call(ContextBinding{hContext}, kClient, kSetXMLCommend);
  call.MarshalContext(hContext);
  call.In().WideString(pszCommand);  // null: RPC_X_NULL_REF_POINTER, nothing sent
  call.Invoke();
}
