// The default thread pool as the service uses it: work, timers, cancellation, growth past blocked
// callbacks, time scale, fault injection and process exit with callbacks still blocked.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/timescale.h"
#include "threadpool/threadpool.h"
#include "windows.h"

namespace winsim::test {
namespace {

using Clock = std::chrono::steady_clock;
// Waits that only a broken pool could exhaust, in real milliseconds whatever the time scale.
constexpr DWORD kGenerousMs = 60000;

// An event handle that closes itself.
struct Event {
  explicit Event(bool manual = true) : h(CreateEventW(nullptr, manual, FALSE, nullptr)) {}
  ~Event() { CloseHandle(h); }
  void Set() const { SetEvent(h); }
  // True when signalled within the generous bound (scaled back to real time).
  bool Await() const {
    return WaitForSingleObject(h, static_cast<DWORD>(kGenerousMs * TimeScale())) == WAIT_OBJECT_0;
  }
  bool IsSet() const { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }
  HANDLE h;
};

FILETIME Relative(std::chrono::milliseconds ms) {
  int64_t v = -static_cast<int64_t>(ms.count()) * 10000;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
  return ft;
}

FILETIME Absolute(int64_t fileTime) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(fileTime) & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(fileTime) >> 32);
  return ft;
}

int64_t FileTimeNow() {
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  return 116444736000000000LL + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

// What a callback sees and does: counts its runs, may block until released, records when it ran.
struct Probe {
  std::atomic<int> runs{0};
  std::atomic<int> finished{0};
  Event entered;
  Event release;
  Event done;
  bool block = false;
  std::atomic<int64_t> firedAtNs{0};
  int rearmUntil = 0;  // a timer re-arms itself until it has run this many times
};

VOID CALLBACK WorkProbe(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
  auto* p = static_cast<Probe*>(context);
  p->runs++;
  p->entered.Set();
  if (p->block) p->release.Await();
  p->finished++;
  p->done.Set();
}

VOID CALLBACK TimerProbe(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER timer) {
  auto* p = static_cast<Probe*>(context);
  p->firedAtNs = Clock::now().time_since_epoch().count();
  int run = ++p->runs;
  p->entered.Set();
  if (p->block) p->release.Await();
  if (run < p->rearmUntil) {
    FILETIME due = Relative(std::chrono::milliseconds(5));
    SetThreadpoolTimer(timer, &due, 0, 0);
  }
  p->finished++;
  if (run >= p->rearmUntil) p->done.Set();
}

class ThreadpoolTest : public MachineTest {
 protected:
  void TearDown() override {
    threadpool::PauseWorkers(false);
    MachineTest::TearDown();
  }
};

TEST_F(ThreadpoolTest, WaitForWorkCallbacksWaitsForEverySubmission) {
  Probe probe;
  PTP_WORK work = CreateThreadpoolWork(
      [](PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) {
        Sleep(30);  // still running when the wait starts
        static_cast<Probe*>(context)->finished++;
      },
      &probe, nullptr);
  ASSERT_NE(work, nullptr);
  for (int i = 0; i < 3; ++i) SubmitThreadpoolWork(work);
  WaitForThreadpoolWorkCallbacks(work, FALSE);
  EXPECT_EQ(probe.finished.load(), 3);
  CloseThreadpoolWork(work);
}

TEST_F(ThreadpoolTest, CallbacksBlockedForGoodDoNotStarveLaterWorkOrTimers) {
  // More blockers than any fixed-size pool of a few threads would survive.
  constexpr int kBlockers = 24;
  Probe blockers;
  blockers.block = true;
  PTP_WORK blocking = CreateThreadpoolWork(WorkProbe, &blockers, nullptr);
  for (int i = 0; i < kBlockers; ++i) SubmitThreadpoolWork(blocking);

  Probe later;
  PTP_WORK work = CreateThreadpoolWork(WorkProbe, &later, nullptr);
  SubmitThreadpoolWork(work);
  EXPECT_TRUE(later.done.Await());

  Probe timed;
  PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &timed, nullptr);
  FILETIME due = Relative(std::chrono::milliseconds(10));
  SetThreadpoolTimer(timer, &due, 0, 0);
  EXPECT_TRUE(timed.done.Await());
  EXPECT_GE(threadpool::WorkerThreads(), static_cast<size_t>(kBlockers + 1));
  EXPECT_EQ(blockers.finished.load(), 0);

  blockers.release.Set();
  WaitForThreadpoolWorkCallbacks(blocking, FALSE);
  EXPECT_EQ(blockers.finished.load(), kBlockers);
  WaitForThreadpoolWorkCallbacks(work, FALSE);
  WaitForThreadpoolTimerCallbacks(timer, FALSE);
  CloseThreadpoolWork(blocking);
  CloseThreadpoolWork(work);
  CloseThreadpoolTimer(timer);
}

