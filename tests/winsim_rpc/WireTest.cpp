// What a standard DCE/RPC client sees on the wire: bind and alter_context answers per presentation
// context, fragment sizes, refused binds, fragments and their reassembly, call ids, faults with
// Windows' statuses and the did-not-execute flag, alignment and data representation.
#include <algorithm>

#include "RpcFixture.h"

namespace winsim::test {
namespace {

using namespace rpc;

const SyntaxIdentifier kUnknownIf = {{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}}, 1, 0};
const SyntaxIdentifier kUnknownTransfer = {{0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}}, 1, 0};
SyntaxIdentifier Negotiation(uint8_t bits) { return {{0x6CB71C2C, 0x9812, 0x4540, {bits, 0, 0, 0, 0, 0, 0, 0}}, 1, 0}; }

class WireTest : public RpcTest {
 protected:
  void SetUp() override {
    RpcTest::SetUp();
    Serve();
  }

  BindAckPdu BindOk(RawConnection& c, const BindPdu& bind) {
    EXPECT_TRUE(c.Send(EncodeBind(bind)));
    std::vector<uint8_t> reply = c.Receive();
    EXPECT_FALSE(reply.empty());
    if (reply.empty()) return {};
    EXPECT_EQ(reply[2], kPduBindAck);
    return DecodeBindAck(reply);
  }

  // Opens a context through raw PDUs and returns its wire form.
  ContextWire Open(RawConnection& c, uint32_t callId = 50) {
    EXPECT_TRUE(c.Send(RequestBytes(callId, 0, {})));
    std::vector<uint8_t> reply = c.Receive();
    EXPECT_EQ(reply.size(), 24u + 20);
    if (reply.size() < 44) return {};
    ResponsePdu r = DecodeResponse(reply);
    NdrReader in(r.stub.data(), r.stub.size());
    return in.Context();
  }

  static std::vector<uint8_t> AddStub(const ContextWire& ctx, int64_t a, int64_t b) {
    NdrWriter w;
    w.Context(ctx);
    w.Hyper(a);
    w.Hyper(b);
    return w.Take();
  }

  // Sends a request and expects a fault: its status and whether it says the routine did not run.
  void ExpectFault(RawConnection& c, const std::vector<uint8_t>& request, uint32_t status, bool didNotExecute) {
    ASSERT_TRUE(c.Send(request));
    std::vector<uint8_t> reply = c.Receive();
    ASSERT_FALSE(reply.empty());
    ASSERT_EQ(reply[2], kPduFault);
    FaultPdu f = DecodeFault(reply);
    EXPECT_EQ(f.status, status);
    EXPECT_EQ(bool(f.header.flags & kPfcDidNotExecute), didNotExecute);
    EXPECT_EQ(f.header.callId, ParseHeader(request.data()).callId);
    EXPECT_EQ(reply.size(), kFaultSize);
  }
};

