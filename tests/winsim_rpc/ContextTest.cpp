// Context handles: valid only in the association group that opened them, gone once closed, and run
// down exactly once when the group's last connection has closed and no call uses them any more.
#include <atomic>
#include <set>

#include "RpcFixture.h"

namespace winsim::test {
namespace {

using namespace rpc;

class ContextTest : public RpcTest {
 protected:
  void SetUp() override {
    RpcTest::SetUp();
    Serve();
  }

  uint32_t BindRaw(RawConnection& c, uint32_t group = 0) {
    EXPECT_TRUE(c.Send(EncodeBind(TestBind(1, group))));
    std::vector<uint8_t> reply = c.Receive();
    EXPECT_FALSE(reply.empty());
    if (reply.empty() || reply[2] != kPduBindAck) return 0;
    return DecodeBindAck(reply).assocGroupId;
  }

  ContextWire OpenRaw(RawConnection& c) {
    EXPECT_TRUE(c.Send(RequestBytes(2, 0, {})));
    std::vector<uint8_t> reply = c.Receive();
    EXPECT_EQ(reply.size(), 44u);
    if (reply.size() != 44) return {};
    ResponsePdu r = DecodeResponse(reply);
    NdrReader in(r.stub.data(), r.stub.size());
    return in.Context();
  }

  // TestAdd through raw PDUs: the sum, or the fault status.
  std::pair<bool, int64_t> AddRaw(RawConnection& c, const ContextWire& ctx, int64_t a, int64_t b) {
    NdrWriter w;
    w.Context(ctx);
    w.Hyper(a);
    w.Hyper(b);
    EXPECT_TRUE(c.Send(RequestBytes(3, 2, w.Take())));
    std::vector<uint8_t> reply = c.Receive();
    EXPECT_FALSE(reply.empty());
    if (reply.empty()) return {false, -1};
    if (reply[2] == kPduFault) return {false, DecodeFault(reply).status};
    ResponsePdu r = DecodeResponse(reply);
    NdrReader in(r.stub.data(), r.stub.size());
    return {true, in.Hyper()};
  }
};

TEST_F(ContextTest, HandlesAreRandomAndValidOnlyInTheirGroup) {
  RawConnection first;
  uint32_t group = BindRaw(first);
  ASSERT_NE(group, 0u);
  std::set<std::vector<uint8_t>> seen;
  ContextWire ctx;
  for (int i = 0; i < 8; ++i) {
    ctx = OpenRaw(first);
    EXPECT_EQ(ctx.attributes, 0u);
    EXPECT_FALSE(ctx.IsNull());
    seen.insert(std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&ctx.uuid), reinterpret_cast<uint8_t*>(&ctx.uuid) + 16));
  }
  EXPECT_EQ(seen.size(), 8u);
  EXPECT_EQ(AddRaw(first, ctx, 1, 2), std::make_pair(true, int64_t(3)));

  // A second connection joining the group may use it; one in a group of its own may not.
  RawConnection joined;
  EXPECT_EQ(BindRaw(joined, group), group);
  EXPECT_EQ(AddRaw(joined, ctx, 2, 2), std::make_pair(true, int64_t(4)));
  RawConnection other;
  uint32_t otherGroup = BindRaw(other);
  EXPECT_NE(otherGroup, group);
  EXPECT_EQ(AddRaw(other, ctx, 1, 1), std::make_pair(false, int64_t(0x1C00001A)));
  // The attributes are part of the handle.
  ContextWire altered = ctx;
  altered.attributes = 1;
  EXPECT_EQ(AddRaw(first, altered, 1, 1), std::make_pair(false, int64_t(0x1C00001A)));
  EXPECT_EQ(CountEvents("add"), 2u);
}

TEST_F(ContextTest, ClosedHandlesAreUnknownAndNeverRunDown) {
  RawConnection c;
  BindRaw(c);
  ContextWire ctx = OpenRaw(c);
  NdrWriter w;
  w.Context(ctx);
  ASSERT_TRUE(c.Send(RequestBytes(4, 1, w.Take())));
  std::vector<uint8_t> reply = c.Receive();
  ASSERT_EQ(reply.size(), 44u);
  ResponsePdu r = DecodeResponse(reply);
  NdrReader in(r.stub.data(), r.stub.size());
  EXPECT_TRUE(in.Context().IsNull());
  EXPECT_EQ(AddRaw(c, ctx, 1, 1), std::make_pair(false, int64_t(0x1C00001A)));
  // Closing it twice: the second close is refused before the routine runs.
  NdrWriter again;
  again.Context(ctx);
  ASSERT_TRUE(c.Send(RequestBytes(5, 1, again.Take())));
  reply = c.Receive();
  ASSERT_EQ(reply[2], kPduFault);
  EXPECT_EQ(DecodeFault(reply).status, 0x1C00001Au);
  EXPECT_EQ(CountEvents("close"), 1u);
  c.Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CountEvents("rundown"), 0u);
  EXPECT_EQ(rpc::OpenContextCount(), 0u);
}

