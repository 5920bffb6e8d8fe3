// Cryptographic messages and certificates: what reading a file's signer certificate takes
// (CryptQueryObject, CryptMsgGetParam, CertFindCertificateInStore, CertGetNameStringW and the free
// functions), over OpenSSL. Facts relied on (Microsoft's pages of these functions and of
// CERT_CONTEXT, CERT_INFO, CMSG_SIGNER_INFO and CertNameToStr): serial numbers are little-endian;
// names are DER blobs; structures returned by CryptMsgGetParam hold their data in the same buffer
// after the structure, with the ERROR_MORE_DATA sizing protocol; CertFindCertificateInStore frees
// the previous context it is given and answers CRYPT_E_NOT_FOUND at the end; a store is freed once
// it is closed and its last context is freed; CertGetNameStringW returns the characters written
// with the terminator, 1 for a name that is not there.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <functional>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "core/fault.h"
#include "core/strings.h"
#include "files/paths_full.h"
#include "process/peimage.h"
#include "trust/authenticode.h"
#include "windows.h"

namespace {

using winsim::trust::EmbeddedSignature;

struct StoreObject;

struct CertObject {
  CERT_CONTEXT context{};
  CERT_INFO info{};
  std::vector<uint8_t> der;
  X509* x509 = nullptr;
  std::deque<std::vector<uint8_t>> bytes;  // storage behind the pointers of info (deque: stable)
  std::vector<CERT_EXTENSION> extensions;
  StoreObject* store = nullptr;
  int callerReferences = 0;
  ~CertObject() { X509_free(x509); }
};

struct StoreObject {
  std::vector<std::unique_ptr<CertObject>> certs;
  bool open = true;
  int outstanding = 0;  // context references held by callers
};

struct MessageObject {
  EmbeddedSignature signature;
};

std::mutex g_lock;
std::set<StoreObject*> g_stores;
std::map<const CERT_CONTEXT*, CertObject*> g_contexts;
std::set<MessageObject*> g_messages;

template <class T>
T Fail(HRESULT error, T value) {
  SetLastError(static_cast<DWORD>(error));
  return value;
}

std::vector<uint8_t> Der(X509* x) {
  unsigned char* out = nullptr;
  int n = i2d_X509(x, &out);
  std::vector<uint8_t> der(out, out + (n > 0 ? n : 0));
  OPENSSL_free(out);
  return der;
}

std::vector<uint8_t> NameDer(const X509_NAME* name) {
  unsigned char* out = nullptr;
  int n = i2d_X509_NAME(name, &out);
  std::vector<uint8_t> der(out, out + (n > 0 ? n : 0));
  OPENSSL_free(out);
  return der;
}

std::string OidText(const ASN1_OBJECT* object) {
  char buffer[128];
  int n = OBJ_obj2txt(buffer, sizeof(buffer), object, 1);
  return n > 0 ? std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof(buffer) - 1)) : std::string();
}

// CryptoAPI keeps an integer as its DER content octets in little-endian order.
std::vector<uint8_t> LittleEndianInteger(const ASN1_INTEGER* value) {
  unsigned char* out = nullptr;
  int n = i2d_ASN1_INTEGER(value, &out);
  std::vector<uint8_t> der(out, out + (n > 0 ? n : 0));
  OPENSSL_free(out);
  const unsigned char* p = der.data();
  long length = 0;
  int tag = 0, cls = 0;
  std::vector<uint8_t> content;
  if (!der.empty() && !(ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size())) & 0x80)) {
    content.assign(p, p + length);
  }
  std::reverse(content.begin(), content.end());
  return content;
}

std::vector<uint8_t> TypeDer(const ASN1_TYPE* type) {
  if (!type) return {};
  unsigned char* out = nullptr;
  int n = i2d_ASN1_TYPE(type, &out);
  std::vector<uint8_t> der(out, out + (n > 0 ? n : 0));
  OPENSSL_free(out);
  return der;
}

FILETIME FileTimeOf(const ASN1_TIME* time) {
  struct tm tm {};
  FILETIME ft{};
  if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return ft;
  int64_t seconds = timegm(&tm);
  uint64_t value = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ull;
  ft.dwLowDateTime = static_cast<DWORD>(value);
  ft.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return ft;
}

// The trimmed sign bytes a little-endian integer may carry do not change it.
std::vector<uint8_t> TrimmedInteger(const CRYPT_INTEGER_BLOB& blob) {
  std::vector<uint8_t> v(blob.pbData, blob.pbData + blob.cbData);
  while (v.size() > 1) {
    uint8_t top = v.back(), next = v[v.size() - 2];
    if ((top == 0x00 && !(next & 0x80)) || (top == 0xFF && (next & 0x80))) {
      v.pop_back();
    } else {
      break;
    }
  }
  return v;
}

