// Checks the Windows build's stubs of UtilityServiceRpc against the platform's RPC run-time: starts
// RpcStubServer.exe (beside this program) on an endpoint of its own, calls every procedure over
// ncalrpc and checks what came back, the callback included. Prints one line per step ("ok",
// "FAILED" or "SKIPPED" with the reason) and exits with the number of failures.
#include <windows.h>
#include <oleauto.h>
#include <rpc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>

#include "RpcGuard.h"
#include "UtilityServiceRpc.h"

extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return malloc(size); }
extern "C" void __RPC_USER MIDL_user_free(void* p) { free(p); }

namespace {

int g_failures = 0;

void Report(bool ok, const char* step, const std::string& detail = "") {
  if (ok) {
    std::printf("ok       %s\n", step);
  } else {
    std::printf("FAILED   %s: %s\n", step, detail.c_str());
    ++g_failures;
  }
  std::fflush(stdout);
}

void Skip(const char* step, const char* reason) {
  std::printf("SKIPPED  %s: %s\n", step, reason);
  std::fflush(stdout);
}

std::string Code(unsigned long code) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%lx", code);
  return text;
}

// Runs a call; returns 0 or the RPC exception it raised.
template <typename Call>
unsigned long Guarded(Call call) {
  return RpcGuardedCall([](void* argument) { (*static_cast<Call*>(argument))(); }, &call);
}

std::atomic<int> g_ticks{0};
std::atomic<bool> g_wrongValue{false};
std::atomic<hyper> g_lastTick{0};
const hyper kCallerValue = 0x0123456789ABCDEFLL;

}  // namespace

extern "C" void __cdecl MeteringTick(hyper tickCount, hyper callerValue) {
  if (callerValue != kCallerValue) g_wrongValue = true;
  g_lastTick = tickCount;
  ++g_ticks;
}

