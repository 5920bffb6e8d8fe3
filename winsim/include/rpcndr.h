// The NDR engine's declarations that stubs and their callers share (rpcndr.h): the client's
// context handle, the rundown routine of a server context, and the client-side context release.
#pragma once
#include <cstddef>

#include "rpc.h"

// A client context handle: the run-time's record of the server's context (its 20-byte wire form
// and the association it belongs to); null when no context is open.
typedef void* NDR_CCONTEXT;
// The routine that a server runs for a context whose client has gone.
typedef void(__RPC_USER* NDR_RUNDOWN)(void* context);

// Frees a client context handle without contacting the server, and sets it to null.
void RPC_ENTRY RpcSsDestroyClientContext(void** ContextHandle);

// NDR's 64-bit signed integer, as generated headers name it.
typedef long long hyper;

// The stubs' memory routines, which every program that uses generated stubs implements (here with
// the C run-time's malloc and free).
extern "C" {
void* __RPC_USER midl_user_allocate(size_t size);
void __RPC_USER midl_user_free(void* pointer);
}
