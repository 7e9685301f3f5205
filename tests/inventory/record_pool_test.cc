// The record pool: slots never overlap, blocks are reused between listings
// and only the blocks a listing needed stay, and records taken with new are
// zero-filled like any other.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "inventory/modules.h"
#include "inventory/process_list.h"
#include "inventory/record_pool.h"

namespace kelvane {
namespace testing {
namespace {

constexpr size_t kSlot = 3712;  // 3662 bytes and the block prefix, rounded to 64
const size_t kPerBlock = (kRecordBlockBytes - 64) / kSlot;

std::vector<char*> Take(RecordPool& pool, size_t count) {
  std::vector<char*> slots;
  for (size_t i = 0; i < count; ++i) {
    char* slot = static_cast<char*>(pool.Allocate());
    EXPECT_NE(slot, nullptr);
    if (slot == nullptr) break;
    slots.push_back(slot);
  }
  return slots;
}

TEST(RecordPoolTest, SlotsAreDistinctAlignedAndSpanSeveralBlocks) {
  RecordPool pool(3662);
  std::vector<char*> slots = Take(pool, 3 * kPerBlock);
  for (size_t i = 0; i < slots.size(); ++i) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(slots[i]) % 16, 0u);
    std::memset(slots[i], static_cast<int>(i & 0xFF), 3662);  // the whole slot is usable
  }
  std::vector<char*> sorted = slots;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); ++i) {
    EXPECT_GE(sorted[i] - sorted[i - 1], static_cast<ptrdiff_t>(kSlot)) << i;
  }
  for (size_t i = 0; i < slots.size(); ++i) {
    EXPECT_EQ(static_cast<unsigned char>(slots[i][3661]), i & 0xFF) << i;  // nothing overwritten
  }
  EXPECT_EQ(pool.Usage().blocks, 3u);
  // Released in an order unrelated to the blocks.
  for (size_t i = 0; i < slots.size(); i += 2) pool.Release(slots[i]);
  for (size_t i = 1; i < slots.size(); i += 2) pool.Release(slots[i]);
  pool.Release(nullptr);
}

TEST(RecordPoolTest, ListingsReuseTheBlocksAndKeepOnlyWhatTheLastOneNeeded) {
  RecordPool pool(3662);
  // A large listing, then two small ones.
  std::vector<char*> first = Take(pool, 4 * kPerBlock + 1);
  EXPECT_EQ(pool.Usage().blocks, 5u);
  for (char* slot : first) pool.Release(slot);
  EXPECT_EQ(pool.Usage().blocks, 5u);  // every block was needed

  std::vector<char*> second = Take(pool, kPerBlock + 1);
  EXPECT_EQ(second.front(), first.front());  // the same memory again, from its start
  EXPECT_EQ(pool.Usage().blocks, 5u);        // nothing new while a listing runs
  for (char* slot : second) pool.Release(slot);
  EXPECT_EQ(pool.Usage().blocks, 2u);        // the unused three went back

  std::vector<char*> third = Take(pool, 3 * kPerBlock);
  EXPECT_EQ(pool.Usage().blocks, 3u);
  const RecordPoolUsage usage = pool.Usage();
  EXPECT_EQ(usage.peakHandedOutBytes, (4 * kPerBlock + 1) * kSlot);
  for (char* slot : third) pool.Release(slot);
}

TEST(RecordPoolTest, NeverHoldsMoreThanItHandsOutPlusOneBlock) {
  RecordPool pool(3662);
  size_t previous = 0;  // blocks kept after the previous listing
  for (size_t count : {size_t{1}, kPerBlock, kPerBlock + 1, 7 * kPerBlock + 3, 2 * kPerBlock, size_t{5}}) {
    const size_t needed = (count + kPerBlock - 1) / kPerBlock;
    std::vector<char*> slots = Take(pool, count);
    const RecordPoolUsage usage = pool.Usage();
    // Every block but the last is full, up to its few bytes too short for
    // another slot.
    EXPECT_LE(usage.reservedBytes, usage.peakHandedOutBytes + kRecordBlockBytes + usage.blocks * kSlot) << count;
    EXPECT_EQ(usage.blocks, std::max(previous, needed)) << count;
    for (char* slot : slots) pool.Release(slot);
    EXPECT_EQ(pool.Usage().blocks, needed) << count;  // after the listing: what it needed
    previous = needed;
  }
}

TEST(RecordPoolTest, AnEmptiedBlockIsHandedOutAgainWhileOthersLive) {
  RecordPool pool(3662);
  std::vector<char*> slots = Take(pool, 2 * kPerBlock);
  char* keep = slots.back();  // in the second block
  for (size_t i = 0; i + 1 < slots.size(); ++i) pool.Release(slots[i]);
  // The first block is empty, the second full: the next slot comes from
  // the first, with no new block.
  char* again = static_cast<char*>(pool.Allocate());
  EXPECT_EQ(again, slots.front());
  EXPECT_EQ(pool.Usage().blocks, 2u);
  pool.Release(again);
  pool.Release(keep);
}

TEST(RecordPoolTest, RecordsFromNewAreZeroFilledEvenInReusedMemory) {
  for (int round = 0; round < 2; ++round) {
    std::vector<ModuleRecord*> modules;
    for (int i = 0; i < 1200; ++i) {  // more than one block
      ModuleRecord* m = new (std::nothrow) ModuleRecord();
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->szName[0], u'\0');
      EXPECT_EQ(m->szModifyTime[260], u'\0');
      EXPECT_EQ(m->pNext, nullptr);
      m->szName[0] = u'x';
      m->szModifyTime[260] = u'y';
      modules.push_back(m);
    }
    for (ModuleRecord* m : modules) delete m;
  }

  ProcessRecord* record = new (std::nothrow) ProcessRecord();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->dwPID, 0u);
  EXPECT_EQ(record->pModules, nullptr);
  EXPECT_EQ(record->szUserName[0], u'\0');
  delete record;
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
