// The state behind a UTILITY_CONTEXT_HANDLE and what the manager routines share with tests.
#pragma once
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

// The fixed text of GetCommend: 34 characters, the last a blank; the BSTR counts its NUL too.
#define GET_COMMEND_TEXT L"rrrrrrrr  GetCommendSvr RpcServer "
#define GET_COMMEND_LENGTH 35
// Metering periods are clamped into this range, in milliseconds.
#define METERING_PERIOD_MIN_MS 1
#define METERING_PERIOD_MAX_MS 1000
#define METERING_PERIOD_INITIAL_MS 100

// One per open context.
struct MeteringContext {
  wchar_t text[1024];
  // The tick count when the timer last fired; written by the timer callback before it signals
  // tickEvent, read by the loop after its wait.
  std::atomic<ULONGLONG> tickCount;
  std::atomic<LONGLONG> periodMs;
  PTP_TIMER timer;
  HANDLE tickEvent;
  std::atomic<bool> stopRequested;

  // Serialises GetCommend's use of text.
  std::mutex textLock;
  // Under stateLock: whether a StartMetering loop runs, whether it is inside the client's
  // MeteringTick, and whether the context has been closed (or run down).
  std::mutex stateLock;
  std::condition_variable stateChanged;
  bool bLoopRunning;
  bool bInCallback;
  bool bClosed;
  // Users of the record: one for the open context, one per call that uses it; guarded by the
  // table of live contexts. The last user frees the record and its handle block.
  long lReferences;
};

// Clamps a period into [METERING_PERIOD_MIN_MS, METERING_PERIOD_MAX_MS] (signed comparison, before
// any arithmetic on it).
LONGLONG ClampMeteringPeriod(LONGLONG periodMs);

// The timer's callback: records the tick count and signals the loop.
VOID CALLBACK MeteringTimerCallback(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_TIMER timer);

// How many contexts are open or still in use (for tests and diagnostics).
size_t LiveMeteringContextCount();

// The fault codes of the refusals that the manager routines add.
// A second StartMetering on a context whose loop runs.
#define METERING_ALREADY_RUNNING_STATUS ERROR_BUSY
// SetXMLCommend from a caller that is not the companion app of the console user.
#define SET_COMMAND_DENIED_STATUS ERROR_ACCESS_DENIED