TEST_F(WireTest, EachPresentationContextGetsItsOwnResultInOrder) {
  RawConnection c;
  BindPdu bind = TestBind(0xABCD1234);
  bind.maxXmitFrag = 2000;
  bind.maxRecvFrag = 3000;
  bind.contexts.push_back({1, TestInterfaceId(), {kNdr64Syntax}});
  bind.contexts.push_back({2, kUnknownIf, {kNdr20Syntax}});
  bind.contexts.push_back({3, TestInterfaceId(), {kUnknownTransfer}});
  bind.contexts.push_back({4, TestInterfaceId(), {Negotiation(0x03)}});
  bind.contexts.push_back({5, TestInterfaceId(), {kNdr64Syntax, kNdr20Syntax}});
  SyntaxIdentifier newerMinor = TestInterfaceId();
  newerMinor.minor = 1;
  bind.contexts.push_back({6, newerMinor, {kNdr20Syntax}});
  ASSERT_TRUE(c.Send(EncodeBind(bind)));
  std::vector<uint8_t> raw = c.Receive();
  ASSERT_FALSE(raw.empty());
  BindAckPdu ack = DecodeBindAck(raw);
  EXPECT_EQ(ack.header.type, kPduBindAck);
  EXPECT_EQ(ack.header.versionMajor, 5);
  EXPECT_EQ(ack.header.versionMinor, 0);
  EXPECT_EQ(ack.header.callId, 0xABCD1234u);
  EXPECT_EQ(ack.header.flags & (kPfcFirstFrag | kPfcLastFrag), kPfcFirstFrag | kPfcLastFrag);
  EXPECT_EQ(ack.maxXmitFrag, 3000);  // what the server sends: at most what the client receives
  EXPECT_EQ(ack.maxRecvFrag, 2000);
  EXPECT_NE(ack.assocGroupId, 0u);
  EXPECT_EQ(ack.secondaryAddress, "TestRpcEndpoint");
  // port_spec "TestRpcEndpoint\0" (16 bytes) from offset 26 ends at 42: results start at 44.
  EXPECT_EQ(raw[44], 7);
  ASSERT_EQ(ack.results.size(), 7u);
  struct Expected {
    uint16_t result, reason;
    bool ndr20;
  } expected[] = {
      {kResultAcceptance, 0, true},
      {kResultProviderRejection, kReasonTransferSyntaxesNotSupported, false},
      {kResultProviderRejection, kReasonAbstractSyntaxNotSupported, false},
      {kResultProviderRejection, kReasonTransferSyntaxesNotSupported, false},
      {kResultNegotiateAck, kFeatureKeepConnectionOnOrphan, false},
      {kResultAcceptance, 0, true},
      {kResultProviderRejection, kReasonAbstractSyntaxNotSupported, false},
  };
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(ack.results[i].result, expected[i].result) << i;
    EXPECT_EQ(ack.results[i].reason, expected[i].reason) << i;
    EXPECT_EQ(SameSyntax(ack.results[i].transferSyntax, kNdr20Syntax), expected[i].ndr20) << i;
  }
  EXPECT_TRUE(SameSyntax(ack.results[4].transferSyntax, SyntaxIdentifier{}));

  // Accepted contexts carry calls; a rejected or never offered one is an unknown interface.
  ContextWire ctx = Open(c);
  ASSERT_FALSE(ctx.IsNull());
  ASSERT_TRUE(c.Send(RequestBytes(9, 2, AddStub(ctx, 2, 3), 5)));
  std::vector<uint8_t> sum = c.Receive();
  ASSERT_EQ(sum[2], kPduResponse);
  EXPECT_EQ(DecodeResponse(sum).stub.size(), 8u);
  EXPECT_EQ(DecodeResponse(sum).contextId, 5);
  ExpectFault(c, RequestBytes(10, 2, AddStub(ctx, 2, 3), 1), 0x1C010003, true);
  ExpectFault(c, RequestBytes(11, 2, AddStub(ctx, 2, 3), 99), 0x1C010003, true);
}

TEST_F(WireTest, FragmentSizesAreTheSmallerOfBothSidesAndAtLeastTheMinimum) {
  struct Case {
    uint16_t xmit, recv;
    bool accepted;
    uint16_t ackXmit, ackRecv;
  } cases[] = {
      {4280, 4280, true, 4280, 4280},
      {65535, 65535, true, kMaxFragSize, kMaxFragSize},
      {1432, 65535, true, kMaxFragSize, 1432},
      {1000, 4280, false, 0, 0},
      {4280, 1431, false, 0, 0},
  };
  for (const auto& k : cases) {
    RawConnection c;
    BindPdu bind = TestBind(3);
    bind.maxXmitFrag = k.xmit;
    bind.maxRecvFrag = k.recv;
    ASSERT_TRUE(c.Send(EncodeBind(bind)));
    std::vector<uint8_t> reply = c.Receive();
    ASSERT_FALSE(reply.empty());
    if (!k.accepted) {
      EXPECT_EQ(reply[2], kPduBindNak) << k.xmit << "/" << k.recv;
      continue;
    }
    BindAckPdu ack = DecodeBindAck(reply);
    EXPECT_EQ(ack.maxXmitFrag, k.ackXmit);
    EXPECT_EQ(ack.maxRecvFrag, k.ackRecv);
  }
}