bool SameBytes(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB& b) {
  return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}


// ---- Certificate contexts and stores ------------------------------------------------------------

BYTE* Keep(CertObject* c, std::vector<uint8_t> data) {
  c->bytes.push_back(std::move(data));
  return c->bytes.back().empty() ? nullptr : c->bytes.back().data();
}

char* KeepString(CertObject* c, const std::string& text) {
  std::vector<uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  c->bytes.push_back(std::move(data));
  return reinterpret_cast<char*>(c->bytes.back().data());
}

void SetBlob(CertObject* c, CRYPT_DATA_BLOB* blob, std::vector<uint8_t> data) {
  blob->cbData = static_cast<DWORD>(data.size());
  blob->pbData = Keep(c, std::move(data));
}

void SetAlgorithm(CertObject* c, CRYPT_ALGORITHM_IDENTIFIER* out, const X509_ALGOR* algorithm) {
  const ASN1_OBJECT* oid = nullptr;
  int paramType = 0;
  const void* param = nullptr;
  X509_ALGOR_get0(&oid, &paramType, &param, algorithm);
  out->pszObjId = KeepString(c, OidText(oid));
  std::vector<uint8_t> parameters;
  if (paramType != V_ASN1_UNDEF) {
    ASN1_TYPE* type = ASN1_TYPE_new();
    ASN1_TYPE_set1(type, paramType, param);
    parameters = TypeDer(type);
    ASN1_TYPE_free(type);
  }
  SetBlob(c, &out->Parameters, std::move(parameters));
}

std::unique_ptr<CertObject> MakeCert(X509* x, StoreObject* store) {
  auto c = std::make_unique<CertObject>();
  X509_up_ref(x);
  c->x509 = x;
  c->der = Der(x);
  c->store = store;
  CERT_INFO& info = c->info;
  info.dwVersion = static_cast<DWORD>(X509_get_version(x));
  SetBlob(c.get(), &info.SerialNumber, LittleEndianInteger(X509_get0_serialNumber(x)));
  SetAlgorithm(c.get(), &info.SignatureAlgorithm, X509_get0_tbs_sigalg(x));
  SetBlob(c.get(), &info.Issuer, NameDer(X509_get_issuer_name(x)));
  SetBlob(c.get(), &info.Subject, NameDer(X509_get_subject_name(x)));
  info.NotBefore = FileTimeOf(X509_get0_notBefore(x));
  info.NotAfter = FileTimeOf(X509_get0_notAfter(x));
  X509_PUBKEY* key = X509_get_X509_PUBKEY(x);
  const unsigned char* keyBytes = nullptr;
  int keyLength = 0;
  X509_ALGOR* keyAlgorithm = nullptr;
  if (key && X509_PUBKEY_get0_param(nullptr, &keyBytes, &keyLength, &keyAlgorithm, key) == 1) {
    SetAlgorithm(c.get(), &info.SubjectPublicKeyInfo.Algorithm, keyAlgorithm);
    info.SubjectPublicKeyInfo.PublicKey.cbData = static_cast<DWORD>(keyLength);
    info.SubjectPublicKeyInfo.PublicKey.pbData = Keep(c.get(), std::vector<uint8_t>(keyBytes, keyBytes + keyLength));
  }
  int count = X509_get_ext_count(x);
  c->extensions.resize(static_cast<size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) {
    X509_EXTENSION* ext = X509_get_ext(x, i);
    CERT_EXTENSION& e = c->extensions[static_cast<size_t>(i)];
    e.pszObjId = KeepString(c.get(), OidText(X509_EXTENSION_get_object(ext)));
    e.fCritical = X509_EXTENSION_get_critical(ext) ? TRUE : FALSE;
    const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
    SetBlob(c.get(), &e.Value,
            std::vector<uint8_t>(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + ASN1_STRING_length(value)));
  }
  info.cExtension = static_cast<DWORD>(c->extensions.size());
  info.rgExtension = c->extensions.empty() ? nullptr : c->extensions.data();
  c->context.dwCertEncodingType = X509_ASN_ENCODING;
  c->context.pbCertEncoded = c->der.data();
  c->context.cbCertEncoded = static_cast<DWORD>(c->der.size());
  c->context.pCertInfo = &c->info;
  c->context.hCertStore = store;
  return c;
}

// Called with g_lock held.
StoreObject* NewStoreLocked(STACK_OF(X509)* certs) {
  auto* store = new StoreObject();
  for (int i = 0; certs && i < sk_X509_num(certs); ++i) {
    auto cert = MakeCert(sk_X509_value(certs, i), store);
    g_contexts[&cert->context] = cert.get();
    store->certs.push_back(std::move(cert));
  }
  g_stores.insert(store);
  return store;
}

