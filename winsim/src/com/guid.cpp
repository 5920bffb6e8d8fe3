// GUID creation: random (version 4) GUIDs, as CoCreateGuid makes through UuidCreate.
#include <openssl/rand.h>

#include "core/fault.h"
#include "objbase.h"

HRESULT WINAPI CoCreateGuid(GUID* pguid) {
  WINSIM_FAULT_STATUS("CoCreateGuid", HRESULT);
  if (!pguid) return E_INVALIDARG;
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
  GUID g;
  g.Data1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
            static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  g.Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  // Version 4 in the top nibble of Data3, the RFC 4122 variant in the top bits of Data4[0].
  g.Data3 = static_cast<uint16_t>(((bytes[6] << 8 | bytes[7]) & 0x0FFF) | 0x4000);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  *pguid = g;
  return S_OK;
}
