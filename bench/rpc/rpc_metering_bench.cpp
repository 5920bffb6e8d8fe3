// Metering against the real service on a simulated machine, and the service's memory:
//   - lateness of the metering loop's callbacks at a 1 ms period with 1, 10 and 100 concurrent
//     loops (each on a client connection of its own): the interval between two callbacks as the
//     client receives them, minus the period; median and 99th percentile. Beside it, in the same
//     run, as many threads each waiting on a timerfd armed for 1 ms and re-armed after each expiry
//     (as the service re-arms its one-shot timer after each callback), measured the same way;
//   - memory per open context: the service's resident memory with 1000 contexts open on one
//     connection, less its memory before, per context;
//   - the service's resident memory, thread count and open descriptors idle, with 100 loops, and
//     after every loop and context has ended.
//
// usage: rpc_metering_bench [SECONDS]   (seconds per level, default 2)
#include <sys/timerfd.h>

#include "RpcBench.h"

void* __RPC_USER midl_user_allocate(size_t size) { return std::malloc(size); }
void __RPC_USER midl_user_free(void* pointer) { std::free(pointer); }

namespace {

using namespace rpcbench;

constexpr double kPeriodUs = 1000;
constexpr int kContexts = 1000;

// The arrival times of the callbacks of the loop that waits on this thread.
thread_local std::vector<Clock::time_point>* t_arrivals = nullptr;

}  // namespace

// Runs on the client thread that waits in StartMetering.
void MeteringTick(hyper, hyper) {
  if (t_arrivals) t_arrivals->push_back(Clock::now());
}

