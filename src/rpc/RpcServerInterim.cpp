// Interim endpoint, until the RPC run-time and the UtilityServiceRpc interface arrive: it behaves
// as the real listen call does for the service's life cycle (it blocks until the process ends),
// and there is nothing registered yet that a stop could take down. The RPC endpoint replaces this
// file as a whole.
#include "rpc/RpcServer.h"

std::atomic<bool> g_bRpcServerStopping{false};

RPC_STATUS RpcServerConnect() {
  g_bRpcServerStopping.store(false);
  Sleep(INFINITE);
  return RPC_S_OK;
}
