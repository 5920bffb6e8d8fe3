// winsim reg: the round trip through the command, its output layout and its errors.
#include <gtest/gtest.h>

#include "MachineTest.h"
#include "windows.h"

namespace winsim::test {
namespace {

class RegCommandTest : public MachineTest {};

const char* kMissing = "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(RegCommandTest, AddThenQueryShowsEachTypeInRegLayout) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"/v", "Name", "/d", "hello world", "/f"},
           {"/v", "Count", "/t", "REG_DWORD", "/d", "26", "/f"},
           {"/v", "Big", "/t", "REG_QWORD", "/d", "0x100000000", "/f"},
           {"/v", "Blob", "/t", "REG_BINARY", "/d", "00ff10", "/f"},
           {"/v", "List", "/t", "REG_MULTI_SZ", "/d", "one\\0two", "/f"},
           {"/ve", "/d", "dflt", "/f"},
       }) {
    std::vector<std::string> full{"reg", "add", "HKLM\\SOFTWARE\\Vendor\\App"};
    full.insert(full.end(), args.begin(), args.end());
    auto r = Winsim(full);
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.output, "The operation completed successfully.\n");
  }
  ASSERT_EQ(Winsim({"reg", "add", "HKLM\\SOFTWARE\\Vendor\\App\\Sub", "/f"}).status, 0);

  auto q = Winsim({"reg", "query", "hklm\\SOFTWARE\\Vendor\\App"});
  ASSERT_EQ(q.status, 0) << q.errors;
  EXPECT_EQ(q.output,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\n"
            "    Name    REG_SZ    hello world\n"
            "    Count    REG_DWORD    0x1a\n"
            "    Big    REG_QWORD    0x100000000\n"
            "    Blob    REG_BINARY    00FF10\n"
            "    List    REG_MULTI_SZ    one\\0two\n"
            "    (Default)    REG_SZ    dflt\n"
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Sub\n");

  // What the command wrote is what a program reads.
  DWORD count = 0, cb = sizeof(count);
  EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Vendor\\App", L"count", RRF_RT_REG_DWORD, nullptr, &count,
                         &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 26u);

  auto one = Winsim({"reg", "query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App", "/v", "count"});
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(one.output, "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\n    Count    REG_DWORD    0x1a\n\n");
}

TEST_F(RegCommandTest, RecursiveQueryAndDeletes) {
  ASSERT_EQ(Winsim({"reg", "add", "HKLM\\SOFTWARE\\T\\A", "/v", "x", "/t", "REG_DWORD", "/d", "1", "/f"}).status, 0);
  ASSERT_EQ(Winsim({"reg", "add", "HKLM\\SOFTWARE\\T", "/v", "y", "/d", "why", "/f"}).status, 0);
  auto q = Winsim({"reg", "query", "HKLM\\SOFTWARE\\T", "/s"});
  EXPECT_EQ(q.output,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\T\n    y    REG_SZ    why\n\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\A\n    x    REG_DWORD    0x1\n\n");

  EXPECT_EQ(Winsim({"reg", "delete", "HKLM\\SOFTWARE\\T", "/v", "y", "/f"}).status, 0);
  auto gone = Winsim({"reg", "query", "HKLM\\SOFTWARE\\T", "/v", "y"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.errors, kMissing);

  // Without /f the command asks; no answer cancels.
  auto asked = Winsim({"reg", "delete", "HKLM\\SOFTWARE\\T"});
  EXPECT_NE(asked.status, 0);
  EXPECT_EQ(Winsim({"reg", "query", "HKLM\\SOFTWARE\\T"}).status, 0) << "still there";

  EXPECT_EQ(Winsim({"reg", "delete", "HKLM\\SOFTWARE\\T", "/f"}).status, 0);
  auto missing = Winsim({"reg", "query", "HKLM\\SOFTWARE\\T"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.errors, kMissing);
  EXPECT_EQ(Winsim({"reg", "delete", "HKLM\\SOFTWARE\\T", "/f"}).status, 1);
}

TEST_F(RegCommandTest, BadArgumentsGiveOneLineErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string errorStart;
  };
  std::vector<Case> cases = {
      {{"reg", "frob", "HKLM\\SOFTWARE"}, "ERROR: Invalid operation"},
      {{"reg", "query", "HKXX\\SOFTWARE"}, "ERROR: Invalid key name"},
      {{"reg", "query", "HKLM\\SOFTWARE", "/v"}, "ERROR: Invalid syntax."},
      {{"reg", "query", "HKLM\\SOFTWARE", "/v", "a", "/ve"}, "ERROR: Invalid syntax."},
      {{"reg", "add", "HKLM\\SOFTWARE\\X", "/v", "n", "/t", "REG_DWORD", "/d", "abc", "/f"}, "ERROR: Invalid data"},
      {{"reg", "add", "HKLM\\SOFTWARE\\X", "/v", "n", "/t", "REG_FOO", "/f"}, "ERROR: Invalid type"},
      {{"reg", "add", "HKLM\\TopLevel", "/f"}, "ERROR: Access is denied."},
  };
  for (auto& c : cases) {
    auto r = Winsim(c.args);
    EXPECT_EQ(r.status, 1) << c.args[1];
    EXPECT_EQ(r.errors.rfind(c.errorStart, 0), 0u) << r.errors;
  }
}

}  // namespace
}  // namespace winsim::test
