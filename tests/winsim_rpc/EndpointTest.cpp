// Endpoint names: one live server per name, a dead server's socket reclaimed, a live one never
// removed.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>

#include "RpcFixture.h"
#include "core/machine.h"

namespace winsim::test {
namespace {

class EndpointTest : public RpcTest {
 protected:
  RPC_STATUS Use(const std::wstring& endpoint) {
    return RpcServerUseProtseqEpW(const_cast<RPC_WSTR>(L"ncalrpc"), 10, const_cast<RPC_WSTR>(endpoint.c_str()), nullptr);
  }
  std::string SocketPath(const std::string& endpoint) { return MachinePath("run/rpc/" + endpoint); }
  bool IsSocket(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
  }
  // A round trip from this process; the server's events tell whose server answered.
  DWORD RoundTrip(const std::wstring& endpoint) {
    RPC_BINDING_HANDLE b = Bind(endpoint);
    TEST_CONTEXT ctx = nullptr;
    DWORD status = StatusOf([&] { Client_TestOpen(b, &ctx); });
    if (status == 0) status = StatusOf([&] { Client_TestClose(&ctx); });
    return status;
  }
};

TEST_F(EndpointTest, ANameThatALiveProcessServesIsADuplicate) {
  std::string log = MachinePath("server.log");
  StartServer(L"Shared", log);
  ASSERT_TRUE(IsSocket(SocketPath("Shared")));
  EXPECT_EQ(Use(L"Shared"), RPC_S_DUPLICATE_ENDPOINT);
  // The other server's socket is untouched and still serves.
  EXPECT_EQ(RoundTrip(L"Shared"), 0u);
  EXPECT_TRUE(HasLine(log, "open 1"));
  // A second server program on the name fails the same way.
  std::string second = MachinePath("second.log");
  pid_t other = Start("rpc_test_server.exe", {L"--endpoint", L"Shared", L"--log", WideFromUtf8(second)});
  Wait(other);
  auto record = FindProcess(other);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->exitCode, uint32_t(RPC_S_DUPLICATE_ENDPOINT));
  EXPECT_EQ(Lines(second), (std::vector<std::string>{"failed use 1740"}));
  // This process may not take a name twice either.
  ASSERT_EQ(Use(L"Mine"), RPC_S_OK);
  EXPECT_EQ(Use(L"Mine"), RPC_S_DUPLICATE_ENDPOINT);
}

TEST_F(EndpointTest, ADeadServersSocketIsReclaimed) {
  std::string log = MachinePath("server.log");
  pid_t server = StartServer(L"Reclaimed", log);
  Kill(server);
  // The killed server left its socket file behind; nobody answers on it.
  ASSERT_TRUE(IsSocket(SocketPath("Reclaimed")));
  EXPECT_EQ(RoundTrip(L"Reclaimed"), DWORD(RPC_S_SERVER_UNAVAILABLE));
  // A socket file that no server ever locked (left by a crashed machine) is stale as well.
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string orphan = SocketPath("Orphan");
  ASSERT_LT(orphan.size(), sizeof(addr.sun_path));
  std::memcpy(addr.sun_path, orphan.c_str(), orphan.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(fd);
  for (const wchar_t* name : {L"Reclaimed", L"Orphan"}) {
    ASSERT_EQ(Use(name), RPC_S_OK) << Utf8FromWide(name);
  }
  ASSERT_EQ(RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN, 1234, 0, nullptr, nullptr),
            RPC_S_OK);
  EXPECT_EQ(RoundTrip(L"Reclaimed"), 0u);
  EXPECT_EQ(RoundTrip(L"Orphan"), 0u);
  EXPECT_EQ(CountEvents("open"), 2u);
}

TEST_F(EndpointTest, AnEndpointEndsWithItsServerAndItsNameIsFreeAgain) {
  ASSERT_EQ(Use(L"Again"), RPC_S_OK);
  rpc::ResetServer();
  EXPECT_FALSE(IsSocket(SocketPath("Again")));
  EXPECT_EQ(RoundTrip(L"Again"), DWORD(RPC_S_SERVER_UNAVAILABLE));
  std::string log = MachinePath("server.log");
  StartServer(L"Again", log);
  EXPECT_EQ(RoundTrip(L"Again"), 0u);
}

TEST_F(EndpointTest, LongMachinePathsStillReachTheirEndpoints) {
  // Socket addresses hold about a hundred bytes; a deep machine directory goes beyond that.
  std::string deep = Machine() + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
  std::filesystem::create_directories(deep);
  InitMachine(deep);
  std::wstring name(40, L'n');
  ASSERT_EQ(Use(name), RPC_S_OK);
  ASSERT_EQ(RpcServerRegisterIf3(TestRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN, 1234, 0, nullptr, nullptr),
            RPC_S_OK);
  EXPECT_TRUE(IsSocket(deep + "/run/rpc/" + Utf8FromWide(name)));
  EXPECT_EQ(RoundTrip(name), 0u);
  EXPECT_EQ(Use(name), RPC_S_DUPLICATE_ENDPOINT);
  rpc::ResetServer();
  UseMachine(Machine());
}

}  // namespace
}  // namespace winsim::test
