// A fresh simulated machine for one benchmark run, in a folder of its own under /tmp that goes
// away with the object; and the small timing helpers the benchmarks share.
#pragma once
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/identity.h"
#include "core/machine.h"
#include "sessions/sessions.h"

using BenchClock = std::chrono::steady_clock;

inline double Seconds(BenchClock::time_point a, BenchClock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// This program's own file, for benchmarks that start themselves as the measured child.
inline std::string SelfPath() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

class BenchMachine {
 public:
  // The machine becomes this process's machine (WINSIM_MACHINE, inherited by what it starts). With
  // a console user, alice is added and signed in at the console and the benchmark then acts as
  // SYSTEM, as the service does.
  explicit BenchMachine(bool consoleUser) {
    char dirTemplate[] = "/tmp/winsim-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) return;
    m_path = dirTemplate;
    setenv("WINSIM_MACHINE", m_path.c_str(), 1);
    winsim::InitMachine(m_path);
    if (consoleUser) {
      std::wstring error;
      if (!winsim::AddUserAccount(L"alice", L'C', &error) || !winsim::sessions::Logon(L"alice", false).ok) return;
      winsim::SetCurrentIdentity(winsim::SystemIdentity());
    }
    m_ok = true;
  }
  ~BenchMachine() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  BenchMachine(const BenchMachine&) = delete;
  BenchMachine& operator=(const BenchMachine&) = delete;

  bool Ok() const { return m_ok; }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
  bool m_ok = false;
};
