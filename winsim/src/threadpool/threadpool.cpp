// The default thread pool of the process. One lock guards the queue, the worker counts and every
// work and timer object, which keeps the bookkeeping simple and race-free; callbacks run outside it.
//
// The pool grows whenever work is queued and no worker is idle, so a callback that blocks for the
// life of the process (an RPC listen call) never starves the others. Timers are kept by a single
// timer thread that hands due callbacks to the workers. The pool and its threads are never torn
// down: workers are detached and the state is leaked on purpose, so that a process exiting while
// a callback is blocked neither hangs in a destructor nor frees what a worker still uses.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>

#include "core/fault.h"
#include "core/timescale.h"
#include "threadpool/threadpool.h"
#include "windows.h"

using Clock = std::chrono::steady_clock;

struct _TP_CALLBACK_INSTANCE {
  int reserved = 0;
};

struct _TP_WORK {
  PTP_WORK_CALLBACK callback = nullptr;
  PVOID context = nullptr;
  size_t pending = 0;  // queued, not started
  size_t running = 0;
  bool closed = false;
  std::condition_variable settled;  // pending and running both reached zero
};

struct _TP_TIMER {
  PTP_TIMER_CALLBACK callback = nullptr;
  PVOID context = nullptr;
  bool set = false;  // armed: the timer thread will queue a callback at `due`
  // What IsThreadpoolTimerSet reports: the last SetThreadpoolTimer gave a due time. A one-shot
  // timer that has fired stays "set" in this sense until it is set again or cancelled.
  bool dueTimeGiven = false;
  Clock::time_point due;
  Clock::duration period{0};
  size_t pending = 0;
  size_t running = 0;
  bool closed = false;
  std::condition_variable settled;
};

namespace winsim {
namespace {

// Enough for every blocking callback a service could hold, and a guard against a runaway loop.
constexpr size_t kMaxThreads = 512;
// A worker that finds nothing to do for this long leaves; the pool starts another when needed.
constexpr auto kIdleRetirement = std::chrono::seconds(30);

struct Task {
  PTP_WORK work = nullptr;
  PTP_TIMER timer = nullptr;
  PTP_SIMPLE_CALLBACK simple = nullptr;
  PVOID context = nullptr;
};

struct Pool {
  std::mutex lock;
  std::condition_variable workReady;
  std::deque<Task> queue;
  size_t threads = 0;
  size_t idle = 0;
  bool paused = false;  // tests only

