// Events as other subsystems signal them on completion of I/O, without going through a handle
// (the caller may close its handle while the operation holds the event).
#pragma once
#include "kernel/handles.h"

namespace winsim {

bool IsEventObject(const KernelObject* object);
// False when the object is not an event.
bool SetEventObject(KernelObject* object);
bool ResetEventObject(KernelObject* object);

}  // namespace winsim
