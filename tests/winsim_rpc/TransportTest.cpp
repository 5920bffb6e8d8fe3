// The transport's fragment reader: whatever way the bytes of a connection arrive (several fragments
// in one write, one fragment a byte at a time), each read gives exactly one whole fragment, keeps
// the bytes of the next one, and tells a clean close from a connection cut inside a fragment.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "rpc/pdu.h"
#include "rpc/transport.h"

namespace winsim::rpc {
namespace {

std::vector<uint8_t> RequestFragment(uint32_t callId, size_t stubBytes) {
  RequestPdu pdu;
  pdu.header.callId = callId;
  pdu.header.flags = kPfcFirstFrag | kPfcLastFrag;
  pdu.opnum = static_cast<uint16_t>(callId);
  for (size_t i = 0; i < stubBytes; ++i) pdu.stub.push_back(static_cast<uint8_t>(callId * 31 + i));
  return EncodeRequest(pdu);
}

class SocketPair {
 public:
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds), 0); }
  ~SocketPair() {
    for (int fd : m_fds) {
      if (fd >= 0) close(fd);
    }
  }
  int Reader() const { return m_fds[0]; }
  void Write(const std::vector<uint8_t>& bytes, size_t count) {
    ASSERT_EQ(write(m_fds[1], bytes.data(), count), static_cast<ssize_t>(count));
  }
  void Write(const std::vector<uint8_t>& bytes) { Write(bytes, bytes.size()); }
  void CloseWriter() {
    close(m_fds[1]);
    m_fds[1] = -1;
  }

 private:
  int m_fds[2] = {-1, -1};
};

TEST(FragmentReaderTest, SeveralFragmentsInOneWriteComeBackOneByOne) {
  SocketPair pair;
  // A small one, one larger than a recv's first helping, and a bare header's worth of stub.
  std::vector<std::vector<uint8_t>> sent = {RequestFragment(1, 28), RequestFragment(2, 5000), RequestFragment(3, 0)};
  std::vector<uint8_t> stream;
  for (const auto& f : sent) stream.insert(stream.end(), f.begin(), f.end());
  // Well within the socket's buffer: all of it is there before the first read.
  pair.Write(stream);
  pair.CloseWriter();
  FragmentReader reader(pair.Reader());
  std::vector<uint8_t> fragment;
  for (const auto& expected : sent) {
    ASSERT_EQ(reader.Read(kMaxFragSize, &fragment), ReadStatus::Ok);
    EXPECT_EQ(fragment, expected);
    EXPECT_EQ(DecodeRequest(fragment).header.callId, ParseHeader(expected.data()).callId);
  }
  EXPECT_EQ(reader.Read(kMaxFragSize, &fragment), ReadStatus::Closed);
}

TEST(FragmentReaderTest, AFragmentArrivingByteByByteIsReadWhole) {
  SocketPair pair;
  std::vector<uint8_t> sent = RequestFragment(9, 300);
  std::vector<uint8_t> second = RequestFragment(10, 4);
  std::thread writer([&] {
    for (uint8_t b : sent) {
      pair.Write(std::vector<uint8_t>{b});
      if (b % 16 == 0) std::this_thread::yield();
    }
    pair.Write(second);
  });
  FragmentReader reader(pair.Reader());
  std::vector<uint8_t> fragment, fragment2;
  ReadStatus first = reader.Read(kMaxFragSize, &fragment);
  ReadStatus next = first == ReadStatus::Ok ? reader.Read(kMaxFragSize, &fragment2) : first;
  writer.join();
  ASSERT_EQ(first, ReadStatus::Ok);
  EXPECT_EQ(fragment, sent);
  ASSERT_EQ(next, ReadStatus::Ok);
  EXPECT_EQ(fragment2, second);
}

TEST(FragmentReaderTest, EndingsAndBadLengths) {
  std::vector<uint8_t> whole = RequestFragment(4, 100);
  std::vector<uint8_t> tooShort = whole;
  tooShort[8] = 8;  // frag_length below the header's own size
  tooShort[9] = 0;
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t count;
    size_t maxFragment;
    ReadStatus expected;
  } cases[] = {
      {"closed before any byte", whole, 0, kMaxFragSize, ReadStatus::Closed},
      {"closed inside the header", whole, 5, kMaxFragSize, ReadStatus::Malformed},
      {"closed inside the body", whole, whole.size() - 1, kMaxFragSize, ReadStatus::Malformed},
      {"frag_length below the header", tooShort, tooShort.size(), kMaxFragSize, ReadStatus::Malformed},
      {"frag_length above the limit", whole, whole.size(), whole.size() - 1, ReadStatus::Malformed},
      {"exactly the limit", whole, whole.size(), whole.size(), ReadStatus::Ok},
  };
  for (const auto& c : cases) {
    SocketPair pair;
    pair.Write(c.bytes, c.count);
    pair.CloseWriter();
    FragmentReader reader(pair.Reader());
    std::vector<uint8_t> fragment;
    EXPECT_EQ(reader.Read(c.maxFragment, &fragment), c.expected) << c.name;
  }
}

TEST(FragmentReaderTest, AWholeFragmentThenACutOneBehindIt) {
  SocketPair pair;
  std::vector<uint8_t> first = RequestFragment(5, 40), second = RequestFragment(6, 40);
  std::vector<uint8_t> stream = first;
  stream.insert(stream.end(), second.begin(), second.begin() + 20);
  pair.Write(stream);
  pair.CloseWriter();
  FragmentReader reader(pair.Reader());
  std::vector<uint8_t> fragment;
  ASSERT_EQ(reader.Read(kMaxFragSize, &fragment), ReadStatus::Ok);
  EXPECT_EQ(fragment, first);
  EXPECT_EQ(reader.Read(kMaxFragSize, &fragment), ReadStatus::Malformed);
}

}  // namespace
}  // namespace winsim::rpc
