// The machine's trusted root certificates (the local machine's Root store), kept in the machine
// database. A chain must end in one of them for WinVerifyTrust to trust a signature.
#pragma once
#include <openssl/x509.h>

#include <string>
#include <vector>

namespace winsim::trust {

struct TrustedRoot {
  std::string thumbprint;  // SHA-1 of the DER encoding, upper-case hexadecimal, as Windows shows it
  std::string subject;     // one-line subject name
  std::string notAfter;    // end of validity, as OpenSSL prints it
  std::vector<uint8_t> der;
};

std::vector<TrustedRoot> ListTrustedRoots();
// Adds a certificate given as PEM or DER bytes; false with *error for anything else. Adding a root
// that is already there succeeds and changes nothing.
bool AddTrustedRoot(const std::vector<uint8_t>& bytes, TrustedRoot* added, std::string* error);
// Removes the root with this thumbprint (case-insensitive); false when there is none.
bool RemoveTrustedRoot(const std::string& thumbprint);

// A store holding the trusted roots, for chain building; the caller frees it.
X509_STORE* NewTrustedRootStore();

}  // namespace winsim::trust
