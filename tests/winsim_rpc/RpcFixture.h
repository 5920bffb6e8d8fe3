// A machine with the test interface served in this process, helpers to call it, to run the test
// server and client programs, and to speak raw PDUs to an endpoint.
#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MachineTest.h"
#include "TestRpc.h"
#include "core/fault.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/process.h"
#include "rpc/exceptions.h"
#include "rpc/pdu.h"
#include "rpc/server.h"
#include "rpc/transport.h"

namespace winsim::test {

// The status a call raised, or 0 when it returned.
inline DWORD StatusOf(const std::function<void()>& call) {
  DWORD code = 0;
  RpcTryExcept { call(); }
  RpcExcept(1) { code = RpcExceptionCode(); }
  RpcEndExcept
  return code;
}

// Waits up to timeoutMs for a condition.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

class RpcTest : public MachineTest {
 public:
  static constexpr const wchar_t* kEndpoint = L"TestRpcEndpoint";

 protected:
  void SetUp() override {
    MachineTest::SetUp();
    testrpc::Reset();
    testrpc::SetTickHandler(nullptr);
    testrpc::SetEventSink([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(m_eventsLock);
      m_events.push_back(line);
    });
  }

  void TearDown() override {
    testrpc::ReleaseAllGates();
    for (RPC_BINDING_HANDLE& b : m_bindings) {
      if (b) RpcBindingFree(&b);
    }
    for (pid_t pid : m_children) {
      if (pid <= 0) continue;  // waited for already; never signal a group or every process
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    rpc::ResetServer();
    testrpc::SetEventSink(nullptr);
    testrpc::SetTickHandler(nullptr);
    MachineTest::TearDown();
  }

  // Serves the test interface here.
  void Serve(unsigned flags = RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY, unsigned maxCalls = 1234,
             const std::wstring& endpoint = kEndpoint) {
    ASSERT_EQ(RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), 10, const_cast<RPC_WSTR>(endpoint.c_str()),
                                     nullptr),
              RPC_S_OK);
    ASSERT_EQ(RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, flags, maxCalls, 0, nullptr, nullptr),
              RPC_S_OK);
  }

  // A binding to the endpoint, freed at the end of the test.
  RPC_BINDING_HANDLE Bind(const std::wstring& endpoint = kEndpoint) {
    std::wstring text = L"ncalrpc:[" + endpoint + L"]";
    RPC_BINDING_HANDLE b = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(text.c_str()), &b), RPC_S_OK);
    m_bindings.push_back(b);
    return b;
  }

  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(m_eventsLock);
    return m_events;
  }
  size_t CountEvents(const std::string& prefix) {
    size_t n = 0;
    for (const auto& e : Events()) n += e.rfind(prefix, 0) == 0;
    return n;
  }

  // Starts a test program in the background with this identity; killed at the end of the test.
  pid_t Start(const std::string& program, const std::vector<std::wstring>& args,
              const Identity& identity = AdministratorIdentity()) {
    std::string path = BinPath(program);
    std::wstring image = WindowsPathOf(path);
    std::wstring cmd = QuoteArgument(image);
    for (const auto& a : args) cmd += L" " + QuoteArgument(a);
    SpawnRequest req;
    req.linuxPath = path;
    req.windowsImage = image;
    req.commandLine = cmd;
    req.identity = identity;
    req.windowsEnv = DefaultWindowsEnvironment(identity);
    pid_t pid = SpawnProcess(req);
    EXPECT_GT(pid, 0);
    if (pid > 0) m_children.push_back(pid);
    return pid;
  }
  // Waits for a child to end and returns its exit code.
  int Wait(pid_t pid) {
    if (pid <= 0) return -1;  // never wait for "any child"
    int status = 0;
    waitpid(pid, &status, 0);
    for (auto& c : m_children) {
      if (c == pid) c = -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Kill(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    Wait(pid);
  }

  static std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
  }
  static size_t CountLines(const std::string& path, const std::string& prefix) {
    size_t n = 0;
    for (const auto& l : Lines(path)) n += l.rfind(prefix, 0) == 0;
    return n;
  }
  static bool HasLine(const std::string& path, const std::string& prefix) { return CountLines(path, prefix) > 0; }

  // Starts the test server program on an endpoint and waits until it serves.
  pid_t StartServer(const std::wstring& endpoint, const std::string& log) {
    pid_t pid = Start("rpc_test_server.exe", {L"--endpoint", endpoint, L"--log", WideFromUtf8(log)});
    EXPECT_TRUE(WaitFor([&] { return HasLine(log, "ready") || HasLine(log, "failed"); })) << "server did not start";
    EXPECT_TRUE(HasLine(log, "ready")) << ReadFile(log);
    return pid;
  }

  std::vector<pid_t> m_children;

 private:
  std::mutex m_eventsLock;
  std::vector<std::string> m_events;
  std::vector<RPC_BINDING_HANDLE> m_bindings;
};

// A connection that speaks raw PDUs.
class RawConnection {
 public:
  explicit RawConnection(const std::wstring& endpoint = RpcTest::kEndpoint) {
    EXPECT_EQ(rpc::ConnectEndpoint(endpoint, &m_fd), RPC_S_OK);
  }
  ~RawConnection() {
    if (m_fd >= 0) close(m_fd);
  }
  bool Send(const std::vector<uint8_t>& bytes) { return rpc::SendAll(m_fd, bytes); }
  // The next PDU, or an empty vector when the server closed the connection.
  std::vector<uint8_t> Receive() {
    std::vector<uint8_t> f;
    if (rpc::ReadFragment(m_fd, 65535, &f) != rpc::ReadStatus::Ok) return {};
    return f;
  }
  // Whether the server has closed the connection (after reading what it still sent).
  bool Closed() {
    for (;;) {
      std::vector<uint8_t> f;
      auto st = rpc::ReadFragment(m_fd, 65535, &f);
      if (st != rpc::ReadStatus::Ok) return true;
    }
  }
  int Fd() const { return m_fd; }
  void Close() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
};

inline rpc::SyntaxIdentifier TestInterfaceId() { return {testrpc::kInterfaceUuid, 1, 0}; }

// A bind of the test interface with NDR 2.0 as context 0.
inline rpc::BindPdu TestBind(uint32_t callId = 1, uint32_t group = 0) {
  rpc::BindPdu bind;
  bind.header.type = rpc::kPduBind;
  bind.header.flags = rpc::kPfcFirstFrag | rpc::kPfcLastFrag;
  bind.header.callId = callId;
  bind.maxXmitFrag = bind.maxRecvFrag = 4280;
  bind.assocGroupId = group;
  bind.contexts.push_back({0, TestInterfaceId(), {rpc::kNdr20Syntax}});
  return bind;
}

inline std::vector<uint8_t> RequestBytes(uint32_t callId, uint16_t opnum, const std::vector<uint8_t>& stub,
                                         uint16_t contextId = 0, uint8_t flags = rpc::kPfcFirstFrag | rpc::kPfcLastFrag) {
  rpc::RequestPdu req;
  req.header.callId = callId;
  req.header.flags = flags;
  req.contextId = contextId;
  req.opnum = opnum;
  req.allocHint = static_cast<uint32_t>(stub.size());
  req.stub = stub;
  return rpc::EncodeRequest(req);
}

}  // namespace winsim::test
