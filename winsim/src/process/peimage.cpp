#include "process/peimage.h"

#include <elf.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/machine.h"

namespace winsim::pe {
namespace {

// Values of the PE/COFF format (Microsoft's "PE Format" page).
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileLargeAddressAware = 0x0020;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kSubsystemGui = 2;
constexpr uint16_t kSubsystemConsole = 3;
constexpr uint16_t kDllHighEntropyVa = 0x0020;
constexpr uint16_t kDllDynamicBase = 0x0040;
constexpr uint16_t kDllNxCompat = 0x0100;
constexpr uint16_t kDllTerminalServerAware = 0x8000;
constexpr uint32_t kScnInitializedData = 0x00000040;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kNtHeadersOffset = 0x80;
constexpr uint32_t kCoffSize = 20;
constexpr uint32_t kOptionalHeaderSize = 240;  // PE32+ with sixteen data directories
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kSecurityDirectory = 4;
constexpr char kPayloadSection[8] = {'.', 'w', 's', 'i', 'm', 0, 0, 0};

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

std::optional<ImageLayout> Reject(std::string* why, const char* reason) {
  if (why) *why = reason;
  return std::nullopt;
}

}  // namespace

bool LooksLikePe(const uint8_t* data, size_t size) { return size >= 2 && data[0] == 'M' && data[1] == 'Z'; }

bool LooksLikeElf(const uint8_t* data, size_t size) {
  return size >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F';
}

std::optional<ImageLayout> ParseLayout(const uint8_t* data, size_t available, uint64_t fileSize, std::string* why) {
  if (available < 64 || !LooksLikePe(data, available)) return Reject(why, "no DOS header");
  ImageLayout l;
  l.ntHeaders = Get32(data + 60);
  uint64_t nt = l.ntHeaders;
  if (nt + 4 + kCoffSize > available) return Reject(why, "the NT headers lie outside the file");
  if (std::memcmp(data + nt, "PE\0\0", 4) != 0) return Reject(why, "no PE signature");
  const uint8_t* coff = data + nt + 4;
  l.machine = Get16(coff);
  uint16_t sections = Get16(coff + 2);
  uint16_t optionalSize = Get16(coff + 16);
  l.characteristics = Get16(coff + 18);
  uint64_t opt = nt + 4 + kCoffSize;
  if (optionalSize < 2 || opt + optionalSize > available) return Reject(why, "the optional header lies outside the file");
  const uint8_t* o = data + opt;
  uint16_t magic = Get16(o);
  if (magic != kMagicPe32 && magic != kMagicPe32Plus) return Reject(why, "unknown optional header magic");
  l.pe32Plus = magic == kMagicPe32Plus;
  // The data directories follow the Windows-specific fields, which are 16 bytes longer in PE32+.
  uint32_t countOffset = l.pe32Plus ? 108 : 92;
  if (optionalSize < countOffset + 4) return Reject(why, "the optional header is too short");
  l.sizeOfHeaders = Get32(o + 60);
  l.checksumOffset = static_cast<uint32_t>(opt + 64);
  l.checksum = Get32(o + 64);
  l.subsystem = Get16(o + 68);
  uint32_t directories = Get32(o + countOffset);
  uint32_t dirOffset = countOffset + 4;
  if (directories > kSecurityDirectory && dirOffset + 8 * (kSecurityDirectory + 1) <= optionalSize) {
    l.securityEntryOffset = static_cast<uint32_t>(opt + dirOffset + 8 * kSecurityDirectory);
    l.certTableOffset = Get32(data + l.securityEntryOffset);
    l.certTableSize = Get32(data + l.securityEntryOffset + 4);
  }
  uint64_t table = opt + optionalSize;
  for (uint16_t i = 0; i < sections; ++i) {
    uint64_t at = table + static_cast<uint64_t>(i) * kSectionHeaderSize;
    if (at + kSectionHeaderSize > available) return Reject(why, "the section table lies outside the file");
    const uint8_t* s = data + at;
    if (std::memcmp(s, kPayloadSection, 8) != 0) continue;
    uint32_t virtualSize = Get32(s + 8);
    uint32_t rawSize = Get32(s + 16);
    uint32_t rawOffset = Get32(s + 20);
    if (virtualSize > rawSize || static_cast<uint64_t>(rawOffset) + virtualSize > fileSize) {
      return Reject(why, "the payload section lies outside the file");
    }
    l.hasPayload = true;
    l.payloadOffset = rawOffset;
    l.payloadSize = virtualSize;
    break;
  }
  return l;
}

uint32_t ComputeChecksum(const uint8_t* data, size_t size, uint32_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < size; i += 2) {
    if (i >= checksumOffset && i < static_cast<size_t>(checksumOffset) + 4) continue;
    uint32_t word = data[i];
    if (i + 1 < size) word |= static_cast<uint32_t>(data[i + 1]) << 8;
    sum += word;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + size);
}

