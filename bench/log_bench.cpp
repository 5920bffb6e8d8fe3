// Figures for the log facility: entries per second of WriteLog beside a plain open/append/close
// loop writing the same bytes, and the cost of a call below the configured level.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "BenchLine.h"
#include "BenchMachine.h"
#include "common/Log.h"
#include "common/Registry.h"
#include "core/identity.h"
#include "core/machine.h"
#include "windows.h"

std::wstring g_wsModuleName = L"LogBench";

namespace {
using Clock = BenchClock;
}  // namespace

int main(int argc, char** argv) {
  int entries = argc > 1 ? std::atoi(argv[1]) : 20000;
  BenchMachine bench(false);
  if (!bench.Ok()) return 1;
  const std::string& machine = bench.Path();
  winsim::SetCurrentIdentity(winsim::SystemIdentity());
  CreateKey(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY);
  SetKeyValueInt(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY, REG_LOG_LEVEL_VALUE, 2);

  auto t0 = Clock::now();
  for (int i = 0; i < entries; ++i) WriteLog(L"", 1, LOG_LEVEL_INFO, L"CUtilityService::OnStart enter.\n");
  auto t1 = Clock::now();

  // The same bytes, appended with a plain open, write and close per entry: once to a file beside
  // the log, whose path is as long as the log's (the kernel walks every component of a path on
  // each call, so the comparison is between like paths), and once to a file at the top of the
  // machine's folder, the shortest path the simulation has.
  std::string line = "[2026-12-10 10:00:00.000] [INFO] CUtilityService::OnStart enter.\r\n";
  auto plainLoop = [&](const std::string& plain) {
    auto start = Clock::now();
    for (int i = 0; i < entries; ++i) {
      int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (fd >= 0) {
        ssize_t ignored = write(fd, line.data(), line.size());
        (void)ignored;
        close(fd);
      }
    }
    return Seconds(start, Clock::now());
  };
  double besideSeconds = plainLoop(machine + "/drives/c/Windows/Temp/_TorvexUtility_/plain.log");
  double topSeconds = plainLoop(machine + "/plain.log");

  SetKeyValueInt(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY, REG_LOG_LEVEL_VALUE, 4);
  g_nLogLevel = -1;
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"reads the level\n");
  const int below = 5000000;
  auto t4 = Clock::now();
  for (int i = 0; i < below; ++i) WriteLog(L"", 1, LOG_LEVEL_INFO, L"below the level %d\n", i);
  auto t5 = Clock::now();

  double logRate = entries / Seconds(t0, t1);
  double plainRate = entries / besideSeconds;
  double topRate = entries / topSeconds;
  std::printf("WriteLog INFO entry:          %10.0f entries/s\n", logRate);
  std::printf("plain append beside the log:  %10.0f entries/s\n", plainRate);
  std::printf("plain append, short path:     %10.0f entries/s\n", topRate);
  std::printf("ratio plain / WriteLog:       %10.2f (short path: %.2f)\n", plainRate / logRate, topRate / logRate);
  std::printf("WriteLog below level:         %10.2f ns/call\n", Seconds(t4, t5) * 1e9 / below);
  // The cost of an entry beside the plain append of the same bytes: the goal is at most 3 times.
  BenchLine("log.entry", 1e6 / logRate, 1e6 / plainRate, "us", "<=3");
  BenchLine("log.entry_vs_short_path", 1e6 / logRate, 1e6 / topRate, "us", "-");
  BenchLine("log.below_level", Seconds(t4, t5) * 1e9 / below, "ns");
  return 0;
}
