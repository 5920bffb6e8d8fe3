// Time from creating the companion app's package folder to the service's DirectoryChangesNotify
// being called by the package folder watcher, beside a plain inotify wait on the same folder in the
// same run: median, 99th percentile and maximum over the creations. The log is off (the default
// level), as on a machine where nobody asked for it.
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchLine.h"
#include "BenchMachine.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/paths.h"
#include "files/dirwatch.h"
#include "monitor/DirectoryWatcher.h"
#include "service/UtilityService.h"
#include "sessions/sessions.h"
#include "windows.h"

std::wstring g_wsModuleName = L"PackageFolderNotifyBench";

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kRounds = 300;
const char kFamilyName[] = "R3185527.TorvexUtility_7mvd2kx9qhe3b";

struct Arrival {
  std::mutex lock;
  std::condition_variable changed;
  int count = 0;
  Clock::time_point at;
  void Mark() {
    auto now = Clock::now();
    std::lock_guard<std::mutex> guard(lock);
    at = now;
    ++count;
    changed.notify_all();
  }
  // The time of the n-th arrival.
  Clock::time_point Await(int n) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return count >= n; });
    return at;
  }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Report(const char* name, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&v](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1)))]; };
  std::printf("%-36s samples %4zu  median %8.1f us  p99 %8.1f us  max %8.1f us\n", name, v.size(), at(0.5), at(0.99),
              v.back());
}

}  // namespace

int main() {
  BenchMachine bench(true);
  if (!bench.Ok()) return 1;
  const std::string& machine = bench.Path();

  std::string packages = machine + "/drives/c/Users/alice/AppData/Local/Packages";
  fs::create_directories(packages);
  std::string package = packages + "/" + kFamilyName;

  // The plain Linux wait: an inotify watch on the same folder, read on a thread of its own.
  Arrival raw;
  int inotifyFd = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(inotifyFd, packages.c_str(), IN_CREATE | IN_ONLYDIR);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    alignas(inotify_event) char buffer[4096];
    while (!stop.load()) {
      ssize_t n = read(inotifyFd, buffer, sizeof(buffer));
      for (ssize_t offset = 0; offset < n;) {
        auto* event = reinterpret_cast<inotify_event*>(buffer + offset);
        if ((event->mask & IN_CREATE) && event->len > 0 && std::string(event->name) == kFamilyName) raw.Mark();
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });

  // The service's watcher, bound to its notification as the check binds it.
  Arrival notified;
  std::atomic<bool> creating{false};
  auto* service = new CUtilityService();
  service->m_hDirectoryWatcher = new DirectoryWatcher(
      L"C:\\Users\\alice\\AppData\\Local\\Packages", L"R3185527.TorvexUtility_7mvd2kx9qhe3b", [&](std::wstring argument) {
        if (creating.load()) notified.Mark();
        service->DirectoryChangesNotify(argument);
      });
  while (winsim::OpenDirectoryWatchCount() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::vector<double> watcherUs, inotifyUs, mkdirUs;
  for (int round = 1; round <= kRounds; ++round) {
    creating = true;
    auto start = Clock::now();
    fs::create_directory(package);
    auto created = Clock::now();
    auto viaWatcher = notified.Await(round);
    auto viaInotify = raw.Await(round);
    creating = false;
    watcherUs.push_back(std::chrono::duration<double, std::micro>(viaWatcher - start).count());
    inotifyUs.push_back(std::chrono::duration<double, std::micro>(viaInotify - start).count());
    mkdirUs.push_back(std::chrono::duration<double, std::micro>(created - start).count());
    fs::remove(package);
    // The removal notifies too; let it pass before the next creation.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  std::printf("package folder created -> notified, %d creations\n", kRounds);
  Report("DirectoryChangesNotify called", watcherUs);
  Report("inotify read returned (same folder)", inotifyUs);
  Report("creation call returned (for scale)", mkdirUs);
  // The watcher's notification beside a bare inotify read of the same folder.
  BenchLine("package_folder.notify_median", Median(watcherUs), Median(inotifyUs), "us", "-");

  delete service;
  stop = true;
  fs::create_directory(packages + "/wake");  // ends the reader's last read
  reader.join();
  close(inotifyFd);
  return 0;
}
