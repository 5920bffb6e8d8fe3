// A server of the test interface for tests that need it in another process.
//   --endpoint NAME    the ncalrpc endpoint (required)
//   --log FILE         append one line per event of the interface (Linux path)
//   --max-calls N      the interface's concurrent call limit (default 1234)
// It logs "ready" once it serves, and "listen returned N" if listening ever ends; a failure to set
// up logs "failed STEP STATUS" and becomes the exit code.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "TestRpc.h"

namespace {

std::string g_log;
std::mutex g_lock;

void Log(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (FILE* f = std::fopen(g_log.c_str(), "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

std::string Narrow(const wchar_t* w) {
  std::string out;
  for (; *w; ++w) out.push_back(static_cast<char>(*w));
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring endpoint;
  unsigned maxCalls = RPC_C_LISTEN_MAX_CALLS_DEFAULT;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring option = argv[i];
    if (option == L"--endpoint") endpoint = argv[i + 1];
    if (option == L"--log") g_log = Narrow(argv[i + 1]);
    if (option == L"--max-calls") maxCalls = static_cast<unsigned>(std::wcstoul(argv[i + 1], nullptr, 10));
  }
  testrpc::SetEventSink(Log);
  RPC_STATUS status = RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), RPC_C_PROTSEQ_MAX_REQS_DEFAULT,
                                             const_cast<RPC_WSTR>(endpoint.c_str()), nullptr);
  if (status != RPC_S_OK) {
    Log("failed use " + std::to_string(status));
    return static_cast<int>(status);
  }
  status = RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY,
                                maxCalls, 0, nullptr, nullptr);
  if (status != RPC_S_OK) {
    Log("failed register " + std::to_string(status));
    return static_cast<int>(status);
  }
  Log("ready");
  status = RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, FALSE);
  Log("listen returned " + std::to_string(status));
  return 0;
}
