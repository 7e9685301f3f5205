#include "inventory/record_pool.h"

#include <cstdint>
#include <new>

#include "inventory/modules.h"
#include "inventory/process_list.h"
#include "platform/large_buffer.h"

namespace kelvane {

// At the start of every block.
struct RecordPool::Block {
  Block* next;  // the pool's next block, or null
  size_t live;  // slots handed out and not yet released
  bool used;    // handed out from since the pool was last empty
};

namespace {

static_assert(kRecordBlockBytes == platform::kLargeBlockBytes, "a pool block is one large block");
constexpr size_t kHeaderBytes = 64;
static_assert(sizeof(void*) <= 16, "a slot's block address fits its prefix");

}  // namespace

RecordPool::~RecordPool() {
  while (first_ != nullptr) {
    Block* next = first_->next;
    kelvane::platform::FreeLargeBlock(first_);
    first_ = next;
  }
}

RecordPool::Block* RecordPool::NextBlock() {
  // A block without live slots is handed out from again, from its start.
  for (Block* block = first_; block != nullptr; block = block->next) {
    if (block != current_ && block->live == 0) return block;
  }
  // A listing written out record by record uses a few slots of the first
  // block only: ordinary pages map in just those. A pool that needs more
  // blocks fills them, and large pages map each in at once.
  void* memory = platform::AllocateLargeBlock(/*largePages=*/blocks_ > 0);
  if (memory == nullptr) return nullptr;
  Block* block = static_cast<Block*>(memory);
  block->next = nullptr;
  block->live = 0;
  block->used = false;
  // Appended, so that blocks are handed out in the order they were taken.
  Block** link = &first_;
  while (*link != nullptr) link = &(*link)->next;
  *link = block;
  ++blocks_;
  return block;
}

void* RecordPool::Allocate() {
  if (current_ == nullptr || next_ + slotSize_ > kRecordBlockBytes) {
    Block* block = NextBlock();
    if (block == nullptr) return nullptr;
    current_ = block;
    next_ = kHeaderBytes;
  }
  current_->used = true;
  char* slot = reinterpret_cast<char*>(current_) + next_;
  next_ += slotSize_;
  *reinterpret_cast<Block**>(slot) = current_;
  ++current_->live;
  if (++live_ > peakLive_) peakLive_ = live_;
  return slot + kSlotPrefixBytes;
}

void RecordPool::Release(void* slot) {
  if (slot == nullptr) return;
  Block* block = *reinterpret_cast<Block**>(static_cast<char*>(slot) - kSlotPrefixBytes);
  --live_;
  if (--block->live == 0 && block == current_) next_ = kHeaderBytes;
  if (live_ == 0) Trim();
}

void RecordPool::Trim() {
  // Blocks not needed since the pool was last empty go back; the others
  // stay for the next listing, which starts again at the first block.
  Block** link = &first_;
  while (*link != nullptr) {
    Block* block = *link;
    if (!block->used) {
      *link = block->next;
      platform::FreeLargeBlock(block);
      --blocks_;
      continue;
    }
    block->used = false;
    link = &block->next;
  }
  current_ = first_;
  next_ = kHeaderBytes;
}

RecordPoolUsage RecordPool::Usage() const {
  RecordPoolUsage usage;
  usage.reservedBytes = blocks_ * kRecordBlockBytes;
  usage.peakHandedOutBytes = peakLive_ * slotSize_;
  usage.blocks = blocks_;
  return usage;
}

namespace {

// Constant-initialised, so records can be allocated at any point of the
// library's life; their blocks go back when the library is unloaded.
kelvane::RecordPool g_modulePool(sizeof(ModuleRecord));
kelvane::RecordPool g_processPool(sizeof(ProcessRecord));

}  // namespace

void* ModuleRecord::operator new(size_t size) {
  void* record = operator new(size, std::nothrow);
  if (record == nullptr) throw std::bad_alloc();
  return record;
}

void* ModuleRecord::operator new(size_t size, const std::nothrow_t&) noexcept {
  return size == sizeof(ModuleRecord) ? g_modulePool.Allocate() : nullptr;
}

void ModuleRecord::operator delete(void* record) noexcept { g_modulePool.Release(record); }

void* ProcessRecord::operator new(size_t size) {
  void* record = operator new(size, std::nothrow);
  if (record == nullptr) throw std::bad_alloc();
  return record;
}

void* ProcessRecord::operator new(size_t size, const std::nothrow_t&) noexcept {
  return size == sizeof(ProcessRecord) ? g_processPool.Allocate() : nullptr;
}

void ProcessRecord::operator delete(void* record) noexcept { g_processPool.Release(record); }

RecordPoolUsage ModuleRecordPoolUsage() { return g_modulePool.Usage(); }
RecordPoolUsage ProcessRecordPoolUsage() { return g_processPool.Usage(); }

}  // namespace kelvane