TEST_F(WireTest, RefusedBindsAreAnsweredWithBindNak) {
  struct Case {
    const char* name;
    std::function<std::vector<uint8_t>()> bytes;
    uint16_t reason;
  } cases[] = {
      {"authenticated bind",
       [] {
         std::vector<uint8_t> b = EncodeBind(TestBind(21));
         // sec_trailer: NTLM (10) at packet privacy, then a 16-byte token.
         std::vector<uint8_t> trailer = {10, 6, 0, 0, 0, 0, 0, 0};
         b.insert(b.end(), trailer.begin(), trailer.end());
         b.insert(b.end(), 16, 0x5A);
         b[8] = static_cast<uint8_t>(b.size());
         b[9] = static_cast<uint8_t>(b.size() >> 8);
         b[10] = 16;
         return b;
       },
       kNakAuthenticationTypeNotRecognized},
      {"protocol version 4",
       [] {
         std::vector<uint8_t> b = EncodeBind(TestBind(22));
         b[0] = 4;
         return b;
       },
       kNakProtocolVersionNotSupported},
      {"unknown association group", [] { return EncodeBind(TestBind(23, 0x5EED)); }, kNakReasonNotSpecified},
  };
  for (const auto& k : cases) {
    RawConnection c;
    std::vector<uint8_t> bytes = k.bytes();
    ASSERT_TRUE(c.Send(bytes));
    std::vector<uint8_t> reply = c.Receive();
    ASSERT_FALSE(reply.empty()) << k.name;
    ASSERT_EQ(reply[2], kPduBindNak) << k.name;
    BindNakPdu nak = DecodeBindNak(reply);
    EXPECT_EQ(nak.reason, k.reason) << k.name;
    EXPECT_EQ(nak.header.callId, ParseHeader(bytes.data()).callId) << k.name;
    ASSERT_EQ(nak.versions.size(), 1u);
    EXPECT_EQ(nak.versions[0], std::make_pair(uint8_t(5), uint8_t(0)));
    EXPECT_TRUE(c.Closed()) << k.name;
  }
  // A second bind on a bound connection is a protocol error.
  RawConnection c;
  BindOk(c, TestBind(1));
  ASSERT_TRUE(c.Send(EncodeBind(TestBind(2))));
  std::vector<uint8_t> reply = c.Receive();
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply[2], kPduBindNak);
  EXPECT_TRUE(c.Closed());
  // A request before any bind is refused and the connection closed.
  RawConnection early;
  ASSERT_TRUE(early.Send(RequestBytes(5, 0, {})));
  reply = early.Receive();
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply[2], kPduFault);
  EXPECT_EQ(DecodeFault(reply).status, 0x1C01000Bu);
  EXPECT_TRUE(early.Closed());
  EXPECT_TRUE(Events().empty());
}

TEST_F(WireTest, AlterContextAddsPresentationContexts) {
  RawConnection c;
  BindOk(c, TestBind(1));
  BindPdu alter = TestBind(2);
  alter.header.type = kPduAlterContext;
  alter.contexts = {{7, TestInterfaceId(), {kNdr20Syntax}}, {8, TestInterfaceId(), {kNdr64Syntax}}};
  ASSERT_TRUE(c.Send(EncodeBind(alter)));
  std::vector<uint8_t> reply = c.Receive();
  ASSERT_FALSE(reply.empty());
  ASSERT_EQ(reply[2], kPduAlterContextResp);
  BindAckPdu resp = DecodeBindAck(reply);
  EXPECT_EQ(resp.header.callId, 2u);
  EXPECT_TRUE(resp.secondaryAddress.empty());
  ASSERT_EQ(resp.results.size(), 2u);
  EXPECT_EQ(resp.results[0].result, kResultAcceptance);
  EXPECT_EQ(resp.results[1].result, kResultProviderRejection);
  ASSERT_TRUE(c.Send(RequestBytes(3, 0, {}, 7)));
  reply = c.Receive();
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply[2], kPduResponse);
  ExpectFault(c, RequestBytes(4, 0, {}, 8), 0x1C010003, true);
}

