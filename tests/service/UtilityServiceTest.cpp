// The service object on its own: what it creates when built, its events in console mode, its stop
// flag, and a teardown while a folder watcher keeps re-arming the check timer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "LoggingTest.h"
#include "common/Log.h"
#include "core/fault.h"
#include "monitor/DirectoryWatcher.h"
#include "rpc/RpcServer.h"
#include "service/UtilityService.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

// Reaches the protected hooks, as the framework does.
class TestableUtilityService : public CUtilityService {
 public:
  using CUtilityService::OnStop;
};

class UtilityServiceTest : public LoggingTest {
 protected:
  void SetUp() override {
    LoggingTest::SetUp();
    RunAsSystem();
    SetLevel(LOG_LEVEL_INFO);
  }
};

// Runs the function with standard output sent to a file and returns what it printed.
template <class Function>
std::string CapturedOutput(Function function) {
  std::fflush(stdout);
  char path[] = "/tmp/winsim-stdout-XXXXXX";
  int file = mkstemp(path);
  int saved = dup(1);
  dup2(file, 1);
  function();
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  close(file);
  std::string text = ReadFile(path);
  unlink(path);
  return text;
}

TEST_F(UtilityServiceTest, ConstructionCreatesTheMutexAndAnUnarmedTimer) {
  TestableUtilityService service;
  EXPECT_NE(service.m_pDirectoryWatcherMutex, nullptr);
  ASSERT_NE(service.m_pCheckDelayTimer.load(), nullptr);
  EXPECT_FALSE(IsThreadpoolTimerSet(service.m_pCheckDelayTimer.load()));
  EXPECT_EQ(service.m_pRpcStartWork, nullptr);
  EXPECT_EQ(service.m_hDirectoryWatcher, nullptr);
  EXPECT_FALSE(service.m_bConsoleMode);
  EXPECT_TRUE(service.m_wsCheckUserMD5.empty());
  EXPECT_EQ(LogText(), "");
}

TEST_F(UtilityServiceTest, TimerCreationFailureIsLoggedAndTheObjectStaysUsable) {
  InjectFault("CreateThreadpoolTimer", ERROR_NOT_ENOUGH_MEMORY);
  {
    TestableUtilityService service;
    EXPECT_EQ(service.m_pCheckDelayTimer.load(), nullptr);
    EXPECT_NE(service.m_pDirectoryWatcherMutex, nullptr);
  }
  EXPECT_NE(LogText().find("[ERROR] CUtilityService CreateThreadpoolTimer() return failed! error: 8\r\n"), std::string::npos);
}

TEST_F(UtilityServiceTest, ConsoleModePrintsEveryEventToo) {
  TestableUtilityService service;
  EXPECT_EQ(CapturedOutput([&] { service.WriteServiceEvent(L"Starting Rpc Server..", 4); }), "");
  service.m_bConsoleMode = true;
  EXPECT_EQ(CapturedOutput([&] { service.WriteServiceEvent(L"Starting Rpc Server..", 4); }), "4: Starting Rpc Server..\n");
}

TEST_F(UtilityServiceTest, StopSetsTheRpcStopFlag) {
  g_bRpcServerStopping = false;
  TestableUtilityService service;
  service.OnStop();
  EXPECT_TRUE(g_bRpcServerStopping.load());
  EXPECT_NE(LogText().find("[INFO] CUtilityService::OnStop enter.\r\n"), std::string::npos);
  g_bRpcServerStopping = false;
}

// The watcher's thread re-arms the check timer without the mutex, the way the package folder
// notification does; the teardown must stop it before the timer goes, whatever the timing.
TEST_F(UtilityServiceTest, TeardownStopsAWatcherThatKeepsArmingTheTimer) {
  fs::create_directories(MachinePath("drives/c/Packages"));
  std::atomic<int> armed{0};
  std::atomic<bool> churn{true};
  std::thread changes([&] {
    while (churn.load()) {
      fs::create_directory(MachinePath("drives/c/Packages/App"));
      fs::remove(MachinePath("drives/c/Packages/App"));
    }
  });
  for (int round = 0; round < 5; ++round) {
    auto* service = new TestableUtilityService();
    service->m_hDirectoryWatcher = new DirectoryWatcher(L"C:\\Packages", L"App", [service, &armed](std::wstring) {
      PTP_TIMER timer = service->m_pCheckDelayTimer.load();
      if (timer != nullptr) {
        FILETIME soon;
        ULARGE_INTEGER due;
        due.QuadPart = static_cast<ULONGLONG>(-10000LL);  // 1 ms from now
        soon.dwLowDateTime = due.u.LowPart;
        soon.dwHighDateTime = due.u.HighPart;
        SetThreadpoolTimer(timer, &soon, 0, 0);
        armed++;
      }
    });
    while (armed.load() < (round + 1) * 3) std::this_thread::yield();
    delete service;
  }
  churn = false;
  changes.join();
  std::string log = LogText();
  size_t exits = 0;
  for (size_t at = log.find("DirectoryWatcher::UnWatch thread exit."); at != std::string::npos;
       at = log.find("DirectoryWatcher::UnWatch thread exit.", at + 1)) {
    ++exits;
  }
  EXPECT_EQ(exits, 5u);
}

}  // namespace
}  // namespace winsim::test
