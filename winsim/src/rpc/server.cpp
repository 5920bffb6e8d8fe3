#include "rpc/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <openssl/rand.h>
#include <set>
#include <thread>

#include "core/fault.h"
#include "core/identity.h"
#include "core/strings.h"
#include "process/process.h"
#include "rpc/binding.h"
#include "rpc/context.h"
#include "rpc/exceptions.h"
#include "rpc/pdu.h"
#include "rpc/transport.h"
#include "security/access.h"

namespace winsim::rpc {
namespace {

// The largest request a call may assemble from its fragments. An interface's MaxRpcSize does not
// apply to ncalrpc (as Windows documents), so this is the run-time's own guard.
constexpr size_t kMaxRequestSize = 4 * 1024 * 1024;
// Feature negotiation bits this server supports: a connection survives an orphaned call.
constexpr uint16_t kSupportedFeatures = kFeatureKeepConnectionOnOrphan;
// The exception code that a C++ throw raises on Windows; a server routine that ends with any
// exception other than an RPC exception returns it to the client, as an SEH exception's code would.
constexpr DWORD kCxxExceptionCode = 0xE06D7363;
// The right to call an interface, and how the generic rights of a descriptor's entries map onto
// it: any entry that allows a generic right admits the caller.
constexpr uint32_t kCallRight = 0x0001;
constexpr GENERIC_MAPPING kCallMapping = {STANDARD_RIGHTS_READ | kCallRight, STANDARD_RIGHTS_WRITE | kCallRight,
                                          STANDARD_RIGHTS_EXECUTE | kCallRight, STANDARD_RIGHTS_REQUIRED | kCallRight};

struct InterfaceRegistration {
  const ServerInterface* spec = nullptr;
  unsigned flags = 0;
  unsigned maxCalls = 0;
  RPC_IF_CALLBACK_FN* callback = nullptr;
  std::vector<uint8_t> securityDescriptor;
  bool registered = true;
  unsigned active = 0;  // calls in progress, under the server's lock
};

struct Endpoint {
  std::wstring name;
  Listener listener;
  std::vector<uint8_t> securityDescriptor;
  int wake[2] = {-1, -1};
  std::thread acceptor;
};

struct Group {
  uint32_t id = 0;
  int connections = 0;
  pid_t creator = -1;
};

struct PresContext {
  std::shared_ptr<InterfaceRegistration> iface;
};

struct Connection {
  int fd = -1;
  FragmentReader reader;  // every fragment of the connection comes through it
  std::shared_ptr<Endpoint> endpoint;
  pid_t peer = -1;
  Identity caller;
  bool bound = false;
  uint16_t maxXmit = kMaxFragSize;
  uint16_t maxRecv = kMaxFragSize;
  std::shared_ptr<Group> group;
  std::map<uint16_t, PresContext> contexts;
  std::map<const InterfaceRegistration*, bool> admitted;
  bool broken = false;  // a callback found the connection unusable
};

// The handle that a server routine gets for its call.
struct CallBinding {
  detail::CallState* call;
};

}  // namespace

namespace detail {

struct CallState {
  struct Slot : ServerContextSlot {
    std::shared_ptr<ContextRecord> record;
  };
  Connection* conn = nullptr;
  uint32_t callId = 0;
  uint16_t contextId = 0;
  uint16_t opnum = 0;
  std::optional<GUID> object;
  bool executed = false;
  std::deque<Slot> slots;
  std::vector<std::shared_ptr<ContextRecord>> held;
  CallBinding binding{this};

