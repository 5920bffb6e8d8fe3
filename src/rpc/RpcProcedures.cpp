// The manager routines of UtilityServiceRpc and the metering loop.
//
// Calls on one context are not serialised by the run-time, so the record is kept alive by
// reference: every routine holds a reference while it uses the record, a close or rundown marks it
// closed, stops a running loop and drops the open context's reference, and the last user frees it.
// The handle block that the run-time holds is only a key into the table of live contexts, so a call
// that arrives with a block that was closed meanwhile is refused instead of touching freed memory.
//
// Failures reach the client only as RPC exceptions. On Windows those are structured exceptions,
// which do not unwind C++ objects on every toolchain: nothing here holds a lock or a reference
// across a point that can raise; it releases first and raises after.
#include "rpc/RpcProcedures.h"

#include <rpc.h>
#include <wtsapi32.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <set>
#include <vector>

#include "UtilityServiceRpc.h"
#include "common/Console.h"
#include "common/Portability.h"
#include "common/UtilityApp.h"
#include "launch/UserSessionLaunch.h"
#include "rpc/RpcServer.h"

// Last: it marks the unbounded string functions of the headers above as deprecated.
#include <strsafe.h>

namespace {

// What the run-time holds for a context: a heap block with the record's address.
struct ContextHandleBlock {
  MeteringContext* pContext;
};

// The live blocks and their lock are never destroyed: when the program exits, the static objects
// are destroyed while the run-time's threads may still be running a call or a rundown that looks
// a block up.
std::mutex& g_liveLock = *new std::mutex;
std::set<ContextHandleBlock*>& g_liveBlocks = *new std::set<ContextHandleBlock*>;

// A progress line through the narrow standard output, with its line end, flushed.
void PrintLine(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

void DestroyRecord(MeteringContext* pContext) {
  if (pContext->timer != nullptr) {
    SetThreadpoolTimer(pContext->timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(pContext->timer, TRUE);
    CloseThreadpoolTimer(pContext->timer);
  }
  if (pContext->tickEvent != nullptr) CloseHandle(pContext->tickEvent);
  delete pContext;
}

// A reference to the record behind a live, open handle block; null when the block is unknown (closed
// and freed) or its context closed.
MeteringContext* AcquireContext(void* hContext) {
  auto* pBlock = static_cast<ContextHandleBlock*>(hContext);
  std::lock_guard<std::mutex> lock(g_liveLock);
  if (g_liveBlocks.count(pBlock) == 0) return nullptr;
  MeteringContext* pContext = pBlock->pContext;
  {
    std::lock_guard<std::mutex> state(pContext->stateLock);
    if (pContext->bClosed) return nullptr;
  }
  ++pContext->lReferences;
  return pContext;
}

// Drops a reference; the last one frees the record and the handle block.
void ReleaseContext(void* hContext) {
  auto* pBlock = static_cast<ContextHandleBlock*>(hContext);
  MeteringContext* pContext = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_liveLock);
    if (--pBlock->pContext->lReferences != 0) return;
    g_liveBlocks.erase(pBlock);
    pContext = pBlock->pContext;
  }
  DestroyRecord(pContext);
  std::free(pBlock);
}

// Acquires or raises the context-mismatch fault (a context closed by a call that ran meanwhile).
MeteringContext* AcquireOrRaise(void* hContext) {
  MeteringContext* pContext = AcquireContext(hContext);
  if (pContext == nullptr) RpcRaiseException(RPC_X_SS_CONTEXT_MISMATCH);
  return pContext;
}

// Closes the context behind the block (CloseRpcEndpoint and the rundown): marks it closed so that
// no new call or loop starts on it, stops a running loop and waits until it has left, then drops
// the open context's reference. A loop that is inside the client's MeteringTick is not waited for:
// the close may come from that very callback, and the loop, finding the stop flag and the event
// set when the callback returns, leaves without another callback. False when the context was
// already closed.
bool CloseContext(void* hContext) {
  MeteringContext* pContext = AcquireContext(hContext);
  if (pContext == nullptr) return false;
  {
    std::unique_lock<std::mutex> state(pContext->stateLock);
    pContext->bClosed = true;
    pContext->stopRequested.store(true);
    SetEvent(pContext->tickEvent);
    pContext->stateChanged.wait(state, [&] { return !pContext->bLoopRunning || pContext->bInCallback; });
  }
  ReleaseContext(hContext);  // the open context's reference
  ReleaseContext(hContext);  // this call's
  return true;
}

// The one capability SID of the companion app, or nothing when the name does not yield exactly one.
bool GetAppCapabilitySid(std::vector<BYTE>& sid) {
  PSID* pGroupSids = nullptr;
  DWORD dwGroupCount = 0;
  PSID* pCapabilitySids = nullptr;
  DWORD dwCapabilityCount = 0;
  if (!DeriveCapabilitySidsFromName(UTILITY_CAPABILITY_NAME, &pGroupSids, &dwGroupCount, &pCapabilitySids,
                                    &dwCapabilityCount)) {
    return false;
  }
  bool ok = dwCapabilityCount == 1 && IsValidSid(pCapabilitySids[0]);
  if (ok) {
    DWORD length = GetLengthSid(pCapabilitySids[0]);
    sid.assign(static_cast<BYTE*>(pCapabilitySids[0]), static_cast<BYTE*>(pCapabilitySids[0]) + length);
  }
  for (DWORD i = 0; i < dwGroupCount; ++i) LocalFree(pGroupSids[i]);
  LocalFree(pGroupSids);
  for (DWORD i = 0; i < dwCapabilityCount; ++i) LocalFree(pCapabilitySids[i]);
  LocalFree(pCapabilitySids);
  return ok;
}

// The user SID of a token.
bool GetTokenUserSid(HANDLE hToken, std::vector<BYTE>& sid) {
  DWORD dwSize = 0;
  GetTokenInformation(hToken, TokenUser, nullptr, 0, &dwSize);
  if (dwSize == 0) return false;
  std::vector<BYTE> buffer(dwSize);
  if (!GetTokenInformation(hToken, TokenUser, buffer.data(), dwSize, &dwSize)) return false;
  PSID pSid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  if (!IsValidSid(pSid)) return false;
  sid.assign(static_cast<BYTE*>(pSid), static_cast<BYTE*>(pSid) + GetLengthSid(pSid));
  return true;
}

// Whether the caller of the call in progress is the companion app of the console user: its token
// holds the app's capability SID, and its user and session are the console session's. The caller
// is read while impersonating it; the console user's token is read as the service itself.
bool IsCallerConsoleUserApp() {
  std::vector<BYTE> capabilitySid;
  if (!GetAppCapabilitySid(capabilitySid)) return false;
  if (RpcImpersonateClient(nullptr) != RPC_S_OK) return false;
  BOOL bHasCapability = FALSE;
  // A null token is the calling thread's impersonation token.
  BOOL bChecked = CheckTokenCapability(nullptr, capabilitySid.data(), &bHasCapability);
  std::vector<BYTE> callerSid;
  bool bHaveUser = GetTokenUserSid(GetCurrentThreadEffectiveToken(), callerSid);
  DWORD dwCallerSession = 0;
  DWORD dwSize = 0;
  BOOL bHaveSession = GetTokenInformation(GetCurrentThreadEffectiveToken(), TokenSessionId, &dwCallerSession,
                                          sizeof(dwCallerSession), &dwSize);
  RpcRevertToSelf();
  if (!bChecked || !bHasCapability || !bHaveUser || !bHaveSession) return false;

  DWORD dwConsoleSession = WTSGetActiveConsoleSessionId();
  if (dwConsoleSession == 0xFFFFFFFF || dwCallerSession != dwConsoleSession) return false;
  HANDLE hConsoleToken = nullptr;
  if (!WTSQueryUserToken(dwConsoleSession, &hConsoleToken)) return false;
  std::vector<BYTE> consoleSid;
  bool bHaveConsoleUser = GetTokenUserSid(hConsoleToken, consoleSid);
  CloseHandle(hConsoleToken);
  return bHaveConsoleUser && EqualSid(callerSid.data(), consoleSid.data());
}

// The callback into the client, its failure returned. A function of its own, so that the
// structured-exception scope holds no C++ object that would need unwinding.
RPC_STATUS CallMeteringTick(hyper tickCount, hyper callerValue) {
  RPC_STATUS failure = RPC_S_OK;
  RpcTryExcept { MeteringTick(tickCount, callerValue); }
  RpcExcept(I_RpcExceptionFilter(RpcExceptionCode())) { failure = RpcExceptionCode(); }
  RpcEndExcept;
  return failure;
}

}  // namespace

