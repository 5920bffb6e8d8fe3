// The COM library: GUID creation, apartments and object creation.
#pragma once
#include "guiddef.h"
#include "minwindef.h"
#include "unknwn.h"
#include "winerror.h"
#include "winnt.h"

HRESULT WINAPI CoCreateGuid(GUID* pguid);

// The concurrency model of a thread (COINIT). COINIT_MULTITHREADED is the default; the two models
// cannot be combined.
typedef enum tagCOINIT {
  COINIT_APARTMENTTHREADED = 0x2,
  COINIT_MULTITHREADED = 0x0,
  COINIT_DISABLE_OLE1DDE = 0x4,
  COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

// Where a class object may run (CLSCTX).
typedef enum tagCLSCTX {
  CLSCTX_INPROC_SERVER = 0x1,
  CLSCTX_INPROC_HANDLER = 0x2,
  CLSCTX_LOCAL_SERVER = 0x4,
  CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// Joins the calling thread to an apartment. S_OK on the first call of the thread, S_FALSE on a
// further call with the same model, RPC_E_CHANGED_MODE when the thread is already in the other
// model (that call must not be balanced), E_INVALIDARG for a reserved pointer or unknown flags.
// Every call that succeeded, S_FALSE included, is balanced by one CoUninitialize.
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// Leaves the apartment when the thread's last successful initialisation is balanced; a call
// without a matching initialisation does nothing.
void WINAPI CoUninitialize(void);

// Creates an object of a registered class and asks it for an interface. Before the thread has
// joined an apartment (and while no thread of the process is in the multithreaded apartment, which
// a thread joins implicitly): CO_E_NOTINITIALIZED. An unknown class, or one not available in the
// given contexts: REGDB_E_CLASSNOTREG. Aggregation: CLASS_E_NOAGGREGATION. An interface the object
// lacks: E_NOINTERFACE. A null ppv: E_POINTER. On failure *ppv is NULL.
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
