// String bindings and client binding handles.
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>

#include "core/fault.h"
#include "rpc/binding.h"
#include "rpc/transport.h"

namespace winsim::rpc {
namespace {

std::mutex g_handlesLock;
std::set<const void*>& LiveBindings() {
  static auto* live = new std::set<const void*>();
  return *live;
}
std::set<const void*>& LiveContexts() {
  static auto* live = new std::set<const void*>();
  return *live;
}

RPC_WSTR Duplicate(const std::wstring& text) {
  WCHAR* out = new (std::nothrow) WCHAR[text.size() + 1];
  if (!out) return nullptr;
  std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
  return out;
}

bool ValidUuidText(const std::wstring& text) {
  UUID u;
  return UuidFromStringW(const_cast<RPC_WSTR>(text.c_str()), &u) == RPC_S_OK;
}

struct ParsedBinding {
  std::wstring object, protseq, address, endpoint, options;
};

// [object@]protseq:[address][[endpoint][,options]]
RPC_STATUS Parse(const std::wstring& text, ParsedBinding* out) {
  size_t colon = text.find(L':');
  if (colon == std::wstring::npos) return RPC_S_INVALID_STRING_BINDING;
  size_t at = text.find(L'@');
  size_t protStart = 0;
  if (at != std::wstring::npos && at < colon) {
    out->object = text.substr(0, at);
    protStart = at + 1;
  }
  out->protseq = text.substr(protStart, colon - protStart);
  size_t open = text.find(L'[', colon + 1);
  if (open == std::wstring::npos) {
    out->address = text.substr(colon + 1);
    if (out->address.find(L']') != std::wstring::npos) return RPC_S_INVALID_STRING_BINDING;
  } else {
    out->address = text.substr(colon + 1, open - colon - 1);
    size_t close = text.find(L']', open + 1);
    if (close == std::wstring::npos || close + 1 != text.size()) return RPC_S_INVALID_STRING_BINDING;
    std::wstring inside = text.substr(open + 1, close - open - 1);
    size_t comma = inside.find(L',');
    out->endpoint = inside.substr(0, comma);
    if (comma != std::wstring::npos) out->options = inside.substr(comma + 1);
  }
  if (!out->object.empty() && !ValidUuidText(out->object)) return RPC_S_INVALID_STRING_UUID;
  return RPC_S_OK;
}

// Protocol sequences that Windows knows and winsim does not carry.
bool KnownProtseq(const std::wstring& p) {
  for (const wchar_t* known : {L"ncacn_np", L"ncacn_ip_tcp", L"ncacn_http", L"ncadg_ip_udp", L"ncacn_hvsocket",
                               L"ncacn_nb_tcp", L"ncacn_spx", L"ncadg_ipx", L"ncacn_dnet_nsp", L"ncacn_at_dsp",
                               L"ncacn_vns_spp", L"ncadg_mq", L"ncacn_nb_nb", L"ncacn_nb_ipx"}) {
    if (p == known) return true;
  }
  return false;
}

std::wstring TextOr(RPC_WSTR text) { return text ? std::wstring(text) : std::wstring(); }

}  // namespace

ClientBinding* NewClientBinding() {
  auto* b = new ClientBinding();
  std::lock_guard<std::mutex> lock(g_handlesLock);
  LiveBindings().insert(b);
  return b;
}

ClientBinding* AsClientBinding(RPC_BINDING_HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_handlesLock);
  return LiveBindings().count(handle) ? static_cast<ClientBinding*>(handle) : nullptr;
}

void DeleteClientBinding(ClientBinding* binding) {
  {
    std::lock_guard<std::mutex> lock(g_handlesLock);
    LiveBindings().erase(binding);
  }
  delete binding;
}

ClientContext* NewClientContext() {
  auto* c = new ClientContext();
  std::lock_guard<std::mutex> lock(g_handlesLock);
  LiveContexts().insert(c);
  return c;
}

ClientContext* AsClientContext(NDR_CCONTEXT handle) {
  std::lock_guard<std::mutex> lock(g_handlesLock);
  return LiveContexts().count(handle) ? static_cast<ClientContext*>(handle) : nullptr;
}

void DeleteClientContext(ClientContext* context) {
  {
    std::lock_guard<std::mutex> lock(g_handlesLock);
    LiveContexts().erase(context);
  }
  delete context;
}

std::wstring StringBindingOf(const ClientBinding& b) {
  std::wstring out;
  if (b.object) {
    RPC_WSTR text = nullptr;
    if (UuidToStringW(&*b.object, &text) == RPC_S_OK) {
      out += text;
      out += L"@";
      RpcStringFreeW(&text);
    }
  }
  out += b.protseq + L":" + b.networkAddress;
  if (!b.endpoint.empty() || !b.options.empty()) {
    out += L"[" + b.endpoint;
    if (!b.options.empty()) out += L"," + b.options;
    out += L"]";
  }
  return out;
}

}  // namespace winsim::rpc

using namespace winsim::rpc;