TEST_F(ThreadpoolTest, RearmingBeforeTheDueTimeFiresOnceAtTheNewTime) {
  SetTimeScale(10);
  Probe probe;
  PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &probe, nullptr);
  FILETIME first = Relative(std::chrono::milliseconds(2000));   // 200 ms at this scale
  FILETIME second = Relative(std::chrono::milliseconds(30000));  // 3 s
  SetThreadpoolTimer(timer, &first, 0, 0);
  auto setAt = Clock::now();
  SetThreadpoolTimer(timer, &second, 0, 0);
  ASSERT_TRUE(probe.done.Await());
  WaitForThreadpoolTimerCallbacks(timer, FALSE);
  EXPECT_EQ(probe.runs.load(), 1);
  auto firedAfter = Clock::time_point(Clock::duration(probe.firedAtNs.load())) - setAt;
  EXPECT_GE(firedAfter, std::chrono::milliseconds(2950));  // never the first, earlier due time
  EXPECT_TRUE(IsThreadpoolTimerSet(timer));  // still "set": its last due time was not null
  CloseThreadpoolTimer(timer);
}

TEST_F(ThreadpoolTest, NullDueTimeCancelsAPendingTimer) {
  Probe probe;
  PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &probe, nullptr);
  FILETIME due = Relative(std::chrono::milliseconds(50));
  SetThreadpoolTimer(timer, &due, 0, 0);
  EXPECT_TRUE(IsThreadpoolTimerSet(timer));
  SetThreadpoolTimer(timer, nullptr, 0, 0);
  EXPECT_FALSE(IsThreadpoolTimerSet(timer));
  Sleep(300);  // well past the cancelled due time
  WaitForThreadpoolTimerCallbacks(timer, FALSE);
  EXPECT_EQ(probe.runs.load(), 0);
  CloseThreadpoolTimer(timer);
}

TEST_F(ThreadpoolTest, PeriodicTimerKeepsFiringUntilCancelled) {
  Probe probe;
  PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &probe, nullptr);
  probe.rearmUntil = 0;
  FILETIME due = Relative(std::chrono::milliseconds(5));
  SetThreadpoolTimer(timer, &due, 5, 0);
  while (probe.runs.load() < 3) Sleep(5);
  EXPECT_TRUE(IsThreadpoolTimerSet(timer));
  SetThreadpoolTimer(timer, nullptr, 0, 0);
  WaitForThreadpoolTimerCallbacks(timer, FALSE);
  int runs = probe.runs.load();
  Sleep(100);
  EXPECT_EQ(probe.runs.load(), runs);
  CloseThreadpoolTimer(timer);
}

TEST_F(ThreadpoolTest, WaitForTimerCallbacksBlocksUntilTheRunningCallbackReturns) {
  Probe probe;
  probe.block = true;
  PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &probe, nullptr);
  FILETIME now = Absolute(0);  // zero: expires at once
  SetThreadpoolTimer(timer, &now, 0, 0);
  ASSERT_TRUE(probe.entered.Await());

  std::atomic<bool> waitReturned{false};
  std::atomic<int> finishedWhenWaitReturned{-1};
  std::thread waiter([&] {
    WaitForThreadpoolTimerCallbacks(timer, FALSE);
    finishedWhenWaitReturned = probe.finished.load();
    waitReturned = true;
  });
  Sleep(200);
  EXPECT_FALSE(waitReturned.load());
  probe.release.Set();
  waiter.join();
  EXPECT_EQ(finishedWhenWaitReturned.load(), 1);
  CloseThreadpoolTimer(timer);
}

