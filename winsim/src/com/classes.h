// The COM classes that the machine registers, and the apartment rule that object creation follows.
#pragma once
#include "combaseapi.h"

namespace winsim::com {

struct ClassEntry {
  const CLSID* clsid;
  DWORD contexts;        // the CLSCTX values the class is registered for
  IUnknown* (*create)();  // a new object with one reference, or nullptr when out of memory
};

// The registered class of that CLSID, or nullptr.
const ClassEntry* FindClass(REFCLSID clsid);

// Whether the calling thread is in an apartment, or implicitly in the multithreaded one.
bool CallerMayUseCom();

// The application activation manager (shobjidl.h).
IUnknown* CreateApplicationActivationManager();

}  // namespace winsim::com
