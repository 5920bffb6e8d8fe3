// The endpoint's set-up and the manager routines in the test process: clamping, the refusals of
// the set-up, a failed open that leaves nothing behind, and routines called outside an RPC call
// (where the callback and the caller's identity are not to be had).
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

#include "MachineTest.h"
#include "UtilityServiceRpc.h"
#include "core/fault.h"
#include "rpc/RpcProcedures.h"
#include "rpc/RpcServer.h"
#include "security/capability.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const std::wstring kCapabilityName = L"R3185527.TorvexUtility_7mvd2kx9qhe3b";

// Runs a manager routine; the code of the RPC exception it raised, or 0.
template <class Call>
DWORD Raised(Call call) {
  try {
    call();
  } catch (const winsim::RpcException& e) {
    return e.code;
  }
  return 0;
}

class RpcProceduresTest : public MachineTest {
 protected:
  void TearDown() override {
    ClearFaults();
    MachineTest::TearDown();
  }
  UTILITY_CONTEXT_HANDLE Open() {
    UTILITY_CONTEXT_HANDLE h = nullptr;
    EXPECT_EQ(Raised([&] { OpenRpcEndpoint(nullptr, &h); }), 0u);
    EXPECT_NE(h, nullptr);
    return h;
  }
};

TEST(MeteringPeriodTest, PeriodsAreClampedIntoOneToOneThousand) {
  const struct {
    LONGLONG in;
    LONGLONG out;
  } rows[] = {{LLONG_MIN, 1}, {-5, 1}, {0, 1}, {1, 1}, {2, 2}, {999, 999}, {1000, 1000}, {1001, 1000},
              {2000, 1000}, {5000, 1000}, {LLONG_MAX, 1000}};
  for (const auto& row : rows) EXPECT_EQ(ClampMeteringPeriod(row.in), row.out) << row.in;
}

// No SID or more than one for the app's capability name: 87 before anything is registered.
TEST_F(RpcProceduresTest, CapabilityCountsOtherThanOneRefuseTheSetUp) {
  for (uint32_t count : {0u, 2u, 3u}) {
    security::SetShapedCapabilityCount(kCapabilityName, count);
    EXPECT_EQ(RpcServerConnect(), static_cast<RPC_STATUS>(ERROR_INVALID_PARAMETER)) << count;
    EXPECT_FALSE(fs::exists(Machine() + "/run/rpc/TorvexUtilityService_RpcEndpoint"));
    EXPECT_EQ(g_pRpcBindingVector, nullptr);
  }
  // A failing derivation gives its own error.
  security::SetShapedCapabilityCount(kCapabilityName, std::nullopt);
  InjectFault("DeriveCapabilitySidsFromName", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(RpcServerConnect(), static_cast<RPC_STATUS>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_FALSE(fs::exists(Machine() + "/run/rpc/TorvexUtilityService_RpcEndpoint"));
}

// A stop that comes before the set-up: the set-up registers nothing and leaves the stop flag set.
// In a child process, since the teardown is once per process.
TEST_F(RpcProceduresTest, ASetUpAfterTheTeardownRegistersNothing) {
  EXPECT_EXIT(
      {
        RpcServerTeardown();
        bool ok = RpcServerConnect() == RPC_S_OK && g_bRpcServerStopping.load() && g_pRpcBindingVector == nullptr &&
                  !fs::exists(Machine() + "/run/rpc/TorvexUtilityService_RpcEndpoint");
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// An open whose timer or event cannot be made raises that failure and leaves no context.
TEST_F(RpcProceduresTest, AFailedOpenRaisesAndLeavesNothingHalfMade) {
  for (const char* function : {"CreateThreadpoolTimer", "CreateEventW"}) {
    SCOPED_TRACE(function);
    size_t before = LiveMeteringContextCount();
    InjectFault(function, ERROR_NOT_ENOUGH_MEMORY, 1);
    UTILITY_CONTEXT_HANDLE h = nullptr;
    EXPECT_EQ(Raised([&] { OpenRpcEndpoint(nullptr, &h); }), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(LiveMeteringContextCount(), before);
    ClearFaults();
  }
  UTILITY_CONTEXT_HANDLE h = Open();
  CloseRpcEndpoint(&h);
  EXPECT_EQ(h, nullptr);
}

// GetCommend's BSTR: 35 units, the fixed text, the NUL last; a failed allocation gives a null BSTR.
TEST_F(RpcProceduresTest, GetCommendFillsTheBstrOrLeavesItNull) {
  UTILITY_CONTEXT_HANDLE h = Open();
  BSTR text = nullptr;
  ASSERT_EQ(Raised([&] { GetCommend(h, &text); }), 0u);
  ASSERT_NE(text, nullptr);
  ASSERT_EQ(SysStringLen(text), 35u);
  EXPECT_EQ(std::wstring(text, 34), L"rrrrrrrr  GetCommendSvr RpcServer ");
  EXPECT_EQ(text[34], L'\0');
  SysFreeString(text);

  InjectFault("SysAllocStringLen", ERROR_NOT_ENOUGH_MEMORY, 1);
  text = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(Raised([&] { GetCommend(h, &text); }), 0u);
  EXPECT_EQ(text, nullptr);
  CloseRpcEndpoint(&h);
}

// Outside an RPC call there is no client: SetXMLCommend is refused (no caller to admit) and a
// metering loop ends at its first tick with the callback's failure, the context staying usable and
// its loop startable again.
TEST_F(RpcProceduresTest, OutsideACallTheCommandIsRefusedAndTheLoopEndsWithTheCallbackFailure) {
  UTILITY_CONTEXT_HANDLE h = Open();
  EXPECT_EQ(Raised([&] { SetXMLCommend(h, L"notepad.exe"); }), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(Raised([&] { StartMetering(h, 0, 5); }), static_cast<DWORD>(RPC_S_NO_CALL_ACTIVE)) << run;
  }
  size_t live = LiveMeteringContextCount();
  CloseRpcEndpoint(&h);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(LiveMeteringContextCount(), live - 1);
}

// A rundown frees the context like a close; null handles end every routine silently.
TEST_F(RpcProceduresTest, RundownFreesAndNullHandlesAreIgnored) {
  size_t before = LiveMeteringContextCount();
  UTILITY_CONTEXT_HANDLE h = Open();
  EXPECT_EQ(LiveMeteringContextCount(), before + 1);
  UTILITY_CONTEXT_HANDLE_rundown(h);
  EXPECT_EQ(LiveMeteringContextCount(), before);

  EXPECT_EQ(Raised([] {
              OpenRpcEndpoint(nullptr, nullptr);
              CloseRpcEndpoint(nullptr);
              UTILITY_CONTEXT_HANDLE none = nullptr;
              CloseRpcEndpoint(&none);
              StartMetering(nullptr, 1, 1);
              SetMeteringPeriod(nullptr, 1);
              StopMetering(nullptr);
              EndMetering(nullptr);
              BSTR text = nullptr;
              GetCommend(nullptr, &text);
              SetXMLCommend(nullptr, L"x");
              UTILITY_CONTEXT_HANDLE_rundown(nullptr);
            }),
            0u);
  EXPECT_EQ(LiveMeteringContextCount(), before);
}

}  // namespace
}  // namespace winsim::test
