// Facts relied on: Microsoft's "Windows Authenticode Portable Executable Signature Format" (the
// image digest leaves out the checksum, the certificate table entry and the table; the table holds
// WIN_CERTIFICATE entries of revision 2.0 whose PKCS#7 SignedData has an SpcIndirectDataContent,
// "1.3.6.1.4.1.311.2.1.4", with a DigestInfo of the image; the signer's messageDigest covers that
// content without its outer tag and length), and the WinTrust result codes of winerror.h.
#include "trust/authenticode.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

#include "process/peimage.h"
#include "trust/roots.h"
#include "winerror.h"

namespace winsim::trust {
namespace {

constexpr uint16_t kRevision2 = 0x0200;
constexpr uint16_t kPkcsSignedData = 0x0002;
const char* kIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";

uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

std::string OidText(const ASN1_OBJECT* object) {
  char buffer[128];
  int n = OBJ_obj2txt(buffer, sizeof(buffer), object, 1);
  return n > 0 ? std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof(buffer) - 1)) : std::string();
}

// Reads one DER header; the content's start and length, or false.
bool ReadHeader(const unsigned char** p, long available, long* length, int* tag) {
  int cls = 0;
  int ret = ASN1_get_object(p, length, tag, &cls, available);
  return !(ret & 0x80) && (ret & V_ASN1_CONSTRUCTED) && cls == V_ASN1_UNIVERSAL;
}

// The DigestInfo inside SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
// messageDigest DigestInfo }.
bool ParseIndirectData(EmbeddedSignature* s) {
  const unsigned char* p = s->indirectData.data();
  long total = static_cast<long>(s->indirectData.size());
  long length = 0;
  int tag = 0;
  if (!ReadHeader(&p, total, &length, &tag) || tag != V_ASN1_SEQUENCE) return false;
  const unsigned char* content = p;
  const unsigned char* end = p + length;
  if (end > s->indirectData.data() + total) return false;
  s->indirectContent.assign(content, end);
  // Skip the SpcAttributeTypeAndOptionalValue.
  const unsigned char* q = p;
  long attrLength = 0;
  if (!ReadHeader(&q, end - p, &attrLength, &tag) || tag != V_ASN1_SEQUENCE) return false;
  q += attrLength;
  if (q >= end) return false;
  X509_SIG* digestInfo = d2i_X509_SIG(nullptr, &q, end - q);
  if (!digestInfo) return false;
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* digest = nullptr;
  X509_SIG_get0(digestInfo, &algorithm, &digest);
  const ASN1_OBJECT* oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
  s->digestOid = OidText(oid);
  s->digestAlgorithm = EVP_get_digestbyobj(oid);
  s->signedDigest.assign(ASN1_STRING_get0_data(digest), ASN1_STRING_get0_data(digest) + ASN1_STRING_length(digest));
  X509_SIG_free(digestInfo);
  return true;
}

// What an OpenSSL chain error means as a WinTrust result.
LONG ResultOfChainError(int error) {
  switch (error) {
    case X509_V_OK: return ERROR_SUCCESS;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return CERT_E_UNTRUSTEDROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return CERT_E_CHAINING;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return CERT_E_EXPIRED;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
      return TRUST_E_CERT_SIGNATURE;
    case X509_V_ERR_INVALID_CA: return CERT_E_ROLE;
    case X509_V_ERR_PATH_LENGTH_EXCEEDED: return CERT_E_PATHLENCONST;
    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION: return CERT_E_CRITICAL;
    case X509_V_ERR_INVALID_PURPOSE: return CERT_E_WRONG_USAGE;
    case X509_V_ERR_CERT_REVOKED: return CERT_E_REVOKED;
    case X509_V_ERR_CERT_REJECTED: return TRUST_E_EXPLICIT_DISTRUST;
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_E_MALFORMED;
    default: return TRUST_E_FAIL;
  }
}

}  // namespace

std::string HexUpper(const std::vector<uint8_t>& bytes) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

