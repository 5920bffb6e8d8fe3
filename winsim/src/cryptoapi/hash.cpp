// The legacy cryptographic service providers' hashing, over OpenSSL. Facts relied on (Microsoft's
// CryptAcquireContext, CryptCreateHash, CryptHashData, CryptGetHashParam, CryptDestroyHash and
// CryptReleaseContext pages): a verification context needs no key container; the Enhanced RSA and
// AES provider (PROV_RSA_AES) hashes MD5, SHA-1 and SHA-2, the RSA full providers MD5 and SHA-1;
// HP_HASHVAL completes the hash, after which CryptHashData fails; a null buffer asks for the size
// and a short one gets ERROR_MORE_DATA with the size needed; errors are NTE_* codes in the last error.
#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "core/fault.h"
#include "core/strings.h"
#include "windows.h"

namespace {

struct Provider {
  DWORD type = 0;
};

struct Hash {
  ALG_ID algorithm = 0;
  EVP_MD_CTX* ctx = nullptr;
  bool finished = false;
  std::vector<uint8_t> value;
  ~Hash() { EVP_MD_CTX_free(ctx); }
};

std::mutex g_lock;
std::map<HCRYPTPROV, std::shared_ptr<Provider>> g_providers;
std::map<HCRYPTHASH, std::shared_ptr<Hash>> g_hashes;
ULONG_PTR g_next = 0x5000;

BOOL Fail(HRESULT error) {
  SetLastError(static_cast<DWORD>(error));
  return FALSE;
}

// The provider names each type answers to.
bool NameMatchesType(const std::wstring& name, DWORD type) {
  if (type == PROV_RSA_AES) return name == MS_ENH_RSA_AES_PROV_W || name == MS_ENH_RSA_AES_PROV_XP_W;
  return name == MS_DEF_PROV_W || name == MS_ENHANCED_PROV_W || name == MS_STRONG_PROV_W;
}
bool IsKnownProviderName(const std::wstring& name) {
  return NameMatchesType(name, PROV_RSA_AES) || NameMatchesType(name, PROV_RSA_FULL);
}

const EVP_MD* DigestOf(ALG_ID algorithm, DWORD providerType) {
  switch (algorithm) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return providerType == PROV_RSA_AES ? EVP_sha256() : nullptr;
    case CALG_SHA_384: return providerType == PROV_RSA_AES ? EVP_sha384() : nullptr;
    case CALG_SHA_512: return providerType == PROV_RSA_AES ? EVP_sha512() : nullptr;
    default: return nullptr;
  }
}

std::shared_ptr<Hash> FindHash(HCRYPTHASH handle) {
  std::lock_guard<std::mutex> lock(g_lock);
  auto it = g_hashes.find(handle);
  return it == g_hashes.end() ? nullptr : it->second;
}

