// The local RPC endpoint that the companion app calls.
#pragma once
#include <windows.h>

#include <atomic>

// Set when the service stops; running metering loops end at their next tick.
extern std::atomic<bool> g_bRpcServerStopping;

// Sets up the endpoint and listens; returns only when listening ends or set-up failed.
RPC_STATUS RpcServerConnect();
