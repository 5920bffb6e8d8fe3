#include "process/terminate.h"

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "core/machine.h"
#include "process/process.h"

namespace winsim {
namespace {

// Running and not a zombie: a killed child that its parent has not reaped yet has ended.
bool Running(int64_t pid) {
  if (pid <= 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  size_t close = line.rfind(')');
  return !(close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z');
}

std::string Canonical(const std::string& path) {
  std::error_code ec;
  auto canonical = std::filesystem::weakly_canonical(path, ec);
  return ec ? path : canonical.string();
}

}  // namespace

bool IsProcessOfThisMachine(int64_t pid) {
  if (pid <= 0) return false;
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  if (!in) return false;
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string key = "WINSIM_MACHINE=";
  const std::string machine = Canonical(MachineDir());
  size_t start = 0;
  while (start < all.size()) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    if (all.compare(start, key.size(), key) == 0) {
      return Canonical(all.substr(start + key.size(), end - start - key.size())) == machine;
    }
    start = end + 1;
  }
  return false;
}

bool TerminateMachineProcess(int64_t pid, uint32_t exitCode, uint32_t timeoutMs) {
  if (!Running(pid)) return false;
  ListProcesses(false);  // makes sure the process table exists on this connection
  {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    Database& db = Database::Get();
    // The latest row of the pid is the running process; a row already ended keeps its code.
    Statement up(db.Raw(),
                 "UPDATE processes SET exit_code=?, ended=? WHERE id=(SELECT MAX(id) FROM processes WHERE pid=?)"
                 " AND ended IS NULL");
    up.Bind(1, static_cast<int64_t>(exitCode)).Bind(2, static_cast<int64_t>(ts.tv_sec)).Bind(3, pid);
    up.Step();
  }
  if (kill(static_cast<pid_t>(pid), SIGKILL) != 0 && errno == ESRCH) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Running(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace winsim
