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

int32_t RunProcessListBranch(const CmdRequest& request, CXmlResult* result) {
  uint32_t count = 0;
  const kelvane::ProcessListPtr head(BuildProcessList(&count));
  ApplyIdleCpuRule(head.get());
  const int32_t code = count != 0 ? 0 : -1;
  result->BuildProcessListResponse(request.szCmdName, head.get());
  return code;
}

int32_t RunModuleListBranch(const CmdRequest& request, uint32_t targetCount, CXmlResult* result) {
  uint32_t count = 0;
  const kelvane::ProcessListPtr head(CollectTargetProcesses(request.pTargets, &count));
  const int32_t code = (count == targetCount && count != 0) ? 0 : -1;
  result->BuildModuleResponse(request.szCmdName, head.get());
  return code;
}
