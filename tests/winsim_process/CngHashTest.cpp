// CNG hashes: known digests (RFC 1321's MD5 suite, SHA and HMAC vectors), hashing in pieces, the
// property sizing protocol, the hash object buffer, finishing with a wrong size, spent and reusable
// hashes, invalid handles of every kind, injected faults, and hashing on several threads at once.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "MachineTest.h"
#include "bcrypt.h"
#include "core/fault.h"
#include "windows.h"

namespace winsim::test {
namespace {

std::string Hex(const std::vector<UCHAR>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (UCHAR b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0xF]);
  }
  return out;
}

std::vector<UCHAR> Bytes(const std::string& text) { return std::vector<UCHAR>(text.begin(), text.end()); }

ULONG DwordProperty(BCRYPT_HANDLE object, LPCWSTR name) {
  ULONG value = 0, written = 0;
  EXPECT_EQ(BCryptGetProperty(object, name, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0), STATUS_SUCCESS);
  EXPECT_EQ(written, sizeof(ULONG));
  return value;
}

// Hashes data the way the product does (provider, object buffer from the caller, one hash),
// feeding it in pieces of the given sizes (the rest in one piece at the end).
std::string Digest(LPCWSTR algorithm, const std::vector<UCHAR>& data, const std::vector<size_t>& pieces = {},
                   ULONG openFlags = 0, const std::vector<UCHAR>& key = {}) {
  BCRYPT_ALG_HANDLE provider = nullptr;
  EXPECT_EQ(BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, openFlags), STATUS_SUCCESS);
  std::vector<UCHAR> object(DwordProperty(provider, BCRYPT_OBJECT_LENGTH));
  std::vector<UCHAR> digest(DwordProperty(provider, BCRYPT_HASH_LENGTH));
  std::vector<UCHAR> secret = key;
  BCRYPT_HASH_HANDLE hash = nullptr;
  EXPECT_EQ(BCryptCreateHash(provider, &hash, object.data(), static_cast<ULONG>(object.size()),
                             secret.empty() ? nullptr : secret.data(), static_cast<ULONG>(secret.size()), 0),
            STATUS_SUCCESS);
  std::vector<UCHAR> input = data;
  size_t offset = 0;
  for (size_t piece : pieces) {
    EXPECT_EQ(BCryptHashData(hash, input.data() + offset, static_cast<ULONG>(piece), 0), STATUS_SUCCESS);
    offset += piece;
  }
  EXPECT_EQ(BCryptHashData(hash, input.data() + offset, static_cast<ULONG>(input.size() - offset), 0), STATUS_SUCCESS);
  EXPECT_EQ(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0), STATUS_SUCCESS);
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(provider, 0), STATUS_SUCCESS);
  return Hex(digest);
}

class CngHashTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_EQ(BCryptOpenAlgorithmProvider(&m_md5, BCRYPT_MD5_ALGORITHM, nullptr, 0), STATUS_SUCCESS);
    m_object.resize(DwordProperty(m_md5, BCRYPT_OBJECT_LENGTH));
  }
  void TearDown() override {
    if (m_md5) {
      EXPECT_EQ(BCryptCloseAlgorithmProvider(m_md5, 0), STATUS_SUCCESS);
    }
    MachineTest::TearDown();
  }

  BCRYPT_HASH_HANDLE NewHash(ULONG flags = 0) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    EXPECT_EQ(BCryptCreateHash(m_md5, &hash, m_object.data(), static_cast<ULONG>(m_object.size()), nullptr, 0, flags),
              STATUS_SUCCESS);
    return hash;
  }

  static std::string Finish(BCRYPT_HASH_HANDLE hash) {
    std::vector<UCHAR> digest(16);
    EXPECT_EQ(BCryptFinishHash(hash, digest.data(), 16, 0), STATUS_SUCCESS);
    return Hex(digest);
  }

  BCRYPT_ALG_HANDLE m_md5 = nullptr;
  std::vector<UCHAR> m_object;
};

// RFC 1321, appendix A.5.
const struct {
  const char* text;
  const char* md5;
} kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST_F(CngHashTest, Md5OfTheRfc1321SuiteInOneCallAndInPieces) {
  for (const auto& v : kRfc1321) {
    SCOPED_TRACE(v.text);
    std::vector<UCHAR> data = Bytes(v.text);
    EXPECT_EQ(Digest(BCRYPT_MD5_ALGORITHM, data), v.md5);
    // Byte by byte, and in pieces that straddle MD5's 64-byte blocks.
    EXPECT_EQ(Digest(BCRYPT_MD5_ALGORITHM, data, std::vector<size_t>(data.size(), 1)), v.md5);
    if (data.size() > 70) {
      EXPECT_EQ(Digest(BCRYPT_MD5_ALGORITHM, data, {3, 60, 0, 7}), v.md5);
    }
  }
}

