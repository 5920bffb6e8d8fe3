// COM on winsim: the apartment rules of CoInitializeEx and CoUninitialize, object creation and its
// failures, the activation manager's IUnknown, and fault injection into them.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "MachineTest.h"
#include "ShellTest.h"
#include "core/fault.h"
#include "objbase.h"
#include "shobjidl.h"
#include "windows.h"

namespace winsim::test {
namespace {

// Runs f on a thread of its own, so that it starts outside every apartment.
template <class F>
void OnFreshThread(F f) {
  std::thread t(f);
  t.join();
}

// What CoCreateInstance of the activation manager answers on this thread.
HRESULT CreateManager(DWORD context = CLSCTX_INPROC_SERVER) {
  void* object = reinterpret_cast<void*>(0x1);
  HRESULT hr = CoCreateInstance(CLSID_ApplicationActivationManager, nullptr, context, IID_IApplicationActivationManager,
                                &object);
  if (SUCCEEDED(hr)) {
    EXPECT_NE(object, nullptr);
    static_cast<IApplicationActivationManager*>(object)->Release();
  } else {
    EXPECT_EQ(object, nullptr) << "a failed creation leaves no stale pointer";
  }
  return hr;
}

struct ApartmentCase {
  const char* name;
  // Steps: "mta", "sta", "sta+noole" (COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE),
  // "sta1" (CoInitialize), "reserved" (a reserved pointer), "badflags", "uninit".
  std::vector<std::string> steps;
  std::vector<HRESULT> results;  // one per step that is not "uninit"
  HRESULT createAfter;           // CoCreateInstance on the thread after the steps
};

class ApartmentTable : public MachineTest, public ::testing::WithParamInterface<ApartmentCase> {};

TEST_P(ApartmentTable, ResultsAndWhetherTheThreadMayCreateObjects) {
  const ApartmentCase& c = GetParam();
  OnFreshThread([&] {
    std::vector<HRESULT> results;
    int reserved = 0;
    for (const auto& step : c.steps) {
      if (step == "mta") results.push_back(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
      if (step == "sta") results.push_back(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
      if (step == "sta+noole") results.push_back(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
      if (step == "sta1") results.push_back(CoInitialize(nullptr));
      if (step == "reserved") results.push_back(CoInitializeEx(&reserved, COINIT_MULTITHREADED));
      if (step == "badflags") results.push_back(CoInitializeEx(nullptr, 0x10));
      if (step == "uninit") CoUninitialize();
    }
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(CreateManager(), c.createAfter);
    // The thread ends here; an apartment it still holds ends with it.
  });
}

INSTANTIATE_TEST_SUITE_P(
    CoInitializeEx, ApartmentTable,
    ::testing::Values(
        ApartmentCase{"Multithreaded", {"mta"}, {S_OK}, S_OK},
        ApartmentCase{"SingleThreaded", {"sta"}, {S_OK}, S_OK},
        ApartmentCase{"CoInitializeIsSingleThreaded", {"sta1", "sta"}, {S_OK, S_FALSE}, S_OK},
        ApartmentCase{"AgainInTheSameModel", {"mta", "mta", "mta"}, {S_OK, S_FALSE, S_FALSE}, S_OK},
        ApartmentCase{"OptionFlagsKeepTheModel", {"sta+noole", "sta"}, {S_OK, S_FALSE}, S_OK},
        ApartmentCase{"MultithreadedThenSingle", {"mta", "sta"}, {S_OK, RPC_E_CHANGED_MODE}, S_OK},
        ApartmentCase{"SingleThenMultithreaded", {"sta", "mta"}, {S_OK, RPC_E_CHANGED_MODE}, S_OK},
        ApartmentCase{"BalancedCallsLeaveTheApartment", {"mta", "mta", "uninit", "uninit"}, {S_OK, S_FALSE},
                      CO_E_NOTINITIALIZED},
        ApartmentCase{"OneCallStillOpen", {"mta", "mta", "uninit"}, {S_OK, S_FALSE}, S_OK},
        ApartmentCase{"ModelFixedUntilTheLastUninitialize", {"mta", "mta", "uninit", "sta"},
                      {S_OK, S_FALSE, RPC_E_CHANGED_MODE}, S_OK},
        ApartmentCase{"ModelFreeAgainAfterIt", {"mta", "uninit", "sta"}, {S_OK, S_OK}, S_OK},
        // A call that failed with RPC_E_CHANGED_MODE is not counted: one CoUninitialize leaves.
        ApartmentCase{"ChangedModeIsNotCounted", {"sta", "mta", "uninit"}, {S_OK, RPC_E_CHANGED_MODE},
                      CO_E_NOTINITIALIZED},
        ApartmentCase{"UninitializeWithoutInitialize", {"uninit", "uninit", "mta"}, {S_OK}, S_OK},
        ApartmentCase{"ReservedPointer", {"reserved"}, {E_INVALIDARG}, CO_E_NOTINITIALIZED},
        ApartmentCase{"UnknownFlags", {"badflags"}, {E_INVALIDARG}, CO_E_NOTINITIALIZED},
        ApartmentCase{"NeverInitialized", {}, {}, CO_E_NOTINITIALIZED}),
    [](const ::testing::TestParamInfo<ApartmentCase>& info) { return std::string(info.param.name); });

using ComTest = MachineTest;

// A thread that never joined an apartment belongs to the multithreaded one implicitly while another
// thread of the process keeps it alive; a single-threaded apartment elsewhere does not count.
TEST_F(ComTest, ThreadsWithoutApartmentUseTheMultithreadedOneWhileItExists) {
  auto hold = [](DWORD model, std::atomic<int>* phase) {
    EXPECT_EQ(CoInitializeEx(nullptr, model), S_OK);
    phase->store(1);
    while (phase->load() != 2) std::this_thread::yield();
    CoUninitialize();
    phase->store(3);
  };
  std::atomic<int> phase{0};
  std::thread single(hold, static_cast<DWORD>(COINIT_APARTMENTTHREADED), &phase);
  while (phase.load() != 1) std::this_thread::yield();
  OnFreshThread([] { EXPECT_EQ(CreateManager(), CO_E_NOTINITIALIZED); });
  phase.store(2);
  single.join();

  phase.store(0);
  std::thread multi(hold, static_cast<DWORD>(COINIT_MULTITHREADED), &phase);
  while (phase.load() != 1) std::this_thread::yield();
  OnFreshThread([] { EXPECT_EQ(CreateManager(), S_OK); });
  phase.store(2);
  while (phase.load() != 3) std::this_thread::yield();
  OnFreshThread([] { EXPECT_EQ(CreateManager(), CO_E_NOTINITIALIZED); });
  multi.join();
}

TEST_F(ComTest, CoCreateInstanceFailures) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    const CLSID unknownClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    const IID otherInterface = {0x00000109, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};  // IPersistStream
    IUnknown* outer = reinterpret_cast<IUnknown*>(0x10);
    struct Case {
      const char* name;
      const CLSID& clsid;
      IUnknown* outer;
      DWORD context;
      const IID& iid;
      HRESULT expected;
    } cases[] = {
        {"in-process", CLSID_ApplicationActivationManager, nullptr, CLSCTX_INPROC_SERVER, IID_IApplicationActivationManager, S_OK},
        {"local server", CLSID_ApplicationActivationManager, nullptr, CLSCTX_LOCAL_SERVER, IID_IApplicationActivationManager, S_OK},
        {"any context", CLSID_ApplicationActivationManager, nullptr, CLSCTX_ALL, IID_IApplicationActivationManager, S_OK},
        {"as IUnknown", CLSID_ApplicationActivationManager, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, S_OK},
        {"unknown class", unknownClass, nullptr, CLSCTX_ALL, IID_IUnknown, REGDB_E_CLASSNOTREG},
        {"handler only", CLSID_ApplicationActivationManager, nullptr, CLSCTX_INPROC_HANDLER, IID_IUnknown, REGDB_E_CLASSNOTREG},
        {"remote only", CLSID_ApplicationActivationManager, nullptr, CLSCTX_REMOTE_SERVER, IID_IUnknown, REGDB_E_CLASSNOTREG},
        {"no context", CLSID_ApplicationActivationManager, nullptr, 0, IID_IUnknown, REGDB_E_CLASSNOTREG},
        {"aggregation", CLSID_ApplicationActivationManager, outer, CLSCTX_INPROC_SERVER, IID_IUnknown, CLASS_E_NOAGGREGATION},
        {"other interface", CLSID_ApplicationActivationManager, nullptr, CLSCTX_INPROC_SERVER, otherInterface, E_NOINTERFACE},
    };
    for (const auto& c : cases) {
      void* object = reinterpret_cast<void*>(0x1);
      HRESULT hr = CoCreateInstance(c.clsid, c.outer, c.context, c.iid, &object);
      EXPECT_EQ(hr, c.expected) << c.name;
      if (SUCCEEDED(hr)) {
        ASSERT_NE(object, nullptr) << c.name;
        EXPECT_EQ(static_cast<IUnknown*>(object)->Release(), 0u) << c.name << ": one reference, the caller's";
      } else {
        EXPECT_EQ(object, nullptr) << c.name;
      }
    }
    EXPECT_EQ(CoCreateInstance(CLSID_ApplicationActivationManager, nullptr, CLSCTX_ALL, IID_IUnknown, nullptr), E_POINTER);
    CoUninitialize();
  });
}

TEST_F(ComTest, ActivationManagerIdentityAndReferences) {
  OnFreshThread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    IApplicationActivationManager* manager = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ApplicationActivationManager, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IApplicationActivationManager, reinterpret_cast<void**>(&manager)),
              S_OK);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(manager->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown, static_cast<IUnknown*>(manager)) << "one object, one IUnknown";
    EXPECT_EQ(manager->AddRef(), 3u);
    EXPECT_EQ(unknown->Release(), 2u);
    EXPECT_EQ(manager->Release(), 1u);
    void* other = reinterpret_cast<void*>(0x1);
    const IID classFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    EXPECT_EQ(manager->QueryInterface(classFactory, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(manager->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    // The contracts that need shell items are not offered on this machine.
    DWORD pid = 7;
    EXPECT_EQ(manager->ActivateForFile(kAumid, nullptr, L"open", &pid), E_NOTIMPL);
    EXPECT_EQ(pid, 0u);
    EXPECT_EQ(manager->ActivateForProtocol(kAumid, nullptr, &pid), E_NOTIMPL);
    EXPECT_EQ(manager->Release(), 0u);
    CoUninitialize();
  });
}

// Every COM function can be made to fail with a chosen HRESULT; the failure leaves the thread's
// state as a real failure would.
TEST_F(ComTest, FaultsReachEveryComFunction) {
  OnFreshThread([] {
    InjectFault("CoInitializeEx", static_cast<uint32_t>(E_OUTOFMEMORY), 1);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), E_OUTOFMEMORY);
    EXPECT_EQ(CreateManager(), CO_E_NOTINITIALIZED) << "the failed call joined no apartment";
    InjectFault("CoInitialize", static_cast<uint32_t>(E_UNEXPECTED), 1);
    EXPECT_EQ(CoInitialize(nullptr), E_UNEXPECTED);
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);

