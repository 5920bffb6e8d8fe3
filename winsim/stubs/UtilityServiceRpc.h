// The interface UtilityServiceRpc (src/rpc/UtilityServiceRpc.idl) as its generated header declares
// it, for winsim, where the stubs are written by hand (UtilityServiceRpc_s.cpp for the server,
// UtilityServiceRpc_c.cpp for the client) on winsim's stub API. On Windows the IDL compiler makes
// this header and the stubs from the IDL; product code includes "UtilityServiceRpc.h" either way.
//
// Procedure numbers: OpenRpcEndpoint 0, CloseRpcEndpoint 1, StartMetering 2, SetMeteringPeriod 3,
// StopMetering 4, EndMetering 5, GetCommend 6, SetXMLCommend 7; MeteringTick is callback 0.
#pragma once
#include <rpc.h>
#include <rpcndr.h>
#include <oleauto.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* UTILITY_CONTEXT_HANDLE;

extern RPC_IF_HANDLE UtilityServiceRpc_v1_0_c_ifspec;
extern RPC_IF_HANDLE UtilityServiceRpc_v1_0_s_ifspec;

// The procedures: the client's proxies and the server's manager routines share these names and
// signatures (a program links either the client stubs or the server stubs).
void OpenRpcEndpoint(handle_t hBinding, UTILITY_CONTEXT_HANDLE* phContext);
void CloseRpcEndpoint(UTILITY_CONTEXT_HANDLE* phContext);
void StartMetering(UTILITY_CONTEXT_HANDLE hContext, hyper periodMs, hyper callerValue);
void SetMeteringPeriod(UTILITY_CONTEXT_HANDLE hContext, hyper periodMs);
void StopMetering(UTILITY_CONTEXT_HANDLE hContext);
void EndMetering(UTILITY_CONTEXT_HANDLE hContext);
void GetCommend(UTILITY_CONTEXT_HANDLE hContext, BSTR* pbstrText);
void SetXMLCommend(UTILITY_CONTEXT_HANDLE hContext, const wchar_t* pszCommand);

// The callback: on the server, the stub that calls the client of the call in progress; on the
// client, the routine that the client program implements.
void MeteringTick(hyper tickCount, hyper callerValue);

// The server's rundown routine of a context whose client has gone.
void __RPC_USER UTILITY_CONTEXT_HANDLE_rundown(UTILITY_CONTEXT_HANDLE hContext);

#ifdef __cplusplus
}
#endif
