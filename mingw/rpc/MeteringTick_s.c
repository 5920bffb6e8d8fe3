/* The server side of the callback MeteringTick, written by hand because widl cannot declare
 * callbacks: what MIDL generates for it, a call through the platform's NDR engine with the
 * server's own stub descriptor and the callback's procedure format. The run-time sends it on the
 * connection of the call that the calling thread serves, and it returns when the client's routine
 * has returned; a failure comes out of it as an RPC exception.
 *
 * Compiled in one unit after widl's server stubs (see GenerateStubs.cmake), whose stub descriptor
 * it uses. */
#include "UtilityServiceRpc.h"
#include "MeteringTickFormat.h"

void __cdecl MeteringTick(hyper tickCount, hyper callerValue)
{
    NdrClientCall2((PMIDL_STUB_DESC)&UtilityServiceRpc_StubDesc, (PFORMAT_STRING)MeteringTick_ProcFormat,
                   tickCount, callerValue);
}
