// WINSIM_TIME_SCALE: a factor by which Sleep, wait time-outs and thread-pool due times pass faster
// (120 makes a 120-second delay last one second). Clocks that programs read stay real.
#pragma once
#include <chrono>
#include <cstdint>

namespace winsim {

double TimeScale();
void SetTimeScale(double scale);  // tests
// A duration in milliseconds as it passes on this machine; INFINITE stays INFINITE.
uint32_t ScaledMilliseconds(uint32_t ms);
std::chrono::nanoseconds ScaledDuration(std::chrono::nanoseconds d);

}  // namespace winsim
