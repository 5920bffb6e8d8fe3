// The service's RPC endpoint as the companion app meets it: the real service on a simulated machine
// and Utility.exe as its client, driven by Utility.exe's actions (see its header comment), with
// what both print.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UtilityServiceRun.h"
#include "core/identity.h"
#include "core/strings.h"
#include "process/process.h"
#include "security/capability.h"
#include "security/sid.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const std::wstring kService = L"TorvexUtilityService";
const std::wstring kCapabilityName = L"R3185527.TorvexUtility_7mvd2kx9qhe3b";

struct Tick {
  long long number;
  long long tickCount;
  long long callerValue;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::vector<Tick> TicksOf(const std::string& output) {
  std::vector<Tick> ticks;
  for (const std::string& line : Lines(output)) {
    Tick t{};
    if (std::sscanf(line.c_str(), "tick %lld tickCount %lld callerValue %lld", &t.number, &t.tickCount,
                    &t.callerValue) == 3) {
      ticks.push_back(t);
    }
  }
  return ticks;
}

int CountLine(const std::string& output, const std::string& line) {
  auto all = Lines(output);
  return static_cast<int>(std::count(all.begin(), all.end(), line));
}

bool Has(const std::string& output, const std::string& line) { return CountLine(output, line) > 0; }

class RpcEndpointTest : public UtilityServiceRunTest {
 protected:
  void SetUp() override {
    UtilityServiceRunTest::SetUp();
    // As a user makes the machine: with the shell's stand-in programs (notepad.exe) in System32.
    auto init = Winsim({"init"});
    ASSERT_EQ(init.status, 0) << init.errors;
    for (const char* name : {"alice", "bob"}) AddUser(name);
    ASSERT_EQ(Program({"-install"}).output, "TorvexUtilityService is installed.\n");
    Session({"logon", "alice"});
  }

  // A program started on the machine, its output going to a file of the test's.
  struct Started {
    pid_t pid = -1;
    std::string outputPath;
  };

  // Starts a program as the user (the administrator when empty) in the session, with the companion
  // app's capability SID when asked, without waiting for it.
  Started Start(const std::string& program, const std::vector<std::string>& args, const std::wstring& user = L"",
                uint32_t session = kConsoleSessionId, bool capability = false,
                const std::map<std::string, std::string>& env = {}) {
    Started s;
    std::optional<Identity> identity = user.empty() ? AdministratorIdentity(session) : UserIdentity(user, session);
    EXPECT_TRUE(identity.has_value());
    if (!identity) return s;
    if (capability) {
      identity->capabilitySids.push_back(security::SidToString(security::DeriveCapabilitySid(kCapabilityName)));
    }
    SpawnRequest request;
    request.linuxPath = BinPath(program);
    request.windowsImage = WindowsPathOf(request.linuxPath);
    request.commandLine = QuoteArgument(request.windowsImage);
    for (const auto& a : args) request.commandLine += L" " + QuoteArgument(WideFromUtf8(a));
    request.identity = *identity;
    request.windowsEnv = DefaultWindowsEnvironment(*identity);
    for (const auto& [name, value] : env) request.extraEnv.push_back(name + "=" + value);
    request.detach = true;
    s.outputPath = MachinePath("run/test-output-" + std::to_string(m_outputs++) + ".txt");
    request.outputPath = s.outputPath;
    s.pid = SpawnProcess(request);
    EXPECT_GT(s.pid, 0);
    if (s.pid > 0) m_started.push_back(s.pid);
    return s;
  }

  // Runs Utility.exe with the actions to its end: its output, and its exit code.
  std::pair<std::string, uint32_t> App(const std::vector<std::string>& actions, const std::wstring& user = L"alice",
                                       uint32_t session = kConsoleSessionId, bool capability = true) {
    std::vector<std::string> args{"--rpc"};
    args.insert(args.end(), actions.begin(), actions.end());
    Started s = Start("Utility.exe", args, user, session, capability);
    if (s.pid <= 0) return {"", 0xFFFFFFFF};
    uint32_t code = WaitForChild(s.pid);
    m_started.erase(std::remove(m_started.begin(), m_started.end(), s.pid), m_started.end());
    return {ReadFile(s.outputPath), code};
  }

