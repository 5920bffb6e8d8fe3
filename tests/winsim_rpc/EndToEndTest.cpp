// The test interface end to end: every parameter shape through the real client and server, in
// this process and with the server in another process; the server and binding API's results.
#include <atomic>

#include "RpcFixture.h"

namespace winsim::test {
namespace {

class EndToEndTest : public RpcTest {};

TEST_F(EndToEndTest, EveryParameterShapeTravels) {
  Serve();
  RPC_BINDING_HANDLE b = Bind();
  TEST_CONTEXT ctx = nullptr;
  ASSERT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u);
  ASSERT_NE(ctx, nullptr);

  int64_t sum = 0;
  ASSERT_EQ(StatusOf([&] { Client_TestAdd(ctx, INT64_C(0x7000000000000000), -INT64_C(0x1000000000000001), &sum); }), 0u);
  EXPECT_EQ(sum, INT64_C(0x5FFFFFFFFFFFFFFF));

  // The default text: 35 characters, the last one a counted NUL.
  BSTR text = nullptr;
  ASSERT_EQ(StatusOf([&] { Client_TestGetText(ctx, &text); }), 0u);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 35u);
  EXPECT_EQ(std::wstring(text, 34), L"rrrrrrrr  GetCommendSvr RpcServer ");
  EXPECT_EQ(text[34], L'\0');
  SysFreeString(text);

  ASSERT_EQ(StatusOf([&] { Client_TestSetText(ctx, L"open C:\\x \u00e9\U0001F600"); }), 0u);
  ASSERT_EQ(StatusOf([&] { Client_TestGetText(ctx, &text); }), 0u);
  EXPECT_EQ(std::wstring(text, SysStringLen(text)), L"open C:\\x \u00e9\U0001F600");
  SysFreeString(text);

  std::vector<std::pair<int64_t, int64_t>> ticks;
  testrpc::SetTickHandler([&](int64_t tick, int64_t value) { ticks.emplace_back(tick, value); });
  ASSERT_EQ(StatusOf([&] { Client_TestTicks(ctx, 3, -77); }), 0u);
  EXPECT_EQ(ticks, (std::vector<std::pair<int64_t, int64_t>>{{1, -77}, {2, -77}, {3, -77}}));

  ASSERT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u);
  EXPECT_EQ(ctx, nullptr);
  auto events = Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.front(), "open 1");
  EXPECT_EQ(events[1], "add 1 8070450532247928832 -1152921504606846977");
  EXPECT_EQ(events.back(), "close 1");
  EXPECT_EQ(CountEvents("rundown"), 0u);
}

TEST_F(EndToEndTest, ClientAndServerInDifferentProcesses) {
  std::string log = MachinePath("server.log");
  StartServer(L"OtherProcessEndpoint", log);
  RPC_BINDING_HANDLE b = Bind(L"OtherProcessEndpoint");
  TEST_CONTEXT ctx = nullptr;
  ASSERT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u);
  int ticks = 0;
  testrpc::SetTickHandler([&](int64_t, int64_t value) { ticks += value == 9; });
  ASSERT_EQ(StatusOf([&] { Client_TestTicks(ctx, 2, 9); }), 0u);
  EXPECT_EQ(ticks, 2);
  ASSERT_EQ(StatusOf([&] { Client_TestSetText(ctx, L"hello"); }), 0u);
  ASSERT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u);
  EXPECT_TRUE(WaitFor([&] { return HasLine(log, "close 1"); }));
  EXPECT_TRUE(HasLine(log, "settext 1 hello"));
  EXPECT_TRUE(HasLine(log, "ticks-done 1"));

  // A second client process, on its own association.
  std::string clientLog = MachinePath("client.log");
  pid_t client = Start("rpc_test_client.exe", {L"--endpoint", L"OtherProcessEndpoint", L"--log",
                                               WideFromUtf8(clientLog), L"--mode", L"roundtrip"});
  EXPECT_EQ(Wait(client), 0) << ReadFile(clientLog);
  EXPECT_EQ(Lines(clientLog), (std::vector<std::string>{"opened", "sum 42", "closed"}));
}

TEST_F(EndToEndTest, NoServerIsServerUnavailable) {
  RPC_BINDING_HANDLE b = Bind(L"NobodyServesThis");
  TEST_CONTEXT ctx = nullptr;
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), DWORD(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(ctx, nullptr);
}

