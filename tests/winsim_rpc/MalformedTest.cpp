// A corpus of malformed PDUs: truncated headers, lengths that lie, bad fragment flags, huge counts,
// PDUs a client must not send, and mutations of valid ones. Each goes to a connection of its own;
// the server must answer or close that connection, never hang or fall, and go on serving others.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "RpcFixture.h"

namespace winsim::test {
namespace {

using namespace rpc;

class MalformedTest : public RpcTest {
 protected:
  void SetUp() override {
    RpcTest::SetUp();
    Serve();
    // A mutated request may name TestWait: let it return at once.
    testrpc::ReleaseAllGates();
  }

  // Sends the bytes (after a valid bind when asked), ends the sending side, and reads whatever
  // comes back until the server closes. False when the server neither answered nor closed in time.
  bool Deliver(const std::vector<uint8_t>& bytes, bool bindFirst, std::vector<std::vector<uint8_t>>* replies = nullptr) {
    KeepAsSeed(bytes, bindFirst);
    RawConnection c;
    if (bindFirst) {
      if (!c.Send(EncodeBind(TestBind(1)))) return false;
      std::vector<uint8_t> ack = c.Receive();
      if (ack.empty() || ack[2] != kPduBindAck) return false;
    }
    c.Send(bytes);
    shutdown(c.Fd(), SHUT_WR);
    for (;;) {
      pollfd p{c.Fd(), POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return false;
      std::vector<uint8_t> f;
      if (ReadFragment(c.Fd(), 65535, &f) != ReadStatus::Ok) return true;
      if (replies) replies->push_back(f);
    }
  }

  // A whole valid call on a new connection.
  void ExpectStillServing(const std::string& after) {
    RPC_BINDING_HANDLE b = Bind();
    TEST_CONTEXT ctx = nullptr;
    int64_t sum = 0;
    EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u) << after;
    EXPECT_EQ(StatusOf([&] { Client_TestAdd(ctx, 1, 2, &sum); }), 0u) << after;
    EXPECT_EQ(sum, 3) << after;
    EXPECT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u) << after;
  }

  // With WINSIM_RPC_SEED_DIR set, every byte stream sent (after the bind it follows, as the
  // connection carries it) is also written there, one file each: the decoding fuzz target's seeds.
  static void KeepAsSeed(const std::vector<uint8_t>& bytes, bool bindFirst) {
    const char* dir = std::getenv("WINSIM_RPC_SEED_DIR");
    if (!dir || !*dir) return;
    static int count = 0;
    std::vector<uint8_t> stream;
    if (bindFirst) stream = EncodeBind(TestBind(1));
    stream.insert(stream.end(), bytes.begin(), bytes.end());
    std::string name = std::string(dir) + "/malformed-" + std::to_string(getpid()) + "-" + std::to_string(count++);
    std::ofstream(name, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()),
                                                static_cast<std::streamsize>(stream.size()));
  }

  static std::vector<uint8_t> WithLength(std::vector<uint8_t> b, size_t fragLength) {
    b[8] = static_cast<uint8_t>(fragLength);
    b[9] = static_cast<uint8_t>(fragLength >> 8);
    return b;
  }
};

std::vector<uint8_t> Truncate(std::vector<uint8_t> b, size_t n) {
  b.resize(n);
  return b;
}

