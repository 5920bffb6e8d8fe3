// winsim's RPC stub-writing API: what hand-written stubs use on winsim where MIDL's generated stubs
// and the NDR engine serve on Windows. It is winsim's own (not a Windows API), so it lives in its
// own folder and namespace; only stub files include it, never the code that calls or implements an
// interface.
//
// The wire is connection-oriented DCE/RPC with NDR 2.0 (little-endian when sending; both integer
// orders when receiving). The run-time does the presentation layer (bind, fragments, faults,
// callbacks, context handle tables); a stub only turns parameters into stub data and back.
//
// Writing the stubs of an interface
// ---------------------------------
// Take this IDL as the example:
//   [uuid(...), version(1.0)] interface Demo {
//     typedef [context_handle] void* DEMO_HANDLE;
//     void Open([in] handle_t h, [out] DEMO_HANDLE* ctx);               // opnum 0
//     void Close([in, out] DEMO_HANDLE* ctx);                            // opnum 1
//     void Run([in] DEMO_HANDLE ctx, [in] hyper period, [in] hyper v);   // opnum 2
//     [callback] void Tick([in] hyper count, [in] hyper v);              // callback 0
//     void Get([in] DEMO_HANDLE ctx, [out] BSTR* text);                  // opnum 3
//     void Set([in] DEMO_HANDLE ctx, [in, string] wchar_t* text);        // opnum 4
//   }
//
// Server side. One ServerRoutine per procedure, in opnum order, in a ServerInterface record; its
// address is the interface's RPC_IF_HANDLE (Demo_v1_0_s_ifspec) given to RpcServerRegisterIf3.
// A routine reads the [in] parameters from `in` in declaration order, runs the manager routine
// through call.Execute (which marks the call as executed: a failure before it reaches the client
// as a fault with PFC_DID_NOT_EXECUTE), then writes the [out] parameters to `out`:
//   void Open_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
//     ServerContextSlot* ctx = call.OutContext();
//     call.Execute([&] { Open(call.Binding(), &ctx->value); });
//     call.MarshalContext(out, ctx, DEMO_HANDLE_rundown);
//   }
//   void Close_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
//     ServerContextSlot* ctx = call.InOutContext(in);        // null, unknown or foreign: refused
//     call.Execute([&] { Close(&ctx->value); });
//     call.MarshalContext(out, ctx, DEMO_HANDLE_rundown);    // null value: the context is closed
//   }
//   void Run_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
//     void* ctx = call.InContext(in);
//     int64_t period = in.Hyper(), v = in.Hyper();
//     call.Execute([&] { Run(ctx, period, v); });
//   }
//   void Get_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
//     void* ctx = call.InContext(in);
//     BSTR text = nullptr;
//     call.Execute([&] { Get(ctx, &text); });
//     out.Bstr(text);
//     SysFreeString(text);
//   }
//   void Set_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
//     void* ctx = call.InContext(in);
//     std::wstring text = in.WideString();
//     call.Execute([&] { Set(ctx, text.data()); });
//   }
//   const ServerRoutine kDemoRoutines[] = {Open_s, Close_s, Run_s, Get_s, Set_s};
//   const ServerInterface kDemoServer = {sizeof(ServerInterface), kDemoId, kDemoRoutines, 5};
//   RPC_IF_HANDLE Demo_v1_0_s_ifspec = const_cast<ServerInterface*>(&kDemoServer);
// The server side of a callback is a function with the callback's signature that the manager
// routine calls; it runs the callback on the client of the call in progress on this thread:
//   void Tick(int64_t count, int64_t v) {
//     CallbackCall cb(0);
//     cb.In().Hyper(count);
//     cb.In().Hyper(v);
//     cb.Invoke();                                  // raises the failure as an RPC exception
//   }
//
// Client side. A ClientInterface record names the interface and its callback routines (in
// callback number order); its address is Demo_v1_0_c_ifspec. Each proxy makes one ClientCall
// on an explicit binding or on a context handle (which carries its own binding), writes the [in]
// parameters, invokes, and reads the [out] parameters:
//   void Open(handle_t h, DEMO_HANDLE* ctx) {
//     ClientCall call(h, kDemoClient, 0);
//     NdrReader& out = call.Invoke();
//     call.UnmarshalContext(out, reinterpret_cast<NDR_CCONTEXT*>(ctx));
//   }
//   void Close(DEMO_HANDLE* ctx) {
//     ClientCall call(ContextBinding{*ctx}, kDemoClient, 1);   // null: RPC_X_SS_IN_NULL_CONTEXT
//     call.MarshalContext(*ctx);
//     NdrReader& out = call.Invoke();
//     call.UnmarshalContext(out, reinterpret_cast<NDR_CCONTEXT*>(ctx));   // closed: set to null
//   }
//   void Run(DEMO_HANDLE ctx, int64_t period, int64_t v) {
//     ClientCall call(ContextBinding{ctx}, kDemoClient, 2);
//     call.MarshalContext(ctx);
//     call.In().Hyper(period);
//     call.In().Hyper(v);
//     call.Invoke();
//   }
//   void Get(DEMO_HANDLE ctx, BSTR* text) {
//     ClientCall call(ContextBinding{ctx}, kDemoClient, 3);
//     call.MarshalContext(ctx);
//     *text = call.Invoke().Bstr();
//   }
// and the client's callback routine unmarshals its [in] parameters and calls the application's
// routine on the thread that waits in the call:
//   void Tick_c(NdrReader& in, NdrWriter& out) { int64_t c = in.Hyper(), v = in.Hyper(); Tick(c, v); }
//   const CallbackRoutine kDemoCallbacks[] = {Tick_c};
//   const ClientInterface kDemoClient = {sizeof(ClientInterface), kDemoId, kDemoCallbacks, 1};
//
// Failures. Every function here reports a failure by raising winsim::RpcException (what
// RpcRaiseException raises and RpcExcept catches): NdrReader with RPC_X_BAD_STUB_DATA, context
// lookups with the context-mismatch status, ClientCall::Invoke with the call's failure (the fault
// status the server sent, mapped to a Windows status, RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED
// ...). A server routine that raises returns its code to the client as a fault.
//
// Fault injection: a plan for "RpcClientCall" makes ClientCall::Invoke raise the planned status
// before anything is sent, so that a proxy's failure paths can be driven from tests
// (WINSIM_FAULTS="RpcClientCall=1722*1").
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "oleauto.h"
#include "rpc.h"
#include "rpcndr.h"