TEST_F(WireTest, FaultsCarryWindowsStatusesAndDidNotExecute) {
  RawConnection c;
  BindOk(c, TestBind(1));
  ContextWire ctx = Open(c);
  // Opnum out of range.
  ExpectFault(c, RequestBytes(2, 8, {}), 0x1C010002, true);
  ExpectFault(c, RequestBytes(3, 0xFFFF, {}), 0x1C010002, true);
  // Bad stub data: the hypers are missing; a string without its terminator.
  {
    NdrWriter w;
    w.Context(ctx);
    ExpectFault(c, RequestBytes(4, 2, w.Take()), RPC_X_BAD_STUB_DATA, true);
  }
  {
    NdrWriter w;
    w.Context(ctx);
    w.Long(2);
    w.Long(0);
    w.Long(2);
    w.Short('a');
    w.Short('b');
    ExpectFault(c, RequestBytes(5, 5, w.Take()), RPC_X_BAD_STUB_DATA, true);
  }
  // A context nobody opened; a null one.
  ContextWire made;
  made.uuid = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  ExpectFault(c, RequestBytes(6, 2, AddStub(made, 1, 1)), 0x1C00001A, true);
  ExpectFault(c, RequestBytes(7, 2, AddStub(ContextWire{}, 1, 1)), RPC_X_SS_IN_NULL_CONTEXT, true);
  // The routine ran: a failure it raises comes back without the flag.
  ContextWire bogusTicks = ctx;
  {
    NdrWriter w;
    w.Context(bogusTicks);
    w.Hyper(1);
    w.Hyper(5);
    // The callback's answer is a fault: TestTicks raises it on.
    ASSERT_TRUE(c.Send(RequestBytes(8, 3, w.Take())));
    std::vector<uint8_t> callback = c.Receive();
    ASSERT_FALSE(callback.empty());
    ASSERT_EQ(callback[2], kPduRequest);
    FaultPdu answer;
    answer.header.callId = 8;
    answer.header.flags = kPfcFirstFrag | kPfcLastFrag;
    answer.status = RPC_S_CALL_CANCELLED;
    ASSERT_TRUE(c.Send(EncodeFault(answer)));
    std::vector<uint8_t> fault = c.Receive();
    ASSERT_FALSE(fault.empty());
    ASSERT_EQ(fault[2], kPduFault);
    EXPECT_EQ(DecodeFault(fault).status, 0x1C00000Du);
    EXPECT_FALSE(DecodeFault(fault).header.flags & kPfcDidNotExecute);
  }
  // None of the refused calls reached a routine; the connection still serves.
  EXPECT_EQ(CountEvents("add"), 0u);
  EXPECT_EQ(CountEvents("settext"), 0u);
  ASSERT_TRUE(c.Send(RequestBytes(9, 2, AddStub(ctx, 20, 22))));
  std::vector<uint8_t> reply = c.Receive();
  ASSERT_EQ(reply[2], kPduResponse);
  ResponsePdu r = DecodeResponse(reply);
  NdrReader in(r.stub.data(), r.stub.size());
  EXPECT_EQ(in.Hyper(), 42);
}

