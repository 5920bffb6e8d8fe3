// Utility.exe, the stand-in for the companion store app's process.
//
// Started plainly (package activation starts it so, with or without " /NOTSHOWOSD"), it only says
// how it was started (common/StandIn.h): its command line goes to
// C:\ProgramData\Utility\<pid>.cmdline and, as "Utility.exe command line: <the same text>", to
// standard output; then it runs until its session ends or it is killed.
//
// Started with "--rpc" as its first argument, it records its command line the same way and then
// acts as the app does on the service's RPC endpoint (ncalrpc, "TorvexUtilityService_RpcEndpoint"),
// one action per argument, in order, printing one line per event, and exits with 0:
//
//   open                    OpenRpcEndpoint on a new binding           "open: ok" | "open: fault N"
//   close                   CloseRpcEndpoint                           "close: ok" | "close: fault N"
//   getcommend              GetCommend        "getcommend: length L text \"T\" last U" | "getcommend: null"
//   setxml:TEXT             SetXMLCommend with TEXT (the rest of the argument, colons included)
//   setperiod:P             SetMeteringPeriod(P)
//   stop | end              StopMetering | EndMetering
//   meter:P:V[:N[:HOW]]     StartMetering(P, V); each callback prints
//                           "tick K tickCount T callerValue V" (K counts from 1); after callback
//                           N a second thread calls HOW (stop or end, default stop); N 0 or
//                           missing: nothing stops it from here. Then "meter: ok" | "meter: fault N".
//   at:K:ACTION             for the next meter: a second thread runs ACTION (setperiod:P, stop,
//                           end, close, getcommend, setxml:TEXT, meter:P:V) once callback K has
//                           been entered
//   in:K:ACTION             for the next meter: ACTION runs inside callback K, on its thread
//   raise:K:CODE            for the next meter: callback K raises CODE (decimal)
//   after:MS:ACTION         for the next meter: a second thread runs ACTION MS milliseconds after
//                           the meter began
//   sleep:MS                Sleep(MS)
//   hold                    "holding", then run until killed (the context stays open)
//   exit                    end the process at once with 0, closing nothing
//
// Results and faults print their status in decimal. Every line is flushed.
#include <windows.h>
#include <rpc.h>

#include <atomic>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "StandIn.h"
#include "UtilityServiceRpc.h"
// RpcTryExcept where the compiler has no structured exception handling.
#include "common/Portability.h"

void* __RPC_USER midl_user_allocate(size_t size) { return std::malloc(size); }
void __RPC_USER midl_user_free(void* pointer) { std::free(pointer); }

namespace {

std::mutex g_printLock;
UTILITY_CONTEXT_HANDLE g_hContext = nullptr;

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_printLock);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The wide text of a UTF-8 argument (the reverse of standin::Utf8).
std::wstring Wide(const std::string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    unsigned long code = c;
    size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra > 0) code = c & (0x3F >> extra);
    for (size_t k = 1; k <= extra && i + k < text.size(); ++k) code = (code << 6) | (text[i + k] & 0x3F);
    i += extra + 1;
    if (code > 0xFFFF && sizeof(wchar_t) == 2) {
      code -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(code));
    }
  }
  return out;
}

std::string Narrow(const wchar_t* text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out.push_back(text[i] > 0 && text[i] < 0x80 ? static_cast<char>(text[i]) : '?');
  return out;
}

// The rest of an argument after "name:".
std::string Rest(const std::string& action, size_t fields) {
  size_t pos = 0;
  for (size_t i = 0; i < fields && pos != std::string::npos; ++i) {
    pos = action.find(':', pos);
    if (pos != std::string::npos) ++pos;
  }
  return pos == std::string::npos ? std::string() : action.substr(pos);
}

std::vector<std::string> Fields(const std::string& action) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t colon = action.find(':', pos);
    out.push_back(action.substr(pos, colon == std::string::npos ? std::string::npos : colon - pos));
    if (colon == std::string::npos) break;
    pos = colon + 1;
  }
  return out;
}

