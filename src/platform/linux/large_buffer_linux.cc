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
