// A server of UtilityServiceRpc for checking the Windows build's stubs under a Windows run-time
// (Wine in the Windows check): it serves the interface on the ncalrpc endpoint named by its
// argument, with managers that only report what reached them, so that RpcStubClient.exe can tell
// whether each procedure's parameters, the context handles, the BSTR and the callback crossed the
// stubs intact. The service's own managers are not part of it.
#include <windows.h>
#include <oleauto.h>
#include <rpc.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "UtilityServiceRpc.h"

extern "C" void* __RPC_USER MIDL_user_allocate(size_t size) { return malloc(size); }
extern "C" void __RPC_USER MIDL_user_free(void* p) { free(p); }

namespace {

struct Record {
  wchar_t command[260];
  HANDLE stop;  // set by StopMetering or EndMetering
  LONG64 periodMs;
};

const wchar_t kText[] = L"rrrrrrrr  GetCommendSvr RpcServer ";  // 34 characters, then the NUL

Record* RecordOf(UTILITY_CONTEXT_HANDLE context) { return static_cast<Record*>(context); }

void Say(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

}  // namespace

extern "C" {

void __cdecl OpenRpcEndpoint(handle_t, UTILITY_CONTEXT_HANDLE* phContext) {
  Record* record = new Record{};
  record->stop = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  record->periodMs = 100;
  *phContext = record;
  Say("open");
}

void __cdecl CloseRpcEndpoint(UTILITY_CONTEXT_HANDLE* phContext) {
  Record* record = RecordOf(*phContext);
  CloseHandle(record->stop);
  delete record;
  *phContext = nullptr;
  Say("close");
}

// Calls back twice with the caller's value and ticks 1 and 2; then, unless the period is 0, waits
// until StopMetering or EndMetering runs on the same context in another call (which needs the
// context unserialised), and gives up after 10 s with a fault of its own, 0x5EA1 ("serialised").
void __cdecl StartMetering(UTILITY_CONTEXT_HANDLE hContext, hyper periodMs, hyper callerValue) {
  Record* record = RecordOf(hContext);
  record->periodMs = periodMs;
  Say("start metering");
  MeteringTick(1, callerValue);
  MeteringTick(2, callerValue);
  if (periodMs != 0 && WaitForSingleObject(record->stop, 10000) != WAIT_OBJECT_0) RpcRaiseException(0x5EA1);
  Say("done metering");
}

// Answers with a fault whose code is the period received, so that the client sees the hyper.
void __cdecl SetMeteringPeriod(UTILITY_CONTEXT_HANDLE hContext, hyper periodMs) {
  RecordOf(hContext)->periodMs = periodMs;
  if (periodMs != 2000) RpcRaiseException(static_cast<RPC_STATUS>(periodMs & 0x7FFFFFFF));
}

void __cdecl StopMetering(UTILITY_CONTEXT_HANDLE hContext) {
  Say("stop metering");
  SetEvent(RecordOf(hContext)->stop);
}

void __cdecl EndMetering(UTILITY_CONTEXT_HANDLE hContext) {
  Say("end metering");
  SetEvent(RecordOf(hContext)->stop);
}

// The fixed text with its NUL as the 35th counted character, or the last command received.
void __cdecl GetCommend(UTILITY_CONTEXT_HANDLE hContext, BSTR* pbstrText) {
  Record* record = RecordOf(hContext);
  if (record->command[0] != L'\0') {
    *pbstrText = SysAllocString(record->command);
  } else {
    *pbstrText = SysAllocStringLen(kText, 35);
  }
}

void __cdecl SetXMLCommend(UTILITY_CONTEXT_HANDLE hContext, const wchar_t* pszCommand) {
  wcsncpy(RecordOf(hContext)->command, pszCommand, 259);
}

void __RPC_USER UTILITY_CONTEXT_HANDLE_rundown(UTILITY_CONTEXT_HANDLE hContext) {
  Say("client died");
  Record* record = RecordOf(hContext);
  CloseHandle(record->stop);
  delete record;
}

}  // extern "C"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: RpcStubServer ENDPOINT\n");
    return 87;
  }
  RPC_STATUS status = RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(L"ncalrpc")), 10,
                                             reinterpret_cast<RPC_WSTR>(argv[1]), nullptr);
  if (status == RPC_S_OK) {
    status = RpcServerRegisterIfEx(UtilityServiceRpc_v1_0_s_ifspec, nullptr, nullptr,
                                   RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY, 1234, nullptr);
  }
  if (status != RPC_S_OK) {
    std::printf("set-up failed: %ld\n", static_cast<long>(status));
    return static_cast<int>(status);
  }
  Say("listening");
  // Served by the auto-listening interface until the client ends this process.
  Sleep(INFINITE);
  return 0;
}
