// The process-id listing when memory runs out: it fails (it does not
// throw) and closes its /proc directory stream. Heap allocations of this
// test binary go through the operator new of support/alloc_injection.cc,
// which fails the n-th allocation of the calling thread while a test has
// armed it.
#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "platform/platform.h"
#include "support/alloc_injection.h"
#include "support/test_support.h"

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
    FailAllocationAfter(n - 1);
    try {
      listed = os->EnumerateProcessIds(&pids);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    const bool armedStill = !AllocationFailed();
    FailAllocationAfter(-1);
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
