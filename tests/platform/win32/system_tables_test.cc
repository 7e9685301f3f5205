// The system-wide tables of a listing pass (CPU times and owners): read
// once per pass whatever the number of processes, through a scripted source
// of the native calls, and the same against the real calls during a whole
// listing.
#include <gtest/gtest.h>

#include "platform/win32/win32_platform.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "inventory/process_list.h"
#include "platform/win32/nt_layout.h"
#include "support/record_chains.h"

namespace kelvane {
namespace {

using platform::SystemTableSource;
using platform::UserLookup;
using platform::Win32Platform;

constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004L);

// Native tables made up by the test: process id -> CPU time and owner.
// Counts every call; the system process table is laid out as the system
// lays it out for this build's word size.
class ScriptedSource : public SystemTableSource {
 public:
  std::map<uint32_t, int64_t> cpu;
  std::map<uint32_t, std::u16string> owners;  // empty name: account unknown
  bool cpuWorks = true;
  bool ownersWork = true;
  size_t entryPadding = 0;  // extra bytes per entry (a bigger table)
  std::vector<ULONG> querySizes;
  int enumerations = 0;
  int frees = 0;
  int accountLookups = 0;

  LONG QueryProcessInformation(void* buffer, ULONG size, ULONG* needed) override {
    querySizes.push_back(size);
    if (!cpuWorks) return static_cast<LONG>(0xC0000001L);
    const platform::nt::Layout& layout = platform::nt::kLayout;
    const size_t entry = layout.processEntryMinimum + entryPadding;
    const size_t total = entry * cpu.size();
    if (total > size) {
      *needed = static_cast<ULONG>(total);
      return kLengthMismatch;
    }
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    std::memset(bytes, 0, total);
    size_t offset = 0;
    size_t index = 0;
    for (const auto& [pid, time] : cpu) {
      unsigned char* at = bytes + offset;
      const uint32_t next = ++index == cpu.size() ? 0 : static_cast<uint32_t>(entry);
      std::memcpy(at + layout.processNextEntry, &next, 4);
      const uint64_t user = static_cast<uint64_t>(time) / 2;
      const uint64_t kernel = static_cast<uint64_t>(time) - user;
      std::memcpy(at + layout.processUserTime, &user, 8);
      std::memcpy(at + layout.processKernelTime, &kernel, 8);
      const uintptr_t id = pid;
      std::memcpy(at + layout.processId, &id, sizeof id);
      offset += entry;
    }
    *needed = static_cast<ULONG>(total);
    return 0;
  }
  bool EnumerateTerminalProcesses(WTS_PROCESS_INFOW** table, DWORD* count) override {
    ++enumerations;
    if (!ownersWork) return false;
    auto* rows = new WTS_PROCESS_INFOW[owners.size() + 1]();
    DWORD i = 0;
    for (const auto& entry : owners) {
      rows[i].ProcessId = entry.first;
      // The "SID" is the row's own name, for AccountName to read back.
      rows[i].pUserSid = const_cast<char16_t*>(owners[entry.first].c_str());
      ++i;
    }
    *table = rows;
    *count = i;
    return true;
  }
  void FreeTerminalProcesses(WTS_PROCESS_INFOW* table) override {
    ++frees;
    delete[] table;
  }
  bool AccountName(PSID sid, std::u16string* name) override {
    ++accountLookups;
    const std::u16string text = static_cast<const char16_t*>(sid);
    if (text.empty()) return false;
    *name = text;
    return true;
  }
};

// One listing pass as the inventory makes it: a snapshot, then every
// process's CPU times and owner.
void Pass(Win32Platform& platform, const std::vector<uint32_t>& pids,
          std::map<uint32_t, int64_t>* times = nullptr) {
  std::vector<uint32_t> ignored;
  platform.SnapshotProcessIds(&ignored);
  for (uint32_t pid : pids) {
    int64_t own = -1;
    int64_t total = -1;
    ASSERT_TRUE(platform.CpuTimes(pid, &own, &total));
    if (times != nullptr) (*times)[pid] = own;
    std::u16string name;
    platform.ProcessUserName(pid, &name);
  }
}

TEST(SystemTables, APassReadsEachTableOnceWhateverTheNumberOfProcesses) {
  for (uint32_t n : {1u, 10u, 300u}) {
    ScriptedSource source;
    std::vector<uint32_t> pids;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t pid = 4 * (i + 1);
      pids.push_back(pid);
      source.cpu[pid] = 100 * (i + 1);
      source.owners[pid] = u"user" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
    }
    {
      Win32Platform platform(&source);
      Pass(platform, pids);
      EXPECT_EQ(source.querySizes.size(), 1u) << n;
      EXPECT_EQ(source.enumerations, 1) << n;
      // Accounts are named only for the processes asked about.
      EXPECT_EQ(source.accountLookups, static_cast<int>(n));
      Pass(platform, pids);
      EXPECT_EQ(source.querySizes.size(), 2u) << n;
      EXPECT_EQ(source.enumerations, 2) << n;
      EXPECT_EQ(source.frees, 1);
    }
    // The last table goes with the platform.
    EXPECT_EQ(source.frees, 2);
  }
}

