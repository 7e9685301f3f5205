#include "inventory/process_list.h"

#include <chrono>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "inventory/cpu_sampler.h"
#include "inventory/probes.h"
#include "common/targets.h"

namespace kelvane {

namespace {

using kelvane::platform::Platform;
using kelvane::platform::ProcessHandle;

constexpr char16_t kIdleName[] = u"System Idle Process";
constexpr char16_t kSystemName[] = u"System";
constexpr char16_t kNotApplicable[] = u"(N/A)";
constexpr char16_t kUnknown[] = u"<unknown>";

constexpr int kOsFamilyXp = 7;
constexpr int64_t kIdleMemoryXp = 0x7000;
constexpr int64_t kIdleMemory = 0x4000;

int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepForMs(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const kelvane::InventoryClock kRealClock = {SteadyNowMs, SleepForMs};
const kelvane::InventoryClock* g_clock = &kRealClock;

void FillSystemTexts(ProcessRecord* record, const char16_t* name) {
  kelvane::CopyToField(record->szName, name);
  kelvane::CopyToField(record->szPath, kNotApplicable);
  kelvane::CopyToField(record->szUserName, kSystemName);
}

int CollectSystemProcess(Platform* p, uint32_t pid, ProcessRecord* record) {
  FillSystemTexts(record, kSystemName);
  std::unique_ptr<ProcessHandle> process = p->OpenProcess(pid, kelvane::platform::kAccessQuery);
  if (process == nullptr) return 0;
  int64_t bytes = 0;
  if (p->WorkingSetSize(*process, &bytes)) record->nMemoryUsage = bytes;
  record->nCpuUsage = 0;
  record->dwPriority = p->GetPriorityClass(*process);
  return 1;
}

int CollectOrdinaryProcess(Platform* p, uint32_t pid, ProcessRecord* record) {
  std::unique_ptr<ProcessHandle> process = p->OpenProcess(pid, kelvane::platform::kAccessQuery);
  if (process == nullptr) return 0;
  std::u16string baseName;
  std::u16string fullPath;
  if (!p->ImageBaseName(*process, &baseName)) return 0;
  if (!p->ImageFullPath(*process, &fullPath)) return 0;
  kelvane::CopyToField(record->szName, baseName);
  kelvane::CopyToField(record->szPath, fullPath);
  NormalizeImagePath(record->szPath);

  char16_t commandLine[261];
  kelvane::CopyToField(commandLine, kUnknown);
  if (ReadCommandLine(*process, commandLine) != 0) {
    kelvane::CopyToField(record->szCommandLine, kelvane::FieldView(commandLine));
  }

  record->nFileSize = QueryImageFileSize(*process, fullPath);
  ReadVersionStrings(record);

  const int32_t cpu = GetCpuUsage(pid, process.get());
  if (cpu != -1) record->nCpuUsage = cpu;

  LookupProcessUser(*process, record->szUserName);
  record->dwPriority = p->GetPriorityClass(*process);
  int64_t bytes = 0;
  if (p->WorkingSetSize(*process, &bytes)) record->nMemoryUsage = bytes;
  record->pModules = BuildModuleList(*process);
  return 1;
}

void FreeRecord(ProcessRecord* record) {
  kelvane::FreeModuleList(record->pModules);
  delete record;
}

}  // namespace

void SetInventoryClockForTesting(const InventoryClock* clock) {
  g_clock = clock != nullptr ? clock : &kRealClock;
}

int CollectProcessInfo(uint32_t pid, ProcessRecord* record) {
  record->dwPID = pid;
  Platform* p = kelvane::platform::Current();
  if (pid == 0) {
    FillSystemTexts(record, kIdleName);
    record->nMemoryUsage = DetectOsFamily() == kOsFamilyXp ? kIdleMemoryXp : kIdleMemory;
    record->nCpuUsage = 0;
    return 1;
  }
  if (p->IsSystemProcessId(pid)) return CollectSystemProcess(p, pid, record);
  return CollectOrdinaryProcess(p, pid, record);
}

void PrimeCpuSamples() {
  EnableDebugPrivilege();
  std::vector<uint32_t> pids;
  if (!kelvane::platform::Current()->SnapshotProcessIds(&pids)) return;
  for (uint32_t pid : pids) GetCpuUsage(pid);
}

namespace {

// The CPU sampling session of one listing, ended on every way out.
class CpuSamplingSession {
 public:
  CpuSamplingSession() { kelvane::platform::Current()->BeginCpuSampling(); }
  ~CpuSamplingSession() { kelvane::platform::Current()->EndCpuSampling(); }
  CpuSamplingSession(const CpuSamplingSession&) = delete;
  CpuSamplingSession& operator=(const CpuSamplingSession&) = delete;
};

// Empties the CPU sample table when it goes.
class SampleTableClearer {
 public:
  SampleTableClearer() = default;
  ~SampleTableClearer() { ClearCpuSamples(); }
  SampleTableClearer(const SampleTableClearer&) = delete;
  SampleTableClearer& operator=(const SampleTableClearer&) = delete;
};

}  // namespace

uint32_t CollectProcessList(ProcessRecordSink* sink, bool* complete) {
  if (complete != nullptr) *complete = true;
  const CpuSamplingSession session;
  // Every way out leaves the sample table empty, so that the next listing
  // starts from fresh samples.
  const SampleTableClearer clearSamples;
  const int64_t primingStart = g_clock->nowMs();
  PrimeCpuSamples();

  // Let a measurable amount of CPU time pass between the two samples.
  const int64_t elapsed = g_clock->nowMs() - primingStart;
  if (elapsed >= 0 && elapsed < kelvane::kCpuSampleWindowMs) {
    g_clock->sleepMs(kelvane::kCpuSampleWindowMs - elapsed);
  }

  EnableDebugPrivilege();
  std::vector<uint32_t> pids;
  if (!kelvane::platform::Current()->SnapshotProcessIds(&pids) || pids.empty()) return 0;

  kelvane::FileFactsCache fileFacts;
  sink->Expect(static_cast<uint32_t>(pids.size()));
  uint32_t records = 0;
  for (uint32_t pid : pids) {
    ProcessRecord* record = new (std::nothrow) ProcessRecord();
    if (record == nullptr) {
      // A process left out for want of memory makes the listing incomplete.
      if (complete != nullptr) *complete = false;
      continue;
    }
    CollectProcessInfo(pid, record);
    if (record->szName[0] == u'\0') {
      FreeRecord(record);
      continue;
    }
    ++records;
    sink->Take(record);
  }
  return records;
}

uint32_t CollectTargetProcesses(const ProcTarget* first, ProcessRecordSink* sink, bool* complete) {
  if (complete != nullptr) *complete = true;
  EnableDebugPrivilege();
  kelvane::FileFactsCache fileFacts;
  uint32_t filled = 0;
  for (const ProcTarget* target = first; target != nullptr; target = target->pNext) {
    const uint32_t pid = static_cast<uint32_t>(kelvane::WideToLong(kelvane::FieldView(target->szPID)));
    ProcessRecord* record = new (std::nothrow) ProcessRecord();
    if (record == nullptr) {
      if (complete != nullptr) *complete = false;
      break;
    }
    if (CollectProcessInfo(pid, record) != 0) ++filled;
    sink->Take(record);
  }
  return filled;
}

void FreeProcessList(ProcessRecord* head) {
  while (head != nullptr) {
    ProcessRecord* next = head->pNext;
    FreeRecord(head);
    head = next;
  }
}

}  // namespace kelvane
