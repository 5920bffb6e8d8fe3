// IsExistUtilityProcess with 10 and with 1,000 processes on the machine. The processes are real:
// forked children of this program that sleep, each recorded in the machine's process table (a row
// per child, as `winsim run` would record it), so the snapshot finds them alive and reads their
// Linux facts. None is the app, so every query walks the whole list: the case of a user whose app
// is not running.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchLine.h"
#include "BenchMachine.h"
#include "core/identity.h"
#include "core/machine.h"
#include "monitor/SessionQueries.h"
#include "process/process.h"
#include "sessions/sessions.h"
#include "tlhelp32.h"
#include "windows.h"

std::wstring g_wsModuleName = L"UtilityProcessQueryBench";

namespace {

using Clock = std::chrono::steady_clock;

std::vector<pid_t> g_children;

// Adds sleeping children until the machine's table holds `total` running processes of ours.
void Populate(size_t total) {
  winsim::ListProcesses(true);  // makes sure the table exists
  winsim::Database& db = winsim::Database::Get();
  winsim::Transaction tx;
  while (g_children.size() < total) {
    pid_t pid = fork();
    if (pid == 0) {
      for (;;) pause();
    }
    g_children.push_back(pid);
    std::string image = "C:\\Program Files\\App\\App" + std::to_string(g_children.size()) + ".exe";
    winsim::Statement ins(db.Raw(),
                          "INSERT INTO processes(pid, image, image_name, session, user, sid, started) "
                          "VALUES(?,?,?,?,?,?,?)");
    ins.Bind(1, static_cast<int64_t>(pid)).Bind(2, image).Bind(3, image.substr(image.rfind('\\') + 1));
    ins.Bind(4, static_cast<int64_t>(1)).Bind(5, "alice").Bind(6, "S-1-5-21-1-2-3-1001").Bind(7, static_cast<int64_t>(0));
    ins.Step();
  }
  tx.Commit();
}

size_t SnapshotSize() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  size_t n = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) ++n;
  CloseHandle(snapshot);
  return n;
}

void Measure(size_t processes, int runs) {
  Populate(processes);
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    BOOL found = IsExistUtilityProcess();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (found) std::printf("unexpected: the app was found\n");
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%5zu processes (%5zu in the snapshot)  runs %3d  median %8.2f ms  min %8.2f ms  max %8.2f ms\n",
              processes, SnapshotSize(), runs, ms[ms.size() / 2], ms.front(), ms.back());
  std::string name = "process_query.median_" + std::to_string(processes);
  BenchLine(name.c_str(), ms[ms.size() / 2], "ms");
}

}  // namespace

int main() {
  BenchMachine bench(true);
  if (!bench.Ok()) return 1;

  std::printf("IsExistUtilityProcess, no app running (the whole list is walked)\n");
  Measure(10, 200);
  Measure(1000, 30);

  for (pid_t pid : g_children) kill(pid, SIGKILL);
  for (pid_t pid : g_children) waitpid(pid, nullptr, 0);
  return 0;
}