TEST_F(ContextTest, RundownRunsOnceAfterTheGroupsLastConnectionCloses) {
  auto first = std::make_unique<RawConnection>();
  uint32_t group = BindRaw(*first);
  ContextWire a = OpenRaw(*first);
  ContextWire b = OpenRaw(*first);
  auto second = std::make_unique<RawConnection>();
  ASSERT_EQ(BindRaw(*second, group), group);
  // A third context is closed by its client and must not run down.
  ContextWire closed = OpenRaw(*second);
  NdrWriter w;
  w.Context(closed);
  ASSERT_TRUE(second->Send(RequestBytes(6, 1, w.Take())));
  ASSERT_FALSE(second->Receive().empty());

  first.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CountEvents("rundown"), 0u) << "the group still has a connection";
  EXPECT_EQ(AddRaw(*second, a, 1, 1), std::make_pair(true, int64_t(2)));

  second.reset();
  ASSERT_TRUE(WaitFor([&] { return CountEvents("rundown") == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CountEvents("rundown 1"), 1u);
  EXPECT_EQ(CountEvents("rundown 2"), 1u);
  EXPECT_EQ(CountEvents("rundown 3"), 0u);
  EXPECT_EQ(rpc::OpenContextCount(), 0u);
  (void)b;

  // The group is gone: joining it is refused.
  RawConnection late;
  ASSERT_TRUE(late.Send(EncodeBind(TestBind(1, group))));
  std::vector<uint8_t> reply = late.Receive();
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply[2], kPduBindNak);
}

TEST_F(ContextTest, RundownWaitsForTheLastCallUsingTheHandle) {
  auto opener = std::make_unique<RawConnection>();
  uint32_t group = BindRaw(*opener);
  ContextWire ctx = OpenRaw(*opener);
  RawConnection caller;
  ASSERT_EQ(BindRaw(caller, group), group);
  // TestTicks runs on the second connection and waits in its callback.
  NdrWriter w;
  w.Context(ctx);
  w.Hyper(1);
  w.Hyper(7);
  ASSERT_TRUE(caller.Send(RequestBytes(9, 3, w.Take())));
  std::vector<uint8_t> callback = caller.Receive();
  ASSERT_FALSE(callback.empty());
  ASSERT_EQ(callback[2], kPduRequest);
  opener.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CountEvents("rundown"), 0u);
  // The callback's answer lets the call finish; the rundown follows the call and the last close.
  ResponsePdu answer;
  answer.header.callId = 9;
  answer.header.flags = kPfcFirstFrag | kPfcLastFrag;
  ASSERT_TRUE(caller.Send(EncodeResponse(answer)));
  std::vector<uint8_t> reply = caller.Receive();
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply[2], kPduResponse);
  EXPECT_EQ(CountEvents("rundown"), 0u);
  caller.Close();
  ASSERT_TRUE(WaitFor([&] { return CountEvents("rundown 1") == 1; }));
  auto events = Events();
  EXPECT_EQ(events.back(), "rundown 1");
  EXPECT_EQ(events[events.size() - 2], "ticks-done 1");
}

TEST_F(ContextTest, AKilledClientsContextsRunDownOnce) {
  std::string log = MachinePath("client.log");
  pid_t client = Start("rpc_test_client.exe",
                       {L"--endpoint", kEndpoint, L"--log", WideFromUtf8(log), L"--mode", L"open-and-hang"});
  ASSERT_TRUE(WaitFor([&] { return HasLine(log, "opened"); })) << ReadFile(log);
  EXPECT_EQ(CountEvents("rundown"), 0u);
  Kill(client);
  ASSERT_TRUE(WaitFor([&] { return CountEvents("rundown 1") == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CountEvents("rundown"), 1u);
}

TEST_F(ContextTest, AContextKeepsItsAssociationAfterTheBindingIsFreed) {
  RPC_BINDING_HANDLE b = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(L"ncalrpc:[TestRpcEndpoint]"), &b), RPC_S_OK);
  TEST_CONTEXT ctx = nullptr;
  ASSERT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u);
  ASSERT_EQ(RpcBindingFree(&b), RPC_S_OK);
  int64_t sum = 0;
  EXPECT_EQ(StatusOf([&] { Client_TestAdd(ctx, 5, 6, &sum); }), 0u);
  EXPECT_EQ(sum, 11);
  EXPECT_EQ(CountEvents("rundown"), 0u);
  // Dropping the client's context without telling the server closes the association.
  EXPECT_EQ(StatusOf([&] { RpcSsDestroyClientContext(&ctx); }), 0u);
  EXPECT_EQ(ctx, nullptr);
  EXPECT_TRUE(WaitFor([&] { return CountEvents("rundown 1") == 1; }));
  void* bogus = &sum;
  EXPECT_EQ(StatusOf([&] { RpcSsDestroyClientContext(&bogus); }), DWORD(RPC_X_SS_CONTEXT_MISMATCH));
}

TEST_F(ContextTest, CallsOnOneContextRunAtTheSameTime) {
  RPC_BINDING_HANDLE b = Bind();
  TEST_CONTEXT ctx = nullptr;
  ASSERT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u);
  // The first tick of a running TestTicks waits until a second call on the same context has
  // returned: the association opens another connection in the group for it.
  std::atomic<bool> added{false};
  std::atomic<DWORD> addStatus{1};
  testrpc::SetTickHandler([&](int64_t tick, int64_t) {
    if (tick != 1) return;
    std::thread other([&] {
      int64_t sum = 0;
      addStatus = StatusOf([&] { Client_TestAdd(ctx, 1, 1, &sum); });
      added = sum == 2;
    });
    other.join();
  });
  EXPECT_EQ(StatusOf([&] { Client_TestTicks(ctx, 2, 0); }), 0u);
  EXPECT_EQ(addStatus.load(), 0u);
  EXPECT_TRUE(added.load());
  auto events = Events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[1], "ticks 1 2 0");
  EXPECT_EQ(events[2], "add 1 1 1");
  EXPECT_EQ(events[3], "ticks-done 1");
  EXPECT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u);
}

}  // namespace
}  // namespace winsim::test
