// The data of the two listing commands: one record per process, filled by
// CollectProcessInfo and handed on by CollectProcessList (every inspectable
// process) or CollectTargetProcesses (the processes a request names).
#ifndef KELVANE_INVENTORY_PROCESS_LIST_H_
#define KELVANE_INVENTORY_PROCESS_LIST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#include "inventory/modules.h"

namespace kelvane {

struct ProcTarget;

// One process. Allocated zero-filled, so a field the collector does not set
// is empty text or 0. Text fields hold at most 260 units and are always
// terminated.
struct ProcessRecord {
  char16_t szName[261];            // image base name; fixed name for idle/system
  uint32_t dwPID;                  // process id, always set
  char16_t szPath[261];            // normalised image path; "(N/A)" for idle/system
  char16_t szCommandLine[261];     // command line, cut to 260 units
  char16_t szPublisher[261];       // version string "CompanyName" of the image
  char16_t szDescript[261];        // version string "FileDescription"
  char16_t szProductVersion[261];  // version string "ProductVersion"
  char16_t szFileVersion[261];     // version string "FileVersion"
  int64_t nFileSize;               // image file size in bytes
  int32_t nCpuUsage;               // CPU usage in percent
  int64_t nMemoryUsage;            // working-set size in bytes
  uint32_t dwPriority;             // priority class, 0 when unknown
  char16_t szUserName[261];        // owning account without domain; "System" for idle/system
  ModuleRecord* pModules;          // module chain, owned by the record
  ProcessRecord* pNext;            // next record; null at the end

  // Records taken with new come from the inventory's record pool.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* record) noexcept;
};

// Receives the records of CollectProcessList one at a time.
class ProcessRecordSink {
 public:
  virtual ~ProcessRecordSink() = default;
  // Takes `record` (filled, pNext null) and owns it from then on.
  virtual void Take(ProcessRecord* record) = 0;
  // Called once before the first Take with the number of processes about
  // to be inspected: at most that many records follow.
  virtual void Expect(uint32_t /*count*/) {}
};

// Every inspectable process, in the order of the system's process snapshot,
// each record handed to `sink` as soon as it is filled. Samples every
// process's CPU time twice, the passes at least kelvane::kCpuSampleWindowMs
// apart, and empties the CPU sample table when done. Returns the number of
// records handed over (0 when no snapshot can be taken or nothing could be
// inspected). A sink that writes a record out and frees it at once keeps
// only one process's records in memory, and writes them while they are
// still in the processor's cache. `complete`, when given, is set to false
// when a process was left out because no record could be allocated for it.
uint32_t CollectProcessList(ProcessRecordSink* sink, bool* complete = nullptr);

// The priming pass of CollectProcessList: enables the debug privilege and takes
// a CPU sample of every process in a snapshot, discarding the values.
void PrimeCpuSamples();

// Fills the zero-filled `record` for process `pid`. Returns 1 when the
// process could be inspected (always for id 0), 0 otherwise; failed optional
// probes leave their fields empty or 0. A record that returns 0 holds only
// its id, or for a system process id the fixed texts.
int CollectProcessInfo(uint32_t pid, ProcessRecord* record);

// One record per target of the chain starting at `first` (may be null), in
// target order, the id read from each target's szPID like _wtol, each
// handed to `sink` as soon as it is filled. A sink that writes a record out
// and frees it at once keeps one target's record in memory, however many
// targets there are. Returns the number of targets whose record could be
// filled; `*complete` (when given) is false when an allocation failure
// ended the walk early (the records handed over so far stay with the sink).
uint32_t CollectTargetProcesses(const ProcTarget* first, ProcessRecordSink* sink, bool* complete);

// Releases every record of the list with its module chain; null does nothing.
void FreeProcessList(ProcessRecord* head);

// Owns a record chain and releases it with FreeProcessList.
struct ProcessListDeleter {
  void operator()(ProcessRecord* head) const { FreeProcessList(head); }
};
using ProcessListPtr = std::unique_ptr<ProcessRecord, ProcessListDeleter>;

// The least time between the start of the priming pass and the start of the
// collection pass, so that the two CPU samples of a process lie more than
// a clock tick apart.
constexpr int64_t kCpuSampleWindowMs = 250;

// The clock that spaces the two passes of CollectProcessList. Tests replace it
// so that they neither wait nor depend on real time.
struct InventoryClock {
  int64_t (*nowMs)();            // monotonic milliseconds
  void (*sleepMs)(int64_t ms);   // waits at least `ms` milliseconds
};
// Installs `clock` (not owned, must outlive its use); null restores the real
// clock.
void SetInventoryClockForTesting(const InventoryClock* clock);

}  // namespace kelvane

#endif  // KELVANE_INVENTORY_PROCESS_LIST_H_
