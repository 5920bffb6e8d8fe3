// The endpoint map: the machine's record of which endpoint serves which interface (and object),
// kept in the machine database so that every process of the machine sees it.
#pragma once
#include <optional>
#include <string>

#include "winsim/rpcstub.h"

namespace winsim::rpc {

// The ncalrpc endpoint registered for an interface (same UUID and major version, a minor version
// at least the one asked for) and object (or for any object); nullopt when none is.
std::optional<std::wstring> LookupEndpoint(const SyntaxIdentifier& iface, const std::optional<GUID>& object);

}  // namespace winsim::rpc
