// GetTrustedFileDigest: the digest of a library file whose signature WinVerifyTrust accepts, as
// every other count of it has it (osslsigncode, winsim-pe, the build's script for Windows builds,
// the pinned value); what re-signing and a changed byte do to it; the signature verdicts with the
// allowance for older systems; and the bounds kept on malformed images.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>

#include "TrustVerificationFixture.h"
#include "core/fault.h"
#include "launch/CertificateValidationLibrary.h"

namespace winsim::test {
namespace {

std::vector<uint8_t> Bytes(const std::string& path) {
  std::string text = ReadFile(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
void PutU32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}
std::string OsslsigncodeDigest(const std::string& file) {
  CommandResult verify = RunProgram({WINSIM_OSSLSIGNCODE, "verify", "-in", file});
  std::smatch m;
  std::regex re("Calculated message digest\\s*:\\s*([0-9A-Fa-f]+)");
  return std::regex_search(verify.output, m, re) ? m[1].str() : std::string();
}
std::string WinsimPeDigest(const std::string& file) {
  return Trimmed(RunProgram({WINSIM_PE_TOOL, "digest", file}).output);
}
std::string ScriptDigest(const std::string& file) {
  return Trimmed(RunProgram({"/bin/bash", std::string(TORVEX_SOURCE_DIR) + "/scripts/pe-digest.sh", file}).output);
}
// The value the build pinned for a library, read from the generated header.
std::string PinnedDigest(const char* macro) {
  std::smatch m;
  std::string header = ReadFile(TORVEX_PINNED_DIGESTS_HEADER);
  std::regex re(std::string(macro) + " L\"([0-9A-F]{64})\"");
  return std::regex_search(header, m, re) ? m[1].str() : std::string();
}

class TrustedFileDigestTest : public TrustVerificationFixture {
 protected:
  std::string Digest(const std::wstring& path) { return Utf8FromWide(GetTrustedFileDigest(path)); }
};

TEST_F(TrustedFileDigestTest, ShippedLibrariesDigestAsEveryOtherCountHasThem) {
  TrustRoot(Pki("root.pem"));
  struct Library {
    const char* file;
    const char* pinned;
  } libraries[] = {{"Torvex.CertificateValidation.Native.dll", "TORVEX_PINNED_VALIDATION_LIBRARY_DIGEST"},
                   {"libQolm.dll", "TORVEX_PINNED_AUXILIARY_LIBRARY_DIGEST"}};
  std::string previous;
  for (const auto& library : libraries) {
    SCOPED_TRACE(library.file);
    std::wstring path = Install(Shipped(library.file), InFolder(WideFromUtf8(library.file)));
    std::string digest = Digest(path);
    ASSERT_EQ(digest.size(), 64u);
    EXPECT_TRUE(std::regex_match(digest, std::regex("[0-9A-F]{64}")));
    EXPECT_EQ(digest, OsslsigncodeDigest(Shipped(library.file)));
    EXPECT_EQ(digest, WinsimPeDigest(Shipped(library.file)));
    EXPECT_EQ(digest, ScriptDigest(Shipped(library.file))) << "the Windows build's way of pinning";
    EXPECT_EQ(digest, PinnedDigest(library.pinned));
    EXPECT_NE(digest, previous);
    previous = digest;
  }
}

TEST_F(TrustedFileDigestTest, ResigningChangesNoDigestButOneChangedByteDoes) {
  TrustRoot(Pki("root.pem"));
  TrustRoot(Pki("other-root.pem"));
  const std::string shipped = Shipped("Torvex.CertificateValidation.Native.dll");
  const std::string unsigned_ = Variant("unsigned", "Torvex.CertificateValidation.Native.dll");
  std::string expected = Digest(Install(shipped, L"C:\\lib\\shipped.dll"));
  ASSERT_EQ(expected.size(), 64u);

  // Signed again with another chain, and by another publisher: other signature bytes, another
  // checksum and table entry, the same digest.
  for (auto [publisher, chain] : {std::pair{"test", "full"}, std::pair{"other", "full"}, std::pair{"test", "leaf"}}) {
    SCOPED_TRACE(std::string(publisher) + " " + chain);
    std::string resigned = MachinePath(std::string("resigned-") + publisher + "-" + chain + ".dll");
    Sign(unsigned_, resigned, publisher, chain);
    ASSERT_NE(Bytes(resigned), Bytes(shipped));
    std::wstring path = Install(resigned, L"C:\\lib\\resigned.dll");
    if (std::string(chain) == "leaf") {
      // A chain that cannot be built is accepted on Windows 7 only.
      EXPECT_EQ(Digest(path), "");
      MakeWindows7();
    }
    EXPECT_EQ(Digest(path), expected);
    EXPECT_EQ(OsslsigncodeDigest(resigned), expected);
  }

  // One byte changed outside the left-out ranges, and signed properly: trusted, another digest.
  std::vector<uint8_t> bytes = Bytes(unsigned_);
  size_t at = bytes.size() / 2;
  bytes[at] ^= 0x01;
  std::string changed = MachinePath("changed.unsigned.dll");
  WriteBytes(changed, bytes);
  Sign(changed, MachinePath("changed.dll"));
  std::string digest = Digest(Install(MachinePath("changed.dll"), L"C:\\lib\\changed.dll"));
  EXPECT_EQ(digest.size(), 64u);
  EXPECT_NE(digest, expected);
  EXPECT_EQ(digest, OsslsigncodeDigest(MachinePath("changed.dll")));
}

TEST_F(TrustedFileDigestTest, OnlyTrustedSignaturesAreDigestedWithTheAllowanceForOlderSystems) {
  const std::string expected = WinsimPeDigest(Shipped("libQolm.dll"));
  std::vector<uint8_t> tampered = Bytes(Shipped("libQolm.dll"));
  tampered[tampered.size() / 3] ^= 0x80;  // inside the payload, after signing
  const std::string tamperedFile = "tampered";

  struct Case {
    const char* name;
    std::string file;
    bool trustRoot;
    bool windows7;
    bool digested;
  } cases[] = {
      {"signed, Windows 10", Shipped("libQolm.dll"), true, false, true},
      {"signed, Windows 7", Shipped("libQolm.dll"), true, true, true},
      {"unsigned", Variant("unsigned", "libQolm.dll"), true, false, false},
      {"unsigned, Windows 7", Variant("unsigned", "libQolm.dll"), true, true, false},
      {"changed after signing", tamperedFile, true, false, false},
      {"changed after signing, Windows 7", tamperedFile, true, true, false},
      {"chain to an untrusted root, Windows 10", Variant("full", "libQolm.dll"), false, false, false},
      {"chain to an untrusted root, Windows 7", Variant("full", "libQolm.dll"), false, true, false},
      // Without the root on the machine, the chain of the shipped signature cannot be built.
      {"root unknown to the machine, Windows 10", Shipped("libQolm.dll"), false, false, false},
      {"root unknown to the machine, Windows 7", Shipped("libQolm.dll"), false, true, true},
      {"chain without its intermediate, Windows 10", Variant("leaf", "libQolm.dll"), true, false, false},
      {"chain without its intermediate, Windows 7", Variant("leaf", "libQolm.dll"), true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.trustRoot) TrustRoot(Pki("root.pem"));
    if (c.windows7) MakeWindows7();
    std::string file = c.file;
    if (file == tamperedFile) {
      file = MachinePath("tampered.dll");
      WriteBytes(file, tampered);
    }
    std::wstring path = Install(file, L"C:\\Program Files\\Torvex Utility\\libQolm.dll");
    EXPECT_EQ(Digest(path), c.digested ? expected : "");
  }
  EXPECT_EQ(Digest(L"C:\\Program Files\\Torvex Utility\\missing.dll"), "");

  // Only a system that reports itself older counts: a version check that fails is no allowance.
  TearDown();
  SetUp();
  TrustRoot(Pki("root.pem"));
  MakeWindows7();
  std::wstring leaf = Install(Variant("leaf", "libQolm.dll"), L"C:\\lib\\libQolm.dll");
  InjectFault("VerifyVersionInfoW", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Digest(leaf), "");
  ClearFaults();
  EXPECT_EQ(Digest(leaf), expected);
}

// Malformed images, digested with the signature check answered "trusted" (WinVerifyTrust made to
// return 0 by fault injection), so that only the digest's own checks stand between them and a read
// outside the file.
TEST_F(TrustedFileDigestTest, MalformedImagesGiveTheEmptyTextAndNoReadOutsideTheFile) {
  const std::vector<uint8_t> image = Bytes(Shipped("libQolm.dll"));
  const uint32_t nt = U32(image, 60);
  const uint32_t table = U32(image, nt + 168);
  const uint32_t tableSize = U32(image, nt + 172);
  ASSERT_GT(tableSize, 0u);
  ASSERT_EQ(table + tableSize, image.size()) << "the signature ends the file";
  const uint32_t size = static_cast<uint32_t>(image.size());
  InjectFault("WinVerifyTrust", ERROR_SUCCESS);

  auto with = [&](auto change) {
    std::vector<uint8_t> b = image;
    change(b);
    return b;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool digested;
  } cases[] = {
      {"as shipped", image, true},
      {"no certificate table (its place ignored)", with([&](auto& b) { PutU32(b, nt + 172, 0); PutU32(b, nt + 168, 0xFFFFFFF0); }), true},
      {"data after the certificate table", with([&](auto& b) { PutU32(b, nt + 172, tableSize - 8); }), true},
      {"table ending at the last byte", with([&](auto& b) { PutU32(b, nt + 168, size - 8); PutU32(b, nt + 172, 8); }), true},
      {"shorter than the DOS header", std::vector<uint8_t>(image.begin(), image.begin() + 40), false},
      {"empty file", std::vector<uint8_t>(), false},
      {"NT headers beyond the file", with([&](auto& b) { PutU32(b, 60, size + 16); }), false},
      {"NT headers cut by the end of the file", with([&](auto& b) { PutU32(b, 60, size - 263); }), false},
      {"NT headers offset near 4 GiB", with([&](auto& b) { PutU32(b, 60, 0xFFFFFFF8); }), false},
      {"file ending inside the NT headers", std::vector<uint8_t>(image.begin(), image.begin() + nt + 263), false},
      {"certificate table among the headers", with([&](auto& b) { PutU32(b, nt + 168, nt + 100); }), false},
      {"certificate table before the NT headers", with([&](auto& b) { PutU32(b, nt + 168, 8); }), false},
      {"certificate table past the end", with([&](auto& b) { PutU32(b, nt + 172, tableSize + 1); }), false},
      {"certificate table wrapping 32 bits", with([&](auto& b) { PutU32(b, nt + 168, 0xFFFFFF00); PutU32(b, nt + 172, 0x200); }), false},
      {"no PE signature", with([&](auto& b) { b[nt] = 'X'; }), false},
      {"a 32-bit (PE32) optional header", with([&](auto& b) { b[nt + 24] = 0x0B; b[nt + 25] = 0x01; }), false},
      {"no MZ", with([&](auto& b) { b[0] = 'Z'; }), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = MachinePath("drives/c/case.dll");
    WriteBytes(file, c.bytes);
    std::string digest = Digest(L"C:\\case.dll");
    if (c.digested) {
      EXPECT_EQ(digest.size(), 64u);
      EXPECT_EQ(digest, WinsimPeDigest(file));
    } else {
      EXPECT_EQ(digest, "");
    }
  }
}

TEST_F(TrustedFileDigestTest, FoldersAreAbsoluteWithATrailingBackslash) {
  std::wstring folder = GetModuleDirectory();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), L'\\');
  // This test program's own folder, reached through the drive that holds the Linux root.
  EXPECT_EQ(LinuxOf(folder + L"launch_tests"), std::filesystem::canonical("/proc/self/exe").string());
  EXPECT_EQ(GetFullPath(L"C:\\a\\b\\..\\c.dll"), L"C:\\a\\c.dll");
  EXPECT_EQ(GetFullPath(L""), L"");
}

}  // namespace
}  // namespace winsim::test
