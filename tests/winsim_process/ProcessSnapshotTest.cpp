// Process snapshots and process sessions, with real programs running on the machine: what a walk
// shows, that a snapshot keeps the processes of its moment, the end of a walk, the size rule of the
// entry, the failures on bad handles and flags, the session of a process and who may ask for it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/identity.h"
#include "core/strings.h"
#include "process/process.h"
#include "tlhelp32.h"
#include "windows.h"

namespace winsim::test {
namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;

class ProcessSnapshotTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    std::filesystem::create_directories(MachinePath("drives/c/gates"));
  }

  void TearDown() override {
    for (auto& child : m_children) {
      if (!child.ended) End(child.pid);
    }
    MachineTest::TearDown();
  }

  // Starts the probe program under the given Windows image path and identity, with that many
  // extra threads, and waits until the machine's process table shows it running.
  pid_t Start(const std::wstring& image, const Identity& identity, int threads = 0) {
    std::string name = std::to_string(m_children.size());
    std::wstring gate = L"C:\\gates\\" + WideFromUtf8(name);
    SpawnRequest request;
    request.linuxPath = BinPath("process_probe.exe");
    request.windowsImage = image;
    request.commandLine = QuoteArgument(image) + L" " + QuoteArgument(gate) + L" " + std::to_wstring(threads);
    request.identity = identity;
    request.windowsEnv = DefaultWindowsEnvironment(identity);
    pid_t pid = SpawnProcess(request);
    EXPECT_GT(pid, 0);
    m_children.push_back({pid, MachinePath("drives/c/gates/" + name), false});
    // Ready once it has started its threads; by then the process table holds it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(m_children.back().gate + ".ready")) {
        auto record = FindProcess(pid);
        EXPECT_TRUE(record && record->running);
        return pid;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "the probe never became ready";
    return pid;
  }

  // Lets the probe end and waits for it.
  void End(pid_t pid) {
    for (auto& child : m_children) {
      if (child.pid != pid || child.ended) continue;
      std::ofstream(child.gate).put('x');
      EXPECT_EQ(WaitForChild(pid), 0u);
      child.ended = true;
    }
  }

  static std::vector<PROCESSENTRY32W> Walk(HANDLE snapshot) {
    std::vector<PROCESSENTRY32W> entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    if (!Process32FirstW(snapshot, &entry)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
      return entries;
    }
    do {
      entries.push_back(entry);
    } while (Process32NextW(snapshot, &entry));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    return entries;
  }

  static std::vector<PROCESSENTRY32W> WalkNow() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
    auto entries = Walk(snapshot);
    EXPECT_TRUE(CloseHandle(snapshot));
    return entries;
  }

  static std::optional<PROCESSENTRY32W> FindEntry(const std::vector<PROCESSENTRY32W>& entries, DWORD pid) {
    for (auto& e : entries) {
      if (e.th32ProcessID == pid) return e;
    }
    return std::nullopt;
  }

  Identity User(const std::string& name, uint32_t session) {
    if (!FindUserAccount(WideFromUtf8(name))) AddUser(name);
    auto identity = UserIdentity(WideFromUtf8(name), session);
    EXPECT_TRUE(identity.has_value());
    return identity.value_or(Identity{});
  }

 private:
  struct Child {
    pid_t pid;
    std::string gate;
    bool ended;
  };
  std::vector<Child> m_children;
};

TEST_F(ProcessSnapshotTest, WalkShowsIdleAndSystemThenTheMachinesProcessesWithTheirImageNames) {
  pid_t child = Start(L"C:\\Program Files\\Torvex\\Utility.exe", AdministratorIdentity(), 2);
  auto entries = WalkNow();
  ASSERT_GE(entries.size(), 4u);

  EXPECT_EQ(entries[0].th32ProcessID, 0u);
  EXPECT_STREQ(entries[0].szExeFile, L"[System Process]");
  EXPECT_EQ(entries[0].th32ParentProcessID, 0u);
  EXPECT_GE(entries[0].cntThreads, 1u);
  EXPECT_EQ(entries[1].th32ProcessID, 4u);
  EXPECT_STREQ(entries[1].szExeFile, L"System");
  EXPECT_EQ(entries[1].th32ParentProcessID, 0u);

  // The image's file name alone, as the starter named it; the parent is the process that started it.
  auto probe = FindEntry(entries, static_cast<DWORD>(child));
  ASSERT_TRUE(probe.has_value());
  EXPECT_STREQ(probe->szExeFile, L"Utility.exe");
  EXPECT_EQ(probe->th32ParentProcessID, static_cast<DWORD>(getpid()));
  // The main thread and the two it started; a sanitizer's runtime may add a thread of its own.
  EXPECT_GE(probe->cntThreads, 3u);
  EXPECT_LE(probe->cntThreads, 4u);
  EXPECT_EQ(probe->pcPriClassBase, 8);
  EXPECT_EQ(probe->dwSize, sizeof(PROCESSENTRY32W)) << "dwSize is the caller's and stays";
  EXPECT_EQ(probe->cntUsage, 0u);
  EXPECT_EQ(probe->th32DefaultHeapID, 0u);
  EXPECT_EQ(probe->th32ModuleID, 0u);
  EXPECT_EQ(probe->dwFlags, 0u);

  // The caller finds itself, although the test program was not started through winsim.
  auto self = FindEntry(entries, static_cast<DWORD>(getpid()));
  ASSERT_TRUE(self.has_value());
  std::wstring image = CurrentImagePath();
  EXPECT_EQ(self->szExeFile, image.substr(image.find_last_of(L'\\') + 1));

  // Each process once.
  for (size_t i = 0; i < entries.size(); ++i) {
    for (size_t j = i + 1; j < entries.size(); ++j) EXPECT_NE(entries[i].th32ProcessID, entries[j].th32ProcessID);
  }
}