TEST_F(MalformedTest, HandWrittenCorpus) {
  std::vector<uint8_t> bind = EncodeBind(TestBind(1));
  NdrWriter addStub;
  addStub.Context(ContextWire{});
  addStub.Hyper(1);
  addStub.Hyper(2);
  std::vector<uint8_t> request = RequestBytes(2, 2, addStub.Take());
  NdrWriter hugeString;
  hugeString.Context(ContextWire{0, {1, 2, 3, {4}}});
  hugeString.Long(0xFFFFFFFF);
  hugeString.Long(0);
  hugeString.Long(0xFFFFFFFF);
  hugeString.Short('a');

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool bindFirst;
  };
  std::vector<Case> cases = {
      {"ten bytes of a header", Truncate(bind, 10), false},
      {"frag_length below the header", WithLength(bind, 8), false},
      {"frag_length zero", WithLength(bind, 0), false},
      {"frag_length far beyond the data", WithLength(bind, 0xFFFF), false},
      {"frag_length a little beyond the data", WithLength(bind, bind.size() + 3), false},
      {"bind cut inside its context list", WithLength(Truncate(bind, bind.size() - 7), bind.size() - 7), false},
      {"bind claiming 255 contexts",
       [&] {
         auto b = bind;
         b[24] = 255;
         return b;
       }(),
       false},
      {"bind claiming 255 transfer syntaxes",
       [&] {
         auto b = bind;
         b[30] = 255;
         return b;
       }(),
       false},
      {"bind with auth_length beyond the PDU",
       [&] {
         auto b = bind;
         b[10] = 0xFF;
         b[11] = 0xFF;
         return b;
       }(),
       false},
      {"bind of protocol 9.9",
       [&] {
         auto b = bind;
         b[0] = 9;
         b[1] = 9;
         return b;
       }(),
       false},
      {"unknown PDU type first", [&] {
         auto b = bind;
         b[2] = 99;
         return b;
       }(), false},
      {"bind_ack from a client", [&] {
         auto b = bind;
         b[2] = kPduBindAck;
         return b;
       }(), false},
      {"request without first or last flag", RequestBytes(2, 2, {1, 2, 3, 4}, 0, 0), true},
      {"request shorter than its fixed part", WithLength(Truncate(request, 20), 20), true},
      {"request with an object UUID flag and no UUID",
       [&] {
         auto b = Truncate(request, 30);
         b[3] |= kPfcObjectUuid;
         return WithLength(b, 30);
       }(),
       true},
      {"request with auth_length", [&] {
         auto b = request;
         b.insert(b.end(), {10, 6, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4});
         b[10] = 4;
         return WithLength(b, b.size());
       }(), true},
      {"request with a string of 0xFFFFFFFF units", RequestBytes(3, 5, hugeString.Take()), true},
      {"request with a truncated context handle", RequestBytes(3, 2, {1, 2, 3}), true},
      {"alter_context claiming 200 contexts",
       [&] {
         BindPdu alter = TestBind(4);
         alter.header.type = kPduAlterContext;
         auto b = EncodeBind(alter);
         b[24] = 200;
         return b;
       }(),
       true},
      {"auth3 from the client", [&] {
         auto b = bind;
         b[2] = kPduAuth3;
         return b;
       }(), true},
      {"shutdown from the client", [&] {
         auto b = bind;
         b[2] = kPduShutdown;
         return b;
       }(), true},
      {"a fault from the client", EncodeFault(FaultPdu{}), true},
      {"orphaned and cancel, then a valid request",
       [&] {
         auto b = bind;
         b[2] = kPduOrphaned;
         auto c = bind;
         c[2] = kPduCoCancel;
         b.insert(b.end(), c.begin(), c.end());
         auto r = RequestBytes(7, 0, {});
         b.insert(b.end(), r.begin(), r.end());
         return b;
       }(),
       true},
  };
  for (const auto& k : cases) {
    std::vector<std::vector<uint8_t>> replies;
    EXPECT_TRUE(Deliver(k.bytes, k.bindFirst, &replies)) << k.name;
    for (const auto& r : replies) {
      // Whatever the server answers is a well-formed PDU of its own kinds.
      EXPECT_TRUE(r[2] == kPduBindNak || r[2] == kPduFault || r[2] == kPduResponse || r[2] == kPduAlterContextResp)
          << k.name << " got type " << int(r[2]);
    }
  }
  ExpectStillServing("the hand-written corpus");
  // The valid request after the orphaned and cancel PDUs was served.
  EXPECT_GE(CountEvents("open"), 2u);
  EXPECT_EQ(CountEvents("add"), 1u);
}

TEST_F(MalformedTest, MutationsOfValidPdus) {
  // Open a context on a joined group first, so that mutated requests may reach routines too.
  std::mt19937 random(20240517);
  std::vector<uint8_t> bind = EncodeBind(TestBind(1));
  NdrWriter text;
  text.Context(ContextWire{});
  text.WideString(L"some text");
  std::vector<std::vector<uint8_t>> seeds = {
      bind,
      RequestBytes(2, 0, {}),
      RequestBytes(3, 5, text.Take()),
      RequestBytes(4, 2, std::vector<uint8_t>(36, 0), 0, kPfcFirstFrag),
  };
  for (int i = 0; i < 400; ++i) {
    const auto& seed = seeds[i % seeds.size()];
    std::vector<uint8_t> bytes = seed;
    int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f) {
      size_t at = random() % bytes.size();
      bytes[at] = static_cast<uint8_t>(random());
    }
    if (random() % 5 == 0) bytes.resize(random() % bytes.size());
    ASSERT_TRUE(Deliver(bytes, i % seeds.size() != 0)) << "mutation " << i;
  }
  ExpectStillServing("400 mutations");
}

}  // namespace
}  // namespace winsim::test