  std::condition_variable timersChanged;
  std::set<std::pair<Clock::time_point, PTP_TIMER>> armed;
  bool timerThreadStarted = false;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // never destroyed, see above
  return *pool;
}

void WorkerMain();

// With pool.lock held: queues a task and starts a worker when none is free to take it.
void QueueLocked(Pool& pool, const Task& task) {
  pool.queue.push_back(task);
  if (pool.queue.size() > pool.idle && pool.threads < kMaxThreads) {
    try {
      std::thread(WorkerMain).detach();
      pool.threads++;
    } catch (const std::system_error&) {
      // Out of threads: the queued task waits for a worker already running.
    }
  }
  pool.workReady.notify_one();
}

void DisarmLocked(Pool& pool, PTP_TIMER timer) {
  if (timer->set) {
    pool.armed.erase({timer->due, timer});
    timer->set = false;
  }
}

// With pool.lock held, after a callback or a cancellation: wakes waiters and frees closed objects.
template <class Object>
void SettleLocked(Object* object) {
  if (object->pending != 0 || object->running != 0) return;
  object->settled.notify_all();
  if (object->closed) delete object;
}

template <class Object>
void CancelPendingLocked(Pool& pool, Object* object) {
  if (object->pending == 0) return;
  std::erase_if(pool.queue, [object](const Task& t) {
    if constexpr (std::is_same_v<Object, TP_WORK>) {
      return t.work == object;
    } else {
      return t.timer == object;
    }
  });
  object->pending = 0;
}

void WorkerMain() {
  Pool& pool = ThePool();
  std::unique_lock<std::mutex> lock(pool.lock);
  for (;;) {
    if (pool.queue.empty() || pool.paused) {
      pool.idle++;
      bool got = pool.workReady.wait_for(lock, kIdleRetirement,
                                         [&] { return !pool.queue.empty() && !pool.paused; });
      pool.idle--;
      if (!got) {
        pool.threads--;
        return;
      }
    }
    Task task = pool.queue.front();
    pool.queue.pop_front();
    TP_CALLBACK_INSTANCE instance;
    if (task.work) {
      PTP_WORK work = task.work;
      work->pending--;
      work->running++;
      PTP_WORK_CALLBACK callback = work->callback;
      PVOID context = work->context;
      lock.unlock();
      callback(&instance, context, work);
      lock.lock();
      work->running--;
      SettleLocked(work);
    } else if (task.timer) {
      PTP_TIMER timer = task.timer;
      timer->pending--;
      timer->running++;
      PTP_TIMER_CALLBACK callback = timer->callback;
      PVOID context = timer->context;
      lock.unlock();
      callback(&instance, context, timer);
      lock.lock();
      timer->running--;
      SettleLocked(timer);
    } else {
      lock.unlock();
      task.simple(&instance, task.context);
      lock.lock();
    }
  }
}

void TimerThreadMain() {
  Pool& pool = ThePool();
  std::unique_lock<std::mutex> lock(pool.lock);
  for (;;) {
    if (pool.armed.empty()) {
      pool.timersChanged.wait(lock);
      continue;
    }
    Clock::time_point next = pool.armed.begin()->first;
    if (Clock::now() < next) {
      pool.timersChanged.wait_until(lock, next);
      continue;  // the set may have changed meanwhile
    }
    Clock::time_point now = Clock::now();
    while (!pool.armed.empty() && pool.armed.begin()->first <= now) {
      PTP_TIMER timer = pool.armed.begin()->second;
      pool.armed.erase(pool.armed.begin());
      if (timer->period > Clock::duration::zero()) {
        // A periodic timer that fell behind fires once and resumes its rhythm from now.
        timer->due += timer->period;
        if (timer->due <= now) timer->due = now + timer->period;
        pool.armed.insert({timer->due, timer});
      } else {
        timer->set = false;
      }
      timer->pending++;
      QueueLocked(pool, Task{nullptr, timer, nullptr, nullptr});
    }
  }
}

// FILETIME of the current system time: 100-ns intervals since 1601-01-01 UTC.
int64_t FileTimeNow() {
  constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
  auto since1970 = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsFileTime + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

}  // namespace

namespace threadpool {

void PauseWorkers(bool paused) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  pool.paused = paused;
  pool.workReady.notify_all();
}

size_t QueuedCallbacks() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  return pool.queue.size();
}

size_t WorkerThreads() {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  return pool.threads;
}

size_t RunningTimerCallbacks(PTP_TIMER timer) {
  Pool& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  return timer == nullptr ? 0 : timer->running;
}

}  // namespace threadpool
}  // namespace winsim

using winsim::ThePool;

BOOL WINAPI TrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK pfns, PVOID pv, PTP_CALLBACK_ENVIRON pcbe) {
  WINSIM_FAULT_BOOL("TrySubmitThreadpoolCallback");
  if (!pfns) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  winsim::QueueLocked(pool, winsim::Task{nullptr, nullptr, pfns, pv});
  return TRUE;
}

PTP_WORK WINAPI CreateThreadpoolWork(PTP_WORK_CALLBACK pfnwk, PVOID pv, PTP_CALLBACK_ENVIRON pcbe) {
  WINSIM_FAULT_VALUE("CreateThreadpoolWork", nullptr);
  // Windows leaves a missing callback undocumented; refusing it here beats a crash on a worker.
  if (!pfnwk) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  PTP_WORK work = new (std::nothrow) TP_WORK;
  if (!work) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  work->callback = pfnwk;
  work->context = pv;
  return work;
}

// Each submission queues one more callback, as Windows does.
VOID WINAPI SubmitThreadpoolWork(PTP_WORK pwk) {
  auto& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  if (pwk->closed) return;
  pwk->pending++;
  winsim::QueueLocked(pool, winsim::Task{pwk, nullptr, nullptr, nullptr});
}

