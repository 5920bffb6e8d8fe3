// On Windows (and under Wine) the tests run on the machine as it is, in folders of their own.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

namespace torvex::test {

class PlatformTest : public ::testing::Test {};

// Wine's ntdll exports its version; Windows' does not.
inline bool OnWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace torvex::test
