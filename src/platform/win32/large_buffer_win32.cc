#include <windows.h>

#include "platform/large_buffer.h"

namespace kelvane {
namespace platform {

// Large pages need a privilege and a special allocation on Windows; the
// hint has no equivalent for an ordinary heap buffer.
void AdviseLargeBuffer(void*, size_t) {}

// Pages are faulted in as the buffer is filled.
void PrefaultBuffer(void*, size_t) {}

// Exactly the block is reserved and committed (aligned to the allocation
// granularity), which a 32-bit address space can afford.
void* AllocateLargeBlock(bool) {
  return VirtualAlloc(nullptr, kLargeBlockBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeLargeBlock(void* block) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace platform
}  // namespace kelvane
