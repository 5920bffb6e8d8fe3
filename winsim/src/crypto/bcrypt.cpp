// CNG hash primitives on OpenSSL's EVP digests and HMAC.
//
// Algorithm providers and hash objects are kept in this library's own table, keyed by the handle
// values it gives out (never reused, so a stale handle stays invalid). The hash object buffer that
// the caller supplies is only borrowed: it is cleared when the hash is created and when it is
// destroyed, and touched on every use, so that the sanitizers report a buffer that is too small or
// freed before BCryptDestroyHash, as Windows, which keeps the object in it, would fault or corrupt
// memory. No pointer is ever written into it.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bcrypt.h"
#include "core/fault.h"
#include "core/strings.h"

namespace winsim {
namespace {

struct HashAlgorithm {
  const wchar_t* id;
  const char* digestName;  // OpenSSL's name
  ULONG digestLength;
  ULONG blockLength;
  // The size of the hash object that callers allocate. Windows' sizes differ between versions,
  // which is why callers must ask for BCRYPT_OBJECT_LENGTH; these are winsim's.
  ULONG objectLength;
};

const HashAlgorithm kAlgorithms[] = {
    {BCRYPT_MD5_ALGORITHM, "MD5", 16, 64, 0x114},
    {BCRYPT_SHA1_ALGORITHM, "SHA1", 20, 64, 0x11C},
    {BCRYPT_SHA256_ALGORITHM, "SHA256", 32, 64, 0x12E},
    {BCRYPT_SHA384_ALGORITHM, "SHA384", 48, 128, 0x17E},
    {BCRYPT_SHA512_ALGORITHM, "SHA512", 64, 128, 0x17E},
};

class CngObject {
 public:
  CngObject(const HashAlgorithm* algorithm, bool hmac) : m_algorithm(algorithm), m_hmac(hmac) {}
  virtual ~CngObject() = default;
  const HashAlgorithm& Algorithm() const { return *m_algorithm; }
  bool Hmac() const { return m_hmac; }
  // An HMAC object also keeps the inner and outer padded keys.
  ULONG ObjectLength() const { return m_algorithm->objectLength + (m_hmac ? 2 * m_algorithm->blockLength : 0); }

 private:
  const HashAlgorithm* m_algorithm;
  bool m_hmac;
};

class AlgorithmProvider : public CngObject {
 public:
  AlgorithmProvider(const HashAlgorithm* algorithm, bool hmac, bool reusable)
      : CngObject(algorithm, hmac), m_reusable(reusable) {}
  bool Reusable() const { return m_reusable; }

 private:
  bool m_reusable;
};

// One running hash or HMAC computation.
class HashState : public CngObject {
 public:
  HashState(const HashAlgorithm* algorithm, bool hmac, bool reusable, PUCHAR buffer, std::vector<uint8_t> key)
      : CngObject(algorithm, hmac), m_reusable(reusable), m_buffer(buffer), m_key(std::move(key)) {}
  ~HashState() override {
    EVP_MD_CTX_free(m_digest);
    EVP_MAC_CTX_free(m_mac);
  }
  HashState(const HashState&) = delete;
  HashState& operator=(const HashState&) = delete;

  std::mutex& Lock() { return m_lock; }

  // Sets up the OpenSSL context and the start state; false when OpenSSL cannot.
  bool Start() {
    if (Hmac()) {
      if (!m_mac) {
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        if (!mac) return false;
        m_mac = EVP_MAC_CTX_new(mac);
        EVP_MAC_free(mac);
        if (!m_mac) return false;
      }
      OSSL_PARAM params[] = {
          OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(Algorithm().digestName), 0),
          OSSL_PARAM_construct_end()};
      // An empty key is a valid HMAC key; OpenSSL wants a non-null pointer for it.
      static const unsigned char kNoKey = 0;
      return EVP_MAC_init(m_mac, m_key.empty() ? &kNoKey : m_key.data(), m_key.size(), params) == 1;
    }
    if (!m_digest) {
      m_digest = EVP_MD_CTX_new();
      if (!m_digest) return false;
    }
    const EVP_MD* md = EVP_get_digestbyname(Algorithm().digestName);
    return md && EVP_DigestInit_ex(m_digest, md, nullptr) == 1;
  }

  bool Update(const uint8_t* data, size_t size) {
    if (size == 0) return true;
    return Hmac() ? EVP_MAC_update(m_mac, data, size) == 1 : EVP_DigestUpdate(m_digest, data, size) == 1;
  }

