// NDR 2.0 encoding and decoding of the stub data types that winsim's stubs use (C706 chapter 14;
// BSTR as MS-OAUT 2.2.23 marshals it).
#include <cstring>

#include "core/strings.h"
#include "winsim/rpcstub.h"

namespace winsim::rpc {
namespace {

[[noreturn]] void BadStubData() { throw RpcException{static_cast<DWORD>(RPC_X_BAD_STUB_DATA)}; }

// UTF-16 code units of a wide string; characters above U+FFFF become surrogate pairs.
std::vector<uint16_t> Utf16Units(const wchar_t* text, size_t length) {
  std::vector<uint16_t> units;
  units.reserve(length + 1);
  for (size_t i = 0; i < length; ++i) {
    uint32_t c = static_cast<uint32_t>(text[i]);
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 | (c >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 | (c & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(c));
    }
  }
  return units;
}

// Wide characters from UTF-16 units: surrogate pairs joined, unpaired surrogates kept as they are.
std::wstring WideFromUnits(const std::vector<uint16_t>& units) {
  std::wstring out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
      ++i;
    } else {
      out.push_back(static_cast<wchar_t>(u));
    }
  }
  return out;
}

}  // namespace

bool ContextWire::IsNull() const {
  static const GUID kNil{};
  return attributes == 0 && std::memcmp(&uuid, &kNil, sizeof(GUID)) == 0;
}

void NdrWriter::Align(size_t boundary) {
  while (m_data.size() % boundary) m_data.push_back(0);
}
void NdrWriter::Small(uint8_t v) { m_data.push_back(v); }
void NdrWriter::Short(uint16_t v) {
  Align(2);
  m_data.push_back(static_cast<uint8_t>(v));
  m_data.push_back(static_cast<uint8_t>(v >> 8));
}
void NdrWriter::Long(uint32_t v) {
  Align(4);
  for (int i = 0; i < 4; ++i) m_data.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void NdrWriter::Hyper(int64_t value) {
  Align(8);
  uint64_t v = static_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) m_data.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void NdrWriter::Bytes(const void* data, size_t size) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  m_data.insert(m_data.end(), p, p + size);
}
void NdrWriter::Context(const ContextWire& wire) {
  Long(wire.attributes);
  Long(wire.uuid.Data1);
  Short(wire.uuid.Data2);
  Short(wire.uuid.Data3);
  Bytes(wire.uuid.Data4, 8);
}
void NdrWriter::ReferentId(bool present) {
  if (!present) {
    Long(0);
    return;
  }
  Long(m_nextReferent);
  m_nextReferent += 4;
}
void NdrWriter::WideString(const wchar_t* text) {
  if (!text) throw RpcException{static_cast<DWORD>(RPC_X_NULL_REF_POINTER)};
  std::vector<uint16_t> units = Utf16Units(text, std::wcslen(text));
  units.push_back(0);
  Long(static_cast<uint32_t>(units.size()));  // maximum count
  Long(0);                                    // offset
  Long(static_cast<uint32_t>(units.size()));  // actual count
  for (uint16_t u : units) Short(u);
}
void NdrWriter::Bstr(BSTR text) {
  ReferentId(true);
  if (!text) {
    // A null BSTR is a blob that says so (MS-OAUT): byte count 0xFFFFFFFF, no units.
    Long(0);
    Long(0xFFFFFFFFu);
    Long(0);
    return;
  }
  std::vector<uint16_t> units = Utf16Units(text, SysStringLen(text));
  Long(static_cast<uint32_t>(units.size()));      // conformance of asData
  Long(static_cast<uint32_t>(units.size() * 2));  // cBytes
  Long(static_cast<uint32_t>(units.size()));      // clSize
  for (uint16_t u : units) Short(u);
}

NdrReader::NdrReader(const uint8_t* data, size_t size, bool littleEndian)
    : m_data(data), m_size(size), m_little(littleEndian) {}

void NdrReader::Need(size_t bytes) const {
  if (bytes > m_size || m_pos > m_size - bytes) BadStubData();
}
void NdrReader::Align(size_t boundary) {
  size_t pad = (boundary - m_pos % boundary) % boundary;
  Need(pad);
  m_pos += pad;
}
uint8_t NdrReader::Small() {
  Need(1);
  return m_data[m_pos++];
}
uint16_t NdrReader::Short() {
  Align(2);
  Need(2);
  const uint8_t* p = m_data + m_pos;
  m_pos += 2;
  return m_little ? static_cast<uint16_t>(p[0] | p[1] << 8) : static_cast<uint16_t>(p[1] | p[0] << 8);
}
uint32_t NdrReader::Long() {
  Align(4);
  Need(4);
  const uint8_t* p = m_data + m_pos;
  m_pos += 4;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[m_little ? i : 3 - i]) << (8 * i);
  return v;
}
int64_t NdrReader::Hyper() {
  Align(8);
  Need(8);
  const uint8_t* p = m_data + m_pos;
  m_pos += 8;
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(p[m_little ? i : 7 - i]) << (8 * i);
  return static_cast<int64_t>(v);
}
void NdrReader::Bytes(void* data, size_t size) {
  Need(size);
  std::memcpy(data, m_data + m_pos, size);
  m_pos += size;
}
ContextWire NdrReader::Context() {
  ContextWire w;
  w.attributes = Long();
  w.uuid.Data1 = Long();
  w.uuid.Data2 = Short();
  w.uuid.Data3 = Short();
  Bytes(w.uuid.Data4, 8);
  return w;
}
uint32_t NdrReader::ReferentId() { return Long(); }

std::wstring NdrReader::WideString() {
  uint32_t maximum = Long();
  uint32_t offset = Long();
  uint32_t actual = Long();
  if (offset != 0 || actual == 0 || actual > maximum) BadStubData();
  Need(static_cast<size_t>(actual) * 2);
  std::vector<uint16_t> units(actual);
  for (auto& u : units) u = Short();
  if (units.back() != 0) BadStubData();
  units.pop_back();
  return WideFromUnits(units);
}

BSTR NdrReader::Bstr() {
  uint32_t referent = Long();
  if (referent == 0) return nullptr;
  // FLAGGED_WORD_BLOB is little-endian whatever the data representation label says (MS-OAUT).
  auto le32 = [this]() {
    Align(4);
    Need(4);
    const uint8_t* p = m_data + m_pos;
    m_pos += 4;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  };
  uint32_t conformance = le32();
  uint32_t bytes = le32();
  uint32_t units = le32();
  if (bytes == 0xFFFFFFFFu) {
    if (units != 0 || conformance != 0) BadStubData();
    return nullptr;
  }
  if (units != bytes / 2 + bytes % 2 || conformance != units) BadStubData();
  Need(static_cast<size_t>(units) * 2);
  std::vector<uint16_t> data(units);
  for (auto& u : data) {
    const uint8_t* p = m_data + m_pos;
    u = static_cast<uint16_t>(p[0] | p[1] << 8);
    m_pos += 2;
  }
  std::wstring text = WideFromUnits(data);
  BSTR out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!out) throw RpcException{static_cast<DWORD>(RPC_S_OUT_OF_MEMORY)};
  return out;
}

}  // namespace winsim::rpc