TEST_F(EndToEndTest, NullContextIsRefusedOnTheClientWithoutSending) {
  Serve();
  TEST_CONTEXT null = nullptr;
  int64_t sum = 0;
  BSTR text = nullptr;
  EXPECT_EQ(StatusOf([&] { Client_TestClose(&null); }), DWORD(RPC_X_SS_IN_NULL_CONTEXT));
  EXPECT_EQ(StatusOf([&] { Client_TestAdd(null, 1, 2, &sum); }), DWORD(RPC_X_SS_IN_NULL_CONTEXT));
  EXPECT_EQ(StatusOf([&] { Client_TestGetText(null, &text); }), DWORD(RPC_X_SS_IN_NULL_CONTEXT));
  EXPECT_EQ(StatusOf([&] { Client_TestSetText(null, L"x"); }), DWORD(RPC_X_SS_IN_NULL_CONTEXT));
  EXPECT_TRUE(Events().empty());
}

TEST_F(EndToEndTest, StringBindingsComposeAndParse) {
  RPC_WSTR text = nullptr;
  ASSERT_EQ(RpcStringBindingComposeW(nullptr, const_cast<RPC_WSTR>(L"ncalrpc"), nullptr,
                                     const_cast<RPC_WSTR>(L"TorvexUtilityService_RpcEndpoint"), nullptr, &text),
            RPC_S_OK);
  EXPECT_EQ(std::wstring(text), L"ncalrpc:[TorvexUtilityService_RpcEndpoint]");
  RpcStringFreeW(&text);
  EXPECT_EQ(text, nullptr);
  ASSERT_EQ(RpcStringBindingComposeW(const_cast<RPC_WSTR>(L"4e9c2b71-3a5d-4f62-8b1e-7c0d95a3e2f4"),
                                     const_cast<RPC_WSTR>(L"ncalrpc"), const_cast<RPC_WSTR>(L"WINSIM"),
                                     const_cast<RPC_WSTR>(L"ep"), const_cast<RPC_WSTR>(L"Security=x"), &text),
            RPC_S_OK);
  EXPECT_EQ(std::wstring(text), L"4e9c2b71-3a5d-4f62-8b1e-7c0d95a3e2f4@ncalrpc:WINSIM[ep,Security=x]");
  RPC_WSTR object = nullptr, protseq = nullptr, address = nullptr, endpoint = nullptr, options = nullptr;
  ASSERT_EQ(RpcStringBindingParseW(text, &object, &protseq, &address, &endpoint, &options), RPC_S_OK);
  EXPECT_EQ(std::wstring(object), L"4e9c2b71-3a5d-4f62-8b1e-7c0d95a3e2f4");
  EXPECT_EQ(std::wstring(protseq), L"ncalrpc");
  EXPECT_EQ(std::wstring(address), L"WINSIM");
  EXPECT_EQ(std::wstring(endpoint), L"ep");
  EXPECT_EQ(std::wstring(options), L"Security=x");
  for (RPC_WSTR* s : {&text, &object, &protseq, &address, &endpoint, &options}) RpcStringFreeW(s);
  EXPECT_EQ(RpcStringBindingComposeW(const_cast<RPC_WSTR>(L"not-a-uuid"), const_cast<RPC_WSTR>(L"ncalrpc"), nullptr,
                                     nullptr, nullptr, &text),
            RPC_S_INVALID_STRING_UUID);

  struct Case {
    const wchar_t* binding;
    RPC_STATUS status;
  } cases[] = {
      {L"ncalrpc:[ep]", RPC_S_OK},
      {L"ncalrpc:", RPC_S_OK},
      {L"ncacn_ip_tcp:127.0.0.1[135]", RPC_S_PROTSEQ_NOT_SUPPORTED},
      {L"ncacn_np:[\\pipe\\x]", RPC_S_PROTSEQ_NOT_SUPPORTED},
      {L"nosuchprotseq:[ep]", RPC_S_INVALID_RPC_PROTSEQ},
      {L"ncalrpc[ep]", RPC_S_INVALID_STRING_BINDING},
      {L"ncalrpc:[ep", RPC_S_INVALID_STRING_BINDING},
      {L"ncalrpc:[ep]x", RPC_S_INVALID_STRING_BINDING},
      {L"zz@ncalrpc:[ep]", RPC_S_INVALID_STRING_UUID},
      {L"ncalrpc:[a/b]", RPC_S_INVALID_ENDPOINT_FORMAT},
  };
  for (const auto& c : cases) {
    RPC_BINDING_HANDLE b = reinterpret_cast<RPC_BINDING_HANDLE>(1);
    EXPECT_EQ(RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(c.binding), &b), c.status) << c.binding;
    if (c.status == RPC_S_OK) {
      RPC_WSTR back = nullptr;
      ASSERT_EQ(RpcBindingToStringBindingW(b, &back), RPC_S_OK);
      EXPECT_EQ(std::wstring(back), c.binding);
      RpcStringFreeW(&back);
      EXPECT_EQ(RpcBindingFree(&b), RPC_S_OK);
      EXPECT_EQ(b, nullptr);
    } else {
      EXPECT_EQ(b, nullptr) << c.binding;
    }
  }
  RPC_BINDING_HANDLE bogus = &cases;
  EXPECT_EQ(RpcBindingFree(&bogus), RPC_S_INVALID_BINDING);
}

