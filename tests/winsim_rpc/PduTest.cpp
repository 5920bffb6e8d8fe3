// The PDU layer: the byte layout of each PDU as C706 and MS-RPCE fix it, decoding in both integer
// orders, rejection of PDUs whose lengths do not fit, and fragmentation.
#include <gtest/gtest.h>

#include <cstring>

#include "rpc/pdu.h"

namespace winsim::rpc {
namespace {

const SyntaxIdentifier kTestIf = {{0x4E9C2B71, 0x3A5D, 0x4F62, {0x8B, 0x1E, 0x7C, 0x0D, 0x95, 0xA3, 0xE2, 0xF4}}, 1, 0};
const SyntaxIdentifier kNegotiation = {{0x6CB71C2C, 0x9812, 0x4540, {0x03, 0, 0, 0, 0, 0, 0, 0}}, 1, 0};

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

BindPdu ThreeContextBind() {
  BindPdu bind;
  bind.header.type = kPduBind;
  bind.header.callId = 7;
  bind.maxXmitFrag = 4280;
  bind.maxRecvFrag = 4280;
  bind.contexts.push_back({0, kTestIf, {kNdr20Syntax}});
  bind.contexts.push_back({1, kTestIf, {kNdr64Syntax}});
  bind.contexts.push_back({2, kTestIf, {kNegotiation}});
  return bind;
}

TEST(PduTest, BindHasTheLayoutOfC706) {
  std::vector<uint8_t> b = EncodeBind(ThreeContextBind());
  // 16 header + 8 + 4 (list header) + 3 * (4 + 20 + 20).
  ASSERT_EQ(b.size(), 16u + 8 + 4 + 3 * 44);
  EXPECT_EQ(b[0], 5);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], kPduBind);
  EXPECT_EQ(b[4], 0x10);
  EXPECT_EQ(Le16(b, 8), b.size());
  EXPECT_EQ(Le16(b, 10), 0);
  EXPECT_EQ(Le32(b, 12), 7u);
  EXPECT_EQ(Le16(b, 16), 4280);
  EXPECT_EQ(Le32(b, 20), 0u);  // assoc_group_id
  EXPECT_EQ(b[24], 3);         // n_context_elem
  EXPECT_EQ(Le16(b, 28), 0);   // first p_cont_id
  EXPECT_EQ(b[30], 1);         // n_transfer_syn
  EXPECT_EQ(Le32(b, 32), 0x4E9C2B71u);
  EXPECT_EQ(Le32(b, 48), 1u);  // if_version: major in the low half
  EXPECT_EQ(Le32(b, 52), 0x8A885D04u);
  EXPECT_EQ(Le32(b, 68), 2u);
  EXPECT_EQ(Le16(b, 72), 1);   // second p_cont_id

  BindPdu back = DecodeBind(b);
  ASSERT_EQ(back.contexts.size(), 3u);
  EXPECT_EQ(back.header.callId, 7u);
  EXPECT_TRUE(SameSyntax(back.contexts[1].transferSyntaxes[0], kNdr64Syntax));
  EXPECT_TRUE(IsFeatureNegotiationSyntax(back.contexts[2].transferSyntaxes[0]));
  EXPECT_FALSE(IsFeatureNegotiationSyntax(back.contexts[0].transferSyntaxes[0]));
}

TEST(PduTest, BindAckPadsTheSecondaryAddressToFourBytesFromThePduStart) {
  for (std::string address : {"", "a", "ab", "abc", "abcd", "TorvexUtilityService_RpcEndpoint"}) {
    BindAckPdu ack;
    ack.header.callId = 3;
    ack.maxXmitFrag = ack.maxRecvFrag = 4280;
    ack.assocGroupId = 0x1234;
    ack.secondaryAddress = address;
    ack.results.push_back({kResultAcceptance, 0, kNdr20Syntax});
    ack.results.push_back({kResultNegotiateAck, kFeatureKeepConnectionOnOrphan, {}});
    std::vector<uint8_t> b = EncodeBindAck(ack);
    size_t addrLength = address.empty() ? 0 : address.size() + 1;
    EXPECT_EQ(Le16(b, 24), addrLength) << address;
    size_t results = 26 + addrLength;
    results = (results + 3) / 4 * 4;
    ASSERT_EQ(b.size(), results + 4 + 2 * 24) << address;
    EXPECT_EQ(b[results], 2) << address;
    EXPECT_EQ(Le16(b, results + 4), kResultAcceptance) << address;
    EXPECT_EQ(Le16(b, results + 28), kResultNegotiateAck) << address;
    EXPECT_EQ(Le16(b, results + 30), kFeatureKeepConnectionOnOrphan) << address;

    BindAckPdu back = DecodeBindAck(b);
    EXPECT_EQ(back.secondaryAddress, address);
    EXPECT_EQ(back.assocGroupId, 0x1234u);
    ASSERT_EQ(back.results.size(), 2u);
    EXPECT_TRUE(SameSyntax(back.results[0].transferSyntax, kNdr20Syntax));
  }
}

