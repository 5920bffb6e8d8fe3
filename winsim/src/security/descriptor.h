// Security descriptors as bytes. The absolute form (SECURITY_DESCRIPTOR) holds pointers to its
// owner, group, SACL and DACL; the self-relative form (SE_SELF_RELATIVE set) holds, after a 20-byte
// header, the parts themselves at offsets from its start (0 for an absent or NULL part).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace winsim::security {

struct DescriptorParts {
  uint16_t control = 0;
  const uint8_t* owner = nullptr;  // a valid SID, or absent
  const uint8_t* group = nullptr;
  const uint8_t* sacl = nullptr;   // a valid ACL; null for an absent or NULL list (see control)
  const uint8_t* dacl = nullptr;
};

// Reads and checks a descriptor in either form; a self-relative one must lie within `available`
// bytes. False when it is not a valid descriptor.
bool ReadDescriptor(const void* descriptor, size_t available, DescriptorParts* parts);
// The self-relative bytes of valid parts: header, SACL, DACL, owner, group.
std::vector<uint8_t> SelfRelativeBytes(const DescriptorParts& parts);

}  // namespace winsim::security
