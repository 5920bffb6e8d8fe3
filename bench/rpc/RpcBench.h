// What the RPC benchmarks share: a fresh simulated machine with the real service installed and
// started under the control manager, a client of its endpoint on the real client stubs, the
// service process's resident memory, thread and descriptor counts from /proc, a plain AF_UNIX
// ping-pong to compare calls with, and percentiles.
//
// The benchmark process is the client. It is not one of the machine's processes, so the endpoint
// sees an anonymous local caller, which the access list admits for every procedure it measures.
#pragma once
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchLine.h"
#include "UtilityServiceRpc.h"
#include "core/identity.h"
#include "core/machine.h"
#include "services/scm.h"
#include "windows.h"

namespace rpcbench {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// The value at quantile q (0..1) of the samples, which it sorts; 0 when there are none.
inline double Quantile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5))];
}

// A /proc/<pid>/status field in its own unit (kB for VmRSS), or -1.
inline long StatusField(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  }
  return -1;
}
inline long ResidentKb(pid_t pid) { return StatusField(pid, "VmRSS"); }
inline long Threads(pid_t pid) { return StatusField(pid, "Threads"); }
inline long OpenFds(pid_t pid) {
  std::error_code ec;
  long n = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end; it.increment(ec))
    ++n;
  return ec ? -1 : n;
}
// The service process of the running benchmark, for the signal handler below.
inline std::atomic<pid_t> g_servicePid{0};
// A benchmark stopped by SIGINT or SIGTERM takes its service process with it.
inline void StopServiceOnSignal(int signal) {
  pid_t pid = g_servicePid.load();
  if (pid > 0) kill(pid, SIGKILL);
  _exit(128 + signal);
}

// The service on a machine of its own, made as a user would: `winsim init`, the program's
// -install, a console logon, `winsim service start`. The destructor stops it and removes the machine.
class ServiceMachine {
 public:
  ServiceMachine() {
    char dirTemplate[] = "/tmp/winsim-rpcbench-XXXXXX";
    m_machine = mkdtemp(dirTemplate);
    setenv("WINSIM_MACHINE", m_machine.c_str(), 1);
    m_ok = Winsim("init") && Winsim("user add alice") &&
           Run("run -- '" + std::string(TORVEX_BIN_DIR) + "/TorvexUtilityService.exe' -install") &&
           Winsim("session logon alice") && Winsim("service start TorvexUtilityService");
    winsim::SetCurrentIdentity(winsim::SystemIdentity());
    std::string socket = m_machine + "/run/rpc/TorvexUtilityService_RpcEndpoint";
    for (int i = 0; m_ok && i < 500 && m_pid <= 0; ++i) {
      auto info = winsim::services::FindService(L"TorvexUtilityService");
      if (info && info->status.dwCurrentState == SERVICE_RUNNING && info->pid > 0 && fs::exists(socket)) {
        m_pid = static_cast<pid_t>(info->pid);
      } else {
        usleep(10000);
      }
    }
    if (m_pid > 0) {
      g_servicePid = m_pid;
      std::signal(SIGINT, StopServiceOnSignal);
      std::signal(SIGTERM, StopServiceOnSignal);
    }
    if (m_pid <= 0) {
      std::fprintf(stderr, "the service did not start on %s\n", m_machine.c_str());
      m_ok = false;
    }
  }
  ~ServiceMachine() {
    if (m_pid > 0) {
      Winsim("service stop TorvexUtilityService");
      kill(m_pid, SIGKILL);
    }
    std::string cleanup = "rm -rf '" + m_machine + "'";
    int removed = std::system(cleanup.c_str());
    (void)removed;
  }
  bool ok() const { return m_ok; }
  pid_t pid() const { return m_pid; }

 private:
  bool Run(const std::string& args) {
    std::string command = "'" + std::string(TORVEX_BIN_DIR) + "/winsim' " + args + " >/dev/null";
    if (std::system(command.c_str()) == 0) return true;
    std::fprintf(stderr, "failed: winsim %s\n", args.c_str());
    return false;
  }
  bool Winsim(const std::string& args) { return Run(args); }

