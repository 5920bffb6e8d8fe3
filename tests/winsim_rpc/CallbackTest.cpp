// Callbacks from a server routine to the client of the call in progress: their PDUs, their failures
// in both directions, and a client that dies in the middle of one.
#include "RpcFixture.h"

namespace winsim::test {
namespace {

using namespace rpc;

class CallbackTest : public RpcTest {
 protected:
  void SetUp() override {
    RpcTest::SetUp();
    Serve();
  }

  // A raw connection with a context open on it, and a TestTicks request sent.
  ContextWire StartTicks(RawConnection& c, uint32_t callId, int64_t count, int64_t value) {
    EXPECT_TRUE(c.Send(EncodeBind(TestBind(1))));
    EXPECT_FALSE(c.Receive().empty());
    EXPECT_TRUE(c.Send(RequestBytes(2, 0, {})));
    std::vector<uint8_t> opened = c.Receive();
    EXPECT_EQ(opened.size(), 44u);
    if (opened.size() != 44) return {};
    ResponsePdu r = DecodeResponse(opened);
    NdrReader in(r.stub.data(), r.stub.size());
    ContextWire ctx = in.Context();
    NdrWriter w;
    w.Context(ctx);
    w.Hyper(count);
    w.Hyper(value);
    EXPECT_TRUE(c.Send(RequestBytes(callId, 3, w.Take())));
    return ctx;
  }
};

TEST_F(CallbackTest, ACallbackIsARequestOnTheCallsConnectionWithItsCallId) {
  RawConnection c;
  StartTicks(c, 0x77, 2, -5);
  for (int64_t tick = 1; tick <= 2; ++tick) {
    std::vector<uint8_t> f = c.Receive();
    ASSERT_FALSE(f.empty());
    ASSERT_EQ(f[2], kPduRequest);
    RequestPdu req = DecodeRequest(f);
    EXPECT_EQ(req.header.callId, 0x77u);
    EXPECT_EQ(req.header.flags, kPfcFirstFrag | kPfcLastFrag);
    EXPECT_EQ(req.opnum, 0);
    EXPECT_EQ(req.contextId, 0);
    NdrReader in(req.stub.data(), req.stub.size());
    EXPECT_EQ(in.Hyper(), tick);
    EXPECT_EQ(in.Hyper(), -5);
    ResponsePdu answer;
    answer.header.callId = 0x77;
    answer.header.flags = kPfcFirstFrag | kPfcLastFrag;
    ASSERT_TRUE(c.Send(EncodeResponse(answer)));
  }
  std::vector<uint8_t> done = c.Receive();
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done[2], kPduResponse);
  EXPECT_EQ(ParseHeader(done.data()).callId, 0x77u);
  EXPECT_EQ(CountEvents("ticks-done 1"), 1u);
}

TEST_F(CallbackTest, AnUnexpectedPduDuringACallbackFailsIt) {
  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>()> answer;
  } cases[] = {
      {"a response with another call id",
       [] {
         ResponsePdu r;
         r.header.callId = 0x78;
         r.header.flags = kPfcFirstFrag | kPfcLastFrag;
         return EncodeResponse(r);
       }},
      {"a bind", [] { return EncodeBind(TestBind(0x77)); }},
      {"a new request", [] { return RequestBytes(0x79, 0, {}); }},
      {"a truncated response",
       [] {
         ResponsePdu r;
         r.header.callId = 0x77;
         r.header.flags = kPfcFirstFrag | kPfcLastFrag;
         std::vector<uint8_t> b = EncodeResponse(r);
         b.resize(20);
         b[8] = 20;
         return b;
       }},
  };
  int64_t id = 0;
  for (const auto& k : cases) {
    ++id;
    RawConnection c;
    StartTicks(c, 0x77, 3, 0);
    std::vector<uint8_t> f = c.Receive();
    ASSERT_FALSE(f.empty()) << k.name;
    ASSERT_EQ(f[2], kPduRequest) << k.name;
    ASSERT_TRUE(c.Send(k.answer())) << k.name;
    std::string failed = "ticks-failed " + std::to_string(id) + " 1726";
    EXPECT_TRUE(WaitFor([&] { return CountEvents(failed) == 1; })) << k.name;
    // The connection is no longer trusted: it ends, with a fault for the call if it can be sent.
    std::vector<uint8_t> last = c.Receive();
    if (!last.empty()) {
      EXPECT_EQ(last[2], kPduFault) << k.name;
      EXPECT_EQ(DecodeFault(last).status, uint32_t(RPC_S_CALL_FAILED)) << k.name;
    }
    EXPECT_TRUE(c.Closed()) << k.name;
  }
  EXPECT_EQ(CountEvents("ticks-done"), 0u);
}

TEST_F(CallbackTest, FailuresCrossInBothDirections) {
  RPC_BINDING_HANDLE b = Bind();
  TEST_CONTEXT ctx = nullptr;
  ASSERT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u);
  // The client's routine raises: the server routine gets the status, and so does the caller.
  testrpc::SetTickHandler([](int64_t tick, int64_t) {
    if (tick == 2) RpcRaiseException(ERROR_INVALID_STATE);
  });
  EXPECT_EQ(StatusOf([&] { Client_TestTicks(ctx, 4, 1); }), DWORD(ERROR_INVALID_STATE));
  EXPECT_EQ(CountEvents("ticks-failed 1 5023"), 1u);
  // The connection is fine afterwards.
  testrpc::SetTickHandler(nullptr);
  EXPECT_EQ(StatusOf([&] { Client_TestTicks(ctx, 1, 1); }), 0u);
  EXPECT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u);
  // A callback needs a call in progress.
  EXPECT_EQ(StatusOf([] { CallbackCall cb(0); }), DWORD(RPC_S_NO_CALL_ACTIVE));
}

TEST_F(CallbackTest, ClientDyingInACallback) {
  std::string log = MachinePath("client.log");
  pid_t client = Start("rpc_test_client.exe",
                       {L"--endpoint", kEndpoint, L"--log", WideFromUtf8(log), L"--mode", L"die-in-callback"});
  EXPECT_EQ(Wait(client), 3);
  EXPECT_EQ(Lines(log), (std::vector<std::string>{"opened", "dying"}));
  // The server routine learns of it as a failed callback; the context runs down after the call.
  ASSERT_TRUE(WaitFor([&] { return CountEvents("rundown 1") == 1; }));
  auto events = Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], "open 1");
  EXPECT_EQ(events[1], "ticks 1 5 42");
  EXPECT_EQ(events[2], "ticks-failed 1 1726");
  EXPECT_EQ(events[3], "rundown 1");
}

TEST_F(CallbackTest, ServerDyingInACallbackFailsTheClientsCall) {
  // The server is another process; the client's callback routine ends it.
  std::string log = MachinePath("server.log");
  pid_t server = StartServer(L"DyingServer", log);
  RPC_BINDING_HANDLE b = Bind(L"DyingServer");
  TEST_CONTEXT ctx = nullptr;
  ASSERT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u);
  testrpc::SetTickHandler([&](int64_t, int64_t) { Kill(server); });
  EXPECT_EQ(StatusOf([&] { Client_TestTicks(ctx, 3, 0); }), DWORD(RPC_S_CALL_FAILED));
  int64_t sum = 0;
  EXPECT_EQ(StatusOf([&] { Client_TestAdd(ctx, 1, 1, &sum); }), DWORD(RPC_S_SERVER_UNAVAILABLE));
}

}  // namespace
}  // namespace winsim::test