int wmain() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder(self);
  folder.erase(folder.find_last_of(L'\\') + 1);
  std::wstring endpoint = L"TorvexRpcStubCheck_" + std::to_wstring(GetCurrentProcessId());
  std::wstring command = L"\"" + folder + L"RpcStubServer.exe\" " + endpoint;

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION server{};
  if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &server)) {
    Report(false, "start RpcStubServer.exe", Code(GetLastError()));
    return 1;
  }

  RPC_WSTR text = nullptr;
  RPC_BINDING_HANDLE binding = nullptr;
  RPC_STATUS status = RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")),
                                               nullptr, reinterpret_cast<RPC_WSTR>(&endpoint[0]), nullptr, &text);
  if (status == RPC_S_OK) status = RpcBindingFromStringBindingW(text, &binding);
  if (text != nullptr) RpcStringFreeW(&text);
  Report(status == RPC_S_OK, "binding from the string binding", Code(status));

  // The server needs a moment to open its endpoint: until then the call finds nobody (1722).
  UTILITY_CONTEXT_HANDLE context = nullptr;
  unsigned long code = RPC_S_SERVER_UNAVAILABLE;
  for (int i = 0; i < 200 && code == RPC_S_SERVER_UNAVAILABLE; ++i) {
    code = Guarded([&] { OpenRpcEndpoint(binding, &context); });
    if (code == RPC_S_SERVER_UNAVAILABLE) Sleep(50);
  }
  Report(code == 0 && context != nullptr, "OpenRpcEndpoint gives a context", Code(code));

  if (context != nullptr) {
    BSTR bstr = nullptr;
    code = Guarded([&] { GetCommend(context, &bstr); });
    bool textOk = code == 0 && bstr != nullptr && SysStringLen(bstr) == 35 &&
                  std::wmemcmp(bstr, L"rrrrrrrr  GetCommendSvr RpcServer ", 34) == 0 && bstr[34] == L'\0';
    Report(textOk, "GetCommend: a BSTR of 35 characters, the last the NUL",
           code != 0 ? Code(code) : "length " + std::to_string(bstr ? SysStringLen(bstr) : 0));
    SysFreeString(bstr);

    bstr = nullptr;
    code = Guarded([&] {
      SetXMLCommend(context, L"notepad.exe \"C:\\a b\\\u00e9t\u00e9.txt\"");
      GetCommend(context, &bstr);
    });
    Report(code == 0 && bstr != nullptr && std::wcscmp(bstr, L"notepad.exe \"C:\\a b\\\u00e9t\u00e9.txt\"") == 0,
           "SetXMLCommend: the wide string arrives whole", Code(code));
    SysFreeString(bstr);

    code = Guarded([&] { SetMeteringPeriod(context, 2000); });
    Report(code == 0, "SetMeteringPeriod", Code(code));

    // Two callbacks on the thread that waits in StartMetering (period 0: the server returns after
    // them).
    code = Guarded([&] { StartMetering(context, 0, kCallerValue); });
    if (code != 0 && g_ticks == 0) {
      // Wine 8: the server's NDR engine finds no binding for a callback handle (1702).
      Skip("MeteringTick", ("the run-time cannot call the client back: StartMetering ends with " + Code(code) +
                            " before any MeteringTick arrives").c_str());
    } else {
      Report(code == 0 && g_ticks == 2 && !g_wrongValue && g_lastTick == 2,
             "MeteringTick: two callbacks with the caller's value during StartMetering",
             Code(code) + ", ticks " + std::to_string(g_ticks.load()));
    }

    code = Guarded([&] { CloseRpcEndpoint(&context); });
    Report(code == 0 && context == nullptr, "CloseRpcEndpoint nulls the context", Code(code));

    // StopMetering on the same context from another thread while StartMetering still runs: the
    // second thread's call goes on a second connection of the same association group.
    g_ticks = 0;
    code = Guarded([&] { OpenRpcEndpoint(binding, &context); });
    unsigned long startCode = 0;
    std::thread meter([&] { startCode = Guarded([&] { StartMetering(context, 10, kCallerValue); }); });
    for (int i = 0; i < 200 && g_ticks < 2 && startCode == 0; ++i) Sleep(25);
    unsigned long stopCode = g_ticks == 2 ? Guarded([&] { StopMetering(context); }) : 0;
    meter.join();
    if (startCode != 0 && startCode != 0x5EA1 && g_ticks == 0) {
      Skip("StopMetering during StartMetering",
           ("the run-time cannot call the client back, so the loop never runs: " + Code(startCode)).c_str());
    } else if (startCode == 0x5EA1) {
      Skip("StopMetering during StartMetering", "the run-time serialises calls on the context handle");
    } else {
      Report(startCode == 0 && stopCode == 0 && g_ticks == 2, "StopMetering ends a running StartMetering",
             Code(startCode) + "/" + Code(stopCode));
      code = Guarded([&] { CloseRpcEndpoint(&context); });
      Report(code == 0 && context == nullptr, "CloseRpcEndpoint after the metering run", Code(code));
    }
  }

  // Faults carry the server's code; after one, Wine's client opens a new connection for the
  // next call, which its server refuses (see above), so these come last on a context of their own.
  context = nullptr;
  code = Guarded([&] { OpenRpcEndpoint(binding, &context); });
  if (context != nullptr) {
      // The server answers a period other than 2000 with a fault of that value.
      const struct {
        hyper period;
        unsigned long fault;
      } periods[] = {{2000, 0}, {0x1234, 0x1234}, {0x7FFFFFFF00000005LL, 5}};
      for (const auto& row : periods) {
        code = Guarded([&] { SetMeteringPeriod(context, row.period); });
        Report(code == row.fault, "SetMeteringPeriod: the hyper arrives", "fault " + Code(code));
      }

  }

  // A null context is refused by the client's stub before anything is sent.
  code = Guarded([&] { StopMetering(nullptr); });
  Report(code == RPC_X_SS_IN_NULL_CONTEXT, "a null context is refused with 1775", Code(code));

  if (binding != nullptr) RpcBindingFree(&binding);
  TerminateProcess(server.hProcess, 0);
  WaitForSingleObject(server.hProcess, 5000);
  CloseHandle(server.hProcess);
  CloseHandle(server.hThread);
  std::printf("%d failed\n", g_failures);
  return g_failures;
}
