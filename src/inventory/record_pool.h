// Storage for the inventory's records. A process listing allocates thousands
// of records of a few kilobytes each at once and releases them together;
// the next listing needs about as many again. Taking them from large blocks
// that stay with the pool between listings spares the OS the page faults
// and page zeroing of fresh memory on every call, and the allocator the
// bookkeeping of thousands of small blocks.
#ifndef KELVANE_INVENTORY_RECORD_POOL_H_
#define KELVANE_INVENTORY_RECORD_POOL_H_

#include <cstddef>

namespace kelvane {

// Size of a pool block.
constexpr size_t kRecordBlockBytes = size_t{2} << 20;

// What a pool holds: the bytes of its blocks, and the most slot bytes it has
// had handed out at one time since it was created.
struct RecordPoolUsage {
  size_t reservedBytes = 0;
  size_t peakHandedOutBytes = 0;
  size_t blocks = 0;
};

// Slots of one fixed size, handed out in address order from blocks of
// kRecordBlockBytes (each exactly that size; all but the first taken from
// the OS on large pages where it offers them).
// A block whose slots are all released is handed out from again, from its
// start. Blocks stay with the pool while it is in use; when its last slot is
// released, the pool keeps the blocks that were in use since it was last
// empty (what the next listing will need again) and gives the others back.
// The bytes a pool holds thus never exceed what it handed out at once plus
// one partly used block. Contents of a slot are unspecified (a reused slot
// holds what its previous user left). Not thread-safe, like the rest of the
// inventory.
class RecordPool {
 public:
  // `slotSize` at most kRecordBlockBytes / 4.
  explicit constexpr RecordPool(size_t slotSize) : slotSize_(RoundUp(slotSize + kSlotPrefixBytes)) {}
  ~RecordPool();
  RecordPool(const RecordPool&) = delete;
  RecordPool& operator=(const RecordPool&) = delete;

  // An uninitialised slot of at least `slotSize` bytes, aligned to 16 bytes;
  // null when no memory is left.
  void* Allocate();
  // Gives back a slot from Allocate() of this pool; null does nothing.
  void Release(void* slot);

  RecordPoolUsage Usage() const;

 private:
  struct Block;
  // Every slot starts with the address of its block.
  static constexpr size_t kSlotPrefixBytes = 16;
  static constexpr size_t RoundUp(size_t size) { return (size + 63) & ~size_t{63}; }

  // The next block to hand slots out from after `current_` (a spare one of
  // the list, or a new one); null when no memory is left.
  Block* NextBlock();
  // Called when the pool has no slot out any more.
  void Trim();

  size_t slotSize_;
  Block* first_ = nullptr;    // every block of the pool, in the order taken
  Block* current_ = nullptr;  // the block slots are taken from, or null
  size_t next_ = 0;           // offset of its next free slot
  size_t live_ = 0;           // slots handed out and not yet released
  size_t peakLive_ = 0;
  size_t blocks_ = 0;
};

// The usage of the pools of module and process records.
RecordPoolUsage ModuleRecordPoolUsage();
RecordPoolUsage ProcessRecordPoolUsage();

}  // namespace kelvane

#endif  // KELVANE_INVENTORY_RECORD_POOL_H_
