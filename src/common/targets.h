// The parsed command file: the command name and the chain of target
// processes. The command-file reader fills it; the control operations, the
// listing builders and the response writer read and fill its targets.
#ifndef KELVANE_COMMON_TARGETS_H_
#define KELVANE_COMMON_TARGETS_H_

#include <cstdint>
#include <memory>

namespace kelvane {

// One target process, one per "procid" element, in document order.
// Created zeroed; owned by the CmdRequest it is chained to.
struct ProcTarget {
  char16_t szPID[10];      // the PID attribute exactly as written (at most 9 units)
  int32_t nPriority;       // the priority attribute as a number; -1 when absent
  int32_t nResult;         // outcome: 0 success, 1 failure (set by the control loop)
  char16_t szErrMsg[261];  // outcome message text
  ProcTarget* pNext;       // next target; null at the end
};

// The parsed request. Created zeroed by the dispatcher, filled by
// ReadRequest, released with FreeRequest.
struct CmdRequest {
  char16_t szCmdName[260];  // the trimmed command name
  ProcTarget* pTargets;     // first target; null when there is none
};

// Frees every target of `request` in chain order, then `request` itself
// (which must have been allocated with new). Null does nothing.
inline void FreeRequest(CmdRequest* request) {
  if (request == nullptr) return;
  ProcTarget* target = request->pTargets;
  while (target != nullptr) {
    ProcTarget* next = target->pNext;
    delete target;
    target = next;
  }
  delete request;
}

// Owns a request (and its targets) and frees it with FreeRequest.
struct RequestDeleter {
  void operator()(CmdRequest* request) const { FreeRequest(request); }
};
using RequestPtr = std::unique_ptr<CmdRequest, RequestDeleter>;

}  // namespace kelvane

#endif  // KELVANE_COMMON_TARGETS_H_
