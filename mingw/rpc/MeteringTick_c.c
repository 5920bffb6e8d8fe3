/* The client side of the callback MeteringTick, written by hand because widl cannot declare
 * callbacks: the dispatch table and the interpreter information that the client interface carries
 * (GenerateStubs.cmake puts them into widl's client interface), so that the client's run-time
 * unmarshals a callback request with the platform's NDR engine and calls the program's
 * MeteringTick. Dispatch entry i is callback number i.
 *
 * Compiled in one unit after widl's client stubs, whose stub descriptor it uses. */
#include "UtilityServiceRpc.h"
#include "MeteringTickFormat.h"

static RPC_DISPATCH_FUNCTION UtilityServiceRpc_CallbackTable[] = {
    NdrServerCall2, /* callback 0: MeteringTick */
    0,
};

static RPC_DISPATCH_TABLE UtilityServiceRpc_CallbackDispatchTable = {
    1,
    UtilityServiceRpc_CallbackTable,
    0,
};

static const SERVER_ROUTINE UtilityServiceRpc_CallbackRoutines[] = {
    (SERVER_ROUTINE)MeteringTick,
};

static const unsigned short UtilityServiceRpc_CallbackFormatOffsets[] = {
    0, /* MeteringTick */
};

static const MIDL_SERVER_INFO UtilityServiceRpc_CallbackServerInfo = {
    &UtilityServiceRpc_StubDesc,
    UtilityServiceRpc_CallbackRoutines,
    MeteringTick_ProcFormat,
    UtilityServiceRpc_CallbackFormatOffsets,
    0,
    0,
    0,
    0,
};
