// The user MD5 text and the companion app's process query with the platform's own CNG and tool
// help snapshots: on winsim and, cross-built, under Wine, the answers are the same.
#include "monitor/SessionQueries.h"

#include <string>
#include <vector>

#include "Win32Test.h"

namespace torvex::test {
namespace {

class SessionQueriesTest : public Win32Test {};

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<unsigned long>(c) < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// Digests computed outside the product, with Python:
//   hashlib.md5(("PalverOrchind" + name).encode("utf-16-le")).hexdigest()
TEST_F(SessionQueriesTest, MD5TextsEqualAnIndependentDigest) {
  struct Case {
    const wchar_t* name;
    const char* md5;
  };
  const std::vector<Case> cases = {
      {L"alice", "85a6851cea42e759834ae49f1fcb9cdf"},
      {L"Alice", "0223e3995d82125289017b6ba81e146d"},  // first byte 0x02
      {L"ALICE", "a9efef64ad706b2773bbd540165e1b27"},
      {L"user3", "082cfb33f40691095cb38e8413805bbf"},
      {L"J\u00fcrgen", "30bc1d6029e0b666420b04d4346d5cd8"},
      {L"\u5c71\u7530\u592a\u90ce", "f5ec222c68d045b6e75818d6a6a038f0"},
      {L"\U0001D49Cda", "69cd3d3fdcc0f186b24f9e2056522b22"},  // a surrogate pair in UTF-16
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.md5);
    std::wstring md5 = L"stale";
    EXPECT_TRUE(GetMD5(c.name, md5));
    EXPECT_EQ(Narrow(md5), c.md5);
  }
  std::wstring md5 = L"stale";
  EXPECT_FALSE(GetMD5(L"", md5));
  EXPECT_EQ(md5, L"");
}

TEST_F(SessionQueriesTest, NoAppProcessRunning) {
  // The walk meets at least this test program, whose image is not the app's.
  EXPECT_FALSE(IsExistUtilityProcess());
}

}  // namespace
}  // namespace torvex::test
