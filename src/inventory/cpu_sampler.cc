#include "inventory/cpu_sampler.h"

#include <limits>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace kelvane {

namespace {

// The sample table. Entries are appended in the order their ids are first
// sampled and are only ever removed all together; whatever is left is
// released when the library is unloaded. `byId` finds the first entry of an
// id without walking the table, so a pass over every process stays linear.
struct SampleTable {
  std::vector<CProcessData*> entries;
  std::unordered_map<uint32_t, CProcessData*> byId;
  ~SampleTable() { ClearCpuSamples(); }
};
SampleTable g_table;

}  // namespace

CProcessData::CProcessData(uint32_t pid) : m_pSample(new CpuSample{pid, 0, 0}) {}

CProcessData::~CProcessData() { delete m_pSample; }

CProcessData* FindCpuSample(uint32_t pid) {
  auto found = g_table.byId.find(pid);
  return found != g_table.byId.end() ? found->second : nullptr;
}

int32_t GetCpuUsage(uint32_t pid) { return GetCpuUsage(pid, nullptr); }

int32_t GetCpuUsage(uint32_t pid, kelvane::platform::ProcessHandle* process) {
  CProcessData* entry = FindCpuSample(pid);
  if (entry == nullptr) {
    // Out of memory: no entry, no value.
    try {
      std::unique_ptr<CProcessData> created(new CProcessData(pid));
      g_table.entries.reserve(g_table.entries.size() + 1);
      g_table.byId.emplace(pid, created.get());
      g_table.entries.push_back(created.get());
      entry = created.release();
    } catch (const std::bad_alloc&) {
      g_table.byId.erase(pid);
      return -1;
    }
  }
  return ComputeCpuUsage(entry->m_pSample, pid, process);
}

int32_t ComputeCpuUsage(CpuSample* sample, uint32_t pid) { return ComputeCpuUsage(sample, pid, nullptr); }

int32_t ComputeCpuUsage(CpuSample* sample, uint32_t pid, kelvane::platform::ProcessHandle* process) {
  int64_t processTime = 0;
  int64_t totalTime = 0;
  kelvane::platform::Platform* p = kelvane::platform::Current();
  const bool read = process != nullptr ? p->ProcessCpuTimes(*process, &processTime, &totalTime)
                                       : p->CpuTimes(pid, &processTime, &totalTime);
  if (!read) return -1;
  const int64_t dTotal = totalTime - sample->nLastTotalTime;
  const int64_t dProc = processTime - sample->nLastProcTime;
  if (dTotal == 0) return -1;
  sample->nLastTotalTime = totalTime;
  sample->nLastProcTime = processTime;
  // Guard the multiplication against overflow; real accounting never comes
  // near this bound.
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 100;
  if (dProc > kLimit || dProc < -kLimit) return -1;
  const int64_t percent = dProc * 100 / dTotal;
  if (percent > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (percent < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(percent);
}

void ClearCpuSamples() {
  for (CProcessData* entry : g_table.entries) delete entry;
  std::vector<CProcessData*>().swap(g_table.entries);
  std::unordered_map<uint32_t, CProcessData*>().swap(g_table.byId);
}

size_t CpuSampleCountForTesting() { return g_table.entries.size(); }

}  // namespace kelvane
