// COM apartments and object creation. Each thread joins the single-threaded (STA) or the
// multithreaded apartment (MTA) with CoInitializeEx and leaves it with the CoUninitialize that
// balances its last successful call. A thread that never joined may still create objects while
// some thread of the process is in the MTA: it is then implicitly a member of the MTA, as Windows
// documents for such threads.
#include <atomic>

#include "com/classes.h"
#include "core/fault.h"
#include "objbase.h"

namespace winsim::com {
namespace {

enum class Apartment { None, Single, Multi };

struct ThreadState {
  Apartment apartment = Apartment::None;
  unsigned long initCount = 0;
  ~ThreadState();
};

// Threads of the process in the MTA.
std::atomic<long> g_mtaThreads{0};

ThreadState::~ThreadState() {
  // A thread that ends without balancing its calls leaves the apartment with it.
  if (initCount > 0 && apartment == Apartment::Multi) g_mtaThreads.fetch_sub(1);
}

thread_local ThreadState t_state;

}  // namespace

bool CallerMayUseCom() { return t_state.initCount > 0 || g_mtaThreads.load() > 0; }

}  // namespace winsim::com

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  using winsim::com::Apartment;
  WINSIM_FAULT_STATUS("CoInitializeEx", HRESULT);
  constexpr DWORD kKnown = COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE | COINIT_SPEED_OVER_MEMORY;
  if (pvReserved != nullptr || (dwCoInit & ~kKnown) != 0) return E_INVALIDARG;
  Apartment wanted = (dwCoInit & COINIT_APARTMENTTHREADED) ? Apartment::Single : Apartment::Multi;
  auto& state = winsim::com::t_state;
  if (state.initCount > 0) {
    // The model of a thread is fixed until its last CoUninitialize; a call asking for the other
    // one fails and is not counted.
    if (state.apartment != wanted) return RPC_E_CHANGED_MODE;
    ++state.initCount;
    return S_FALSE;
  }
  state.apartment = wanted;
  state.initCount = 1;
  if (wanted == Apartment::Multi) winsim::com::g_mtaThreads.fetch_add(1);
  return S_OK;
}

HRESULT WINAPI CoInitialize(LPVOID pvReserved) {
  WINSIM_FAULT_STATUS("CoInitialize", HRESULT);
  return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

// CoUninitialize has no result and no failure to inject.
void WINAPI CoUninitialize(void) {
  using winsim::com::Apartment;
  auto& state = winsim::com::t_state;
  if (state.initCount == 0) return;
  if (--state.initCount > 0) return;
  if (state.apartment == Apartment::Multi) winsim::com::g_mtaThreads.fetch_sub(1);
  state.apartment = Apartment::None;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  WINSIM_FAULT_STATUS("CoCreateInstance", HRESULT);
  if (!winsim::com::CallerMayUseCom()) return CO_E_NOTINITIALIZED;
  const winsim::com::ClassEntry* entry = winsim::com::FindClass(rclsid);
  // A class that is not registered for any of the contexts asked for is as unknown as one that is
  // not registered at all.
  if (!entry || (entry->contexts & dwClsContext) == 0) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;
  IUnknown* object = entry->create();
  if (!object) return E_OUTOFMEMORY;
  HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}
