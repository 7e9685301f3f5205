// The global operator new of the suites that test memory exhaustion: it
// fails the allocation chosen with FailAllocationAfter and is otherwise
// malloc.
#include "support/alloc_injection.h"

#include <cstdlib>
#include <new>

namespace {
// Allocations left before the one that fails; negative: none fails.
thread_local long g_allocationsBeforeFailure = -1;
thread_local bool g_failed = false;
}  // namespace

namespace kelvane {
namespace testing {

void FailAllocationAfter(long allocations) {
  if (allocations >= 0) g_failed = false;
  g_allocationsBeforeFailure = allocations;
}

bool AllocationFailed() { return g_failed; }

}  // namespace testing
}  // namespace kelvane

void* operator new(size_t size) {
  if (g_allocationsBeforeFailure == 0) {
    g_allocationsBeforeFailure = -1;
    g_failed = true;
    throw std::bad_alloc();
  }
  if (g_allocationsBeforeFailure > 0) --g_allocationsBeforeFailure;
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return ::operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