void DeleteStoreLocked(StoreObject* store) {
  for (auto& c : store->certs) g_contexts.erase(&c->context);
  g_stores.erase(store);
  delete store;
}

void MaybeDeleteStoreLocked(StoreObject* store) {
  if (!store->open && store->outstanding <= 0) DeleteStoreLocked(store);
}

PCCERT_CONTEXT AcquireLocked(CertObject* c) {
  ++c->callerReferences;
  ++c->store->outstanding;
  return &c->context;
}

void ReleaseLocked(CertObject* c) {
  if (c->callerReferences > 0) {
    --c->callerReferences;
    --c->store->outstanding;
  }
  MaybeDeleteStoreLocked(c->store);
}

CertObject* ContextLocked(PCCERT_CONTEXT context) {
  auto it = g_contexts.find(context);
  return it == g_contexts.end() ? nullptr : it->second;
}

StoreObject* StoreLocked(HCERTSTORE handle) {
  auto* store = static_cast<StoreObject*>(handle);
  return g_stores.count(store) ? store : nullptr;
}

// ---- Names -------------------------------------------------------------------------------------

std::string EntryText(const X509_NAME_ENTRY* entry) {
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
  std::string text = n >= 0 ? std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(n)) : std::string();
  OPENSSL_free(utf8);
  return text;
}

std::string FirstAttribute(const X509_NAME* name, const std::string& oid) {
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (OidText(X509_NAME_ENTRY_get_object(entry)) == oid) return EntryText(entry);
  }
  return {};
}

std::string X500Key(const std::string& oid) {
  static const std::map<std::string, std::string> keys = {
      {"2.5.4.3", "CN"},  {"2.5.4.4", "SN"},   {"2.5.4.5", "SERIALNUMBER"}, {"2.5.4.6", "C"},
      {"2.5.4.7", "L"},   {"2.5.4.8", "S"},    {"2.5.4.9", "STREET"},       {"2.5.4.10", "O"},
      {"2.5.4.11", "OU"}, {"2.5.4.12", "T"},   {"2.5.4.42", "G"},           {"2.5.4.43", "I"},
      {"1.2.840.113549.1.9.1", "E"},           {"0.9.2342.19200300.100.1.25", "DC"}};
  auto it = keys.find(oid);
  return it == keys.end() ? "OID." + oid : it->second;
}

std::string Quoted(const std::string& value, bool quoting) {
  if (!quoting) return value;
  bool quote = value.empty() || std::isspace(static_cast<unsigned char>(value.front())) ||
               std::isspace(static_cast<unsigned char>(value.back())) ||
               value.find_first_of(",+=\"\n<>#;") != std::string::npos;
  if (!quote) return value;
  std::string out = "\"";
  for (char ch : value) {
    if (ch == '"') out += '"';
    out += ch;
  }
  return out + "\"";
}

// A name as CertNameToStr writes it.
std::string NameToString(const X509_NAME* name, DWORD strType) {
  DWORD format = strType & 0xFFFF;
  bool quoting = !(strType & CERT_NAME_STR_NO_QUOTING_FLAG);
  std::string rdnSeparator = ", ";
  if (strType & CERT_NAME_STR_SEMICOLON_FLAG) rdnSeparator = "; ";
  if (strType & CERT_NAME_STR_CRLF_FLAG) rdnSeparator = "\r\n";
  std::string plus = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? " " : " + ";
  std::vector<std::string> rdns;
  int lastSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    std::string oid = OidText(X509_NAME_ENTRY_get_object(entry));
    std::string value = Quoted(EntryText(entry), quoting);
    std::string text = format == CERT_OID_NAME_STR    ? oid + "=" + value
                       : format == CERT_X500_NAME_STR ? X500Key(oid) + "=" + value
                                                      : value;
    int set = X509_NAME_ENTRY_set(entry);
    if (set == lastSet && !rdns.empty()) {
      rdns.back() += plus + text;
    } else {
      rdns.push_back(text);
    }
    lastSet = set;
  }
  if (strType & CERT_NAME_STR_REVERSE_FLAG) std::reverse(rdns.begin(), rdns.end());
  std::string out;
  for (size_t i = 0; i < rdns.size(); ++i) out += (i ? rdnSeparator : "") + rdns[i];
  return out;
}