TEST_F(EndToEndTest, ServerRegistrationResults) {
  EXPECT_EQ(RpcServerListen(1, 10, TRUE), RPC_S_NO_PROTSEQS_REGISTERED);
  RPC_BINDING_VECTOR* vector = nullptr;
  EXPECT_EQ(RpcServerInqBindings(&vector), RPC_S_NO_BINDINGS);
  EXPECT_EQ(RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncacn_ip_tcp"), 10, const_cast<RPC_WSTR>(L"135"), nullptr),
            RPC_S_PROTSEQ_NOT_SUPPORTED);
  EXPECT_EQ(RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"bogus"), 10, const_cast<RPC_WSTR>(L"x"), nullptr),
            RPC_S_INVALID_RPC_PROTSEQ);
  EXPECT_EQ(RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), 10, const_cast<RPC_WSTR>(L"a\\b"), nullptr),
            RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), 10, nullptr, nullptr), RPC_S_INVALID_ENDPOINT_FORMAT);

  Serve();
  EXPECT_EQ(RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN, 10, 0, nullptr, nullptr),
            RPC_S_TYPE_ALREADY_REGISTERED);
  ASSERT_EQ(RpcServerInqBindings(&vector), RPC_S_OK);
  ASSERT_EQ(vector->Count, 1u);
  RPC_WSTR text = nullptr;
  ASSERT_EQ(RpcBindingToStringBindingW(vector->BindingH[0], &text), RPC_S_OK);
  EXPECT_EQ(std::wstring(text), L"ncalrpc:[TestRpcEndpoint]");
  RpcStringFreeW(&text);

  // The endpoint map: a partially bound handle finds the endpoint through it.
  ASSERT_EQ(RpcEpRegisterW(TestRpc_v1_0_s_ifspec, vector, nullptr, nullptr), RPC_S_OK);
  RPC_BINDING_HANDLE partial = nullptr;
  ASSERT_EQ(RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(L"ncalrpc:"), &partial), RPC_S_OK);
  TEST_CONTEXT ctx = nullptr;
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(partial, &ctx); }), 0u);
  EXPECT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u);
  RpcBindingFree(&partial);
  EXPECT_EQ(RpcEpUnregister(TestRpc_v1_0_s_ifspec, vector, nullptr), RPC_S_OK);
  EXPECT_EQ(RpcEpUnregister(TestRpc_v1_0_s_ifspec, vector, nullptr), EPT_S_NOT_REGISTERED);
  ASSERT_EQ(RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(L"ncalrpc:"), &partial), RPC_S_OK);
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(partial, &ctx); }), DWORD(EPT_S_NOT_REGISTERED));
  RpcBindingFree(&partial);

  EXPECT_EQ(RpcBindingVectorFree(&vector), RPC_S_OK);
  EXPECT_EQ(vector, nullptr);

  // Listening: once, then already listening; a stop lets a waiting listen return.
  EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_NOT_LISTENING);
  EXPECT_EQ(RpcServerListen(1, 0, TRUE), RPC_S_MAX_CALLS_TOO_SMALL);
  EXPECT_EQ(RpcServerListen(1, 1234, TRUE), RPC_S_OK);
  EXPECT_EQ(RpcServerListen(1, 1234, TRUE), RPC_S_ALREADY_LISTENING);
  EXPECT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
  EXPECT_EQ(RpcMgmtWaitServerListen(), RPC_S_OK);
  // Only the stop releases a waiting listen: until the stop succeeds, it has not returned.
  std::atomic<RPC_STATUS> waited{-1};
  std::thread listener([&] { waited = RpcServerListen(1, 1234, FALSE); });
  bool stopped = WaitFor([&] {
    EXPECT_EQ(waited.load(), -1);
    return RpcMgmtStopServerListening(nullptr) == RPC_S_OK;
  });
  listener.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(waited.load(), RPC_S_OK);

  // Impersonation needs a call.
  EXPECT_EQ(RpcImpersonateClient(nullptr), RPC_S_NO_CALL_ACTIVE);
  EXPECT_EQ(RpcRevertToSelf(), RPC_S_NO_CALL_ACTIVE);

  // Unregistered, the interface is refused; registered again, it serves.
  EXPECT_EQ(RpcServerUnregisterIf(TestRpc_v1_0_s_ifspec, nullptr, TRUE), RPC_S_OK);
  EXPECT_EQ(RpcServerUnregisterIf(TestRpc_v1_0_s_ifspec, nullptr, TRUE), RPC_S_UNKNOWN_IF);
  RPC_BINDING_HANDLE b = Bind();
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), DWORD(RPC_S_UNKNOWN_IF));
  ASSERT_EQ(RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN, 10, 0, nullptr, nullptr),
            RPC_S_OK);
  RPC_BINDING_HANDLE again = Bind();
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(again, &ctx); }), 0u);
  EXPECT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u);
}

