// winsim's PE images: the layout of a wrapped image, the winsim-pe tool, and the Authenticode
// digest, which must agree with an independent signing tool's.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <regex>

#include "TrustFixture.h"
#include "process/peimage.h"
#include "trust/authenticode.h"

namespace winsim::test {
namespace {

uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
         (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

std::vector<uint8_t> Bytes(const std::string& path) {
  std::string text = ReadFile(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

// A payload that looks like an ELF file and has an odd length, so that padding shows.
std::vector<uint8_t> FakeElf(size_t size) {
  std::vector<uint8_t> payload(size);
  for (size_t i = 0; i < size; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 1);
  std::memcpy(payload.data(), "\x7F" "ELF", 4);
  return payload;
}

// What osslsigncode prints for a file: "Calculated message digest : HEX" and the PE checksum.
CommandResult Osslsigncode(const std::string& file) {
  return RunProgram({WINSIM_OSSLSIGNCODE, "verify", "-in", file});
}

std::string CalculatedDigest(const std::string& output) {
  std::smatch m;
  std::regex re("Calculated message digest\\s*:\\s*([0-9A-Fa-f]+)");
  return std::regex_search(output, m, re) ? m[1].str() : std::string();
}

// The file digest as the service computes it with CryptoAPI: the file read in 65536-byte chunks,
// hashed with SHA-256 except the checksum, the certificate table entry and the certificate table.
std::string CryptoApiFileDigest(const std::vector<uint8_t>& file) {
  uint32_t nt = U32(file, 60);
  struct Range {
    uint64_t start, size;
  };
  Range ranges[] = {{nt + 88ull, 4}, {nt + 168ull, 8}, {U32(file, nt + 168), U32(file, nt + 172)}};
  HCRYPTPROV prov = 0;
  HCRYPTHASH hash = 0;
  EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
  EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash));
  uint64_t position = 0;
  bool skipped[3] = {false, false, ranges[2].size == 0};
  while (position < file.size()) {
    uint64_t end = std::min<uint64_t>(position + 65536, file.size());
    uint64_t next = end;
    for (int r = 0; r < 3; ++r) {
      if (!skipped[r] && end > ranges[r].start) {
        end = ranges[r].start;
        next = ranges[r].start + ranges[r].size;
        skipped[r] = true;
        break;
      }
    }
    if (end > position) {
      EXPECT_TRUE(CryptHashData(hash, file.data() + position, static_cast<DWORD>(end - position), 0));
    }
    position = next;
  }
  BYTE value[32];
  DWORD size = sizeof(value);
  EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &size, 0));
  CryptDestroyHash(hash);
  CryptReleaseContext(prov, 0);
  return trust::HexUpper(std::vector<uint8_t>(value, value + size));
}

TEST(PeImageTest, WrappedImageHasTheLayoutOfAWindowsImage) {
  std::vector<uint8_t> payload = FakeElf(5000);
  for (bool dll : {false, true}) {
    SCOPED_TRACE(dll ? "dll" : "exe");
    pe::WrapOptions options;
    options.dll = dll;
    options.gui = dll;  // the subsystem is independent of the kind; both values are seen this way
    std::vector<uint8_t> b = pe::Wrap(payload, options);
    ASSERT_EQ(b[0], 'M');
    ASSERT_EQ(b[1], 'Z');
    uint32_t nt = U32(b, 60);
    ASSERT_EQ(std::memcmp(&b[nt], "PE\0\0", 4), 0);
    EXPECT_EQ(U16(b, nt + 4), 0x8664);                       // AMD64
    EXPECT_EQ(U16(b, nt + 6), 1);                            // one section
    EXPECT_EQ(U16(b, nt + 20), 240);                         // PE32+ optional header
    EXPECT_EQ((U16(b, nt + 22) & 0x2000) != 0, dll);         // IMAGE_FILE_DLL
    EXPECT_NE(U16(b, nt + 22) & 0x0002, 0);                  // executable image
    size_t opt = nt + 24;
    EXPECT_EQ(U16(b, opt), 0x20B);
    uint32_t sectionAlignment = U32(b, opt + 32), fileAlignment = U32(b, opt + 36);
    EXPECT_EQ(sectionAlignment, 0x1000u);
    EXPECT_EQ(fileAlignment, 0x200u);
    uint32_t sizeOfHeaders = U32(b, opt + 60);
    EXPECT_EQ(sizeOfHeaders % fileAlignment, 0u);
    EXPECT_GE(sizeOfHeaders, opt + 240 + 40);                // covers the section table
    EXPECT_EQ(U32(b, opt + 56) % sectionAlignment, 0u);      // SizeOfImage
    EXPECT_EQ(U16(b, opt + 68), dll ? 2 : 3);                // GUI or console subsystem
    EXPECT_EQ(U32(b, opt + 108), 16u);                       // data directories
    EXPECT_EQ(U32(b, nt + 168), 0u);                         // an empty certificate table entry
    EXPECT_EQ(U32(b, nt + 172), 0u);
    EXPECT_EQ(U32(b, nt + 88), pe::ComputeChecksum(b.data(), b.size(), nt + 88));
    EXPECT_EQ(b.size() % fileAlignment, 0u);
    size_t section = opt + 240;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[section])), ".wsim");
    auto layout = pe::ParseLayout(b.data(), b.size(), b.size(), nullptr);
    ASSERT_TRUE(layout.has_value());
    ASSERT_TRUE(layout->hasPayload);
    EXPECT_EQ(layout->IsDll(), dll);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + static_cast<long>(layout->payloadOffset),
                                   b.begin() + static_cast<long>(layout->payloadOffset + layout->payloadSize)),
              payload);
  }
}

