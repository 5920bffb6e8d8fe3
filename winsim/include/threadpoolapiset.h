// The process's default thread pool: work objects, timers and simple callbacks. Callback
// environments are accepted, but every callback runs in the default pool.
#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

typedef struct _TP_CALLBACK_INSTANCE TP_CALLBACK_INSTANCE, *PTP_CALLBACK_INSTANCE;
typedef struct _TP_WORK TP_WORK, *PTP_WORK;
typedef struct _TP_TIMER TP_TIMER, *PTP_TIMER;
typedef struct _TP_POOL TP_POOL, *PTP_POOL;
typedef struct _TP_CLEANUP_GROUP TP_CLEANUP_GROUP, *PTP_CLEANUP_GROUP;

typedef VOID(CALLBACK* PTP_SIMPLE_CALLBACK)(PTP_CALLBACK_INSTANCE Instance, PVOID Context);
typedef VOID(CALLBACK* PTP_WORK_CALLBACK)(PTP_CALLBACK_INSTANCE Instance, PVOID Context, PTP_WORK Work);
typedef VOID(CALLBACK* PTP_TIMER_CALLBACK)(PTP_CALLBACK_INSTANCE Instance, PVOID Context, PTP_TIMER Timer);

// The environment in which callbacks run. winsim keeps only what InitializeThreadpoolEnvironment
// sets and SetThreadpoolCallbackPool records; callbacks always run in the default pool.
typedef struct _TP_CALLBACK_ENVIRON {
  DWORD Version;
  PTP_POOL Pool;
  PTP_CLEANUP_GROUP CleanupGroup;
  PVOID Reserved[6];
} TP_CALLBACK_ENVIRON, *PTP_CALLBACK_ENVIRON;

inline VOID InitializeThreadpoolEnvironment(PTP_CALLBACK_ENVIRON pcbe) {
  *pcbe = TP_CALLBACK_ENVIRON{};
  pcbe->Version = 3;
}
inline VOID DestroyThreadpoolEnvironment(PTP_CALLBACK_ENVIRON) {}
inline VOID SetThreadpoolCallbackPool(PTP_CALLBACK_ENVIRON pcbe, PTP_POOL ptpp) { pcbe->Pool = ptpp; }

BOOL WINAPI TrySubmitThreadpoolCallback(PTP_SIMPLE_CALLBACK pfns, PVOID pv, PTP_CALLBACK_ENVIRON pcbe);

PTP_WORK WINAPI CreateThreadpoolWork(PTP_WORK_CALLBACK pfnwk, PVOID pv, PTP_CALLBACK_ENVIRON pcbe);
VOID WINAPI SubmitThreadpoolWork(PTP_WORK pwk);
VOID WINAPI WaitForThreadpoolWorkCallbacks(PTP_WORK pwk, BOOL fCancelPendingCallbacks);
VOID WINAPI CloseThreadpoolWork(PTP_WORK pwk);

PTP_TIMER WINAPI CreateThreadpoolTimer(PTP_TIMER_CALLBACK pfnti, PVOID pv, PTP_CALLBACK_ENVIRON pcbe);
// Due times pass faster by WINSIM_TIME_SCALE, and so do periods.
VOID WINAPI SetThreadpoolTimer(PTP_TIMER pti, PFILETIME pftDueTime, DWORD msPeriod, DWORD msWindowLength);
BOOL WINAPI IsThreadpoolTimerSet(PTP_TIMER pti);
VOID WINAPI WaitForThreadpoolTimerCallbacks(PTP_TIMER pti, BOOL fCancelPendingCallbacks);
VOID WINAPI CloseThreadpoolTimer(PTP_TIMER pti);
