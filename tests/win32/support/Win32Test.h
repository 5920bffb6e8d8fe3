// Tests that use only Win32 calls: the same source runs on winsim and, cross-built, on Windows or
// under Wine. Where Wine answers differently from Windows' documentation, the case is skipped
// there with its reason, and winsim is held to the documentation.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "PlatformTest.h"

// Skips the rest of a test under Wine; the reason says where Wine departs from Windows.
#define SKIP_UNDER_WINE(reason)                              \
  do {                                                       \
    if (::torvex::test::OnWine()) GTEST_SKIP() << (reason);  \
  } while (0)

namespace torvex::test {

class Win32Test : public PlatformTest {
 protected:
  // A new, empty folder under the temporary folder, unique to this test; its Windows path
  // without a trailing backslash.
  std::wstring NewFolder(const std::wstring& name = L"t");
};

// A name no other test run has used: a fresh GUID's text.
std::wstring UniqueName();

// Waits up to timeoutMs (real time) for the condition, polling.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = 10000) {
  ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!condition()) {
    if (GetTickCount64() > end) return false;
    Sleep(10);
  }
  return true;
}

// An owned kernel handle.
class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : m_h(h) {}
  ~Handle() {
    if (m_h != nullptr && m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return m_h; }
  bool valid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_h;
};

// Creates or replaces a file with the given bytes.
bool WriteBytes(const std::wstring& path, const std::string& bytes);
// A whole file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::wstring& path);

}  // namespace torvex::test