  std::string m_machine;
  pid_t m_pid = -1;
  bool m_ok = false;
};

// A binding to the service's endpoint; null when it could not be made.
inline RPC_BINDING_HANDLE Bind() {
  wchar_t protseq[] = L"ncalrpc";
  wchar_t endpoint[] = L"TorvexUtilityService_RpcEndpoint";
  RPC_WSTR text = nullptr;
  RPC_BINDING_HANDLE binding = nullptr;
  RPC_STATUS status = RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(protseq), nullptr,
                                               reinterpret_cast<RPC_WSTR>(endpoint), nullptr, &text);
  if (status == RPC_S_OK) status = RpcBindingFromStringBindingW(text, &binding);
  if (text) RpcStringFreeW(&text);
  return status == RPC_S_OK ? binding : nullptr;
}

// An open context on a binding of its own (so a connection of its own); null on failure, with the
// status in *status.
inline UTILITY_CONTEXT_HANDLE Open(RPC_STATUS* status = nullptr) {
  RPC_BINDING_HANDLE binding = Bind();
  UTILITY_CONTEXT_HANDLE context = nullptr;
  RPC_STATUS result = binding ? RPC_S_OK : RPC_S_INVALID_BINDING;
  if (binding) {
    RpcTryExcept { OpenRpcEndpoint(binding, &context); }
    RpcExcept(1) { result = RpcExceptionCode(); }
    RpcEndExcept;
    RpcBindingFree(&binding);
  }
  if (status) *status = result;
  return result == RPC_S_OK ? context : nullptr;
}

inline void Close(UTILITY_CONTEXT_HANDLE* context) {
  RpcTryExcept { CloseRpcEndpoint(context); }
  RpcExcept(1) {}
  RpcEndExcept;
}

// One GetCommend; false when it faulted or gave a null text.
inline bool CallGetCommend(UTILITY_CONTEXT_HANDLE context) {
  BSTR text = nullptr;
  bool ok = true;
  RpcTryExcept { GetCommend(context, &text); }
  RpcExcept(1) { ok = false; }
  RpcEndExcept;
  if (text == nullptr) return false;
  SysFreeString(text);
  return ok;
}

// A plain ping-pong over AF_UNIX stream sockets: a child process with one thread per pair (as the
// RPC server has one per connection) answers every request of requestBytes with responseBytes.
class PingPong {
 public:
  PingPong(int pairs, size_t requestBytes, size_t responseBytes) : m_request(requestBytes), m_response(responseBytes) {
    std::vector<int> theirs;
    for (int i = 0; i < pairs; ++i) {
      int fds[2];
      if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) break;
      m_fds.push_back(fds[0]);
      theirs.push_back(fds[1]);
    }
    m_child = fork();
    if (m_child == 0) {
      for (int fd : m_fds) close(fd);
      std::vector<std::thread> servers;
      for (int fd : theirs) {
        servers.emplace_back([this, fd] {
          std::vector<char> in(m_request), out(m_response, 'r');
          while (ReadAll(fd, in.data(), in.size()) && WriteAll(fd, out.data(), out.size())) {
          }
        });
      }
      for (auto& t : servers) t.join();
      _exit(0);
    }
    for (int fd : theirs) close(fd);
  }
  ~PingPong() {
    for (int fd : m_fds) close(fd);
    if (m_child > 0) waitpid(m_child, nullptr, 0);
  }
  int pairs() const { return static_cast<int>(m_fds.size()); }
  // One round trip on pair i.
  bool Exchange(int i, std::vector<char>& in, const std::vector<char>& out) const {
    return WriteAll(m_fds[i], out.data(), out.size()) && ReadAll(m_fds[i], in.data(), in.size());
  }
  size_t requestBytes() const { return m_request; }
  size_t responseBytes() const { return m_response; }

 private:
  static bool ReadAll(int fd, char* p, size_t n) {
    while (n > 0) {
      ssize_t r = read(fd, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  static bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
      ssize_t r = write(fd, p, n);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  size_t m_request, m_response;
  std::vector<int> m_fds;
  pid_t m_child = -1;
};

}  // namespace rpcbench
