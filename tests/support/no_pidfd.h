// A kernel without pidfds, for tests: a seccomp filter that makes
// pidfd_open and pidfd_send_signal fail with ENOSYS, as on kernels before
// 5.3 (or with EPERM, as container runtimes' filters answer). Linux only.
#ifndef KELVANE_TESTS_SUPPORT_NO_PIDFD_H_
#define KELVANE_TESTS_SUPPORT_NO_PIDFD_H_

#include <errno.h>

namespace kelvane {
namespace testing {

// Installs the filter on the calling thread; threads and processes it
// starts afterwards, and programs it executes, inherit it. It cannot be
// removed again, so install it only in a process of its own (a forked
// helper, or the no_pidfd_launcher). False when the kernel refused it.
bool InstallNoPidfdFilter(int error = ENOSYS);

// True when the pidfd calls fail with `error` in this process (the filter is
// in force, or, for ENOSYS, the kernel has no pidfds).
bool PidfdCallsRefused(int error = ENOSYS);

// The environment variable the launcher sets for the suites it runs, so
// that they can check the filter is in force.
constexpr const char* kNoPidfdVariable = "KELVANE_NO_PIDFD";

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_SUPPORT_NO_PIDFD_H_