namespace winsim::rpc {

// An interface or transfer syntax: UUID and major.minor version.
struct SyntaxIdentifier {
  GUID uuid;
  uint16_t major;
  uint16_t minor;
};

// A context handle as it travels: 4 bytes of attributes (0) and the context's UUID.
struct ContextWire {
  uint32_t attributes = 0;
  GUID uuid{};
  bool IsNull() const;
};

// Builds stub data. Alignment is counted from the start of the stub data, as NDR requires.
class NdrWriter {
 public:
  void Align(size_t boundary);
  void Small(uint8_t value);
  void Short(uint16_t value);
  void Long(uint32_t value);
  void Hyper(int64_t value);
  void Bytes(const void* data, size_t size);
  // A context handle in its 20-byte form (aligned to 4).
  void Context(const ContextWire& wire);
  // The referent ID of a unique pointer: 0 for null, else a fresh non-zero ID.
  void ReferentId(bool present);
  // A [string] wide string (conformant varying array of UTF-16 units with its terminator):
  // maximum count, offset 0, actual count, units. A null pointer raises RPC_X_NULL_REF_POINTER.
  void WideString(const wchar_t* text);
  // A BSTR as its user-marshalled wire form: a unique pointer whose referent is the
  // FLAGGED_WORD_BLOB (conformance, byte count, unit count, UTF-16 units), always little-endian.
  // A null BSTR is the blob with byte count 0xFFFFFFFF and no units.
  void Bstr(BSTR text);

  size_t Size() const { return m_data.size(); }
  const std::vector<uint8_t>& Data() const { return m_data; }
  std::vector<uint8_t> Take() { return std::move(m_data); }

 private:
  std::vector<uint8_t> m_data;
  uint32_t m_nextReferent = 0x00020000;
};

// Reads stub data; any shortfall or inconsistency raises RPC_X_BAD_STUB_DATA.
class NdrReader {
 public:
  NdrReader() = default;
  NdrReader(const uint8_t* data, size_t size, bool littleEndian = true);
  void Align(size_t boundary);
  uint8_t Small();
  uint16_t Short();
  uint32_t Long();
  int64_t Hyper();
  void Bytes(void* data, size_t size);
  ContextWire Context();
  uint32_t ReferentId();
  // A [string] wide string; the terminator must be the last unit.
  std::wstring WideString();
  // A BSTR (see NdrWriter::Bstr), allocated with SysAllocStringLen; null for a null BSTR.
  BSTR Bstr();

  size_t Remaining() const { return m_size - m_pos; }
  size_t Position() const { return m_pos; }