  // Every log file of the machine's runs, the agent's too.
  std::string AllLogs() {
    std::string all;
    if (!fs::exists(LogFolder())) return all;
    for (auto& entry : fs::directory_iterator(LogFolder())) all += ReadFile(entry.path().string());
    return all;
  }
  std::string Out() { return ServiceOutput("TorvexUtilityService"); }
  // What the service printed since the endpoint came up.
  std::string NewOut() { return Out().substr(std::min(m_ready, Out().size())); }

  // Starts the service and waits until the endpoint serves calls.
  void StartEndpoint(const std::map<std::string, std::string>& env = {}) {
    StartService(env);
    bool ready = Eventually([&] { return Has(App({"open", "close"}).first, "open: ok"); });
    ASSERT_TRUE(ready) << Out();
    ASSERT_TRUE(Eventually([&] { return Has(Out(), "closing rpc endpoint"); }));
    m_ready = Out().size();
  }

  int m_outputs = 0;
  size_t m_ready = 0;
};

// Each period is clamped into 1..1000 ms before it is used, the hyper extremes included; every
// callback carries the caller's value; the first comes a period after the start and each later one
// a period after the previous callback returned (intervals only bounded from below: a slow machine
// makes them longer, never shorter).
TEST_F(RpcEndpointTest, MeteringPeriodsAreClampedAndEveryTickCarriesTheCallerValue) {
  StartEndpoint();
  struct Row {
    std::string period;
    long long clampedMs;
    std::string callerValue;
  };
  const Row rows[] = {
      {"0", 1, "7"},
      {"-5", 1, "-9"},
      {"5000", 1000, "123456789012345"},
      {std::to_string(LLONG_MAX), 1000, std::to_string(LLONG_MIN)},
      {std::to_string(LLONG_MIN), 1, std::to_string(LLONG_MAX)},
      {"250", 250, "0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("period " + row.period);
    // Stopped from inside the third callback: the loop leaves at the end of the next period.
    auto [out, code] = App({"open", "in:3:stop", "meter:" + row.period + ":" + row.callerValue, "close"});
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(Has(out, "meter: ok")) << out;
    auto ticks = TicksOf(out);
    ASSERT_EQ(ticks.size(), 3u) << out;
    for (size_t i = 0; i < ticks.size(); ++i) {
      EXPECT_EQ(ticks[i].number, static_cast<long long>(i + 1));
      EXPECT_EQ(std::to_string(ticks[i].callerValue), row.callerValue);
      if (i > 0) {
        EXPECT_GE(ticks[i].tickCount - ticks[i - 1].tickCount, row.clampedMs) << out;
      }
    }
  }
}

// A period set from inside a callback applies from the next arming, clamped (2000 gives 1000); a
// stop made before the start does not prevent the run; StopMetering and EndMetering end the loop
// without a further callback, with "done metering", and the call returns normally.
TEST_F(RpcEndpointTest, PeriodChangesAndStopsTakeEffectAsTheClientMeansThem) {
  StartEndpoint();
  {
    auto [out, code] = App({"open", "in:1:setperiod:2000", "meter:1:4:3", "close"});
    auto ticks = TicksOf(out);
    ASSERT_EQ(ticks.size(), 3u) << out;
    EXPECT_GE(ticks[1].tickCount - ticks[0].tickCount, 1000) << out;
    EXPECT_GE(ticks[2].tickCount - ticks[1].tickCount, 1000) << out;
  }
  for (const std::string how : {"stop", "end"}) {
    SCOPED_TRACE(how);
    m_ready = Out().size();
    auto [out, code] = App({"open", how, "in:2:" + how, "meter:5:11", "getcommend", "close"});
    EXPECT_EQ(TicksOf(out).size(), 2u) << out;  // stopped inside the second: no third callback
    EXPECT_TRUE(Has(out, "meter: ok")) << out;
    std::vector<std::string> expected = {"opening rpc endpoint", "stop metering", "start metering", "stop metering",
                                         "done metering", "start GetCommend", "closing rpc endpoint"};
    ASSERT_TRUE(Eventually([&] { return Lines(NewOut()).size() >= expected.size(); }));
    EXPECT_EQ(Lines(NewOut()), expected);
  }
}

// GetCommend's text: 35 units, the fixed 34 characters and a NUL.
TEST_F(RpcEndpointTest, GetCommendGivesTheFixedTextWithItsNul) {
  StartEndpoint();
  auto [out, code] = App({"open", "getcommend", "getcommend", "close"});
  EXPECT_EQ(CountLine(out, "getcommend: length 35 text \"rrrrrrrr  GetCommendSvr RpcServer \" last 0"), 2) << out;
}

// A second StartMetering on a running loop is refused before "start metering", the running loop
// going on; a callback that raises ends StartMetering with that code and no "done metering", and the
// context stays usable; a call from inside a callback on the same context does not deadlock, a close
// from there included.
TEST_F(RpcEndpointTest, LoopRefusalsRaisedCallbacksAndCallsFromInsideACallback) {
  StartEndpoint();
  {
    // The stop is made inside the third callback, so that it reaches the loop before the next
    // (3 ms) period runs out whatever the machine's load.
    auto [out, code] =
        App({"open", "in:1:meter:1:1", "in:1:getcommend", "in:2:setperiod:3", "in:3:stop", "meter:1:8", "close"});
    EXPECT_TRUE(Has(out, "meter: fault 170")) << out;
    EXPECT_TRUE(Has(out, "meter: ok")) << out;
    EXPECT_EQ(TicksOf(out).size(), 3u) << out;
    EXPECT_TRUE(Has(out, "getcommend: length 35 text \"rrrrrrrr  GetCommendSvr RpcServer \" last 0")) << out;
    EXPECT_EQ(CountLine(NewOut(), "start metering"), 1) << NewOut();
  }
  {
    m_ready = Out().size();
    auto [out, code] = App({"open", "raise:2:1234", "meter:1:5", "getcommend", "meter:1:5:1", "close"});
    EXPECT_TRUE(Has(out, "meter: fault 1234")) << out;
    EXPECT_TRUE(Has(out, "meter: ok")) << out;
    EXPECT_TRUE(Has(out, "close: ok")) << out;
    ASSERT_TRUE(Eventually([&] { return Has(NewOut(), "closing rpc endpoint"); }));
    EXPECT_EQ(CountLine(NewOut(), "start metering"), 2);
    EXPECT_EQ(CountLine(NewOut(), "done metering"), 1);  // only the second run's
  }
  {
    m_ready = Out().size();
    auto [out, code] = App({"open", "in:2:close", "meter:1:6", "getcommend"});
    EXPECT_EQ(TicksOf(out).size(), 2u) << out;
    EXPECT_TRUE(Has(out, "close: ok")) << out;
    EXPECT_TRUE(Has(out, "meter: ok")) << out;
    EXPECT_TRUE(Has(out, "getcommend: fault 1775")) << out;  // closed: the client sends nothing
  }
}

// SetXMLCommend opens the program in the console user's session for the app of that user; a caller
// without the capability, or the app of another user in another session, gets access denied and
// nothing starts.
TEST_F(RpcEndpointTest, SetXMLCommendServesOnlyTheConsoleUsersApp) {
  Session({"logon", "bob", "--remote"});
  SetLogLevel(LOG_LEVEL_INFO);
  StartEndpoint();
  fs::path records = MachinePath("drives/c/ProgramData/notepad");
  auto recordCount = [&] {
    if (!fs::exists(records)) return 0;
    return static_cast<int>(std::distance(fs::directory_iterator(records), fs::directory_iterator()));
  };
  struct Row {
    std::wstring user;
    uint32_t session;
    bool capability;
  };
  const Row denied[] = {{L"alice", kConsoleSessionId, false}, {L"bob", 2, true}, {L"", kConsoleSessionId, true}};
  for (const Row& row : denied) {
    SCOPED_TRACE(Utf8FromWide(row.user) + " " + std::to_string(row.session));
    m_ready = Out().size();
    auto [out, code] = App({"open", "setxml:notepad.exe", "close"}, row.user, row.session, row.capability);
    EXPECT_TRUE(Has(out, "open: ok")) << out;
    EXPECT_TRUE(Has(out, "setxml: fault 5")) << out;
    EXPECT_FALSE(Has(NewOut(), " SetXMLCommend ")) << NewOut();
  }
  EXPECT_EQ(recordCount(), 0);

  m_ready = Out().size();
  auto [out, code] = App({"open", "setxml:notepad.exe", "close"});
  EXPECT_TRUE(Has(out, "setxml: ok")) << out;
  ASSERT_TRUE(Eventually([&] { return recordCount() == 1; })) << NewOut() << AllLogs();
  EXPECT_TRUE(Has(NewOut(), " SetXMLCommend "));
  EXPECT_TRUE(Has(NewOut(), "notepad.exe is cmd ")) << NewOut();
  // The program runs in alice's console session, as alice.
  auto ps = Winsim({"ps"});
  bool found = false;
  for (const auto& line : Lines(ps.output)) {
    if (line.find("notepad.exe") != std::string::npos) {
      found = true;
      EXPECT_NE(line.find(" 1"), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(found) << ps.output;
}

// A client that dies with its context open, idle or in a metering loop, makes the service run the
// context down: "client died", "stop metering", "closing rpc endpoint", in order, once.
TEST_F(RpcEndpointTest, AClientKilledWithItsContextOpenIsRunDownOnce) {
  StartEndpoint();
  for (const std::string during : {"hold", "meter:1:1"}) {
    SCOPED_TRACE(during);
    m_ready = Out().size();
    Started app = Start("Utility.exe", {"--rpc", "open", during}, L"alice", kConsoleSessionId, true);
    std::string waitFor = during == "hold" ? "holding" : "tick 2";
    ASSERT_TRUE(Eventually([&] { return ReadFile(app.outputPath).find(waitFor) != std::string::npos; }));
    kill(app.pid, SIGKILL);
    WaitForChild(app.pid);
    m_started.erase(std::remove(m_started.begin(), m_started.end(), app.pid), m_started.end());
    ASSERT_TRUE(Eventually([&] { return Has(NewOut(), "closing rpc endpoint"); })) << NewOut();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // room for a wrong second rundown
    std::vector<std::string> lines = Lines(NewOut());
    std::vector<std::string> tail(std::find(lines.begin(), lines.end(), "client died"), lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"client died", "stop metering", "closing rpc endpoint"})) << NewOut();
    EXPECT_EQ(CountLine(NewOut(), "done metering"), 0);
  }
}

// RpcServerConnect returns 87 before registering anything when the capability name gives no SID or
// more than one: console mode prints it and ends with it, and no endpoint exists.
TEST_F(RpcEndpointTest, CapabilityCountsOtherThanOneFailWith87BeforeAnyRegistration) {
  for (const char* count : {"0", "2"}) {
    SCOPED_TRACE(count);
    auto shaped = Winsim({"security", "capability-count", Utf8FromWide(kCapabilityName), count});
    ASSERT_EQ(shaped.status, 0) << shaped.errors;
    Started console = Start("TorvexUtilityService.exe", {"-console"});
    uint32_t code = WaitForChild(console.pid);
    m_started.erase(std::remove(m_started.begin(), m_started.end(), console.pid), m_started.end());
    EXPECT_EQ(code, 87u);
    EXPECT_EQ(ReadFile(console.outputPath),
              "4: Starting Rpc Server..\nRpcServerConnect returned: 0x57\n4: Starting Rpc Server..\n");
    EXPECT_FALSE(fs::exists(MachinePath("run/rpc/TorvexUtilityService_RpcEndpoint")));
  }
}

// The endpoint name already served by another process: in service mode running, then stop pending
// and stopped with exit code 0; in console mode the failure line and exit code 1740.
TEST_F(RpcEndpointTest, AnEndpointServedElsewhereFailsInBothModes) {
  Started holder = Start("TorvexUtilityService.exe", {"-console"});
  ASSERT_TRUE(Eventually([&] { return Has(App({"open", "close"}).first, "open: ok"); }));
  // The start command may see the service stopped already: its own status is not the point here.
  auto started = Winsim({"service", "start", "TorvexUtilityService"});
  ASSERT_TRUE(Eventually([&] { return State(kService) == SERVICE_STOPPED; }))
      << started.output << started.errors << ::testing::PrintToString(Reports(kService)) << Out();
  std::vector<std::string> states;
  std::string lastExit;
  for (const auto& report : Reports(kService)) {
    states.push_back(report.substr(0, report.find('/')));
    lastExit = report.substr(report.rfind('/') + 1);
  }
  EXPECT_EQ(states, (std::vector<std::string>{"START_PENDING", "RUNNING", "STOP_PENDING", "STOPPED"}))
      << ::testing::PrintToString(Reports(kService));
  EXPECT_EQ(lastExit, "0");
  // The holder still serves.
  EXPECT_TRUE(Has(App({"open", "getcommend", "close"}).first, "getcommend: length 35 text \"rrrrrrrr  GetCommendSvr RpcServer \" last 0"));
  kill(holder.pid, SIGKILL);
  WaitForChild(holder.pid);
  m_started.erase(std::remove(m_started.begin(), m_started.end(), holder.pid), m_started.end());

  // The stale endpoint of the killed holder is reclaimed by the service; a console run then fails.
  StartEndpoint();
  Started console = Start("TorvexUtilityService.exe", {"-console"});
  uint32_t code = WaitForChild(console.pid);
  m_started.erase(std::remove(m_started.begin(), m_started.end(), console.pid), m_started.end());
  EXPECT_EQ(code, 1740u);
  EXPECT_EQ(ReadFile(console.outputPath),
            "4: Starting Rpc Server..\nRpcServerConnect returned: 0x6cc\n4: Starting Rpc Server..\n");
  EXPECT_EQ(State(kService), static_cast<DWORD>(SERVICE_RUNNING));
}

// A service stop during a metering loop ends it at the next tick without a callback: the client's
// call returns normally or with 1726, and no callback comes after the stop.
TEST_F(RpcEndpointTest, AServiceStopEndsARunningLoopWithoutAnotherCallback) {
  StartEndpoint();
  Started app = Start("Utility.exe", {"--rpc", "open", "meter:1000:3"}, L"alice", kConsoleSessionId, true);
  ASSERT_TRUE(Eventually([&] { return ReadFile(app.outputPath).find("tick 1") != std::string::npos; }));
  ASSERT_EQ(Control(kService, SERVICE_CONTROL_STOP), 0u);
  size_t ticksAtStop = TicksOf(ReadFile(app.outputPath)).size();
  uint32_t code = WaitForChild(app.pid);
  m_started.erase(std::remove(m_started.begin(), m_started.end(), app.pid), m_started.end());
  EXPECT_EQ(code, 0u);
  std::string out = ReadFile(app.outputPath);
  EXPECT_TRUE(Has(out, "meter: ok") || Has(out, "meter: fault 1726")) << out;
  // The stop flag is set before the stop returns: at most the callback then in progress completes.
  EXPECT_LE(TicksOf(out).size(), ticksAtStop + 1) << out;
  EXPECT_TRUE(WaitFor(kService, SERVICE_STOPPED));
}

}  // namespace
}  // namespace winsim::test
