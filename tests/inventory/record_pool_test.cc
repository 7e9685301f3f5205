// The record pool: slots never overlap, blocks come and go with their
// slots, and records taken with new are zero-filled like any other.
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

TEST(RecordPoolTest, SlotsAreDistinctAlignedAndSpanSeveralBlocks) {
  RecordPool pool(3662);
  const size_t perBlock = kRecordBlockBytes / 3712;  // slot size rounded to 64
  std::vector<char*> slots;
  for (size_t i = 0; i < 3 * perBlock; ++i) {
    char* slot = static_cast<char*>(pool.Allocate());
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(slot) % 64, 0u);
    std::memset(slot, static_cast<int>(i & 0xFF), 3662);  // the whole slot is usable
    slots.push_back(slot);
  }
  std::vector<char*> sorted = slots;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 1; i < sorted.size(); ++i) {
    // Slots of one block are 3712 bytes apart; blocks do not overlap.
    EXPECT_GE(sorted[i] - sorted[i - 1], 3712) << i;
  }
  for (size_t i = 0; i < slots.size(); ++i) {
    EXPECT_EQ(static_cast<unsigned char>(slots[i][3661]), i & 0xFF) << i;  // nothing overwritten
  }
  // Released in an order unrelated to the blocks: every block goes back when
  // its last slot does (a leak checker would report a block that stays).
  for (size_t i = 0; i < slots.size(); i += 2) pool.Release(slots[i]);
  for (size_t i = 1; i < slots.size(); i += 2) pool.Release(slots[i]);
  pool.Release(nullptr);
}

TEST(RecordPoolTest, AnEmptiedBlockIsNotHandedOutAgain) {
  RecordPool pool(100);
  void* first = pool.Allocate();
  ASSERT_NE(first, nullptr);
  pool.Release(first);
  // The block went back; a new slot is valid memory wherever it lies.
  char* second = static_cast<char*>(pool.Allocate());
  ASSERT_NE(second, nullptr);
  std::memset(second, 1, 100);
  pool.Release(second);
}

TEST(RecordPoolTest, RecordsFromNewAreZeroFilled) {
  std::vector<ModuleRecord*> modules;
  for (int i = 0; i < 1200; ++i) {  // more than one block
    ModuleRecord* m = new (std::nothrow) ModuleRecord();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->szName[0], u'\0');
    EXPECT_EQ(m->szModifyTime[260], u'\0');
    EXPECT_EQ(m->pNext, nullptr);
    m->szName[0] = u'x';
    modules.push_back(m);
  }
  for (ModuleRecord* m : modules) delete m;
  ModuleRecord* again = new ModuleRecord();
  EXPECT_EQ(again->szName[0], u'\0');
  delete again;

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
