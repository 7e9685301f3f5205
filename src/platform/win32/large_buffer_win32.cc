#include "platform/large_buffer.h"

namespace kelvane {
namespace platform {

// Large pages need a privilege and a special allocation on Windows; the
// hint has no equivalent for an ordinary heap buffer.
void AdviseLargeBuffer(void*, size_t) {}

// Pages are faulted in as the buffer is filled.
void PrefaultBuffer(void*, size_t) {}

}  // namespace platform
}  // namespace kelvane
