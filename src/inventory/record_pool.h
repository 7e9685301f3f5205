// Storage for the inventory's records. A process listing allocates thousands
// of records of a few kilobytes each at once and releases them together;
// taking them from large blocks that the OS may back with large pages saves
// most of the page faults that filling them would otherwise cost.
#ifndef KELVANE_INVENTORY_RECORD_POOL_H_
#define KELVANE_INVENTORY_RECORD_POOL_H_

#include <cstddef>

namespace kelvane {

// Slots of one fixed size, handed out in address order from blocks of
// kRecordBlockBytes. A block goes back to the system as soon as its last
// slot is released; a released slot is not reused before that. Not
// thread-safe, like the rest of the inventory.
class RecordPool {
 public:
  // `slotSize` at most kRecordBlockBytes / 4.
  explicit constexpr RecordPool(size_t slotSize) : slotSize_(RoundUp(slotSize)) {}
  RecordPool(const RecordPool&) = delete;
  RecordPool& operator=(const RecordPool&) = delete;

  // An uninitialised slot of at least `slotSize` bytes, aligned for any
  // type; null when no memory is left.
  void* Allocate();
  // Gives back a slot from Allocate() of this pool; null does nothing.
  void Release(void* slot);

 private:
  static constexpr size_t RoundUp(size_t size) { return (size + 63) & ~size_t{63}; }

  size_t slotSize_;
  char* current_ = nullptr;  // the block slots are taken from, or null
  size_t next_ = 0;          // offset of its next free slot
};

// Size and alignment of a pool block.
constexpr size_t kRecordBlockBytes = size_t{2} << 20;

}  // namespace kelvane

#endif  // KELVANE_INVENTORY_RECORD_POOL_H_