TEST(SystemTables, AnswersAreThoseOfTheWholeTable) {
  ScriptedSource source;
  source.cpu = {{4, 10}, {8, 31}, {12, 0}, {16, 7}};
  source.owners = {{4, u"SYSTEM"}, {8, u""}, {16, u"alice"}};
  Win32Platform platform(&source);
  std::vector<uint32_t> ignored;
  platform.SnapshotProcessIds(&ignored);
  int64_t own = -1;
  int64_t total = -1;
  ASSERT_TRUE(platform.CpuTimes(8, &own, &total));
  EXPECT_EQ(own, 31);
  EXPECT_EQ(total, 48);
  // A process the accounting does not know has used nothing.
  ASSERT_TRUE(platform.CpuTimes(400, &own, &total));
  EXPECT_EQ(own, 0);
  EXPECT_EQ(total, 48);

  std::u16string name = u"preset";
  EXPECT_EQ(platform.ProcessUserName(16, &name), UserLookup::kFound);
  EXPECT_EQ(name, u"alice");
  name = u"preset";
  EXPECT_EQ(platform.ProcessUserName(8, &name), UserLookup::kAccountUnknown);
  EXPECT_EQ(platform.ProcessUserName(12, &name), UserLookup::kNotListed);
  EXPECT_EQ(name, u"preset");
}

TEST(SystemTables, RereadWhenAskedAgainAndOnceForAMissingProcess) {
  ScriptedSource source;
  source.cpu = {{4, 10}, {8, 20}};
  source.owners = {{4, u"a"}, {8, u"b"}};
  Win32Platform platform(&source);
  int64_t own = 0;
  int64_t total = 0;
  std::u16string name;
  // Without a snapshot: the first question reads the table.
  ASSERT_TRUE(platform.CpuTimes(4, &own, &total));
  ASSERT_TRUE(platform.CpuTimes(8, &own, &total));
  EXPECT_EQ(source.querySizes.size(), 1u);
  // A process started since: read once more, then served as missing.
  source.cpu[12] = 5;
  ASSERT_TRUE(platform.CpuTimes(12, &own, &total));
  EXPECT_EQ(own, 5);
  EXPECT_EQ(source.querySizes.size(), 2u);
  ASSERT_TRUE(platform.CpuTimes(100, &own, &total));
  ASSERT_TRUE(platform.CpuTimes(104, &own, &total));
  EXPECT_EQ(source.querySizes.size(), 2u);
  EXPECT_EQ(own, 0);
  // An id asked again starts another pass: the times are current, and a
  // missing process may be looked for once more.
  source.cpu[4] = 50;
  ASSERT_TRUE(platform.CpuTimes(4, &own, &total));
  EXPECT_EQ(own, 50);
  EXPECT_EQ(total, 75);
  EXPECT_EQ(source.querySizes.size(), 3u);
  ASSERT_TRUE(platform.CpuTimes(108, &own, &total));
  EXPECT_EQ(source.querySizes.size(), 4u);

  EXPECT_EQ(platform.ProcessUserName(4, &name), UserLookup::kFound);
  EXPECT_EQ(platform.ProcessUserName(4, &name), UserLookup::kFound);
  EXPECT_EQ(source.enumerations, 2);
  EXPECT_EQ(source.frees, 1);
}

