#include "plugin/dispatch.h"

#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "common/text.h"
#include "control/control.h"
#include "kelvane/plugin.h"
#include "plugin/message_table.h"
#include "plugin/request.h"
#include "result/xml_result.h"

namespace kelvane {
namespace {

// A command and the message ids of its outcome.
struct CommandEntry {
  const char16_t* name;
  const char16_t* successId;
  const char16_t* failureId;
};

constexpr CommandEntry kProcessList = {u"ZEV_GetProcessList_KLV", u"GetSuccessed", u"GetFailed"};
constexpr CommandEntry kProcessModule = {u"ZEV_GetProcessModule_KLV", u"GetSuccessed", u"GetFailed"};
constexpr CommandEntry kStopProcess = {u"ZEV_StopProcess_KLV", u"TerminateProcSuccessed",
                                       u"TerminateProcFailed"};
constexpr CommandEntry kStopProcessTree = {u"ZEV_StopProcessTree_KLV",
                                           u"TerminateProcTreeSuccessed",
                                           u"TerminateProcTreeFailed"};
constexpr CommandEntry kSetPriority = {u"ZEV_SetProcessPriority_KLV", u"SetPRISuccessed",
                                       u"SetPRIFailed"};

// Runs one control operation over every target. The code starts at 0 when
// the request named targets and -1 when it named none; any failed target
// makes it 1.
int32_t RunControlBranch(CmdRequest* request, uint32_t targetCount, ControlOp operation,
                         const CommandEntry& command, CXmlResult* result) {
  int32_t code = targetCount != 0 ? 0 : -1;
  ApplyToTargets(request->pTargets, operation, command.successId, command.failureId, kelvane::MessageText, &code);
  result->BuildTargetResponse(command.name, request->pTargets);
  return code;
}

int DispatchUnchecked(const char16_t* requestFile, const char16_t* resultFile) {
  std::unique_ptr<CXmlResult> result(new (std::nothrow) CXmlResult(resultFile));
  if (!result) return -1;

  kelvane::RequestPtr request(new (std::nothrow) CmdRequest());
  if (!request) return -1;
  uint32_t targetCount = 0;
  {
    // The command file is read three times (name, targets, count); one
    // initialisation of the XML library serves all three reads.
    kelvane::XmlLibraryScope xmlLibrary;
    if (ReadRequest(requestFile, request.get()) != 0) {
      request.reset();
      result->WriteErrorResponse();
      return -1;
    }
    CountTargets(requestFile, &targetCount);
  }

  char16_t cmdName[261];
  kelvane::CopyToField(cmdName, kelvane::FieldView(request->szCmdName));
  const std::u16string_view name(cmdName);

  const CommandEntry* command = nullptr;
  int32_t code = -1;
  if (name == kProcessList.name) {
    command = &kProcessList;
    code = RunProcessListBranch(*request, result.get());
  } else if (name == kProcessModule.name) {
    command = &kProcessModule;
    code = RunModuleListBranch(*request, targetCount, result.get());
  } else if (name == kStopProcess.name) {
    command = &kStopProcess;
    code = RunControlBranch(request.get(), targetCount, ControlOp::kStop, *command, result.get());
  } else if (name == kStopProcessTree.name) {
    command = &kStopProcessTree;
    code = RunControlBranch(request.get(), targetCount, ControlOp::kStopTree, *command,
                            result.get());
  } else if (name == kSetPriority.name) {
    command = &kSetPriority;
    code = RunControlBranch(request.get(), targetCount, ControlOp::kSetPriority, *command,
                            result.get());
  } else {
    // An unknown command writes nothing.
    return -1;
  }

  const char16_t* summaryId = code == 0 ? command->successId : command->failureId;
  char16_t summary[260];
  kelvane::CopyToField(summary, kelvane::MessageText(summaryId));
  result->WriteResult(*request, summary, code);
  return code;
}

}  // namespace

int DispatchCommand(const char16_t* requestFile, const char16_t* resultFile) {
  if (requestFile == nullptr || resultFile == nullptr) return -1;
  try {
    return DispatchUnchecked(requestFile, resultFile);
  } catch (...) {
    // Nothing may cross into the host; an exhausted heap ends the call.
    return -1;
  }
}

namespace {

// Serialises whole calls of ZEV_RemoteInvoke. A call uses process-wide
// state throughout: the XML library's initialisation and termination (not
// thread-safe), the process-wide locale, the CPU sample table, the record
// pool, the image-file facts cache and the shared message buffer. A host
// that calls from several threads at once gets its calls carried out one
// after another; a host that calls one at a time never waits. Constant-
// initialised, so it is usable from the first call on, whatever the load
// order.
std::mutex g_callLock;

}  // namespace
}  // namespace kelvane

// The exported entry points stand outside the library's namespace: hosts
// find them by their plain and decorated names.
using kelvane::DispatchCommand;
using kelvane::ModuleStateGuard;

extern "C" KELVANE_EXPORT int ZEV_RemoteInvoke(const char16_t* requestFile,
                                               const char16_t* resultFile) {
  ModuleStateGuard guard;
  try {
    std::lock_guard<std::mutex> serial(kelvane::g_callLock);
    return DispatchCommand(requestFile, resultFile);
  } catch (...) {
    // Only the lock itself can throw here (the system refused it).
    return -1;
  }
}

// The typed entry points the host framework expects of every module. They
// do no work here: every argument is ignored and the callback never called.
// Touching no shared state, they take no lock.
KELVANE_EXPORT unsigned int ZEV_GetProcessList_KLV(void**, KelvaneHostCallback, unsigned int*, void*) {
  ModuleStateGuard guard;
  return 0xFFFFFFFFu;
}

KELVANE_EXPORT unsigned int ZEV_GetProcessModule_KLV(void**, KelvaneHostCallback, unsigned int*,
                                                     void*) {
  ModuleStateGuard guard;
  return 0xFFFFFFFFu;
}

KELVANE_EXPORT unsigned int ZEV_StopProcess_KLV(void**, KelvaneHostCallback, unsigned int*, void*) {
  ModuleStateGuard guard;
  return 0xFFFFFFFFu;
}

KELVANE_EXPORT unsigned int ZEV_StopProcessTree_KLV(void**, KelvaneHostCallback, unsigned int*, void*) {
  ModuleStateGuard guard;
  return 0;
}

KELVANE_EXPORT unsigned int ZEV_SetProcessPriority_KLV(void**, KelvaneHostCallback, unsigned int*,
                                                       void*) {
  ModuleStateGuard guard;
  return 0;
}

KELVANE_EXPORT unsigned int ZEV_ReleaseProcess_KLV(void*) {
  ModuleStateGuard guard;
  return 0;
}
