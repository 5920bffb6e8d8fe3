#include "trust/roots.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>

#include "core/machine.h"
#include "trust/authenticode.h"

namespace winsim::trust {
namespace {

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS trusted_roots (thumbprint TEXT PRIMARY KEY, subject TEXT NOT NULL,"
    " not_after TEXT NOT NULL, der BLOB NOT NULL, added INTEGER NOT NULL DEFAULT (strftime('%s','now')));";

Database& RootsDb() {
  Database& db = Database::Get();
  db.EnsureSchema("trusted_roots", kSchema);
  return db;
}

std::string Upper(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

X509* ParseCertificate(const std::vector<uint8_t>& bytes) {
  BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (!cert) {
    const unsigned char* p = bytes.data();
    cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
  }
  ERR_clear_error();
  return cert;
}

std::string OneLine(const X509_NAME* name) {
  BIO* bio = BIO_new(BIO_s_mem());
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<size_t>(n));
  BIO_free(bio);
  return out;
}

std::string TimeText(const ASN1_TIME* time) {
  BIO* bio = BIO_new(BIO_s_mem());
  ASN1_TIME_print(bio, time);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<size_t>(n));
  BIO_free(bio);
  return out;
}

}  // namespace

std::vector<TrustedRoot> ListTrustedRoots() {
  std::vector<TrustedRoot> out;
  Statement q(RootsDb().Raw(), "SELECT thumbprint, subject, not_after, der FROM trusted_roots ORDER BY rowid");
  while (q.Step()) out.push_back({q.Text(0), q.Text(1), q.Text(2), q.Blob(3)});
  return out;
}

bool AddTrustedRoot(const std::vector<uint8_t>& bytes, TrustedRoot* added, std::string* error) {
  X509* cert = ParseCertificate(bytes);
  if (!cert) {
    if (error) *error = "not a certificate (PEM or DER)";
    return false;
  }
  TrustedRoot root;
  unsigned char* der = nullptr;
  int length = i2d_X509(cert, &der);
  root.der.assign(der, der + (length > 0 ? length : 0));
  OPENSSL_free(der);
  std::vector<uint8_t> sha1(EVP_MAX_MD_SIZE);
  unsigned int n = 0;
  EVP_Digest(root.der.data(), root.der.size(), sha1.data(), &n, EVP_sha1(), nullptr);
  sha1.resize(n);
  root.thumbprint = HexUpper(sha1);
  root.subject = OneLine(X509_get_subject_name(cert));
  root.notAfter = TimeText(X509_get0_notAfter(cert));
  X509_free(cert);
  Statement ins(RootsDb().Raw(),
                "INSERT OR IGNORE INTO trusted_roots(thumbprint, subject, not_after, der) VALUES(?,?,?,?)");
  ins.Bind(1, root.thumbprint).Bind(2, root.subject).Bind(3, root.notAfter).BindBlob(4, root.der);
  ins.Step();
  if (added) *added = root;
  return true;
}

bool RemoveTrustedRoot(const std::string& thumbprint) {
  Database& db = RootsDb();
  Statement del(db.Raw(), "DELETE FROM trusted_roots WHERE thumbprint=?");
  del.Bind(1, Upper(thumbprint));
  del.Step();
  return db.Changes() > 0;
}

X509_STORE* NewTrustedRootStore() {
  X509_STORE* store = X509_STORE_new();
  if (!store) return nullptr;
  for (const auto& root : ListTrustedRoots()) {
    const unsigned char* p = root.der.data();
    X509* cert = d2i_X509(nullptr, &p, static_cast<long>(root.der.size()));
    if (!cert) continue;
    X509_STORE_add_cert(store, cert);
    X509_free(cert);
  }
  ERR_clear_error();
  return store;
}

}  // namespace winsim::trust
