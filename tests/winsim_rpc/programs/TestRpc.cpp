#include "TestRpc.h"

#include <condition_variable>
#include <mutex>
#include <set>

#include "core/identity.h"
#include "core/strings.h"
#include "winsim/rpcstub.h"

using namespace winsim::rpc;

namespace testrpc {

const GUID kInterfaceUuid = {0x7A3F1C52, 0x9B4E, 0x4D21, {0xA6, 0xC8, 0x3E, 0x5B, 0x7D, 0x9F, 0x0A, 0x12}};

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
std::function<void(const std::string&)> g_sink;
std::function<void(int64_t, int64_t)> g_tick;
std::set<int64_t> g_released;
bool g_allReleased = false;
int g_waiting = 0;
int g_mostWaiting = 0;
int64_t g_nextContext = 1;

void Event(const std::string& line) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    sink = g_sink;
  }
  if (sink) sink(line);
}

struct Context {
  int64_t id;
  std::wstring text = std::wstring(L"rrrrrrrr  GetCommendSvr RpcServer ") + L'\0';
};

std::string Narrow(const std::wstring& w) {
  std::string out;
  for (wchar_t c : w) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

}  // namespace

void SetEventSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_sink = std::move(sink);
}
void SetTickHandler(std::function<void(int64_t, int64_t)> handler) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_tick = std::move(handler);
}
void ReleaseGate(int64_t gate) {
  std::lock_guard<std::mutex> lock(g_lock);
  g_released.insert(gate);
  g_changed.notify_all();
}
void Reset() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_nextContext = 1;
  g_released.clear();
  g_allReleased = false;
  g_mostWaiting = 0;
}
void ReleaseAllGates() {
  std::lock_guard<std::mutex> lock(g_lock);
  g_allReleased = true;
  g_changed.notify_all();
}
int WaitingCalls() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_waiting;
}
int MostWaitingCalls() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_mostWaiting;
}

}  // namespace testrpc

// Manager routines ---------------------------------------------------------------------------

namespace {

using testrpc::Context;
using testrpc::Event;

void TestOpen(handle_t, TEST_CONTEXT* ctx) {
  auto* c = new Context();
  {
    std::lock_guard<std::mutex> lock(testrpc::g_lock);
    c->id = testrpc::g_nextContext++;
  }
  *ctx = c;
  Event("open " + std::to_string(c->id));
}

void TestClose(TEST_CONTEXT* ctx) {
  auto* c = static_cast<Context*>(*ctx);
  Event("close " + std::to_string(c->id));
  delete c;
  *ctx = nullptr;
}

void TestAdd(TEST_CONTEXT ctx, int64_t a, int64_t b, int64_t* sum) {
  auto* c = static_cast<Context*>(ctx);
  Event("add " + std::to_string(c->id) + " " + std::to_string(a) + " " + std::to_string(b));
  *sum = a + b;
}

// The server side of the callback: runs TestTick in the client of the call in progress.
void TestTick(int64_t tick, int64_t value) {
  CallbackCall cb(0);
  cb.In().Hyper(tick);
  cb.In().Hyper(value);
  cb.Invoke();
}

void TestTicks(TEST_CONTEXT ctx, int64_t count, int64_t value) {
  auto* c = static_cast<Context*>(ctx);
  Event("ticks " + std::to_string(c->id) + " " + std::to_string(count) + " " + std::to_string(value));
  try {
    for (int64_t i = 1; i <= count; ++i) TestTick(i, value);
  } catch (const winsim::RpcException& e) {
    Event("ticks-failed " + std::to_string(c->id) + " " + std::to_string(e.code));
    throw;
  }
  Event("ticks-done " + std::to_string(c->id));
}

void TestGetText(TEST_CONTEXT ctx, BSTR* text) {
  auto* c = static_cast<Context*>(ctx);
  Event("gettext " + std::to_string(c->id));
  *text = SysAllocStringLen(c->text.data(), static_cast<UINT>(c->text.size()));
}

void TestSetText(TEST_CONTEXT ctx, const wchar_t* text) {
  auto* c = static_cast<Context*>(ctx);
  c->text = text;
  Event("settext " + std::to_string(c->id) + " " + testrpc::Narrow(text));
}

void TestWait(handle_t, int64_t gate) {
  Event("wait " + std::to_string(gate));
  std::unique_lock<std::mutex> lock(testrpc::g_lock);
  ++testrpc::g_waiting;
  testrpc::g_mostWaiting = std::max(testrpc::g_mostWaiting, testrpc::g_waiting);
  testrpc::g_changed.wait(lock, [&] { return testrpc::g_allReleased || testrpc::g_released.count(gate) != 0; });
  --testrpc::g_waiting;
}

void TestWhoAmI(handle_t h, BSTR* who);

void TEST_CONTEXT_rundown(void* ctx) {
  auto* c = static_cast<Context*>(ctx);
  Event("rundown " + std::to_string(c->id));
  delete c;
}

// Server stubs -------------------------------------------------------------------------------

void TestOpen_s(ServerCall& call, NdrReader&, NdrWriter& out) {
  ServerContextSlot* ctx = call.OutContext();
  call.Execute([&] { TestOpen(call.Binding(), &ctx->value); });
  call.MarshalContext(out, ctx, TEST_CONTEXT_rundown);
}

void TestClose_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
  ServerContextSlot* ctx = call.InOutContext(in);
  call.Execute([&] { TestClose(&ctx->value); });
  call.MarshalContext(out, ctx, TEST_CONTEXT_rundown);
}