TEST(PduTest, RequestWithObjectUuidStartsTheStubAfterIt) {
  RequestPdu req;
  req.header.callId = 99;
  req.header.flags = kPfcFirstFrag | kPfcLastFrag;
  req.contextId = 4;
  req.opnum = 6;
  req.object = kTestIf.uuid;
  req.stub = {1, 2, 3};
  std::vector<uint8_t> b = EncodeRequest(req);
  ASSERT_EQ(b.size(), 40u + 3);
  EXPECT_EQ(b[3], kPfcFirstFrag | kPfcLastFrag | kPfcObjectUuid);
  EXPECT_EQ(Le16(b, 20), 4);
  EXPECT_EQ(Le16(b, 22), 6);
  EXPECT_EQ(Le32(b, 24), 0x4E9C2B71u);
  EXPECT_EQ(b[40], 1);

  RequestPdu back = DecodeRequest(b);
  ASSERT_TRUE(back.object.has_value());
  EXPECT_TRUE(SameGuid(*back.object, kTestIf.uuid));
  EXPECT_EQ(back.stub, req.stub);
  EXPECT_EQ(back.opnum, 6);
}

TEST(PduTest, FaultIsThirtyTwoBytesWithTheStatusAtTwentyFour) {
  FaultPdu f;
  f.header.callId = 5;
  f.header.flags = kPfcFirstFrag | kPfcLastFrag | kPfcDidNotExecute;
  f.contextId = 1;
  f.status = 0x1C010002;
  std::vector<uint8_t> b = EncodeFault(f);
  ASSERT_EQ(b.size(), kFaultSize);
  EXPECT_EQ(b[2], kPduFault);
  EXPECT_EQ(Le32(b, 24), 0x1C010002u);
  EXPECT_EQ(DecodeFault(b).status, 0x1C010002u);
}

TEST(PduTest, BigEndianPdusAreReadInTheirOrder) {
  // A bind from a big-endian client: drep 0x00, every integer most significant byte first.
  std::vector<uint8_t> b = {5, 0, kPduBind, 3, 0x00, 0, 0, 0, 0, 72, 0, 0, 0, 0, 0, 9,
                            0x10, 0x00, 0x10, 0x00, 0, 0, 0, 0, 1, 0, 0, 0,
                            0, 5, 1, 0};
  auto syntax = [&b](const SyntaxIdentifier& s) {
    uint8_t raw[20];
    raw[0] = uint8_t(s.uuid.Data1 >> 24);
    raw[1] = uint8_t(s.uuid.Data1 >> 16);
    raw[2] = uint8_t(s.uuid.Data1 >> 8);
    raw[3] = uint8_t(s.uuid.Data1);
    raw[4] = uint8_t(s.uuid.Data2 >> 8);
    raw[5] = uint8_t(s.uuid.Data2);
    raw[6] = uint8_t(s.uuid.Data3 >> 8);
    raw[7] = uint8_t(s.uuid.Data3);
    std::memcpy(raw + 8, s.uuid.Data4, 8);
    uint32_t version = s.major | uint32_t(s.minor) << 16;
    raw[16] = uint8_t(version >> 24);
    raw[17] = uint8_t(version >> 16);
    raw[18] = uint8_t(version >> 8);
    raw[19] = uint8_t(version);
    b.insert(b.end(), raw, raw + 20);
  };
  syntax(kTestIf);
  syntax(kNdr20Syntax);
  ASSERT_EQ(b.size(), 72u);
  BindPdu bind = DecodeBind(b);
  EXPECT_EQ(bind.header.callId, 9u);
  EXPECT_EQ(bind.maxXmitFrag, 0x1000);
  ASSERT_EQ(bind.contexts.size(), 1u);
  EXPECT_EQ(bind.contexts[0].contextId, 5);
  EXPECT_TRUE(SameSyntax(bind.contexts[0].abstractSyntax, kTestIf));
  EXPECT_TRUE(SameSyntax(bind.contexts[0].transferSyntaxes[0], kNdr20Syntax));
}