TEST_F(ThreadpoolTest, CancellingWaitsDropQueuedCallbacksButWaitForRunningOnes) {
  // The first run is held inside its callback; the second is queued behind paused workers.
  Probe timerProbe, workProbe;
  timerProbe.block = workProbe.block = true;
  PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &timerProbe, nullptr);
  PTP_WORK work = CreateThreadpoolWork(WorkProbe, &workProbe, nullptr);
  FILETIME now = Absolute(0);
  SetThreadpoolTimer(timer, &now, 0, 0);
  SubmitThreadpoolWork(work);
  ASSERT_TRUE(timerProbe.entered.Await());
  ASSERT_TRUE(workProbe.entered.Await());

  threadpool::PauseWorkers(true);
  SetThreadpoolTimer(timer, &now, 0, 0);
  SubmitThreadpoolWork(work);
  SubmitThreadpoolWork(work);
  for (int i = 0; i < 6000 && threadpool::QueuedCallbacks() < 3; ++i) Sleep(10);
  ASSERT_EQ(threadpool::QueuedCallbacks(), 3u);

  EXPECT_EQ(threadpool::RunningTimerCallbacks(timer), 1u) << "the held run counts, the queued one does not";
  std::thread timerWaiter([&] { WaitForThreadpoolTimerCallbacks(timer, TRUE); });
  std::thread workWaiter([&] { WaitForThreadpoolWorkCallbacks(work, TRUE); });
  for (int i = 0; i < 6000 && threadpool::QueuedCallbacks() > 0; ++i) Sleep(10);
  EXPECT_EQ(threadpool::QueuedCallbacks(), 0u);
  timerProbe.release.Set();
  workProbe.release.Set();
  timerWaiter.join();
  workWaiter.join();
  EXPECT_EQ(timerProbe.finished.load(), 1);
  EXPECT_EQ(workProbe.finished.load(), 1);

  threadpool::PauseWorkers(false);
  WaitForThreadpoolTimerCallbacks(timer, FALSE);
  WaitForThreadpoolWorkCallbacks(work, FALSE);
  EXPECT_EQ(threadpool::RunningTimerCallbacks(timer), 0u);
  EXPECT_EQ(timerProbe.runs.load(), 1);  // the dropped ones never run
  EXPECT_EQ(workProbe.runs.load(), 1);
  CloseThreadpoolTimer(timer);
  CloseThreadpoolWork(work);
}

TEST_F(ThreadpoolTest, TimerCanBeRearmedFromItsOwnCallback) {
  Probe probe;
  probe.rearmUntil = 3;
  PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &probe, nullptr);
  FILETIME due = Relative(std::chrono::milliseconds(5));
  SetThreadpoolTimer(timer, &due, 0, 0);
  ASSERT_TRUE(probe.done.Await());
  WaitForThreadpoolTimerCallbacks(timer, FALSE);
  EXPECT_EQ(probe.runs.load(), 3);
  EXPECT_TRUE(IsThreadpoolTimerSet(timer)) << "set by the callback's last re-arming";
  CloseThreadpoolTimer(timer);
}

TEST_F(ThreadpoolTest, DueTimesAbsoluteRelativeAndScaled) {
  struct Case {
    const char* name;
    double scale;
    std::function<FILETIME()> due;
    std::chrono::milliseconds atLeast;  // real time before it may fire
  };
  std::vector<Case> cases = {
      {"relative", 1, [] { return Relative(std::chrono::milliseconds(300)); }, std::chrono::milliseconds(295)},
      {"absolute", 1, [] { return Absolute(FileTimeNow() + 300 * 10000); }, std::chrono::milliseconds(250)},
      {"absolute in the past", 1, [] { return Absolute(FileTimeNow() - 3600LL * 10000000); },
       std::chrono::milliseconds(0)},
      // 120 s pass in 1 s: an unscaled timer would outlast the generous wait.
      {"relative scaled", 120, [] { return Relative(std::chrono::milliseconds(120000)); },
       std::chrono::milliseconds(990)},
      {"absolute scaled", 120, [] { return Absolute(FileTimeNow() + 120LL * 10000000); },
       std::chrono::milliseconds(950)},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetTimeScale(c.scale);
    Probe probe;
    PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &probe, nullptr);
    FILETIME due = c.due();
    auto setAt = Clock::now();
    SetThreadpoolTimer(timer, &due, 0, 0);
    ASSERT_EQ(WaitForSingleObject(probe.done.h, static_cast<DWORD>(kGenerousMs * c.scale)), WAIT_OBJECT_0);
    auto firedAfter = Clock::time_point(Clock::duration(probe.firedAtNs.load())) - setAt;
    EXPECT_GE(firedAfter, c.atLeast);
    EXPECT_LT(firedAfter, std::chrono::milliseconds(kGenerousMs));
    WaitForThreadpoolTimerCallbacks(timer, FALSE);
    CloseThreadpoolTimer(timer);
  }
}

