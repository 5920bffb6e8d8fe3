// winsim-pe: makes and inspects winsim's PE images, which carry a native Linux program or shared
// object in a ".wsim" section so that Authenticode tools can sign them.
//
//   winsim-pe wrap IN OUT [--dll] [--gui]   wrap an ELF file in a PE32+ image (console subsystem
//                                            unless --gui; a DLL image with --dll)
//   winsim-pe info FILE                      the image's layout
//   winsim-pe digest FILE [--sha1]           the Authenticode digest (SHA-256 unless --sha1)
//   winsim-pe extract FILE OUT               the payload as a file of its own
//
// It needs no machine. Exit status 0 on success, 1 on failure with a one-line message, 2 for usage.
#include <openssl/evp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "process/peimage.h"
#include "trust/authenticode.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: winsim-pe wrap IN OUT [--dll] [--gui]\n"
               "       winsim-pe info FILE\n"
               "       winsim-pe digest FILE [--sha1]\n"
               "       winsim-pe extract FILE OUT\n");
  return 2;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "winsim-pe: %s\n", message.c_str());
  return 1;
}

bool Read(const std::string& path, std::vector<uint8_t>* out, std::string* error) {
  auto data = winsim::pe::ReadWholeFile(path);
  if (!data) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  *out = std::move(*data);
  return true;
}

bool Write(const std::string& path, const uint8_t* data, size_t size, bool executable, std::string* error) {
  std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
      *error = "cannot write " + temp;
      return false;
    }
  }
  if (executable) chmod(temp.c_str(), 0755);
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

int Wrap(std::vector<std::string> args) {
  winsim::pe::WrapOptions options;
  std::vector<std::string> files;
  for (const auto& a : args) {
    if (a == "--dll") {
      options.dll = true;
    } else if (a == "--gui") {
      options.gui = true;
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) return Usage();
  std::string error;
  std::vector<uint8_t> payload;
  if (!Read(files[0], &payload, &error)) return Fail(error);
  if (!winsim::pe::LooksLikeElf(payload.data(), payload.size())) return Fail(files[0] + " is not an ELF file");
  // e_type: 2 an executable, 3 a shared object (or a position-independent executable).
  uint16_t type = payload.size() > 17 ? static_cast<uint16_t>(payload[16] | (payload[17] << 8)) : 0;
  if (options.dll && type != 3) return Fail(files[0] + " is not a shared object");
  if (payload.size() > 0x7FFFFFFF) return Fail(files[0] + " is too large for a PE section");
  std::vector<uint8_t> image = winsim::pe::Wrap(payload, options);
  if (!Write(files[1], image.data(), image.size(), !options.dll, &error)) return Fail(error);
  return 0;
}

int Info(const std::string& path) {
  std::string error;
  std::vector<uint8_t> file;
  if (!Read(path, &file, &error)) return Fail(error);
  std::string why;
  auto layout = winsim::pe::ParseLayout(file.data(), file.size(), file.size(), &why);
  if (!layout) return Fail(path + " is not a PE image: " + why);
  uint32_t computed = winsim::pe::ComputeChecksum(file.data(), file.size(), layout->checksumOffset);
  std::printf("format:          %s\n", layout->pe32Plus ? "PE32+" : "PE32");
  std::printf("machine:         0x%04x\n", layout->machine);
  std::printf("kind:            %s\n", layout->IsDll() ? "dll" : "exe");
  std::printf("subsystem:       %u\n", layout->subsystem);
  std::printf("size of headers: 0x%x\n", layout->sizeOfHeaders);
  std::printf("checksum:        0x%08x (computed 0x%08x)\n", layout->checksum, computed);
  std::printf("cert table:      offset 0x%x size %u\n", layout->certTableOffset, layout->certTableSize);
  if (layout->hasPayload) {
    std::printf("payload:         offset 0x%llx size %llu\n", static_cast<unsigned long long>(layout->payloadOffset),
                static_cast<unsigned long long>(layout->payloadSize));
  } else {
    std::printf("payload:         none\n");
  }
  return 0;
}

int Digest(std::vector<std::string> args) {
  bool sha1 = false;
  std::vector<std::string> files;
  for (const auto& a : args) {
    if (a == "--sha1") {
      sha1 = true;
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 1) return Usage();
  std::string error;
  std::vector<uint8_t> file;
  if (!Read(files[0], &file, &error)) return Fail(error);
  auto digest = winsim::trust::ImageDigest(file, sha1 ? EVP_sha1() : EVP_sha256());
  if (!digest) return Fail(files[0] + " is not a PE image");
  std::printf("%s\n", winsim::trust::HexUpper(*digest).c_str());
  return 0;
}

int Extract(const std::string& path, const std::string& out) {
  std::string error;
  std::vector<uint8_t> file;
  if (!Read(path, &file, &error)) return Fail(error);
  auto layout = winsim::pe::ParseLayout(file.data(), file.size(), file.size(), nullptr);
  if (!layout || !layout->hasPayload) return Fail(path + " carries no payload");
  if (!Write(out, file.data() + layout->payloadOffset, layout->payloadSize, true, &error)) return Fail(error);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "wrap") return Wrap(args);
  if (command == "info" && args.size() == 1) return Info(args[0]);
  if (command == "digest") return Digest(args);
  if (command == "extract" && args.size() == 2) return Extract(args[0], args[1]);
  return Usage();
}
