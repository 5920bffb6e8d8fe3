// A test interface with the shapes that product interfaces use, with hand-written stubs on the
// winsim stub API (winsim/include/winsim/rpcstub.h). As IDL:
//   [uuid(7A3F1C52-9B4E-4D21-A6C8-3E5B7D9F0A12), version(1.0)] interface TestRpc {
//     typedef [context_handle] void* TEST_CONTEXT;
//     void TestOpen([in] handle_t h, [out] TEST_CONTEXT* ctx);                          // 0
//     void TestClose([in, out] TEST_CONTEXT* ctx);                                       // 1
//     void TestAdd([in] TEST_CONTEXT ctx, [in] hyper a, [in] hyper b, [out] hyper* sum); // 2
//     void TestTicks([in] TEST_CONTEXT ctx, [in] hyper count, [in] hyper value);        // 3
//     [callback] void TestTick([in] hyper tick, [in] hyper value);                      // callback 0
//     void TestGetText([in] TEST_CONTEXT ctx, [out] BSTR* text);                         // 4
//     void TestSetText([in] TEST_CONTEXT ctx, [in, string] wchar_t* text);               // 5
//     void TestWait([in] handle_t h, [in] hyper gate);                                   // 6
//     void TestWhoAmI([in] handle_t h, [out] BSTR* who);                                 // 7
//   }
// TestTicks calls TestTick back `count` times; TestWait blocks until its gate is released.
// The server's manager routines report what they do through an event sink; the client's
// TestTick routine is a settable handler.
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <rpcndr.h>

#include <cstdint>
#include <functional>
#include <string>

typedef void* TEST_CONTEXT;

extern RPC_IF_HANDLE TestRpc_v1_0_s_ifspec;
extern RPC_IF_HANDLE TestRpc_v1_0_c_ifspec;

// Client proxies.
void Client_TestOpen(handle_t h, TEST_CONTEXT* ctx);
void Client_TestClose(TEST_CONTEXT* ctx);
void Client_TestAdd(TEST_CONTEXT ctx, int64_t a, int64_t b, int64_t* sum);
void Client_TestTicks(TEST_CONTEXT ctx, int64_t count, int64_t value);
void Client_TestGetText(TEST_CONTEXT ctx, BSTR* text);
void Client_TestSetText(TEST_CONTEXT ctx, const wchar_t* text);
void Client_TestWait(handle_t h, int64_t gate);
void Client_TestWhoAmI(handle_t h, BSTR* who);

namespace testrpc {

// The interface's UUID and version.
extern const GUID kInterfaceUuid;

// Server events, one line each: "open N", "close N", "add N A B", "ticks N COUNT VALUE",
// "ticks-done N", "ticks-failed N CODE", "gettext N", "settext N TEXT", "wait GATE", "rundown N".
void SetEventSink(std::function<void(const std::string&)> sink);
// The client's TestTick routine.
void SetTickHandler(std::function<void(int64_t tick, int64_t value)> handler);

// Back to the start: no gate released, contexts numbered from 1 again.
void Reset();
// TestWait's gates: released gates let waiting calls return; counts of calls inside.
void ReleaseGate(int64_t gate);
// Releases every gate, present and future, until Reset.
void ReleaseAllGates();
int WaitingCalls();
int MostWaitingCalls();

}  // namespace testrpc