// The first entry of the alternative name extension of that kind.
std::string AltName(X509* x, bool issuer, int kind, const char* otherOid = nullptr) {
  auto* names = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(x, issuer ? NID_issuer_alt_name : NID_subject_alt_name, nullptr, nullptr));
  std::string found;
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && found.empty(); ++i) {
    GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
    if (n->type != kind) continue;
    if (kind == GEN_EMAIL || kind == GEN_DNS || kind == GEN_URI) {
      const ASN1_IA5STRING* s = n->d.ia5;
      found.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), static_cast<size_t>(ASN1_STRING_length(s)));
    } else if (kind == GEN_OTHERNAME && otherOid && OidText(n->d.otherName->type_id) == otherOid &&
               n->d.otherName->value && n->d.otherName->value->type == V_ASN1_UTF8STRING) {
      const ASN1_UTF8STRING* s = n->d.otherName->value->value.utf8string;
      found.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), static_cast<size_t>(ASN1_STRING_length(s)));
    }
  }
  GENERAL_NAMES_free(names);
  ERR_clear_error();
  return found;
}

std::string NameOfType(X509* x, DWORD type, DWORD flags, const void* para) {
  bool issuer = (flags & CERT_NAME_ISSUER_FLAG) != 0;
  const X509_NAME* name = issuer ? X509_get_issuer_name(x) : X509_get_subject_name(x);
  switch (type) {
    case CERT_NAME_EMAIL_TYPE: {
      std::string email = AltName(x, issuer, GEN_EMAIL);
      return email.empty() ? FirstAttribute(name, szOID_RSA_emailAddr) : email;
    }
    case CERT_NAME_RDN_TYPE: return NameToString(name, para ? *static_cast<const DWORD*>(para) : CERT_SIMPLE_NAME_STR);
    case CERT_NAME_ATTR_TYPE: return para ? FirstAttribute(name, static_cast<const char*>(para)) : std::string();
    case CERT_NAME_SIMPLE_DISPLAY_TYPE:
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
      // No friendly-name property exists on winsim's contexts: the friendly name is the simple one.
      for (const char* oid : {szOID_COMMON_NAME, szOID_ORGANIZATIONAL_UNIT_NAME, szOID_ORGANIZATION_NAME,
                              szOID_RSA_emailAddr}) {
        std::string value = FirstAttribute(name, oid);
        if (!value.empty()) return value;
      }
      std::string email = AltName(x, issuer, GEN_EMAIL);
      if (!email.empty()) return email;
      return X509_NAME_entry_count(name) > 0 ? EntryText(X509_NAME_get_entry(name, 0)) : std::string();
    }
    case CERT_NAME_DNS_TYPE: {
      std::string dns = AltName(x, issuer, GEN_DNS);
      return dns.empty() ? FirstAttribute(name, szOID_COMMON_NAME) : dns;
    }
    case CERT_NAME_URL_TYPE: return AltName(x, issuer, GEN_URI);
    case CERT_NAME_UPN_TYPE: return AltName(x, issuer, GEN_OTHERNAME, "1.3.6.1.4.1.311.20.2.3");
    default: return {};
  }
}

// ---- Message parameters -------------------------------------------------------------------------

// Lays out a structure and the data its pointers lead to in one buffer: a sizing pass without a
// buffer, then the writing pass.
class Flat {
 public:
  explicit Flat(uint8_t* base) : m_base(base) {}
  size_t Alloc(size_t n) {
    m_size = (m_size + 7) / 8 * 8;
    size_t at = m_size;
    m_size += n;
    return at;
  }
  template <class T>
  T* At(size_t offset) {
    return m_base ? reinterpret_cast<T*>(m_base + offset) : nullptr;
  }
  BYTE* Copy(const std::vector<uint8_t>& data) {
    size_t at = Alloc(data.size());
    if (!m_base || data.empty()) return m_base && !data.empty() ? m_base + at : nullptr;
    std::memcpy(m_base + at, data.data(), data.size());
    return m_base + at;
  }
  char* CopyString(const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return reinterpret_cast<char*>(Copy(data));
  }
  void Blob(CRYPT_DATA_BLOB* blob, const std::vector<uint8_t>& data) {
    BYTE* p = Copy(data);
    if (blob) {
      blob->cbData = static_cast<DWORD>(data.size());
      blob->pbData = p;
    }
  }
  size_t Size() const { return m_size; }

 private:
  uint8_t* m_base;
  size_t m_size = 0;
};

void FlatAlgorithm(Flat& f, CRYPT_ALGORITHM_IDENTIFIER* out, const X509_ALGOR* algorithm) {
  const ASN1_OBJECT* oid = nullptr;
  int paramType = 0;
  const void* param = nullptr;
  X509_ALGOR_get0(&oid, &paramType, &param, algorithm);
  char* text = f.CopyString(OidText(oid));
  std::vector<uint8_t> parameters;
  if (paramType != V_ASN1_UNDEF) {
    ASN1_TYPE* type = ASN1_TYPE_new();
    ASN1_TYPE_set1(type, paramType, param);
    parameters = TypeDer(type);
    ASN1_TYPE_free(type);
  }
  CRYPT_DATA_BLOB blob{};
  f.Blob(out ? &blob : nullptr, parameters);
  if (out) {
    out->pszObjId = text;
    out->Parameters = blob;
  }
}