  ServerCall Handle() { return ServerCall(this); }
};

}  // namespace detail

namespace {

thread_local detail::CallState* t_call = nullptr;

class Server {
 public:
  static Server& Get() {
    // Never destroyed: connection threads may outlive static destruction at process exit.
    static Server* server = new Server();
    return *server;
  }

  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::shared_ptr<Endpoint>> endpoints;
  std::vector<std::shared_ptr<InterfaceRegistration>> interfaces;
  std::map<uint32_t, std::shared_ptr<Group>> groups;
  std::set<uint32_t> usedGroupIds;
  std::set<int> connectionFds;
  int connectionThreads = 0;
  bool listening = false;
  bool stopRequested = false;
  unsigned listenMaxCalls = RPC_C_LISTEN_MAX_CALLS_DEFAULT;
  unsigned listenActive = 0;
  std::set<const void*> callBindings;
  ContextTable contexts;
};

const ServerInterface* AsServerInterface(RPC_IF_HANDLE handle) {
  auto* spec = static_cast<const ServerInterface*>(handle);
  if (!spec || spec->length != sizeof(ServerInterface) || (spec->routineCount && !spec->routines)) return nullptr;
  return spec;
}

void SendFault(Connection& c, uint32_t callId, uint16_t contextId, DWORD status, bool executed) {
  FaultPdu f;
  f.header.callId = callId;
  f.header.flags = kPfcFirstFrag | kPfcLastFrag | (executed ? 0 : kPfcDidNotExecute);
  f.contextId = contextId;
  f.status = FaultFromStatus(status);
  if (!SendAll(c.fd, EncodeFault(f))) c.broken = true;
}

void SendBindNak(Connection& c, uint32_t callId, uint16_t reason) {
  BindNakPdu nak;
  nak.header.callId = callId;
  nak.header.flags = kPfcFirstFrag | kPfcLastFrag;
  nak.reason = reason;
  nak.versions = {{5, 0}};
  SendAll(c.fd, EncodeBindNak(nak));
}

std::shared_ptr<InterfaceRegistration> FindInterface(const SyntaxIdentifier& syntax) {
  Server& s = Server::Get();
  std::lock_guard<std::mutex> lock(s.lock);
  for (const auto& reg : s.interfaces) {
    const SyntaxIdentifier& id = reg->spec->id;
    // Same interface and major version; the server's minor version at least the client's.
    if (reg->registered && SameGuid(id.uuid, syntax.uuid) && id.major == syntax.major && id.minor >= syntax.minor) {
      return reg;
    }
  }
  return nullptr;
}

// The result for each presentation context of a bind or alter_context, in order.
std::vector<ContextResult> NegotiateContexts(Connection& c, const BindPdu& bind) {
  std::vector<ContextResult> results;
  for (const auto& ctx : bind.contexts) {
    ContextResult r;
    if (ctx.transferSyntaxes.size() == 1 && IsFeatureNegotiationSyntax(ctx.transferSyntaxes[0])) {
      // The eight octets after the prefix are the client's feature bits; the answer carries the
      // ones this server supports, and no transfer syntax.
      r.result = kResultNegotiateAck;
      r.reason = static_cast<uint16_t>(ctx.transferSyntaxes[0].uuid.Data4[0] & kSupportedFeatures);
      results.push_back(r);
      continue;
    }
    auto reg = FindInterface(ctx.abstractSyntax);
    if (!reg) {
      r.result = kResultProviderRejection;
      r.reason = kReasonAbstractSyntaxNotSupported;
      results.push_back(r);
      continue;
    }
    bool ndr20 = false;
    for (const auto& t : ctx.transferSyntaxes) ndr20 = ndr20 || SameSyntax(t, kNdr20Syntax);
    if (!ndr20) {
      // NDR64 is not carried by this run-time; neither is any other transfer syntax.
      r.result = kResultProviderRejection;
      r.reason = kReasonTransferSyntaxesNotSupported;
      results.push_back(r);
      continue;
    }
    r.result = kResultAcceptance;
    r.transferSyntax = kNdr20Syntax;
    c.contexts[ctx.contextId] = PresContext{reg};
    results.push_back(r);
  }
  return results;
}

uint32_t NewGroupId(Server& s) {
  for (;;) {
    uint32_t id = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&id), sizeof(id));
    if (id != 0 && s.usedGroupIds.insert(id).second) return id;
  }
}

// Answers a bind; false when the connection is to be closed.
bool HandleBind(Connection& c, const std::vector<uint8_t>& fragment, const PduHeader& h) {
  if (c.bound) {
    // One bind per connection; a second one is a protocol error.
    SendBindNak(c, h.callId, kNakProtocolVersionNotSupported);
    return false;
  }
  if (h.versionMajor != 5 || h.versionMinor > 1) {
    SendBindNak(c, h.callId, kNakProtocolVersionNotSupported);
    return false;
  }
  if (h.authLength != 0) {
    // No security provider is offered on ncalrpc here: the kernel names the caller.
    SendBindNak(c, h.callId, kNakAuthenticationTypeNotRecognized);
    return false;
  }
  BindPdu bind;
  try {
    bind = DecodeBind(fragment);
  } catch (const PduFormatError&) {
    SendBindNak(c, h.callId, kNakProtocolVersionNotSupported);
    return false;
  }
  if (bind.maxXmitFrag < kMinFragSize || bind.maxRecvFrag < kMinFragSize) {
    SendBindNak(c, h.callId, kNakProtocolVersionNotSupported);
    return false;
  }
  Server& s = Server::Get();
  {
    std::lock_guard<std::mutex> lock(s.lock);
    if (bind.assocGroupId == 0) {
      auto g = std::make_shared<Group>();
      g->id = NewGroupId(s);
      g->creator = c.peer;
      s.groups[g->id] = g;
      c.group = g;
    } else {
      // A connection joins an existing group only from the process that made it: its context
      // handles are that process's.
      auto it = s.groups.find(bind.assocGroupId);
      if (it == s.groups.end() || it->second->creator != c.peer) {
        SendBindNak(c, h.callId, kNakReasonNotSpecified);
        return false;
      }
      c.group = it->second;
    }
    ++c.group->connections;
  }
  c.bound = true;
  c.maxXmit = std::min<uint16_t>(kMaxFragSize, bind.maxRecvFrag);
  c.maxRecv = std::min<uint16_t>(kMaxFragSize, bind.maxXmitFrag);

  BindAckPdu ack;
  ack.header.callId = h.callId;
  ack.header.flags = kPfcFirstFrag | kPfcLastFrag;
  ack.maxXmitFrag = c.maxXmit;
  ack.maxRecvFrag = c.maxRecv;
  ack.assocGroupId = c.group->id;
  ack.secondaryAddress = Utf8FromWide(c.endpoint->name);
  ack.results = NegotiateContexts(c, bind);
  return SendAll(c.fd, EncodeBindAck(ack));
}

