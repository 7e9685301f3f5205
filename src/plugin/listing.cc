// The two listing commands: every process with its details, or the modules
// of the processes a request names.
#include <cstdint>

#include "inventory/process_list.h"
#include "plugin/dispatch.h"
#include "plugin/request.h"
#include "result/xml_result.h"

// The idle process (id 0) reports what the others leave of 100 percent.
// The first record with id 0 takes 100 minus the sum of every record's CPU
// usage (its own is 0 when built); the value is not clamped.
void ApplyIdleCpuRule(ProcessRecord* head) {
  int32_t sum = 0;
  for (const ProcessRecord* record = head; record != nullptr; record = record->pNext) {
    // Wrapping like the 32-bit sum it is; sums never come near the limits.
    sum = static_cast<int32_t>(static_cast<uint32_t>(sum) + static_cast<uint32_t>(record->nCpuUsage));
  }
  for (ProcessRecord* record = head; record != nullptr; record = record->pNext) {
    if (record->dwPID == 0) {
      record->nCpuUsage = static_cast<int32_t>(100u - static_cast<uint32_t>(sum));
      break;
    }
  }
}

namespace {

// Writes each record into the response as soon as it is filled and frees
// it, so that one process's records are in memory at a time (and still in
// the processor's cache when written). The idle rule needs every record's
// CPU usage: the sum is kept on the way, and the first idle item's figure
// is replaced at the end, which gives the text ApplyIdleCpuRule followed by
// BuildProcessListResponse gives.
class ResponseSink final : public ProcessRecordSink {
 public:
  explicit ResponseSink(CXmlResult* result) : result_(result) {}

  void Expect(uint32_t count) override { expected_ = count; }

  void Take(ProcessRecord* record) override {
    const kelvane::ProcessListPtr owned(record);
    // Wrapping like the 32-bit sum it is.
    sum_ = static_cast<int32_t>(static_cast<uint32_t>(sum_) + static_cast<uint32_t>(record->nCpuUsage));
    const int32_t position = result_->AddProcessItem(*record);
    if (record->dwPID == 0 && !idleSeen_) {
      idleSeen_ = true;
      idlePosition_ = position;
    }
    if (++taken_ == nextProjection_) {
      ReserveProjectedText();
      nextProjection_ *= 2;
    }
  }

  // Applies the idle rule to the item written for the first idle record.
  void Finish() {
    if (idleSeen_) result_->SetProcessCpuUsage(idlePosition_, static_cast<int32_t>(100u - static_cast<uint32_t>(sum_)));
  }

 private:
  // A response of thousands of items would grow its text step by step,
  // each step a copy into fresh memory. After 16, 32, 64, ... items, the
  // text is given room at once for what the items written so far project
  // for the rest of the processes when that is more than it has (and then
  // an eighth more, so that the next projection rarely asks again): it
  // grows about once. The projection is a hint only: the text stays the
  // same.
  void ReserveProjectedText() {
    if (expected_ <= taken_) return;
    const uint64_t length = result_->ResponseTextLength();
    uint64_t projected = length + (length / taken_ + 1) * (expected_ - taken_);
    if (projected <= result_->ResponseTextCapacity()) return;
    projected += projected / 8;
    if (projected > static_cast<uint64_t>(CXmlDoc::kMaxTextLength)) return;
    result_->ReserveResponseText(static_cast<size_t>(projected));
  }

  CXmlResult* result_;
  uint32_t expected_ = 0;
  uint32_t taken_ = 0;
  uint32_t nextProjection_ = 16;
  int32_t sum_ = 0;
  bool idleSeen_ = false;
  int32_t idlePosition_ = 0;
};

}  // namespace

int32_t RunProcessListBranch(const CmdRequest& request, CXmlResult* result) {
  result->BeginProcessList(request.szCmdName);
  ResponseSink sink(result);
  const uint32_t count = CollectProcessList(&sink);
  sink.Finish();
  result->EndProcessList();
  return count != 0 ? 0 : -1;
}

namespace {

// Writes each target's record into the module response as soon as it is
// filled and frees it, so that one record is in memory at a time whatever
// the number of targets.
class ModuleResponseSink final : public ProcessRecordSink {
 public:
  explicit ModuleResponseSink(CXmlResult* result) : result_(result) {}
  void Take(ProcessRecord* record) override {
    const kelvane::ProcessListPtr owned(record);
    result_->AddModuleProcessItem(*record);
  }

 private:
  CXmlResult* result_;
};

}  // namespace

int32_t RunModuleListBranch(const CmdRequest& request, uint32_t targetCount, CXmlResult* result) {
  result->BeginModuleList(request.szCmdName);
  ModuleResponseSink sink(result);
  bool complete = true;
  const uint32_t filled = CollectTargetProcesses(request.pTargets, &sink, &complete);
  result->EndModuleList();
  // Memory that ran out before every target had its record fails the
  // command, as a count left at 0.
  const uint32_t count = complete ? filled : 0;
  return (count == targetCount && count != 0) ? 0 : -1;
}
