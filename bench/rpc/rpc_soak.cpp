// The soak: 100 concurrent metering loops against the real service on a simulated machine for a
// long time (10 minutes unless told), sampling the service process every 10 s: its resident
// memory, its open descriptors (the handles behind its files, sockets, events and timers) and its
// thread count. The figures are their growth from the end of the first minute to the last sample
// (from the first sample, at 10 s, when the run is shorter than two minutes), so that start-up
// allocation does not count as growth.
//
// usage: rpc_soak [--minutes M] [--period MS] [--loops N]   (defaults 10, 1 and 100)
#include "RpcBench.h"

void* __RPC_USER midl_user_allocate(size_t size) { return std::malloc(size); }
void __RPC_USER midl_user_free(void* pointer) { std::free(pointer); }

namespace {
thread_local std::atomic<long long>* t_ticks = nullptr;
}

void MeteringTick(hyper, hyper) {
  if (t_ticks) ++*t_ticks;
}

using namespace rpcbench;

namespace {

struct Sample {
  double at = 0;  // seconds since the loops started
  long rssKb = -1, fds = -1, threads = -1;
  long long ticks = 0;
};

}  // namespace

int main(int argc, char** argv) {
  double minutes = 10;
  long long period = 1;
  int loops = 100;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--minutes") minutes = std::atof(argv[i + 1]);
    else if (option == "--period") period = std::atoll(argv[i + 1]);
    else if (option == "--loops") loops = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: rpc_soak [--minutes M] [--period MS] [--loops N]\n");
      return 2;
    }
  }
  if (minutes <= 0 || loops <= 0) {
    std::fprintf(stderr, "rpc_soak: --minutes and --loops must be positive\n");
    return 2;
  }
  ServiceMachine machine;
  if (!machine.ok()) return 1;
  pid_t service = machine.pid();

  std::vector<UTILITY_CONTEXT_HANDLE> contexts(loops, nullptr);
  std::vector<std::atomic<long long>> ticks(loops);
  std::atomic<int> failures{0}, ended{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < loops; ++i) {
    contexts[i] = Open();
    if (contexts[i] == nullptr) {
      ++failures;
      continue;
    }
    threads.emplace_back([&, i] {
      t_ticks = &ticks[i];
      RpcTryExcept { StartMetering(contexts[i], period, i); }
      RpcExcept(1) { ++failures; }
      RpcEndExcept;
      t_ticks = nullptr;
      ++ended;
    });
  }
  std::printf("%d metering loops at %lld ms for %.1f minutes; the service is process %d\n", loops, period, minutes,
              static_cast<int>(service));
  std::printf("%8s %12s %8s %8s %12s\n", "seconds", "resident kB", "fds", "threads", "callbacks");
  std::fflush(stdout);

  auto t0 = Clock::now();
  std::vector<Sample> samples;
  double total = minutes * 60;
  for (int k = 1; 10.0 * k <= total + 1e-9; ++k) {
    std::this_thread::sleep_until(t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 * k)));
    Sample s;
    s.at = Seconds(t0, Clock::now());
    s.rssKb = ResidentKb(service);
    s.fds = OpenFds(service);
    s.threads = Threads(service);
    for (auto& t : ticks) s.ticks += t.load();
    samples.push_back(s);
    std::printf("%8.1f %12ld %8ld %8ld %12lld\n", s.at, s.rssKb, s.fds, s.threads, s.ticks);
    std::fflush(stdout);
  }
  int endedEarly = ended.load();

  for (auto c : contexts) {
    if (c == nullptr) continue;
    RpcTryExcept { StopMetering(c); }
    RpcExcept(1) { ++failures; }
    RpcEndExcept;
  }
  for (auto& t : threads) t.join();
  for (auto& c : contexts) if (c) Close(&c);

  if (samples.empty()) {
    std::printf("no sample taken: the run is shorter than 10 s\n");
    return 1;
  }
  // The reference: the last sample of the first minute for runs of two minutes or more.
  const Sample* first = &samples.front();
  if (total >= 120) {
    for (const auto& s : samples) {
      if (s.at <= 61) first = &s;
    }
  }
  const Sample& last = samples.back();
  double rate = last.at > 0 ? static_cast<double>(last.ticks) / last.at : 0;
  std::printf("growth from %.0f s to %.0f s: resident %+ld kB, descriptors %+ld, threads %+ld; %.0f callbacks/s\n",
              first->at, last.at, last.rssKb - first->rssKb, last.fds - first->fds, last.threads - first->threads, rate);
  if (endedEarly) std::printf("loops that ended before the stop: %d\n", endedEarly);
  if (failures) std::printf("failed calls: %d\n", failures.load());
  BenchLine("rpc_soak_resident_growth", static_cast<double>(last.rssKb - first->rssKb), "kB");
  BenchLine("rpc_soak_descriptor_growth", static_cast<double>(last.fds - first->fds), "fds");
  BenchLine("rpc_soak_thread_growth", static_cast<double>(last.threads - first->threads), "threads");
  BenchLine("rpc_soak_callbacks_per_s", rate, "calls/s");
  return failures || endedEarly ? 1 : 0;
}
