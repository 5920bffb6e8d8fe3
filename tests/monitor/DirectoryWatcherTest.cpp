// The package folder watcher: which changes of the watched folder notify, with which log line, and
// how it stops — on a folder that exists, one that does not, and right after it started.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "LoggingTest.h"
#include "common/Log.h"
#include "core/fault.h"
#include "files/dirwatch.h"
#include "monitor/DirectoryWatcher.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const wchar_t kName[] = L"Vendor.CompanionApp_8wekyb3d8bbwe";
const char kNameUtf8[] = "Vendor.CompanionApp_8wekyb3d8bbwe";

class DirectoryWatcherTest : public LoggingTest {
 protected:
  void SetUp() override {
    LoggingTest::SetUp();
    RunAsSystem();
    SetLevel(LOG_LEVEL_INFO);
    fs::create_directories(In(""));
  }

  std::string In(const std::string& name) { return MachinePath("drives/c/Packages/" + name); }
  // The log's messages without their timestamps and line ends, one per entry (an entry whose text
  // has no line feed runs straight into the next one's timestamp).
  std::vector<std::string> Messages() {
    std::vector<std::string> messages;
    std::string text = LogText();
    std::regex stamp(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] )");
    std::sregex_token_iterator it(text.begin(), text.end(), stamp, -1), end;
    for (; it != end; ++it) {
      std::string message = *it;
      if (message.empty()) continue;
      if (message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0) message.resize(message.size() - 2);
      messages.push_back(message);
    }
    return messages;
  }
  static std::string Notified(int action) {
    return "[INFO] DirectoryWatcher::ProcessDirectoryChanges schedule directory watcher notify timer, action: 0x" +
           std::to_string(action);
  }

  std::unique_ptr<DirectoryWatcher> Watch(const std::wstring& folder = L"C:\\Packages") {
    return std::make_unique<DirectoryWatcher>(folder, kName, [this](std::wstring argument) {
      std::lock_guard<std::mutex> lock(m_lock);
      EXPECT_TRUE(argument.empty());
      ++m_notified;
      m_changed.notify_all();
    });
  }
  // The watcher's changes are gathered from its first read on.
  void WaitUntilWatching() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (OpenDirectoryWatchCount() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(OpenDirectoryWatchCount(), 1u);
  }
  // Waits for the count to reach n (a generous guard, not a timing condition).
  void WaitForNotifications(int n) {
    std::unique_lock<std::mutex> lock(m_lock);
    ASSERT_TRUE(m_changed.wait_for(lock, std::chrono::seconds(60), [&] { return m_notified >= n; }));
    EXPECT_EQ(m_notified, n);
  }
  int Notifications() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_notified;
  }

  std::mutex m_lock;
  std::condition_variable m_changed;
  int m_notified = 0;
};

TEST_F(DirectoryWatcherTest, TheWatchedNameNotifiesOncePerRecord) {
  auto watcher = Watch();
  WaitUntilWatching();
  std::string name = kNameUtf8;
  fs::create_directory(In(name));
  WaitForNotifications(1);
  // Renamed away: the record with the old name notifies, the one with the new name does not.
  fs::rename(In(name), In("Other"));
  WaitForNotifications(2);
  fs::rename(In("Other"), In(name));
  WaitForNotifications(3);
  fs::remove(In(name));
  WaitForNotifications(4);
  watcher.reset();
  EXPECT_EQ(Messages(), (std::vector<std::string>{Notified(1), Notified(4), Notified(5), Notified(2),
                                                  "[INFO] DirectoryWatcher::UnWatch thread exit."}));
}

TEST_F(DirectoryWatcherTest, OtherNamesCaseFilesAndInnerChangesDoNotNotify) {
  std::string name = kNameUtf8;
  fs::create_directory(In(name));
  auto watcher = Watch();
  WaitUntilWatching();
  std::string otherCase = name;
  for (char& c : otherCase) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  fs::create_directory(In(otherCase));                  // differs only in case
  fs::create_directory(In("Vendor.Other_8wekyb3d8bbwe"));  // another name
  fs::create_directory(In(name + "x"));                 // the name as a prefix
  fs::create_directory(In(name + "/VFS"));              // inside the package folder
  std::ofstream(In(name + "/AppxManifest.xml")) << "x";
  fs::remove(In(name + "/AppxManifest.xml"));
  fs::create_directory(In("files"));
  std::ofstream(In("files/" + name)) << "x";            // a file of the name, elsewhere
  fs::rename(In("files/" + name), In(name + ".tmp"));
  fs::remove(In(name + ".tmp"));
  // Processed in order: once this one notifies, none of the above did.
  fs::rename(In(name), In("renamed-away"));
  WaitForNotifications(1);
  watcher.reset();
  EXPECT_EQ(Messages(), (std::vector<std::string>{Notified(4), "[INFO] DirectoryWatcher::UnWatch thread exit."}));
}

TEST_F(DirectoryWatcherTest, AFileOfTheWatchedNameDoesNotNotify) {
  auto watcher = Watch();
  WaitUntilWatching();
  std::ofstream(In(kNameUtf8)) << "x";  // a file, not a folder
  fs::remove(In(kNameUtf8));
  fs::create_directory(In(kNameUtf8));
  WaitForNotifications(1);
  watcher.reset();
  EXPECT_EQ(Messages(), (std::vector<std::string>{Notified(1), "[INFO] DirectoryWatcher::UnWatch thread exit."}));
}

TEST_F(DirectoryWatcherTest, MissingFolderEndsTheThreadAndUnWatchStillLogsOnce) {
  auto watcher = Watch(L"C:\\Packages\\missing");
  EXPECT_TRUE(watcher->UnWatch());
  EXPECT_EQ(Messages(), (std::vector<std::string>{"[INFO] DirectoryWatcher::UnWatch thread exit."}));
  EXPECT_EQ(OpenDirectoryWatchCount(), 0u);
  // A second stop, and the destruction after it, do nothing more.
  EXPECT_TRUE(watcher->UnWatch());
  watcher.reset();
  EXPECT_EQ(Messages(), (std::vector<std::string>{"[INFO] DirectoryWatcher::UnWatch thread exit."}));
  EXPECT_EQ(Notifications(), 0);
}

TEST_F(DirectoryWatcherTest, StoppingWhileWaitingOrJustStartedIsNeverLost) {
  // While the read is pending.
  auto watcher = Watch();
  WaitUntilWatching();
  watcher.reset();
  EXPECT_EQ(OpenDirectoryWatchCount(), 0u) << "the read was cancelled and the folder closed";
  // At every point of the thread's start: a stop lost there would hang the destruction.
  for (int i = 0; i < 200; ++i) {
    auto quick = Watch();
    EXPECT_TRUE(quick->UnWatch());
  }
  EXPECT_EQ(OpenDirectoryWatchCount(), 0u);
  std::vector<std::string> messages = Messages();
  EXPECT_EQ(messages.size(), 201u);
  for (const std::string& m : messages) EXPECT_EQ(m, "[INFO] DirectoryWatcher::UnWatch thread exit.");
}

TEST_F(DirectoryWatcherTest, FailingReadEndsTheThreadWithItsErrorLine) {
  InjectFault("ReadDirectoryChangesW", ERROR_ACCESS_DENIED);
  auto watcher = Watch();
  // The thread ends on its own; its line tells when.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Messages().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  watcher.reset();
  std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "[ERROR] FileWatcher::WatchingImpl ReadDirectoryChangesW() return fail, error: 5");
  EXPECT_EQ(messages[1], "[INFO] DirectoryWatcher::UnWatch thread exit.");
}

}  // namespace
}  // namespace winsim::test
