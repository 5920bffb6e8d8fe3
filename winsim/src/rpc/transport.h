// The ncalrpc transport: an AF_UNIX stream socket per endpoint at <machine>/run/rpc/<endpoint name>.
// An endpoint is owned by the process that holds an exclusive lock on its lock file
// (<machine>/run/rpc-locks/<endpoint name>); the kernel drops the lock when that process dies, so a
// socket left behind by a dead process is recognised as stale and reclaimed, and a live endpoint is
// never unlinked.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rpc.h"

namespace winsim::rpc {

// Whether a name may name an ncalrpc endpoint: not empty, no path separators, not "." or "..",
// and short enough for a file name.
bool ValidEndpointName(const std::wstring& name);

// A listening socket and the lock that makes its process the endpoint's owner.
struct Listener {
  int fd = -1;
  int lockFd = -1;
  std::string path;
};
// RPC_S_OK, RPC_S_INVALID_ENDPOINT_FORMAT, RPC_S_DUPLICATE_ENDPOINT (a live process serves the
// name, this one included) or RPC_S_CANT_CREATE_ENDPOINT.
RPC_STATUS OpenListener(const std::wstring& name, Listener* out);
// Closes the socket, removes its file and drops the ownership.
void CloseListener(Listener* listener);

// Connects to an endpoint; RPC_S_SERVER_UNAVAILABLE when no process serves it.
RPC_STATUS ConnectEndpoint(const std::wstring& name, int* fd);

// Writes the whole buffer (no SIGPIPE); false when the connection is gone.
bool SendAll(int fd, const std::vector<uint8_t>& data);

enum class ReadStatus { Ok, Closed, Malformed };
// Reads one fragment: its 16-byte header, then the rest that frag_length announces. Malformed when
// frag_length is below the header size or above maxFragment, or the peer ends mid-fragment.
ReadStatus ReadFragment(int fd, size_t maxFragment, std::vector<uint8_t>* fragment);

// The process at the other end of a connected socket (SO_PEERCRED), or -1.
pid_t PeerProcess(int fd);

}  // namespace winsim::rpc
