// What tests may ask of the default thread pool beyond the Windows functions.
#pragma once
#include <cstddef>

struct _TP_TIMER;

namespace winsim::threadpool {

// While paused, workers start no queued callback, so tests can hold callbacks in the queued
// (pending) state that Windows' cancellation applies to.
void PauseWorkers(bool paused);
// Callbacks queued and not yet started.
size_t QueuedCallbacks();
// Worker threads alive now.
size_t WorkerThreads();
// Callbacks of the timer that have started and not yet returned, so that a test can tell a
// callback that is blocked inside from one that never started.
size_t RunningTimerCallbacks(_TP_TIMER* timer);

}  // namespace winsim::threadpool
