// The process heap: blocks of the requested size, zeroed on request, NULL without a last error when
// a block cannot be had, freeing, wrong heap handles, injected faults, and the end of a process that
// frees a block twice.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "MachineTest.h"
#include "core/fault.h"
#include "windows.h"

namespace winsim::test {
namespace {

using HeapTest = MachineTest;

TEST_F(HeapTest, BlocksAreUsableAndZeroedOnRequest) {
  HANDLE heap = GetProcessHeap();
  ASSERT_NE(heap, nullptr);
  EXPECT_EQ(GetProcessHeap(), heap);

  // Dirty blocks first, so that zeroed blocks of the same sizes are likely to reuse their memory.
  const SIZE_T sizes[] = {1, 16, 100, 4096};
  for (SIZE_T size : sizes) {
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, 0, size));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xCD, size);
    EXPECT_TRUE(HeapFree(heap, 0, block));
  }
  for (SIZE_T size : sizes) {
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, size));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(block, block + size), std::vector<unsigned char>(size, 0)) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << "16-byte aligned as on x64 Windows";
    EXPECT_TRUE(HeapFree(heap, 0, block));
  }

  // Zero bytes still give distinct blocks that must be freed.
  void* a = HeapAlloc(heap, 0, 0);
  void* b = HeapAlloc(heap, 0, 0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_TRUE(HeapFree(heap, 0, a));
  EXPECT_TRUE(HeapFree(heap, 0, b));
}

TEST_F(HeapTest, FailuresReportAsWindowsDoes) {
  HANDLE heap = GetProcessHeap();
  HANDLE notAHeap = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(notAHeap, nullptr);

  // HeapAlloc answers NULL and leaves the last error alone.
  SetLastError(1234);
  EXPECT_EQ(HeapAlloc(heap, 0, ~SIZE_T{0} - 64), nullptr);
  EXPECT_EQ(HeapAlloc(notAHeap, 0, 16), nullptr);
  EXPECT_EQ(GetLastError(), 1234u);

  // Freeing nothing succeeds; the wrong heap handle does not.
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
  void* block = HeapAlloc(heap, 0, 8);
  ASSERT_NE(block, nullptr);
  SetLastError(0);
  EXPECT_FALSE(HeapFree(notAHeap, 0, block));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(HeapFree(heap, 0, block));
  EXPECT_TRUE(CloseHandle(notAHeap));
}

TEST_F(HeapTest, InjectedFaults) {
  SetLastError(0);
  InjectFault("GetProcessHeap", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(GetProcessHeap(), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HANDLE heap = GetProcessHeap();
  ASSERT_NE(heap, nullptr);

  SetLastError(77);
  InjectFault("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(HeapAlloc(heap, HEAP_ZERO_MEMORY, 32), nullptr);
  EXPECT_EQ(GetLastError(), 77u) << "HeapAlloc sets no last error, injected or not";
  void* block = HeapAlloc(heap, 0, 32);
  ASSERT_NE(block, nullptr);

  InjectFault("HeapFree", ERROR_INVALID_PARAMETER, 1);
  SetLastError(0);
  EXPECT_FALSE(HeapFree(heap, 0, block));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // The block survived the failed free.
  EXPECT_TRUE(HeapFree(heap, 0, block));
}

TEST(HeapDeathTest, FreeingABlockTwiceOrAForeignPointerEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // 64-bit Windows processes end on heap corruption. The heap knows its live blocks, so neither
  // case reads memory that is not a live block.
  EXPECT_DEATH(
      {
        HANDLE heap = GetProcessHeap();
        void* block = HeapAlloc(heap, 0, 24);
        HeapFree(heap, 0, block);
        HeapFree(heap, 0, block);
      },
      "heap corruption");
  EXPECT_DEATH(
      {
        static char notABlock[64];
        HeapFree(GetProcessHeap(), 0, notABlock + 16);
      },
      "heap corruption");
}

}  // namespace
}  // namespace winsim::test
