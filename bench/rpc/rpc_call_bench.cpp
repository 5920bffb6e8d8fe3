// GetCommend against the real service on a simulated machine, beside a plain AF_UNIX ping-pong of
// the same byte counts in the same run:
//   - the round trip of one client calling in a loop, and its ratio to the ping-pong's;
//   - calls per second with 1, 8 and 64 concurrent clients (each on a connection of its own),
//     beside the ping-pong with as many pairs.
// The byte counts are measured, not assumed: what this process sends and receives per call while
// one client calls, counted by wrappers of send and recv (socket calls do not show in
// /proc/self/io), which the run-time's transport calls.
//
// usage: rpc_call_bench [CALLS [SECONDS]]   (round trips for the first figure, default 5000;
//                                           seconds per concurrency level, default 2)
#include <dlfcn.h>

#include "RpcBench.h"

namespace {
std::atomic<long long> g_sent{0}, g_received{0};
}

// The run-time's transport sends and receives with these; they count the bytes and pass the call on.
extern "C" ssize_t send(int fd, const void* data, size_t size, int flags) {
  static auto real = reinterpret_cast<ssize_t (*)(int, const void*, size_t, int)>(dlsym(RTLD_NEXT, "send"));
  ssize_t n = real(fd, data, size, flags);
  if (n > 0) g_sent += n;
  return n;
}
extern "C" ssize_t recv(int fd, void* data, size_t size, int flags) {
  static auto real = reinterpret_cast<ssize_t (*)(int, void*, size_t, int)>(dlsym(RTLD_NEXT, "recv"));
  ssize_t n = real(fd, data, size, flags);
  if (n > 0) g_received += n;
  return n;
}

void* __RPC_USER midl_user_allocate(size_t size) { return std::malloc(size); }
void __RPC_USER midl_user_free(void* pointer) { std::free(pointer); }
// Not called here: no loop is started.
void MeteringTick(hyper, hyper) {}

using namespace rpcbench;

namespace {

// Calls per second of `clients` threads, each with a context of its own, calling for `seconds`.
double RpcRate(int clients, double seconds, int* failures) {
  std::vector<UTILITY_CONTEXT_HANDLE> contexts(clients, nullptr);
  for (auto& c : contexts) {
    c = Open();
    if (c == nullptr) ++*failures;
  }
  std::atomic<bool> go{false}, stop{false};
  std::atomic<long long> calls{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (auto c : contexts) {
    threads.emplace_back([&, c] {
      while (!go.load()) std::this_thread::yield();
      long long mine = 0;
      while (c && !stop.load()) {
        if (CallGetCommend(c)) ++mine;
        else ++failed;
      }
      calls += mine;
    });
  }
  auto t0 = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  double elapsed = Seconds(t0, Clock::now());
  for (auto& c : contexts) if (c) Close(&c);
  *failures += failed.load();
  return static_cast<double>(calls.load()) / elapsed;
}

double PingPongRate(int pairs, size_t request, size_t response, double seconds) {
  PingPong pp(pairs, request, response);
  std::atomic<bool> go{false}, stop{false};
  std::atomic<long long> exchanges{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < pp.pairs(); ++i) {
    threads.emplace_back([&, i] {
      std::vector<char> in(response), out(request, 'q');
      while (!go.load()) std::this_thread::yield();
      long long mine = 0;
      while (!stop.load() && pp.Exchange(i, in, out)) ++mine;
      exchanges += mine;
    });
  }
  auto t0 = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  return static_cast<double>(exchanges.load()) / Seconds(t0, Clock::now());
}

}  // namespace

int main(int argc, char** argv) {
  int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
  double seconds = argc > 2 ? std::max(0.1, std::atof(argv[2])) : 2.0;
  ServiceMachine machine;
  if (!machine.ok()) return 1;
  int failures = 0;

  RPC_STATUS status = RPC_S_OK;
  UTILITY_CONTEXT_HANDLE context = Open(&status);
  if (context == nullptr) {
    std::printf("OpenRpcEndpoint failed: %ld\n", static_cast<long>(status));
    return 1;
  }
  for (int i = 0; i < 200; ++i) failures += CallGetCommend(context) ? 0 : 1;

  long long sent0 = g_sent.load(), received0 = g_received.load();
  auto t0 = Clock::now();
  for (int i = 0; i < calls; ++i) failures += CallGetCommend(context) ? 0 : 1;
  double rpcUs = 1e6 * Seconds(t0, Clock::now()) / calls;
  long long sent = g_sent.load() - sent0, received = g_received.load() - received0;
  Close(&context);
  size_t request = static_cast<size_t>((sent + calls / 2) / calls);
  size_t response = static_cast<size_t>((received + calls / 2) / calls);
  if (request == 0 || response == 0) {
    std::printf("no bytes counted on the client's socket: %lld sent, %lld received\n", sent, received);
    return 1;
  }

  double pingUs = 0;
  {
    PingPong pp(1, request, response);
    std::vector<char> in(response), out(request, 'q');
    for (int i = 0; i < 200; ++i) pp.Exchange(0, in, out);
    auto p0 = Clock::now();
    for (int i = 0; i < calls; ++i) {
      if (!pp.Exchange(0, in, out)) ++failures;
    }
    pingUs = 1e6 * Seconds(p0, Clock::now()) / calls;
  }
  std::printf("GetCommend round trip, one client, %d calls: %.2f us (request %zu bytes, response %zu bytes)\n",
              calls, rpcUs, request, response);
  std::printf("AF_UNIX ping-pong of the same byte counts:       %.2f us   ratio %.2f\n", pingUs,
              pingUs > 0 ? rpcUs / pingUs : 0.0);
  BenchLine("rpc_getcommend_round_trip", rpcUs, pingUs, "us", "<=1.5");

  for (int clients : {1, 8, 64}) {
    double rpc = RpcRate(clients, seconds, &failures);
    double ping = PingPongRate(clients, request, response, seconds);
    std::printf("%2d concurrent clients: GetCommend %9.0f calls/s, ping-pong %9.0f exchanges/s (%d pairs)\n", clients,
                rpc, ping, clients);
    std::string name = "rpc_getcommend_calls_per_s_" + std::to_string(clients);
    BenchLine(name.c_str(), rpc, ping, "calls/s", "-");
  }
  if (failures) std::printf("failed calls: %d\n", failures);
  return failures ? 1 : 0;
}