  bool Finish(uint8_t* out) {
    if (Hmac()) {
      size_t written = 0;
      return EVP_MAC_final(m_mac, out, &written, Algorithm().digestLength) == 1 && written == Algorithm().digestLength;
    }
    unsigned int written = 0;
    return EVP_DigestFinal_ex(m_digest, out, &written) == 1 && written == Algorithm().digestLength;
  }

  bool Reusable() const { return m_reusable; }
  bool Finished() const { return m_finished; }
  void SetFinished(bool finished) { m_finished = finished; }

  // The caller's hash object buffer, when there is one.
  void ClearBuffer() {
    if (m_buffer) std::memset(m_buffer, 0, ObjectLength());
  }
  void TouchBuffer() {
    if (!m_buffer) return;
    volatile UCHAR* first = m_buffer;
    volatile UCHAR* last = m_buffer + ObjectLength() - 1;
    *first = *first;
    *last = *last;
  }

 private:
  std::mutex m_lock;
  bool m_reusable;
  bool m_finished = false;
  PUCHAR m_buffer;
  std::vector<uint8_t> m_key;
  EVP_MD_CTX* m_digest = nullptr;
  EVP_MAC_CTX* m_mac = nullptr;
};

std::mutex g_tableLock;
std::unordered_map<uintptr_t, std::shared_ptr<CngObject>> g_objects;
// Handle values look like pointers and are never given out twice.
uintptr_t g_nextHandle = 0x5C4E0000;

void* Insert(std::shared_ptr<CngObject> object) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  uintptr_t value = g_nextHandle;
  g_nextHandle += 0x10;
  g_objects.emplace(value, std::move(object));
  return reinterpret_cast<void*>(value);
}

template <class T>
std::shared_ptr<T> Find(void* handle) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  auto it = g_objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_objects.end()) return nullptr;
  return std::dynamic_pointer_cast<T>(it->second);
}

template <class T>
std::shared_ptr<T> Remove(void* handle) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  auto it = g_objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == g_objects.end()) return nullptr;
  auto object = std::dynamic_pointer_cast<T>(it->second);
  if (object) g_objects.erase(it);
  return object;
}

const HashAlgorithm* FindAlgorithm(LPCWSTR id) {
  // Identifiers are compared without regard to case, as CNG looks them up in its registered
  // configuration.
  for (const auto& algorithm : kAlgorithms) {
    if (EqualsNoCase(id, algorithm.id)) return &algorithm;
  }
  return nullptr;
}

}  // namespace
}  // namespace winsim

using winsim::AlgorithmProvider;
using winsim::CngObject;
using winsim::HashState;

NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                            LPCWSTR pszImplementation, ULONG dwFlags) {
  WINSIM_FAULT_STATUS("BCryptOpenAlgorithmProvider", NTSTATUS);
  if (!phAlgorithm || !pszAlgId) return STATUS_INVALID_PARAMETER;
  if (dwFlags & ~static_cast<ULONG>(BCRYPT_PROV_DISPATCH | BCRYPT_ALG_HANDLE_HMAC_FLAG | BCRYPT_HASH_REUSABLE_FLAG)) {
    return STATUS_INVALID_PARAMETER;
  }
  // NULL asks for the default provider; the basic provider is the only one here.
  if (pszImplementation && !winsim::EqualsNoCase(pszImplementation, MS_PRIMITIVE_PROVIDER)) return STATUS_NOT_FOUND;
  const winsim::HashAlgorithm* algorithm = winsim::FindAlgorithm(pszAlgId);
  if (!algorithm) return STATUS_NOT_FOUND;
  try {
    *phAlgorithm = winsim::Insert(std::make_shared<AlgorithmProvider>(
        algorithm, (dwFlags & BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0, (dwFlags & BCRYPT_HASH_REUSABLE_FLAG) != 0));
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags) {
  WINSIM_FAULT_STATUS("BCryptCloseAlgorithmProvider", NTSTATUS);
  // No flags are defined for closing; the argument is not looked at.
  (void)dwFlags;
  if (!winsim::Remove<AlgorithmProvider>(hAlgorithm)) return STATUS_INVALID_HANDLE;
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput,
                                  ULONG* pcbResult, ULONG dwFlags) {
  WINSIM_FAULT_STATUS("BCryptGetProperty", NTSTATUS);
  auto object = winsim::Find<CngObject>(hObject);
  if (!object) return STATUS_INVALID_HANDLE;
  if (!pszProperty || !pcbResult || dwFlags != 0) return STATUS_INVALID_PARAMETER;

  std::vector<UCHAR> value;
  auto dword = [&value](ULONG v) {
    value.resize(sizeof(ULONG));
    std::memcpy(value.data(), &v, sizeof(ULONG));
  };
  std::wstring_view name = pszProperty;
  if (name == BCRYPT_OBJECT_LENGTH) {
    dword(object->ObjectLength());
  } else if (name == BCRYPT_HASH_LENGTH) {
    dword(object->Algorithm().digestLength);
  } else if (name == BCRYPT_HASH_BLOCK_LENGTH) {
    dword(object->Algorithm().blockLength);
  } else if (name == BCRYPT_ALGORITHM_NAME) {
    // The identifier as a zero-terminated wide string.
    std::wstring id = object->Algorithm().id;
    value.resize((id.size() + 1) * sizeof(WCHAR));
    std::memcpy(value.data(), id.c_str(), value.size());
  } else {
    return STATUS_NOT_SUPPORTED;
  }
  *pcbResult = static_cast<ULONG>(value.size());
  if (!pbOutput) return STATUS_SUCCESS;
  if (cbOutput < value.size()) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(pbOutput, value.data(), value.size());
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash, PUCHAR pbHashObject,
                                 ULONG cbHashObject, PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags) {
  WINSIM_FAULT_STATUS("BCryptCreateHash", NTSTATUS);
  auto provider = winsim::Find<AlgorithmProvider>(hAlgorithm);
  if (!provider) return STATUS_INVALID_HANDLE;
  if (!phHash || (dwFlags & ~static_cast<ULONG>(BCRYPT_HASH_REUSABLE_FLAG))) return STATUS_INVALID_PARAMETER;
  // No buffer and no size: the provider keeps the object itself (Windows 7 and later). A buffer
  // must hold the whole object.
  if (!pbHashObject && cbHashObject != 0) return STATUS_INVALID_PARAMETER;
  if (pbHashObject && cbHashObject < provider->ObjectLength()) return STATUS_BUFFER_TOO_SMALL;
  // The secret is the HMAC key; a plain hash provider does not use it.
  std::vector<uint8_t> key;
  if (provider->Hmac()) {
    if (!pbSecret && cbSecret != 0) return STATUS_INVALID_PARAMETER;
    if (cbSecret != 0) key.assign(pbSecret, pbSecret + cbSecret);
  }
  try {
    bool reusable = provider->Reusable() || (dwFlags & BCRYPT_HASH_REUSABLE_FLAG) != 0;
    auto state = std::make_shared<HashState>(&provider->Algorithm(), provider->Hmac(), reusable, pbHashObject,
                                             std::move(key));
    if (!state->Start()) return STATUS_NO_MEMORY;
    state->ClearBuffer();
    *phHash = winsim::Insert(state);
  } catch (const std::bad_alloc&) {
    return STATUS_NO_MEMORY;
  }
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags) {
  WINSIM_FAULT_STATUS("BCryptHashData", NTSTATUS);
  auto state = winsim::Find<HashState>(hHash);
  if (!state) return STATUS_INVALID_HANDLE;
  if (dwFlags != 0 || (!pbInput && cbInput != 0)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(state->Lock());
  // A hash that is not reusable is spent once finished; only BCryptDestroyHash may take it then.
  if (state->Finished()) return STATUS_INVALID_HANDLE;
  state->TouchBuffer();
  if (!state->Update(pbInput, cbInput)) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags) {
  WINSIM_FAULT_STATUS("BCryptFinishHash", NTSTATUS);
  auto state = winsim::Find<HashState>(hHash);
  if (!state) return STATUS_INVALID_HANDLE;
  // The output must be exactly the digest length; no flags apply to fixed-size digests.
  if (dwFlags != 0 || !pbOutput || cbOutput != state->Algorithm().digestLength) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lock(state->Lock());
  if (state->Finished()) return STATUS_INVALID_HANDLE;
  state->TouchBuffer();
  if (!state->Finish(pbOutput)) return STATUS_UNSUCCESSFUL;
  // A reusable hash starts over at once; any other is spent.
  if (state->Reusable()) {
    if (!state->Start()) return STATUS_NO_MEMORY;
  } else {
    state->SetFinished(true);
  }
  return STATUS_SUCCESS;
}

NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash) {
  WINSIM_FAULT_STATUS("BCryptDestroyHash", NTSTATUS);
  auto state = winsim::Remove<HashState>(hHash);
  if (!state) return STATUS_INVALID_HANDLE;
  std::lock_guard<std::mutex> lock(state->Lock());
  // The object's memory is wiped before the caller may free it.
  state->ClearBuffer();
  return STATUS_SUCCESS;
}
