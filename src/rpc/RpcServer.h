// The local RPC endpoint that the companion app calls: its set-up (RpcServerConnect, which then
// listens) and its teardown when the service stops.
#pragma once
#include <windows.h>
#include <rpc.h>

#include <atomic>

// Set when the service stops; running metering loops end at their next tick without calling back.
extern std::atomic<bool> g_bRpcServerStopping;
// The server's bindings as registered with the endpoint mapper; kept for the teardown, which
// frees it.
extern RPC_BINDING_VECTOR* g_pRpcBindingVector;

// Sets up the endpoint and listens; returns only when listening ends or set-up failed. 0 when
// listening ended normally or was already under way, and also when the teardown had already run
// (then nothing is registered); otherwise the first failure.
RPC_STATUS RpcServerConnect();

// The service's stop: sets g_bRpcServerStopping, unregisters the interface without waiting for
// calls in progress, removes its endpoint-map entries and frees the binding vector. Serialised
// with the set-up of RpcServerConnect, so that a set-up that comes after it registers nothing.
void RpcServerTeardown();
