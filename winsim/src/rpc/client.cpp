// The client side of winsim's RPC run-time. A binding's first call makes its association: the first
// connection binds with assoc_group_id 0 and learns the group; every further connection (one per
// call in progress at the same time) joins that group, so that context handles opened on one
// connection are valid on the others. Idle connections are kept for the next call. Callbacks from
// the server arrive on the connection of the call and run on the thread that waits in it.
#include <unistd.h>

#include <mutex>
#include <utility>

#include "core/fault.h"
#include "rpc/binding.h"
#include "rpc/epmap.h"
#include "rpc/exceptions.h"
#include "rpc/pdu.h"
#include "rpc/transport.h"

namespace winsim::rpc {

struct ClientConnection {
  int fd = -1;
  FragmentReader reader;  // every fragment of the connection comes through it
  uint16_t maxXmit = kMinFragSize;
  uint16_t maxRecv = kMaxFragSize;
  std::vector<std::pair<SyntaxIdentifier, uint16_t>> contexts;
  uint16_t nextContextId = 0;
  uint32_t nextCallId = 1;
  bool healthy = true;
  ~ClientConnection() {
    if (fd >= 0) close(fd);
  }
};

struct Association {
  std::wstring endpoint;
  std::mutex lock;
  uint32_t groupId = 0;
  std::mutex establish;  // held while the first connection learns the group
  std::vector<std::unique_ptr<ClientConnection>> idle;
};

namespace detail {
struct ClientCallState {
  std::shared_ptr<Association> association;
  const ClientInterface* iface = nullptr;
  uint16_t opnum = 0;
  std::optional<GUID> object;
  std::vector<uint8_t> response;
};
}  // namespace detail

namespace {

// The largest response (or callback request) a client assembles.
constexpr size_t kMaxAssembled = 16 * 1024 * 1024;
constexpr DWORD kCxxExceptionCode = 0xE06D7363;

const ClientInterface& CheckInterface(const ClientInterface& iface) {
  if (iface.length != sizeof(ClientInterface) || (iface.callbackCount && !iface.callbacks)) Raise(RPC_S_UNKNOWN_IF);
  return iface;
}

DWORD StatusOfNak(uint16_t reason) {
  switch (reason) {
    case kNakAuthenticationTypeNotRecognized:
    case kNakInvalidChecksum:
      return RPC_S_UNKNOWN_AUTHN_SERVICE;
    case kNakProtocolVersionNotSupported:
      return RPC_S_PROTOCOL_ERROR;
    case kNakTemporaryCongestion:
    case kNakLocalLimitExceeded:
      return RPC_S_SERVER_TOO_BUSY;
    default:
      return RPC_S_CALL_FAILED_DNE;
  }
}

DWORD StatusOfRejection(uint16_t reason) {
  switch (reason) {
    case kReasonAbstractSyntaxNotSupported: return RPC_S_UNKNOWN_IF;
    case kReasonTransferSyntaxesNotSupported: return RPC_S_UNSUPPORTED_TRANS_SYN;
    case kReasonLocalLimitExceeded: return RPC_S_SERVER_TOO_BUSY;
    default: return RPC_S_CALL_FAILED_DNE;
  }
}

// Offers the interface with NDR 2.0 on a bind or alter_context and reads the answer.
void Negotiate(ClientConnection& c, Association& a, const ClientInterface& iface, bool bind) {
  BindPdu pdu;
  pdu.header.type = bind ? kPduBind : kPduAlterContext;
  pdu.header.flags = kPfcFirstFrag | kPfcLastFrag;
  pdu.header.callId = c.nextCallId++;
  pdu.maxXmitFrag = kMaxFragSize;
  pdu.maxRecvFrag = kMaxFragSize;
  if (bind) {
    std::lock_guard<std::mutex> lock(a.lock);
    pdu.assocGroupId = a.groupId;
  }
  uint16_t contextId = c.nextContextId++;
  pdu.contexts.push_back({contextId, iface.id, {kNdr20Syntax}});
  if (!SendAll(c.fd, EncodeBind(pdu))) {
    c.healthy = false;
    Raise(RPC_S_CALL_FAILED_DNE);
  }
  std::vector<uint8_t> fragment;
  if (c.reader.Read(kMaxFragSize, &fragment) != ReadStatus::Ok) {
    c.healthy = false;
    Raise(RPC_S_CALL_FAILED_DNE);
  }
  PduHeader h = ParseHeader(fragment.data());
  try {
    if (h.type == kPduBindNak) {
      c.healthy = false;
      Raise(StatusOfNak(DecodeBindNak(fragment).reason));
    }
    if (h.type == kPduFault) {
      Raise(StatusFromFault(DecodeFault(fragment).status));
    }
    uint8_t expected = bind ? kPduBindAck : kPduAlterContextResp;
    if (h.type != expected || h.callId != pdu.header.callId) {
      c.healthy = false;
      Raise(RPC_S_PROTOCOL_ERROR);
    }
    BindAckPdu ack = DecodeBindAck(fragment);
    if (ack.results.size() != 1) {
      c.healthy = false;
      Raise(RPC_S_PROTOCOL_ERROR);
    }
    if (bind) {
      // The server's max_recv_frag limits what this side sends, its max_xmit_frag what it receives.
      c.maxXmit = std::max<uint16_t>(kMinFragSize, std::min<uint16_t>(kMaxFragSize, ack.maxRecvFrag));
      c.maxRecv = std::max<uint16_t>(kMinFragSize, std::min<uint16_t>(kMaxFragSize, ack.maxXmitFrag));
      std::lock_guard<std::mutex> lock(a.lock);
      if (a.groupId == 0) a.groupId = ack.assocGroupId;
    }
    const ContextResult& r = ack.results[0];
    if (r.result != kResultAcceptance) Raise(StatusOfRejection(r.reason));
    c.contexts.emplace_back(iface.id, contextId);
  } catch (const PduFormatError&) {
    c.healthy = false;
    Raise(RPC_S_PROTOCOL_ERROR);
  }
}

// A connection of the association with a presentation context for the interface; reused tells
// whether it had served calls before.
std::unique_ptr<ClientConnection> Acquire(Association& a, const ClientInterface& iface, bool* reused) {
  std::unique_ptr<ClientConnection> c;
  {
    std::lock_guard<std::mutex> lock(a.lock);
    if (!a.idle.empty()) {
      c = std::move(a.idle.back());
      a.idle.pop_back();
    }
  }
  *reused = c != nullptr;
  if (!c) {
    std::unique_lock<std::mutex> establishing(a.establish, std::defer_lock);
    bool needGroup;
    {
      std::lock_guard<std::mutex> lock(a.lock);
      needGroup = a.groupId == 0;
    }
    // Only one connection may create the group; the others wait and join it.
    if (needGroup) establishing.lock();
    c = std::make_unique<ClientConnection>();
    RPC_STATUS status = ConnectEndpoint(a.endpoint, &c->fd);
    if (status != RPC_S_OK) Raise(status);
    c->reader.Attach(c->fd);
    Negotiate(*c, a, iface, true);
    return c;
  }
  for (const auto& [id, contextId] : c->contexts) {
    if (SameSyntax(id, iface.id)) return c;
  }
  Negotiate(*c, a, iface, false);
  return c;
}

uint16_t ContextIdOf(const ClientConnection& c, const ClientInterface& iface) {
  for (const auto& [id, contextId] : c.contexts) {
    if (SameSyntax(id, iface.id)) return contextId;
  }
  Raise(RPC_S_UNKNOWN_IF);
}

// Gives a connection back to the association when it is still fit for calls.
class Lease {
 public:
  Lease(Association& a, std::unique_ptr<ClientConnection> c) : m_association(a), m_conn(std::move(c)) {}
  ~Lease() {
    if (m_conn && m_conn->healthy) {
      std::lock_guard<std::mutex> lock(m_association.lock);
      m_association.idle.push_back(std::move(m_conn));
    }
  }
  ClientConnection& operator*() { return *m_conn; }
  ClientConnection* operator->() { return m_conn.get(); }