void TestAdd_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
  void* ctx = call.InContext(in);
  int64_t a = in.Hyper(), b = in.Hyper();
  int64_t sum = 0;
  call.Execute([&] { TestAdd(ctx, a, b, &sum); });
  out.Hyper(sum);
}

void TestTicks_s(ServerCall& call, NdrReader& in, NdrWriter&) {
  void* ctx = call.InContext(in);
  int64_t count = in.Hyper(), value = in.Hyper();
  call.Execute([&] { TestTicks(ctx, count, value); });
}

void TestGetText_s(ServerCall& call, NdrReader& in, NdrWriter& out) {
  void* ctx = call.InContext(in);
  BSTR text = nullptr;
  call.Execute([&] { TestGetText(ctx, &text); });
  out.Bstr(text);
  SysFreeString(text);
}

void TestSetText_s(ServerCall& call, NdrReader& in, NdrWriter&) {
  void* ctx = call.InContext(in);
  std::wstring text = in.WideString();
  call.Execute([&] { TestSetText(ctx, text.c_str()); });
}

void TestWait_s(ServerCall& call, NdrReader& in, NdrWriter&) {
  int64_t gate = in.Hyper();
  call.Execute([&] { TestWait(call.Binding(), gate); });
}

void TestWhoAmI_s(ServerCall& call, NdrReader&, NdrWriter& out) {
  BSTR who = nullptr;
  call.Execute([&] { TestWhoAmI(call.Binding(), &who); });
  out.Bstr(who);
  SysFreeString(who);
}

// Who the caller is, as the thread sees it while impersonating: "SID USER SESSION CAPABILITIES",
// then "| SID" of the thread after it reverted.
void TestWhoAmI(handle_t h, BSTR* who) {
  RPC_STATUS status = RpcImpersonateClient(h);
  if (status != RPC_S_OK) RpcRaiseException(status);
  const winsim::Identity& caller = winsim::CurrentIdentity();
  std::string text = caller.sid + " " + winsim::Utf8FromWide(caller.userName) + " " + std::to_string(caller.sessionId) + " ";
  for (const auto& c : caller.capabilitySids) text += c + ",";
  RpcRevertToSelf();
  text += " | " + winsim::CurrentIdentity().sid;
  std::wstring wide = winsim::WideFromUtf8(text);
  *who = SysAllocString(wide.c_str());
}

const ServerRoutine kRoutines[] = {TestOpen_s, TestClose_s, TestAdd_s, TestTicks_s,
                                   TestGetText_s, TestSetText_s, TestWait_s, TestWhoAmI_s};
const SyntaxIdentifier kId = {testrpc::kInterfaceUuid, 1, 0};
const ServerInterface kServer = {sizeof(ServerInterface), kId, kRoutines, 8};

// Client side --------------------------------------------------------------------------------

void TestTick_c(NdrReader& in, NdrWriter&) {
  int64_t tick = in.Hyper(), value = in.Hyper();
  std::function<void(int64_t, int64_t)> handler;
  {
    std::lock_guard<std::mutex> lock(testrpc::g_lock);
    handler = testrpc::g_tick;
  }
  if (handler) handler(tick, value);
}

const CallbackRoutine kCallbacks[] = {TestTick_c};
const ClientInterface kClient = {sizeof(ClientInterface), kId, kCallbacks, 1};

}  // namespace

RPC_IF_HANDLE TestRpc_v1_0_s_ifspec = const_cast<ServerInterface*>(&kServer);
RPC_IF_HANDLE TestRpc_v1_0_c_ifspec = const_cast<ClientInterface*>(&kClient);

void Client_TestOpen(handle_t h, TEST_CONTEXT* ctx) {
  ClientCall call(h, kClient, 0);
  NdrReader& out = call.Invoke();
  call.UnmarshalContext(out, ctx);
}

void Client_TestClose(TEST_CONTEXT* ctx) {
  ClientCall call(ContextBinding{*ctx}, kClient, 1);
  call.MarshalContext(*ctx);
  NdrReader& out = call.Invoke();
  call.UnmarshalContext(out, ctx);
}

void Client_TestAdd(TEST_CONTEXT ctx, int64_t a, int64_t b, int64_t* sum) {
  ClientCall call(ContextBinding{ctx}, kClient, 2);
  call.MarshalContext(ctx);
  call.In().Hyper(a);
  call.In().Hyper(b);
  *sum = call.Invoke().Hyper();
}

void Client_TestTicks(TEST_CONTEXT ctx, int64_t count, int64_t value) {
  ClientCall call(ContextBinding{ctx}, kClient, 3);
  call.MarshalContext(ctx);
  call.In().Hyper(count);
  call.In().Hyper(value);
  call.Invoke();
}

void Client_TestGetText(TEST_CONTEXT ctx, BSTR* text) {
  ClientCall call(ContextBinding{ctx}, kClient, 4);
  call.MarshalContext(ctx);
  *text = call.Invoke().Bstr();
}

void Client_TestSetText(TEST_CONTEXT ctx, const wchar_t* text) {
  ClientCall call(ContextBinding{ctx}, kClient, 5);
  call.MarshalContext(ctx);
  call.In().WideString(text);
  call.Invoke();
}

void Client_TestWait(handle_t h, int64_t gate) {
  ClientCall call(h, kClient, 6);
  call.In().Hyper(gate);
  call.Invoke();
}

void Client_TestWhoAmI(handle_t h, BSTR* who) {
  ClientCall call(h, kClient, 7);
  *who = call.Invoke().Bstr();
}