TEST(SystemTables, FailuresAreNotKept) {
  ScriptedSource source;
  source.cpu = {{4, 10}};
  source.owners = {{4, u"a"}};
  source.cpuWorks = false;
  source.ownersWork = false;
  Win32Platform platform(&source);
  int64_t own = -1;
  int64_t total = -1;
  std::u16string name;
  EXPECT_FALSE(platform.CpuTimes(4, &own, &total));
  EXPECT_EQ(own, -1);
  EXPECT_EQ(platform.ProcessUserName(4, &name), UserLookup::kTableUnavailable);
  source.cpuWorks = true;
  source.ownersWork = true;
  EXPECT_TRUE(platform.CpuTimes(4, &own, &total));
  EXPECT_EQ(own, 10);
  EXPECT_EQ(platform.ProcessUserName(4, &name), UserLookup::kFound);
  EXPECT_EQ(source.frees, 0);
}

TEST(SystemTables, TheBufferStartsAtTheSizeThatFittedLastTime) {
  ScriptedSource source;
  for (uint32_t pid = 4; pid <= 4 * 2000; pid += 4) source.cpu[pid] = 1;
  source.entryPadding = 200;  // about 0.5 MB: more than the first guess
  Win32Platform platform(&source);
  std::vector<uint32_t> ignored;
  platform.SnapshotProcessIds(&ignored);
  int64_t own = 0;
  int64_t total = 0;
  ASSERT_TRUE(platform.CpuTimes(4, &own, &total));
  EXPECT_EQ(total, 2000);
  ASSERT_EQ(source.querySizes.size(), 2u);
  EXPECT_LT(source.querySizes[0], source.querySizes[1]);
  platform.SnapshotProcessIds(&ignored);
  ASSERT_TRUE(platform.CpuTimes(4, &own, &total));
  ASSERT_EQ(source.querySizes.size(), 3u);
  EXPECT_EQ(source.querySizes[2], source.querySizes[1]);
}

// Counts the real native calls while passing them on.
class CountingSource : public SystemTableSource {
 public:
  int queries = 0;
  int enumerations = 0;
  LONG QueryProcessInformation(void* buffer, ULONG size, ULONG* needed) override {
    ++queries;
    return platform::NativeSystemTables()->QueryProcessInformation(buffer, size, needed);
  }
  bool EnumerateTerminalProcesses(WTS_PROCESS_INFOW** table, DWORD* count) override {
    ++enumerations;
    return platform::NativeSystemTables()->EnumerateTerminalProcesses(table, count);
  }
  void FreeTerminalProcesses(WTS_PROCESS_INFOW* table) override {
    platform::NativeSystemTables()->FreeTerminalProcesses(table);
  }
  bool AccountName(PSID sid, std::u16string* name) override {
    return platform::NativeSystemTables()->AccountName(sid, name);
  }
};

TEST(SystemTables, AWholeListingReadsTheLiveTablesOncePerPass) {
  CountingSource source;
  Win32Platform counting(&source);
  platform::SetForTesting(&counting);
  uint32_t count = 0;
  ProcessRecord* list = testing::CollectProcessChain(&count);
  platform::SetForTesting(nullptr);
  FreeProcessList(list);
  ASSERT_GE(count, 2u);
  // Two passes (the priming one and the listing), each reading the CPU
  // table once (twice at most, should a process vanish meanwhile; the
  // buffer may grow once) and the listing reading the owners once.
  EXPECT_GE(source.queries, 2);
  EXPECT_LE(source.queries, 6);
  EXPECT_GE(source.enumerations, 1);
  EXPECT_LE(source.enumerations, 2);
}

}  // namespace
}  // namespace kelvane
