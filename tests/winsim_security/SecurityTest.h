// Shared by the security tests: a fresh machine per test, and a check that every block the
// security functions hand out has been given back by the end of the test.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MachineTest.h"
#include "kernel/localmem.h"
#include "sddl.h"
#include "windows.h"

namespace winsim::test {

class SecurityTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    m_liveBlocks = LiveLocalBlocks();
  }
  void TearDown() override {
    EXPECT_EQ(LiveLocalBlocks(), m_liveBlocks) << "local blocks left unfreed";
    MachineTest::TearDown();
  }

 private:
  size_t m_liveBlocks = 0;
};

// The bytes of a SID or ACL as lower-case hexadecimal, for comparison with literals.
inline std::string Hex(const void* data, size_t size) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  const auto* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

// A SID's text through ConvertSidToStringSidW, as narrow text.
inline std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "<invalid: " + std::to_string(GetLastError()) + ">";
  std::string out;
  for (LPWSTR p = text; *p; ++p) out += static_cast<char>(*p);
  LocalFree(text);
  return out;
}

// A SID from its text, freed at the end of the scope.
class OwnedSid {
 public:
  explicit OwnedSid(const wchar_t* text) { ConvertStringSidToSidW(text, &m_sid); }
  ~OwnedSid() { LocalFree(m_sid); }
  OwnedSid(const OwnedSid&) = delete;
  OwnedSid& operator=(const OwnedSid&) = delete;
  PSID get() const { return m_sid; }

 private:
  PSID m_sid = nullptr;
};

}  // namespace winsim::test
