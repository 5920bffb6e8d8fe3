// Runs a call and catches the RPC exception that it raises, where the compiler has no structured
// exception handling of its own (GCC for MinGW-w64 has no __try/__except, which RpcTryExcept
// expands to).
#pragma once

extern "C" {
// Calls call(argument); returns 0, or the code of the exception that the call raised.
unsigned long RpcGuardedCall(void (*call)(void*), void* argument);
}