VOID WINAPI WaitForThreadpoolWorkCallbacks(PTP_WORK pwk, BOOL fCancelPendingCallbacks) {
  auto& pool = ThePool();
  std::unique_lock<std::mutex> lock(pool.lock);
  if (fCancelPendingCallbacks) winsim::CancelPendingLocked(pool, pwk);
  pwk->settled.wait(lock, [pwk] { return pwk->pending == 0 && pwk->running == 0; });
}

// Freed now when nothing is outstanding, otherwise after the outstanding callbacks have run.
VOID WINAPI CloseThreadpoolWork(PTP_WORK pwk) {
  auto& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  pwk->closed = true;
  if (pwk->pending == 0 && pwk->running == 0) delete pwk;
}

PTP_TIMER WINAPI CreateThreadpoolTimer(PTP_TIMER_CALLBACK pfnti, PVOID pv, PTP_CALLBACK_ENVIRON pcbe) {
  WINSIM_FAULT_VALUE("CreateThreadpoolTimer", nullptr);
  if (!pfnti) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  PTP_TIMER timer = new (std::nothrow) TP_TIMER;
  if (!timer) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  timer->callback = pfnti;
  timer->context = pv;
  return timer;
}

// msWindowLength only allows the system to be late; winsim is never late on purpose.
VOID WINAPI SetThreadpoolTimer(PTP_TIMER pti, PFILETIME pftDueTime, DWORD msPeriod, DWORD msWindowLength) {
  auto& pool = ThePool();
  Clock::time_point now = Clock::now();
  Clock::time_point due = now;
  if (pftDueTime) {
    int64_t value = static_cast<int64_t>((static_cast<uint64_t>(pftDueTime->dwHighDateTime) << 32) |
                                         pftDueTime->dwLowDateTime);
    // Negative: relative, in 100-ns units. Zero or positive: an absolute FILETIME; zero and any
    // time already past expire at once.
    int64_t wait100ns = value < 0 ? -value : value - winsim::FileTimeNow();
    if (wait100ns > 0) {
      due = now + std::chrono::duration_cast<Clock::duration>(
                      winsim::ScaledDuration(std::chrono::nanoseconds(wait100ns) * 100));
    }
  }
  std::lock_guard<std::mutex> lock(pool.lock);
  if (pti->closed) return;
  winsim::DisarmLocked(pool, pti);  // setting the timer replaces the previous due time
  pti->dueTimeGiven = pftDueTime != nullptr;
  if (!pftDueTime) return;          // cancelled: callbacks already queued still run
  pti->due = due;
  pti->period = std::chrono::duration_cast<Clock::duration>(
      winsim::ScaledDuration(std::chrono::milliseconds(msPeriod)));
  if (msPeriod != 0 && pti->period <= Clock::duration::zero()) pti->period = std::chrono::nanoseconds(1);
  pti->set = true;
  pool.armed.insert({pti->due, pti});
  if (!pool.timerThreadStarted) {
    std::thread(winsim::TimerThreadMain).detach();
    pool.timerThreadStarted = true;
  }
  pool.timersChanged.notify_one();
}

// Microsoft documents a timer as set when the most recent SetThreadpoolTimer(Ex) call passed a
// non-null due time; a one-shot timer that has expired is therefore still set (Wine agrees).
BOOL WINAPI IsThreadpoolTimerSet(PTP_TIMER pti) {
  auto& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  return pti->dueTimeGiven ? TRUE : FALSE;
}

VOID WINAPI WaitForThreadpoolTimerCallbacks(PTP_TIMER pti, BOOL fCancelPendingCallbacks) {
  auto& pool = ThePool();
  std::unique_lock<std::mutex> lock(pool.lock);
  if (fCancelPendingCallbacks) winsim::CancelPendingLocked(pool, pti);
  pti->settled.wait(lock, [pti] { return pti->pending == 0 && pti->running == 0; });
}

// The timer stops; callbacks already queued may still run, and the object goes after them.
VOID WINAPI CloseThreadpoolTimer(PTP_TIMER pti) {
  auto& pool = ThePool();
  std::lock_guard<std::mutex> lock(pool.lock);
  winsim::DisarmLocked(pool, pti);
  pti->closed = true;
  if (pti->pending == 0 && pti->running == 0) delete pti;
}
