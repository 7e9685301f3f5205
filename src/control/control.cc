#include "control/control.h"

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "common/text.h"
#include "platform/platform.h"

namespace kelvane {

namespace {

constexpr uint32_t kExitCode = 0;

// Runs `op` for one target; 1 done, 0 not done.
int RunOperation(ControlOp op, uint32_t pid, uint32_t priorityClass) {
  switch (op) {
    case ControlOp::kStop:
      return TerminateProcessById(pid);
    case ControlOp::kStopTree:
      return TerminateProcessTree(pid);
    case ControlOp::kSetPriority:
      return SetProcessPriorityClass(pid, priorityClass);
  }
  return 0;
}

// Copies the text of message `id` into `field`. The lookup's buffer may be
// shared and overwritten by the next lookup, so it is copied at once.
void StoreMessage(char16_t (&field)[261], const char16_t* id, MessageLookup lookup) {
  const char16_t* text = id != nullptr && lookup != nullptr ? lookup(id) : id;
  CopyToField(field, text != nullptr ? std::u16string_view(text) : std::u16string_view());
}

}  // namespace

using kelvane::platform::Current;
using kelvane::platform::kAccessSetPriority;
using kelvane::platform::kAccessTerminate;
using kelvane::platform::OpenFailure;
using kelvane::platform::Platform;
using kelvane::platform::ProcessHandle;

int TerminateProcessById(uint32_t pid) {
  Platform* platform = Current();
  // Neither init nor the calling host (whose stop would end this very call)
  // is ever stopped.
  if (platform->IsInitProcessId(pid) || platform->IsCallerProcessId(pid)) return 0;
  std::unique_ptr<ProcessHandle> process = platform->OpenProcess(pid, kAccessTerminate);
  if (!process) return 0;
  return platform->TerminateProcess(*process, kelvane::kExitCode) ? 1 : 0;
}

int TerminateProcessTree(uint32_t pid) {
  Platform* platform = Current();
  // Init is never stopped, and neither are its children: they are every
  // orphan of the system. Nor is the calling host.
  if (platform->IsInitProcessId(pid) || platform->IsCallerProcessId(pid)) return 0;
  std::vector<uint32_t> pids;
  if (!platform->EnumerateProcessIds(&pids)) return 0;

  // The target is opened first and kept open: its start time tells its own
  // children from processes that a former owner of the same id left behind,
  // and the stop at the end reaches this very process. A target this caller
  // may not stop is dated through a query handle instead, or, when even
  // that is refused (a protected process), through a handle that may read
  // no more than its parent and creation time; its children are stopped
  // all the same. Without the target's start time no child can be told
  // apart safely, so then nothing is stopped.
  std::unique_ptr<ProcessHandle> target = platform->OpenProcess(pid, kAccessTerminate);
  std::unique_ptr<ProcessHandle> queried;
  if (!target) queried = platform->OpenProcess(pid, kelvane::platform::kAccessQuery);
  if (!target && !queried) {
    queried = platform->OpenProcess(pid, kelvane::platform::kAccessQueryLimited);
  }
  ProcessHandle* dated = target ? target.get() : queried.get();
  if (dated == nullptr) return 0;
  uint32_t targetParent = 0;
  uint64_t targetStart = 0;
  if (!platform->QueryParent(*dated, &targetParent, &targetStart)) return 0;

  // Every child is chosen before any is stopped. A stopped child's own
  // children are handed to the nearest subreaper or namespace init, which
  // may be the target itself; deciding afterwards would take them for
  // children of the target and stop grandchildren. A chosen child keeps
  // only what stopping it needs (one descriptor on Linux), so the set stays
  // small. A candidate that ended or refuses access is skipped; one that
  // cannot be examined for any other reason (out of descriptors or memory)
  // might be a child left running, so the target then fails.
  std::vector<std::unique_ptr<ProcessHandle>> children;
  bool complete = true;
  bool callerIsChild = false;
  for (uint32_t candidate : pids) {
    if (candidate == pid) continue;
    OpenFailure why = OpenFailure::kNone;
    std::unique_ptr<ProcessHandle> child = platform->OpenProcessOrWhy(candidate, kAccessTerminate, &why);
    if (!child) {
      if (why == OpenFailure::kNoProcess || why == OpenFailure::kDenied) continue;
      complete = false;
      break;
    }
    uint32_t parent = 0;
    uint64_t start = 0;
    if (!platform->QueryParent(*child, &parent, &start)) {
      // Skipped only when it has ended meanwhile; a process still there
      // that could not be examined fails the target.
      child.reset();
      platform->OpenProcessOrWhy(candidate, kelvane::platform::kAccessQuery, &why);
      if (why == OpenFailure::kNoProcess) continue;
      complete = false;
      break;
    }
    if (parent != pid || start < targetStart) continue;
    if (platform->IsCallerProcessId(candidate)) {
      // The target is the calling host's parent: the host would be stopped
      // as its child. Nothing of this tree is stopped.
      callerIsChild = true;
      break;
    }
    platform->ReleaseQueryResources(*child);
    children.push_back(std::move(child));
  }
  if (callerIsChild) return 0;
  // The children chosen are stopped even when the choice is incomplete. The
  // target is then left running, so that the children not examined keep
  // it as their parent and a repeated stop can still find them.
  for (const std::unique_ptr<ProcessHandle>& child : children) {
    platform->TerminateProcess(*child, kelvane::kExitCode);  // outcome ignored
  }

  if (!target || !complete) return 0;
  if (platform->TerminateProcess(*target, kelvane::kExitCode)) return 1;
  // A target that ended while its children were stopped (a shell waiting
  // for its child ends with it) is stopped as asked: not a failure.
  return platform->ProcessHasEnded(*target) ? 1 : 0;
}

int SetProcessPriorityClass(uint32_t pid, uint32_t priorityClass) {
  Platform* platform = Current();
  std::unique_ptr<ProcessHandle> process = platform->OpenProcess(pid, kAccessSetPriority);
  if (!process) return 0;
  return platform->SetPriorityClass(*process, priorityClass) ? 1 : 0;
}

void ApplyToTargets(ProcTarget* first, ControlOp op, const char16_t* successId,
                    const char16_t* failureId, MessageLookup lookup, int32_t* resultCode) {
  for (ProcTarget* target = first; target != nullptr; target = target->pNext) {
    // Negative texts wrap to ids above the pid range, which no platform
    // opens.
    const uint32_t pid = static_cast<uint32_t>(kelvane::WideToLong(kelvane::FieldView(target->szPID)));
    const uint32_t priorityClass = static_cast<uint32_t>(target->nPriority);
    if (kelvane::RunOperation(op, pid, priorityClass) == 1) {
      target->nResult = 0;
      kelvane::StoreMessage(target->szErrMsg, successId, lookup);
    } else {
      target->nResult = 1;
      kelvane::StoreMessage(target->szErrMsg, failureId, lookup);
      if (resultCode != nullptr) *resultCode = 1;
    }
  }
}

}  // namespace kelvane
