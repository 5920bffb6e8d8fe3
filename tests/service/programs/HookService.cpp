// A service on CServiceBase whose hooks throw as its command line asks, so that tests can drive
// every row of the lifecycle table through the real control manager:
//   HookService.exe record=PATH [start|stop|pause|continue|shutdown=code|other] [stopdelay=MS]
//                   [stopfromthread=MS]
// "stopfromthread" has the start hook set a thread going that stops the service at once, as a
// service does whose work cannot go on, and then take MS more milliseconds before it returns.
// "code" throws the error code 5, "other" any other exception. Control 200 pauses and 201
// continues the service (the control manager sends no pause requests to it otherwise). Each
// control that reaches the hook is appended to the record file with the thread that got it.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "service/ServiceBase.h"

std::wstring g_wsModuleName = L"HookService";

namespace {

class CHookService : public CServiceBase {
 public:
  CHookService(std::map<std::wstring, std::wstring> options) : CServiceBase(L"HookService"), m_options(std::move(options)) {}

 protected:
  void OnStart(DWORD, PWSTR*) override {
    Record(L"OnStart");
    auto stopper = m_options.find(L"stopfromthread");
    if (stopper != m_options.end()) {
      HANDLE thread = CreateThread(
          nullptr, 0,
          [](LPVOID self) -> DWORD {
            static_cast<CHookService*>(self)->Stop();
            return 0;
          },
          this, 0, nullptr);
      if (thread != nullptr) CloseHandle(thread);
      Sleep(static_cast<DWORD>(std::stoul(stopper->second)));
    }
    Throw(L"start");
  }
  void OnStop() override {
    Record(L"OnStop");
    auto delay = m_options.find(L"stopdelay");
    if (delay != m_options.end()) Sleep(static_cast<DWORD>(std::stoul(delay->second)));
    Throw(L"stop");
  }
  void OnPause() override {
    Record(L"OnPause");
    Throw(L"pause");
  }
  void OnContinue() override {
    Record(L"OnContinue");
    Throw(L"continue");
  }
  void OnShutdown() override {
    Record(L"OnShutdown");
    Throw(L"shutdown");
  }
  DWORD OnServiceControlHandle(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) override {
    Record(L"control " + std::to_wstring(control) + L" event " + std::to_wstring(eventType) + L" thread " +
           std::to_wstring(GetCurrentThreadId()));
    if (control == 200) Pause();
    if (control == 201) Continue();
    return 0;
  }

 private:
  void Throw(const std::wstring& hook) {
    auto it = m_options.find(hook);
    if (it == m_options.end()) return;
    if (it->second == L"code") throw static_cast<DWORD>(ERROR_ACCESS_DENIED);
    throw std::runtime_error("hook failed");
  }
  void Record(const std::wstring& line) {
    auto it = m_options.find(L"record");
    if (it == m_options.end()) return;
    std::ofstream out(std::string(it->second.begin(), it->second.end()), std::ios::app);
    out << std::string(line.begin(), line.end()) << "\n";
  }
  std::map<std::wstring, std::wstring> m_options;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::map<std::wstring, std::wstring> options;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    size_t eq = arg.find(L'=');
    if (eq != std::wstring::npos) options[arg.substr(0, eq)] = arg.substr(eq + 1);
  }
  CHookService service(options);
  std::printf("dispatcher thread %lu\n", static_cast<unsigned long>(GetCurrentThreadId()));
  std::fflush(stdout);
  if (!CServiceBase::Run(service)) {
    std::printf("Run failed %lu\n", static_cast<unsigned long>(GetLastError()));
  }
  return 0;
}
