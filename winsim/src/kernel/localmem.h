// The local heap behind LocalAlloc and LocalFree. Every live block is known, so that LocalFree can
// refuse a pointer that is not one (as Windows does with ERROR_INVALID_HANDLE) and tests can see
// what a caller forgot to free.
#pragma once
#include <cstddef>

namespace winsim {

// A block of the local heap, zeroed or not; nullptr when out of memory.
void* AllocateLocal(size_t bytes, bool zero);
// Frees a live block; false when the pointer is not one.
bool FreeLocal(void* block);
// The size asked for a live block; false when the pointer is not one.
bool LocalBlockSize(void* block, size_t* bytes);
// The number of live blocks of this process.
size_t LiveLocalBlocks();

}  // namespace winsim