TEST_F(EndToEndTest, InterfaceWithoutAutoListenServesOnlyWhileListening) {
  Serve(RPC_IF_ALLOW_LOCAL_ONLY);
  RPC_BINDING_HANDLE b = Bind();
  TEST_CONTEXT ctx = nullptr;
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), DWORD(RPC_S_UNKNOWN_IF));
  ASSERT_EQ(RpcServerListen(1, 1234, TRUE), RPC_S_OK);
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u);
  EXPECT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u);
  ASSERT_EQ(RpcMgmtStopServerListening(nullptr), RPC_S_OK);
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), DWORD(RPC_S_UNKNOWN_IF));
}

TEST_F(EndToEndTest, EveryServerFunctionTakesInjectedFaults) {
  struct Case {
    const char* name;
    std::function<RPC_STATUS()> call;
  } cases[] = {
      {"RpcServerUseProtseqEpW", [] { return RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), 10, const_cast<RPC_WSTR>(L"F"), nullptr); }},
      {"RpcServerRegisterIf3", [] { return RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, 1, 1, 0, nullptr, nullptr); }},
      {"RpcServerRegisterIfEx", [] { return RpcServerRegisterIfEx(TestRpc_v1_0_s_ifspec, nullptr, nullptr, 1, 1, nullptr); }},
      {"RpcServerInqBindings", [] { RPC_BINDING_VECTOR* v = nullptr; return RpcServerInqBindings(&v); }},
      {"RpcEpRegisterW", [] { return RpcEpRegisterW(TestRpc_v1_0_s_ifspec, nullptr, nullptr, nullptr); }},
      {"RpcEpUnregister", [] { return RpcEpUnregister(TestRpc_v1_0_s_ifspec, nullptr, nullptr); }},
      {"RpcServerListen", [] { return RpcServerListen(1, 1234, FALSE); }},
      {"RpcMgmtStopServerListening", [] { return RpcMgmtStopServerListening(nullptr); }},
      {"RpcMgmtWaitServerListen", [] { return RpcMgmtWaitServerListen(); }},
      {"RpcServerUnregisterIf", [] { return RpcServerUnregisterIf(nullptr, nullptr, FALSE); }},
      {"RpcImpersonateClient", [] { return RpcImpersonateClient(nullptr); }},
      {"RpcRevertToSelf", [] { return RpcRevertToSelf(); }},
      {"RpcRevertToSelfEx", [] { return RpcRevertToSelfEx(nullptr); }},
      {"RpcBindingFromStringBindingW", [] { RPC_BINDING_HANDLE b; return RpcBindingFromStringBindingW(const_cast<RPC_WSTR>(L"ncalrpc:"), &b); }},
      {"RpcBindingToStringBindingW", [] { RPC_WSTR s; return RpcBindingToStringBindingW(nullptr, &s); }},
      {"RpcBindingFree", [] { RPC_BINDING_HANDLE b = nullptr; return RpcBindingFree(&b); }},
      {"RpcBindingVectorFree", [] { RPC_BINDING_VECTOR* v = nullptr; return RpcBindingVectorFree(&v); }},
      {"RpcStringBindingComposeW", [] { return RpcStringBindingComposeW(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"RpcStringBindingParseW", [] { return RpcStringBindingParseW(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"UuidFromStringW", [] { UUID u; return UuidFromStringW(nullptr, &u); }},
  };
  for (const auto& c : cases) {
    InjectFault(c.name, 1234, 1);
    EXPECT_EQ(c.call(), 1234) << c.name;
  }
  ClearFaults();
  // A proxy's call fails with the injected status, before anything is sent.
  Serve();
  RPC_BINDING_HANDLE b = Bind();
  TEST_CONTEXT ctx = nullptr;
  InjectFault("RpcClientCall", RPC_S_SERVER_TOO_BUSY, 1);
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), DWORD(RPC_S_SERVER_TOO_BUSY));
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(StatusOf([&] { Client_TestOpen(b, &ctx); }), 0u);
  EXPECT_EQ(StatusOf([&] { Client_TestClose(&ctx); }), 0u);
}

}  // namespace
}  // namespace winsim::test
