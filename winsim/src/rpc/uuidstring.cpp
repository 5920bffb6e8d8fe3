// The text form of a UUID and the RPC run-time's string allocation.
#include <cstdio>
#include <new>

#include "core/fault.h"
#include "rpc.h"

RPC_STATUS RPC_ENTRY UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid) {
  WINSIM_FAULT_STATUS("UuidToStringW", RPC_STATUS);
  if (!Uuid || !StringUuid) return RPC_S_INVALID_ARG;
  // Lower case, 8-4-4-4-12, no braces.
  char text[37];
  std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Uuid->Data1, Uuid->Data2,
                Uuid->Data3, Uuid->Data4[0], Uuid->Data4[1], Uuid->Data4[2], Uuid->Data4[3], Uuid->Data4[4],
                Uuid->Data4[5], Uuid->Data4[6], Uuid->Data4[7]);
  WCHAR* out = new (std::nothrow) WCHAR[37];
  if (!out) return RPC_S_OUT_OF_MEMORY;
  for (int i = 0; i < 37; ++i) out[i] = static_cast<WCHAR>(text[i]);
  *StringUuid = out;
  return RPC_S_OK;
}

RPC_STATUS RPC_ENTRY RpcStringFreeW(RPC_WSTR* String) {
  WINSIM_FAULT_STATUS("RpcStringFreeW", RPC_STATUS);
  if (!String) return RPC_S_INVALID_ARG;
  delete[] *String;
  *String = nullptr;
  return RPC_S_OK;
}
