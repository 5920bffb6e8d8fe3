// What tests may ask of the default thread pool beyond the Windows functions.
#pragma once
#include <cstddef>

namespace winsim::threadpool {

// While paused, workers start no queued callback, so tests can hold callbacks in the queued
// (pending) state that Windows' cancellation applies to.
void PauseWorkers(bool paused);
// Callbacks queued and not yet started.
size_t QueuedCallbacks();
// Worker threads alive now.
size_t WorkerThreads();

}  // namespace winsim::threadpool
