#include "core/timescale.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace winsim {
namespace {
std::atomic<double> g_scale{0.0};
}

double TimeScale() {
  double s = g_scale.load();
  if (s > 0) return s;
  const char* env = std::getenv("WINSIM_TIME_SCALE");
  double parsed = env ? std::strtod(env, nullptr) : 1.0;
  if (!(parsed > 0) || !std::isfinite(parsed)) parsed = 1.0;
  g_scale.store(parsed);
  return parsed;
}

void SetTimeScale(double scale) { g_scale.store(scale > 0 ? scale : 1.0); }

uint32_t ScaledMilliseconds(uint32_t ms) {
  if (ms == 0xFFFFFFFFu) return ms;
  double scaled = ms / TimeScale();
  if (scaled >= 0xFFFFFFFEu) return 0xFFFFFFFEu;
  return static_cast<uint32_t>(std::llround(scaled));
}

std::chrono::nanoseconds ScaledDuration(std::chrono::nanoseconds d) {
  return std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(d.count()) / TimeScale()));
}

}  // namespace winsim
