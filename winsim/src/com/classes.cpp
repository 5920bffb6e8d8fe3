#include "com/classes.h"

#include "shobjidl.h"

namespace winsim::com {
namespace {

// The activation manager is registered both in-process and as a local server, as Windows
// registers it: callers choose CLSCTX_INPROC_SERVER or CLSCTX_LOCAL_SERVER.
const ClassEntry kClasses[] = {
    {&CLSID_ApplicationActivationManager, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
     &CreateApplicationActivationManager},
};

}  // namespace

const ClassEntry* FindClass(REFCLSID clsid) {
  for (const auto& entry : kClasses) {
    if (*entry.clsid == clsid) return &entry;
  }
  return nullptr;
}

}  // namespace winsim::com