TEST_F(CngHashTest, OtherAlgorithmsAndHmac) {
  std::vector<UCHAR> abc = Bytes("abc");
  EXPECT_EQ(Digest(BCRYPT_SHA1_ALGORITHM, abc), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Digest(BCRYPT_SHA256_ALGORITHM, abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest(BCRYPT_SHA512_ALGORITHM, abc).substr(0, 32), "ddaf35a193617abacc417349ae204131");
  // Identifiers are found without regard to case; the basic provider may be named.
  EXPECT_EQ(Digest(L"md5", abc), "900150983cd24fb0d6963f7d28e17f72");
  BCRYPT_ALG_HANDLE named = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&named, BCRYPT_MD5_ALGORITHM, MS_PRIMITIVE_PROVIDER, 0), STATUS_SUCCESS);
  EXPECT_EQ(BCryptCloseAlgorithmProvider(named, 0), STATUS_SUCCESS);

  // RFC 2104/2202 HMAC-MD5 and RFC 4231 HMAC-SHA256, the secret given to BCryptCreateHash.
  std::vector<UCHAR> what = Bytes("what do ya want for nothing?");
  EXPECT_EQ(Digest(BCRYPT_MD5_ALGORITHM, what, {}, BCRYPT_ALG_HANDLE_HMAC_FLAG, Bytes("Jefe")),
            "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(Digest(BCRYPT_SHA256_ALGORITHM, what, {5, 5}, BCRYPT_ALG_HANDLE_HMAC_FLAG, Bytes("Jefe")),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(Digest(BCRYPT_MD5_ALGORITHM, Bytes("Hi There"), {}, BCRYPT_ALG_HANDLE_HMAC_FLAG, std::vector<UCHAR>(16, 0x0b)),
            "9294727a3638bb1c13f48ef8158bfc9d");
  // An empty key is a key too.
  EXPECT_EQ(Digest(BCRYPT_MD5_ALGORITHM, {}, {}, BCRYPT_ALG_HANDLE_HMAC_FLAG), "74e6f7298a9c2d168935f58c001bad88");
  EXPECT_EQ(Digest(BCRYPT_SHA256_ALGORITHM, {}, {}, BCRYPT_ALG_HANDLE_HMAC_FLAG),
            "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
  // A secret given to a plain hash is not used.
  EXPECT_EQ(Digest(BCRYPT_MD5_ALGORITHM, abc, {}, 0, Bytes("Jefe")), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(CngHashTest, OpeningAProviderFails) {
  struct Case {
    LPCWSTR algorithm;
    LPCWSTR implementation;
    ULONG flags;
    NTSTATUS status;
  };
  const Case cases[] = {
      {L"MD55", nullptr, 0, STATUS_NOT_FOUND},
      {L"", nullptr, 0, STATUS_NOT_FOUND},
      {L"RC4", nullptr, 0, STATUS_NOT_FOUND},
      {BCRYPT_MD5_ALGORITHM, L"Some Other Provider", 0, STATUS_NOT_FOUND},
      {nullptr, nullptr, 0, STATUS_INVALID_PARAMETER},
      {BCRYPT_MD5_ALGORITHM, nullptr, 0x4, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    BCRYPT_ALG_HANDLE provider = reinterpret_cast<BCRYPT_ALG_HANDLE>(0x1234);
    EXPECT_EQ(BCryptOpenAlgorithmProvider(&provider, c.algorithm, c.implementation, c.flags), c.status);
    EXPECT_EQ(provider, reinterpret_cast<BCRYPT_ALG_HANDLE>(0x1234)) << "no handle on failure";
  }
  EXPECT_EQ(BCryptOpenAlgorithmProvider(nullptr, BCRYPT_MD5_ALGORITHM, nullptr, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(CngHashTest, PropertySizing) {
  BCRYPT_HASH_HANDLE hash = NewHash();
  for (BCRYPT_HANDLE object : {static_cast<BCRYPT_HANDLE>(m_md5), static_cast<BCRYPT_HANDLE>(hash)}) {
    for (LPCWSTR name : {BCRYPT_OBJECT_LENGTH, BCRYPT_HASH_LENGTH}) {
      // No buffer: the size alone.
      ULONG result = 0;
      EXPECT_EQ(BCryptGetProperty(object, name, nullptr, 0, &result, 0), STATUS_SUCCESS);
      EXPECT_EQ(result, 4u);
      // Too small: the size again, nothing written.
      UCHAR buffer[8];
      std::memset(buffer, 0xEE, sizeof(buffer));
      result = 0;
      EXPECT_EQ(BCryptGetProperty(object, name, buffer, 3, &result, 0), STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(result, 4u);
      EXPECT_EQ(buffer[0], 0xEE);
      // Larger than needed: the four bytes.
      result = 0;
      EXPECT_EQ(BCryptGetProperty(object, name, buffer, sizeof(buffer), &result, 0), STATUS_SUCCESS);
      EXPECT_EQ(result, 4u);
      EXPECT_EQ(buffer[4], 0xEE);
    }
  }
  EXPECT_EQ(DwordProperty(m_md5, BCRYPT_HASH_LENGTH), 16u);
  EXPECT_EQ(DwordProperty(hash, BCRYPT_HASH_LENGTH), 16u);
  EXPECT_EQ(DwordProperty(m_md5, BCRYPT_HASH_BLOCK_LENGTH), 64u);
  EXPECT_GT(DwordProperty(m_md5, BCRYPT_OBJECT_LENGTH), 0u);

  // A text property, with its terminator.
  ULONG result = 0;
  ASSERT_EQ(BCryptGetProperty(m_md5, BCRYPT_ALGORITHM_NAME, nullptr, 0, &result, 0), STATUS_SUCCESS);
  EXPECT_EQ(result, 4 * sizeof(WCHAR));
  std::vector<WCHAR> name(4, L'?');
  EXPECT_EQ(BCryptGetProperty(m_md5, BCRYPT_ALGORITHM_NAME, reinterpret_cast<PUCHAR>(name.data()), 3 * sizeof(WCHAR),
                              &result, 0),
            STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(BCryptGetProperty(m_md5, BCRYPT_ALGORITHM_NAME, reinterpret_cast<PUCHAR>(name.data()), 4 * sizeof(WCHAR),
                              &result, 0),
            STATUS_SUCCESS);
  EXPECT_STREQ(name.data(), L"MD5");

  ULONG value = 0;
  EXPECT_EQ(BCryptGetProperty(m_md5, L"NoSuchProperty", reinterpret_cast<PUCHAR>(&value), 4, &result, 0),
            STATUS_NOT_SUPPORTED);
  EXPECT_EQ(BCryptGetProperty(m_md5, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&value), 4, nullptr, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptGetProperty(m_md5, nullptr, reinterpret_cast<PUCHAR>(&value), 4, &result, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptGetProperty(m_md5, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&value), 4, &result, 1),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
}

TEST_F(CngHashTest, HashObjectBuffer) {
  const ULONG length = static_cast<ULONG>(m_object.size());
  BCRYPT_HASH_HANDLE hash = reinterpret_cast<BCRYPT_HASH_HANDLE>(0x1234);
  // One byte short, or a size without a buffer.
  EXPECT_EQ(BCryptCreateHash(m_md5, &hash, m_object.data(), length - 1, nullptr, 0, 0), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(BCryptCreateHash(m_md5, &hash, m_object.data(), 0, nullptr, 0, 0), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(BCryptCreateHash(m_md5, &hash, nullptr, length, nullptr, 0, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(hash, reinterpret_cast<BCRYPT_HASH_HANDLE>(0x1234)) << "no handle on failure";
  EXPECT_EQ(BCryptCreateHash(m_md5, nullptr, m_object.data(), length, nullptr, 0, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptCreateHash(m_md5, &hash, m_object.data(), length, nullptr, 0, 0x1), STATUS_INVALID_PARAMETER);

  // A larger buffer is fine; no buffer and no size lets the provider keep the object.
  std::vector<UCHAR> larger(length + 64);
  ASSERT_EQ(BCryptCreateHash(m_md5, &hash, larger.data(), length + 64, nullptr, 0, 0), STATUS_SUCCESS);
  BCRYPT_HASH_HANDLE own = nullptr;
  ASSERT_EQ(BCryptCreateHash(m_md5, &own, nullptr, 0, nullptr, 0, 0), STATUS_SUCCESS);
  // Two live hashes keep apart.
  std::vector<UCHAR> a = Bytes("a"), abc = Bytes("abc");
  EXPECT_EQ(BCryptHashData(hash, a.data(), 1, 0), STATUS_SUCCESS);
  EXPECT_EQ(BCryptHashData(own, abc.data(), 3, 0), STATUS_SUCCESS);
  EXPECT_EQ(Finish(hash), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Finish(own), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
  EXPECT_EQ(BCryptDestroyHash(own), STATUS_SUCCESS);
}

TEST_F(CngHashTest, FinishWantsExactlyTheDigestLength) {
  BCRYPT_HASH_HANDLE hash = NewHash();
  std::vector<UCHAR> abc = Bytes("abc");
  ASSERT_EQ(BCryptHashData(hash, abc.data(), 3, 0), STATUS_SUCCESS);
  std::vector<UCHAR> out(32, 0xEE);
  for (ULONG size : {0u, 15u, 17u, 32u}) {
    SCOPED_TRACE(size);
    EXPECT_EQ(BCryptFinishHash(hash, out.data(), size, 0), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(BCryptFinishHash(hash, nullptr, 16, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptFinishHash(hash, out.data(), 16, 0x1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(out[0], 0xEE);
  // The refused calls did not spend the hash.
  EXPECT_EQ(Finish(hash), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
}

TEST_F(CngHashTest, HashDataArguments) {
  BCRYPT_HASH_HANDLE hash = NewHash();
  std::vector<UCHAR> abc = Bytes("abc");
  // Nothing to add is no error, with or without a pointer.
  EXPECT_EQ(BCryptHashData(hash, nullptr, 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(BCryptHashData(hash, abc.data(), 0, 0), STATUS_SUCCESS);
  EXPECT_EQ(BCryptHashData(hash, nullptr, 3, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptHashData(hash, abc.data(), 3, 0x1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(BCryptHashData(hash, abc.data(), 3, 0), STATUS_SUCCESS);
  EXPECT_EQ(Finish(hash), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
}

TEST_F(CngHashTest, FinishedHashIsSpentUnlessReusable) {
  std::vector<UCHAR> abc = Bytes("abc"), a = Bytes("a");
  std::vector<UCHAR> out(16);
  BCRYPT_HASH_HANDLE spent = NewHash();
  ASSERT_EQ(BCryptHashData(spent, abc.data(), 3, 0), STATUS_SUCCESS);
  EXPECT_EQ(Finish(spent), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(BCryptHashData(spent, abc.data(), 3, 0), STATUS_INVALID_HANDLE);
  EXPECT_EQ(BCryptFinishHash(spent, out.data(), 16, 0), STATUS_INVALID_HANDLE);
  EXPECT_EQ(BCryptDestroyHash(spent), STATUS_SUCCESS);

  // Reusable by the hash's flag or the provider's: each finish starts a fresh hash.
  BCRYPT_ALG_HANDLE reusableProvider = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&reusableProvider, BCRYPT_MD5_ALGORITHM, nullptr, BCRYPT_HASH_REUSABLE_FLAG),
            STATUS_SUCCESS);
  BCRYPT_HASH_HANDLE fromProvider = nullptr;
  ASSERT_EQ(BCryptCreateHash(reusableProvider, &fromProvider, nullptr, 0, nullptr, 0, 0), STATUS_SUCCESS);
  for (BCRYPT_HASH_HANDLE hash : {NewHash(BCRYPT_HASH_REUSABLE_FLAG), fromProvider}) {
    ASSERT_EQ(BCryptHashData(hash, abc.data(), 3, 0), STATUS_SUCCESS);
    EXPECT_EQ(Finish(hash), "900150983cd24fb0d6963f7d28e17f72");
    ASSERT_EQ(BCryptHashData(hash, a.data(), 1, 0), STATUS_SUCCESS);
    EXPECT_EQ(Finish(hash), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Finish(hash), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(BCryptDestroyHash(hash), STATUS_SUCCESS);
  }
  EXPECT_EQ(BCryptCloseAlgorithmProvider(reusableProvider, 0), STATUS_SUCCESS);
}

TEST_F(CngHashTest, InvalidHandles) {
  BCRYPT_ALG_HANDLE closed = nullptr;
  ASSERT_EQ(BCryptOpenAlgorithmProvider(&closed, BCRYPT_MD5_ALGORITHM, nullptr, 0), STATUS_SUCCESS);
  ASSERT_EQ(BCryptCloseAlgorithmProvider(closed, 0), STATUS_SUCCESS);
  BCRYPT_HASH_HANDLE destroyed = NewHash();
  ASSERT_EQ(BCryptDestroyHash(destroyed), STATUS_SUCCESS);
  BCRYPT_HASH_HANDLE live = NewHash();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);

  std::vector<UCHAR> data = Bytes("abc"), out(16), object(m_object.size());
  ULONG result = 0;
  BCRYPT_HASH_HANDLE hash = nullptr;
  // Not a provider: nothing, garbage, a closed one, a hash, a kernel handle.
  for (BCRYPT_ALG_HANDLE bad : {static_cast<void*>(nullptr), reinterpret_cast<void*>(0x5150), closed, live, event}) {
    EXPECT_EQ(BCryptCreateHash(bad, &hash, object.data(), static_cast<ULONG>(object.size()), nullptr, 0, 0),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(BCryptCloseAlgorithmProvider(bad, 0), STATUS_INVALID_HANDLE);
  }
  // Not a hash: nothing, garbage, a destroyed one, a provider, a kernel handle.
  for (BCRYPT_HASH_HANDLE bad : {static_cast<void*>(nullptr), reinterpret_cast<void*>(0x5150), destroyed, m_md5, event}) {
    EXPECT_EQ(BCryptHashData(bad, data.data(), 3, 0), STATUS_INVALID_HANDLE);
    EXPECT_EQ(BCryptFinishHash(bad, out.data(), 16, 0), STATUS_INVALID_HANDLE);
    EXPECT_EQ(BCryptDestroyHash(bad), STATUS_INVALID_HANDLE);
  }
  for (BCRYPT_HANDLE bad : {static_cast<void*>(nullptr), static_cast<void*>(closed), destroyed, event}) {
    EXPECT_EQ(BCryptGetProperty(bad, BCRYPT_HASH_LENGTH, nullptr, 0, &result, 0), STATUS_INVALID_HANDLE);
  }
  // The mistakes above harmed neither the live hash nor the provider, and CNG handles are no
  // kernel handles.
  EXPECT_EQ(BCryptHashData(live, data.data(), 3, 0), STATUS_SUCCESS);
  EXPECT_EQ(Finish(live), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(BCryptDestroyHash(live), STATUS_SUCCESS);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(m_md5));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseHandle(event));
}

TEST_F(CngHashTest, InjectedFaultsReturnTheirStatus) {
  std::vector<UCHAR> data = Bytes("abc"), out(16), object(m_object.size());
  BCRYPT_HASH_HANDLE hash = NewHash();
  ULONG value = 0, result = 0;
  struct Case {
    const char* name;
    std::function<NTSTATUS()> call;
  };
  const Case cases[] = {
      {"BCryptOpenAlgorithmProvider",
       [] {
         BCRYPT_ALG_HANDLE p = nullptr;
         NTSTATUS s = BCryptOpenAlgorithmProvider(&p, BCRYPT_MD5_ALGORITHM, nullptr, 0);
         if (NT_SUCCESS(s)) BCryptCloseAlgorithmProvider(p, 0);
         return s;
       }},
      {"BCryptGetProperty",
       [&] { return BCryptGetProperty(m_md5, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&value), 4, &result, 0); }},
      {"BCryptCreateHash",
       [&] {
         BCRYPT_HASH_HANDLE h = nullptr;
         NTSTATUS s = BCryptCreateHash(m_md5, &h, object.data(), static_cast<ULONG>(object.size()), nullptr, 0, 0);
         if (NT_SUCCESS(s)) BCryptDestroyHash(h);
         return s;
       }},
      {"BCryptHashData", [&] { return BCryptHashData(hash, data.data(), 3, 0); }},
      {"BCryptFinishHash", [&] { return BCryptFinishHash(hash, out.data(), 16, 0); }},
      {"BCryptDestroyHash", [&] { return BCryptDestroyHash(hash); }},
      {"BCryptCloseAlgorithmProvider", [&] {
         NTSTATUS s = BCryptCloseAlgorithmProvider(m_md5, 0);
         if (NT_SUCCESS(s)) m_md5 = nullptr;
         return s;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InjectFault(c.name, static_cast<uint32_t>(STATUS_NO_MEMORY), 1);
    EXPECT_EQ(c.call(), STATUS_NO_MEMORY);
    // The fault took the place of the call: the next one does the work.
    EXPECT_EQ(c.call(), STATUS_SUCCESS);
  }
  // The failed BCryptHashData added nothing: the digest is of "abc" hashed once.
  EXPECT_EQ(Hex(out), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(CngHashTest, ThreadsHashAtTheSameTime) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 100; ++i) {
        const auto& v = kRfc1321[(t + i) % std::size(kRfc1321)];
        std::vector<size_t> pieces;
        if (v.text[0]) pieces.push_back(1);
        if (Digest(BCRYPT_MD5_ALGORITHM, Bytes(v.text), pieces) != v.md5) ++wrong[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace winsim::test
