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

// Buffers at least this large are worth mapping in before they are filled.
constexpr size_t kPrefaultBufferBytes = size_t{64} << 10;

// Asks the OS to map in now, writable, every page of the `bytes` at `data`
// (memory this process owns and is about to write), in one request instead
// of one page fault per page while the buffer is filled. Contents are not
// changed. Has no effect where the OS offers no such request; never fails.
void PrefaultBuffer(void* data, size_t bytes);

// Size of the blocks of AllocateLargeBlock.
constexpr size_t kLargeBlockBytes = size_t{2} << 20;

// A block of kLargeBlockBytes of fresh memory, aligned to its size where the
// OS can place it so. With `largePages`, backed with large pages where the
// OS offers them (one page fault instead of hundreds while it is filled,
// but the whole block is cleared at the first touch); otherwise only the
// pages touched are mapped in. Exactly the block is reserved: never twice
// its size for the sake of alignment. Null when no memory is left. Release
// it with FreeLargeBlock.
void* AllocateLargeBlock(bool largePages);
// Gives back a block from AllocateLargeBlock; null does nothing.
void FreeLargeBlock(void* block);

}  // namespace platform
}  // namespace kelvane

#endif  // KELVANE_PLATFORM_LARGE_BUFFER_H_