LONGLONG ClampMeteringPeriod(LONGLONG periodMs) {
  if (periodMs < METERING_PERIOD_MIN_MS) return METERING_PERIOD_MIN_MS;
  if (periodMs > METERING_PERIOD_MAX_MS) return METERING_PERIOD_MAX_MS;
  return periodMs;
}

size_t LiveMeteringContextCount() {
  std::lock_guard<std::mutex> lock(g_liveLock);
  return g_liveBlocks.size();
}

VOID CALLBACK MeteringTimerCallback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) {
  auto* pContext = static_cast<MeteringContext*>(context);
  if (pContext == nullptr) return;
  pContext->tickCount.store(static_cast<ULONGLONG>(GetTickCount()));
  SetEvent(pContext->tickEvent);
}

void OpenRpcEndpoint(handle_t, UTILITY_CONTEXT_HANDLE* phContext) {
  if (phContext == nullptr) return;
  PrintLine("opening rpc endpoint");
  // Nothing is handed to the run-time until every part exists: a failure leaves no context.
  auto* pBlock = static_cast<ContextHandleBlock*>(std::malloc(sizeof(ContextHandleBlock)));
  if (pBlock == nullptr) RpcRaiseException(RPC_S_OUT_OF_MEMORY);
  auto* pContext = new (std::nothrow) MeteringContext();
  if (pContext == nullptr) {
    std::free(pBlock);
    RpcRaiseException(RPC_S_OUT_OF_MEMORY);
  }
  // Value-initialised above: text and the plain fields are zero.
  pContext->stopRequested.store(false);
  pContext->timer = CreateThreadpoolTimer(MeteringTimerCallback, pContext, nullptr);
  pContext->periodMs.store(METERING_PERIOD_INITIAL_MS);
  if (pContext->timer != nullptr) pContext->tickEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (pContext->timer == nullptr || pContext->tickEvent == nullptr) {
    RPC_STATUS status = static_cast<RPC_STATUS>(GetLastError());
    if (status == RPC_S_OK) status = RPC_S_OUT_OF_MEMORY;
    DestroyRecord(pContext);
    std::free(pBlock);
    RpcRaiseException(status);
  }
  pContext->lReferences = 1;
  pBlock->pContext = pContext;
  {
    std::lock_guard<std::mutex> lock(g_liveLock);
    g_liveBlocks.insert(pBlock);
  }
  *phContext = pBlock;
}

