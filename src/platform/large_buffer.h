// Memory hint for the few very large buffers the library fills (the text of
// a big response document). Kept apart from Platform: it is a hint with no
// result, needed before any Platform is chosen, and never faked by tests.
#ifndef KELVANE_PLATFORM_LARGE_BUFFER_H_
#define KELVANE_PLATFORM_LARGE_BUFFER_H_

#include <cstddef>

namespace kelvane {
namespace platform {

// Buffers at least this large are worth the hint.
constexpr size_t kLargeBufferBytes = size_t{4} << 20;

// Asks the OS to back the `bytes` at `data`, not yet touched, with large
// pages where it can (fewer page faults while the buffer is filled). Has no
// effect where the OS offers no such hint; never fails.
void AdviseLargeBuffer(void* data, size_t bytes);

}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_LARGE_BUFFER_H_
