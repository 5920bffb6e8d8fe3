// Who the caller is: the connecting process as the kernel names it, checked against the machine's
// process table with its start time, or an anonymous local caller; and who may call: the endpoint's
// and the interface's security descriptors and the security callback.
#include <sddl.h>
#include <securitybaseapi.h>

#include <cstring>

#include "RpcFixture.h"
#include "core/machine.h"

namespace winsim::test {
namespace {

// An absolute security descriptor whose DACL allows GENERIC_ALL to each SID in order; no SIDs makes
// an empty DACL, which grants nothing.
class Descriptor {
 public:
  explicit Descriptor(const std::vector<std::string>& allowed) : m_acl(1024) {
    auto* acl = reinterpret_cast<PACL>(m_acl.data());
    EXPECT_TRUE(InitializeAcl(acl, static_cast<DWORD>(m_acl.size()), ACL_REVISION));
    for (const auto& text : allowed) {
      PSID sid = nullptr;
      std::wstring wide = WideFromUtf8(text);
      EXPECT_TRUE(ConvertStringSidToSidW(wide.c_str(), &sid)) << text;
      EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, sid));
      LocalFree(sid);
    }
    EXPECT_TRUE(InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&m_sd, TRUE, acl, FALSE));
  }
  void* Get() { return &m_sd; }
  // Overwrites the descriptor, as a caller that frees its own would.
  void Spoil() {
    std::fill(m_acl.begin(), m_acl.end(), 0xCC);
    std::memset(&m_sd, 0xCC, sizeof(m_sd));
  }

 private:
  std::vector<uint8_t> m_acl;
  SECURITY_DESCRIPTOR m_sd{};
};

std::string CapabilitySid(const wchar_t* name) {
  PSID* groups = nullptr;
  PSID* caps = nullptr;
  DWORD groupCount = 0, capCount = 0;
  EXPECT_TRUE(DeriveCapabilitySidsFromName(name, &groups, &groupCount, &caps, &capCount));
  EXPECT_EQ(capCount, 1u);
  LPWSTR text = nullptr;
  EXPECT_TRUE(ConvertSidToStringSidW(caps[0], &text));
  std::string out = Utf8FromWide(text);
  LocalFree(text);
  for (DWORD i = 0; i < groupCount; ++i) LocalFree(groups[i]);
  LocalFree(groups);
  for (DWORD i = 0; i < capCount; ++i) LocalFree(caps[i]);
  LocalFree(caps);
  return out;
}

class IdentityTest : public RpcTest {
 protected:
  void SetUp() override {
    RpcTest::SetUp();
    AddUser("alice");
    AddUser("bob");
    m_alice = *UserIdentity(L"alice", 2);
    m_bob = *UserIdentity(L"bob", 1);
  }

  void Register(void* endpointSd, void* interfaceSd, RPC_IF_CALLBACK_FN* callback = nullptr) {
    ASSERT_EQ(RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), 10, const_cast<RPC_WSTR>(kEndpoint), endpointSd),
              RPC_S_OK);
    ASSERT_EQ(RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY,
                                   1234, 0, callback, interfaceSd),
              RPC_S_OK);
  }

  // What TestWhoAmI answers a client program of this identity ("exception N" when refused).
  std::string WhoAmIFrom(const Identity& identity) {
    std::string log = MachinePath("who-" + std::to_string(++m_runs) + ".log");
    pid_t client = Start("rpc_test_client.exe",
                         {L"--endpoint", kEndpoint, L"--log", WideFromUtf8(log), L"--mode", L"whoami"}, identity);
    Wait(client);
    auto lines = Lines(log);
    return lines.empty() ? std::string("nothing") : lines[0];
  }

  // What TestWhoAmI answers this (unregistered) test process on a new connection.
  std::string WhoAmIHere() {
    RPC_BINDING_HANDLE b = Bind();
    BSTR who = nullptr;
    DWORD status = StatusOf([&] { Client_TestWhoAmI(b, &who); });
    if (status) return "exception " + std::to_string(status);
    std::string text = Utf8FromWide(who);
    SysFreeString(who);
    return "who " + text;
  }

  Identity m_alice, m_bob;
  int m_runs = 0;
};