 private:
  void Need(size_t bytes) const;
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
  size_t m_pos = 0;
  bool m_little = true;
};

namespace detail {
struct CallState;
struct ClientCallState;
}  // namespace detail

class ServerCall;
// One procedure of a server interface.
using ServerRoutine = void (*)(ServerCall& call, NdrReader& in, NdrWriter& out);

// What RPC_IF_HANDLE points at on a server: the interface and its routines in opnum order.
struct ServerInterface {
  unsigned int length;  // sizeof(ServerInterface): the run-time checks it
  SyntaxIdentifier id;
  const ServerRoutine* routines;
  unsigned int routineCount;
};

// A context handle parameter during one server call: the manager routine receives `value`
// ([in]) or `&value` ([in, out] and [out]).
struct ServerContextSlot {
  void* value = nullptr;
};

// The call in progress, handed to a ServerRoutine.
class ServerCall {
 public:
  // The binding handle of this call (for RpcImpersonateClient and the manager's handle_t).
  RPC_BINDING_HANDLE Binding() const;
  uint16_t Opnum() const;
  // An [in] context handle: the manager's value. A null handle raises RPC_X_SS_IN_NULL_CONTEXT; a
  // closed, unknown or foreign one the context-mismatch fault; both before the manager runs.
  void* InContext(NdrReader& in);
  // An [in, out] context handle; null is refused as for [in] unless canBeNull.
  ServerContextSlot* InOutContext(NdrReader& in, bool canBeNull = false);
  // An [out] context handle: a fresh slot holding null.
  ServerContextSlot* OutContext();
  // Writes an [in, out] or [out] context after the manager returned: a non-null value is kept
  // (a new context gets a fresh UUID and this rundown routine), a null value closes the context.
  void MarshalContext(NdrWriter& out, ServerContextSlot* slot, NDR_RUNDOWN rundown);
  // Runs the manager routine; from here on a failure is reported as executed.
  template <class F>
  void Execute(F&& manager) {
    MarkExecuted();
    std::forward<F>(manager)();
  }

 private:
  friend struct detail::CallState;
  explicit ServerCall(detail::CallState* state) : m_state(state) {}
  void MarkExecuted();
  detail::CallState* m_state;
};

// A callback to the client of the call in progress on this thread (the server side of a
// [callback] procedure). Raises RPC_S_NO_CALL_ACTIVE outside a call.
class CallbackCall {
 public:
  explicit CallbackCall(uint16_t callbackNumber);
  ~CallbackCall();
  NdrWriter& In() { return m_in; }
  // Sends the request on the call's connection and waits for the client's answer; a closed
  // connection or an unexpected PDU raises RPC_S_CALL_FAILED, a fault its status.
  NdrReader& Invoke();

 private:
  uint16_t m_number;
  NdrWriter m_in;
  std::vector<uint8_t> m_result;
  NdrReader m_out;
};

// One callback routine of a client interface; runs on the thread that waits in the call.
using CallbackRoutine = void (*)(NdrReader& in, NdrWriter& out);

// What RPC_IF_HANDLE points at on a client: the interface and its callbacks in number order.
struct ClientInterface {
  unsigned int length;  // sizeof(ClientInterface): the run-time checks it
  SyntaxIdentifier id;
  const CallbackRoutine* callbacks;
  unsigned int callbackCount;
};

// Names a context handle as the binding of a call (both are untyped pointers).
struct ContextBinding {
  NDR_CCONTEXT context;
};

// One call from a client proxy.
class ClientCall {
 public:
  // On an explicit binding handle (RPC_S_INVALID_BINDING when it is not one).
  ClientCall(RPC_BINDING_HANDLE binding, const ClientInterface& iface, uint16_t opnum);
  // On the binding that a context handle carries (RPC_X_SS_IN_NULL_CONTEXT when it is null).
  ClientCall(ContextBinding binding, const ClientInterface& iface, uint16_t opnum);
  ~ClientCall();
  ClientCall(const ClientCall&) = delete;
  ClientCall& operator=(const ClientCall&) = delete;

  NdrWriter& In() { return m_in; }
  // Writes an [in] or [in, out] context handle; null is refused (RPC_X_SS_IN_NULL_CONTEXT)
  // unless canBeNull, and nothing is sent.
  void MarshalContext(NDR_CCONTEXT context, bool canBeNull = false);
  // Sends the request, serves callbacks, and returns the response's stub data.
  NdrReader& Invoke();
  // Reads an [out] or [in, out] context handle into *context: a new one is created on this
  // call's association, an existing one updated, and a null one freed and set to null.
  void UnmarshalContext(NdrReader& out, NDR_CCONTEXT* context);

 private:
  std::unique_ptr<detail::ClientCallState> m_state;
  NdrWriter m_in;
  NdrReader m_out;
};

}  // namespace winsim::rpc
