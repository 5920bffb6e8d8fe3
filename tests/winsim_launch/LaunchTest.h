// The fixture of the launch tests: a fresh machine, the probe program planted wherever a test
// wants it, processes started through the Windows calls and cleaned up after each test.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MachineTest.h"
#include "core/paths.h"
#include "core/strings.h"
#include "windows.h"

namespace winsim::test {

class LaunchTest : public MachineTest {
 protected:
  void TearDown() override {
    for (HANDLE process : m_processes) {
      if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) TerminateProcess(process, 1);
      WaitForSingleObject(process, 10000);
      CloseHandle(process);
    }
    m_processes.clear();
    MachineTest::TearDown();
  }

  // The Linux path of a Windows path on the machine.
  std::string Linux(const std::wstring& windowsPath) {
    auto path = LinuxPathOf(windowsPath);
    EXPECT_TRUE(path.has_value()) << Utf8FromWide(windowsPath);
    return path.value_or(std::string());
  }

  void MakeFolder(const std::wstring& windowsPath) { std::filesystem::create_directories(Linux(windowsPath)); }

  // A copy of the probe program at the Windows path (its folders made as needed).
  void Plant(const std::wstring& windowsPath) {
    std::filesystem::path target = Linux(windowsPath);
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(BinPath("launch_probe.exe"), target, std::filesystem::copy_options::overwrite_existing);
  }

  void WriteText(const std::wstring& windowsPath, const std::string& text) {
    std::filesystem::path target = Linux(windowsPath);
    std::filesystem::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << text;
  }

  bool Exists(const std::wstring& windowsPath) { return std::filesystem::exists(Linux(windowsPath)); }

  // Waits (up to 20 s) until the file exists.
  bool AwaitFile(const std::wstring& windowsPath) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Exists(windowsPath)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  // The "key=value" lines of a probe's report.
  std::map<std::string, std::string> ReadReport(const std::wstring& windowsPath) {
    std::map<std::string, std::string> report;
    std::istringstream in(ReadFile(Linux(windowsPath)));
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return report;
  }

  // CreateProcessW; the process handle is kept for clean-up, the thread handle closed unless asked for.
  DWORD Start(const wchar_t* application, const std::wstring& commandLine, PROCESS_INFORMATION* info,
              DWORD flags = 0, void* environment = nullptr, const wchar_t* directory = nullptr,
              const wchar_t* desktop = nullptr) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = const_cast<wchar_t*>(desktop);
    std::wstring line = commandLine;
    *info = PROCESS_INFORMATION();
    if (!CreateProcessW(application, line.data(), nullptr, nullptr, FALSE, flags, environment, directory, &startup,
                        info)) {
      return GetLastError();
    }
    m_processes.push_back(info->hProcess);
    return ERROR_SUCCESS;
  }

  // Runs a command line to its end: ERROR_SUCCESS and the exit code, or the creation's error.
  DWORD Run(const wchar_t* application, const std::wstring& commandLine, DWORD* exitCode) {
    PROCESS_INFORMATION info;
    DWORD error = Start(application, commandLine, &info);
    if (error != ERROR_SUCCESS) return error;
    CloseHandle(info.hThread);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 20000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, exitCode));
    return ERROR_SUCCESS;
  }

  // The probe as a quoted program path for command lines.
  std::wstring Probe() const { return L"\"" + m_probe + L"\""; }

  void PlantProbe() {
    m_probe = L"C:\\Probe\\probe.exe";
    Plant(m_probe);
  }

  std::wstring m_probe;
  std::vector<HANDLE> m_processes;
};

}  // namespace winsim::test