namespace {

// Adds each interval between consecutive arrivals, minus the period, to out (in us).
void Lateness(const std::vector<Clock::time_point>& arrivals, std::vector<double>* out) {
  for (size_t i = 1; i < arrivals.size(); ++i) {
    out->push_back(std::chrono::duration<double, std::micro>(arrivals[i] - arrivals[i - 1]).count() - kPeriodUs);
  }
}

struct ServiceSample {
  long rssKb = -1, threads = -1, fds = -1;
};
ServiceSample Sample(pid_t pid) { return {ResidentKb(pid), Threads(pid), OpenFds(pid)}; }

// `loops` metering loops at 1 ms for `seconds`; their lateness samples, and the service sampled
// halfway through.
std::vector<double> RpcLoops(pid_t service, int loops, double seconds, ServiceSample* during, int* failures) {
  std::vector<UTILITY_CONTEXT_HANDLE> contexts(loops, nullptr);
  std::vector<std::vector<Clock::time_point>> arrivals(loops);
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < loops; ++i) {
    contexts[i] = Open();
    if (contexts[i] == nullptr) {
      ++*failures;
      continue;
    }
    arrivals[i].reserve(static_cast<size_t>(seconds * 1000) + 100);
    threads.emplace_back([&, i] {
      t_arrivals = &arrivals[i];
      ++started;
      RpcTryExcept { StartMetering(contexts[i], 1, i); }
      RpcExcept(1) { ++*failures; }
      RpcEndExcept;
      t_arrivals = nullptr;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
  *during = Sample(service);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
  for (auto c : contexts) {
    if (c == nullptr) continue;
    RpcTryExcept { StopMetering(c); }
    RpcExcept(1) { ++*failures; }
    RpcEndExcept;
  }
  for (auto& t : threads) t.join();
  for (auto& c : contexts) if (c) Close(&c);
  std::vector<double> late;
  for (auto& a : arrivals) Lateness(a, &late);
  return late;
}

std::vector<double> TimerfdLoops(int loops, double seconds) {
  std::vector<std::vector<Clock::time_point>> arrivals(loops);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < loops; ++i) {
    arrivals[i].reserve(static_cast<size_t>(seconds * 1000) + 100);
    threads.emplace_back([&, i] {
      int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
      if (fd < 0) return;
      itimerspec due{};
      due.it_value.tv_nsec = 1000000;
      while (!stop.load()) {
        timerfd_settime(fd, 0, &due, nullptr);
        uint64_t expirations = 0;
        if (read(fd, &expirations, sizeof(expirations)) != sizeof(expirations)) break;
        arrivals[i].push_back(Clock::now());
      }
      close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  std::vector<double> late;
  for (auto& a : arrivals) Lateness(a, &late);
  return late;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::max(0.2, std::atof(argv[1])) : 2.0;
  ServiceMachine machine;
  if (!machine.ok()) return 1;
  pid_t service = machine.pid();
  int failures = 0;

  // Idle: started, every connection of ours closed.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ServiceSample idle = Sample(service);

  // Memory per open context, all on one connection so that no server thread is added.
  double perContextKb = 0;
  {
    RPC_BINDING_HANDLE binding = Bind();
    std::vector<UTILITY_CONTEXT_HANDLE> contexts(kContexts, nullptr);
    // One context first, so that the connection and its thread exist before the first sample.
    UTILITY_CONTEXT_HANDLE first = nullptr;
    RpcTryExcept { OpenRpcEndpoint(binding, &first); }
    RpcExcept(1) { ++failures; }
    RpcEndExcept;
    long before = ResidentKb(service);
    for (auto& c : contexts) {
      RpcTryExcept { OpenRpcEndpoint(binding, &c); }
      RpcExcept(1) { ++failures; }
      RpcEndExcept;
    }
    long after = ResidentKb(service);
    perContextKb = static_cast<double>(after - before) / kContexts;
    for (auto& c : contexts) if (c) Close(&c);
    if (first) Close(&first);
    RpcBindingFree(&binding);
  }
  std::printf("service idle: resident %ld kB, %ld threads, %ld descriptors\n", idle.rssKb, idle.threads, idle.fds);
  std::printf("memory per open context (%d contexts): %.2f kB\n", kContexts, perContextKb);
  BenchLine("rpc_memory_per_context", perContextKb, "kB");
  BenchLine("rpc_service_rss_idle", static_cast<double>(idle.rssKb), "kB");
  BenchLine("rpc_service_threads_idle", static_cast<double>(idle.threads), "threads");

  ServiceSample busy;
  for (int loops : {1, 10, 100}) {
    ServiceSample during;
    std::vector<double> rpc = RpcLoops(service, loops, seconds, &during, &failures);
    std::vector<double> plain = TimerfdLoops(loops, seconds);
    if (loops == 100) busy = during;
    double rpcMedian = Quantile(rpc, 0.5), rpcP99 = Quantile(rpc, 0.99);
    double plainMedian = Quantile(plain, 0.5), plainP99 = Quantile(plain, 0.99);
    std::printf("%3d loops at 1 ms: metering lateness median %8.1f us p99 %9.1f us (%zu intervals); "
                "timerfd median %7.1f us p99 %8.1f us (%zu)\n",
                loops, rpcMedian, rpcP99, rpc.size(), plainMedian, plainP99, plain.size());
    std::string name = "rpc_metering_lateness_median_" + std::to_string(loops);
    BenchLine(name.c_str(), rpcMedian, plainMedian, "us", "-");
    name = "rpc_metering_lateness_p99_" + std::to_string(loops);
    BenchLine(name.c_str(), rpcP99, plainP99, "us", "-");
  }
  std::printf("service with 100 loops: resident %ld kB, %ld threads, %ld descriptors\n", busy.rssKb, busy.threads,
              busy.fds);
  BenchLine("rpc_service_rss_100_loops", static_cast<double>(busy.rssKb), "kB");
  BenchLine("rpc_service_threads_100_loops", static_cast<double>(busy.threads), "threads");
  // After every loop and context has ended: what has not gone back is kept for good.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ServiceSample after = Sample(service);
  std::printf("service after the loops: resident %ld kB, %ld threads, %ld descriptors (this client: %ld descriptors)\n",
              after.rssKb, after.threads, after.fds, OpenFds(getpid()));
  BenchLine("rpc_service_threads_after_loops", static_cast<double>(after.threads), "threads");
  BenchLine("rpc_service_fds_after_loops", static_cast<double>(after.fds), "fds");
  if (failures) std::printf("failed calls: %d\n", failures);
  return failures ? 1 : 0;
}
