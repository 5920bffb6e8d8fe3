// LocalAlloc, LocalFree and LocalSize over a table of live blocks.
#include "kernel/localmem.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "core/fault.h"
#include "windows.h"

namespace winsim {
namespace {

struct LocalHeap {
  std::mutex lock;
  std::unordered_map<void*, size_t> blocks;  // address -> requested size
};
// Left undestroyed at exit: blocks may still be freed by threads that outlive static destruction.
LocalHeap& TheHeap() {
  static LocalHeap* heap = new LocalHeap;
  return *heap;
}

}  // namespace

void* AllocateLocal(size_t bytes, bool zero) {
  // A zero-byte request still gives a distinct block, as Windows' fixed allocations do.
  void* block = zero ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!block) return nullptr;
  LocalHeap& heap = TheHeap();
  std::lock_guard<std::mutex> guard(heap.lock);
  heap.blocks[block] = bytes;
  return block;
}

bool FreeLocal(void* block) {
  LocalHeap& heap = TheHeap();
  {
    std::lock_guard<std::mutex> guard(heap.lock);
    auto it = heap.blocks.find(block);
    if (it == heap.blocks.end()) return false;
    heap.blocks.erase(it);
  }
  std::free(block);
  return true;
}

bool LocalBlockSize(void* block, size_t* bytes) {
  LocalHeap& heap = TheHeap();
  std::lock_guard<std::mutex> guard(heap.lock);
  auto it = heap.blocks.find(block);
  if (it == heap.blocks.end()) return false;
  *bytes = it->second;
  return true;
}

size_t LiveLocalBlocks() {
  LocalHeap& heap = TheHeap();
  std::lock_guard<std::mutex> guard(heap.lock);
  return heap.blocks.size();
}

}  // namespace winsim

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  WINSIM_FAULT_VALUE("LocalAlloc", nullptr);
  // LMEM_MODIFY belongs to LocalReAlloc only; LMEM_DISCARDABLE blocks need LMEM_MOVEABLE.
  if ((uFlags & ~static_cast<UINT>(LMEM_VALID_FLAGS)) != 0 || (uFlags & LMEM_MODIFY) != 0 ||
      ((uFlags & LMEM_DISCARDABLE) != 0 && (uFlags & LMEM_MOVEABLE) == 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* block = winsim::AllocateLocal(uBytes, (uFlags & LMEM_ZEROINIT) != 0);
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return block;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  WINSIM_FAULT_VALUE("LocalFree", hMem);
  if (hMem == nullptr) return nullptr;
  if (!winsim::FreeLocal(hMem)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return hMem;
  }
  return nullptr;
}

SIZE_T WINAPI LocalSize(HLOCAL hMem) {
  WINSIM_FAULT_VALUE("LocalSize", 0);
  size_t bytes = 0;
  if (hMem == nullptr || !winsim::LocalBlockSize(hMem, &bytes)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return bytes;
}
