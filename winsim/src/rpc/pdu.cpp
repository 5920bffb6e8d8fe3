#include "rpc/pdu.h"

#include <algorithm>
#include <cstring>

namespace winsim::rpc {

const SyntaxIdentifier kNdr20Syntax = {{0x8A885D04, 0x1CEB, 0x11C9, {0x9F, 0xE8, 0x08, 0x00, 0x2B, 0x10, 0x48, 0x60}}, 2, 0};
const SyntaxIdentifier kNdr64Syntax = {{0x71710533, 0xBEBA, 0x4937, {0x83, 0x19, 0xB5, 0xDB, 0xEF, 0x9C, 0xCC, 0x36}}, 1, 0};

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 && std::memcmp(a.Data4, b.Data4, 8) == 0;
}

bool SameSyntax(const SyntaxIdentifier& a, const SyntaxIdentifier& b) {
  return SameGuid(a.uuid, b.uuid) && a.major == b.major && a.minor == b.minor;
}

bool IsFeatureNegotiationSyntax(const SyntaxIdentifier& s) {
  return s.uuid.Data1 == 0x6CB71C2C && s.uuid.Data2 == 0x9812 && s.uuid.Data3 == 0x4540 && s.major == 1 && s.minor == 0;
}

namespace {

// Reads one fragment; offsets and alignment count from the start of the PDU.
class Cursor {
 public:
  Cursor(const std::vector<uint8_t>& data, size_t end, bool little) : m_data(data), m_end(end), m_little(little) {}
  void Seek(size_t pos) { m_pos = pos; }
  size_t Pos() const { return m_pos; }
  void Need(size_t n) const {
    if (n > m_end || m_pos > m_end - n) throw PduFormatError("PDU shorter than its contents");
  }
  void Align(size_t n) {
    size_t pad = (n - m_pos % n) % n;
    Need(pad);
    m_pos += pad;
  }
  uint8_t U8() {
    Need(1);
    return m_data[m_pos++];
  }
  uint16_t U16() {
    Need(2);
    const uint8_t* p = &m_data[m_pos];
    m_pos += 2;
    return m_little ? static_cast<uint16_t>(p[0] | p[1] << 8) : static_cast<uint16_t>(p[1] | p[0] << 8);
  }
  uint32_t U32() {
    Need(4);
    const uint8_t* p = &m_data[m_pos];
    m_pos += 4;
    return m_little ? (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24)
                    : (uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24);
  }
  GUID Uuid() {
    GUID g;
    g.Data1 = U32();
    g.Data2 = U16();
    g.Data3 = U16();
    Need(8);
    std::memcpy(g.Data4, &m_data[m_pos], 8);
    m_pos += 8;
    return g;
  }
  SyntaxIdentifier Syntax() {
    SyntaxIdentifier s;
    s.uuid = Uuid();
    uint32_t version = U32();
    s.major = static_cast<uint16_t>(version & 0xFFFF);
    s.minor = static_cast<uint16_t>(version >> 16);
    return s;
  }
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> out(m_data.begin() + static_cast<std::ptrdiff_t>(m_pos),
                             m_data.begin() + static_cast<std::ptrdiff_t>(m_end));
    m_pos = m_end;
    return out;
  }

 private:
  const std::vector<uint8_t>& m_data;
  size_t m_end;
  size_t m_pos = 0;
  bool m_little;
};

