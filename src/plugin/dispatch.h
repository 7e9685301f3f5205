// The command dispatcher behind ZEV_RemoteInvoke.
#ifndef KELVANE_PLUGIN_DISPATCH_H_
#define KELVANE_PLUGIN_DISPATCH_H_

#include <cstdint>

struct CmdRequest;
struct ProcessRecord;
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

// Keeps the CPU figures of a listing within the machine's 100 percent: each
// record's figure is cut to 0..100 and to what the records before it left
// of 100, and the first record with process id 0 (the idle process) gets
// what all of them leave.
void ApplyIdleCpuRule(ProcessRecord* head);

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

#endif  // KELVANE_PLUGIN_DISPATCH_H_
