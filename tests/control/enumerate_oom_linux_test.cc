// The process-id listing when memory runs out: it fails (it does not
// throw) and closes its /proc directory stream. Heap allocations of this
// test binary go through the counting operator new below, which fails the
// n-th allocation of the calling thread while a test has armed it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

#if defined(__GNUC__) && !defined(__clang__)
// The replacement pair below is malloc/free underneath, which GCC cannot see.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {
thread_local long g_failingAllocation = 0;  // 0: none fails
}  // namespace

// Every unaligned form is replaced, so that each allocation and its release
// meet in malloc and free (a sanitizer's own forms would not match them).
void* operator new(std::size_t size) {
  if (g_failingAllocation > 0 && --g_failingAllocation == 0) throw std::bad_alloc();
  if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace kelvane {
namespace testing {
namespace {

TEST(EnumerateOutOfMemoryTest, ListingFailsAndClosesItsDirectoryWhenMemoryRunsOut) {
  platform::Platform* os = platform::Current();
  const int before = CountOpenDescriptors();
  int failures = 0;
  for (long n = 1; n <= 8; ++n) {
    std::vector<uint32_t> pids = {7};
    bool listed = false;
    bool threw = false;
    g_failingAllocation = n;
    try {
      listed = os->EnumerateProcessIds(&pids);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    const bool armedStill = g_failingAllocation != 0;
    g_failingAllocation = 0;
    EXPECT_FALSE(threw) << "allocation " << n;
    if (!listed) {
      ++failures;
      EXPECT_EQ((std::vector<uint32_t>{7}), pids) << "allocation " << n;
    } else {
      EXPECT_TRUE(armedStill) << "allocation " << n << " failed, yet the listing succeeded";
    }
  }
  EXPECT_GE(failures, 1);
  EXPECT_EQ(before, CountOpenDescriptors());
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