TEST_F(ThreadpoolTest, ClosingWithACallbackRunningReturnsAndFreesAfterIt) {
  Probe timerProbe, workProbe;
  timerProbe.block = workProbe.block = true;
  PTP_TIMER timer = CreateThreadpoolTimer(TimerProbe, &timerProbe, nullptr);
  PTP_WORK work = CreateThreadpoolWork(WorkProbe, &workProbe, nullptr);
  FILETIME now = Absolute(0);
  SetThreadpoolTimer(timer, &now, 0, 0);
  SubmitThreadpoolWork(work);
  ASSERT_TRUE(timerProbe.entered.Await());
  ASSERT_TRUE(workProbe.entered.Await());
  CloseThreadpoolTimer(timer);  // returns while the callbacks are still held
  CloseThreadpoolWork(work);
  EXPECT_EQ(timerProbe.finished.load() + workProbe.finished.load(), 0);
  timerProbe.release.Set();
  workProbe.release.Set();
  EXPECT_TRUE(timerProbe.done.Await());
  EXPECT_TRUE(workProbe.done.Await());
}

TEST_F(ThreadpoolTest, SimpleCallbacksRun) {
  Probe probe;
  ASSERT_TRUE(TrySubmitThreadpoolCallback(
      [](PTP_CALLBACK_INSTANCE, PVOID context) { static_cast<Probe*>(context)->done.Set(); }, &probe, nullptr));
  EXPECT_TRUE(probe.done.Await());
}

TEST_F(ThreadpoolTest, CreateFunctionsFailWithTheInjectedError) {
  auto noop = [](PTP_CALLBACK_INSTANCE, PVOID, PTP_WORK) {};
  auto noopTimer = [](PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER) {};
  InjectFault("CreateThreadpoolTimer", ERROR_NOT_ENOUGH_MEMORY, 1);
  InjectFault("CreateThreadpoolWork", ERROR_OUTOFMEMORY, 1);
  InjectFault("TrySubmitThreadpoolCallback", ERROR_NOT_ENOUGH_QUOTA, 1);
  SetLastError(0);
  EXPECT_EQ(CreateThreadpoolTimer(noopTimer, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(CreateThreadpoolWork(noop, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
  EXPECT_FALSE(TrySubmitThreadpoolCallback([](PTP_CALLBACK_INSTANCE, PVOID) {}, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
  // Only the next call fails.
  PTP_TIMER timer = CreateThreadpoolTimer(noopTimer, nullptr, nullptr);
  PTP_WORK work = CreateThreadpoolWork(noop, nullptr, nullptr);
  EXPECT_NE(timer, nullptr);
  EXPECT_NE(work, nullptr);
  CloseThreadpoolTimer(timer);
  CloseThreadpoolWork(work);
}

// Blocks two workers and a timer callback for good, then exits the process.
void ExitWithBlockedCallbacks() {
  HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  PTP_WORK work = CreateThreadpoolWork(
      [](PTP_CALLBACK_INSTANCE, PVOID event, PTP_WORK) { WaitForSingleObject(event, INFINITE); }, never, nullptr);
  SubmitThreadpoolWork(work);
  SubmitThreadpoolWork(work);
  PTP_TIMER timer = CreateThreadpoolTimer(
      [](PTP_CALLBACK_INSTANCE, PVOID event, PTP_TIMER) { WaitForSingleObject(event, INFINITE); }, never, nullptr);
  FILETIME now{0, 0};
  SetThreadpoolTimer(timer, &now, 0, 0);
  while (threadpool::WorkerThreads() < 3) Sleep(1);
  ExitProcess(7);
}

TEST_F(ThreadpoolTest, ProcessExitsWhileCallbacksAreBlocked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExitWithBlockedCallbacks(), ::testing::ExitedWithCode(7), "");
}

}  // namespace
}  // namespace winsim::test
