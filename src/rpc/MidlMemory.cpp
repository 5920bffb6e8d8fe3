// The stubs' memory routines: the C run-time's heap.
#include <rpc.h>
#include <rpcndr.h>

#include <cstdlib>

void* __RPC_USER midl_user_allocate(size_t size) { return std::malloc(size); }

void __RPC_USER midl_user_free(void* pointer) { std::free(pointer); }
