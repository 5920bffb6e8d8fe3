// The endpoint's set-up and teardown. The endpoint admits every local caller (Everyone) and, by a
// second entry, the companion app, which runs in an app container: such a caller is admitted only
// when the access list grants its capability SID too.
#include "rpc/RpcServer.h"

#include <aclapi.h>
#include <sddl.h>

#include <mutex>

#include "UtilityServiceRpc.h"
#include "common/Portability.h"
#include "common/UtilityApp.h"

std::atomic<bool> g_bRpcServerStopping{false};
RPC_BINDING_VECTOR* g_pRpcBindingVector = nullptr;

namespace {

// The endpoint's settings.
wchar_t kProtocolSequence[] = L"ncalrpc";
wchar_t kEndpointName[] = L"TorvexUtilityService_RpcEndpoint";
const unsigned int kProtseqMaxCalls = 10;
const unsigned int kInterfaceFlags = RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_LOCAL_ONLY;
const unsigned int kMaxConcurrentCalls = 1234;
const unsigned int kMaxRpcSize = 0;

// Set-up and teardown take this lock for their registration steps (never across the listen call),
// so that a stop that comes while the endpoint is being set up waits for it, and a set-up that
// comes after the stop finds it done and registers nothing.
std::mutex g_setupLock;
bool g_bTeardownDone = false;

// What the set-up made for the security descriptor, released on every path.
struct SecurityParts {
  PSID* pCapabilityGroupSids = nullptr;
  DWORD dwCapabilityGroupSidCount = 0;
  PSID* pCapabilitySids = nullptr;
  DWORD dwCapabilitySidCount = 0;
  PSID pEveryoneSid = nullptr;
  PACL pAcl = nullptr;

  ~SecurityParts() {
    FreeSidList(pCapabilityGroupSids, dwCapabilityGroupSidCount);
    FreeSidList(pCapabilitySids, dwCapabilitySidCount);
    if (pEveryoneSid != nullptr) FreeSid(pEveryoneSid);
    if (pAcl != nullptr) LocalFree(pAcl);
  }

  static void FreeSidList(PSID* list, DWORD count) {
    if (list == nullptr) return;
    for (DWORD i = 0; i < count; ++i) {
      if (list[i] != nullptr) LocalFree(list[i]);
    }
    LocalFree(list);
  }
};

// Steps up to the listen call, under g_setupLock. *pbListen tells whether to listen.
RPC_STATUS SetUpEndpoint(SecurityParts& parts, SECURITY_DESCRIPTOR& sd, bool* pbListen) {
  *pbListen = false;
  std::lock_guard<std::mutex> lock(g_setupLock);
  // The service was stopped before the endpoint came up: the stop flag stays set and nothing is
  // registered that no teardown would remove.
  if (g_bTeardownDone) return RPC_S_OK;
  g_bRpcServerStopping.store(false);

  if (!DeriveCapabilitySidsFromName(UTILITY_CAPABILITY_NAME, &parts.pCapabilityGroupSids,
                                    &parts.dwCapabilityGroupSidCount, &parts.pCapabilitySids,
                                    &parts.dwCapabilitySidCount)) {
    return static_cast<RPC_STATUS>(GetLastError());
  }
  if (parts.dwCapabilitySidCount != 1) return ERROR_INVALID_PARAMETER;

  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &parts.pEveryoneSid)) {
    return static_cast<RPC_STATUS>(GetLastError());
  }

  EXPLICIT_ACCESS_W entries[2] = {};
  entries[0].grfAccessPermissions = GENERIC_ALL;
  entries[0].grfAccessMode = SET_ACCESS;
  entries[0].grfInheritance = NO_INHERITANCE;
  entries[0].Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entries[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  entries[0].Trustee.ptstrName = static_cast<LPWSTR>(parts.pEveryoneSid);
  entries[1].grfAccessPermissions = GENERIC_ALL;
  entries[1].grfAccessMode = SET_ACCESS;
  entries[1].grfInheritance = NO_INHERITANCE;
  entries[1].Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entries[1].Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
  entries[1].Trustee.ptstrName = static_cast<LPWSTR>(parts.pCapabilitySids[0]);
  DWORD dwAclResult = SetEntriesInAclW(2, entries, nullptr, &parts.pAcl);
  if (dwAclResult != ERROR_SUCCESS) return static_cast<RPC_STATUS>(dwAclResult);

  if (!InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION)) return static_cast<RPC_STATUS>(GetLastError());
  if (!SetSecurityDescriptorDacl(&sd, TRUE, parts.pAcl, FALSE)) return static_cast<RPC_STATUS>(GetLastError());

  // The run-time copies the descriptor: the parts are freed when RpcServerConnect returns.
  RPC_STATUS status = RpcServerUseProtseqEpW(reinterpret_cast<RPC_WSTR>(kProtocolSequence), kProtseqMaxCalls,
                                             reinterpret_cast<RPC_WSTR>(kEndpointName), &sd);
  if (status != RPC_S_OK) return status;
  status = RpcServerRegisterIf3(UtilityServiceRpc_v1_0_s_ifspec, nullptr, nullptr, kInterfaceFlags,
                                kMaxConcurrentCalls, kMaxRpcSize, nullptr, &sd);
  if (status != RPC_S_OK) return status;
  status = RpcServerInqBindings(&g_pRpcBindingVector);
  if (status != RPC_S_OK) return status;
  status = RpcEpRegisterW(UtilityServiceRpc_v1_0_s_ifspec, g_pRpcBindingVector, nullptr, nullptr);
  if (status != RPC_S_OK) return status;
  *pbListen = true;
  return RPC_S_OK;
}

}  // namespace

RPC_STATUS RpcServerConnect() {
  SecurityParts parts;
  SECURITY_DESCRIPTOR sd = {};
  bool bListen = false;
  RPC_STATUS status = SetUpEndpoint(parts, sd, &bListen);
  if (status != RPC_S_OK || !bListen) return status;
  status = RpcServerListen(1, kMaxConcurrentCalls, FALSE);
  if (status == RPC_S_ALREADY_LISTENING) status = RPC_S_OK;
  return status;
}

void RpcServerTeardown() {
  std::lock_guard<std::mutex> lock(g_setupLock);
  g_bTeardownDone = true;
  g_bRpcServerStopping.store(true);
  // Results are not looked at: the service reports stopped whatever they are.
  RpcServerUnregisterIf(UtilityServiceRpc_v1_0_s_ifspec, nullptr, FALSE);
  // Without the binding vector nothing was registered with the endpoint mapper, and the call
  // needs one: the run-time is not handed a null vector.
  if (g_pRpcBindingVector != nullptr) {
    RpcEpUnregister(UtilityServiceRpc_v1_0_s_ifspec, g_pRpcBindingVector, nullptr);
    RpcBindingVectorFree(&g_pRpcBindingVector);
  }
  g_pRpcBindingVector = nullptr;
}
