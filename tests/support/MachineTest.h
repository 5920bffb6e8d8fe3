// A fresh simulated machine for each test, and helpers to run the winsim command and the real
// programs on it.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace winsim::test {

struct CommandResult {
  int status = -1;      // exit status of the command
  std::string output;   // standard output
  std::string errors;   // standard error
};

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The machine directory and a file inside it.
  const std::string& Machine() const { return m_machine; }
  std::string MachinePath(const std::string& relative) const { return m_machine + "/" + relative; }

  // This test process runs as LocalSystem, the administrator, or a user (who must exist).
  void RunAsSystem();
  void RunAsAdministrator();
  void RunAsUser(const std::wstring& name, unsigned session = 1);
  void AddUser(const std::string& name, const std::string& tempDrive = "C");

  // Runs the winsim command on this machine with the given arguments.
  CommandResult Winsim(const std::vector<std::string>& args, const std::map<std::string, std::string>& env = {});
  // A built program from the build's bin folder.
  static std::string BinPath(const std::string& program);

 private:
  std::string m_machine;
};

// Runs a Linux program, with extra environment entries, and collects its output.
CommandResult RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});

// Reads a whole file; empty when it does not exist.
std::string ReadFile(const std::string& path);

// Polls every 10 ms until the condition holds or the time (real milliseconds) is up; whether it held.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace winsim::test
