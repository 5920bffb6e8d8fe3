// A client of the test interface for tests that need one in another process.
//   --endpoint NAME   the ncalrpc endpoint (required)
//   --log FILE        append one line per step (Linux path)
//   --mode MODE       open-and-hang: open a context, log "opened", wait to be killed
//                     die-in-callback: open a context, start 5 ticks and end the process in the
//                                      second callback
//                     whoami: log "who TEXT" with what TestWhoAmI answers
//                     roundtrip: open, add, close; log "sum N" and "closed"
// A failed call logs "exception CODE" and ends the process with exit code 100.
#include <windows.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "TestRpc.h"

namespace {

std::string g_log;

void Log(const std::string& line) {
  if (FILE* f = std::fopen(g_log.c_str(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

std::string Narrow(const wchar_t* w) {
  std::string out;
  for (; w && *w; ++w) out.push_back(static_cast<char>(*w));
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring endpoint, mode;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring option = argv[i];
    if (option == L"--endpoint") endpoint = argv[i + 1];
    if (option == L"--log") g_log = Narrow(argv[i + 1]);
    if (option == L"--mode") mode = argv[i + 1];
  }
  std::wstring text = L"ncalrpc:[" + endpoint + L"]";
  RPC_BINDING_HANDLE binding = nullptr;
  RPC_STATUS status = RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(text.c_str()), &binding);
  if (status != RPC_S_OK) {
    Log("binding failed " + std::to_string(status));
    return 100;
  }
  int exitCode = 0;
  RpcTryExcept {
    if (mode == L"whoami") {
      BSTR who = nullptr;
      Client_TestWhoAmI(binding, &who);
      Log("who " + Narrow(who));
      SysFreeString(who);
    } else {
      TEST_CONTEXT ctx = nullptr;
      Client_TestOpen(binding, &ctx);
      Log("opened");
      if (mode == L"open-and-hang") {
        for (;;) pause();
      } else if (mode == L"die-in-callback") {
        testrpc::SetTickHandler([](int64_t tick, int64_t) {
          if (tick == 2) {
            Log("dying");
            _exit(3);
          }
        });
        Client_TestTicks(ctx, 5, 42);
      } else if (mode == L"roundtrip") {
        int64_t sum = 0;
        Client_TestAdd(ctx, 40, 2, &sum);
        Log("sum " + std::to_string(sum));
        Client_TestClose(&ctx);
        Log(ctx ? "still open" : "closed");
      }
    }
  }
  RpcExcept(1) {
    Log("exception " + std::to_string(RpcExceptionCode()));
    exitCode = 100;
  }
  RpcEndExcept
  RpcBindingFree(&binding);
  return exitCode;
}
