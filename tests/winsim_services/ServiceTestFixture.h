// A machine with helpers to install the test service and read what it logged.
#pragma once
#include <signal.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "MachineTest.h"
#include "core/paths.h"
#include "core/strings.h"
#include "services/scm.h"
#include "windows.h"

namespace winsim::test {

class ServiceTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    m_scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(m_scm, nullptr);
  }
  void TearDown() override {
    // No service process may outlive its machine.
    for (auto& s : services::ListServices()) {
      if (s.pid > 0) kill(static_cast<pid_t>(s.pid), SIGKILL);
    }
    for (SC_HANDLE h : m_open) CloseServiceHandle(h);
    if (m_scm) CloseServiceHandle(m_scm);
    MachineTest::TearDown();
  }

  std::string LogPath(const std::string& name) const { return MachinePath(name + ".log"); }

  // The binary path of the test service: a Windows command line logging to <machine>/<name>.log.
  std::wstring CommandLine(const std::string& name, const std::string& options) const {
    std::wstring image = WindowsPathOf(BinPath("test_service.exe"));
    return L"\"" + image + L"\" --log " + WideFromUtf8(LogPath(name)) + L" " + WideFromUtf8(options);
  }

  SC_HANDLE Install(const std::string& name, const std::string& options = "") {
    SC_HANDLE h = CreateServiceW(m_scm, WideFromUtf8(name).c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, CommandLine(name, options).c_str(), nullptr,
                                 nullptr, nullptr, nullptr, nullptr);
    EXPECT_NE(h, nullptr) << "CreateServiceW failed " << GetLastError();
    if (h) m_open.push_back(h);
    return h;
  }

  // Starts the service and waits until it leaves START_PENDING.
  SERVICE_STATUS StartAndWait(SC_HANDLE h, const std::string& name) {
    EXPECT_TRUE(StartServiceW(h, 0, nullptr)) << "StartServiceW failed " << GetLastError();
    auto info = services::WaitWhileState(WideFromUtf8(name), SERVICE_START_PENDING, 30000);
    EXPECT_TRUE(info.has_value());
    return info ? info->status : SERVICE_STATUS{};
  }

  DWORD StatusOf(SC_HANDLE h) {
    SERVICE_STATUS s{};
    EXPECT_TRUE(QueryServiceStatus(h, &s)) << GetLastError();
    return s.dwCurrentState;
  }

  std::vector<std::string> LogLines(const std::string& name) const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(LogPath(name)));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::vector<std::string> ControlLines(const std::string& name) const {
    std::vector<std::string> out;
    for (auto& l : LogLines(name)) {
      if (l.rfind("control=", 0) == 0) out.push_back(l);
    }
    return out;
  }

  // Closes a handle that Install or a test opened and stops tracking it.
  void Close(SC_HANDLE h) {
    std::erase(m_open, h);
    EXPECT_TRUE(CloseServiceHandle(h));
  }

  SC_HANDLE m_scm = nullptr;
  std::vector<SC_HANDLE> m_open;
};

inline std::string Field(const std::string& line, const std::string& key) {
  size_t p = line.find(key + "=");
  if (p == std::string::npos) return {};
  p += key.size() + 1;
  return line.substr(p, line.find(' ', p) - p);
}

}  // namespace winsim::test