void CloseRpcEndpoint(UTILITY_CONTEXT_HANDLE* phContext) {
  PrintLine("closing rpc endpoint");
  if (phContext == nullptr || *phContext == nullptr) return;
  CloseContext(*phContext);
  *phContext = nullptr;
}

void StartMetering(UTILITY_CONTEXT_HANDLE hContext, hyper periodMs, hyper callerValue) {
  if (hContext == nullptr) return;
  MeteringContext* pContext = AcquireOrRaise(hContext);
  RPC_STATUS refusal = RPC_S_OK;
  {
    std::lock_guard<std::mutex> state(pContext->stateLock);
    if (pContext->bClosed) {
      refusal = RPC_X_SS_CONTEXT_MISMATCH;
    } else if (pContext->bLoopRunning) {
      // The running loop is left alone; this call is refused before it says anything.
      refusal = METERING_ALREADY_RUNNING_STATUS;
    } else {
      pContext->bLoopRunning = true;
      pContext->bInCallback = false;
      pContext->stopRequested.store(false);
    }
  }
  if (refusal != RPC_S_OK) {
    ReleaseContext(hContext);
    RpcRaiseException(refusal);
  }
  PrintLine("start metering");
  pContext->periodMs.store(ClampMeteringPeriod(periodMs));

  RPC_STATUS failure = RPC_S_OK;
  for (;;) {
    // The period is at most 1000 ms here, so the product cannot overflow.
    LONGLONG dueTime = -(pContext->periodMs.load() * 10000LL);
    FILETIME due;
    due.dwLowDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(dueTime) & 0xFFFFFFFFu);
    due.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(dueTime) >> 32);
    SetThreadpoolTimer(pContext->timer, &due, 0, 0);
    WaitForSingleObject(pContext->tickEvent, INFINITE);
    if (pContext->stopRequested.load() || g_bRpcServerStopping.load()) break;
    {
      std::lock_guard<std::mutex> state(pContext->stateLock);
      pContext->bInCallback = true;
    }
    failure = CallMeteringTick(static_cast<hyper>(pContext->tickCount.load()), callerValue);
    {
      std::lock_guard<std::mutex> state(pContext->stateLock);
      pContext->bInCallback = false;
    }
    if (failure != RPC_S_OK) break;
  }
  {
    std::lock_guard<std::mutex> state(pContext->stateLock);
    pContext->bLoopRunning = false;
    pContext->bInCallback = false;
  }
  pContext->stateChanged.notify_all();
  ReleaseContext(hContext);
  // A failed callback ends the call with its failure, without "done metering".
  if (failure != RPC_S_OK) RpcRaiseException(failure);
  PrintLine("done metering");
}

