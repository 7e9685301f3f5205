// The listings as chains of records, for tests that look at the records
// themselves rather than at a response.
#ifndef KELVANE_TESTS_SUPPORT_RECORD_CHAINS_H_
#define KELVANE_TESTS_SUPPORT_RECORD_CHAINS_H_

#include <cstdint>

#include "inventory/process_list.h"

namespace kelvane {
namespace testing {

// Chains the records it takes, in order.
class ChainSink final : public ProcessRecordSink {
 public:
  void Take(ProcessRecord* record) override {
    if (tail_ == nullptr) {
      head_ = record;
    } else {
      tail_->pNext = record;
    }
    tail_ = record;
  }
  ProcessRecord* head() const { return head_; }

 private:
  ProcessRecord* head_ = nullptr;
  ProcessRecord* tail_ = nullptr;
};

// Every inspectable process (CollectProcessList) as a chain the caller
// frees with FreeProcessList; the number of records in `count` when given.
inline ProcessRecord* CollectProcessChain(uint32_t* count) {
  ChainSink chain;
  const uint32_t records = CollectProcessList(&chain);
  if (count != nullptr) *count = records;
  return chain.head();
}

// The records of the targets from `first` (CollectTargetProcesses) as a
// chain; the number of targets filled in `count` (when given) unless memory
// ran out, which leaves it untouched.
inline ProcessRecord* CollectTargetChain(const ProcTarget* first, uint32_t* count) {
  ChainSink chain;
  bool complete = true;
  const uint32_t filled = CollectTargetProcesses(first, &chain, &complete);
  if (complete && count != nullptr) *count = filled;
  return chain.head();
}

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_SUPPORT_RECORD_CHAINS_H_