// Runs one RPC call; its failure is the result. The structured-exception scope sits in a function
// of its own that holds no C++ object needing unwinding, as compilers with __try require.
template <class Call>
RPC_STATUS TryCall(Call& call) {
  RPC_STATUS status = RPC_S_OK;
  RpcTryExcept { call(); }
  RpcExcept(I_RpcExceptionFilter(RpcExceptionCode())) { status = RpcExceptionCode(); }
  RpcEndExcept;
  return status;
}

// Runs one RPC call and prints "NAME: ok" or "NAME: fault N".
template <class Call>
void Guarded(const std::string& name, Call call) {
  RPC_STATUS status = TryCall(call);
  if (status == RPC_S_OK) {
    Say(name + ": ok");
  } else {
    Say(name + ": fault " + std::to_string(status));
  }
}

void Open() {
  RPC_WSTR stringBinding = nullptr;
  wchar_t protseq[] = L"ncalrpc";
  wchar_t endpoint[] = L"TorvexUtilityService_RpcEndpoint";
  RPC_STATUS status = RpcStringBindingComposeW(nullptr, reinterpret_cast<RPC_WSTR>(protseq), nullptr,
                                               reinterpret_cast<RPC_WSTR>(endpoint), nullptr, &stringBinding);
  RPC_BINDING_HANDLE binding = nullptr;
  if (status == RPC_S_OK) status = RpcBindingFromStringBindingW(stringBinding, &binding);
  if (stringBinding) RpcStringFreeW(&stringBinding);
  if (status != RPC_S_OK) {
    Say("open: fault " + std::to_string(status));
    return;
  }
  Guarded("open", [&] { OpenRpcEndpoint(binding, &g_hContext); });
  // The context carries its own binding from here on.
  RpcBindingFree(&binding);
}

void GetText() {
  BSTR text = nullptr;
  auto call = [&] { GetCommend(g_hContext, &text); };
  RPC_STATUS status = TryCall(call);
  if (status != RPC_S_OK) {
    Say("getcommend: fault " + std::to_string(status));
  } else if (text == nullptr) {
    Say("getcommend: null");
  } else {
    UINT length = SysStringLen(text);
    unsigned last = length > 0 ? static_cast<unsigned>(text[length - 1]) : 0;
    size_t shown = length > 0 && text[length - 1] == L'\0' ? length - 1 : length;
    Say("getcommend: length " + std::to_string(length) + " text \"" + Narrow(text, shown) + "\" last " +
        std::to_string(last));
    SysFreeString(text);
  }
}

// The actions that may also run during a meter, from a second thread or inside a callback.
bool SimpleAction(const std::string& action) {
  std::vector<std::string> f = Fields(action);
  if (f[0] == "close") {
    Guarded("close", [] { CloseRpcEndpoint(&g_hContext); });
  } else if (f[0] == "getcommend") {
    GetText();
  } else if (f[0] == "setxml") {
    std::wstring text = Wide(Rest(action, 1));
    Guarded("setxml", [&] { SetXMLCommend(g_hContext, text.c_str()); });
  } else if (f[0] == "setperiod" && f.size() > 1) {
    hyper period = std::strtoll(f[1].c_str(), nullptr, 10);
    Guarded("setperiod", [&] { SetMeteringPeriod(g_hContext, period); });
  } else if (f[0] == "meter" && f.size() > 2) {
    // A meter without a plan: what a call from inside a callback or a second thread can make.
    hyper period = std::strtoll(f[1].c_str(), nullptr, 10);
    hyper value = std::strtoll(f[2].c_str(), nullptr, 10);
    Guarded("meter", [&] { StartMetering(g_hContext, period, value); });
  } else if (f[0] == "stop") {
    Guarded("stop", [] { StopMetering(g_hContext); });
  } else if (f[0] == "end") {
    Guarded("end", [] { EndMetering(g_hContext); });
  } else {
    return false;
  }
  return true;
}