bool HandleAlterContext(Connection& c, const std::vector<uint8_t>& fragment, const PduHeader& h) {
  if (h.authLength != 0) {
    SendFault(c, h.callId, 0, RPC_S_UNKNOWN_AUTHN_SERVICE, false);
    return !c.broken;
  }
  BindPdu alter;
  try {
    alter = DecodeBind(fragment);
  } catch (const PduFormatError&) {
    SendFault(c, h.callId, 0, RPC_S_PROTOCOL_ERROR, false);
    return false;
  }
  BindAckPdu resp;
  resp.header.type = kPduAlterContextResp;
  resp.header.callId = h.callId;
  resp.header.flags = kPfcFirstFrag | kPfcLastFrag;
  resp.maxXmitFrag = c.maxXmit;
  resp.maxRecvFrag = c.maxRecv;
  resp.assocGroupId = c.group->id;
  resp.results = NegotiateContexts(c, alter);
  return SendAll(c.fd, EncodeBindAck(resp));
}

// Whether the connection's caller may call the interface: the endpoint's descriptor and the
// interface's, where given, must both grant it the call. The verdict holds for the connection,
// whose caller does not change.
bool Admit(Connection& c, InterfaceRegistration& reg) {
  auto cached = c.admitted.find(&reg);
  if (cached != c.admitted.end()) return cached->second;
  bool allowed = true;
  for (const std::vector<uint8_t>* sd : {&c.endpoint->securityDescriptor, &reg.securityDescriptor}) {
    uint32_t granted = 0;
    if (!sd->empty() && !security::AccessCheckIdentity(*sd, c.caller, kCallRight, kCallMapping, &granted)) {
      allowed = false;
    }
  }
  c.admitted[&reg] = allowed;
  return allowed;
}

struct Request {
  uint32_t callId = 0;
  uint16_t contextId = 0;
  uint16_t opnum = 0;
  std::optional<GUID> object;
  bool littleEndian = true;
  std::vector<uint8_t> stub;
};

// Counts a call against its interface's limit (an auto-listen interface's MaxCalls) or the limit
// given to RpcServerListen; false when the limit is reached or the interface does not listen.
enum class Admission { Ok, TooBusy, NotListening };
// An admitted call's binding is known as a call's from then on (one taking of the server's lock
// for both, as EndCall does for their undoing: every call passes here).
Admission BeginCall(InterfaceRegistration& reg, const void* binding) {
  Server& s = Server::Get();
  std::lock_guard<std::mutex> lock(s.lock);
  if (!reg.registered) return Admission::NotListening;
  if (reg.flags & RPC_IF_AUTOLISTEN) {
    if (reg.active >= reg.maxCalls) return Admission::TooBusy;
  } else {
    if (!s.listening) return Admission::NotListening;
    if (s.listenActive >= s.listenMaxCalls) return Admission::TooBusy;
    ++s.listenActive;
  }
  ++reg.active;
  s.callBindings.insert(binding);
  return Admission::Ok;
}

void EndCall(InterfaceRegistration& reg, const void* binding) {
  Server& s = Server::Get();
  std::lock_guard<std::mutex> lock(s.lock);
  s.callBindings.erase(binding);
  --reg.active;
  if (!(reg.flags & RPC_IF_AUTOLISTEN)) --s.listenActive;
  // Only two waits depend on calls ending: a listen that has been told to stop waits for its last
  // call, and an unregistration for the last call of the interface it removed. Waking the waiters
  // on every call would cost the listening thread a wake-up per call for nothing.
  if ((s.stopRequested && s.listenActive == 0) || (!reg.registered && reg.active == 0)) s.changed.notify_all();
}

