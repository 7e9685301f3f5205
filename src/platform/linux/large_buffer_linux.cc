#include <stdint.h>
#include <sys/mman.h>

#include "platform/large_buffer.h"

namespace kelvane {
namespace platform {

void AdviseLargeBuffer(void* data, size_t bytes) {
  const uintptr_t pageMask = 4095;
  uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + pageMask) & ~pageMask;
  uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~pageMask;
  if (end <= begin) return;
  // Transparent huge pages set to "madvise" need this; failure only means
  // ordinary pages.
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace platform
}  // namespace kelvane
