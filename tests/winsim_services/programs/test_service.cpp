// A small service for the control manager's tests. Its behaviour comes from its command line:
//   --log FILE          append one line per event (Linux path)
//   --accept HEX        controls accepted once running (default 0x1, stop)
//   --start-steps N     START_PENDING reports with checkpoints 1..N before RUNNING
//   --stop-steps N      STOP_PENDING reports with checkpoints 1..N before STOPPED
//   --step-ms N         pause between pending reports (default 20)
//   --exit-code N       service-specific exit code reported with SERVICE_STOPPED
//   --hang-start        stay in START_PENDING
//   --handler-ms N      time the handler takes for each control (default 0)
//   --stop-gate FILE    stay in STOP_PENDING until FILE exists
//   --handler-name NAME register the control handler under NAME instead of the service's name
//   --query-session     on a session change, also log what the session queries answer meanwhile:
//                       user=NAME of the notified session (user=!ERR when the query fails) and
//                       console=ID, the active console session
// Each delivered control is logged with the thread it ran on, so that tests can check that
// controls run on the dispatcher's thread one at a time.
#include <windows.h>
#include <wtsapi32.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::string g_log;
DWORD g_accept = SERVICE_ACCEPT_STOP;
int g_startSteps = 0, g_stopSteps = 0, g_stepMs = 20;
DWORD g_exitCode = 0;
bool g_hangStart = false;
std::string g_stopGate;
std::wstring g_handlerName;
int g_handlerMs = 0;
bool g_querySession = false;

DWORD g_dispatcherThread = 0;
SERVICE_STATUS_HANDLE g_status = nullptr;
std::mutex g_lock;
std::condition_variable g_cv;
bool g_stopRequested = false;
std::atomic<int> g_inHandler{0};

void Log(const std::string& line) {
  if (g_log.empty()) return;
  std::lock_guard<std::mutex> lock(g_lock);
  if (FILE* f = std::fopen(g_log.c_str(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

void Report(DWORD state, DWORD checkpoint, DWORD waitHint, DWORD accepted) {
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = accepted;
  s.dwCheckPoint = checkpoint;
  s.dwWaitHint = waitHint;
  s.dwServiceSpecificExitCode = state == SERVICE_STOPPED ? g_exitCode : 0;
  s.dwWin32ExitCode = state == SERVICE_STOPPED && g_exitCode ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
  if (!SetServiceStatus(g_status, &s)) Log("SetServiceStatus failed " + std::to_string(GetLastError()));
}

DWORD WINAPI Handler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) {
  int depth = ++g_inHandler;
  std::string line = "control=" + std::to_string(control) + " event=" + std::to_string(eventType) +
                     " thread=" + std::to_string(GetCurrentThreadId()) +
                     " dispatcher=" + std::to_string(g_dispatcherThread) + " depth=" + std::to_string(depth) +
                     " context=" + (context == &g_log ? "ok" : "bad");
  if (control == SERVICE_CONTROL_SESSIONCHANGE && eventData) {
    auto* n = static_cast<WTSSESSION_NOTIFICATION*>(eventData);
    line += " cb=" + std::to_string(n->cbSize) + " session=" + std::to_string(n->dwSessionId);
    if (g_querySession) {
      LPWSTR name = nullptr;
      DWORD bytes = 0;
      if (WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, n->dwSessionId, WTSUserName, &name, &bytes)) {
        line += " user=";
        for (const wchar_t* p = name; *p; ++p) line.push_back(static_cast<char>(*p));
        WTSFreeMemory(name);
      } else {
        line += " user=!" + std::to_string(GetLastError());
      }
      line += " console=" + std::to_string(WTSGetActiveConsoleSessionId());
    }
  } else {
    line += eventData ? " data=yes" : " data=null";
  }
  Log(line);
  // Long enough that a second request arriving meanwhile would overlap if it were not queued.
  if (g_handlerMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(g_handlerMs));
  DWORD result = NO_ERROR;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN: {
      Report(SERVICE_STOP_PENDING, 0, 3000, 0);
      std::lock_guard<std::mutex> lock(g_lock);
      g_stopRequested = true;
      g_cv.notify_all();
      break;
    }
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SESSIONCHANGE:
      break;
    default:
      result = ERROR_CALL_NOT_IMPLEMENTED;
  }
  --g_inHandler;
  return result;
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  std::string name;
  for (const wchar_t* p = argv[0]; *p; ++p) name.push_back(static_cast<char>(*p));
  Log("main argc=" + std::to_string(argc) + " name=" + name + " thread=" + std::to_string(GetCurrentThreadId()));
  g_status = RegisterServiceCtrlHandlerExW(g_handlerName.empty() ? argv[0] : g_handlerName.c_str(), Handler, &g_log);
  if (!g_status) {
    Log("RegisterServiceCtrlHandlerExW failed " + std::to_string(GetLastError()));
    return;
  }
  for (int i = 1; i <= g_startSteps || g_hangStart; ++i) {
    Report(SERVICE_START_PENDING, static_cast<DWORD>(i), 3000, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(g_stepMs));
    if (g_hangStart && i > 1000000) break;
  }
  Report(SERVICE_RUNNING, 0, 0, g_accept);
  {
    std::unique_lock<std::mutex> lock(g_lock);
    g_cv.wait(lock, [] { return g_stopRequested; });
  }
  while (!g_stopGate.empty()) {
    if (FILE* f = std::fopen(g_stopGate.c_str(), "r")) {
      std::fclose(f);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (int i = 1; i <= g_stopSteps; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(g_stepMs));
    Report(SERVICE_STOP_PENDING, static_cast<DWORD>(i), 3000, 0);
  }
  Report(SERVICE_STOPPED, 0, 0, 0);
}

std::string Narrow(const wchar_t* w) {
  std::string s;
  for (; *w; ++w) s.push_back(static_cast<char>(*w));
  return s;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = Narrow(argv[i]);
    std::string v = i + 1 < argc ? Narrow(argv[i + 1]) : "";
    if (a == "--log") g_log = v, ++i;
    else if (a == "--accept") g_accept = static_cast<DWORD>(std::strtoul(v.c_str(), nullptr, 16)), ++i;
    else if (a == "--start-steps") g_startSteps = std::atoi(v.c_str()), ++i;
    else if (a == "--stop-steps") g_stopSteps = std::atoi(v.c_str()), ++i;
    else if (a == "--step-ms") g_stepMs = std::atoi(v.c_str()), ++i;
    else if (a == "--exit-code") g_exitCode = static_cast<DWORD>(std::atoi(v.c_str())), ++i;
    else if (a == "--stop-gate") g_stopGate = v, ++i;
    else if (a == "--handler-ms") g_handlerMs = std::atoi(v.c_str()), ++i;
    else if (a == "--handler-name") g_handlerName = std::wstring(v.begin(), v.end()), ++i;
    else if (a == "--hang-start") g_hangStart = true;
    else if (a == "--query-session") g_querySession = true;
  }
  g_dispatcherThread = GetCurrentThreadId();
  static SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L""), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    DWORD error = GetLastError();
    std::printf("StartServiceCtrlDispatcherW failed %lu\n", static_cast<unsigned long>(error));
    Log("dispatcher failed " + std::to_string(error));
    return static_cast<int>(error);
  }
  Log("dispatcher returned");
  return 0;
}