TEST(PduTest, PdusWhoseLengthsDoNotFitAreRejected) {
  std::vector<uint8_t> good = EncodeBind(ThreeContextBind());
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<Case> cases;
  cases.push_back({"truncated header", std::vector<uint8_t>(good.begin(), good.begin() + 10)});
  {
    auto b = good;
    b[8] = static_cast<uint8_t>(b.size() + 4);
    cases.push_back({"frag_length beyond the data", b});
  }
  {
    auto b = std::vector<uint8_t>(good.begin(), good.end() - 20);
    b[8] = static_cast<uint8_t>(b.size());
    cases.push_back({"context list cut short", b});
  }
  {
    auto b = good;
    b[24] = 200;
    cases.push_back({"huge n_context_elem", b});
  }
  {
    auto b = good;
    b[30] = 255;
    cases.push_back({"huge n_transfer_syn", b});
  }
  {
    auto b = good;
    b[10] = 0xF0;
    cases.push_back({"auth_length beyond the PDU", b});
  }
  for (const auto& c : cases) EXPECT_THROW(DecodeBind(c.bytes), PduFormatError) << c.name;

  RequestPdu req;
  req.header.flags = kPfcFirstFrag | kPfcLastFrag | kPfcObjectUuid;
  req.stub = {};
  std::vector<uint8_t> r = EncodeRequest(req);
  r.resize(30);  // the object UUID flag set, the UUID missing
  r[8] = 30;
  r[3] = kPfcFirstFrag | kPfcLastFrag | kPfcObjectUuid;
  EXPECT_THROW(DecodeRequest(r), PduFormatError);
  std::vector<uint8_t> shortFault = EncodeFault(FaultPdu{});
  shortFault.resize(20);
  shortFault[8] = 20;
  EXPECT_THROW(DecodeFault(shortFault), PduFormatError);
}

TEST(PduTest, StubDataIsSplitIntoFragmentsAndReassembles) {
  ResponsePdu resp;
  resp.header.callId = 11;
  resp.contextId = 2;
  resp.stub.resize(10000);
  for (size_t i = 0; i < resp.stub.size(); ++i) resp.stub[i] = static_cast<uint8_t>(i * 7);
  auto fragments = FragmentResponse(resp, kMinFragSize);
  ASSERT_GT(fragments.size(), 1u);
  std::vector<uint8_t> joined;
  for (size_t i = 0; i < fragments.size(); ++i) {
    const auto& f = fragments[i];
    EXPECT_LE(f.size(), kMinFragSize);
    ResponsePdu p = DecodeResponse(f);
    EXPECT_EQ(p.header.callId, 11u);
    EXPECT_EQ(bool(p.header.flags & kPfcFirstFrag), i == 0);
    EXPECT_EQ(bool(p.header.flags & kPfcLastFrag), i + 1 == fragments.size());
    if (i + 1 < fragments.size()) {
      EXPECT_EQ(p.stub.size() % 8, 0u);
    }
    EXPECT_EQ(p.allocHint, resp.stub.size() - joined.size());
    joined.insert(joined.end(), p.stub.begin(), p.stub.end());
  }
  EXPECT_EQ(joined, resp.stub);

  // Empty stub data still makes one fragment, first and last.
  RequestPdu empty;
  auto one = FragmentRequest(empty, kMinFragSize);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0][3] & (kPfcFirstFrag | kPfcLastFrag), kPfcFirstFrag | kPfcLastFrag);
}

}  // namespace
}  // namespace winsim::rpc
