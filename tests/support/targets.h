// Request targets for tests that drive the control and listing operations
// directly, without a command file.
#ifndef KELVANE_TESTS_SUPPORT_TARGETS_H_
#define KELVANE_TESTS_SUPPORT_TARGETS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/text.h"
#include "plugin/request.h"

namespace kelvane {
namespace testing {

// A chain of targets in `pids` order (each id text cut to its field), all
// with `priority`. The returned storage owns them and must stay where it is
// while the chain is used: &targets[0] is the head.
inline std::vector<ProcTarget> MakeTargets(const std::vector<std::u16string>& pids, int32_t priority = 0) {
  std::vector<ProcTarget> targets(pids.size());
  for (size_t i = 0; i < pids.size(); ++i) {
    CopyToField(targets[i].szPID, pids[i]);
    targets[i].nPriority = priority;
    targets[i].pNext = i + 1 < pids.size() ? &targets[i + 1] : nullptr;
  }
  return targets;
}

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_SUPPORT_TARGETS_H_