// What the next meter does besides ticking.
struct TickPlan {
  long long tick;
  std::string action;  // "raise" for raise:K:CODE
  long long code;
  bool inside;
};
struct MeterPlan {
  std::vector<TickPlan> atTick;
  std::vector<std::pair<long long, std::string>> after;
};

MeterPlan g_plan;
std::atomic<long long> g_ticks{0};
long long g_stopAfter = 0;
std::string g_stopHow = "stop";
std::vector<std::thread> g_helpers;
std::mutex g_helperLock;

void Helper(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(g_helperLock);
  g_helpers.emplace_back(std::move(work));
}

void Meter(const std::vector<std::string>& f) {
  hyper period = f.size() > 1 ? std::strtoll(f[1].c_str(), nullptr, 10) : 0;
  hyper value = f.size() > 2 ? std::strtoll(f[2].c_str(), nullptr, 10) : 0;
  g_stopAfter = f.size() > 3 ? std::strtoll(f[3].c_str(), nullptr, 10) : 0;
  g_stopHow = f.size() > 4 ? f[4] : "stop";
  g_ticks.store(0);
  for (auto& a : g_plan.after) {
    long long ms = a.first;
    std::string action = a.second;
    Helper([ms, action] {
      Sleep(static_cast<DWORD>(ms));
      SimpleAction(action);
    });
  }
  Guarded("meter", [&] { StartMetering(g_hContext, period, value); });
  std::lock_guard<std::mutex> lock(g_helperLock);
  for (auto& t : g_helpers) t.join();
  g_helpers.clear();
  g_plan = MeterPlan();
}

}  // namespace

// The callback that the service makes during StartMetering, on the thread that waits in it.
void MeteringTick(hyper tickCount, hyper callerValue) {
  long long k = ++g_ticks;
  Say("tick " + std::to_string(k) + " tickCount " + std::to_string(tickCount) + " callerValue " +
      std::to_string(callerValue));
  for (auto& p : g_plan.atTick) {
    if (p.tick != k) continue;
    if (p.action == "raise") {
      Say("raising " + std::to_string(p.code));
      RpcRaiseException(static_cast<RPC_STATUS>(p.code));
    }
    if (p.inside) {
      SimpleAction(p.action);
    } else {
      std::string action = p.action;
      Helper([action] { SimpleAction(action); });
    }
  }
  if (g_stopAfter > 0 && k == g_stopAfter) {
    std::string how = g_stopHow;
    Helper([how] { SimpleAction(how); });
  }
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || std::wstring(argv[1]) != L"--rpc") standin::RecordAndRun("Utility.exe", L"Utility");
  std::string commandLine = standin::Utf8(GetCommandLineW());
  standin::WriteRecord(L"C:\\ProgramData\\Utility", commandLine);
  for (int i = 2; i < argc; ++i) {
    std::string action = standin::Utf8(argv[i]);
    std::vector<std::string> f = Fields(action);
    if (f[0] == "open") {
      Open();
    } else if (f[0] == "meter") {
      Meter(f);
    } else if ((f[0] == "at" || f[0] == "in") && f.size() > 2) {
      g_plan.atTick.push_back({std::strtoll(f[1].c_str(), nullptr, 10), Rest(action, 2), 0, f[0] == "in"});
    } else if (f[0] == "raise" && f.size() > 2) {
      g_plan.atTick.push_back({std::strtoll(f[1].c_str(), nullptr, 10), "raise", std::strtoll(f[2].c_str(), nullptr, 10), true});
    } else if (f[0] == "after" && f.size() > 2) {
      g_plan.after.push_back({std::strtoll(f[1].c_str(), nullptr, 10), Rest(action, 2)});
    } else if (f[0] == "sleep" && f.size() > 1) {
      Sleep(static_cast<DWORD>(std::strtoul(f[1].c_str(), nullptr, 10)));
    } else if (f[0] == "hold") {
      Say("holding");
      for (;;) Sleep(INFINITE);
    } else if (f[0] == "exit") {
      ExitProcess(0);
    } else if (!SimpleAction(action)) {
      Say("unknown action: " + action);
      return 2;
    }
  }
  return 0;
}
