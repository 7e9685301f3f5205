// The command dispatcher behind ZEV_RemoteInvoke.
#ifndef KELVANE_PLUGIN_DISPATCH_H_
#define KELVANE_PLUGIN_DISPATCH_H_

#include <cstdint>

namespace kelvane {

struct CmdRequest;
class CXmlResult;

// Reads the command file, runs the command it names and writes the response
// to `resultFile`. Returns 0 on success, 1 when a control command failed for
// at least one target, -1 otherwise (null argument, unreadable command file,
// unknown command, incomplete listing). Owns and releases everything it
// creates; never throws.
int DispatchCommand(const char16_t* requestFile, const char16_t* resultFile);

// The two listing branches. Each builds its body in `result` and returns
// the branch's result code (0 or -1); `targetCount` is the number of
// "procid" elements of the request.
int32_t RunProcessListBranch(const CmdRequest& request, CXmlResult* result);
int32_t RunModuleListBranch(const CmdRequest& request, uint32_t targetCount, CXmlResult* result);

// The CPU figures of one listing, kept within the machine's 100 percent.
// Each process's share is measured against the system's time over its own
// pair of samples; the pairs of different processes lie a little apart, so
// on a busy machine the shares can add up to more than 100. Each process is
// given at most what the processes before it left, and the idle process
// (id 0) what all of them leave: every figure lies within 0..100 and they
// add up to at most 100.
class CpuShares {
 public:
  // The figure to report for a process that measured `share` percent.
  int32_t Take(int32_t share) {
    const int32_t left = 100 - used_;
    const int32_t kept = share < 0 ? 0 : share > left ? left : share;
    used_ += kept;
    return kept;
  }
  // What the processes taken so far leave of 100: the idle process's figure.
  int32_t Idle() const { return 100 - used_; }

 private:
  int32_t used_ = 0;
};

// Scoped switch to the library's own module state around every exported
// entry point. The library keeps no per-module framework state, so the
// switch has nothing to do; it stays a guard so every entry has one place
// for it.
class ModuleStateGuard {
 public:
  ModuleStateGuard() {}
  ~ModuleStateGuard() {}
  ModuleStateGuard(const ModuleStateGuard&) = delete;
  ModuleStateGuard& operator=(const ModuleStateGuard&) = delete;
};

}  // namespace kelvane

#endif  // KELVANE_PLUGIN_DISPATCH_H_