RPC_STATUS RPC_ENTRY RpcStringBindingComposeW(RPC_WSTR ObjUuid, RPC_WSTR ProtSeq, RPC_WSTR NetworkAddr,
                                              RPC_WSTR Endpoint, RPC_WSTR Options, RPC_WSTR* StringBinding) {
  WINSIM_FAULT_STATUS("RpcStringBindingComposeW", RPC_STATUS);
  std::wstring object = TextOr(ObjUuid);
  if (!object.empty() && !ValidUuidText(object)) return RPC_S_INVALID_STRING_UUID;
  std::wstring out;
  if (!object.empty()) out += object + L"@";
  if (ProtSeq && *ProtSeq) out += std::wstring(ProtSeq) + L":";
  out += TextOr(NetworkAddr);
  std::wstring endpoint = TextOr(Endpoint), options = TextOr(Options);
  if (!endpoint.empty() || !options.empty()) {
    out += L"[" + endpoint;
    if (!options.empty()) out += L"," + options;
    out += L"]";
  }
  // Without somewhere to put it, the composed string is not returned.
  if (!StringBinding) return RPC_S_OK;
  *StringBinding = Duplicate(out);
  return *StringBinding ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RPC_ENTRY RpcStringBindingParseW(RPC_WSTR StringBinding, RPC_WSTR* ObjUuid, RPC_WSTR* Protseq,
                                            RPC_WSTR* NetworkAddr, RPC_WSTR* Endpoint, RPC_WSTR* NetworkOptions) {
  WINSIM_FAULT_STATUS("RpcStringBindingParseW", RPC_STATUS);
  if (!StringBinding) return RPC_S_INVALID_STRING_BINDING;
  ParsedBinding parsed;
  RPC_STATUS status = Parse(StringBinding, &parsed);
  if (status != RPC_S_OK) return status;
  RPC_WSTR* targets[] = {ObjUuid, Protseq, NetworkAddr, Endpoint, NetworkOptions};
  const std::wstring* values[] = {&parsed.object, &parsed.protseq, &parsed.address, &parsed.endpoint, &parsed.options};
  RPC_WSTR made[5] = {};
  for (int i = 0; i < 5; ++i) {
    if (!targets[i]) continue;
    made[i] = Duplicate(*values[i]);
    if (!made[i]) {
      for (int j = 0; j < i; ++j) delete[] made[j];
      return RPC_S_OUT_OF_MEMORY;
    }
  }
  for (int i = 0; i < 5; ++i) {
    if (targets[i]) *targets[i] = made[i];
  }
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcBindingFromStringBindingW(RPC_WSTR StringBinding, RPC_BINDING_HANDLE* Binding) {
  WINSIM_FAULT_STATUS("RpcBindingFromStringBindingW", RPC_STATUS);
  if (!Binding) return RPC_S_INVALID_ARG;
  *Binding = nullptr;
  if (!StringBinding) return RPC_S_INVALID_STRING_BINDING;
  ParsedBinding parsed;
  RPC_STATUS status = Parse(StringBinding, &parsed);
  if (status != RPC_S_OK) return status;
  if (parsed.protseq != L"ncalrpc") {
    return KnownProtseq(parsed.protseq) ? RPC_S_PROTSEQ_NOT_SUPPORTED : RPC_S_INVALID_RPC_PROTSEQ;
  }
  if (!parsed.endpoint.empty() && !ValidEndpointName(parsed.endpoint)) return RPC_S_INVALID_ENDPOINT_FORMAT;
  // No server is contacted here: the first call connects.
  ClientBinding* b = NewClientBinding();
  b->protseq = parsed.protseq;
  b->networkAddress = parsed.address;
  b->endpoint = parsed.endpoint;
  b->options = parsed.options;
  if (!parsed.object.empty()) {
    UUID u;
    UuidFromStringW(const_cast<RPC_WSTR>(parsed.object.c_str()), &u);
    b->object = u;
  }
  *Binding = b;
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcBindingToStringBindingW(RPC_BINDING_HANDLE Binding, RPC_WSTR* StringBinding) {
  WINSIM_FAULT_STATUS("RpcBindingToStringBindingW", RPC_STATUS);
  if (!StringBinding) return RPC_S_INVALID_ARG;
  ClientBinding* b = AsClientBinding(Binding);
  if (!b) return IsCallBinding(Binding) ? RPC_S_WRONG_KIND_OF_BINDING : RPC_S_INVALID_BINDING;
  *StringBinding = Duplicate(StringBindingOf(*b));
  return *StringBinding ? RPC_S_OK : RPC_S_OUT_OF_MEMORY;
}

RPC_STATUS RPC_ENTRY RpcBindingFree(RPC_BINDING_HANDLE* Binding) {
  WINSIM_FAULT_STATUS("RpcBindingFree", RPC_STATUS);
  if (!Binding) return RPC_S_INVALID_BINDING;
  ClientBinding* b = AsClientBinding(*Binding);
  if (!b) return IsCallBinding(*Binding) ? RPC_S_WRONG_KIND_OF_BINDING : RPC_S_INVALID_BINDING;
  // The association lives on while context handles opened through it do.
  DeleteClientBinding(b);
  *Binding = nullptr;
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector) {
  WINSIM_FAULT_STATUS("RpcBindingVectorFree", RPC_STATUS);
  if (!BindingVector || !*BindingVector) return RPC_S_INVALID_ARG;
  RPC_BINDING_VECTOR* v = *BindingVector;
  for (ULONG i = 0; i < v->Count; ++i) {
    if (v->BindingH[i]) RpcBindingFree(&v->BindingH[i]);
  }
  std::free(v);
  *BindingVector = nullptr;
  return RPC_S_OK;
}

void RPC_ENTRY RpcSsDestroyClientContext(void** ContextHandle) {
  if (auto fault = winsim::CheckFault("RpcSsDestroyClientContext")) RpcRaiseException(static_cast<RPC_STATUS>(*fault));
  if (!ContextHandle) RpcRaiseException(RPC_X_SS_CONTEXT_MISMATCH);
  if (!*ContextHandle) return;
  ClientContext* c = AsClientContext(*ContextHandle);
  if (!c) RpcRaiseException(RPC_X_SS_CONTEXT_MISMATCH);
  DeleteClientContext(c);
  *ContextHandle = nullptr;
}