TEST_F(ProcessSnapshotTest, SnapshotKeepsTheProcessesOfItsMoment) {
  pid_t early = Start(L"C:\\Apps\\early.exe", AdministratorIdentity());
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  End(early);
  pid_t late = Start(L"C:\\Apps\\late.exe", AdministratorIdentity());

  // Taken before: the ended process is still listed, the new one is not.
  auto before = Walk(snapshot);
  auto earlyEntry = FindEntry(before, static_cast<DWORD>(early));
  ASSERT_TRUE(earlyEntry.has_value());
  EXPECT_STREQ(earlyEntry->szExeFile, L"early.exe");
  EXPECT_FALSE(FindEntry(before, static_cast<DWORD>(late)).has_value());
  EXPECT_TRUE(CloseHandle(snapshot));

  auto now = WalkNow();
  EXPECT_FALSE(FindEntry(now, static_cast<DWORD>(early)).has_value());
  EXPECT_TRUE(FindEntry(now, static_cast<DWORD>(late)).has_value());
}

TEST_F(ProcessSnapshotTest, WalkEndsWithNoMoreFilesAndFirstStartsOver) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  auto entries = Walk(snapshot);
  ASSERT_FALSE(entries.empty());

  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  entry.th32ProcessID = kSentinel;
  SetLastError(0);
  EXPECT_FALSE(Process32NextW(snapshot, &entry)) << "the end stays the end";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(entry.th32ProcessID, kSentinel) << "a failed step leaves the entry alone";

  ASSERT_TRUE(Process32FirstW(snapshot, &entry));
  EXPECT_EQ(entry.th32ProcessID, 0u);
  ASSERT_TRUE(Process32NextW(snapshot, &entry));
  EXPECT_EQ(entry.th32ProcessID, 4u);
  EXPECT_TRUE(CloseHandle(snapshot));
}

TEST_F(ProcessSnapshotTest, EntrySmallerThanTheStructureFailsWithBadLength) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  PROCESSENTRY32W good{};
  good.dwSize = sizeof(good);
  ASSERT_TRUE(Process32FirstW(snapshot, &good));
  ASSERT_EQ(good.th32ProcessID, 0u);
  // Unset, one byte short, and the ANSI structure's size (its name is 260 bytes, not wide).
  const DWORD ansiSize = offsetof(PROCESSENTRY32W, szExeFile) + MAX_PATH;
  for (DWORD size : {0u, static_cast<DWORD>(sizeof(PROCESSENTRY32W) - 1), ansiSize}) {
    for (bool first : {true, false}) {
      SCOPED_TRACE("dwSize " + std::to_string(size) + (first ? " First" : " Next"));
      PROCESSENTRY32W entry{};
      entry.dwSize = size;
      entry.th32ProcessID = kSentinel;
      SetLastError(0);
      EXPECT_FALSE(first ? Process32FirstW(snapshot, &entry) : Process32NextW(snapshot, &entry));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
      EXPECT_EQ(entry.th32ProcessID, kSentinel);
    }
  }
  // The refused calls did not move the walk: the next good call gives the second process.
  ASSERT_TRUE(Process32NextW(snapshot, &good));
  EXPECT_EQ(good.th32ProcessID, 4u);
  EXPECT_TRUE(CloseHandle(snapshot));
}

TEST_F(ProcessSnapshotTest, FlagsDecideWhatTheSnapshotHolds) {
  struct Case {
    DWORD flags;
    DWORD error;  // 0: a snapshot is made
    bool processes;
  };
  const Case cases[] = {
      {TH32CS_SNAPPROCESS, 0, true},
      {TH32CS_SNAPPROCESS | TH32CS_INHERIT, 0, true},
      {0, 0, false},
      {TH32CS_SNAPALL, ERROR_NOT_SUPPORTED, false},
      {TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, ERROR_NOT_SUPPORTED, false},
      {TH32CS_SNAPMODULE, ERROR_NOT_SUPPORTED, false},
      {TH32CS_SNAPHEAPLIST, ERROR_NOT_SUPPORTED, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("flags " + std::to_string(c.flags));
    SetLastError(0);
    // The process id matters only for heap and module lists: any value will do for processes.
    HANDLE snapshot = CreateToolhelp32Snapshot(c.flags, 999999);
    if (c.error) {
      EXPECT_EQ(snapshot, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), c.error);
      continue;
    }
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    ASSERT_NE(snapshot, nullptr);
    auto entries = Walk(snapshot);
    EXPECT_EQ(!entries.empty(), c.processes);
    EXPECT_TRUE(CloseHandle(snapshot));
  }
}

