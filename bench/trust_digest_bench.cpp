// Figures for GetTrustedFileDigest on a signed 64 MiB image, beside `openssl dgst -sha256` of the
// same file in the same run: the whole call (WinVerifyTrust's signature check, which digests the
// image itself, and then the service's own digest), and the service's digest alone (the signature
// check answered at once by fault injection). Best of several runs each; throughput in MiB/s and
// the ratio to openssl's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchLine.h"
#include "BenchMachine.h"
#include "core/fault.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/paths.h"
#include "core/strings.h"
#include "launch/CertificateValidationLibrary.h"
#include "process/peimage.h"
#include "trust/roots.h"
#include "softpub.h"
#include "windows.h"

namespace {
using Clock = BenchClock;

template <class Work>
double Best(int runs, Work work) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    work();
    best = std::min(best, Seconds(t0, Clock::now()));
  }
  return best;
}
}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 64;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  BenchMachine bench(false);
  if (!bench.Ok()) return 1;
  const std::string& machine = bench.Path();
  winsim::SetCurrentIdentity(winsim::SystemIdentity());

  // A PE image of the given size (its payload pseudo-random), signed with the build's test publisher.
  std::vector<uint8_t> payload(mib * 1024 * 1024 - 4096);
  std::mt19937_64 random(7);
  for (size_t i = 0; i + 8 <= payload.size(); i += 8) {
    uint64_t v = random();
    std::memcpy(&payload[i], &v, 8);
  }
  std::memcpy(payload.data(), "\x7F" "ELF", 4);
  winsim::pe::WrapOptions options;
  options.dll = true;
  std::vector<uint8_t> image = winsim::pe::Wrap(payload, options);
  std::string unsignedFile = machine + "/big.unsigned.dll";
  std::ofstream(unsignedFile, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  std::string signedFile = machine + "/drives/c/big.dll";
  std::string sign = "bash '" TORVEX_SOURCE_DIR "/scripts/test-pki.sh' sign '" WINSIM_TEST_PKI_DIR "' '" + unsignedFile +
                     "' '" + signedFile + "'";
  if (std::system(sign.c_str()) != 0) {
    std::fprintf(stderr, "cannot sign the image\n");
    return 1;
  }
  std::ifstream rootFile(WINSIM_TEST_PKI_DIR "/root.pem", std::ios::binary);
  std::string root((std::istreambuf_iterator<char>(rootFile)), std::istreambuf_iterator<char>());
  std::string error;
  if (!winsim::trust::AddTrustedRoot(std::vector<uint8_t>(root.begin(), root.end()), nullptr, &error)) {
    std::fprintf(stderr, "cannot trust the test root: %s\n", error.c_str());
    return 1;
  }
  const double size = static_cast<double>(std::filesystem::file_size(signedFile)) / (1024.0 * 1024.0);
  const std::wstring path = L"C:\\big.dll";

  std::wstring digest;
  double whole = Best(runs, [&] { digest = GetTrustedFileDigest(path); });
  if (digest.size() != 64) {
    std::fprintf(stderr, "no digest of the signed image\n");
    return 1;
  }
  // The signature check alone, as the call makes it.
  double signatureOnly = Best(runs, [&] {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    if (WinVerifyTrust(nullptr, &action, &data) != 0) std::fprintf(stderr, "WinVerifyTrust refused the image\n");
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(nullptr, &action, &data);
  });
  winsim::InjectFault("WinVerifyTrust", ERROR_SUCCESS);
  std::wstring alone;
  double digestOnly = Best(runs, [&] { alone = GetTrustedFileDigest(path); });
  winsim::ClearFaults();
  std::string openssl = "openssl dgst -sha256 '" + signedFile + "' >/dev/null";
  double reference = Best(runs, [&] {
    if (std::system(openssl.c_str()) != 0) std::fprintf(stderr, "openssl dgst failed\n");
  });

  std::printf("image: %.1f MiB, best of %d runs, digest %s\n", size, runs, winsim::Utf8FromWide(digest).c_str());
  std::printf("openssl dgst -sha256                       %8.1f MiB/s  (%.3f s)\n", size / reference, reference);
  std::printf("GetTrustedFileDigest, whole call           %8.1f MiB/s  (%.3f s)  ratio %.2f\n", size / whole, whole,
              reference / whole);
  std::printf("GetTrustedFileDigest, digest alone         %8.1f MiB/s  (%.3f s)  ratio %.2f\n", size / digestOnly,
              digestOnly, reference / digestOnly);
  std::printf("WinVerifyTrust alone                       %8.1f MiB/s  (%.3f s)\n", size / signatureOnly, signatureOnly);
  std::printf("(the whole call reads and digests the image twice: once in WinVerifyTrust, once for the pinned digest)\n");
  // Seconds per image beside the openssl command digesting the same file.
  BenchLine("trust.digest_whole_call", whole * 1000, reference * 1000, "ms", "-");
  BenchLine("trust.digest_alone", digestOnly * 1000, reference * 1000, "ms", "-");
  return alone == digest ? 0 : 1;
}
