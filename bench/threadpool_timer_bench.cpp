// Lateness of a one-shot thread-pool timer re-armed every millisecond for ten seconds, beside a
// plain clock_nanosleep loop in the same run: median and 99th percentile of fire time minus due time.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <vector>

#include "BenchLine.h"
#include "windows.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRun = std::chrono::seconds(10);
constexpr auto kInterval = std::chrono::milliseconds(1);

struct State {
  std::mutex lock;
  Clock::time_point due;
  std::vector<double> latenessUs;
  bool stop = false;
  HANDLE finished = nullptr;
  Clock::time_point end;
};

void Arm(PTP_TIMER timer, State& s) {
  // Relative due time of 1 ms, in 100-ns units.
  int64_t v = -std::chrono::duration_cast<std::chrono::nanoseconds>(kInterval).count() / 100;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  s.due = Clock::now() + kInterval;
  SetThreadpoolTimer(timer, &ft, 0, 0);
}

VOID CALLBACK OnTimer(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER timer) {
  auto now = Clock::now();
  auto& s = *static_cast<State*>(context);
  std::lock_guard<std::mutex> lock(s.lock);
  s.latenessUs.push_back(std::chrono::duration<double, std::micro>(now - s.due).count());
  if (now >= s.end) {
    SetEvent(s.finished);
    return;
  }
  Arm(timer, s);
}

void Report(const char* name, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) {
    std::printf("%-28s no samples\n", name);
    return;
  }
  auto at = [&v](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1)))]; };
  std::printf("%-28s samples %6zu  median %8.1f us  p99 %8.1f us  max %8.1f us\n", name, v.size(), at(0.5), at(0.99),
              v.back());
}

}  // namespace

int main() {
  State s;
  s.finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  s.latenessUs.reserve(12000);
  PTP_TIMER timer = CreateThreadpoolTimer(OnTimer, &s, nullptr);
  {
    std::lock_guard<std::mutex> lock(s.lock);
    s.end = Clock::now() + kRun;
    Arm(timer, s);
  }
  WaitForSingleObject(s.finished, INFINITE);
  WaitForThreadpoolTimerCallbacks(timer, FALSE);
  CloseThreadpoolTimer(timer);

  std::vector<double> sleeper;
  sleeper.reserve(12000);
  auto end = Clock::now() + kRun;
  while (Clock::now() < end) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_nsec += 1000000;
    if (ts.tv_nsec >= 1000000000) {
      ts.tv_sec++;
      ts.tv_nsec -= 1000000000;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    double late = (now.tv_sec - ts.tv_sec) * 1e6 + (now.tv_nsec - ts.tv_nsec) / 1e3;
    sleeper.push_back(late);
  }

  std::printf("one-shot timer re-armed every 1 ms for 10 s, lateness = fire time - due time\n");
  std::lock_guard<std::mutex> lock(s.lock);
  Report("thread-pool timer", s.latenessUs);
  Report("clock_nanosleep loop", sleeper);
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  // The timer's lateness beside a bare sleep loop's.
  BenchLine("threadpool.timer_lateness_median", median(s.latenessUs), median(sleeper), "us", "-");
  CloseHandle(s.finished);
  return 0;
}