TEST_F(IdentityTest, TheCallerIsTheConnectingProcessOrAnonymous) {
  Register(nullptr, nullptr);
  std::string admin = AdministratorIdentity().sid;
  EXPECT_EQ(WhoAmIHere(), "who S-1-5-7 ANONYMOUS LOGON 0  | " + admin);
  EXPECT_EQ(WhoAmIFrom(m_alice), "who " + m_alice.sid + " alice 2  | " + admin);
  Identity app = m_bob;
  std::string capability = CapabilitySid(L"R3185527.TorvexUtility_7mvd2kx9qhe3b");
  app.capabilitySids = {capability};
  EXPECT_EQ(WhoAmIFrom(app), "who " + m_bob.sid + " bob 1 " + capability + ", | " + admin);
}

TEST_F(IdentityTest, AReusedPidIsNotTheProcessThatWasRecorded) {
  Register(nullptr, nullptr);
  auto ticks = ProcessStartTicks(getpid());
  ASSERT_TRUE(ticks.has_value());
  auto record = [&](const std::string& user, const std::string& sid, int64_t start, bool ended) {
    Statement ins(Database::Get().Raw(),
                  "INSERT INTO processes(pid, image, image_name, session, user, sid, started, account, capabilities,"
                  " appcontainer, start_ticks, ended) VALUES(?,'C:\\x.exe','x.exe',1,?,?,0,'user','','',?,?)");
    ins.Bind(1, static_cast<int64_t>(getpid())).Bind(2, user).Bind(3, sid).Bind(4, start);
    if (ended) {
      ins.Bind(5, int64_t(1));
    } else {
      ins.BindNull(5);
    }
    ins.Step();
  };
  FindProcess(1);  // the table exists
  // An earlier process with this pid, started at another time: not this one.
  record("bob", m_bob.sid, static_cast<int64_t>(*ticks) - 1, false);
  EXPECT_EQ(WhoAmIHere().substr(0, 14), "who S-1-5-7 AN");
  // The record of this very process, but ended: not a live process of the machine.
  record("bob", m_bob.sid, static_cast<int64_t>(*ticks), true);
  EXPECT_EQ(WhoAmIHere().substr(0, 14), "who S-1-5-7 AN");
  // The record of this process as it runs.
  record("bob", m_bob.sid, static_cast<int64_t>(*ticks), false);
  EXPECT_EQ(WhoAmIHere().substr(0, 4 + m_bob.sid.size() + 4), "who " + m_bob.sid + " bob");
}

TEST_F(IdentityTest, TheDescriptorsOfEndpointAndInterfaceBothDecide) {
  struct Case {
    const char* name;
    std::vector<std::string> endpoint;  // empty vector with useEndpoint: an empty DACL
    bool useEndpoint;
    std::vector<std::string> iface;
    bool useInterface;
    bool alice, bob, anonymous;
  };
  std::string aliceSid = m_alice.sid, bobSid = m_bob.sid;
  Case cases[] = {
      {"interface allows alice", {}, false, {aliceSid}, true, true, false, false},
      {"endpoint allows bob", {bobSid}, true, {}, false, false, true, false},
      {"everyone at both", {"S-1-1-0"}, true, {"S-1-1-0"}, true, true, true, true},
      {"endpoint everyone, interface alice", {"S-1-1-0"}, true, {aliceSid}, true, true, false, false},
      {"empty endpoint list", {}, true, {"S-1-1-0"}, true, false, false, false},
  };
  for (const auto& k : cases) {
    Descriptor endpoint(k.endpoint), iface(k.iface);
    Register(k.useEndpoint ? endpoint.Get() : nullptr, k.useInterface ? iface.Get() : nullptr);
    // The run-time holds copies: what the caller does with its own afterwards changes nothing.
    endpoint.Spoil();
    iface.Spoil();
    auto verdict = [](const std::string& answer) { return answer.rfind("who ", 0) == 0; };
    std::string alice = WhoAmIFrom(m_alice), bob = WhoAmIFrom(m_bob), anonymous = WhoAmIHere();
    EXPECT_EQ(verdict(alice), k.alice) << k.name << ": " << alice;
    EXPECT_EQ(verdict(bob), k.bob) << k.name << ": " << bob;
    EXPECT_EQ(verdict(anonymous), k.anonymous) << k.name << ": " << anonymous;
    if (!k.anonymous) {
      EXPECT_EQ(anonymous, "exception 5") << k.name;
    }
    rpc::ResetServer();
  }
}