void Dispatch(Connection& c, Request& req) {
  auto pres = c.contexts.find(req.contextId);
  if (pres == c.contexts.end()) {
    SendFault(c, req.callId, req.contextId, RPC_S_UNKNOWN_IF, false);
    return;
  }
  std::shared_ptr<InterfaceRegistration> reg = pres->second.iface;
  if (req.opnum >= reg->spec->routineCount) {
    SendFault(c, req.callId, req.contextId, RPC_S_PROCNUM_OUT_OF_RANGE, false);
    return;
  }
  if (!Admit(c, *reg)) {
    SendFault(c, req.callId, req.contextId, RPC_S_ACCESS_DENIED, false);
    return;
  }
  detail::CallState call;
  Admission admission = BeginCall(*reg, &call.binding);
  if (admission != Admission::Ok) {
    SendFault(c, req.callId, req.contextId,
              admission == Admission::TooBusy ? RPC_S_SERVER_TOO_BUSY : RPC_S_UNKNOWN_IF, false);
    return;
  }
  call.conn = &c;
  call.callId = req.callId;
  call.contextId = req.contextId;
  call.opnum = req.opnum;
  call.object = req.object;
  detail::CallState* previous = t_call;
  t_call = &call;
  NdrWriter out;
  std::optional<DWORD> failure;
  RPC_STATUS denied = RPC_S_OK;
  if (reg->callback) {
    // A security callback that answers anything but RPC_S_OK refuses the call.
    try {
      denied = reg->callback(const_cast<ServerInterface*>(reg->spec), &call.binding);
    } catch (...) {
      denied = RPC_S_ACCESS_DENIED;
    }
    if (denied != RPC_S_OK) failure = RPC_S_ACCESS_DENIED;
  }
  if (!failure) {
    try {
      NdrReader in(req.stub.data(), req.stub.size(), req.littleEndian);
      ServerCall handle = call.Handle();
      reg->spec->routines[req.opnum](handle, in, out);
    } catch (const RpcException& e) {
      failure = e.code;
    } catch (...) {
      failure = kCxxExceptionCode;
    }
  }
  t_call = previous;
  // An impersonation does not outlast the call.
  winsim::RevertOnThisThread();
  EndCall(*reg, &call.binding);

  if (failure) {
    SendFault(c, req.callId, req.contextId, *failure, call.executed);
  } else if (!c.broken) {
    ResponsePdu resp;
    resp.header.callId = req.callId;
    resp.contextId = req.contextId;
    resp.stub = out.Take();
    for (const auto& fragment : FragmentResponse(std::move(resp), c.maxXmit)) {
      if (!SendAll(c.fd, fragment)) {
        c.broken = true;
        break;
      }
    }
  }
  // The call has returned: only now may a context it used run down.
  for (const auto& record : call.held) Server::Get().contexts.Release(record);
}

