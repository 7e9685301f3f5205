#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/large_buffer.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

namespace kelvane {
namespace platform {

namespace {

uintptr_t PageMask() {
  static const long size = sysconf(_SC_PAGESIZE);
  return static_cast<uintptr_t>(size > 0 ? size : 4096) - 1;
}

}  // namespace

void AdviseLargeBuffer(void* data, size_t bytes) {
  const uintptr_t pageMask = PageMask();
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + pageMask) & ~pageMask;
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~pageMask;
  if (end <= begin) return;
  // Transparent huge pages set to "madvise" need this; failure only means
  // ordinary pages.
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* AllocateLargeBlock(bool largePages) {
  constexpr uintptr_t kAlignMask = kLargeBlockBytes - 1;
  // Anonymous mappings of a multiple of the huge-page size come aligned to
  // it on current kernels.
  void* block = mmap(nullptr, kLargeBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  if ((reinterpret_cast<uintptr_t>(block) & kAlignMask) != 0) {
    // Elsewhere: map twice the size for a moment and keep only the aligned
    // block inside, giving the rest back at once.
    munmap(block, kLargeBlockBytes);
    void* wide = mmap(nullptr, 2 * kLargeBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (wide == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(wide);
    const uintptr_t aligned = (start + kAlignMask) & ~kAlignMask;
    if (aligned > start) munmap(wide, aligned - start);
    const uintptr_t tail = aligned + kLargeBlockBytes;
    const uintptr_t end = start + 2 * kLargeBlockBytes;
    if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
    block = reinterpret_cast<void*>(aligned);
  }
  if (largePages) AdviseLargeBuffer(block, kLargeBlockBytes);
  return block;
}

void FreeLargeBlock(void* block) {
  if (block != nullptr) munmap(block, kLargeBlockBytes);
}

void PrefaultBuffer(void* data, size_t bytes) {
  if (bytes == 0) return;
  // The partial pages at either end belong to the same mapping as the
  // buffer. Populating never changes what the pages hold; kernels without
  // the request refuse it, and the pages then come one fault at a time.
  const uintptr_t pageMask = PageMask();
  uintptr_t begin = reinterpret_cast<uintptr_t>(data) & ~pageMask;
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes + pageMask) & ~pageMask;
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

}  // namespace platform
}  // namespace kelvane