void FlatAttributes(Flat& f, CRYPT_ATTRIBUTES* out, const STACK_OF(X509_ATTRIBUTE)* attributes) {
  int count = attributes ? sk_X509_ATTRIBUTE_num(attributes) : 0;
  size_t at = f.Alloc(sizeof(CRYPT_ATTRIBUTE) * static_cast<size_t>(count));
  CRYPT_ATTRIBUTE* array = f.At<CRYPT_ATTRIBUTE>(at);
  for (int i = 0; i < count; ++i) {
    X509_ATTRIBUTE* attribute = sk_X509_ATTRIBUTE_value(attributes, i);
    char* oid = f.CopyString(OidText(X509_ATTRIBUTE_get0_object(attribute)));
    int values = X509_ATTRIBUTE_count(attribute);
    size_t valuesAt = f.Alloc(sizeof(CRYPT_ATTR_BLOB) * static_cast<size_t>(values));
    CRYPT_ATTR_BLOB* blobs = f.At<CRYPT_ATTR_BLOB>(valuesAt);
    for (int v = 0; v < values; ++v) f.Blob(blobs ? &blobs[v] : nullptr, TypeDer(X509_ATTRIBUTE_get0_type(attribute, v)));
    if (array) {
      array[i].pszObjId = oid;
      array[i].cValue = static_cast<DWORD>(values);
      array[i].rgValue = values ? blobs : nullptr;
    }
  }
  if (out) {
    out->cAttr = static_cast<DWORD>(count);
    out->rgAttr = count ? array : nullptr;
  }
}

void FlatSignerInfo(Flat& f, PKCS7_SIGNER_INFO* si) {
  size_t at = f.Alloc(sizeof(CMSG_SIGNER_INFO));
  CMSG_SIGNER_INFO* out = f.At<CMSG_SIGNER_INFO>(at);
  if (out) {
    std::memset(out, 0, sizeof(*out));
    out->dwVersion = static_cast<DWORD>(ASN1_INTEGER_get(si->version));
  }
  f.Blob(out ? &out->Issuer : nullptr, NameDer(si->issuer_and_serial->issuer));
  f.Blob(out ? &out->SerialNumber : nullptr, LittleEndianInteger(si->issuer_and_serial->serial));
  FlatAlgorithm(f, out ? &out->HashAlgorithm : nullptr, si->digest_alg);
  FlatAlgorithm(f, out ? &out->HashEncryptionAlgorithm : nullptr, si->digest_enc_alg);
  f.Blob(out ? &out->EncryptedHash : nullptr,
         std::vector<uint8_t>(ASN1_STRING_get0_data(si->enc_digest),
                              ASN1_STRING_get0_data(si->enc_digest) + ASN1_STRING_length(si->enc_digest)));
  FlatAttributes(f, out ? &out->AuthAttrs : nullptr, si->auth_attr);
  FlatAttributes(f, out ? &out->UnauthAttrs : nullptr, si->unauth_attr);
}

void FlatSignerCertInfo(Flat& f, PKCS7_SIGNER_INFO* si) {
  size_t at = f.Alloc(sizeof(CERT_INFO));
  CERT_INFO* out = f.At<CERT_INFO>(at);
  if (out) std::memset(out, 0, sizeof(*out));
  f.Blob(out ? &out->Issuer : nullptr, NameDer(si->issuer_and_serial->issuer));
  f.Blob(out ? &out->SerialNumber : nullptr, LittleEndianInteger(si->issuer_and_serial->serial));
}

