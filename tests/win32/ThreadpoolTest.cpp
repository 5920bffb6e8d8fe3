// One-shot thread-pool timers as the check timer uses them: a relative due time, re-arming that
// replaces the due time, and cancelling with the wait that drops callbacks not yet started.
#include "Win32Test.h"

#include <atomic>

namespace torvex::test {
namespace {

FILETIME RelativeMs(LONGLONG ms) {
  ULARGE_INTEGER due;
  due.QuadPart = static_cast<ULONGLONG>(-ms * 10000);
  FILETIME ft;
  ft.dwLowDateTime = due.LowPart;
  ft.dwHighDateTime = due.HighPart;
  return ft;
}

struct Probe {
  std::atomic<int> runs{0};
  std::atomic<ULONGLONG> firedAt{0};
};

VOID CALLBACK Count(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) {
  auto* probe = static_cast<Probe*>(context);
  probe->firedAt = GetTickCount64();
  ++probe->runs;
}

class ThreadpoolTest : public Win32Test {};

TEST_F(ThreadpoolTest, OneShotTimerFiresOnceAfterItsDueTime) {
  Probe probe;
  PTP_TIMER timer = CreateThreadpoolTimer(Count, &probe, nullptr);
  ASSERT_NE(timer, nullptr);
  EXPECT_FALSE(IsThreadpoolTimerSet(timer));
  FILETIME due = RelativeMs(100);
  ULONGLONG armedAt = GetTickCount64();
  SetThreadpoolTimer(timer, &due, 0, 0);
  EXPECT_TRUE(IsThreadpoolTimerSet(timer));
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
  EXPECT_GE(probe.firedAt.load() + 16, armedAt + 100) << "not before its due time (tick granularity allowed)";
  Sleep(300);
  EXPECT_EQ(probe.runs.load(), 1) << "no period: one run";
  // Set means the last call gave a due time, whether or not the timer has fired since.
  EXPECT_TRUE(IsThreadpoolTimerSet(timer));
  SetThreadpoolTimer(timer, nullptr, 0, 0);
  EXPECT_FALSE(IsThreadpoolTimerSet(timer));
  WaitForThreadpoolTimerCallbacks(timer, TRUE);
  CloseThreadpoolTimer(timer);
}

TEST_F(ThreadpoolTest, ArmingAnArmedTimerReplacesItsDueTime) {
  Probe probe;
  PTP_TIMER timer = CreateThreadpoolTimer(Count, &probe, nullptr);
  ASSERT_NE(timer, nullptr);
  FILETIME late = RelativeMs(60000);
  SetThreadpoolTimer(timer, &late, 0, 0);
  FILETIME soon = RelativeMs(50);
  SetThreadpoolTimer(timer, &soon, 0, 0);
  ASSERT_TRUE(WaitUntil([&] { return probe.runs.load() == 1; }));
  // And the other way round: a later due time replaces an early one.
  SetThreadpoolTimer(timer, &soon, 0, 0);
  SetThreadpoolTimer(timer, &late, 0, 0);
  Sleep(300);
  EXPECT_EQ(probe.runs.load(), 1);
  SetThreadpoolTimer(timer, nullptr, 0, 0);
  WaitForThreadpoolTimerCallbacks(timer, TRUE);
  CloseThreadpoolTimer(timer);
}

TEST_F(ThreadpoolTest, CancelledTimerDoesNotFire) {
  Probe probe;
  PTP_TIMER timer = CreateThreadpoolTimer(Count, &probe, nullptr);
  ASSERT_NE(timer, nullptr);
  FILETIME due = RelativeMs(100);
  SetThreadpoolTimer(timer, &due, 0, 0);
  SetThreadpoolTimer(timer, nullptr, 0, 0);
  WaitForThreadpoolTimerCallbacks(timer, TRUE);
  EXPECT_FALSE(IsThreadpoolTimerSet(timer));
  Sleep(300);
  EXPECT_EQ(probe.runs.load(), 0);
  CloseThreadpoolTimer(timer);
}

VOID CALLBACK RunWork(PTP_CALLBACK_INSTANCE, PVOID context, PTP_WORK) { ++static_cast<Probe*>(context)->runs; }

TEST_F(ThreadpoolTest, WorkItemsRunOncePerSubmission) {
  Probe probe;
  PTP_WORK work = CreateThreadpoolWork(RunWork, &probe, nullptr);
  ASSERT_NE(work, nullptr);
  SubmitThreadpoolWork(work);
  SubmitThreadpoolWork(work);
  WaitForThreadpoolWorkCallbacks(work, FALSE);
  EXPECT_EQ(probe.runs.load(), 2);
  CloseThreadpoolWork(work);
}

}  // namespace
}  // namespace torvex::test
