// The server stubs of UtilityServiceRpc on winsim, written from the IDL: each reads the [in]
// parameters in declaration order with NDR 2.0, runs the manager routine and writes the [out]
// parameters. Context handles that are null, closed, unknown or of another association group are
// refused by the run-time before the manager routine runs.
#include "UtilityServiceRpc.h"

#include <string>

#include "UtilityServiceRpc_common.h"

using namespace winsim::rpc;
using namespace utility_service_rpc;

namespace {

void OpenRpcEndpoint_s(ServerCall& call, NdrReader&, NdrWriter& out) {
  ServerContextSlot* ctx = call.OutContext();
  call.Execute([&] { OpenRpcEndpoint(call.Binding(), &ctx->value); });
  call.MarshalContext(out, ctx, UTILITY_CONTEXT_HANDLE_rundown);
}

void CloseRpcEndpoint_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
  ServerContextSlot* ctx = call.InOutContext(in);
  call.Execute([&] { CloseRpcEndpoint(&ctx->value); });
  call.MarshalContext(out, ctx, UTILITY_CONTEXT_HANDLE_rundown);
}

void StartMetering_s(ServerCall& call, NdrReader& in, NdrWriter&) {
  void* ctx = call.InContext(in);
  hyper periodMs = in.Hyper();
  hyper callerValue = in.Hyper();
  call.Execute([&] { StartMetering(ctx, periodMs, callerValue); });
}

void SetMeteringPeriod_s(ServerCall& call, NdrReader& in, NdrWriter&) {
  void* ctx = call.InContext(in);
  hyper periodMs = in.Hyper();
  call.Execute([&] { SetMeteringPeriod(ctx, periodMs); });
}

void StopMetering_s(ServerCall& call, NdrReader& in, NdrWriter&) {
  void* ctx = call.InContext(in);
  call.Execute([&] { StopMetering(ctx); });
}

void EndMetering_s(ServerCall& call, NdrReader& in, NdrWriter&) {
  void* ctx = call.InContext(in);
  call.Execute([&] { EndMetering(ctx); });
}

void GetCommend_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
  void* ctx = call.InContext(in);
  // The [out] BSTR* is a reference pointer: the stub supplies the BSTR it points at.
  BSTR text = nullptr;
  call.Execute([&] { GetCommend(ctx, &text); });
  out.Bstr(text);
  SysFreeString(text);
}

void SetXMLCommend_s(ServerCall& call, NdrReader& in, NdrWriter&) {
  void* ctx = call.InContext(in);
  std::wstring command = in.WideString();
  call.Execute([&] { SetXMLCommend(ctx, command.c_str()); });
}

const ServerRoutine kRoutines[kProcedureCount] = {
    OpenRpcEndpoint_s, CloseRpcEndpoint_s, StartMetering_s, SetMeteringPeriod_s,
    StopMetering_s,    EndMetering_s,      GetCommend_s,    SetXMLCommend_s};
const ServerInterface kServer = {sizeof(ServerInterface), kInterfaceId, kRoutines, kProcedureCount};

}  // namespace

RPC_IF_HANDLE UtilityServiceRpc_v1_0_s_ifspec = const_cast<ServerInterface*>(&kServer);

// The server side of the callback: runs MeteringTick in the client of the call in progress on this
// thread, on that call's connection; a failure comes back as an RPC exception.
void MeteringTick(hyper tickCount, hyper callerValue) {
  CallbackCall cb(kMeteringTickCallback);
  cb.In().Hyper(tickCount);
  cb.In().Hyper(callerValue);
  cb.Invoke();
}
