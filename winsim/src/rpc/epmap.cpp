#include "rpc/epmap.h"

#include <unistd.h>

#include <vector>

#include "core/fault.h"
#include "core/machine.h"
#include "core/strings.h"
#include "rpc/binding.h"

namespace winsim::rpc {
namespace {

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS rpc_endpoint_map (if_uuid TEXT NOT NULL, if_major INTEGER NOT NULL,"
    " if_minor INTEGER NOT NULL, object TEXT NOT NULL, protseq TEXT NOT NULL, endpoint TEXT NOT NULL,"
    " annotation TEXT NOT NULL, pid INTEGER NOT NULL);";

Database& MapDb() {
  Database& db = Database::Get();
  db.EnsureSchema("rpc_endpoint_map", kSchema);
  return db;
}

std::string UuidText(const GUID& g) {
  RPC_WSTR text = nullptr;
  UUID copy = g;
  if (UuidToStringW(&copy, &text) != RPC_S_OK) return std::string();
  std::string out = Utf8FromWide(text);
  RpcStringFreeW(&text);
  return out;
}

const ServerInterface* AsInterface(RPC_IF_HANDLE handle) {
  auto* spec = static_cast<const ServerInterface*>(handle);
  return spec && spec->length == sizeof(ServerInterface) ? spec : nullptr;
}

// The bindings of a vector, each of which must name an endpoint.
RPC_STATUS Bindings(RPC_BINDING_VECTOR* vector, std::vector<ClientBinding*>* out) {
  if (!vector || vector->Count == 0) return RPC_S_NO_BINDINGS;
  for (ULONG i = 0; i < vector->Count; ++i) {
    ClientBinding* b = AsClientBinding(vector->BindingH[i]);
    if (!b || b->endpoint.empty()) return RPC_S_INVALID_BINDING;
    out->push_back(b);
  }
  return RPC_S_OK;
}

std::vector<std::string> Objects(UUID_VECTOR* uuids) {
  std::vector<std::string> out;
  if (uuids) {
    for (ULONG i = 0; i < uuids->Count; ++i) out.push_back(UuidText(uuids->Uuid[i] ? *uuids->Uuid[i] : GUID{}));
  }
  if (out.empty()) out.push_back(UuidText(GUID{}));
  return out;
}

}  // namespace

std::optional<std::wstring> LookupEndpoint(const SyntaxIdentifier& iface, const std::optional<GUID>& object) {
  Database& db = MapDb();
  Statement q(db.Raw(),
              "SELECT endpoint FROM rpc_endpoint_map WHERE if_uuid=? AND if_major=? AND if_minor>=?"
              " AND protseq='ncalrpc' AND (object=? OR object=?) ORDER BY rowid DESC LIMIT 1");
  q.Bind(1, UuidText(iface.uuid)).Bind(2, static_cast<int64_t>(iface.major)).Bind(3, static_cast<int64_t>(iface.minor));
  q.Bind(4, UuidText(object.value_or(GUID{}))).Bind(5, UuidText(GUID{}));
  if (!q.Step()) return std::nullopt;
  return WideFromUtf8(q.Text(0));
}

}  // namespace winsim::rpc

using namespace winsim;
using namespace winsim::rpc;

RPC_STATUS RPC_ENTRY RpcEpRegisterW(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector,
                                    RPC_WSTR Annotation) {
  WINSIM_FAULT_STATUS("RpcEpRegisterW", RPC_STATUS);
  const ServerInterface* spec = AsInterface(IfSpec);
  if (!spec) return RPC_S_INVALID_ARG;
  std::vector<ClientBinding*> bindings;
  RPC_STATUS status = Bindings(BindingVector, &bindings);
  if (status != RPC_S_OK) return status;
  std::string annotation = Annotation ? Utf8FromWide(Annotation) : std::string();
  std::string ifUuid = UuidText(spec->id.uuid);
  Database& db = MapDb();
  Transaction tx;
  for (ClientBinding* b : bindings) {
    for (const std::string& object : Objects(UuidVector)) {
      // A new registration replaces the entry for the same interface, object and binding.
      Statement del(db.Raw(),
                    "DELETE FROM rpc_endpoint_map WHERE if_uuid=? AND if_major=? AND if_minor=? AND object=?"
                    " AND protseq=? AND endpoint=?");
      del.Bind(1, ifUuid).Bind(2, static_cast<int64_t>(spec->id.major)).Bind(3, static_cast<int64_t>(spec->id.minor));
      del.Bind(4, object).Bind(5, Utf8FromWide(b->protseq)).Bind(6, Utf8FromWide(b->endpoint));
      del.Step();
      Statement ins(db.Raw(), "INSERT INTO rpc_endpoint_map VALUES(?,?,?,?,?,?,?,?)");
      ins.Bind(1, ifUuid).Bind(2, static_cast<int64_t>(spec->id.major)).Bind(3, static_cast<int64_t>(spec->id.minor));
      ins.Bind(4, object).Bind(5, Utf8FromWide(b->protseq)).Bind(6, Utf8FromWide(b->endpoint)).Bind(7, annotation);
      ins.Bind(8, static_cast<int64_t>(getpid()));
      ins.Step();
    }
  }
  tx.Commit();
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcEpUnregister(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector) {
  WINSIM_FAULT_STATUS("RpcEpUnregister", RPC_STATUS);
  const ServerInterface* spec = AsInterface(IfSpec);
  if (!spec) return RPC_S_INVALID_ARG;
  std::vector<ClientBinding*> bindings;
  RPC_STATUS status = Bindings(BindingVector, &bindings);
  if (status != RPC_S_OK) return status;
  std::string ifUuid = UuidText(spec->id.uuid);
  Database& db = MapDb();
  Transaction tx;
  int removed = 0;
  for (ClientBinding* b : bindings) {
    for (const std::string& object : Objects(UuidVector)) {
      Statement del(db.Raw(),
                    "DELETE FROM rpc_endpoint_map WHERE if_uuid=? AND if_major=? AND if_minor=? AND object=?"
                    " AND protseq=? AND endpoint=?");
      del.Bind(1, ifUuid).Bind(2, static_cast<int64_t>(spec->id.major)).Bind(3, static_cast<int64_t>(spec->id.minor));
      del.Bind(4, object).Bind(5, Utf8FromWide(b->protseq)).Bind(6, Utf8FromWide(b->endpoint));
      del.Step();
      removed += db.Changes();
    }
  }
  tx.Commit();
  return removed ? RPC_S_OK : EPT_S_NOT_REGISTERED;
}