std::optional<std::vector<uint8_t>> ImageDigest(const std::vector<uint8_t>& file, const EVP_MD* md) {
  auto layout = pe::ParseLayout(file.data(), file.size(), file.size(), nullptr);
  if (!layout || !md) return std::nullopt;
  struct Range {
    uint64_t start, end;
  };
  std::vector<Range> skip{{layout->checksumOffset, layout->checksumOffset + 4ull}};
  if (layout->securityEntryOffset) skip.push_back({layout->securityEntryOffset, layout->securityEntryOffset + 8ull});
  if (layout->certTableSize > 0) {
    skip.push_back({layout->certTableOffset, static_cast<uint64_t>(layout->certTableOffset) + layout->certTableSize});
  }
  std::sort(skip.begin(), skip.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (!ctx || !EVP_DigestInit_ex(ctx, md, nullptr)) {
    EVP_MD_CTX_free(ctx);
    return std::nullopt;
  }
  uint64_t position = 0;
  const uint64_t size = file.size();
  for (const Range& r : skip) {
    uint64_t start = std::min(r.start, size);
    if (start > position) EVP_DigestUpdate(ctx, file.data() + position, start - position);
    position = std::max(position, std::min(r.end, size));
  }
  if (size > position) EVP_DigestUpdate(ctx, file.data() + position, size - position);
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  bool ok = EVP_DigestFinal_ex(ctx, digest.data(), &length) == 1;
  EVP_MD_CTX_free(ctx);
  if (!ok) return std::nullopt;
  digest.resize(length);
  return digest;
}

LONG ReadEmbeddedSignature(const std::vector<uint8_t>& file, EmbeddedSignature* out) {
  auto layout = pe::ParseLayout(file.data(), file.size(), file.size(), nullptr);
  if (!layout) return TRUST_E_SUBJECT_FORM_UNKNOWN;
  uint64_t offset = layout->certTableOffset;
  uint64_t end = offset + layout->certTableSize;
  if (layout->certTableSize == 0 || offset == 0 || end > file.size()) return TRUST_E_NOSIGNATURE;
  // WIN_CERTIFICATE entries follow each other on 8-byte boundaries.
  while (offset + 8 <= end) {
    uint32_t length = Get32(&file[offset]);
    uint16_t revision = Get16(&file[offset + 4]);
    uint16_t type = Get16(&file[offset + 6]);
    if (length < 8 || offset + length > end) break;
    if (revision == kRevision2 && type == kPkcsSignedData) {
      const unsigned char* p = &file[offset + 8];
      PKCS7* p7 = d2i_PKCS7(nullptr, &p, static_cast<long>(length - 8));
      if (!p7) return CRYPT_E_BAD_MSG;
      out->p7.reset(p7);
      if (!PKCS7_type_is_signed(p7) || !p7->d.sign || !p7->d.sign->contents) return CRYPT_E_BAD_MSG;
      PKCS7* inner = p7->d.sign->contents;
      if (OidText(inner->type) != kIndirectDataOid || !inner->d.other ||
          inner->d.other->type != V_ASN1_SEQUENCE) {
        return CRYPT_E_BAD_MSG;
      }
      const ASN1_STRING* sequence = inner->d.other->value.sequence;
      out->indirectData.assign(ASN1_STRING_get0_data(sequence),
                               ASN1_STRING_get0_data(sequence) + ASN1_STRING_length(sequence));
      if (!ParseIndirectData(out)) return CRYPT_E_BAD_MSG;
      return ERROR_SUCCESS;
    }
    offset += (static_cast<uint64_t>(length) + 7) / 8 * 8;
  }
  return TRUST_E_NOSIGNATURE;
}

LONG VerifyImage(const std::vector<uint8_t>& file, const VerifyOptions& options) {
  EmbeddedSignature signature;
  LONG read = ReadEmbeddedSignature(file, &signature);
  if (read != ERROR_SUCCESS) return read;
  if (!signature.digestAlgorithm) return NTE_BAD_ALGID;
  auto digest = ImageDigest(file, signature.digestAlgorithm);
  if (!digest || *digest != signature.signedDigest) return TRUST_E_BAD_DIGEST;
  if (options.hashOnly) return ERROR_SUCCESS;

  PKCS7* p7 = signature.p7.get();
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  // Authenticode signatures have exactly one signer.
  if (!signers || sk_PKCS7_SIGNER_INFO_num(signers) != 1) return TRUST_E_NOSIGNATURE;
  STACK_OF(X509)* signerCerts = PKCS7_get0_signers(p7, nullptr, 0);
  if (!signerCerts || sk_X509_num(signerCerts) != 1) {
    sk_X509_free(signerCerts);
    ERR_clear_error();
    return TRUST_E_NO_SIGNER_CERT;
  }
  X509* signer = sk_X509_value(signerCerts, 0);
  sk_X509_free(signerCerts);

  // The signer's signature over its attributes, whose messageDigest covers the indirect data.
  BIO* content = BIO_new_mem_buf(signature.indirectContent.data(), static_cast<int>(signature.indirectContent.size()));
  X509_STORE* empty = X509_STORE_new();
  int signatureOk = PKCS7_verify(p7, nullptr, empty, content, nullptr, PKCS7_NOVERIFY | PKCS7_BINARY);
  X509_STORE_free(empty);
  BIO_free(content);
  ERR_clear_error();
  if (signatureOk != 1) return TRUST_E_BAD_DIGEST;

  // The chain, from the signer through the certificates the signature carries to a trusted root.
  X509_STORE* roots = NewTrustedRootStore();
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  LONG result = TRUST_E_SYSTEM_ERROR;
  if (roots && ctx && X509_STORE_CTX_init(ctx, roots, signer, p7->d.sign->cert) == 1) {
    int ok = X509_verify_cert(ctx);
    result = ok == 1 ? ERROR_SUCCESS : ResultOfChainError(X509_STORE_CTX_get_error(ctx));
  }
  X509_STORE_CTX_free(ctx);
  X509_STORE_free(roots);
  ERR_clear_error();
  if (result != ERROR_SUCCESS) return result;

  // The Authenticode policy: a signer certificate that names its uses must name code signing.
  if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) &&
      !(X509_get_extended_key_usage(signer) & (XKU_CODE_SIGN | XKU_ANYEKU))) {
    return CERT_E_WRONG_USAGE;
  }
  return ERROR_SUCCESS;
}

}  // namespace winsim::trust
