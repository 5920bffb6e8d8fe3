// GUID creation: random (version 4) GUIDs, as CoCreateGuid makes through UuidCreate. And the
// published identifiers of the interfaces and classes that winsim implements.
#include <openssl/rand.h>

#include "core/fault.h"
#include "objbase.h"
#include "shobjidl.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const CLSID CLSID_ApplicationActivationManager = {
    0x45BA127D, 0x10A8, 0x46EA, {0x8A, 0xB7, 0x56, 0xEA, 0x90, 0x78, 0x94, 0x3C}};
const IID IID_IApplicationActivationManager = {
    0x2e941141, 0x7f97, 0x4756, {0xba, 0x1d, 0x9d, 0xec, 0xde, 0x89, 0x4a, 0x3d}};

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