class Builder {
 public:
  void U8(uint8_t v) { m_data.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void Uuid(const GUID& g) {
    U32(g.Data1);
    U16(g.Data2);
    U16(g.Data3);
    m_data.insert(m_data.end(), g.Data4, g.Data4 + 8);
  }
  void Syntax(const SyntaxIdentifier& s) {
    Uuid(s.uuid);
    U32(static_cast<uint32_t>(s.major) | static_cast<uint32_t>(s.minor) << 16);
  }
  void Align(size_t n) {
    while (m_data.size() % n) m_data.push_back(0);
  }
  void Bytes(const std::vector<uint8_t>& b) { m_data.insert(m_data.end(), b.begin(), b.end()); }
  void Header(const PduHeader& h, uint8_t type) {
    U8(5);
    U8(h.versionMinor);
    U8(type);
    U8(h.flags);
    U8(0x10);  // little-endian integers, ASCII characters, IEEE floating point
    U8(0);
    U8(0);
    U8(0);
    U16(0);  // frag_length, set by Finish
    U16(0);  // auth_length
    U32(h.callId);
  }
  std::vector<uint8_t> Finish() {
    if (m_data.size() > 0xFFFF) throw PduFormatError("PDU too large");
    m_data[8] = static_cast<uint8_t>(m_data.size());
    m_data[9] = static_cast<uint8_t>(m_data.size() >> 8);
    return std::move(m_data);
  }

 private:
  std::vector<uint8_t> m_data;
};

// Checks the header against the fragment and returns where the PDU body ends (before the
// authentication verifier, if any).
size_t BodyEnd(const std::vector<uint8_t>& fragment, const PduHeader& h, size_t fixedSize) {
  if (fragment.size() < kHeaderSize) throw PduFormatError("truncated header");
  if (h.fragLength != fragment.size()) throw PduFormatError("frag_length does not match the fragment");
  size_t end = h.fragLength;
  if (h.authLength) {
    size_t trailer = static_cast<size_t>(h.authLength) + kSecTrailerSize;
    if (trailer > end || end - trailer < fixedSize) throw PduFormatError("auth_length beyond the PDU");
    end -= trailer;
  }
  if (end < fixedSize) throw PduFormatError("PDU shorter than its fixed part");
  return end;
}

BindPdu DecodeBindLike(const std::vector<uint8_t>& fragment) {
  if (fragment.size() < kHeaderSize) throw PduFormatError("truncated header");
  BindPdu pdu;
  pdu.header = ParseHeader(fragment.data());
  size_t end = BodyEnd(fragment, pdu.header, kHeaderSize + 12);
  Cursor c(fragment, end, pdu.header.LittleEndian());
  c.Seek(kHeaderSize);
  pdu.maxXmitFrag = c.U16();
  pdu.maxRecvFrag = c.U16();
  pdu.assocGroupId = c.U32();
  uint8_t count = c.U8();
  c.U8();
  c.U16();
  for (unsigned i = 0; i < count; ++i) {
    PresentationContext ctx;
    ctx.contextId = c.U16();
    uint8_t transfers = c.U8();
    c.U8();
    ctx.abstractSyntax = c.Syntax();
    for (unsigned t = 0; t < transfers; ++t) ctx.transferSyntaxes.push_back(c.Syntax());
    pdu.contexts.push_back(std::move(ctx));
  }
  return pdu;
}

void EncodeBindLikeBody(Builder& b, const BindPdu& pdu) {
  b.U16(pdu.maxXmitFrag);
  b.U16(pdu.maxRecvFrag);
  b.U32(pdu.assocGroupId);
  b.U8(static_cast<uint8_t>(pdu.contexts.size()));
  b.U8(0);
  b.U16(0);
  for (const auto& ctx : pdu.contexts) {
    b.U16(ctx.contextId);
    b.U8(static_cast<uint8_t>(ctx.transferSyntaxes.size()));
    b.U8(0);
    b.Syntax(ctx.abstractSyntax);
    for (const auto& t : ctx.transferSyntaxes) b.Syntax(t);
  }
}

}  // namespace

PduHeader ParseHeader(const uint8_t* d) {
  PduHeader h;
  h.versionMajor = d[0];
  h.versionMinor = d[1];
  h.type = d[2];
  h.flags = d[3];
  std::memcpy(h.drep, d + 4, 4);
  bool little = h.LittleEndian();
  auto u16 = [&](int at) {
    return little ? static_cast<uint16_t>(d[at] | d[at + 1] << 8) : static_cast<uint16_t>(d[at + 1] | d[at] << 8);
  };
  h.fragLength = u16(8);
  h.authLength = u16(10);
  h.callId = little ? (uint32_t(d[12]) | uint32_t(d[13]) << 8 | uint32_t(d[14]) << 16 | uint32_t(d[15]) << 24)
                    : (uint32_t(d[15]) | uint32_t(d[14]) << 8 | uint32_t(d[13]) << 16 | uint32_t(d[12]) << 24);
  return h;
}

BindPdu DecodeBind(const std::vector<uint8_t>& fragment) { return DecodeBindLike(fragment); }