TEST_F(IdentityTest, AnAppContainerNeedsItsCapabilityAsWellAsEveryone) {
  std::string capability = CapabilitySid(L"R3185527.TorvexUtility_7mvd2kx9qhe3b");
  Descriptor sd({"S-1-1-0", capability});
  Register(sd.Get(), sd.Get());
  Identity app = m_alice;
  app.capabilitySids = {capability};
  EXPECT_EQ(WhoAmIFrom(app).substr(0, 4), "who ");
  Identity other = m_alice;
  other.capabilitySids = {CapabilitySid(L"SomeOtherCapability")};
  EXPECT_EQ(WhoAmIFrom(other), "exception 5");
  EXPECT_EQ(WhoAmIHere().substr(0, 4), "who ");
}

TEST_F(IdentityTest, RefusedCallersNeverReachARoutine) {
  Descriptor onlyAlice({m_alice.sid});
  Register(nullptr, onlyAlice.Get());
  RPC_BINDING_HANDLE b = Bind();
  TEST_CONTEXT ctx = nullptr;
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), DWORD(RPC_S_ACCESS_DENIED));
  EXPECT_EQ(ctx, nullptr);
  EXPECT_TRUE(Events().empty());
  // On the wire: a fault with status 5 that says the routine did not run.
  RawConnection c;
  ASSERT_TRUE(c.Send(rpc::EncodeBind(TestBind(1))));
  std::vector<uint8_t> ack = c.Receive();
  ASSERT_FALSE(ack.empty());
  EXPECT_EQ(ack[2], rpc::kPduBindAck);
  ASSERT_TRUE(c.Send(RequestBytes(2, 0, {})));
  std::vector<uint8_t> reply = c.Receive();
  ASSERT_FALSE(reply.empty());
  ASSERT_EQ(reply[2], rpc::kPduFault);
  rpc::FaultPdu f = rpc::DecodeFault(reply);
  EXPECT_EQ(f.status, 5u);
  EXPECT_TRUE(f.header.flags & rpc::kPfcDidNotExecute);
}

TEST_F(IdentityTest, InvalidDescriptorsAreRefusedAtRegistration) {
  std::vector<uint8_t> garbage(64, 0x7F);
  EXPECT_EQ(RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), 10, const_cast<RPC_WSTR>(kEndpoint), garbage.data()),
            RPC_S_INVALID_SECURITY_DESC);
  EXPECT_EQ(RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN, 10, 0, nullptr,
                                 garbage.data()),
            RPC_S_INVALID_SECURITY_DESC);
  // Nothing was registered: both work afterwards.
  Register(nullptr, nullptr);
}

RPC_STATUS g_callbackAnswer = RPC_S_OK;
std::string g_callbackSaw;
RPC_STATUS RPC_ENTRY SecurityCallback(RPC_IF_HANDLE iface, void* binding) {
  g_callbackSaw = iface == TestRpc_v1_0_s_ifspec ? "interface " : "other ";
  g_callbackSaw += RpcImpersonateClient(binding) == RPC_S_OK ? CurrentIdentity().sid : "no impersonation";
  RpcRevertToSelf();
  return g_callbackAnswer;
}

TEST_F(IdentityTest, TheSecurityCallbackAdmitsOrRefuses) {
  Register(nullptr, nullptr, SecurityCallback);
  g_callbackAnswer = RPC_S_OK;
  EXPECT_EQ(WhoAmIHere().substr(0, 4), "who ");
  EXPECT_EQ(g_callbackSaw, "interface S-1-5-7");
  g_callbackAnswer = ERROR_INVALID_STATE;
  EXPECT_EQ(WhoAmIHere(), "exception 5");
  RPC_BINDING_HANDLE b = Bind();
  TEST_CONTEXT ctx = nullptr;
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), DWORD(RPC_S_ACCESS_DENIED));
  EXPECT_EQ(CountEvents("open"), 0u);
  g_callbackAnswer = RPC_S_OK;
}

}  // namespace
}  // namespace winsim::test
