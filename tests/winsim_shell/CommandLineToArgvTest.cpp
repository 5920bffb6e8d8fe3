// CommandLineToArgvW: Windows' documented examples, the different rules of argument 0, the empty
// line, the result block and its failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MachineTest.h"
#include "core/fault.h"
#include "shellapi.h"
#include "windows.h"

namespace winsim::test {
namespace {

struct SplitCase {
  const char* name;
  const wchar_t* line;
  std::vector<std::wstring> argv;
};

class SplitTable : public MachineTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SplitTable, Arguments) {
  const SplitCase& c = GetParam();
  int count = -1;
  LPWSTR* argv = CommandLineToArgvW(c.line, &count);
  ASSERT_NE(argv, nullptr);
  std::vector<std::wstring> got(argv, argv + count);
  EXPECT_EQ(got, c.argv);
  EXPECT_EQ(argv[count], nullptr) << "the array ends with a null entry";
  EXPECT_EQ(LocalFree(argv), nullptr) << "one block, freed with LocalFree";
}

INSTANTIATE_TEST_SUITE_P(
    CommandLineToArgvW, SplitTable,
    ::testing::Values(
        // Microsoft's documented examples, behind a program name.
        SplitCase{"QuotedArgument", L"prog \"abc\" d e", {L"prog", L"abc", L"d", L"e"}},
        SplitCase{"BackslashesWithoutQuote", L"prog a\\\\b d\"e f\"g h", {L"prog", L"a\\\\b", L"de fg", L"h"}},
        SplitCase{"OddBackslashesBeforeQuote", L"prog a\\\\\\\"b c d", {L"prog", L"a\\\"b", L"c", L"d"}},
        SplitCase{"EvenBackslashesBeforeQuote", L"prog a\\\\\\\\\"b c\" d e", {L"prog", L"a\\\\b c", L"d", L"e"}},
        SplitCase{"DoubledQuoteInsideQuotes", L"prog a\"b\"\" c d", {L"prog", L"ab\" c d"}},
        // More of the same rules.
        SplitCase{"OnlyDoubledQuotes", L"prog \"\"\"\"", {L"prog", L"\""}},
        SplitCase{"EmptyArgument", L"prog \"\" x", {L"prog", L"", L"x"}},
        SplitCase{"TabsAndRunsOfBlanks", L"prog\ta \t  b   ", {L"prog", L"a", L"b"}},
        SplitCase{"TrailingBackslashes", L"prog a\\\\ \\", {L"prog", L"a\\\\", L"\\"}},
        SplitCase{"UnclosedQuote", L"prog \"open to the end ", {L"prog", L"open to the end "}},
        SplitCase{"QuotedBlanksAroundACommandWord", L"prog \" -LauchApp \" notepad.exe",
                  {L"prog", L" -LauchApp ", L"notepad.exe"}},
        SplitCase{"ParametersInQuotes", L"\"C:\\A\\Quenlet.exe\" -LauchApp notepad.exe \"C:\\My Docs\\a.txt\"",
                  {L"C:\\A\\Quenlet.exe", L"-LauchApp", L"notepad.exe", L"C:\\My Docs\\a.txt"}},
        // Argument 0: a quote only opens or closes, backslashes are never escapes.
        SplitCase{"QuotedProgramWithBlanks", L"\"C:\\Program Files\\T\\Quenlet.exe\" -LaunchTorvexUtilityAppx",
                  {L"C:\\Program Files\\T\\Quenlet.exe", L"-LaunchTorvexUtilityAppx"}},
        SplitCase{"UnquotedProgramWithBlanks", L"C:\\Program Files\\T\\Quenlet.exe -LaunchTorvexUtilityAppx",
                  {L"C:\\Program", L"Files\\T\\Quenlet.exe", L"-LaunchTorvexUtilityAppx"}},
        SplitCase{"ProgramEndingInBackslashQuote", L"\"C:\\x\\\" y", {L"C:\\x\\", L"y"}},
        SplitCase{"ProgramBackslashesBeforeQuote", L"C:\\a\\\\\"b c\" d", {L"C:\\a\\\\b c", L"d"}},
        SplitCase{"ProgramDoubledQuote", L"\"a\"\"b c\" d", {L"ab c", L"d"}},
        SplitCase{"ProgramOnly", L"C:\\prog.exe", {L"C:\\prog.exe"}}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

using CommandLineToArgvTest = MachineTest;

// An empty line stands for the current program: one argument, its full path.
TEST_F(CommandLineToArgvTest, EmptyLineGivesTheProgramPath) {
  WCHAR module[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
  ASSERT_GT(length, 0u);
  for (LPCWSTR line : {L"", static_cast<LPCWSTR>(nullptr)}) {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(line, &count);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(std::wstring(argv[0]), std::wstring(module, length));
    LocalFree(argv);
  }
  // When the program's path cannot be had, neither can the split.
  InjectFault("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY, 1);
  int count = -1;
  SetLastError(0);
  EXPECT_EQ(CommandLineToArgvW(L"", &count), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST_F(CommandLineToArgvTest, Failures) {
  SetLastError(0);
  EXPECT_EQ(CommandLineToArgvW(L"prog a", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  InjectFault("CommandLineToArgvW", ERROR_NOT_ENOUGH_MEMORY, 1);
  int count = -1;
  EXPECT_EQ(CommandLineToArgvW(L"prog a", &count), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(count, -1) << "a failed split leaves the count alone";

  // The block comes from LocalAlloc, so its failure is the split's.
  InjectFault("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(CommandLineToArgvW(L"prog a", &count), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  LPWSTR* argv = CommandLineToArgvW(L"prog a", &count);
  ASSERT_NE(argv, nullptr);
  EXPECT_EQ(count, 2);
  LocalFree(argv);
}

}  // namespace
}  // namespace winsim::test
