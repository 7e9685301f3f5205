// CPU usage of a process as a whole-number percentage of all CPU time the
// machine accounted between two samples of the same process id. The previous
// sample of every id seen so far lives in a process-wide table, which the
// process-list build empties when it completes. Not thread-safe: calls that
// sample must not overlap.
#ifndef KELVANE_INVENTORY_CPU_SAMPLER_H_
#define KELVANE_INVENTORY_CPU_SAMPLER_H_

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace kelvane {

// The previous sample of one process id. Times are in the platform's CPU
// accounting units; a new sample starts with both at 0.
struct CpuSample {
  uint32_t dwProcessId;
  int64_t nLastProcTime;   // the process's CPU time at the previous sample
  int64_t nLastTotalTime;  // the whole system's CPU time at the previous sample
};

// One entry of the sample table; owns its sample.
class CProcessData {
 public:
  explicit CProcessData(uint32_t pid);
  ~CProcessData();
  CProcessData(const CProcessData&) = delete;
  CProcessData& operator=(const CProcessData&) = delete;

  CpuSample* m_pSample;
};

// Samples process `pid` and returns its CPU usage in percent since its
// previous sample (or, on its first sample, its share of all CPU time
// accounted so far), or -1 when no value can be given. Adds a table entry
// for an id not yet in the table, whatever the result.
int32_t GetCpuUsage(uint32_t pid);
// The same, the process's CPU time read through `process` (opened for
// query, id `pid`) when given.
int32_t GetCpuUsage(uint32_t pid, kelvane::platform::ProcessHandle* process);

// The first table entry for `pid`, or null. The entry stays owned by the
// table.
CProcessData* FindCpuSample(uint32_t pid);

// Reads the CPU times of `pid` and of the whole system and returns
// 100 * dProc / dTotal (signed 64-bit, truncated toward zero) against the
// times stored in `sample`, then stores the new times. Returns -1 and leaves
// `sample` unchanged when the times cannot be read or no time was accounted
// since the previous sample.
int32_t ComputeCpuUsage(CpuSample* sample, uint32_t pid);
int32_t ComputeCpuUsage(CpuSample* sample, uint32_t pid, kelvane::platform::ProcessHandle* process);

// Releases every entry with its sample and the table's storage. The table is
// also released when the library is unloaded.
void ClearCpuSamples();

// For tests: the number of entries in the sample table.
size_t CpuSampleCountForTesting();

}  // namespace kelvane

#endif  // KELVANE_INVENTORY_CPU_SAMPLER_H_
