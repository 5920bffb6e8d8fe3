// On winsim each test gets a fresh simulated machine and runs as its administrator.
#pragma once
#include "MachineTest.h"

namespace torvex::test {

using PlatformTest = winsim::test::MachineTest;
inline bool OnWine() { return false; }

}  // namespace torvex::test
