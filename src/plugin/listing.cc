// The two listing commands: every process with its details, or the modules
// of the processes a request names.
#include <cstdint>

#include "inventory/process_list.h"
#include "plugin/dispatch.h"
#include "plugin/request.h"
#include "result/xml_result.h"

namespace kelvane {

namespace {

// Writes each record into the response as soon as it is filled and frees
// it, so that one process's records are in memory at a time (and still in
// the processor's cache when written). The idle figure needs every record's
// CPU usage: the shares are kept on the way, and the first idle item's
// figure is replaced at the end.
class ResponseSink final : public ProcessRecordSink {
 public:
  explicit ResponseSink(CXmlResult* result) : result_(result) {}

  void Expect(uint32_t count) override { expected_ = count; }

  void Take(ProcessRecord* record) override {
    const kelvane::ProcessListPtr owned(record);
    record->nCpuUsage = shares_.Take(record->nCpuUsage);
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
    if (idleSeen_) result_->SetProcessCpuUsage(idlePosition_, shares_.Idle());
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
  kelvane::CpuShares shares_;
  bool idleSeen_ = false;
  int32_t idlePosition_ = 0;
};

}  // namespace

int32_t RunProcessListBranch(const CmdRequest& request, CXmlResult* result) {
  result->BeginProcessList(request.szCmdName);
  ResponseSink sink(result);
  bool complete = true;
  const uint32_t count = CollectProcessList(&sink, &complete);
  sink.Finish();
  result->EndProcessList();
  // A listing that could not build every record, or whose response could
  // not take every record it built, is incomplete.
  return count != 0 && complete && result->Complete() ? 0 : -1;
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
  // Memory that ran out before every target had its record, or a response
  // that could not take every record, fails the command.
  const uint32_t count = complete ? filled : 0;
  return count == targetCount && count != 0 && result->Complete() ? 0 : -1;
}

}  // namespace kelvane
