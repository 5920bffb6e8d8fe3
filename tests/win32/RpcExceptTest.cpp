// The RPC exception macros that guard RPC calls (RpcTryExcept, RpcExcept, RpcEndExcept,
// RpcExceptionCode) as product code uses them: on Windows structured exception handling (through a
// guard function where the compiler has none, common/Portability.h), on winsim C++ exceptions.
// Both must agree on what the filter sees, which guard handles, and what the handler reads.
#include "Win32Test.h"

#include <rpc.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/Portability.h"

namespace torvex::test {
namespace {

class RpcExceptTest : public Win32Test {};

struct Outcome {
  bool bodyFinished = false;
  bool innerHandled = false;
  unsigned long innerCode = 0;
  unsigned long innerFilterSaw = 0;
  bool outerHandled = false;
  unsigned long outerCode = 0;
};

// An inner guard that handles only `innerAccepts` (or what I_RpcExceptionFilter lets it, when
// `useRpcFilter`), inside an outer guard that handles everything.
Outcome RaiseInNestedGuards(unsigned long raise, unsigned long innerAccepts, bool useRpcFilter) {
  Outcome o;
  RpcTryExcept {
    RpcTryExcept {
      if (raise != 0) RpcRaiseException(static_cast<RPC_STATUS>(raise));
      o.bodyFinished = true;
    }
    RpcExcept((o.innerFilterSaw = RpcExceptionCode(),
               useRpcFilter ? I_RpcExceptionFilter(RpcExceptionCode())
                            : (RpcExceptionCode() == innerAccepts ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH))) {
      o.innerHandled = true;
      o.innerCode = RpcExceptionCode();
    }
    RpcEndExcept;
  }
  RpcExcept(EXCEPTION_EXECUTE_HANDLER) {
    o.outerHandled = true;
    o.outerCode = RpcExceptionCode();
  }
  RpcEndExcept;
  return o;
}

TEST_F(RpcExceptTest, TheInnermostGuardWhoseFilterAcceptsHandles) {
  const struct {
    unsigned long raise;
    unsigned long innerAccepts;
    bool useRpcFilter;
    bool bodyFinished, innerHandled, outerHandled;
  } cases[] = {
      {0, RPC_S_CALL_FAILED, false, true, false, false},
      {RPC_S_CALL_FAILED, RPC_S_CALL_FAILED, false, false, true, false},
      {ERROR_ACCESS_DENIED, RPC_S_CALL_FAILED, false, false, false, true},
      {0x5EA1, 0x5EA1, false, false, true, false},
      // What the service's routines and Utility.exe use: RPC failures are handled ...
      {RPC_X_SS_IN_NULL_CONTEXT, 0, true, false, true, false},
      {1702, 0, true, false, true, false},
      // ... but not the exceptions of a broken program, which go on to the next guard.
      {0xC0000005, 0, true, false, false, true},
      {0x80000003, 0, true, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "raise 0x" << std::hex << c.raise);
    Outcome o = RaiseInNestedGuards(c.raise, c.innerAccepts, c.useRpcFilter);
    EXPECT_EQ(o.bodyFinished, c.bodyFinished);
    EXPECT_EQ(o.innerHandled, c.innerHandled);
    EXPECT_EQ(o.outerHandled, c.outerHandled);
    // The filter saw the code whenever something was raised, and each handler reads it.
    EXPECT_EQ(o.innerFilterSaw, c.raise);
    EXPECT_EQ(o.innerCode, c.innerHandled ? c.raise : 0);
    EXPECT_EQ(o.outerCode, c.outerHandled ? c.raise : 0);
  }
}

TEST_F(RpcExceptTest, GuardsWorkAgainAfterOneLetAnExceptionPassAndInsideAHandler) {
  // An exception that passed an inner guard does not leave that guard asked for the next one.
  Outcome passed = RaiseInNestedGuards(ERROR_ACCESS_DENIED, RPC_S_CALL_FAILED, false);
  ASSERT_TRUE(passed.outerHandled);
  unsigned long later = 0;
  RpcTryExcept { RpcRaiseException(RPC_S_SERVER_UNAVAILABLE); }
  RpcExcept(RpcExceptionCode() == RPC_S_SERVER_UNAVAILABLE) { later = RpcExceptionCode(); }
  RpcEndExcept;
  EXPECT_EQ(later, static_cast<unsigned long>(RPC_S_SERVER_UNAVAILABLE));

  // A guarded call in a handler, as a client makes when it reports a fault over RPC; the
  // handler's code is its own again after it.
  unsigned long outer = 0, inner = 0, outerAfter = 0;
  RpcTryExcept { RpcRaiseException(RPC_S_CALL_FAILED); }
  RpcExcept(EXCEPTION_EXECUTE_HANDLER) {
    outer = RpcExceptionCode();
    RpcTryExcept { RpcRaiseException(RPC_X_SS_CONTEXT_MISMATCH); }
    RpcExcept(EXCEPTION_EXECUTE_HANDLER) { inner = RpcExceptionCode(); }
    RpcEndExcept;
    outerAfter = RpcExceptionCode();
  }
  RpcEndExcept;
  EXPECT_EQ(outer, static_cast<unsigned long>(RPC_S_CALL_FAILED));
  EXPECT_EQ(inner, static_cast<unsigned long>(RPC_X_SS_CONTEXT_MISMATCH));
  EXPECT_EQ(outerAfter, static_cast<unsigned long>(RPC_S_CALL_FAILED));
}

TEST_F(RpcExceptTest, EachThreadsGuardsSeeTheirOwnExceptions) {
  // Threads raise and catch at once; every handler must read the code its own thread raised.
  std::atomic<int> wrong{0};
  std::atomic<int> handled{0};
  std::vector<std::thread> threads;
  for (unsigned long t = 1; t <= 4; ++t) {
    threads.emplace_back([t, &wrong, &handled] {
      for (unsigned long i = 0; i < 500; ++i) {
        unsigned long code = (t << 16) | i;
        unsigned long seen = 0;
        RpcTryExcept {
          RpcTryExcept { RpcRaiseException(static_cast<RPC_STATUS>(code)); }
          RpcExcept(RpcExceptionCode() == code + 1) { wrong++; }
          RpcEndExcept;
        }
        RpcExcept(RpcExceptionCode() == code) { seen = RpcExceptionCode(); }
        RpcEndExcept;
        if (seen == code) handled++; else wrong++;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(handled.load(), 4 * 500);
}

}  // namespace
}  // namespace torvex::test
