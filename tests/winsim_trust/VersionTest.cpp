// VerifyVersionInfoW against the machine's version: the hierarchical order of major, minor and
// service pack, the other members, argument errors, and `winsim version set`.
#include <gtest/gtest.h>

#include "MachineTest.h"
#include "kernel/version.h"
#include "windows.h"

namespace winsim::test {
namespace {

constexpr DWORD kVersionMask = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR;

// VerifyVersionInfoW for major.minor SP n with one operator on all three, as the version helper
// functions build it.
BOOL AtLeast(DWORD major, DWORD minor, WORD servicePack, BYTE op = VER_GREATER_EQUAL) {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  info.dwMajorVersion = major;
  info.dwMinorVersion = minor;
  info.wServicePackMajor = servicePack;
  DWORDLONG mask = 0;
  VER_SET_CONDITION(mask, VER_MAJORVERSION, op);
  VER_SET_CONDITION(mask, VER_MINORVERSION, op);
  VER_SET_CONDITION(mask, VER_SERVICEPACKMAJOR, op);
  return VerifyVersionInfoW(&info, kVersionMask, mask);
}

std::wstring RegText(const wchar_t* name) {
  wchar_t buffer[64];
  DWORD size = sizeof(buffer);
  LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", name,
                                RRF_RT_REG_SZ, nullptr, buffer, &size);
  return status == ERROR_SUCCESS ? std::wstring(buffer) : L"<" + std::to_wstring(status) + L">";
}

class VersionTest : public MachineTest {};

TEST_F(VersionTest, ConditionMaskHoldsThreeBitsPerMember) {
  EXPECT_EQ(VerSetConditionMask(0, VER_MINORVERSION, VER_GREATER_EQUAL), 0x3ull);
  EXPECT_EQ(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), 0x3ull << 3);
  EXPECT_EQ(VerSetConditionMask(0, VER_SERVICEPACKMAJOR, VER_LESS), 0x4ull << 15);
  EXPECT_EQ(VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL), 0x1ull << 21);
  DWORDLONG mask = 0;
  VER_SET_CONDITION(mask, VER_MAJORVERSION, VER_GREATER);
  VER_SET_CONDITION(mask, VER_BUILDNUMBER, VER_EQUAL);
  EXPECT_EQ(mask, (0x2ull << 3) | (0x1ull << 6));
}

TEST_F(VersionTest, MajorMinorAndServicePackCompareInThatOrder) {
  struct Case {
    DWORD haveMajor, haveMinor;
    WORD haveSp;
    DWORD wantMajor, wantMinor;
    WORD wantSp;
    BYTE op;
    bool met;
  } cases[] = {
      // The documented examples: at least 5.1 SP1.
      {6, 0, 0, 5, 1, 1, VER_GREATER_EQUAL, true},   // major greater: testing stops
      {5, 2, 0, 5, 1, 1, VER_GREATER_EQUAL, true},   // minor greater: testing stops
      {5, 0, 2, 5, 1, 1, VER_GREATER_EQUAL, false},  // minor smaller: the service pack does not help
      // The product's question: Windows 8 (6.2 SP0) or later?
      {10, 0, 0, 6, 2, 0, VER_GREATER_EQUAL, true},
      {6, 3, 0, 6, 2, 0, VER_GREATER_EQUAL, true},
      {6, 2, 0, 6, 2, 0, VER_GREATER_EQUAL, true},
      {6, 1, 1, 6, 2, 0, VER_GREATER_EQUAL, false},
      {6, 1, 9, 6, 2, 0, VER_GREATER_EQUAL, false},
      {6, 2, 0, 6, 2, 1, VER_GREATER_EQUAL, false},  // equal so far, the service pack decides
      // The major's operator governs the lower members.
      {6, 2, 0, 6, 2, 0, VER_GREATER, false},
      {6, 2, 1, 6, 2, 0, VER_GREATER, true},
      {6, 1, 1, 6, 2, 0, VER_LESS, true},
      {10, 0, 0, 6, 2, 0, VER_LESS_EQUAL, false},
      {6, 1, 1, 6, 1, 1, VER_EQUAL, true},
      {6, 1, 0, 6, 1, 1, VER_EQUAL, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.haveMajor) + "." + std::to_string(c.haveMinor) + " SP" + std::to_string(c.haveSp) +
                 " vs " + std::to_string(c.wantMajor) + "." + std::to_string(c.wantMinor) + " SP" +
                 std::to_string(c.wantSp) + " op " + std::to_string(c.op));
    SetMachineVersion(c.haveMajor, c.haveMinor, c.haveSp, std::nullopt);
    SetLastError(0);
    EXPECT_EQ(AtLeast(c.wantMajor, c.wantMinor, c.wantSp, c.op) != FALSE, c.met);
    EXPECT_EQ(GetLastError(), c.met ? 0u : static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
  }
}

