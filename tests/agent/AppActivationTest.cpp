// The agent's two operations in this process, as the user alice in her session: the package
// query with each of its failing steps, and the activation with and without its argument text,
// with the thread's COM apartment left as it was found.
#include "agent/AppActivation.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "AgentRun.h"
#include "LoggingTest.h"
#include "core/fault.h"
#include "objbase.h"

namespace winsim::test {
namespace {

const wchar_t* const kFamilyName = L"R3185527.TorvexUtility_7mvd2kx9qhe3b";

class AppActivationTest : public LoggingTest {
 protected:
  void SetUp() override {
    LoggingTest::SetUp();
    ASSERT_EQ(Winsim({"init"}).status, 0);
    AddUser("alice");
    AddUser("bob");
    ASSERT_EQ(Winsim({"session", "logon", "alice"}).status, 0);
    SetLevel(LOG_LEVEL_INFO);
  }
  void TearDown() override {
    EndMachineProcesses();
    LoggingTest::TearDown();
  }
  void Package(const std::vector<std::string>& args) {
    auto r = Winsim(args);
    ASSERT_EQ(r.status, 0) << r.errors;
  }
  // Runs the body on a thread of its own, which starts outside every apartment.
  static void OnNewThread(const std::function<void()>& body) {
    std::thread worker(body);
    worker.join();
  }
};

TEST_F(AppActivationTest, PackageQuery) {
  struct Case {
    const char* what;
    std::vector<std::vector<std::string>> packages;  // winsim commands run before the query
    std::string faults;                              // "NAME=ERR@K;..."
    bool expected;
  } cases[] = {
      {"not installed", {}, "", false},
      {"installed for alice", {{"package", "install", "--user", "alice", "R3185527.TorvexUtility_7mvd2kx9qhe3b"}}, "", true},
      {"installed for bob only", {{"package", "install", "--user", "bob", "R3185527.TorvexUtility_7mvd2kx9qhe3b"}}, "", false},
      {"another family only", {{"package", "install", "--user", "alice", "R3185527.OtherUtility_7mvd2kx9qhe3b"}}, "", false},
      {"two packages of the family",
       {{"package", "install", "--user", "alice", "R3185527.TorvexUtility_7mvd2kx9qhe3b", "--arch", "x64"},
        {"package", "install", "--user", "alice", "R3185527.TorvexUtility_7mvd2kx9qhe3b", "--arch", "x86"}},
       "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunAsAdministrator();
    for (const char* user : {"alice", "bob"}) {
      Winsim({"package", "remove", "--user", user, "R3185527.TorvexUtility_7mvd2kx9qhe3b"});
      Winsim({"package", "remove", "--user", user, "R3185527.OtherUtility_7mvd2kx9qhe3b"});
    }
    for (const auto& p : c.packages) Package(p);
    RunAsUser(L"alice");
    EXPECT_EQ(IsPackageFamilyPreloaded(kFamilyName), c.expected);
  }
  // Nothing of the query logs.
  EXPECT_TRUE(LogText().empty());
}

TEST_F(AppActivationTest, EveryFailingStepOfThePackageQueryGivesFalse) {
  Package({"package", "install", "--user", "alice", "R3185527.TorvexUtility_7mvd2kx9qhe3b"});
  RunAsUser(L"alice");
  ASSERT_TRUE(IsPackageFamilyPreloaded(kFamilyName));
  struct Case {
    const char* function;
    uint32_t error;
    int onCall;  // 0: every call
  } cases[] = {
      {"FindPackagesByPackageFamily", ERROR_INVALID_PARAMETER, 1},  // the sizes
      {"FindPackagesByPackageFamily", ERROR_INSUFFICIENT_BUFFER, 2},  // the names
      {"PackageIdFromFullName", ERROR_NOT_FOUND, 1},
      {"PackageIdFromFullName", ERROR_INVALID_PARAMETER, 2},
      {"HeapAlloc", 0, 1},  // the name pointers
      {"HeapAlloc", 0, 2},  // the names
      {"HeapAlloc", 0, 3},  // the package id
      {"GetProcessHeap", ERROR_NOT_ENOUGH_MEMORY, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " @" + std::to_string(c.onCall));
    ClearFaults();
    InjectFault(c.function, c.error, -1, c.onCall);
    EXPECT_FALSE(IsPackageFamilyPreloaded(kFamilyName));
  }
  ClearFaults();
  EXPECT_TRUE(IsPackageFamilyPreloaded(kFamilyName));
}

TEST_F(AppActivationTest, TheFlagDecidesWhetherTheAppGetsItsArgumentText) {
  Package({"package", "install", "--user", "alice", "R3185527.TorvexUtility_7mvd2kx9qhe3b"});
  const std::string program = "\"" + Utf8FromWide(kUtilityProgram) + "\"";
  RunAsUser(L"alice");
  for (bool noOsd : {true, false}) {
    SCOPED_TRACE(noOsd);
    HRESULT hr = E_FAIL;
    OnNewThread([&] { hr = ActivateTorvexUtilityAppx(noOsd); });
    EXPECT_EQ(hr, S_OK);
    auto apps = Running(L"Utility.exe");
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].sessionId, 1u);
    EXPECT_EQ(apps[0].userName, L"alice");
    // With the flag clear no argument text is passed at all, not even an empty one.
    EXPECT_EQ(RecordedCommandLine(Machine(), "Utility", apps[0].pid), noOsd ? program + "  /NOTSHOWOSD" : program);
    ASSERT_TRUE(EndProcess(apps[0].pid));
  }
  EXPECT_TRUE(LogText().empty());
}

// Each call joins the multithreaded apartment and leaves it on every path on which it joined; a
// thread that is in the single-threaded apartment cannot join and stays where it was.
TEST_F(AppActivationTest, TheThreadsApartmentIsAsBefore) {
  Package({"package", "install", "--user", "alice", "R3185527.TorvexUtility_7mvd2kx9qhe3b"});
  RunAsUser(L"alice");
  OnNewThread([] {
    EXPECT_EQ(ActivateTorvexUtilityAppx(true), S_OK);
    // Out of every apartment again: the single-threaded one can be entered.
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    EXPECT_EQ(ActivateTorvexUtilityAppx(true), RPC_E_CHANGED_MODE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE) << "still in its own apartment";
    CoUninitialize();
    CoUninitialize();
  });
  OnNewThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(ActivateTorvexUtilityAppx(true), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE) << "still in the MTA";
    CoUninitialize();
  });
  OnNewThread([] {
    InjectFault("CoCreateInstance", static_cast<uint32_t>(REGDB_E_CLASSNOTREG));
    EXPECT_EQ(ActivateTorvexUtilityAppx(true), REGDB_E_CLASSNOTREG);
    ClearFaults();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK) << "left after a failed creation";
    CoUninitialize();
  });
  EXPECT_EQ(LogMessages(), (std::vector<std::string>{
                               "[ERROR] ActivateTorvexUtilityAppx CoInitializeEx() return fail! hr is:0x80010106",
                               "[ERROR] ActivateTorvexUtilityAppx CoCreateInstance() return fail! hr is:0x80040154"}));
}

}  // namespace
}  // namespace winsim::test
