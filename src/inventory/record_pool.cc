#include "inventory/record_pool.h"

#include <cstdint>
#include <new>

#include "inventory/modules.h"
#include "inventory/process_list.h"
#include "platform/large_buffer.h"

namespace kelvane {

namespace {

// At the start of every block. Blocks are aligned to their size, so the
// block of a slot is found by masking its address.
struct BlockHeader {
  void* allocation;  // what operator new returned (the block lies inside)
  size_t live;       // slots handed out and not yet released
};
constexpr size_t kHeaderBytes = 64;
static_assert(sizeof(BlockHeader) <= kHeaderBytes, "block header fits its room");

BlockHeader* HeaderOf(void* slot) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(slot);
  return reinterpret_cast<BlockHeader*>(address & ~(uintptr_t{kRecordBlockBytes} - 1));
}

// A new block aligned to its size, or null. Twice the size is asked for so
// that an aligned block fits; the untouched rest costs address space only.
char* NewBlock() {
  void* allocation = ::operator new(2 * kRecordBlockBytes, std::nothrow);
  if (allocation == nullptr) return nullptr;
  const uintptr_t address = reinterpret_cast<uintptr_t>(allocation);
  const uintptr_t aligned = (address + kRecordBlockBytes - 1) & ~(uintptr_t{kRecordBlockBytes} - 1);
  char* block = reinterpret_cast<char*>(aligned);
  platform::AdviseLargeBuffer(block, kRecordBlockBytes);
  BlockHeader* header = reinterpret_cast<BlockHeader*>(block);
  header->allocation = allocation;
  header->live = 0;
  return block;
}

void FreeBlock(char* block) { ::operator delete(reinterpret_cast<BlockHeader*>(block)->allocation); }

}  // namespace

void* RecordPool::Allocate() {
  if (current_ == nullptr || next_ + slotSize_ > kRecordBlockBytes) {
    char* block = NewBlock();
    if (block == nullptr) return nullptr;
    // A full block stays until its last slot is released.
    current_ = block;
    next_ = kHeaderBytes;
  }
  void* slot = current_ + next_;
  next_ += slotSize_;
  ++reinterpret_cast<BlockHeader*>(current_)->live;
  return slot;
}

void RecordPool::Release(void* slot) {
  if (slot == nullptr) return;
  BlockHeader* header = HeaderOf(slot);
  if (--header->live != 0) return;
  char* block = reinterpret_cast<char*>(header);
  if (block == current_) current_ = nullptr;
  FreeBlock(block);
}

}  // namespace kelvane

namespace {

// Constant-initialised, so records can be allocated at any point of the
// library's life; nothing to tear down at unload.
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