TEST_F(VersionTest, OtherMembersAndArgumentErrors) {
  // A fresh machine: Windows 10, build 19045, a workstation.
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  info.dwBuildNumber = 19045;
  info.wProductType = VER_NT_WORKSTATION;
  info.dwPlatformId = VER_PLATFORM_WIN32_NT;
  DWORDLONG mask = 0;
  VER_SET_CONDITION(mask, VER_BUILDNUMBER, VER_GREATER_EQUAL);
  VER_SET_CONDITION(mask, VER_PRODUCT_TYPE, VER_EQUAL);
  VER_SET_CONDITION(mask, VER_PLATFORMID, VER_EQUAL);
  EXPECT_TRUE(VerifyVersionInfoW(&info, VER_BUILDNUMBER | VER_PRODUCT_TYPE | VER_PLATFORMID, mask));
  info.dwBuildNumber = 22000;
  SetLastError(0);
  EXPECT_FALSE(VerifyVersionInfoW(&info, VER_BUILDNUMBER, mask));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
  info.wProductType = VER_NT_SERVER;
  EXPECT_FALSE(VerifyVersionInfoW(&info, VER_PRODUCT_TYPE, mask));

  SetLastError(0);
  EXPECT_FALSE(VerifyVersionInfoW(&info, 0, mask));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
  EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
  // A member to test without an operator.
  EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_BUILDNUMBER, mask));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));
  EXPECT_FALSE(VerifyVersionInfoW(nullptr, VER_BUILDNUMBER, mask));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_ARGUMENTS));

  // The major version's operator is enough: it governs the minor version too.
  DWORDLONG majorOnly = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
  info.dwMajorVersion = 6;
  info.dwMinorVersion = 2;
  SetMachineVersion(6, 3, 0, std::nullopt);
  EXPECT_TRUE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, majorOnly));
  SetMachineVersion(6, 1, 0, std::nullopt);
  EXPECT_FALSE(VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION, majorOnly));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
}

TEST_F(VersionTest, WinsimVersionSetWritesTheRegistryAsThatWindowsKeepsIt) {
  EXPECT_EQ(Winsim({"version"}).output, "10.0 build 19045 service pack 0\n");
  EXPECT_EQ(RegText(L"CurrentVersion"), L"6.3");
  auto set = Winsim({"version", "set", "6.1", "--sp", "1"});
  ASSERT_EQ(set.status, 0) << set.errors;
  EXPECT_EQ(set.output, "6.1 build 19045 service pack 1\n");
  EXPECT_EQ(RegText(L"CurrentVersion"), L"6.1");
  EXPECT_EQ(RegText(L"CSDVersion"), L"Service Pack 1");
  EXPECT_FALSE(AtLeast(6, 2, 0));
  EXPECT_TRUE(AtLeast(6, 1, 1));

  ASSERT_EQ(Winsim({"version", "set", "10.0", "--build", "22631"}).status, 0);
  EXPECT_EQ(RegText(L"CurrentBuildNumber"), L"22631");
  EXPECT_EQ(RegText(L"CSDVersion"), L"<2>") << "no service pack: no value";
  EXPECT_TRUE(AtLeast(6, 2, 0));
  EXPECT_EQ(ReadMachineVersion().build, 22631u);
  EXPECT_EQ(Winsim({"version", "set", "seven"}).status, 1);
}

}  // namespace
}  // namespace winsim::test
