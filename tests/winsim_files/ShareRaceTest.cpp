// Share modes under concurrent opens: of two opens of one file that exclude each other, started at
// the same moment, exactly one gets the file, however their calls interleave; and the folder of a
// process's own descriptor links belongs to the process that reads it, also after a fork.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "MachineTest.h"
#include "windows.h"

namespace winsim::test {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct Open {
  DWORD access;
  DWORD share;
};

struct RaceCase {
  const char* name;
  Open first;
  Open second;
};

// Pairs of opens that refuse each other whichever comes first.
const RaceCase kRaces[] = {
    {"two exclusive readers", {GENERIC_READ, 0}, {GENERIC_READ, 0}},
    {"an appender sharing reading and writing, a reader not sharing writing",
     {FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE}, {GENERIC_READ, FILE_SHARE_READ}},
    {"a reader not sharing writing, a writer sharing everything", {GENERIC_READ, FILE_SHARE_READ},
     {GENERIC_WRITE, kShareAll}},
    {"an open for deletion sharing everything, a reader not sharing deletion", {DELETE, kShareAll},
     {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE}},
    {"a writer not sharing reading, a reader sharing everything", {GENERIC_WRITE, FILE_SHARE_WRITE},
     {GENERIC_READ, kShareAll}},
};

using ShareRaceTest = MachineTest;

TEST_F(ShareRaceTest, OfTwoOpensThatExcludeEachOtherStartedTogetherExactlyOneSucceeds) {
  HANDLE made = CreateFileW(L"C:\\race.dat", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(made, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(made));
  const int kRounds = 100;
  for (const RaceCase& race : kRaces) {
    SCOPED_TRACE(race.name);
    int both = 0, neither = 0;
    for (int round = 0; round < kRounds; ++round) {
      std::atomic<int> ready{0};
      HANDLE got[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
      DWORD errors[2] = {0, 0};
      auto opener = [&](int which, Open open) {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        got[which] = CreateFileW(L"C:\\Race.dat", open.access, open.share, nullptr, OPEN_EXISTING, 0, nullptr);
        errors[which] = GetLastError();
      };
      std::thread a(opener, 0, race.first);
      std::thread b(opener, 1, race.second);
      a.join();
      b.join();
      int succeeded = 0;
      for (int i = 0; i < 2; ++i) {
        if (got[i] != INVALID_HANDLE_VALUE) {
          ++succeeded;
        } else {
          EXPECT_EQ(errors[i], static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
      }
      if (succeeded == 2) ++both;
      if (succeeded == 0) ++neither;
      for (HANDLE h : got) {
        if (h != INVALID_HANDLE_VALUE) {
          EXPECT_TRUE(CloseHandle(h));
        }
      }
    }
    EXPECT_EQ(both, 0) << "rounds where both opens got the file";
    EXPECT_EQ(neither, 0) << "rounds where neither did";
  }
}

// Closing a handle gives its share mode up at once, so that the next open of the file in the
// same moment is not refused; a handle whose open was refused holds nothing either.
TEST_F(ShareRaceTest, ClosedAndRefusedOpensHoldNothing) {
  for (int round = 0; round < 50; ++round) {
    HANDLE held = CreateFileW(L"C:\\held.dat", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE refused = CreateFileW(L"C:\\held.dat", GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(refused, INVALID_HANDLE_VALUE);
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(CloseHandle(held));
    HANDLE next = CreateFileW(L"C:\\HELD.dat", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(next, INVALID_HANDLE_VALUE) << "round " << round;
    ASSERT_TRUE(CloseHandle(next));
  }
}

// A child forked after the parent asked for a final path asks about its own descriptors: the
// descriptor number it reuses for another file must name that file, not the parent's.
TEST_F(ShareRaceTest, AForkedChildReadsItsOwnDescriptorsFinalPaths) {
  HANDLE first = CreateFileW(L"C:\\first.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetFinalPathNameByHandleW(first, path, MAX_PATH, VOLUME_NAME_DOS), 0u);
  ASSERT_EQ(std::wstring(path), L"\\\\?\\C:\\first.txt");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child gives its copy of the first file's descriptor up, so the next open reuses it.
    CloseHandle(first);
    HANDLE second = CreateFileW(L"C:\\second.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (second == INVALID_HANDLE_VALUE) _exit(2);
    wchar_t own[MAX_PATH];
    if (GetFinalPathNameByHandleW(second, own, MAX_PATH, VOLUME_NAME_DOS) == 0) _exit(3);
    _exit(std::wstring(own) == L"\\\\?\\C:\\second.txt" ? 0 : 4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: the open failed, 3: no final path, 4: the parent's file";
  ASSERT_GT(GetFinalPathNameByHandleW(first, path, MAX_PATH, VOLUME_NAME_DOS), 0u);
  EXPECT_EQ(std::wstring(path), L"\\\\?\\C:\\first.txt");
  EXPECT_TRUE(CloseHandle(first));
}

}  // namespace
}  // namespace winsim::test