TEST_F(WireTest, FragmentsAreReassembledByTheirFlagsAndCallIdsAreEchoed) {
  RawConnection c;
  BindOk(c, TestBind(1));
  ContextWire ctx = Open(c, 0xFFFFFFFF);
  std::wstring text(3000, L'x');
  text[0] = L'A';
  text[2999] = L'Z';
  NdrWriter w;
  w.Context(ctx);
  w.WideString(text.c_str());
  std::vector<uint8_t> stub = w.Take();
  // Three fragments with odd sizes and an alloc_hint that lies: the flags decide.
  size_t cut1 = 1001, cut2 = 4001;
  std::vector<uint8_t> a(stub.begin(), stub.begin() + cut1), b(stub.begin() + cut1, stub.begin() + cut2),
      rest(stub.begin() + cut2, stub.end());
  ASSERT_TRUE(c.Send(RequestBytes(7, 5, a, 0, kPfcFirstFrag)));
  ASSERT_TRUE(c.Send(RequestBytes(7, 5, b, 0, 0)));
  ASSERT_TRUE(c.Send(RequestBytes(7, 5, rest, 0, kPfcLastFrag)));
  std::vector<uint8_t> reply = c.Receive();
  ASSERT_FALSE(reply.empty());
  ASSERT_EQ(reply[2], kPduResponse);
  EXPECT_EQ(ParseHeader(reply.data()).callId, 7u);
  ASSERT_TRUE(WaitFor([&] { return CountEvents("settext") == 1; }));

  // The answer to GetText outgrows one fragment of max_xmit: it comes in several.
  NdrWriter g;
  g.Context(ctx);
  ASSERT_TRUE(c.Send(RequestBytes(3, 4, g.Take())));
  std::vector<uint8_t> joined;
  for (bool last = false; !last;) {
    std::vector<uint8_t> f = c.Receive();
    ASSERT_FALSE(f.empty());
    ASSERT_EQ(f[2], kPduResponse);
    EXPECT_LE(f.size(), 4280u);
    EXPECT_EQ(ParseHeader(f.data()).callId, 3u);
    ResponsePdu r = DecodeResponse(f);
    EXPECT_EQ(r.allocHint, 16u + 2 * 3000 - joined.size());
    joined.insert(joined.end(), r.stub.begin(), r.stub.end());
    last = f[3] & kPfcLastFrag;
  }
  NdrReader in(joined.data(), joined.size());
  BSTR back = in.Bstr();
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(std::wstring(back, SysStringLen(back)), text);
  SysFreeString(back);
}

TEST_F(WireTest, InterleavedCallsAreRefused) {
  {
    RawConnection c;
    BindOk(c, TestBind(1));
    ContextWire ctx = Open(c);
    ASSERT_TRUE(c.Send(RequestBytes(10, 2, AddStub(ctx, 1, 2), 0, kPfcFirstFrag)));
    ASSERT_TRUE(c.Send(RequestBytes(11, 2, AddStub(ctx, 3, 4))));
    std::vector<uint8_t> reply = c.Receive();
    ASSERT_FALSE(reply.empty());
    ASSERT_EQ(reply[2], kPduFault);
    EXPECT_EQ(DecodeFault(reply).status, 0x1C01000Bu);
    EXPECT_EQ(ParseHeader(reply.data()).callId, 11u);
    EXPECT_TRUE(c.Closed());
  }
  {
    // A middle fragment of a call that never began.
    RawConnection c;
    BindOk(c, TestBind(1));
    ASSERT_TRUE(c.Send(RequestBytes(12, 2, {1, 2, 3}, 0, kPfcLastFrag)));
    std::vector<uint8_t> reply = c.Receive();
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[2], kPduFault);
    EXPECT_TRUE(c.Closed());
  }
  EXPECT_EQ(CountEvents("add"), 0u);
  // Other connections are served as before.
  RawConnection fresh;
  BindOk(fresh, TestBind(1));
  EXPECT_FALSE(Open(fresh).IsNull());
}