void Serve(std::shared_ptr<Connection> conn) {
  Connection& c = *conn;
  // The caller is the process at the other end as the kernel names it, checked against the
  // machine's process table; a process the machine does not know is an anonymous local caller.
  try {
    c.caller = IdentityOfProcess(c.peer).value_or(AnonymousIdentity());
  } catch (const std::exception&) {
    c.caller = AnonymousIdentity();
  }
  std::vector<uint8_t> fragment;
  std::optional<Request> assembling;
  bool discarding = false;  // the call grew beyond the size guard: its fragments are dropped
  for (;;) {
    if (c.broken) break;
    size_t limit = c.bound ? c.maxRecv : kMaxFragSize;
    if (c.reader.Read(limit, &fragment) != ReadStatus::Ok) break;
    PduHeader h = ParseHeader(fragment.data());
    if (h.type == kPduBind) {
      if (!HandleBind(c, fragment, h)) break;
      continue;
    }
    if (!c.bound || h.versionMajor != 5) {
      // Nothing but a bind may open a connection.
      SendFault(c, h.callId, 0, RPC_S_PROTOCOL_ERROR, false);
      break;
    }
    if (h.type == kPduAlterContext) {
      if (assembling || !HandleAlterContext(c, fragment, h)) break;
      continue;
    }
    if (h.type == kPduOrphaned || h.type == kPduCoCancel) {
      // The client abandoned the call it is sending: forget it. Cancels are not carried.
      if (h.type == kPduOrphaned && assembling && assembling->callId == h.callId) assembling.reset();
      if (h.type == kPduOrphaned && discarding) discarding = false;
      continue;
    }
    if (h.type != kPduRequest) {
      SendFault(c, h.callId, 0, RPC_S_PROTOCOL_ERROR, false);
      break;
    }
    RequestPdu pdu;
    try {
      pdu = DecodeRequest(fragment);
    } catch (const PduFormatError&) {
      SendFault(c, h.callId, 0, RPC_S_PROTOCOL_ERROR, false);
      break;
    }
    if (h.authLength != 0) {
      SendFault(c, h.callId, pdu.contextId, RPC_S_PROTOCOL_ERROR, false);
      break;
    }
    if (h.flags & kPfcFirstFrag) {
      if (assembling || discarding) {
        // A new call while another one's fragments are still arriving: calls on a connection do
        // not interleave.
        SendFault(c, h.callId, pdu.contextId, RPC_S_PROTOCOL_ERROR, false);
        break;
      }
      Request r;
      r.callId = h.callId;
      r.contextId = pdu.contextId;
      r.opnum = pdu.opnum;
      r.object = pdu.object;
      r.littleEndian = h.LittleEndian();
      assembling = std::move(r);
    } else if (discarding) {
      if (h.callId != assembling->callId) {
        SendFault(c, h.callId, pdu.contextId, RPC_S_PROTOCOL_ERROR, false);
        break;
      }
    } else if (!assembling || assembling->callId != h.callId) {
      SendFault(c, h.callId, pdu.contextId, RPC_S_PROTOCOL_ERROR, false);
      break;
    }
    if (!discarding) {
      if (assembling->stub.size() + pdu.stub.size() > kMaxRequestSize) {
        discarding = true;
        assembling->stub.clear();
        assembling->stub.shrink_to_fit();
      } else {
        if (assembling->stub.empty()) {
          assembling->stub = std::move(pdu.stub);  // the first fragment's data, not copied
        } else {
          assembling->stub.insert(assembling->stub.end(), pdu.stub.begin(), pdu.stub.end());
        }
      }
    }
    if (!(h.flags & kPfcLastFrag)) continue;
    Request req = std::move(*assembling);
    assembling.reset();
    if (discarding) {
      // Windows refuses data beyond an interface's limit as access denied.
      discarding = false;
      SendFault(c, req.callId, req.contextId, RPC_S_ACCESS_DENIED, false);
      continue;
    }
    Dispatch(c, req);
  }

  Server& s = Server::Get();
  std::shared_ptr<Group> ended;
  {
    std::lock_guard<std::mutex> lock(s.lock);
    s.connectionFds.erase(c.fd);
    if (c.group && --c.group->connections == 0) {
      s.groups.erase(c.group->id);
      ended = c.group;
    }
  }
  close(c.fd);
  if (ended) s.contexts.GroupEnded(ended->id);
  {
    std::lock_guard<std::mutex> lock(s.lock);
    --s.connectionThreads;
    s.changed.notify_all();
  }
}