TEST_F(ProcessSnapshotTest, BadHandlesAndEntryPointer) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  HANDLE closed = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(closed, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(closed));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(closed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, closed, event}) {
    for (bool first : {true, false}) {
      PROCESSENTRY32W entry{};
      entry.dwSize = sizeof(entry);
      SetLastError(0);
      EXPECT_FALSE(first ? Process32FirstW(bad, &entry) : Process32NextW(bad, &entry));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
  }
  EXPECT_TRUE(CloseHandle(event));

  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  SetLastError(0);
  EXPECT_FALSE(Process32FirstW(snapshot, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(CloseHandle(snapshot));
}

TEST_F(ProcessSnapshotTest, SessionOfEachProcess) {
  pid_t console = Start(L"C:\\Apps\\Utility.exe", AdministratorIdentity(1));
  pid_t remote = Start(L"C:\\Apps\\Utility.exe", User("alice", 2));
  pid_t gone = Start(L"C:\\Apps\\gone.exe", AdministratorIdentity(1));
  End(gone);

  struct Case {
    DWORD pid;
    BOOL ok;
    DWORD value;  // the session, or the error
  };
  const Case cases[] = {
      {static_cast<DWORD>(console), TRUE, 1},
      {static_cast<DWORD>(remote), TRUE, 2},
      {static_cast<DWORD>(getpid()), TRUE, 1},
      {4, TRUE, 0},
      {0, FALSE, ERROR_INVALID_PARAMETER},
      {static_cast<DWORD>(gone), FALSE, ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("pid " + std::to_string(c.pid));
    DWORD session = kSentinel;
    SetLastError(0);
    ASSERT_EQ(ProcessIdToSessionId(c.pid, &session), c.ok);
    if (c.ok) {
      EXPECT_EQ(session, c.value);
    } else {
      EXPECT_EQ(GetLastError(), c.value);
      EXPECT_EQ(session, kSentinel);
    }
  }
  SetLastError(0);
  EXPECT_FALSE(ProcessIdToSessionId(static_cast<DWORD>(console), nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // The caller's own session follows its identity.
  RunAsSystem();
  DWORD session = kSentinel;
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(session, SystemIdentity().sessionId);
  ASSERT_TRUE(ProcessIdToSessionId(static_cast<DWORD>(remote), &session));
  EXPECT_EQ(session, 2u);
}

TEST_F(ProcessSnapshotTest, StandardUserMayAskOnlyAboutHerOwnProcesses) {
  pid_t own = Start(L"C:\\Apps\\Utility.exe", User("bob", 3));
  pid_t other = Start(L"C:\\Apps\\Utility.exe", User("alice", 2));
  pid_t admin = Start(L"C:\\Apps\\tool.exe", AdministratorIdentity(3));
  RunAsUser(L"bob", 3);

  DWORD session = kSentinel;
  ASSERT_TRUE(ProcessIdToSessionId(static_cast<DWORD>(own), &session));
  EXPECT_EQ(session, 3u);
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(session, 3u);
  for (DWORD pid : {static_cast<DWORD>(other), static_cast<DWORD>(admin), 4u}) {
    SCOPED_TRACE("pid " + std::to_string(pid));
    SetLastError(0);
    EXPECT_FALSE(ProcessIdToSessionId(pid, &session));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  // The snapshot itself lists every process, whoever asks.
  auto entries = WalkNow();
  EXPECT_TRUE(FindEntry(entries, static_cast<DWORD>(other)).has_value());
  EXPECT_TRUE(FindEntry(entries, static_cast<DWORD>(admin)).has_value());
}

TEST_F(ProcessSnapshotTest, InjectedFaultsReachEveryCall) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  DWORD session = 0;
  struct Case {
    const char* name;
    std::function<bool()> fails;
  };
  const Case cases[] = {
      {"CreateToolhelp32Snapshot",
       [] {
         HANDLE h = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
         if (h == INVALID_HANDLE_VALUE) return true;
         CloseHandle(h);
         return false;
       }},
      {"Process32FirstW", [&] { return !Process32FirstW(snapshot, &entry); }},
      {"Process32NextW", [&] { return !Process32NextW(snapshot, &entry); }},
      {"ProcessIdToSessionId", [&] { return !ProcessIdToSessionId(GetCurrentProcessId(), &session); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InjectFault(c.name, ERROR_NOT_ENOUGH_MEMORY, 1);
    SetLastError(0);
    EXPECT_TRUE(c.fails());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    // Only the planned call fails.
    EXPECT_FALSE(c.fails());
  }
  EXPECT_TRUE(CloseHandle(snapshot));
}

}  // namespace
}  // namespace winsim::test