BindAckPdu DecodeBindAck(const std::vector<uint8_t>& fragment) {
  if (fragment.size() < kHeaderSize) throw PduFormatError("truncated header");
  BindAckPdu pdu;
  pdu.header = ParseHeader(fragment.data());
  size_t end = BodyEnd(fragment, pdu.header, kHeaderSize + 10);
  Cursor c(fragment, end, pdu.header.LittleEndian());
  c.Seek(kHeaderSize);
  pdu.maxXmitFrag = c.U16();
  pdu.maxRecvFrag = c.U16();
  pdu.assocGroupId = c.U32();
  uint16_t length = c.U16();
  c.Need(length);
  for (uint16_t i = 0; i < length; ++i) {
    char ch = static_cast<char>(c.U8());
    if (ch != '\0') pdu.secondaryAddress.push_back(ch);
  }
  c.Align(4);
  uint8_t count = c.U8();
  c.U8();
  c.U16();
  for (unsigned i = 0; i < count; ++i) {
    ContextResult r;
    r.result = c.U16();
    r.reason = c.U16();
    r.transferSyntax = c.Syntax();
    pdu.results.push_back(r);
  }
  return pdu;
}

BindNakPdu DecodeBindNak(const std::vector<uint8_t>& fragment) {
  if (fragment.size() < kHeaderSize) throw PduFormatError("truncated header");
  BindNakPdu pdu;
  pdu.header = ParseHeader(fragment.data());
  size_t end = BodyEnd(fragment, pdu.header, kHeaderSize + 2);
  Cursor c(fragment, end, pdu.header.LittleEndian());
  c.Seek(kHeaderSize);
  pdu.reason = c.U16();
  if (c.Pos() < end) {
    uint8_t count = c.U8();
    for (unsigned i = 0; i < count; ++i) {
      uint8_t major = c.U8();
      uint8_t minor = c.U8();
      pdu.versions.emplace_back(major, minor);
    }
  }
  return pdu;
}

RequestPdu DecodeRequest(const std::vector<uint8_t>& fragment) {
  if (fragment.size() < kHeaderSize) throw PduFormatError("truncated header");
  RequestPdu pdu;
  pdu.header = ParseHeader(fragment.data());
  size_t fixed = kRequestHeaderSize + ((pdu.header.flags & kPfcObjectUuid) ? 16 : 0);
  size_t end = BodyEnd(fragment, pdu.header, fixed);
  if (pdu.header.authLength) {
    // The sec_trailer's auth_pad_length says how much of the body is padding.
    uint8_t pad = fragment[end + 2];
    if (end - fixed < pad) throw PduFormatError("auth padding beyond the stub data");
    end -= pad;
  }
  Cursor c(fragment, end, pdu.header.LittleEndian());
  c.Seek(kHeaderSize);
  pdu.allocHint = c.U32();
  pdu.contextId = c.U16();
  pdu.opnum = c.U16();
  if (pdu.header.flags & kPfcObjectUuid) pdu.object = c.Uuid();
  pdu.stub = c.Rest();
  return pdu;
}

ResponsePdu DecodeResponse(const std::vector<uint8_t>& fragment) {
  if (fragment.size() < kHeaderSize) throw PduFormatError("truncated header");
  ResponsePdu pdu;
  pdu.header = ParseHeader(fragment.data());
  size_t end = BodyEnd(fragment, pdu.header, kResponseHeaderSize);
  Cursor c(fragment, end, pdu.header.LittleEndian());
  c.Seek(kHeaderSize);
  pdu.allocHint = c.U32();
  pdu.contextId = c.U16();
  pdu.cancelCount = c.U8();
  c.U8();
  pdu.stub = c.Rest();
  return pdu;
}

FaultPdu DecodeFault(const std::vector<uint8_t>& fragment) {
  if (fragment.size() < kHeaderSize) throw PduFormatError("truncated header");
  FaultPdu pdu;
  pdu.header = ParseHeader(fragment.data());
  size_t end = BodyEnd(fragment, pdu.header, kHeaderSize + 12);
  Cursor c(fragment, end, pdu.header.LittleEndian());
  c.Seek(kHeaderSize);
  pdu.allocHint = c.U32();
  pdu.contextId = c.U16();
  pdu.cancelCount = c.U8();
  c.U8();
  pdu.status = c.U32();
  return pdu;
}

std::vector<uint8_t> EncodeBind(const BindPdu& pdu) {
  Builder b;
  b.Header(pdu.header, pdu.header.type == kPduAlterContext ? kPduAlterContext : kPduBind);
  EncodeBindLikeBody(b, pdu);
  return b.Finish();
}