void Accept(std::shared_ptr<Endpoint> ep) {
  Server& s = Server::Get();
  for (;;) {
    pollfd fds[2] = {{ep->listener.fd, POLLIN, 0}, {ep->wake[0], POLLIN, 0}};
    int rc = poll(fds, 2, -1);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    int fd = accept4(ep->listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto conn = std::make_shared<Connection>();
    conn->fd = fd;
    conn->reader.Attach(fd);
    conn->endpoint = ep;
    conn->peer = PeerProcess(fd);
    {
      std::lock_guard<std::mutex> lock(s.lock);
      s.connectionFds.insert(fd);
      ++s.connectionThreads;
    }
    std::thread(Serve, conn).detach();
  }
}

void CloseEndpoint(Endpoint& ep) {
  if (ep.wake[1] >= 0) {
    char b = 1;
    (void)!write(ep.wake[1], &b, 1);
  }
  if (ep.acceptor.joinable()) ep.acceptor.join();
  CloseListener(&ep.listener);
  for (int& fd : ep.wake) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

}  // namespace

// ServerCall ---------------------------------------------------------------------------------

RPC_BINDING_HANDLE ServerCall::Binding() const { return &m_state->binding; }
uint16_t ServerCall::Opnum() const { return m_state->opnum; }
void ServerCall::MarkExecuted() { m_state->executed = true; }

void* ServerCall::InContext(NdrReader& in) {
  ContextWire wire = in.Context();
  if (wire.IsNull()) Raise(RPC_X_SS_IN_NULL_CONTEXT);
  auto record = Server::Get().contexts.Acquire(wire, m_state->conn->group->id);
  if (!record) Raise(RPC_X_SS_CONTEXT_MISMATCH);
  m_state->held.push_back(record);
  return Server::Get().contexts.Value(record);
}

ServerContextSlot* ServerCall::InOutContext(NdrReader& in, bool canBeNull) {
  ContextWire wire = in.Context();
  auto& slot = m_state->slots.emplace_back();
  if (wire.IsNull()) {
    if (!canBeNull) Raise(RPC_X_SS_IN_NULL_CONTEXT);
    return &slot;
  }
  auto record = Server::Get().contexts.Acquire(wire, m_state->conn->group->id);
  if (!record) Raise(RPC_X_SS_CONTEXT_MISMATCH);
  m_state->held.push_back(record);
  slot.record = record;
  slot.value = Server::Get().contexts.Value(record);
  return &slot;
}

ServerContextSlot* ServerCall::OutContext() { return &m_state->slots.emplace_back(); }

void ServerCall::MarshalContext(NdrWriter& out, ServerContextSlot* slotBase, NDR_RUNDOWN rundown) {
  auto* slot = static_cast<detail::CallState::Slot*>(slotBase);
  ContextTable& table = Server::Get().contexts;
  if (!slot->value) {
    if (slot->record) table.Close(slot->record);
    out.Context(ContextWire{});
    return;
  }
  if (slot->record && table.Update(slot->record, slot->value)) {
    out.Context(ContextTable::WireOf(*slot->record));
    return;
  }
  auto record = table.Create(m_state->conn->group->id, slot->value, rundown);
  m_state->held.push_back(record);
  slot->record = record;
  out.Context(ContextTable::WireOf(*record));
}

// CallbackCall -------------------------------------------------------------------------------

CallbackCall::CallbackCall(uint16_t callbackNumber) : m_number(callbackNumber) {
  if (!t_call) Raise(RPC_S_NO_CALL_ACTIVE);
}

CallbackCall::~CallbackCall() = default;

NdrReader& CallbackCall::Invoke() {
  detail::CallState* call = t_call;
  if (!call) Raise(RPC_S_NO_CALL_ACTIVE);
  Connection& c = *call->conn;
  if (c.broken) Raise(RPC_S_CALL_FAILED);
  // The callback travels as a request on the connection of the call in progress, with that
  // call's call_id and presentation context (MS-RPCE: a nested call uses the nesting call's).
  RequestPdu req;
  req.header.callId = call->callId;
  req.contextId = call->contextId;
  req.opnum = m_number;
  req.stub = m_in.Take();
  for (const auto& fragment : FragmentRequest(std::move(req), c.maxXmit)) {
    if (!SendAll(c.fd, fragment)) {
      c.broken = true;
      Raise(RPC_S_CALL_FAILED);
    }
  }
  std::vector<uint8_t> fragment;
  m_result.clear();
  bool first = true;
  for (;;) {
    if (c.reader.Read(c.maxRecv, &fragment) != ReadStatus::Ok) {
      c.broken = true;
      Raise(RPC_S_CALL_FAILED);
    }
    PduHeader h = ParseHeader(fragment.data());
    try {
      if (h.type == kPduFault && h.callId == call->callId) {
        FaultPdu f = DecodeFault(fragment);
        Raise(StatusFromFault(f.status));
      }
      if (h.type != kPduResponse || h.callId != call->callId || bool(h.flags & kPfcFirstFrag) != first) {
        c.broken = true;
        Raise(RPC_S_CALL_FAILED);
      }
      ResponsePdu r = DecodeResponse(fragment);
      if (m_result.size() + r.stub.size() > kMaxRequestSize) {
        c.broken = true;
        Raise(RPC_S_CALL_FAILED);
      }
      m_result.insert(m_result.end(), r.stub.begin(), r.stub.end());
    } catch (const PduFormatError&) {
      c.broken = true;
      Raise(RPC_S_CALL_FAILED);
    }
    first = false;
    if (h.flags & kPfcLastFrag) {
      m_out = NdrReader(m_result.data(), m_result.size(), h.LittleEndian());
      return m_out;
    }
  }
}

bool IsCallBinding(RPC_BINDING_HANDLE handle) {
  std::lock_guard<std::mutex> lock(Server::Get().lock);
  return Server::Get().callBindings.count(handle) != 0;
}

void ResetServer() {
  Server& s = Server::Get();
  std::vector<std::shared_ptr<Endpoint>> endpoints;
  {
    std::lock_guard<std::mutex> lock(s.lock);
    endpoints.swap(s.endpoints);
    s.listening = false;
    s.stopRequested = true;
    s.changed.notify_all();
  }
  for (auto& ep : endpoints) CloseEndpoint(*ep);
  std::unique_lock<std::mutex> lock(s.lock);
  for (int fd : s.connectionFds) shutdown(fd, SHUT_RDWR);
  s.changed.wait(lock, [&] { return s.connectionThreads == 0; });
  for (auto& reg : s.interfaces) reg->registered = false;
  s.interfaces.clear();
  s.groups.clear();
  s.stopRequested = false;
  lock.unlock();
  s.contexts.Clear();
}

size_t OpenContextCount() { return Server::Get().contexts.OpenCount(); }

}  // namespace winsim::rpc

using namespace winsim::rpc;

