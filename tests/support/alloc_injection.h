// Memory exhaustion on demand: the suites that link alloc_injection.cc have
// the global operator new replaced by one that fails a chosen allocation.
#ifndef KELVANE_TESTS_SUPPORT_ALLOC_INJECTION_H_
#define KELVANE_TESTS_SUPPORT_ALLOC_INJECTION_H_

namespace kelvane {
namespace testing {

// Makes the allocation after the next `allocations` ones on this thread
// fail with std::bad_alloc (or a null result for the nothrow forms), and
// clears AllocationFailed(). Negative: none fails from now on
// (AllocationFailed() keeps its answer).
void FailAllocationAfter(long allocations);
// Whether an allocation was failed since the last arming.
bool AllocationFailed();

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_SUPPORT_ALLOC_INJECTION_H_
