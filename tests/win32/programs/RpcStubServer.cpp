// A server of UtilityServiceRpc for the Windows check: the service's own manager routines
// (rpc/RpcProcedures.cpp) behind the Windows build's stubs, on the service's ncalrpc endpoint, so
// that RpcStubClient.exe can drive them with Utility.exe under a Windows run-time (Wine in the
// Windows check).
//
// It registers the interface itself instead of calling RpcServerConnect: the endpoint's set-up
// first derives the companion app's capability SID with DeriveCapabilitySidsFromName, which Wine 8's
// kernelbase.dll does not have, so there RpcServerConnect fails (127) before anything is
// registered. The descriptor here therefore grants Everyone alone; the app-container entry, which
// needs that SID, is left out. Registration otherwise follows the service: the same protocol
// sequence, endpoint, interface flags and call limits. Prints "listening" once the interface is
// registered, and the manager routines' own lines after it.
#include <windows.h>
#include <aclapi.h>
#include <rpc.h>

#include <cstdio>

#include "UtilityServiceRpc.h"
#include "common/Portability.h"

namespace {

wchar_t kProtocolSequence[] = L"ncalrpc";
wchar_t kEndpointName[] = L"TorvexUtilityService_RpcEndpoint";
const unsigned int kInterfaceFlags = RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY;
const unsigned int kMaxConcurrentCalls = 1234;

int Fail(const char* step, unsigned long code) {
  std::printf("set-up failed: %s %lu\n", step, code);
  std::fflush(stdout);
  return static_cast<int>(code == 0 ? 1 : code);
}

}  // namespace

int wmain() {
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
    return Fail("AllocateAndInitializeSid", GetLastError());
  }
  EXPLICIT_ACCESS_W entry = {};
  entry.grfAccessPermissions = GENERIC_ALL;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(everyone);
  PACL acl = nullptr;
  DWORD aclResult = SetEntriesInAclW(1, &entry, nullptr, &acl);
  if (aclResult != ERROR_SUCCESS) return Fail("SetEntriesInAclW", aclResult);
  SECURITY_DESCRIPTOR sd = {};
  if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) || !SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE)) {
    return Fail("security descriptor", GetLastError());
  }

  RPC_STATUS status = RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(kProtocolSequence), 10,
                                             reinterpret_cast<RPC_WSTR>(kEndpointName), &sd);
  if (status != RPC_S_OK) return Fail("RpcServerUseProtseqEpW", status);
  status = RpcServerRegisterIf3(UtilityServiceRpc_v1_0_s_ifspec, nullptr, nullptr, kInterfaceFlags,
                                kMaxConcurrentCalls, 0, nullptr, &sd);
  if (status != RPC_S_OK) return Fail("RpcServerRegisterIf3", status);
  std::printf("listening\n");
  std::fflush(stdout);
  // The interface listens by itself; the client ends this process when it is done.
  status = RpcServerListen(1, kMaxConcurrentCalls, FALSE);
  if (status != RPC_S_OK && status != RPC_S_ALREADY_LISTENING) return Fail("RpcServerListen", status);
  Sleep(INFINITE);
  return 0;
}
