/* The interface UtilityServiceRpc as product code includes it in the MinGW build: widl's header,
 * made from the IDL without the callback (see GenerateStubs.cmake), and the callback's
 * declaration as MIDL's header gives it. The server side implements MeteringTick as the stub that
 * calls the client back; the client program implements it as the routine that the call reaches. */
#ifndef UTILITY_SERVICE_RPC_MINGW_H
#define UTILITY_SERVICE_RPC_MINGW_H

#include "UtilityServiceRpcWidl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Callback number 0 of the interface: the server calls it on the connection of the call in
 * progress (StartMetering), and it runs on the client thread that waits in that call. */
void __cdecl MeteringTick(hyper tickCount, hyper callerValue);

#ifdef __cplusplus
}
#endif

#endif
