#include "rpc/transport.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "core/machine.h"
#include "core/strings.h"
#include "rpc/pdu.h"

namespace winsim::rpc {
namespace {

std::string RunDir(const char* leaf) { return MachineDir() + "/run/" + leaf; }

// A socket address for a file in a directory. A path too long for sun_path is reached through the
// directory's descriptor (/proc/self/fd/N/name), which Linux resolves for bind and connect alike.
class SocketAddress {
 public:
  SocketAddress(const std::string& dir, const std::string& leaf) {
    std::string full = dir + "/" + leaf;
    std::memset(&m_addr, 0, sizeof(m_addr));
    m_addr.sun_family = AF_UNIX;
    if (full.size() >= sizeof(m_addr.sun_path)) {
      m_dirFd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (m_dirFd < 0) return;
      full = "/proc/self/fd/" + std::to_string(m_dirFd) + "/" + leaf;
      if (full.size() >= sizeof(m_addr.sun_path)) return;
    }
    std::memcpy(m_addr.sun_path, full.c_str(), full.size() + 1);
    m_ok = true;
  }
  ~SocketAddress() {
    if (m_dirFd >= 0) close(m_dirFd);
  }
  bool Ok() const { return m_ok; }
  const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(&m_addr); }
  socklen_t Length() const { return sizeof(m_addr); }

 private:
  sockaddr_un m_addr;
  int m_dirFd = -1;
  bool m_ok = false;
};

}  // namespace

bool ValidEndpointName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (wchar_t c : name) {
    if (c == L'/' || c == L'\\' || c == L'\0') return false;
  }
  return Utf8FromWide(name).size() <= 200;
}

RPC_STATUS OpenListener(const std::wstring& name, Listener* out) {
  if (!ValidEndpointName(name)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  std::string leaf = Utf8FromWide(name);
  std::string sockets = RunDir("rpc"), locks = RunDir("rpc-locks");
  std::error_code ec;
  std::filesystem::create_directories(sockets, ec);
  std::filesystem::create_directories(locks, ec);

  int lockFd = open((locks + "/" + leaf).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd < 0) return RPC_S_CANT_CREATE_ENDPOINT;
  if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    close(lockFd);
    return errno == EWOULDBLOCK ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_CANT_CREATE_ENDPOINT;
  }
  // Nobody owns the name: whatever socket file is left there belongs to a process that has ended.
  std::string path = sockets + "/" + leaf;
  unlink(path.c_str());
  SocketAddress addr(sockets, leaf);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || !addr.Ok() || bind(fd, addr.Addr(), addr.Length()) != 0 || listen(fd, 128) != 0) {
    if (fd >= 0) close(fd);
    close(lockFd);
    return RPC_S_CANT_CREATE_ENDPOINT;
  }
  chmod(path.c_str(), 0666);
  out->fd = fd;
  out->lockFd = lockFd;
  out->path = path;
  return RPC_S_OK;
}

void CloseListener(Listener* l) {
  if (l->fd >= 0) {
    // The file goes first, while this process still owns the name.
    unlink(l->path.c_str());
    close(l->fd);
  }
  if (l->lockFd >= 0) close(l->lockFd);
  l->fd = l->lockFd = -1;
}

RPC_STATUS ConnectEndpoint(const std::wstring& name, int* out) {
  if (!ValidEndpointName(name)) return RPC_S_SERVER_UNAVAILABLE;
  SocketAddress addr(RunDir("rpc"), Utf8FromWide(name));
  if (!addr.Ok()) return RPC_S_SERVER_UNAVAILABLE;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return RPC_S_OUT_OF_RESOURCES;
  int rc;
  do {
    rc = connect(fd, addr.Addr(), addr.Length());
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    close(fd);
    return RPC_S_SERVER_UNAVAILABLE;
  }
  *out = fd;
  return RPC_S_OK;
}

bool SendAll(int fd, const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

namespace {

// 1: all read; 0: the peer closed before the first byte; -1: closed or failed part way.
int ReadExactly(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = recv(fd, data + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done == 0 ? 0 : -1;
    done += static_cast<size_t>(n);
  }
  return 1;
}

}  // namespace

ReadStatus ReadFragment(int fd, size_t maxFragment, std::vector<uint8_t>* fragment) {
  fragment->resize(kHeaderSize);
  int rc = ReadExactly(fd, fragment->data(), kHeaderSize);
  if (rc == 0) return ReadStatus::Closed;
  if (rc < 0) return ReadStatus::Malformed;
  PduHeader h = ParseHeader(fragment->data());
  if (h.fragLength < kHeaderSize || h.fragLength > maxFragment) return ReadStatus::Malformed;
  fragment->resize(h.fragLength);
  if (h.fragLength > kHeaderSize && ReadExactly(fd, fragment->data() + kHeaderSize, h.fragLength - kHeaderSize) != 1) {
    return ReadStatus::Malformed;
  }
  return ReadStatus::Ok;
}

int FragmentReader::Fill(size_t need) {
  if (m_end - m_begin >= need) return 1;
  if (m_begin + need > m_buffer.size()) {
    // Move what is left to the front, and make room for the whole fragment and then some: a
    // fragment never exceeds the negotiated size, so this grows only a few times per connection.
    if (m_begin > 0) {
      std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
      m_end -= m_begin;
      m_begin = 0;
    }
    if (m_buffer.size() < need) m_buffer.resize(std::max<size_t>(need, 2 * kMaxFragSize));
  }
  while (m_end - m_begin < need) {
    ssize_t n = recv(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return m_end == m_begin ? 0 : -1;
    m_end += static_cast<size_t>(n);
  }
  return 1;
}

ReadStatus FragmentReader::Read(size_t maxFragment, std::vector<uint8_t>* fragment) {
  int rc = Fill(kHeaderSize);
  if (rc == 0) return ReadStatus::Closed;
  if (rc < 0) return ReadStatus::Malformed;
  PduHeader h = ParseHeader(m_buffer.data() + m_begin);
  if (h.fragLength < kHeaderSize || h.fragLength > maxFragment) return ReadStatus::Malformed;
  if (Fill(h.fragLength) != 1) return ReadStatus::Malformed;
  fragment->assign(m_buffer.begin() + static_cast<std::ptrdiff_t>(m_begin),
                   m_buffer.begin() + static_cast<std::ptrdiff_t>(m_begin + h.fragLength));
  m_begin += h.fragLength;
  if (m_begin == m_end) m_begin = m_end = 0;
  return ReadStatus::Ok;
}

pid_t PeerProcess(int fd) {
  ucred cred{};
  socklen_t length = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return -1;
  return cred.pid;
}

}  // namespace winsim::rpc
