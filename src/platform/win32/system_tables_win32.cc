// The system-wide tables of a listing pass (CPU times and owners), read
// once per pass through a replaceable source; see SystemTables in the
// backend header.
#include "platform/win32/win32_platform.h"

#include <new>

#include "platform/win32/nt_layout.h"

namespace kelvane {
namespace platform {

namespace {

typedef LONG(NTAPI* NtQuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

constexpr ULONG kSystemProcessInformation = 5;
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002L);
// The table of a whole system is far smaller; a larger claim is refused.
constexpr size_t kCpuBufferLimit = size_t{256} << 20;

class NativeSource final : public SystemTableSource {
 public:
  LONG QueryProcessInformation(void* buffer, ULONG size, ULONG* needed) override {
    NtQuerySystemInformationFn query = reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void*>(ResolveExport(L"ntdll", "NtQuerySystemInformation")));
    if (query == nullptr) return kStatusNotImplemented;
    return query(kSystemProcessInformation, buffer, size, needed);
  }
  bool EnumerateTerminalProcesses(WTS_PROCESS_INFOW** table, DWORD* count) override {
    return WTSEnumerateProcessesW(WTS_CURRENT_SERVER_HANDLE, 0, 1, table, count) != FALSE;
  }
  void FreeTerminalProcesses(WTS_PROCESS_INFOW* table) override { WTSFreeMemory(table); }
  bool AccountName(PSID sid, std::u16string* name) override {
    wchar_t account[261] = {};
    wchar_t domain[261] = {};
    DWORD accountSize = 260;
    DWORD domainSize = 260;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, account, &accountSize, domain, &domainSize, &use)) {
      return false;
    }
    *name = FromWide(account);
    return true;
  }
};

}  // namespace

SystemTableSource* NativeSystemTables() {
  static NativeSource source;
  return &source;
}

void SystemTables::StartPass() {
  std::lock_guard<std::mutex> lock(mutex_);
  haveCpu_ = false;
  cpuTimes_.clear();
  cpuAsked_.clear();
  cpuMissReread_ = false;
  owners_.reset();
  ownerRows_.clear();
  ownerAsked_.clear();
  ownerMissReread_ = false;
}

bool SystemTables::NeedsReading(bool have, bool listed, uint32_t pid,
                                std::unordered_set<uint32_t>* asked, bool* missReread) {
  if (!have) return true;
  if (asked->count(pid) != 0) {
    // A new pass without a snapshot.
    asked->clear();
    *missReread = false;
    return true;
  }
  if (!listed && !*missReread) {
    *missReread = true;
    return true;
  }
  return false;
}

bool SystemTables::ReadCpuTable() {
  haveCpu_ = false;
  cpuTimes_.clear();
  // The table's size changes from call to call: grow the buffer and retry
  // while the call says it did not fit (whatever status it says so with).
  // 8-byte aligned storage.
  std::vector<uint64_t> storage;
  size_t size = cpuBufferSize_;
  LONG status = -1;
  for (int attempt = 0; attempt < 16; ++attempt) {
    try {
      storage.assign(size / sizeof(uint64_t), 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    ULONG needed = 0;
    status = source_->QueryProcessInformation(storage.data(), static_cast<ULONG>(size), &needed);
    if (status == 0) break;
    // A failure that names no larger size is not a matter of room.
    if (needed <= size && status != static_cast<LONG>(0xC0000004L)) return false;
    size_t next = size * 2;
    const size_t wanted = (static_cast<size_t>(needed) + 0x10000 + 7) & ~size_t{7};
    if (wanted > next) next = wanted;
    if (next > kCpuBufferLimit) return false;
    size = next;
  }
  if (status != 0) return false;
  cpuBufferSize_ = size;

  const nt::Layout& layout = nt::kLayout;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(storage.data());
  int64_t total = 0;
  size_t offset = 0;
  try {
    while (offset + layout.processEntryMinimum <= size) {
      const unsigned char* entry = bytes + offset;
      const int64_t time =
          static_cast<int64_t>(nt::Read<uint64_t>(entry, layout.processKernelTime)) +
          static_cast<int64_t>(nt::Read<uint64_t>(entry, layout.processUserTime));
      total += time;
      cpuTimes_[static_cast<uint32_t>(nt::ReadWord(entry, layout.processId))] += time;
      const uint32_t next = nt::Read<uint32_t>(entry, layout.processNextEntry);
      if (next == 0) break;
      offset += next;
    }
  } catch (const std::bad_alloc&) {
    cpuTimes_.clear();
    return false;
  }
  cpuTotal_ = total;
  haveCpu_ = true;
  return true;
}

bool SystemTables::CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (NeedsReading(haveCpu_, cpuTimes_.count(pid) != 0, pid, &cpuAsked_, &cpuMissReread_)) {
    if (!ReadCpuTable()) return false;
  }
  try {
    cpuAsked_.insert(pid);
  } catch (const std::bad_alloc&) {
    // Not remembering the question only means the next pass may reuse
    // this table once more.
  }
  auto it = cpuTimes_.find(pid);
  // A process absent from the system's accounting has used no time.
  *processTime = it != cpuTimes_.end() ? it->second : 0;
  *totalTime = cpuTotal_;
  return true;
}

bool SystemTables::ReadOwnerTable() {
  owners_.reset();
  ownerRows_.clear();
  WTS_PROCESS_INFOW* table = nullptr;
  DWORD count = 0;
  if (!source_->EnumerateTerminalProcesses(&table, &count)) return false;
  owners_ = std::unique_ptr<WTS_PROCESS_INFOW, FreeTerminal>(table, FreeTerminal{source_});
  try {
    for (DWORD i = 0; i < count; ++i) ownerRows_.emplace(table[i].ProcessId, i);
  } catch (const std::bad_alloc&) {
    owners_.reset();
    ownerRows_.clear();
    return false;
  }
  return true;
}

UserLookup SystemTables::ProcessUserName(uint32_t pid, std::u16string* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (NeedsReading(owners_ != nullptr, ownerRows_.count(pid) != 0, pid, &ownerAsked_,
                   &ownerMissReread_)) {
    if (!ReadOwnerTable()) return UserLookup::kTableUnavailable;
  }
  try {
    ownerAsked_.insert(pid);
  } catch (const std::bad_alloc&) {
  }
  auto it = ownerRows_.find(pid);
  if (it == ownerRows_.end()) return UserLookup::kNotListed;
  const WTS_PROCESS_INFOW& row = owners_.get()[it->second];
  if (row.pUserSid != nullptr && source_->AccountName(row.pUserSid, name)) return UserLookup::kFound;
  return UserLookup::kAccountUnknown;
}

}  // namespace platform
}  // namespace kelvane
