// CryptoAPI hashing: known SHA-256 vectors, the sizing protocol of CryptGetHashParam, the finished
// state, and the providers' errors.
#include <gtest/gtest.h>

#include <string>

#include "TrustFixture.h"
#include "trust/authenticode.h"

namespace winsim::test {
namespace {

class CryptoApiTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_TRUE(CryptAcquireContextW(&m_prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  }
  void TearDown() override {
    if (m_prov) CryptReleaseContext(m_prov, 0);
    MachineTest::TearDown();
  }
  // The value of a hash fed the pieces in turn.
  std::string Digest(ALG_ID algorithm, const std::vector<std::string>& pieces) {
    HCRYPTHASH hash = 0;
    EXPECT_TRUE(CryptCreateHash(m_prov, algorithm, 0, 0, &hash));
    for (const auto& p : pieces) {
      EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>(p.data()), static_cast<DWORD>(p.size()), 0));
    }
    BYTE value[64];
    DWORD size = sizeof(value);
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0));
    EXPECT_TRUE(CryptDestroyHash(hash));
    std::string hex = trust::HexUpper(std::vector<uint8_t>(value, value + size));
    for (auto& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
  }
  static void ExpectError(BOOL result, HRESULT error, const char* what) {
    EXPECT_FALSE(result) << what;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(error)) << what;
  }

  HCRYPTPROV m_prov = 0;
};

TEST_F(CryptoApiTest, Sha256KnownVectors) {
  // FIPS 180-2 examples; the data may come in pieces of any size.
  EXPECT_EQ(Digest(CALG_SHA_256, {}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Digest(CALG_SHA_256, {"abc"}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest(CALG_SHA_256, {"a", "", "bc"}), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest(CALG_SHA_256, {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"}),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  std::string block(1000, 'a');
  std::vector<std::string> million(1000, block);
  EXPECT_EQ(Digest(CALG_SHA_256, million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(Digest(CALG_SHA1, {"abc"}), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Digest(CALG_MD5, {"abc"}), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(CryptoApiTest, HashParametersFollowTheSizingProtocol) {
  HCRYPTHASH hash = 0;
  ASSERT_TRUE(CryptCreateHash(m_prov, CALG_SHA_256, 0, 0, &hash));
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("ab"), 2, 0));
  DWORD value = 0, size = sizeof(value);
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(value, 32u);
  EXPECT_EQ(size, sizeof(DWORD));
  ASSERT_TRUE(CryptGetHashParam(hash, HP_ALGID, reinterpret_cast<BYTE*>(&value), &size, 0));
  EXPECT_EQ(value, static_cast<DWORD>(CALG_SHA_256));
  // The size alone, then too little room: neither finishes the hash.
  size = 0;
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &size, 0));
  EXPECT_EQ(size, 32u);
  BYTE digest[32];
  size = 31;
  ExpectError(CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0), ERROR_MORE_DATA, "31 bytes");
  EXPECT_EQ(size, 32u);
  ASSERT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("c"), 1, 0));
  size = sizeof(digest);
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0));
  EXPECT_EQ(trust::HexUpper(std::vector<uint8_t>(digest, digest + 4)), "BA7816BF");
  // The hash is finished: no more data, the same value again.
  ExpectError(CryptHashData(hash, reinterpret_cast<const BYTE*>("d"), 1, 0), NTE_BAD_HASH_STATE, "after the value");
  BYTE again[32];
  size = sizeof(again);
  ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, again, &size, 0));
  EXPECT_EQ(std::vector<BYTE>(again, again + 32), std::vector<BYTE>(digest, digest + 32));
  ExpectError(CryptGetHashParam(hash, 77, digest, &size, 0), NTE_BAD_TYPE, "unknown parameter");
  ExpectError(CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 1), NTE_BAD_FLAGS, "flags");
  ExpectError(CryptGetHashParam(hash, HP_HASHVAL, digest, nullptr, 0), ERROR_INVALID_PARAMETER, "no length");
  EXPECT_TRUE(CryptDestroyHash(hash));
  ExpectError(CryptDestroyHash(hash), NTE_BAD_HASH, "destroyed twice");
  ExpectError(CryptHashData(hash, digest, 1, 0), NTE_BAD_HASH, "destroyed hash");
}

TEST_F(CryptoApiTest, ProvidersAndAlgorithmsFailAsDocumented) {
  HCRYPTPROV prov = 0;
  ExpectError(CryptAcquireContextW(&prov, nullptr, nullptr, 99, CRYPT_VERIFYCONTEXT), NTE_PROV_TYPE_NOT_DEF, "type 99");
  ExpectError(CryptAcquireContextW(&prov, nullptr, L"No Such Provider", PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
              NTE_KEYSET_NOT_DEF, "unknown provider");
  ExpectError(CryptAcquireContextW(&prov, nullptr, MS_DEF_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
              NTE_PROV_TYPE_NO_MATCH, "name of another type");
  ExpectError(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, 0), NTE_BAD_KEYSET, "no key container");
  ExpectError(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | 0x4000), NTE_BAD_FLAGS,
              "unknown flag");
  ExpectError(CryptAcquireContextW(nullptr, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
              ERROR_INVALID_PARAMETER, "no handle pointer");
  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  HCRYPTHASH hash = 0;
  ExpectError(CryptCreateHash(prov, 0x1234, 0, 0, &hash), NTE_BAD_ALGID, "unknown algorithm");
  ExpectError(CryptCreateHash(prov, CALG_HMAC, 0, 0, &hash), NTE_BAD_KEY, "keyed hash without a key");
  ExpectError(CryptCreateHash(prov, CALG_SHA_256, 0, 1, &hash), NTE_BAD_FLAGS, "flags");
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
  ExpectError(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash), NTE_BAD_UID, "released provider");
  ExpectError(CryptReleaseContext(prov, 0), NTE_BAD_UID, "released twice");

  // The RSA full provider has no SHA-2.
  ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  ExpectError(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash), NTE_BAD_ALGID, "SHA-256 on PROV_RSA_FULL");
  ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
  EXPECT_TRUE(CryptDestroyHash(hash));
  EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

}  // namespace
}  // namespace winsim::test