std::vector<uint8_t> EncodeBindAck(const BindAckPdu& pdu) {
  Builder b;
  b.Header(pdu.header, pdu.header.type == kPduAlterContextResp ? kPduAlterContextResp : kPduBindAck);
  b.U16(pdu.maxXmitFrag);
  b.U16(pdu.maxRecvFrag);
  b.U32(pdu.assocGroupId);
  if (pdu.secondaryAddress.empty()) {
    b.U16(0);
  } else {
    b.U16(static_cast<uint16_t>(pdu.secondaryAddress.size() + 1));
    for (char ch : pdu.secondaryAddress) b.U8(static_cast<uint8_t>(ch));
    b.U8(0);
  }
  b.Align(4);  // counted from the start of the PDU
  b.U8(static_cast<uint8_t>(pdu.results.size()));
  b.U8(0);
  b.U16(0);
  for (const auto& r : pdu.results) {
    b.U16(r.result);
    b.U16(r.reason);
    b.Syntax(r.transferSyntax);
  }
  return b.Finish();
}

std::vector<uint8_t> EncodeBindNak(const BindNakPdu& pdu) {
  Builder b;
  b.Header(pdu.header, kPduBindNak);
  b.U16(pdu.reason);
  b.U8(static_cast<uint8_t>(pdu.versions.size()));
  for (const auto& [major, minor] : pdu.versions) {
    b.U8(major);
    b.U8(minor);
  }
  b.Align(4);
  return b.Finish();
}

std::vector<uint8_t> EncodeRequest(const RequestPdu& pdu) {
  Builder b;
  PduHeader h = pdu.header;
  if (pdu.object) h.flags |= kPfcObjectUuid;
  b.Header(h, kPduRequest);
  b.U32(pdu.allocHint);
  b.U16(pdu.contextId);
  b.U16(pdu.opnum);
  if (pdu.object) b.Uuid(*pdu.object);
  b.Bytes(pdu.stub);
  return b.Finish();
}

std::vector<uint8_t> EncodeResponse(const ResponsePdu& pdu) {
  Builder b;
  b.Header(pdu.header, kPduResponse);
  b.U32(pdu.allocHint);
  b.U16(pdu.contextId);
  b.U8(pdu.cancelCount);
  b.U8(0);
  b.Bytes(pdu.stub);
  return b.Finish();
}

std::vector<uint8_t> EncodeFault(const FaultPdu& pdu) {
  Builder b;
  b.Header(pdu.header, kPduFault);
  b.U32(pdu.allocHint);
  b.U16(pdu.contextId);
  b.U8(pdu.cancelCount);
  b.U8(0);
  b.U32(pdu.status);
  b.U32(0);  // reserved
  return b.Finish();
}

namespace {

template <class Pdu, class Encode>
std::vector<std::vector<uint8_t>> Fragment(Pdu pdu, size_t headerSize, uint16_t maxFrag, Encode encode) {
  std::vector<uint8_t> stub = std::move(pdu.stub);
  size_t room = maxFrag > headerSize ? (maxFrag - headerSize) & ~size_t(7) : 0;
  if (room == 0) throw PduFormatError("fragment size too small");
  std::vector<std::vector<uint8_t>> out;
  size_t pos = 0;
  uint8_t baseFlags = pdu.header.flags & ~(kPfcFirstFrag | kPfcLastFrag);
  do {
    size_t n = std::min(room, stub.size() - pos);
    pdu.header.flags = baseFlags;
    if (pos == 0) pdu.header.flags |= kPfcFirstFrag;
    if (pos + n == stub.size()) pdu.header.flags |= kPfcLastFrag;
    pdu.allocHint = static_cast<uint32_t>(stub.size() - pos);
    pdu.stub.assign(stub.begin() + static_cast<std::ptrdiff_t>(pos), stub.begin() + static_cast<std::ptrdiff_t>(pos + n));
    out.push_back(encode(pdu));
    pos += n;
  } while (pos < stub.size());
  return out;
}

}  // namespace

std::vector<std::vector<uint8_t>> FragmentRequest(RequestPdu pdu, uint16_t maxFrag) {
  size_t header = kRequestHeaderSize + (pdu.object ? 16 : 0);
  return Fragment(std::move(pdu), header, maxFrag, [](const RequestPdu& p) { return EncodeRequest(p); });
}

std::vector<std::vector<uint8_t>> FragmentResponse(ResponsePdu pdu, uint16_t maxFrag) {
  return Fragment(std::move(pdu), kResponseHeaderSize, maxFrag, [](const ResponsePdu& p) { return EncodeResponse(p); });
}

}  // namespace winsim::rpc