TEST_F(WireTest, StubAlignmentCountsFromTheStubEvenAfterAnObjectUuid) {
  RawConnection c;
  BindOk(c, TestBind(1));
  ContextWire ctx = Open(c);
  RequestPdu req;
  req.header.callId = 5;
  req.header.flags = kPfcFirstFrag | kPfcLastFrag;
  req.opnum = 2;
  req.object = GUID{0xAAAAAAAA, 0xBBBB, 0xCCCC, {1, 2, 3, 4, 5, 6, 7, 8}};
  req.stub = AddStub(ctx, 1000, 337);
  ASSERT_TRUE(c.Send(EncodeRequest(req)));
  std::vector<uint8_t> reply = c.Receive();
  ASSERT_EQ(reply[2], kPduResponse);
  ResponsePdu r = DecodeResponse(reply);
  NdrReader in(r.stub.data(), r.stub.size());
  EXPECT_EQ(in.Hyper(), 1337);

  // A big-endian client: header and stub data most significant byte first.
  std::vector<uint8_t> stub = AddStub(ctx, 0, 0);
  std::vector<uint8_t> big(stub.begin(), stub.begin() + 20);
  // The context handle's integers turned around; then padding to 8 and two big-endian hypers.
  auto swap = [&big](size_t at, size_t n) { std::reverse(big.begin() + at, big.begin() + at + n); };
  swap(0, 4);
  swap(4, 4);
  swap(8, 2);
  swap(10, 2);
  big.resize(24, 0);
  for (int64_t v : {INT64_C(5), INT64_C(-3)}) {
    for (int i = 7; i >= 0; --i) big.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
  }
  std::vector<uint8_t> bytes = RequestBytes(6, 2, big);
  bytes[4] = 0x00;
  std::swap(bytes[8], bytes[9]);      // frag_length
  std::swap(bytes[12], bytes[15]);    // call_id
  std::swap(bytes[13], bytes[14]);
  std::swap(bytes[16], bytes[19]);    // alloc_hint
  std::swap(bytes[17], bytes[18]);
  std::swap(bytes[20], bytes[21]);    // p_cont_id
  std::swap(bytes[22], bytes[23]);    // opnum
  ASSERT_TRUE(c.Send(bytes));
  reply = c.Receive();
  ASSERT_FALSE(reply.empty());
  ASSERT_EQ(reply[2], kPduResponse);
  EXPECT_EQ(ParseHeader(reply.data()).callId, 6u);
  r = DecodeResponse(reply);
  NdrReader sum(r.stub.data(), r.stub.size());
  EXPECT_EQ(sum.Hyper(), 2);
}

TEST_F(WireTest, OversizedRequestsAreRefusedAndTheConnectionGoesOn) {
  RawConnection c;
  BindOk(c, TestBind(1));
  ContextWire ctx = Open(c);
  std::vector<uint8_t> chunk(4200, 0x41);
  ASSERT_TRUE(c.Send(RequestBytes(20, 5, chunk, 0, kPfcFirstFrag)));
  for (int i = 0; i < 1100; ++i) ASSERT_TRUE(c.Send(RequestBytes(20, 5, chunk, 0, 0)));
  ASSERT_TRUE(c.Send(RequestBytes(20, 5, chunk, 0, kPfcLastFrag)));
  std::vector<uint8_t> reply = c.Receive();
  ASSERT_FALSE(reply.empty());
  ASSERT_EQ(reply[2], kPduFault);
  EXPECT_EQ(DecodeFault(reply).status, uint32_t(RPC_S_ACCESS_DENIED));
  EXPECT_TRUE(DecodeFault(reply).header.flags & kPfcDidNotExecute);
  ASSERT_TRUE(c.Send(RequestBytes(21, 2, AddStub(ctx, 1, 1))));
  reply = c.Receive();
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(reply[2], kPduResponse);
}

}  // namespace
}  // namespace winsim::test
