// The server side of winsim's RPC run-time: endpoints, interface registrations, listening, and one
// thread per client connection that serves that connection's calls one at a time (calls on
// different connections run in parallel).
#pragma once
#include <cstddef>

namespace winsim::rpc {

// Ends every endpoint, connection, registration and context of this process, after the calls in
// progress have returned; rundown routines of contexts still open run. For tests, which use a
// fresh machine each.
void ResetServer();

// Context handles open on this server.
size_t OpenContextCount();

}  // namespace winsim::rpc