TEST(PeImageTest, ParsingRejectsWhatIsNoImage) {
  std::vector<uint8_t> image = pe::Wrap(FakeElf(100), {});
  std::string why;
  auto truncated = image;
  truncated.resize(0x90);
  EXPECT_FALSE(pe::ParseLayout(truncated.data(), truncated.size(), truncated.size(), &why).has_value());
  auto noSignature = image;
  noSignature[U32(image, 60)] = 'X';
  EXPECT_FALSE(pe::ParseLayout(noSignature.data(), noSignature.size(), noSignature.size(), &why).has_value());
  EXPECT_EQ(why, "no PE signature");
  // A payload section that claims more bytes than the file has.
  auto shortFile = image;
  shortFile.resize(0x210);
  EXPECT_FALSE(pe::ParseLayout(shortFile.data(), shortFile.size(), shortFile.size(), &why).has_value());
}

class PeToolTest : public TrustFixture {};

TEST_F(PeToolTest, WrapsInspectsAndExtracts) {
  std::string dir = MachinePath("work");
  std::filesystem::create_directories(dir);
  // The checksum the tool writes is the one an independent tool computes.
  auto wrapped = RunProgram({WINSIM_PE_TOOL, "wrap", WINSIM_PE_PROBE_ELF, dir + "/probe.exe"});
  ASSERT_EQ(wrapped.status, 0) << wrapped.errors;
  std::vector<uint8_t> image = Bytes(dir + "/probe.exe");
  char checksum[16];
  std::snprintf(checksum, sizeof(checksum), "%08X", U32(image, U32(image, 60) + 88));
  auto checked = Osslsigncode(dir + "/probe.exe");
  EXPECT_NE(checked.output.find(std::string("PE checksum   : ") + checksum), std::string::npos) << checked.output;
  EXPECT_EQ(checked.output.find("invalid PE checksum"), std::string::npos) << checked.output;

  auto info = RunProgram({WINSIM_PE_TOOL, "info", dir + "/probe.exe"});
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.output.find("kind:            exe"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("subsystem:       3"), std::string::npos) << info.output;

  auto extracted = RunProgram({WINSIM_PE_TOOL, "extract", dir + "/probe.exe", dir + "/probe.elf"});
  EXPECT_EQ(extracted.status, 0) << extracted.errors;
  EXPECT_EQ(ReadFile(dir + "/probe.elf"), ReadFile(WINSIM_PE_PROBE_ELF));

  // Refusals: a file that is no ELF file, a wrong command line, a digest of no image.
  std::string text = dir + "/notes.txt";
  std::ofstream(text) << "plain text";
  auto notElf = RunProgram({WINSIM_PE_TOOL, "wrap", text, dir + "/x.exe"});
  EXPECT_EQ(notElf.status, 1);
  EXPECT_NE(notElf.errors.find("is not an ELF file"), std::string::npos);
  EXPECT_EQ(RunProgram({WINSIM_PE_TOOL, "wrap", text}).status, 2);
  EXPECT_EQ(RunProgram({WINSIM_PE_TOOL, "digest", text}).status, 1);
}

TEST_F(PeToolTest, DigestMatchesTheSigningToolsAndIgnoresTheSignature) {
  std::string expected;
  for (const char* name : {"testlib.dll", "testlib-leaf.dll", "testlib-full.dll", "testlib-other.dll", "pe_probe.exe"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> file = Bytes(Image(name));
    auto verify = Osslsigncode(Image(name));
    std::string theirs = CalculatedDigest(verify.output);
    ASSERT_EQ(theirs.size(), 64u) << verify.output << verify.errors;
    auto ours = trust::ImageDigest(file, EVP_sha256());
    ASSERT_TRUE(ours.has_value());
    EXPECT_EQ(trust::HexUpper(*ours), theirs);
    EXPECT_EQ(CryptoApiFileDigest(file), theirs);
    auto tool = RunProgram({WINSIM_PE_TOOL, "digest", Image(name)});
    EXPECT_EQ(tool.output, theirs + "\n");
  }
  // Signing changes only the checksum, the table entry and the table: one library, signed in
  // different ways or not at all, has one digest.
  std::string unsignedDigest = trust::HexUpper(*trust::ImageDigest(Bytes(Image("testlib-unsigned.dll")), EVP_sha256()));
  for (const char* name : {"testlib.dll", "testlib-leaf.dll", "testlib-full.dll", "testlib-other.dll",
                           "testlib-other-full.dll"}) {
    EXPECT_EQ(trust::HexUpper(*trust::ImageDigest(Bytes(Image(name)), EVP_sha256())), unsignedDigest) << name;
  }
  // Any other byte counts.
  std::vector<uint8_t> changed = Bytes(Image("testlib.dll"));
  changed[0x400] ^= 1;
  EXPECT_NE(trust::HexUpper(*trust::ImageDigest(changed, EVP_sha256())), unsignedDigest);
}

}  // namespace
}  // namespace winsim::test
