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

RPC_STATUS RPC_ENTRY UuidFromStringW(RPC_WSTR StringUuid, UUID* Uuid) {
  WINSIM_FAULT_STATUS("UuidFromStringW", RPC_STATUS);
  if (!Uuid) return RPC_S_INVALID_ARG;
  // A null string stands for the nil UUID.
  if (!StringUuid) {
    *Uuid = UUID{};
    return RPC_S_OK;
  }
  // Exactly 8-4-4-4-12 hexadecimal digits, either case, without braces.
  auto hex = [](wchar_t c) -> int {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  uint8_t bytes[16];
  int n = 0;
  for (int i = 0; i < 36; ++i) {
    wchar_t c = StringUuid[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != L'-') return RPC_S_INVALID_STRING_UUID;
      continue;
    }
    int hi = hex(c);
    if (hi < 0) return RPC_S_INVALID_STRING_UUID;
    int lo = hex(StringUuid[++i]);
    if (lo < 0) return RPC_S_INVALID_STRING_UUID;
    bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
  }
  if (StringUuid[36] != L'\0') return RPC_S_INVALID_STRING_UUID;
  UUID u;
  u.Data1 = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
  u.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  u.Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) u.Data4[i] = bytes[8 + i];
  *Uuid = u;
  return RPC_S_OK;
}
