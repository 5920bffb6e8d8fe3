// The registry of a fresh machine.
#include "core/init_hooks.h"

namespace winsim {

void InitRegistryDefaults() {}

}  // namespace winsim
