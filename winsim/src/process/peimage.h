// PE images on winsim. A program or library for the simulated machine may be a PE32+ image whose one
// section, ".wsim", carries the native Linux executable or shared object. The image is a valid PE
// file (DOS header and stub, PE signature, COFF header for AMD64, PE32+ optional header with the
// sixteen data directories, one section header), so that Authenticode signing tools treat it as any
// Windows image and its digest and signature are real; winsim's process creation and loader unpack
// the payload and run it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim::pe {

// The layout of an image as far as winsim needs it. Offsets are file offsets.
struct ImageLayout {
  uint32_t ntHeaders = 0;         // e_lfanew: where "PE\0\0" is
  bool pe32Plus = false;          // optional header magic 0x20B (else PE32, 0x10B)
  uint16_t machine = 0;
  uint16_t characteristics = 0;   // COFF characteristics (IMAGE_FILE_DLL …)
  uint16_t subsystem = 0;
  uint32_t sizeOfHeaders = 0;
  uint32_t checksumOffset = 0;    // the optional header's CheckSum field (4 bytes)
  uint32_t checksum = 0;
  uint32_t securityEntryOffset = 0;  // the Security (certificate table) data directory entry (8 bytes)
  uint32_t certTableOffset = 0;   // the certificate table: a file offset, not an RVA
  uint32_t certTableSize = 0;
  bool hasPayload = false;        // a ".wsim" section
  uint64_t payloadOffset = 0;
  uint64_t payloadSize = 0;
  bool IsDll() const { return (characteristics & 0x2000) != 0; }
};

// True when the bytes begin like a PE file ("MZ").
bool LooksLikePe(const uint8_t* data, size_t size);
// True when the bytes begin like an ELF file.
bool LooksLikeElf(const uint8_t* data, size_t size);

// Parses the headers; nullopt with a reason when the bytes are not a well-formed PE image. `size`
// is the whole file's size; `data` must hold at least the headers (the first 4096 bytes, or the
// whole file when smaller, always do).
std::optional<ImageLayout> ParseLayout(const uint8_t* data, size_t available, uint64_t fileSize, std::string* why);

struct WrapOptions {
  bool dll = false;  // IMAGE_FILE_DLL, DLL image base and characteristics
  bool gui = false;  // IMAGE_SUBSYSTEM_WINDOWS_GUI instead of the console subsystem
};
// A PE32+ image that carries `payload` in its ".wsim" section, with its checksum computed.
std::vector<uint8_t> Wrap(const std::vector<uint8_t>& payload, const WrapOptions& options);

// The PE checksum as the image loader computes it: 16-bit one's-complement-style sum of the file
// with the CheckSum field taken as zero, plus the file length.
uint32_t ComputeChecksum(const uint8_t* data, size_t size, uint32_t checksumOffset);

// Reads a file whole; nullopt with errno set when it cannot be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& linuxPath);

// The libraries a native shared object or program names as its dependencies (the DT_NEEDED entries
// of an ELF file's dynamic section, in their order); empty for a file without any. nullopt with
// errno set when the file cannot be read or is no well-formed 64-bit ELF file.
std::optional<std::vector<std::string>> ElfDependencies(const std::string& linuxPath);

// What a file on the machine is, judged from its first bytes.
enum class FileKind { Elf, PeWithPayload, PeOther, Script, Other, Unreadable };
struct FileProbe {
  FileKind kind = FileKind::Other;
  ImageLayout layout;  // for PE files
};
FileProbe ProbeFile(const std::string& linuxPath);

// The payload of a winsim PE image as a native file of its own, unpacked once per machine into
// <machine>/cache/images/ under the SHA-256 of its bytes, so that every process of the machine
// that runs or loads the image shares one copy. Creation is race-free between processes: the
// file is written under a temporary name and linked into place whole. A non-empty `instance` gets
// a copy of its own: the loader passes the library's path, so that two library files with the same
// payload are two modules, as on Windows, and not one mapping. Returns the Linux path, or nullopt
// with errno set.
std::optional<std::string> UnpackPayload(const std::string& linuxPath, const std::string& instance = "");

}  // namespace winsim::pe