std::vector<uint8_t> Wrap(const std::vector<uint8_t>& payload, const WrapOptions& options) {
  const uint32_t headersEnd = kNtHeadersOffset + 4 + kCoffSize + kOptionalHeaderSize + kSectionHeaderSize;
  const uint32_t sizeOfHeaders = static_cast<uint32_t>(AlignUp(headersEnd, kFileAlignment));
  const uint32_t rawSize = static_cast<uint32_t>(AlignUp(payload.size(), kFileAlignment));
  std::vector<uint8_t> b(sizeOfHeaders + rawSize, 0);

  // DOS header: the fields a DOS loader reads, and e_lfanew.
  b[0] = 'M';
  b[1] = 'Z';
  Put16(b, 2, 0x90);     // bytes on the last page
  Put16(b, 4, 3);        // pages
  Put16(b, 8, 4);        // header size in paragraphs: the stub starts at 0x40
  Put16(b, 12, 0xFFFF);  // maximum extra paragraphs
  Put16(b, 16, 0xB8);    // initial SP
  Put16(b, 24, 0x40);    // relocation table offset
  Put32(b, 60, kNtHeadersOffset);
  // DOS stub: push cs; pop ds; mov dx,0Eh; mov ah,9; int 21h (print the text); mov ax,4C01h; int 21h.
  const uint8_t stub[] = {0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21};
  std::memcpy(&b[0x40], stub, sizeof(stub));
  const char text[] = "This program cannot be run in DOS mode.\r\r\n$";
  std::memcpy(&b[0x40 + sizeof(stub)], text, sizeof(text) - 1);

  size_t nt = kNtHeadersOffset;
  std::memcpy(&b[nt], "PE\0\0", 4);
  size_t coff = nt + 4;
  Put16(b, coff, kMachineAmd64);
  Put16(b, coff + 2, 1);  // one section
  Put16(b, coff + 16, kOptionalHeaderSize);
  uint16_t characteristics = kFileExecutableImage | kFileLargeAddressAware;
  if (options.dll) characteristics |= kFileDll;
  Put16(b, coff + 18, characteristics);

  size_t o = coff + kCoffSize;
  Put16(b, o, kMagicPe32Plus);
  b[o + 2] = 14;  // linker version
  Put32(b, o + 8, rawSize);  // size of initialised data
  Put32(b, o + 20, kSectionAlignment);  // base of code: where the first section would be
  Put64(b, o + 24, options.dll ? 0x180000000ull : 0x140000000ull);
  Put32(b, o + 32, kSectionAlignment);
  Put32(b, o + 36, kFileAlignment);
  Put16(b, o + 40, 6);  // operating system version 6.0
  Put16(b, o + 48, 6);  // subsystem version 6.0
  Put32(b, o + 56, static_cast<uint32_t>(kSectionAlignment + AlignUp(payload.size() ? payload.size() : 1, kSectionAlignment)));
  Put32(b, o + 60, sizeOfHeaders);
  Put16(b, o + 68, options.gui ? kSubsystemGui : kSubsystemConsole);
  uint16_t dllCharacteristics = kDllHighEntropyVa | kDllDynamicBase | kDllNxCompat;
  if (!options.dll) dllCharacteristics |= kDllTerminalServerAware;
  Put16(b, o + 70, dllCharacteristics);
  Put64(b, o + 72, 0x100000);  // stack reserve
  Put64(b, o + 80, 0x1000);    // stack commit
  Put64(b, o + 88, 0x100000);  // heap reserve
  Put64(b, o + 96, 0x1000);    // heap commit
  Put32(b, o + 108, 16);       // sixteen data directories, all empty: no certificate table yet

  size_t s = o + kOptionalHeaderSize;
  std::memcpy(&b[s], kPayloadSection, 8);
  Put32(b, s + 8, static_cast<uint32_t>(payload.size()));
  Put32(b, s + 12, kSectionAlignment);
  Put32(b, s + 16, rawSize);
  Put32(b, s + 20, sizeOfHeaders);
  Put32(b, s + 36, kScnInitializedData | kScnMemRead);

  if (!payload.empty()) std::memcpy(&b[sizeOfHeaders], payload.data(), payload.size());
  uint32_t checksumOffset = static_cast<uint32_t>(o + 64);
  Put32(b, checksumOffset, ComputeChecksum(b.data(), b.size(), checksumOffset));
  return b;
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& linuxPath) {
  int fd = open(linuxPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // Read straight into a vector of the file's size (grown if the file grows meanwhile), so that a
  // large image is neither copied nor reallocated on the way.
  struct stat st;
  size_t expected = fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  std::vector<uint8_t> out(expected + 1);
  size_t done = 0;
  for (;;) {
    if (done == out.size()) out.resize(out.size() + 65536);
    ssize_t n = read(fd, out.data() + done, out.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      errno = saved;
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  out.resize(done);
  return out;
}

std::optional<std::vector<std::string>> ElfDependencies(const std::string& linuxPath) {
  auto file = ReadWholeFile(linuxPath);
  if (!file) return std::nullopt;
  const std::vector<uint8_t>& f = *file;
  auto malformed = []() -> std::optional<std::vector<std::string>> {
    errno = ENOEXEC;
    return std::nullopt;
  };
  // Whole structures only: every offset the headers give is checked against the file's size.
  auto within = [&f](uint64_t offset, uint64_t size) { return offset <= f.size() && size <= f.size() - offset; };
  if (!LooksLikeElf(f.data(), f.size()) || f.size() < sizeof(Elf64_Ehdr) || f[EI_CLASS] != ELFCLASS64) {
    return malformed();
  }
  Elf64_Ehdr header;
  std::memcpy(&header, f.data(), sizeof(header));
  if (header.e_phentsize != sizeof(Elf64_Phdr) || !within(header.e_phoff, uint64_t{header.e_phnum} * sizeof(Elf64_Phdr))) {
    return malformed();
  }
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  if (header.e_phnum) std::memcpy(segments.data(), f.data() + header.e_phoff, header.e_phnum * sizeof(Elf64_Phdr));
  // The dynamic section names its string table by address: the loadable segment that maps that
  // address tells where it is in the file.
  auto fileOffsetOf = [&segments](uint64_t address) -> std::optional<uint64_t> {
    for (const auto& s : segments) {
      if (s.p_type == PT_LOAD && address >= s.p_vaddr && address - s.p_vaddr < s.p_filesz) {
        return s.p_offset + (address - s.p_vaddr);
      }
    }
    return std::nullopt;
  };
  std::vector<std::string> names;
  for (const auto& s : segments) {
    if (s.p_type != PT_DYNAMIC) continue;
    if (!within(s.p_offset, s.p_filesz)) return malformed();
    size_t count = s.p_filesz / sizeof(Elf64_Dyn);
    std::vector<Elf64_Dyn> entries(count);
    if (count) std::memcpy(entries.data(), f.data() + s.p_offset, count * sizeof(Elf64_Dyn));
    std::optional<uint64_t> strtab;
    uint64_t strsz = 0;
    for (const auto& e : entries) {
      if (e.d_tag == DT_NULL) break;
      if (e.d_tag == DT_STRTAB) strtab = fileOffsetOf(e.d_un.d_ptr);
      if (e.d_tag == DT_STRSZ) strsz = e.d_un.d_val;
    }
    if (!strtab || !within(*strtab, strsz)) return malformed();
    for (const auto& e : entries) {
      if (e.d_tag == DT_NULL) break;
      if (e.d_tag != DT_NEEDED) continue;
      if (e.d_un.d_val >= strsz) return malformed();
      const char* start = reinterpret_cast<const char*>(f.data() + *strtab + e.d_un.d_val);
      size_t length = strnlen(start, strsz - e.d_un.d_val);
      if (length == strsz - e.d_un.d_val) return malformed();
      names.emplace_back(start, length);
    }
    break;
  }
  return names;
}

FileProbe ProbeFile(const std::string& linuxPath) {
  FileProbe probe;
  int fd = open(linuxPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    probe.kind = FileKind::Unreadable;
    return probe;
  }
  struct stat st;
  std::vector<uint8_t> head(65536);
  ssize_t n = fstat(fd, &st) == 0 ? pread(fd, head.data(), head.size(), 0) : -1;
  int saved = errno;
  close(fd);
  if (n < 0) {
    errno = saved;
    probe.kind = FileKind::Unreadable;
    return probe;
  }
  size_t got = static_cast<size_t>(n);
  if (LooksLikeElf(head.data(), got)) {
    probe.kind = FileKind::Elf;
  } else if (got >= 2 && head[0] == '#' && head[1] == '!') {
    probe.kind = FileKind::Script;
  } else if (LooksLikePe(head.data(), got)) {
    auto layout = ParseLayout(head.data(), got, static_cast<uint64_t>(st.st_size), nullptr);
    probe.kind = layout && layout->hasPayload ? FileKind::PeWithPayload : FileKind::PeOther;
    if (layout) probe.layout = *layout;
  }
  return probe;
}

std::optional<std::string> UnpackPayload(const std::string& linuxPath, const std::string& instance) {
  int fd = open(linuxPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::vector<uint8_t> head(65536);
  ssize_t n = fstat(fd, &st) == 0 ? pread(fd, head.data(), head.size(), 0) : -1;
  std::optional<ImageLayout> layout;
  if (n > 0) layout = ParseLayout(head.data(), static_cast<size_t>(n), static_cast<uint64_t>(st.st_size), nullptr);
  if (!layout || !layout->hasPayload) {
    close(fd);
    errno = ENOEXEC;
    return std::nullopt;
  }
  std::vector<uint8_t> payload(layout->payloadSize);
  size_t done = 0;
  while (done < payload.size()) {
    ssize_t got = pread(fd, payload.data() + done, payload.size() - done, static_cast<off_t>(layout->payloadOffset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(fd);
      errno = EIO;
      return std::nullopt;
    }
    done += static_cast<size_t>(got);
  }
  close(fd);
  if (!LooksLikeElf(payload.data(), payload.size())) {
    errno = ENOEXEC;
    return std::nullopt;
  }

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestSize = 0;
  if (!EVP_Digest(payload.data(), payload.size(), digest, &digestSize, EVP_sha256(), nullptr)) {
    errno = ENOMEM;
    return std::nullopt;
  }
  static const char* kHex = "0123456789abcdef";
  std::string name;
  for (unsigned int i = 0; i < digestSize; ++i) {
    name.push_back(kHex[digest[i] >> 4]);
    name.push_back(kHex[digest[i] & 15]);
  }
  if (!instance.empty()) {
    unsigned char tag[EVP_MAX_MD_SIZE];
    unsigned int tagSize = 0;
    EVP_Digest(instance.data(), instance.size(), tag, &tagSize, EVP_sha256(), nullptr);
    name.push_back('-');
    for (unsigned int i = 0; i < 8 && i < tagSize; ++i) {
      name.push_back(kHex[tag[i] >> 4]);
      name.push_back(kHex[tag[i] & 15]);
    }
  }
  std::string folder = MachineDir() + "/cache/images";
  std::string target = folder + "/" + name;
  struct stat existing;
  if (stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
      static_cast<uint64_t>(existing.st_size) == payload.size()) {
    return target;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string temp = target + ".XXXXXX";
  int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) return std::nullopt;
  done = 0;
  bool ok = fchmod(out, 0755) == 0;
  while (ok && done < payload.size()) {
    ssize_t put = write(out, payload.data() + done, payload.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      ok = false;
      break;
    }
    done += static_cast<size_t>(put);
  }
  int saved = errno;
  if (close(out) != 0) ok = false;
  // link() publishes the whole file under its final name or fails because another process
  // published the same bytes first; either way the name now holds the payload.
  if (ok && link(temp.c_str(), target.c_str()) != 0 && errno != EEXIST) {
    saved = errno;
    ok = false;
  }
  unlink(temp.c_str());
  if (!ok) {
    errno = saved ? saved : EIO;
    return std::nullopt;
  }
  return target;
}

}  // namespace winsim::pe
