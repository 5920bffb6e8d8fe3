// The agent's trims: exactly the characters of the set, from the ends only.
#include "agent/StringTrim.h"

#include <gtest/gtest.h>

#include "agent/Agent.h"

namespace {

TEST(StringTrimTest, TheWhitespaceSetFromEitherEnd) {
  struct Case {
    std::wstring text, right, left, both;
  } cases[] = {
      {L"", L"", L"", L""},
      {L" \t\n\r\v\f", L"", L"", L""},
      {L"-LauchApp", L"-LauchApp", L"-LauchApp", L"-LauchApp"},
      {L" \t-LauchApp\r\n", L" \t-LauchApp", L"-LauchApp\r\n", L"-LauchApp"},
      {L"\f my notes.txt \v", L"\f my notes.txt", L"my notes.txt \v", L"my notes.txt"},
      // Other spaces are not in the set: no-break space, ideographic space, next line U+0085.
      {L"\x00a0x\x3000", L"\x00a0x\x3000", L"\x00a0x\x3000", L"\x00a0x\x3000"},
      {L"\x0085 x \x0085", L"\x0085 x \x0085", L"\x0085 x \x0085", L"\x0085 x \x0085"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TrimRight(c.text, AGENT_WHITESPACE), c.right);
    EXPECT_EQ(TrimLeft(c.text, AGENT_WHITESPACE), c.left);
    EXPECT_EQ(Trim(c.text, AGENT_WHITESPACE), c.both);
  }
  // Any set: the quote characters, say.
  EXPECT_EQ(Trim(L"\"\"a\"b\"", L"\""), L"a\"b");
}

}  // namespace
