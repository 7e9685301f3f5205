// Process control: stopping a process, stopping it together with its direct
// children, changing its priority class, and the loop that applies one of
// these to every target of a request and records each outcome.
//
// Every process is opened and closed inside the operation that needs it;
// nothing stays open between targets or calls. The operations run on the
// caller's thread and take no locks.
#ifndef KELVANE_CONTROL_CONTROL_H_
#define KELVANE_CONTROL_CONTROL_H_

#include <cstdint>

#include "common/targets.h"

namespace kelvane {

// Stops process `pid` at once. Returns 1 when it was opened and the stop was
// delivered, 0 otherwise (no such process, access refused, id 0 or an id no
// process can have, the platform's init process or the calling host's own
// process, neither of which is ever stopped).
int TerminateProcessById(uint32_t pid);

// Stops the direct children of `pid` (in listing order, each outcome
// ignored), then `pid` itself. A process counts as a child only when its
// recorded parent id is `pid` and it was started no earlier than `pid`, so a
// process left over from an earlier owner of the same id is spared.
// Grandchildren are not touched. Returns 1 when `pid` itself was stopped
// (or ended by itself while its children were stopped, as a shell waiting
// for its child does), 0 otherwise. A `pid` this caller may not stop still has its children
// stopped. When the process list cannot be taken, or `pid` cannot be opened
// and dated at all, or `pid` is the platform's init process or the calling
// host's own process, or the calling host is one of `pid`'s children,
// nothing is stopped and 0 is returned. When a listed process that still exists cannot
// be examined for a reason other than refused access (the caller is out of
// descriptors or memory), the children chosen so far are stopped, `pid` is
// left running and 0 is returned. While the children are chosen each holds
// one platform handle stripped to what stopping it needs.
int TerminateProcessTree(uint32_t pid);

// Sets the priority class of `pid` to `priorityClass` (64 idle, 16384 below
// normal, 32 normal, 32768 above normal, 128 high, 256 real time). Returns 1
// when the platform accepted it, 0 otherwise; any other value is refused
// and changes nothing.
int SetProcessPriorityClass(uint32_t pid, uint32_t priorityClass);

// The operation ApplyToTargets runs on each target.
enum class ControlOp {
  kStop,         // TerminateProcessById
  kStopTree,     // TerminateProcessTree
  kSetPriority,  // SetProcessPriorityClass with the target's nPriority
};

// The text of message id `id`, as the caller's message table gives it
// (the id itself where the table has none). The text may live in a buffer
// the next lookup overwrites; it is copied at once.
using MessageLookup = const char16_t* (*)(const char16_t* id);

// Runs `op` on every target of the chain starting at `first`, in chain
// order, whatever happened to the ones before. Each target's szPID is
// converted to a number the way priorities are (text that is no number
// gives 0, which names no process). Each target gets nResult 0 and the text
// `lookup` gives for `successId`, or nResult 1 and the text for
// `failureId`, cut to fit szErrMsg (a null `lookup` gives the ids
// themselves). `*resultCode` becomes 1 when any target failed and is
// otherwise left as it was. Null `first` does nothing; null `resultCode` is
// allowed.
void ApplyToTargets(ProcTarget* first, ControlOp op, const char16_t* successId,
                    const char16_t* failureId, MessageLookup lookup, int32_t* resultCode);

}  // namespace kelvane

#endif  // KELVANE_CONTROL_CONTROL_H_
