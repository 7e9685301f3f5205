// Memory exhaustion on demand for the tests of this suite: the suite's
// replacement of the global operator new fails one chosen allocation.
#ifndef KELVANE_TESTS_MARKUP_ALLOC_INJECTION_H_
#define KELVANE_TESTS_MARKUP_ALLOC_INJECTION_H_

namespace kelvane {
namespace testing {

// Makes the allocation after the next `allocations` ones (on this thread)
// fail with std::bad_alloc; negative: none fails.
void FailAllocationAfter(long allocations);
// Whether a failure was injected since the last FailAllocationAfter.
bool AllocationFailed();

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_MARKUP_ALLOC_INJECTION_H_