 private:
  Association& m_association;
  std::unique_ptr<ClientConnection> m_conn;
};

void SendCallbackFault(ClientConnection& c, uint32_t callId, uint16_t contextId, DWORD status, bool executed) {
  FaultPdu f;
  f.header.callId = callId;
  f.header.flags = kPfcFirstFrag | kPfcLastFrag | (executed ? 0 : kPfcDidNotExecute);
  f.contextId = contextId;
  f.status = FaultFromStatus(status);
  if (!SendAll(c.fd, EncodeFault(f))) {
    c.healthy = false;
    Raise(RPC_S_CALL_FAILED);
  }
}

// Serves a callback whose first fragment has arrived, on this thread.
void ServeCallback(ClientConnection& c, const ClientInterface& iface, uint32_t callId, std::vector<uint8_t> fragment) {
  RequestPdu first;
  std::vector<uint8_t> stub;
  PduHeader h = ParseHeader(fragment.data());
  try {
    first = DecodeRequest(fragment);
    if (!(h.flags & kPfcFirstFrag) || h.authLength) throw PduFormatError("not a callback's first fragment");
    stub = std::move(first.stub);
    while (!(h.flags & kPfcLastFrag)) {
      if (c.reader.Read(c.maxRecv, &fragment) != ReadStatus::Ok) throw PduFormatError("connection lost");
      h = ParseHeader(fragment.data());
      if (h.type != kPduRequest || h.callId != callId || (h.flags & kPfcFirstFrag)) throw PduFormatError("interleaved");
      RequestPdu next = DecodeRequest(fragment);
      if (stub.size() + next.stub.size() > kMaxAssembled) throw PduFormatError("callback too large");
      stub.insert(stub.end(), next.stub.begin(), next.stub.end());
    }
  } catch (const PduFormatError&) {
    c.healthy = false;
    Raise(RPC_S_PROTOCOL_ERROR);
  }
  if (first.opnum >= iface.callbackCount || !iface.callbacks[first.opnum]) {
    SendCallbackFault(c, callId, first.contextId, RPC_S_PROCNUM_OUT_OF_RANGE, false);
    return;
  }
  NdrWriter out;
  try {
    NdrReader in(stub.data(), stub.size(), h.LittleEndian());
    iface.callbacks[first.opnum](in, out);
  } catch (const RpcException& e) {
    SendCallbackFault(c, callId, first.contextId, e.code, true);
    return;
  } catch (...) {
    SendCallbackFault(c, callId, first.contextId, kCxxExceptionCode, true);
    return;
  }
  ResponsePdu resp;
  resp.header.callId = callId;
  resp.contextId = first.contextId;
  resp.stub = out.Take();
  for (const auto& f : FragmentResponse(std::move(resp), c.maxXmit)) {
    if (!SendAll(c.fd, f)) {
      c.healthy = false;
      Raise(RPC_S_CALL_FAILED);
    }
  }
}

}  // namespace

ClientCall::ClientCall(RPC_BINDING_HANDLE binding, const ClientInterface& iface, uint16_t opnum)
    : m_state(std::make_unique<detail::ClientCallState>()) {
  ClientBinding* b = AsClientBinding(binding);
  if (!b) Raise(IsCallBinding(binding) ? RPC_S_WRONG_KIND_OF_BINDING : RPC_S_INVALID_BINDING);
  m_state->iface = &CheckInterface(iface);
  m_state->opnum = opnum;
  m_state->object = b->object;
  std::lock_guard<std::mutex> lock(b->lock);
  if (!b->association) {
    std::wstring endpoint = b->endpoint;
    if (endpoint.empty()) {
      // A partially bound handle: the endpoint map names the endpoint.
      auto found = LookupEndpoint(iface.id, b->object);
      if (!found) Raise(EPT_S_NOT_REGISTERED);
      endpoint = *found;
    }
    b->association = std::make_shared<Association>();
    b->association->endpoint = endpoint;
  }
  m_state->association = b->association;
}

ClientCall::ClientCall(ContextBinding binding, const ClientInterface& iface, uint16_t opnum)
    : m_state(std::make_unique<detail::ClientCallState>()) {
  if (!binding.context) Raise(RPC_X_SS_IN_NULL_CONTEXT);
  ClientContext* c = AsClientContext(binding.context);
  if (!c) Raise(RPC_X_SS_CONTEXT_MISMATCH);
  m_state->iface = &CheckInterface(iface);
  m_state->opnum = opnum;
  m_state->association = c->association;
}

ClientCall::~ClientCall() = default;

void ClientCall::MarshalContext(NDR_CCONTEXT context, bool canBeNull) {
  if (!context) {
    if (!canBeNull) Raise(RPC_X_SS_IN_NULL_CONTEXT);
    m_in.Context(ContextWire{});
    return;
  }
  ClientContext* c = AsClientContext(context);
  if (!c) Raise(RPC_X_SS_CONTEXT_MISMATCH);
  m_in.Context(c->wire);
}

NdrReader& ClientCall::Invoke() {
  if (auto fault = CheckFault("RpcClientCall")) Raise(*fault);
  detail::ClientCallState& st = *m_state;
  Association& a = *st.association;
  std::vector<uint8_t> stub = m_in.Take();
  for (int attempt = 0;; ++attempt) {
    bool reused = false;
    Lease conn(a, Acquire(a, *st.iface, &reused));
    RequestPdu req;
    req.header.callId = conn->nextCallId++;
    req.contextId = ContextIdOf(*conn, *st.iface);
    req.opnum = st.opnum;
    req.object = st.object;
    req.stub = stub;
    uint32_t callId = req.header.callId;
    bool sentAny = false, failed = false;
    for (const auto& fragment : FragmentRequest(std::move(req), conn->maxXmit)) {
      if (!SendAll(conn->fd, fragment)) {
        failed = true;
        break;
      }
      sentAny = true;
    }
    if (failed) {
      conn->healthy = false;
      // A kept connection that the server has closed meanwhile: try once on a new one.
      if (reused && !sentAny && attempt == 0) continue;
      Raise(sentAny ? RPC_S_CALL_FAILED : RPC_S_CALL_FAILED_DNE);
    }

    st.response.clear();
    std::vector<uint8_t> fragment;
    bool first = true;
    for (;;) {
      if (conn->reader.Read(conn->maxRecv, &fragment) != ReadStatus::Ok) {
        conn->healthy = false;
        Raise(RPC_S_CALL_FAILED);
      }
      PduHeader h = ParseHeader(fragment.data());
      if (h.callId != callId) {
        conn->healthy = false;
        Raise(RPC_S_PROTOCOL_ERROR);
      }
      try {
        if (h.type == kPduFault) {
          FaultPdu f = DecodeFault(fragment);
          Raise(StatusFromFault(f.status));
        }
        if (h.type == kPduRequest && first) {
          ServeCallback(*conn, *st.iface, callId, std::move(fragment));
          continue;
        }
        if (h.type != kPduResponse || bool(h.flags & kPfcFirstFrag) != first) {
          conn->healthy = false;
          Raise(RPC_S_PROTOCOL_ERROR);
        }
        ResponsePdu r = DecodeResponse(fragment);
        if (st.response.size() + r.stub.size() > kMaxAssembled) {
          conn->healthy = false;
          Raise(RPC_S_PROTOCOL_ERROR);
        }
        if (st.response.empty()) {
          st.response = std::move(r.stub);  // a single fragment's data, not copied
        } else {
          st.response.insert(st.response.end(), r.stub.begin(), r.stub.end());
        }
      } catch (const PduFormatError&) {
        conn->healthy = false;
        Raise(RPC_S_PROTOCOL_ERROR);
      }
      first = false;
      if (h.flags & kPfcLastFrag) {
        m_out = NdrReader(st.response.data(), st.response.size(), h.LittleEndian());
        return m_out;
      }
    }
  }
}

void ClientCall::UnmarshalContext(NdrReader& out, NDR_CCONTEXT* context) {
  ContextWire wire = out.Context();
  if (!context) Raise(RPC_X_NULL_REF_POINTER);
  ClientContext* existing = *context ? AsClientContext(*context) : nullptr;
  if (wire.IsNull()) {
    // The server closed the context.
    if (existing) DeleteClientContext(existing);
    *context = nullptr;
    return;
  }
  if (existing) {
    existing->wire = wire;
    existing->association = m_state->association;
    return;
  }
  ClientContext* created = NewClientContext();
  created->wire = wire;
  created->association = m_state->association;
  *context = created;
}

}  // namespace winsim::rpc