void SetMeteringPeriod(UTILITY_CONTEXT_HANDLE hContext, hyper periodMs) {
  if (hContext == nullptr) return;
  MeteringContext* pContext = AcquireOrRaise(hContext);
  pContext->periodMs.store(ClampMeteringPeriod(periodMs));
  ReleaseContext(hContext);
}

void StopMetering(UTILITY_CONTEXT_HANDLE hContext) {
  if (hContext == nullptr) return;
  MeteringContext* pContext = AcquireOrRaise(hContext);
  PrintLine("stop metering");
  // The event is not signalled: a running loop notices the flag when its period expires.
  pContext->stopRequested.store(true);
  ReleaseContext(hContext);
}

void EndMetering(UTILITY_CONTEXT_HANDLE hContext) { StopMetering(hContext); }

void GetCommend(UTILITY_CONTEXT_HANDLE hContext, BSTR* pbstrText) {
  if (hContext == nullptr || pbstrText == nullptr) return;
  MeteringContext* pContext = AcquireOrRaise(hContext);
  PrintLine("start GetCommend");
  {
    std::lock_guard<std::mutex> lock(pContext->textLock);
    StringCchCopyW(pContext->text, GET_COMMEND_LENGTH, GET_COMMEND_TEXT);
    // 35 characters, the last the NUL: a failed allocation leaves a null BSTR, not a fault.
    *pbstrText = SysAllocStringLen(pContext->text, GET_COMMEND_LENGTH);
  }
  ReleaseContext(hContext);
}

void SetXMLCommend(UTILITY_CONTEXT_HANDLE hContext, const wchar_t* pszCommand) {
  if (hContext == nullptr || pszCommand == nullptr) return;
  AcquireOrRaise(hContext);
  // The command makes the service start a program as the console user: only that user's
  // companion app may ask for it. Anyone else is refused before anything is said or started.
  if (!IsCallerConsoleUserApp()) {
    ReleaseContext(hContext);
    RpcRaiseException(SET_COMMAND_DENIED_STATUS);
  }
  PrintLine(" SetXMLCommend ");
  // The command is an argument, never a format.
  ConsolePrint(L"%s is cmd \n", pszCommand);
  LaunchAgentWithCommand(pszCommand);
  ReleaseContext(hContext);
}

void __RPC_USER UTILITY_CONTEXT_HANDLE_rundown(UTILITY_CONTEXT_HANDLE hContext) {
  if (hContext == nullptr) return;
  PrintLine("client died");
  PrintLine("stop metering");
  PrintLine("closing rpc endpoint");
  CloseContext(hContext);
}