    InjectFault("CoCreateInstance", static_cast<uint32_t>(REGDB_E_CLASSNOTREG), 1);
    EXPECT_EQ(CreateManager(), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CreateManager(), S_OK) << "only the next call failed";

    IApplicationActivationManager* manager = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_ApplicationActivationManager, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IApplicationActivationManager, reinterpret_cast<void**>(&manager)),
              S_OK);
    InjectFault("QueryInterface", static_cast<uint32_t>(E_NOINTERFACE), 1);
    void* unknown = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(manager->QueryInterface(IID_IUnknown, &unknown), E_NOINTERFACE);
    EXPECT_EQ(unknown, nullptr);
    DWORD pid = 5;
    InjectFault("ActivateApplication", 0x80270257u /* E_APPLICATION_MANAGER_NOT_RUNNING */, 1);
    EXPECT_EQ(manager->ActivateApplication(kAumid, nullptr, AO_NONE, &pid), static_cast<HRESULT>(0x80270257));
    InjectFault("ActivateForFile", static_cast<uint32_t>(E_FAIL), 1);
    EXPECT_EQ(manager->ActivateForFile(kAumid, nullptr, nullptr, &pid), E_FAIL);
    InjectFault("ActivateForProtocol", static_cast<uint32_t>(E_FAIL), 1);
    EXPECT_EQ(manager->ActivateForProtocol(kAumid, nullptr, &pid), E_FAIL);
    EXPECT_EQ(manager->Release(), 0u);
    CoUninitialize();
  });
}

}  // namespace
}  // namespace winsim::test
