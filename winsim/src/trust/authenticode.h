// Authenticode over PE images, checked with OpenSSL: the image digest, the embedded PKCS#7
// SignedData whose content is an SpcIndirectDataContent carrying that digest, the signer's
// signature, and the certificate chain up to one of the machine's trusted roots.
#pragma once
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "minwindef.h"

namespace winsim::trust {

// The Authenticode digest of a PE image's bytes: the whole file except the checksum field, the
// certificate table's directory entry and the certificate table itself. nullopt when the bytes are
// not a PE image.
std::optional<std::vector<uint8_t>> ImageDigest(const std::vector<uint8_t>& file, const EVP_MD* md);

struct Pkcs7Deleter {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};

// The first PKCS#7 SignedData of a PE image's certificate table, decoded.
struct EmbeddedSignature {
  std::unique_ptr<PKCS7, Pkcs7Deleter> p7;
  std::vector<uint8_t> indirectData;     // the SpcIndirectDataContent, DER-encoded
  std::vector<uint8_t> indirectContent;  // its content octets: what the signer's digest covers
  std::string digestOid;                 // the image digest's algorithm
  const EVP_MD* digestAlgorithm = nullptr;  // null when OpenSSL does not know it
  std::vector<uint8_t> signedDigest;     // the image digest the signature carries
};

// Reads the signature of a PE image. Returns 0 with *out filled, or the result that
// WinVerifyTrust gives: TRUST_E_SUBJECT_FORM_UNKNOWN for bytes that are no PE image,
// TRUST_E_NOSIGNATURE without a usable certificate table entry, CRYPT_E_BAD_MSG for a signature
// that cannot be decoded.
LONG ReadEmbeddedSignature(const std::vector<uint8_t>& file, EmbeddedSignature* out);

struct VerifyOptions {
  bool hashOnly = false;  // WTD_HASH_ONLY_FLAG: only the image digest is checked
};

// The Authenticode verdict on a PE image, as WinVerifyTrust's generic verify action returns it.
LONG VerifyImage(const std::vector<uint8_t>& file, const VerifyOptions& options);

// Upper-case hexadecimal text of bytes.
std::string HexUpper(const std::vector<uint8_t>& bytes);

}  // namespace winsim::trust
