// Events and threads as waitable kernel objects: reset modes, time-outs (scaled), names, handles.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/timescale.h"
#include "windows.h"

namespace winsim::test {
namespace {

using Clock = std::chrono::steady_clock;

class KernelObjectsTest : public MachineTest {};

TEST_F(KernelObjectsTest, ManualResetEventStaysSignalledUntilReset) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(e, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CloseHandle(e));
}

TEST_F(KernelObjectsTest, AutoResetEventReleasesOneWaiterPerSignal) {
  HANDLE initiallySet = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // consumed
  CloseHandle(initiallySet);

  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0) released++;
    });
  }
  SetEvent(e);
  while (released.load() < 1) Sleep(1);
  Sleep(100);
  EXPECT_EQ(released.load(), 1);
  EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(e);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 2);
  CloseHandle(e);
}

TEST_F(KernelObjectsTest, WaitTimeOutsPassFasterByTheTimeScale) {
  SetTimeScale(120);
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  auto start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(e, 120000), static_cast<DWORD>(WAIT_TIMEOUT));
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(990));
  EXPECT_LT(waited, std::chrono::seconds(60));  // unscaled it would take two minutes
  CloseHandle(e);
}

TEST_F(KernelObjectsTest, NamedEventsAreSharedWithinTheProcessByExactName) {
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, L"TorvexTestEvent");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  HANDLE second = CreateEventW(nullptr, FALSE, TRUE, L"TorvexTestEvent");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_NE(first, second);
  // The existing manual-reset, unsignalled event was opened; the new arguments are ignored.
  EXPECT_EQ(WaitForSingleObject(second, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(first);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);

  HANDLE otherCase = CreateEventW(nullptr, TRUE, FALSE, L"torvextestevent");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(WaitForSingleObject(otherCase, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (HANDLE h : {first, second, otherCase}) CloseHandle(h);

  // Once every handle is closed the name is free again.
  HANDLE again = CreateEventW(nullptr, TRUE, FALSE, L"TorvexTestEvent");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  CloseHandle(again);
}

TEST_F(KernelObjectsTest, BadHandlesFailWithInvalidHandle) {
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  CloseHandle(e);
  HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FFFFFF0));
  for (HANDLE h : {e, bogus, static_cast<HANDLE>(nullptr)}) {
    SetLastError(0);
    EXPECT_FALSE(SetEvent(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_FALSE(ResetEvent(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  // A thread handle is no event.
  HANDLE thread = CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
  EXPECT_FALSE(SetEvent(thread));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

TEST_F(KernelObjectsTest, ThreadHandleIsSignalledAtTheEndWithTheFullExitCode) {
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
        return 0xC0000005u;
      },
      go, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(GetThreadId(thread), id);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 0xC0000005u);
  CloseHandle(thread);
  CloseHandle(go);
}

TEST_F(KernelObjectsTest, SuspendedThreadRunsOnlyAfterResume) {
  static std::atomic<bool> ran{false};
  ran = false;
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        ran = true;
        return 3;
      },
      nullptr, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, 100), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(ResumeThread(thread), 1u);  // the previous suspend count
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ran.load());
  EXPECT_EQ(ResumeThread(thread), 0u);
  CloseHandle(thread);
}

TEST_F(KernelObjectsTest, CreateFunctionsFailWithTheInjectedError) {
  InjectFault("CreateEventW", ERROR_ACCESS_DENIED, 1);
  InjectFault("CreateThread", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateThread(nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(e, nullptr);
  CloseHandle(e);
}

}  // namespace
}  // namespace winsim::test