// Copies a parameter out with the sizing protocol.
BOOL CopyOut(const void* value, DWORD size, BYTE* pbData, DWORD* pdwDataLen) {
  if (!pbData) {
    *pdwDataLen = size;
    return TRUE;
  }
  if (*pdwDataLen < size) {
    *pdwDataLen = size;
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  if (value && size) std::memcpy(pbData, value, size);
  *pdwDataLen = size;
  return TRUE;
}

}  // namespace

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider, DWORD dwProvType,
                                 DWORD dwFlags) {
  WINSIM_FAULT_BOOL("CryptAcquireContextW");
  constexpr DWORD kKnownFlags = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET |
                                CRYPT_SILENT | CRYPT_DEFAULT_CONTAINER_OPTIONAL;
  if (!phProv) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags & ~kKnownFlags) return Fail(NTE_BAD_FLAGS);
  if (dwProvType != PROV_RSA_FULL && dwProvType != PROV_RSA_AES) return Fail(NTE_PROV_TYPE_NOT_DEF);
  if (szProvider && *szProvider) {
    if (!IsKnownProviderName(szProvider)) return Fail(NTE_KEYSET_NOT_DEF);
    if (!NameMatchesType(szProvider, dwProvType)) return Fail(NTE_PROV_TYPE_NO_MATCH);
  }
  if (dwFlags & CRYPT_VERIFYCONTEXT) {
    // A verification context names no container.
    if (szContainer && *szContainer) return Fail(NTE_BAD_FLAGS);
  } else if (dwFlags & (CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET)) {
    return Fail(NTE_NOT_SUPPORTED);
  } else {
    return Fail(NTE_BAD_KEYSET);
  }
  auto provider = std::make_shared<Provider>();
  provider->type = dwProvType;
  std::lock_guard<std::mutex> lock(g_lock);
  HCRYPTPROV handle = g_next;
  g_next += 8;
  g_providers[handle] = provider;
  *phProv = handle;
  return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  WINSIM_FAULT_BOOL("CryptReleaseContext");
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_providers.erase(hProv)) return Fail(NTE_BAD_UID);
  return TRUE;
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags, HCRYPTHASH* phHash) {
  WINSIM_FAULT_BOOL("CryptCreateHash");
  if (!phHash) return Fail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<Provider> provider;
  {
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_providers.find(hProv);
    if (it == g_providers.end()) return Fail(NTE_BAD_UID);
    provider = it->second;
  }
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  // Keyed hashes need a key, and a verification context holds none.
  if (Algid == CALG_HMAC || Algid == CALG_MAC || hKey != 0) return Fail(NTE_BAD_KEY);
  const EVP_MD* md = DigestOf(Algid, provider->type);
  if (!md) return Fail(NTE_BAD_ALGID);
  auto hash = std::make_shared<Hash>();
  hash->algorithm = Algid;
  hash->ctx = EVP_MD_CTX_new();
  if (!hash->ctx || EVP_DigestInit_ex(hash->ctx, md, nullptr) != 1) return Fail(NTE_NO_MEMORY);
  std::lock_guard<std::mutex> lock(g_lock);
  HCRYPTHASH handle = g_next;
  g_next += 8;
  g_hashes[handle] = hash;
  *phHash = handle;
  return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags) {
  WINSIM_FAULT_BOOL("CryptHashData");
  auto hash = FindHash(hHash);
  if (!hash) return Fail(NTE_BAD_HASH);
  if (dwFlags & ~static_cast<DWORD>(CRYPT_USERDATA)) return Fail(NTE_BAD_FLAGS);
  if (!pbData && dwDataLen > 0) return Fail(ERROR_INVALID_PARAMETER);
  if (hash->finished) return Fail(NTE_BAD_HASH_STATE);
  if (dwDataLen > 0 && EVP_DigestUpdate(hash->ctx, pbData, dwDataLen) != 1) return Fail(NTE_BAD_HASH);
  return TRUE;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen, DWORD dwFlags) {
  WINSIM_FAULT_BOOL("CryptGetHashParam");
  auto hash = FindHash(hHash);
  if (!hash) return Fail(NTE_BAD_HASH);
  if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags != 0) return Fail(NTE_BAD_FLAGS);
  switch (dwParam) {
    case HP_ALGID: {
      DWORD value = hash->algorithm;
      return CopyOut(&value, sizeof(value), pbData, pdwDataLen);
    }
    case HP_HASHSIZE: {
      DWORD value = static_cast<DWORD>(EVP_MD_CTX_get_size(hash->ctx));
      return CopyOut(&value, sizeof(value), pbData, pdwDataLen);
    }
    case HP_HASHVAL: {
      DWORD size = static_cast<DWORD>(EVP_MD_CTX_get_size(hash->ctx));
      // Asking for the size, or offering too little room, leaves the hash open.
      if (!pbData || *pdwDataLen < size) return CopyOut(nullptr, size, pbData, pdwDataLen);
      if (!hash->finished) {
        hash->value.resize(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(hash->ctx, hash->value.data(), &length) != 1) return Fail(NTE_BAD_HASH);
        hash->value.resize(length);
        hash->finished = true;
      }
      return CopyOut(hash->value.data(), static_cast<DWORD>(hash->value.size()), pbData, pdwDataLen);
    }
    default: return Fail(NTE_BAD_TYPE);
  }
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
  WINSIM_FAULT_BOOL("CryptDestroyHash");
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_hashes.erase(hHash)) return Fail(NTE_BAD_HASH);
  return TRUE;
}
