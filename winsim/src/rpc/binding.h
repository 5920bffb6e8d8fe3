// Binding handles. A client binding handle (from a string binding or RpcServerInqBindings) names a
// protocol sequence, an endpoint and an object UUID, and owns the association that its calls and
// the context handles they open share. The server hands its routines a binding handle for the call
// in progress. Every live handle is listed, so that a stale or foreign pointer is refused with
// RPC_S_INVALID_BINDING instead of being followed.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "rpc.h"
#include "rpcndr.h"
#include "winsim/rpcstub.h"

namespace winsim::rpc {

struct Association;

struct ClientBinding {
  std::wstring protseq;
  std::wstring networkAddress;
  std::wstring endpoint;  // empty: resolved through the endpoint map at the first call
  std::wstring options;
  std::optional<GUID> object;
  std::mutex lock;
  std::shared_ptr<Association> association;  // made at the first call
};

// A client context handle: the server's context in its wire form and the association it lives in.
struct ClientContext {
  ContextWire wire;
  std::shared_ptr<Association> association;
};

// Registration of live handles.
ClientBinding* NewClientBinding();
ClientBinding* AsClientBinding(RPC_BINDING_HANDLE handle);
void DeleteClientBinding(ClientBinding* binding);
ClientContext* NewClientContext();
ClientContext* AsClientContext(NDR_CCONTEXT handle);
void DeleteClientContext(ClientContext* context);

// The binding handle that a server routine receives: the call in progress.
namespace detail {
struct CallState;
}
bool IsCallBinding(RPC_BINDING_HANDLE handle);

// The string binding of a handle: [object@]protseq:[address][[endpoint][,options]].
std::wstring StringBindingOf(const ClientBinding& binding);

}  // namespace winsim::rpc