BOOL OutputFlat(void* pvData, DWORD* pcbData, const std::function<void(Flat&)>& build) {
  Flat sizing(nullptr);
  build(sizing);
  DWORD size = static_cast<DWORD>(sizing.Size());
  if (!pvData) {
    *pcbData = size;
    return TRUE;
  }
  if (*pcbData < size) {
    *pcbData = size;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  Flat writing(static_cast<uint8_t*>(pvData));
  build(writing);
  *pcbData = size;
  return TRUE;
}

BOOL OutputBytes(void* pvData, DWORD* pcbData, const std::vector<uint8_t>& bytes) {
  return OutputFlat(pvData, pcbData, [&](Flat& f) {
    size_t at = f.Alloc(bytes.size());
    if (uint8_t* p = f.At<uint8_t>(at); p && !bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  });
}

BOOL OutputDword(void* pvData, DWORD* pcbData, DWORD value) {
  std::vector<uint8_t> bytes(sizeof(DWORD));
  std::memcpy(bytes.data(), &value, sizeof(value));
  return OutputBytes(pvData, pcbData, bytes);
}

// The bytes an object names: a file by path or a blob.
DWORD ObjectBytes(DWORD objectType, const void* object, std::vector<uint8_t>* bytes) {
  if (objectType == CERT_QUERY_OBJECT_BLOB) {
    const auto* blob = static_cast<const CERT_BLOB*>(object);
    if (!blob || (!blob->pbData && blob->cbData)) return ERROR_INVALID_PARAMETER;
    bytes->assign(blob->pbData, blob->pbData + blob->cbData);
    return ERROR_SUCCESS;
  }
  unsigned long error = 0;
  auto name = winsim::ResolveFileName(static_cast<const wchar_t*>(object), &error);
  if (!name) return error;
  auto data = winsim::pe::ReadWholeFile(name->linuxPath);
  if (!data) return winsim::ErrorFromErrno(errno, name->linuxPath);
  *bytes = std::move(*data);
  return ERROR_SUCCESS;
}

X509* CertificateOf(const std::vector<uint8_t>& bytes, bool binary, bool base64) {
  X509* cert = nullptr;
  if (binary) {
    const unsigned char* p = bytes.data();
    cert = d2i_X509(nullptr, &p, static_cast<long>(bytes.size()));
    if (cert && p != bytes.data() + bytes.size()) {
      X509_free(cert);
      cert = nullptr;
    }
  }
  if (!cert && base64) {
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
  }
  ERR_clear_error();
  return cert;
}

}  // namespace

BOOL WINAPI CryptQueryObject(DWORD dwObjectType, const void* pvObject, DWORD dwExpectedContentTypeFlags,
                             DWORD dwExpectedFormatTypeFlags, DWORD dwFlags, DWORD* pdwMsgAndCertEncodingType,
                             DWORD* pdwContentType, DWORD* pdwFormatType, HCERTSTORE* phCertStore, HCRYPTMSG* phMsg,
                             const void** ppvContext) {
  WINSIM_FAULT_BOOL("CryptQueryObject");
  if (phCertStore) *phCertStore = nullptr;
  if (phMsg) *phMsg = nullptr;
  if (ppvContext) *ppvContext = nullptr;
  if ((dwObjectType != CERT_QUERY_OBJECT_FILE && dwObjectType != CERT_QUERY_OBJECT_BLOB) || !pvObject || dwFlags != 0) {
    return Fail(E_INVALIDARG, FALSE);
  }
  std::vector<uint8_t> bytes;
  DWORD error = ObjectBytes(dwObjectType, pvObject, &bytes);
  if (error != ERROR_SUCCESS) return Fail(static_cast<HRESULT>(error), FALSE);
  bool binary = (dwExpectedFormatTypeFlags & CERT_QUERY_FORMAT_FLAG_BINARY) != 0;
  bool base64 = (dwExpectedFormatTypeFlags & CERT_QUERY_FORMAT_FLAG_BASE64_ENCODED) != 0;

  if ((dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED) && binary) {
    auto message = std::make_unique<MessageObject>();
    if (winsim::trust::ReadEmbeddedSignature(bytes, &message->signature) == ERROR_SUCCESS) {
      std::lock_guard<std::mutex> lock(g_lock);
      if (pdwMsgAndCertEncodingType) *pdwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
      if (pdwContentType) *pdwContentType = CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED;
      if (pdwFormatType) *pdwFormatType = CERT_QUERY_FORMAT_BINARY;
      if (phCertStore) *phCertStore = NewStoreLocked(message->signature.p7->d.sign->cert);
      if (phMsg) {
        *phMsg = message.get();
        g_messages.insert(message.release());
      }
      return TRUE;
    }
  }
  if (dwExpectedContentTypeFlags & CERT_QUERY_CONTENT_FLAG_CERT) {
    if (X509* cert = CertificateOf(bytes, binary, base64)) {
      bool wasBinary = bytes.empty() || bytes[0] == 0x30;
      std::lock_guard<std::mutex> lock(g_lock);
      STACK_OF(X509)* one = sk_X509_new_null();
      sk_X509_push(one, cert);
      StoreObject* store = NewStoreLocked(one);
      sk_X509_free(one);
      X509_free(cert);
      if (pdwMsgAndCertEncodingType) *pdwMsgAndCertEncodingType = X509_ASN_ENCODING;
      if (pdwContentType) *pdwContentType = CERT_QUERY_CONTENT_CERT;
      if (pdwFormatType) *pdwFormatType = wasBinary ? CERT_QUERY_FORMAT_BINARY : CERT_QUERY_FORMAT_BASE64_ENCODED;
      if (ppvContext) *ppvContext = AcquireLocked(store->certs.front().get());
      if (phCertStore) {
        *phCertStore = store;
      } else {
        store->open = false;
        MaybeDeleteStoreLocked(store);
      }
      return TRUE;
    }
  }
  return Fail(CRYPT_E_NO_MATCH, FALSE);
}

BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData, DWORD* pcbData) {
  WINSIM_FAULT_BOOL("CryptMsgGetParam");
  if (!pcbData) return Fail(E_INVALIDARG, FALSE);
  std::lock_guard<std::mutex> lock(g_lock);
  auto* message = static_cast<MessageObject*>(hCryptMsg);
  if (!g_messages.count(message)) return Fail(E_INVALIDARG, FALSE);
  PKCS7* p7 = message->signature.p7.get();
  STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  STACK_OF(X509)* certs = p7->d.sign->cert;
  int signerCount = signers ? sk_PKCS7_SIGNER_INFO_num(signers) : 0;
  int certCount = certs ? sk_X509_num(certs) : 0;
  switch (dwParamType) {
    case CMSG_TYPE_PARAM: return OutputDword(pvData, pcbData, CMSG_SIGNED);
    case CMSG_CONTENT_PARAM: return OutputBytes(pvData, pcbData, message->signature.indirectData);
    case CMSG_SIGNER_COUNT_PARAM: return OutputDword(pvData, pcbData, static_cast<DWORD>(signerCount));
    case CMSG_CERT_COUNT_PARAM: return OutputDword(pvData, pcbData, static_cast<DWORD>(certCount));
    case CMSG_SIGNER_INFO_PARAM:
    case CMSG_SIGNER_CERT_INFO_PARAM: {
      if (dwIndex >= static_cast<DWORD>(signerCount)) return Fail(CRYPT_E_INVALID_INDEX, FALSE);
      PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(signers, static_cast<int>(dwIndex));
      if (dwParamType == CMSG_SIGNER_INFO_PARAM) {
        return OutputFlat(pvData, pcbData, [&](Flat& f) { FlatSignerInfo(f, si); });
      }
      return OutputFlat(pvData, pcbData, [&](Flat& f) { FlatSignerCertInfo(f, si); });
    }
    case CMSG_CERT_PARAM:
      if (dwIndex >= static_cast<DWORD>(certCount)) return Fail(CRYPT_E_INVALID_INDEX, FALSE);
      return OutputBytes(pvData, pcbData, Der(sk_X509_value(certs, static_cast<int>(dwIndex))));
    default: return Fail(CRYPT_E_INVALID_MSG_TYPE, FALSE);
  }
}

BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg) {
  WINSIM_FAULT_BOOL("CryptMsgClose");
  if (!hCryptMsg) return TRUE;
  std::lock_guard<std::mutex> lock(g_lock);
  auto* message = static_cast<MessageObject*>(hCryptMsg);
  if (!g_messages.erase(message)) return Fail(static_cast<HRESULT>(ERROR_INVALID_HANDLE), FALSE);
  delete message;
  return TRUE;
}

namespace {

bool Matches(CertObject* c, DWORD findType, const void* para) {
  switch (findType) {
    case CERT_FIND_ANY: return true;
    case CERT_FIND_SHA1_HASH: {
      const auto* wanted = static_cast<const CRYPT_HASH_BLOB*>(para);
      unsigned char sha1[EVP_MAX_MD_SIZE];
      unsigned int n = 0;
      EVP_Digest(c->der.data(), c->der.size(), sha1, &n, EVP_sha1(), nullptr);
      return wanted->cbData == n && std::memcmp(wanted->pbData, sha1, n) == 0;
    }
    case CERT_FIND_SUBJECT_STR_W:
    case CERT_FIND_ISSUER_STR_W: {
      const X509_NAME* name =
          findType == CERT_FIND_SUBJECT_STR_W ? X509_get_subject_name(c->x509) : X509_get_issuer_name(c->x509);
      std::wstring text = winsim::UpperCase(winsim::WideFromUtf8(NameToString(name, CERT_SIMPLE_NAME_STR)));
      return text.find(winsim::UpperCase(static_cast<const wchar_t*>(para))) != std::wstring::npos;
    }
    case CERT_FIND_SUBJECT_CERT: {
      const auto* id = static_cast<const CERT_INFO*>(para);
      return SameBytes(id->Issuer, c->info.Issuer) && TrimmedInteger(id->SerialNumber) == TrimmedInteger(c->info.SerialNumber);
    }
    default: return false;
  }
}

PCCERT_CONTEXT Find(HCERTSTORE hCertStore, DWORD findType, const void* para, PCCERT_CONTEXT previous) {
  std::lock_guard<std::mutex> lock(g_lock);
  CertObject* prev = previous ? ContextLocked(previous) : nullptr;
  StoreObject* store = StoreLocked(hCertStore);
  size_t start = 0;
  if (store && prev && prev->store == store) {
    for (size_t i = 0; i < store->certs.size(); ++i) {
      if (store->certs[i].get() == prev) start = i + 1;
    }
  }
  if (prev) ReleaseLocked(prev);
  if (!store) return Fail<PCCERT_CONTEXT>(E_INVALIDARG, nullptr);
  bool known = findType == CERT_FIND_ANY || findType == CERT_FIND_SHA1_HASH || findType == CERT_FIND_SUBJECT_STR_W ||
               findType == CERT_FIND_ISSUER_STR_W || findType == CERT_FIND_SUBJECT_CERT;
  if (!known || (findType != CERT_FIND_ANY && !para)) return Fail<PCCERT_CONTEXT>(E_INVALIDARG, nullptr);
  for (size_t i = start; i < store->certs.size(); ++i) {
    if (Matches(store->certs[i].get(), findType, para)) return AcquireLocked(store->certs[i].get());
  }
  return Fail<PCCERT_CONTEXT>(CRYPT_E_NOT_FOUND, nullptr);
}

}  // namespace

PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE hCertStore, DWORD dwCertEncodingType, DWORD dwFindFlags,
                                                 DWORD dwFindType, const void* pvFindPara,
                                                 PCCERT_CONTEXT pPrevCertContext) {
  WINSIM_FAULT_VALUE("CertFindCertificateInStore", nullptr);
  return Find(hCertStore, dwFindType, pvFindPara, pPrevCertContext);
}

PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
  WINSIM_FAULT_VALUE("CertEnumCertificatesInStore", nullptr);
  return Find(hCertStore, CERT_FIND_ANY, nullptr, pPrevCertContext);
}

PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext) {
  WINSIM_FAULT_VALUE("CertDuplicateCertificateContext", nullptr);
  if (!pCertContext) return nullptr;
  std::lock_guard<std::mutex> lock(g_lock);
  CertObject* c = ContextLocked(pCertContext);
  if (!c) return Fail<PCCERT_CONTEXT>(E_INVALIDARG, nullptr);
  return AcquireLocked(c);
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  WINSIM_FAULT_BOOL("CertFreeCertificateContext");
  // Documented to return TRUE always.
  if (!pCertContext) return TRUE;
  std::lock_guard<std::mutex> lock(g_lock);
  if (CertObject* c = ContextLocked(pCertContext)) ReleaseLocked(c);
  return TRUE;
}

BOOL WINAPI CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  WINSIM_FAULT_BOOL("CertCloseStore");
  if (!hCertStore) return TRUE;
  std::lock_guard<std::mutex> lock(g_lock);
  StoreObject* store = StoreLocked(hCertStore);
  if (!store || !store->open) return Fail(E_INVALIDARG, FALSE);
  store->open = false;
  if (dwFlags & CERT_CLOSE_STORE_FORCE_FLAG) {
    DeleteStoreLocked(store);
    return TRUE;
  }
  bool pending = store->outstanding > 0;
  MaybeDeleteStoreLocked(store);
  // The store itself goes when its last context is freed; the check flag reports that.
  if (pending && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG)) return Fail(CRYPT_E_PENDING_CLOSE, FALSE);
  return TRUE;
}

DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType, DWORD dwFlags, void* pvTypePara,
                                LPWSTR pszNameString, DWORD cchNameString) {
  WINSIM_FAULT_VALUE("CertGetNameStringW", 0);
  std::wstring name;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    CertObject* c = pCertContext ? ContextLocked(pCertContext) : nullptr;
    if (c) name = winsim::WideFromUtf8(NameOfType(c->x509, dwType, dwFlags, pvTypePara));
  }
  DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (!pszNameString || cchNameString == 0) return needed;
  DWORD copy = std::min<DWORD>(static_cast<DWORD>(name.size()), cchNameString - 1);
  std::wmemcpy(pszNameString, name.c_str(), copy);
  pszNameString[copy] = L'\0';
  return copy + 1;
}

BOOL WINAPI CertCompareCertificate(DWORD dwCertEncodingType, PCERT_INFO pCertId1, PCERT_INFO pCertId2) {
  WINSIM_FAULT_BOOL("CertCompareCertificate");
  if (!pCertId1 || !pCertId2) return FALSE;
  return SameBytes(pCertId1->Issuer, pCertId2->Issuer) &&
         TrimmedInteger(pCertId1->SerialNumber) == TrimmedInteger(pCertId2->SerialNumber);
}

BOOL WINAPI CertCompareCertificateName(DWORD dwCertEncodingType, PCERT_NAME_BLOB pCertName1,
                                       PCERT_NAME_BLOB pCertName2) {
  WINSIM_FAULT_BOOL("CertCompareCertificateName");
  if (!pCertName1 || !pCertName2) return FALSE;
  return SameBytes(*pCertName1, *pCertName2);
}