RPC_STATUS RPC_ENTRY RpcServerUseProtseqEpW(RPC_WSTR Protseq, unsigned int MaxCalls, RPC_WSTR Endpoint,
                                            void* SecurityDescriptor) {
  WINSIM_FAULT_STATUS("RpcServerUseProtseqEpW", RPC_STATUS);
  if (!Protseq) return RPC_S_INVALID_RPC_PROTSEQ;
  std::wstring protseq = Protseq;
  if (protseq != L"ncalrpc") {
    static const wchar_t* kKnown[] = {L"ncacn_np", L"ncacn_ip_tcp", L"ncacn_http", L"ncadg_ip_udp", L"ncacn_hvsocket"};
    for (const wchar_t* k : kKnown) {
      if (protseq == k) return RPC_S_PROTSEQ_NOT_SUPPORTED;
    }
    return RPC_S_INVALID_RPC_PROTSEQ;
  }
  // MaxCalls is the listen backlog of ncacn_ip_tcp; other protocol sequences ignore it.
  (void)MaxCalls;
  if (!Endpoint) return RPC_S_INVALID_ENDPOINT_FORMAT;
  auto ep = std::make_shared<::winsim::rpc::Endpoint>();
  ep->name = Endpoint;
  // The run-time keeps its own copy; the caller may free its descriptor at once.
  if (SecurityDescriptor) {
    ep->securityDescriptor = winsim::security::CopySecurityDescriptor(SecurityDescriptor);
    if (ep->securityDescriptor.empty()) return RPC_S_INVALID_SECURITY_DESC;
  }
  RPC_STATUS status = OpenListener(ep->name, &ep->listener);
  if (status != RPC_S_OK) return status;
  if (pipe2(ep->wake, O_CLOEXEC) != 0) {
    CloseListener(&ep->listener);
    return RPC_S_OUT_OF_RESOURCES;
  }
  ep->acceptor = std::thread(Accept, ep);
  Server& s = Server::Get();
  std::lock_guard<std::mutex> lock(s.lock);
  s.endpoints.push_back(ep);
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcServerRegisterIf3(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                          unsigned int Flags, unsigned int MaxCalls, unsigned int MaxRpcSize,
                                          RPC_IF_CALLBACK_FN* IfCallback, void* SecurityDescriptor) {
  WINSIM_FAULT_STATUS("RpcServerRegisterIf3", RPC_STATUS);
  const ServerInterface* spec = AsServerInterface(IfSpec);
  if (!spec) return RPC_S_INVALID_ARG;
  // winsim's stubs call their manager routines directly: there is no entry-point vector to
  // choose, and a manager type UUID selects nothing.
  (void)MgrTypeUuid;
  if (MgrEpv) return RPC_S_CANNOT_SUPPORT;
  // The size limit does not apply to ncalrpc, the only protocol sequence here.
  (void)MaxRpcSize;
  auto reg = std::make_shared<InterfaceRegistration>();
  reg->spec = spec;
  reg->flags = Flags;
  reg->maxCalls = MaxCalls;
  reg->callback = IfCallback;
  if (SecurityDescriptor) {
    reg->securityDescriptor = winsim::security::CopySecurityDescriptor(SecurityDescriptor);
    if (reg->securityDescriptor.empty()) return RPC_S_INVALID_SECURITY_DESC;
  }
  Server& s = Server::Get();
  std::lock_guard<std::mutex> lock(s.lock);
  for (const auto& other : s.interfaces) {
    if (SameGuid(other->spec->id.uuid, spec->id.uuid) && other->spec->id.major == spec->id.major &&
        other->spec->id.minor == spec->id.minor) {
      return RPC_S_TYPE_ALREADY_REGISTERED;
    }
  }
  s.interfaces.push_back(reg);
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                           unsigned int Flags, unsigned int MaxCalls, RPC_IF_CALLBACK_FN* IfCallback) {
  WINSIM_FAULT_STATUS("RpcServerRegisterIfEx", RPC_STATUS);
  return RpcServerRegisterIf3(IfSpec, MgrTypeUuid, MgrEpv, Flags, MaxCalls, static_cast<unsigned int>(-1), IfCallback,
                              nullptr);
}

RPC_STATUS RPC_ENTRY RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, unsigned int WaitForCallsToComplete) {
  WINSIM_FAULT_STATUS("RpcServerUnregisterIf", RPC_STATUS);
  (void)MgrTypeUuid;
  const ServerInterface* spec = nullptr;
  if (IfSpec) {
    spec = AsServerInterface(IfSpec);
    if (!spec) return RPC_S_UNKNOWN_IF;
  }
  Server& s = Server::Get();
  std::unique_lock<std::mutex> lock(s.lock);
  std::vector<std::shared_ptr<InterfaceRegistration>> removed;
  for (auto it = s.interfaces.begin(); it != s.interfaces.end();) {
    const SyntaxIdentifier& id = (*it)->spec->id;
    if (!spec || (SameGuid(id.uuid, spec->id.uuid) && id.major == spec->id.major && id.minor == spec->id.minor)) {
      (*it)->registered = false;
      removed.push_back(*it);
      it = s.interfaces.erase(it);
    } else {
      ++it;
    }
  }
  if (IfSpec && removed.empty()) return RPC_S_UNKNOWN_IF;
  if (WaitForCallsToComplete) {
    s.changed.wait(lock, [&] {
      for (const auto& reg : removed) {
        if (reg->active) return false;
      }
      return true;
    });
  }
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector) {
  WINSIM_FAULT_STATUS("RpcServerInqBindings", RPC_STATUS);
  if (!BindingVector) return RPC_S_INVALID_ARG;
  *BindingVector = nullptr;
  std::vector<std::wstring> names;
  {
    Server& s = Server::Get();
    std::lock_guard<std::mutex> lock(s.lock);
    for (const auto& ep : s.endpoints) names.push_back(ep->name);
  }
  if (names.empty()) return RPC_S_NO_BINDINGS;
  size_t bytes = sizeof(RPC_BINDING_VECTOR) + (names.size() - 1) * sizeof(RPC_BINDING_HANDLE);
  auto* v = static_cast<RPC_BINDING_VECTOR*>(std::malloc(bytes));
  if (!v) return RPC_S_OUT_OF_MEMORY;
  v->Count = static_cast<ULONG>(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    ClientBinding* b = NewClientBinding();
    b->protseq = L"ncalrpc";
    b->endpoint = names[i];
    v->BindingH[i] = b;
  }
  *BindingVector = v;
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls, unsigned int DontWait) {
  WINSIM_FAULT_STATUS("RpcServerListen", RPC_STATUS);
  Server& s = Server::Get();
  std::unique_lock<std::mutex> lock(s.lock);
  if (s.endpoints.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
  if (MaxCalls == 0 || MaxCalls < MinimumCallThreads) return RPC_S_MAX_CALLS_TOO_SMALL;
  if (s.listening) return RPC_S_ALREADY_LISTENING;
  s.listening = true;
  s.stopRequested = false;
  s.listenMaxCalls = MaxCalls;
  if (DontWait) return RPC_S_OK;
  // Returns once listening has been stopped and the calls it admitted have completed.
  s.changed.wait(lock, [&] { return s.stopRequested && s.listenActive == 0; });
  s.stopRequested = false;
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding) {
  WINSIM_FAULT_STATUS("RpcMgmtStopServerListening", RPC_STATUS);
  // Stopping another server through a binding needs the remote management interface, which
  // winsim does not offer.
  if (Binding) return AsClientBinding(Binding) ? RPC_S_CANNOT_SUPPORT : RPC_S_INVALID_BINDING;
  Server& s = Server::Get();
  std::lock_guard<std::mutex> lock(s.lock);
  if (!s.listening) return RPC_S_NOT_LISTENING;
  s.listening = false;
  s.stopRequested = true;
  s.changed.notify_all();
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcMgmtWaitServerListen(void) {
  WINSIM_FAULT_STATUS("RpcMgmtWaitServerListen", RPC_STATUS);
  Server& s = Server::Get();
  std::unique_lock<std::mutex> lock(s.lock);
  if (!s.listening && !s.stopRequested) return RPC_S_NOT_LISTENING;
  s.changed.wait(lock, [&] { return s.stopRequested && s.listenActive == 0; });
  s.stopRequested = false;
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcImpersonateClient(RPC_BINDING_HANDLE BindingHandle) {
  WINSIM_FAULT_STATUS("RpcImpersonateClient", RPC_STATUS);
  detail::CallState* call = t_call;
  if (BindingHandle) {
    if (!IsCallBinding(BindingHandle)) return RPC_S_INVALID_BINDING;
    call = static_cast<CallBinding*>(BindingHandle)->call;
  }
  if (!call) return RPC_S_NO_CALL_ACTIVE;
  // This thread takes on the caller's identity until it reverts or the call ends.
  winsim::ImpersonateOnThisThread(call->conn->caller);
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcRevertToSelfEx(RPC_BINDING_HANDLE BindingHandle) {
  WINSIM_FAULT_STATUS("RpcRevertToSelfEx", RPC_STATUS);
  detail::CallState* call = t_call;
  if (BindingHandle) {
    if (!IsCallBinding(BindingHandle)) return RPC_S_INVALID_BINDING;
    call = static_cast<CallBinding*>(BindingHandle)->call;
  }
  if (!call) return RPC_S_NO_CALL_ACTIVE;
  winsim::RevertOnThisThread();
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcRevertToSelf(void) {
  WINSIM_FAULT_STATUS("RpcRevertToSelf", RPC_STATUS);
  return RpcRevertToSelfEx(nullptr);
}
