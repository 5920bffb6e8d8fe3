#include "core/fault.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

namespace winsim {
namespace {

struct Plan {
  uint32_t error = 0;
  int remaining = -1;  // -1: every call
  int onCall = 0;      // >0: only that call
  int calls = 0;
};

std::mutex g_lock;
std::map<std::string, Plan> g_plans;
std::atomic<bool> g_any{false};
std::once_flag g_envOnce;

void LoadEnvironment() {
  const char* env = std::getenv("WINSIM_FAULTS");
  if (!env) return;
  std::string text = env;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(";,", start);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(start, end - start);
    start = end + 1;
    size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    Plan plan;
    std::string rest = item.substr(eq + 1);
    char* after = nullptr;
    plan.error = static_cast<uint32_t>(std::strtoul(rest.c_str(), &after, 0));
    if (after && *after == '*') plan.remaining = std::atoi(after + 1);
    if (after && *after == '@') plan.onCall = std::atoi(after + 1);
    g_plans[item.substr(0, eq)] = plan;
    g_any = true;
  }
}

}  // namespace

std::optional<uint32_t> CheckFault(const char* function) {
  // Every winsim call comes here: once the environment is read, a machine without plans answers
  // with one load.
  static std::atomic<bool> loaded{false};
  if (!loaded.load(std::memory_order_acquire)) {
    std::call_once(g_envOnce, LoadEnvironment);
    loaded.store(true, std::memory_order_release);
  }
  if (!g_any.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_plans.find(function);
  if (it == g_plans.end()) return std::nullopt;
  Plan& plan = it->second;
  ++plan.calls;
  if (plan.onCall > 0) {
    if (plan.calls == plan.onCall) return plan.error;
    return std::nullopt;
  }
  if (plan.remaining == 0) return std::nullopt;
  if (plan.remaining > 0) --plan.remaining;
  return plan.error;
}

void InjectFault(const std::string& function, uint32_t error, int count, int onCall) {
  std::call_once(g_envOnce, LoadEnvironment);
  std::lock_guard<std::mutex> lock(g_lock);
  Plan plan;
  plan.error = error;
  plan.remaining = count;
  plan.onCall = onCall;
  g_plans[function] = plan;
  g_any = true;
}

void ClearFaults() {
  std::call_once(g_envOnce, LoadEnvironment);
  std::lock_guard<std::mutex> lock(g_lock);
  g_plans.clear();
  g_any = false;
}

}  // namespace winsim
