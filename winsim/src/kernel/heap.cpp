// The process heap. Blocks come from the C library's allocator, so that the sanitizers see every
// block the product obtains: a block never freed is a leak, a block used after HeapFree an error.
// The heap keeps the set of blocks it handed out, which lets HeapFree tell a live block from one
// freed already or never this heap's without reading memory that may no longer be the heap's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "core/fault.h"
#include "windows.h"

namespace {

struct BlockHeader {
  uint64_t reserved;
  uint64_t size;
};
static_assert(sizeof(BlockHeader) == 16, "blocks keep the 16-byte alignment of Windows' x64 heap");

// Windows' heap refuses requests near the size of the address space; asking the C library for
// them would only make the sanitizers stop the process.
constexpr SIZE_T kLargestBlock = SIZE_T{1} << 40;

// The process heap's handle: an address that no other kind of handle can have.
char g_processHeap;

bool IsProcessHeap(HANDLE heap) { return heap == static_cast<HANDLE>(&g_processHeap); }

BlockHeader* HeaderOf(LPVOID block) { return reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - sizeof(BlockHeader)); }

struct LiveBlocks {
  std::mutex lock;
  std::unordered_set<void*> blocks;
};
// Never destroyed: blocks may be freed while the process ends.
LiveBlocks& Live() {
  static LiveBlocks* live = new LiveBlocks();
  return *live;
}

}  // namespace

HANDLE WINAPI GetProcessHeap(void) {
  WINSIM_FAULT_VALUE("GetProcessHeap", nullptr);
  return &g_processHeap;
}

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  // HeapAlloc reports failure by NULL alone: Windows does not set the last error for it.
  if (winsim::CheckFault("HeapAlloc")) return nullptr;
  if (!IsProcessHeap(hHeap) || dwBytes > kLargestBlock) return nullptr;
  // A zero-byte request gives a valid, distinct block on Windows, as it does here.
  size_t total = sizeof(BlockHeader) + dwBytes;
  void* raw = (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, total) : std::malloc(total);
  if (!raw) return nullptr;
  auto* header = static_cast<BlockHeader*>(raw);
  header->reserved = 0;
  header->size = dwBytes;
  void* block = static_cast<char*>(raw) + sizeof(BlockHeader);
  std::lock_guard<std::mutex> guard(Live().lock);
  Live().blocks.insert(block);
  return block;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem) {
  WINSIM_FAULT_BOOL("HeapFree");
  if (!IsProcessHeap(hHeap)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Freeing NULL has no effect and succeeds.
  if (!lpMem) return TRUE;
  {
    std::lock_guard<std::mutex> guard(Live().lock);
    if (Live().blocks.erase(lpMem) == 0) {
      // A block freed twice, or never this heap's: 64-bit Windows processes end on heap
      // corruption (STATUS_HEAP_CORRUPTION) rather than carry on with a damaged heap.
      std::fprintf(stderr, "winsim: HeapFree of %p, which is not a block of the process heap: heap corruption\n",
                   lpMem);
      std::abort();
    }
  }
  std::free(HeaderOf(lpMem));
  return TRUE;
}
