// Calls run in parallel across connections, one at a time on a connection, and no more at once than
// the interface's limit.
#include <atomic>

#include "RpcFixture.h"

namespace winsim::test {
namespace {

using namespace rpc;

class ConcurrencyTest : public RpcTest {
 protected:
  // Starts TestWait calls on their own threads (the binding's association opens a connection for
  // each call in progress); collects their statuses.
  void StartWaits(RPC_BINDING_HANDLE b, int count, int64_t gate) {
    for (int i = 0; i < count; ++i) {
      m_threads.emplace_back([this, b, gate] {
        DWORD status = StatusOf([&] { Client_TestWait(b, gate); });
        std::lock_guard<std::mutex> lock(m_lock);
        m_statuses.push_back(status);
      });
    }
  }
  void JoinWaits() {
    for (auto& t : m_threads) t.join();
    m_threads.clear();
  }
  void TearDown() override {
    testrpc::ReleaseAllGates();
    JoinWaits();
    RpcTest::TearDown();
  }
  std::vector<DWORD> Statuses() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_statuses;
  }

 private:
  std::vector<std::thread> m_threads;
  std::mutex m_lock;
  std::vector<DWORD> m_statuses;
};

TEST_F(ConcurrencyTest, CallsOnDifferentConnectionsRunInParallel) {
  Serve();
  RPC_BINDING_HANDLE b = Bind();
  StartWaits(b, 20, 1);
  ASSERT_TRUE(WaitFor([] { return testrpc::WaitingCalls() == 20; })) << testrpc::WaitingCalls();
  testrpc::ReleaseGate(1);
  JoinWaits();
  EXPECT_EQ(Statuses(), std::vector<DWORD>(20, 0));
  EXPECT_EQ(testrpc::MostWaitingCalls(), 20);
}

TEST_F(ConcurrencyTest, TheInterfacesLimitRefusesCallsBeyondIt) {
  Serve(RPC_IF_AUTOLISTEN, 3);
  RPC_BINDING_HANDLE b = Bind();
  StartWaits(b, 3, 1);
  ASSERT_TRUE(WaitFor([] { return testrpc::WaitingCalls() == 3; }));
  // A fourth call at the same time is refused before its routine runs.
  EXPECT_EQ(StatusOf([&] { Client_TestWait(b, 2); }), DWORD(RPC_S_SERVER_TOO_BUSY));
  EXPECT_EQ(CountEvents("wait 2"), 0u);
  testrpc::ReleaseGate(1);
  JoinWaits();
  EXPECT_EQ(Statuses(), std::vector<DWORD>(3, 0));
  EXPECT_EQ(testrpc::MostWaitingCalls(), 3);
  // Once they have returned, calls are admitted again.
  testrpc::ReleaseGate(2);
  EXPECT_EQ(StatusOf([&] { Client_TestWait(b, 2); }), 0u);
}

TEST_F(ConcurrencyTest, TheListenLimitGovernsInterfacesWithoutAutoListen) {
  Serve(RPC_IF_ALLOW_LOCAL_ONLY);
  ASSERT_EQ(RpcServerListen(1, 2, TRUE), RPC_S_OK);
  RPC_BINDING_HANDLE b = Bind();
  StartWaits(b, 2, 1);
  ASSERT_TRUE(WaitFor([] { return testrpc::WaitingCalls() == 2; }));
  EXPECT_EQ(StatusOf([&] { Client_TestWait(b, 1); }), DWORD(RPC_S_SERVER_TOO_BUSY));
  // Stopping lets the admitted calls finish; a waiting listen returns after them.
  ASSERT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    RpcMgmtWaitServerListen();
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  testrpc::ReleaseGate(1);
  waiter.join();
  JoinWaits();
  EXPECT_EQ(Statuses(), std::vector<DWORD>(2, 0));
}

TEST_F(ConcurrencyTest, ACallWaitsForThePreviousCallOnItsConnection) {
  Serve();
  RawConnection c;
  ASSERT_TRUE(c.Send(EncodeBind(TestBind(1))));
  ASSERT_FALSE(c.Receive().empty());
  NdrWriter wait;
  wait.Hyper(9);
  ASSERT_TRUE(c.Send(RequestBytes(10, 6, wait.Take())));
  ASSERT_TRUE(c.Send(RequestBytes(11, 0, {})));
  ASSERT_TRUE(WaitFor([] { return testrpc::WaitingCalls() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CountEvents("open"), 0u);
  testrpc::ReleaseGate(9);
  std::vector<uint8_t> first = c.Receive(), second = c.Receive();
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_EQ(ParseHeader(first.data()).callId, 10u);
  EXPECT_EQ(ParseHeader(second.data()).callId, 11u);
  EXPECT_EQ(Events(), (std::vector<std::string>{"wait 9", "open 1"}));
}

}  // namespace
}  // namespace winsim::test
