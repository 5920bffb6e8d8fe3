// Connection-oriented DCE/RPC PDUs (C706 chapter 12, with MS-RPCE's additions): the common header,
// the PDUs that ncalrpc uses, and their encoding and decoding. Decoding checks every length against
// the fragment it reads and throws PduFormatError on anything that does not fit; encoding always
// writes little-endian with the data representation label 0x10.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "winsim/rpcstub.h"

namespace winsim::rpc {

enum PduType : uint8_t {
  kPduRequest = 0,
  kPduResponse = 2,
  kPduFault = 3,
  kPduBind = 11,
  kPduBindAck = 12,
  kPduBindNak = 13,
  kPduAlterContext = 14,
  kPduAlterContextResp = 15,
  kPduAuth3 = 16,
  kPduShutdown = 17,
  kPduCoCancel = 18,
  kPduOrphaned = 19,
};

// pfc_flags.
constexpr uint8_t kPfcFirstFrag = 0x01;
constexpr uint8_t kPfcLastFrag = 0x02;
constexpr uint8_t kPfcPendingCancel = 0x04;  // PFC_SUPPORT_HEADER_SIGN on bind and alter_context
constexpr uint8_t kPfcConcMpx = 0x10;
constexpr uint8_t kPfcDidNotExecute = 0x20;
constexpr uint8_t kPfcMaybe = 0x40;
constexpr uint8_t kPfcObjectUuid = 0x80;

constexpr size_t kHeaderSize = 16;
constexpr size_t kRequestHeaderSize = 24;   // without the object UUID
constexpr size_t kResponseHeaderSize = 24;
constexpr size_t kFaultSize = 32;
constexpr size_t kSecTrailerSize = 8;
// Every implementation must take fragments of this size (C706 MustRecvFragSize).
constexpr uint16_t kMinFragSize = 1432;
// The largest fragment this run-time sends or receives.
constexpr uint16_t kMaxFragSize = 5840;

// p_cont_def_result_t, with MS-RPCE's negotiate_ack.
constexpr uint16_t kResultAcceptance = 0;
constexpr uint16_t kResultUserRejection = 1;
constexpr uint16_t kResultProviderRejection = 2;
constexpr uint16_t kResultNegotiateAck = 3;
// p_provider_reason_t.
constexpr uint16_t kReasonNotSpecified = 0;
constexpr uint16_t kReasonAbstractSyntaxNotSupported = 1;
constexpr uint16_t kReasonTransferSyntaxesNotSupported = 2;
constexpr uint16_t kReasonLocalLimitExceeded = 3;
// bind_nak provider_reject_reason.
constexpr uint16_t kNakReasonNotSpecified = 0;
constexpr uint16_t kNakTemporaryCongestion = 1;
constexpr uint16_t kNakLocalLimitExceeded = 2;
constexpr uint16_t kNakProtocolVersionNotSupported = 4;
constexpr uint16_t kNakAuthenticationTypeNotRecognized = 8;
constexpr uint16_t kNakInvalidChecksum = 9;

// Bind time feature negotiation bits (MS-RPCE BindTimeFeatureNegotiationBitmask).
constexpr uint16_t kFeatureSecurityContextMultiplexing = 0x01;
constexpr uint16_t kFeatureKeepConnectionOnOrphan = 0x02;

// Well-known syntaxes.
extern const SyntaxIdentifier kNdr20Syntax;   // 8A885D04-1CEB-11C9-9FE8-08002B104860 v2.0
extern const SyntaxIdentifier kNdr64Syntax;   // 71710533-BEBA-4937-8319-B5DBEF9CCC36 v1.0
// A transfer syntax of the form 6CB71C2C-9812-4540-xxxx-xxxxxxxxxxxx v1.0 announces bind time
// feature negotiation; its last eight octets are the client's bitmask.
bool IsFeatureNegotiationSyntax(const SyntaxIdentifier& syntax);
bool SameSyntax(const SyntaxIdentifier& a, const SyntaxIdentifier& b);
bool SameGuid(const GUID& a, const GUID& b);

struct PduFormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct PduHeader {
  uint8_t versionMajor = 5;
  uint8_t versionMinor = 0;
  uint8_t type = 0;
  uint8_t flags = 0;
  uint8_t drep[4] = {0x10, 0, 0, 0};
  uint16_t fragLength = 0;
  uint16_t authLength = 0;
  uint32_t callId = 0;
  bool LittleEndian() const { return (drep[0] & 0xF0) == 0x10; }
};

// Reads the 16-byte common header (integers in the order its drep names).
PduHeader ParseHeader(const uint8_t* data);

struct PresentationContext {
  uint16_t contextId = 0;
  SyntaxIdentifier abstractSyntax{};
  std::vector<SyntaxIdentifier> transferSyntaxes;
};

// bind and alter_context share one layout.
struct BindPdu {
  PduHeader header;
  uint16_t maxXmitFrag = 0;
  uint16_t maxRecvFrag = 0;
  uint32_t assocGroupId = 0;
  std::vector<PresentationContext> contexts;
};

struct ContextResult {
  uint16_t result = 0;
  uint16_t reason = 0;
  SyntaxIdentifier transferSyntax{};
};

// bind_ack and alter_context_resp share one layout.
struct BindAckPdu {
  PduHeader header;
  uint16_t maxXmitFrag = 0;
  uint16_t maxRecvFrag = 0;
  uint32_t assocGroupId = 0;
  std::string secondaryAddress;  // without its terminating NUL; empty: port_spec length 0
  std::vector<ContextResult> results;
};

struct BindNakPdu {
  PduHeader header;
  uint16_t reason = 0;
  std::vector<std::pair<uint8_t, uint8_t>> versions;  // supported protocol versions
};

struct RequestPdu {
  PduHeader header;
  uint32_t allocHint = 0;
  uint16_t contextId = 0;
  uint16_t opnum = 0;
  std::optional<GUID> object;
  std::vector<uint8_t> stub;
};

struct ResponsePdu {
  PduHeader header;
  uint32_t allocHint = 0;
  uint16_t contextId = 0;
  uint8_t cancelCount = 0;
  std::vector<uint8_t> stub;
};

struct FaultPdu {
  PduHeader header;
  uint32_t allocHint = 0;
  uint16_t contextId = 0;
  uint8_t cancelCount = 0;
  uint32_t status = 0;
};

// Decoding of one whole fragment (its header included). Throws PduFormatError.
BindPdu DecodeBind(const std::vector<uint8_t>& fragment);
BindAckPdu DecodeBindAck(const std::vector<uint8_t>& fragment);
BindNakPdu DecodeBindNak(const std::vector<uint8_t>& fragment);
RequestPdu DecodeRequest(const std::vector<uint8_t>& fragment);
ResponsePdu DecodeResponse(const std::vector<uint8_t>& fragment);
FaultPdu DecodeFault(const std::vector<uint8_t>& fragment);

// Encoding; frag_length is filled in, auth_length is 0.
std::vector<uint8_t> EncodeBind(const BindPdu& pdu);
std::vector<uint8_t> EncodeBindAck(const BindAckPdu& pdu);
std::vector<uint8_t> EncodeBindNak(const BindNakPdu& pdu);
std::vector<uint8_t> EncodeRequest(const RequestPdu& pdu);
std::vector<uint8_t> EncodeResponse(const ResponsePdu& pdu);
std::vector<uint8_t> EncodeFault(const FaultPdu& pdu);

// Splits stub data into request or response fragments of at most maxFrag bytes each; every
// fragment but the last carries a multiple of 8 bytes of stub data.
std::vector<std::vector<uint8_t>> FragmentRequest(RequestPdu pdu, uint16_t maxFrag);
std::vector<std::vector<uint8_t>> FragmentResponse(ResponsePdu pdu, uint16_t maxFrag);

}  // namespace winsim::rpc
