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

// Reads the fragments of one connection with as few system calls as it can: each recv asks for as
// much as has arrived (a fragment's header and body, often whole, usually come in one), and bytes
// beyond the fragment are kept for the next read. Only the thread that owns the connection at the
// time reads through it; a connection's fragments must all go through its one reader.
class FragmentReader {
 public:
  explicit FragmentReader(int fd = -1) : m_fd(fd) {}
  void Attach(int fd) {
    m_fd = fd;
    m_begin = m_end = 0;
  }
  // As ReadFragment.
  ReadStatus Read(size_t maxFragment, std::vector<uint8_t>* fragment);

 private:
  // 1: at least `need` bytes are buffered; 0: the peer closed with nothing buffered; -1: closed or
  // failed with fewer.
  int Fill(size_t need);
  int m_fd;
  std::vector<uint8_t> m_buffer;
  size_t m_begin = 0, m_end = 0;
};

// The process at the other end of a connected socket (SO_PEERCRED), or -1.
pid_t PeerProcess(int fd);

}  // namespace winsim::rpc
