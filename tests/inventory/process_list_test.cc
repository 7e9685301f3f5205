#include "inventory/process_list.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "inventory/cpu_sampler.h"
#include "inventory/scripted_platform.h"
#include "plugin/request.h"
#include "support/targets.h"
#include "support/record_chains.h"

namespace kelvane {
namespace testing {
namespace {

using platform::ModuleEntry;
using platform::UserLookup;

// A process that answers every query.
ScriptedProcess FullProcess() {
  ScriptedProcess p;
  p.baseName = u"app.exe";
  p.fullPath = u"\\??\\C:\\apps\\app.exe";
  p.commandLine = u"app.exe --run";
  p.userLookup = UserLookup::kFound;
  p.userName = u"alice";
  p.workingSet = 1 << 20;
  p.priority = 32;
  p.modules = std::vector<ModuleEntry>{{u"app.exe", u"C:\\apps\\app.exe"}, {u"lib.dll", u"C:\\lib.dll"}};
  p.cpuTime = 5;
  return p;
}

class CollectorTest : public ::testing::Test {
 protected:
  CollectorTest() : scoped_(&platform_) {
    ClearCpuSamples();
    platform_.totalCpuTime = 100;
    platform_.fileSizes[u"C:\\apps\\app.exe"] = 4096;
  }
  ~CollectorTest() override { ClearCpuSamples(); }

  RecordList Collect(uint32_t pid, int* result) {
    RecordList record(new ProcessRecord());
    *result = CollectProcessInfo(pid, record.get());
    return record;
  }

  ScriptedPlatform platform_;
  ScopedPlatform scoped_;
  FakeClock clock_;
};

TEST_F(CollectorTest, IdleRecordNeedsNoProcess) {
  int result = 0;
  RecordList record = Collect(0, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Text(record->szName), u"System Idle Process");
  EXPECT_EQ(Text(record->szPath), u"(N/A)");
  EXPECT_EQ(Text(record->szUserName), u"System");
  EXPECT_EQ(record->nMemoryUsage, 16384);
  EXPECT_EQ(record->nCpuUsage, 0);
  EXPECT_EQ(Text(record->szCommandLine), u"");
  EXPECT_EQ(record->pModules, nullptr);
  EXPECT_TRUE(platform_.opened.empty());
  EXPECT_TRUE(platform_.sampled.empty());
}

TEST_F(CollectorTest, IdleMemoryFollowsTheOsFamily) {
  platform::OsVersionFacts xp;
  xp.extendedInfo = true;
  xp.platformId = 2;
  xp.major = 5;
  xp.minor = 1;
  platform_.osFacts = xp;
  int result = 0;
  EXPECT_EQ(Collect(0, &result)->nMemoryUsage, 28672);
  platform_.osFacts->minor = 2;  // family 8
  EXPECT_EQ(Collect(0, &result)->nMemoryUsage, 16384);
}

TEST_F(CollectorTest, SystemIdsKeepTheirTextsEvenWhenTheyCannotBeOpened) {
  for (uint32_t pid : {4u, 8u}) {
    int result = -1;
    RecordList record = Collect(pid, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(record->dwPID, pid);
    EXPECT_EQ(Text(record->szName), u"System");
    EXPECT_EQ(Text(record->szPath), u"(N/A)");
    EXPECT_EQ(Text(record->szUserName), u"System");
    EXPECT_EQ(record->nMemoryUsage, 0);
    EXPECT_EQ(record->dwPriority, 0u);
  }
}

TEST_F(CollectorTest, SystemIdsTakeMemoryAndPriorityButNoCpuSample) {
  platform_.processes[4] = FullProcess();
  int result = 0;
  RecordList record = Collect(4, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Text(record->szName), u"System");
  EXPECT_EQ(Text(record->szCommandLine), u"");
  EXPECT_EQ(record->nMemoryUsage, 1 << 20);
  EXPECT_EQ(record->dwPriority, 32u);
  EXPECT_EQ(record->nCpuUsage, 0);
  EXPECT_EQ(record->pModules, nullptr);
  EXPECT_TRUE(platform_.sampled.empty());
}

TEST_F(CollectorTest, OrdinaryProcessFillsEveryField) {
  platform_.processes[10] = FullProcess();
  int result = 0;
  RecordList record = Collect(10, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(record->dwPID, 10u);
  EXPECT_EQ(Text(record->szName), u"app.exe");
  EXPECT_EQ(Text(record->szPath), u"C:\\apps\\app.exe");
  EXPECT_EQ(Text(record->szCommandLine), u"app.exe --run");
  EXPECT_EQ(Text(record->szUserName), u"alice");
  EXPECT_EQ(record->nFileSize, 4096);  // normalised before the size query
  EXPECT_EQ(record->nCpuUsage, 5);     // first sample: 5 of 100
  EXPECT_EQ(record->nMemoryUsage, 1 << 20);
  EXPECT_EQ(record->dwPriority, 32u);
  ASSERT_NE(record->pModules, nullptr);
  EXPECT_EQ(Text(record->pModules->szName), u"app.exe");
  ASSERT_NE(record->pModules->pNext, nullptr);
  EXPECT_EQ(Text(record->pModules->pNext->szName), u"lib.dll");
  EXPECT_EQ(record->pModules->pNext->pNext, nullptr);
}

TEST_F(CollectorTest, FailingProbesLeaveFieldsEmptyAndTheRecordStands) {
  ScriptedProcess p;
  p.baseName = u"bare";
  p.fullPath = u"/bare";
  p.priority = 0;
  platform_.processes[10] = p;
  platform_.totalCpuTime.reset();
  int result = 0;
  RecordList record = Collect(10, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Text(record->szName), u"bare");
  EXPECT_EQ(Text(record->szCommandLine), u"");
  EXPECT_EQ(Text(record->szUserName), u"");
  EXPECT_EQ(record->nFileSize, 0);
  EXPECT_EQ(record->nCpuUsage, 0);
  EXPECT_EQ(record->nMemoryUsage, 0);
  EXPECT_EQ(record->pModules, nullptr);
}

TEST_F(CollectorTest, EmptyCommandLineReadsUnknown) {
  platform_.processes[10] = FullProcess();
  platform_.processes[10].commandLine = u"";
  int result = 0;
  EXPECT_EQ(Text(Collect(10, &result)->szCommandLine), u"<unknown>");
}

TEST_F(CollectorTest, UninspectableProcessesHoldOnlyTheirId) {
  platform_.processes[10] = FullProcess();
  platform_.processes[10].openable = false;
  platform_.processes[11] = FullProcess();
  platform_.processes[11].baseName.reset();
  platform_.processes[12] = FullProcess();
  platform_.processes[12].fullPath.reset();
  for (uint32_t pid : {10u, 11u, 12u, 13u}) {
    int result = -1;
    RecordList record = Collect(pid, &result);
    EXPECT_EQ(result, 0) << pid;
    EXPECT_EQ(record->dwPID, pid);
    EXPECT_EQ(Text(record->szName), u"");
    EXPECT_EQ(Text(record->szPath), u"");
    EXPECT_EQ(record->pModules, nullptr);
  }
}

class ListBuilderTest : public CollectorTest {
 protected:
  ListBuilderTest() {
    platform_.snapshot = {0, 4, 8, 10, 11, 12};
    platform_.processes[8] = FullProcess();
    platform_.processes[10] = FullProcess();
    platform_.processes[11] = FullProcess();
    platform_.processes[11].openable = false;
    platform_.processes[12] = FullProcess();
    platform_.processes[12].cpuTime = 0;
  }
  std::vector<uint32_t> Pids(const ProcessRecord* head) {
    std::vector<uint32_t> pids;
    for (; head != nullptr; head = head->pNext) pids.push_back(head->dwPID);
    return pids;
  }
};

TEST_F(ListBuilderTest, ListsInspectableProcessesInSnapshotOrder) {
  uint32_t count = 77;
  RecordList list(CollectProcessChain(&count));
  EXPECT_EQ(Pids(list.get()), (std::vector<uint32_t>{0, 4, 8, 10, 12}));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(CpuSampleCountForTesting(), 0u);
  EXPECT_EQ(platform_.debugPrivilegeRequests, 2u);
}

TEST_F(ListBuilderTest, CpuUsageCoversTheTimeBetweenThePasses) {
  clock_.OnSleep([this] {
    platform_.processes[10].cpuTime += 3;
    *platform_.totalCpuTime += 8;
  });
  uint32_t count = 0;
  RecordList list(CollectProcessChain(&count));
  const ProcessRecord* record = list.get();
  while (record != nullptr && record->dwPID != 10) record = record->pNext;
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->nCpuUsage, 37);
  EXPECT_EQ(list->nCpuUsage, 0);  // the idle record before the dispatcher's correction
  // Every id is sampled in the priming pass; only ordinary ones again.
  EXPECT_EQ(platform_.sampled, (std::vector<uint32_t>{0, 4, 8, 10, 11, 12, 10, 12}));
}

TEST_F(ListBuilderTest, NoTimeBetweenThePassesLeavesCpuAtZero) {
  uint32_t count = 0;
  RecordList list(CollectProcessChain(&count));
  for (const ProcessRecord* r = list.get(); r != nullptr; r = r->pNext) EXPECT_EQ(r->nCpuUsage, 0);
}

TEST_F(ListBuilderTest, CollectionWaitsForTheRestOfTheWindow) {
  platform_.clockStepPerSample = 10;  // the priming pass takes 60 ms
  uint32_t count = 0;
  RecordList list(CollectProcessChain(&count));
  EXPECT_EQ(clock_.sleeps(), (std::vector<int64_t>{kCpuSampleWindowMs - 60}));
}

TEST_F(ListBuilderTest, NoWaitAfterASlowPrimingPass) {
  platform_.clockStepPerSample = 50;  // 300 ms
  uint32_t count = 0;
  RecordList list(CollectProcessChain(&count));
  EXPECT_TRUE(clock_.sleeps().empty());
  EXPECT_EQ(count, 5u);
}

TEST_F(ListBuilderTest, NoSnapshotGivesNothing) {
  platform_.snapshotWorks = false;
  uint32_t count = 77;
  EXPECT_EQ(CollectProcessChain(&count), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(CollectProcessChain(nullptr), nullptr);
}

TEST_F(ListBuilderTest, NothingInspectableGivesNull) {
  platform_.snapshot = {11, 13};
  uint32_t count = 77;
  EXPECT_EQ(CollectProcessChain(&count), nullptr);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(CpuSampleCountForTesting(), 0u);
}

using TargetsTest = ListBuilderTest;

TEST_F(TargetsTest, OneRecordPerTargetInRequestOrder) {
  // 4321 names no process; "abc" reads as 0: the idle record.
  const auto targets = MakeTargets({u"12", u"4321", u"abc", u" 0010x", u"-1"});
  uint32_t count = 77;
  RecordList list(CollectTargetChain(&targets[0], &count));
  EXPECT_EQ(Pids(list.get()), (std::vector<uint32_t>{12, 4321, 0, 10, 4294967295u}));
  EXPECT_EQ(count, 3u);
  const ProcessRecord* vanished = list->pNext;
  EXPECT_EQ(Text(vanished->szName), u"");
  EXPECT_EQ(vanished->pModules, nullptr);
  EXPECT_EQ(Text(vanished->pNext->szName), u"System Idle Process");
  EXPECT_NE(list->pModules, nullptr);
  EXPECT_EQ(platform_.debugPrivilegeRequests, 1u);
  // The module command keeps its samples until the next list build.
  EXPECT_EQ(CpuSampleCountForTesting(), 2u);
}

// The module command keeps one target's record at a time: each record goes
// to the sink (which writes and frees it) before the next target is opened.
TEST_F(TargetsTest, EachRecordIsHandedOverBeforeTheNextTargetIsOpened) {
  struct Sink final : ProcessRecordSink {
    explicit Sink(const ScriptedPlatform* p) : platform(p) {}
    void Take(ProcessRecord* record) override {
      const RecordList owned(record);
      takes.push_back({record->dwPID, platform->opened.back(), platform->opened.size()});
    }
    const ScriptedPlatform* platform;
    std::vector<std::vector<size_t>> takes;  // pid, last id opened, opens so far
  } sink(&platform_);
  const auto targets = MakeTargets({u"12", u"4321"});
  bool complete = false;
  EXPECT_EQ(CollectTargetProcesses(&targets[0], &sink, &complete), 1u);
  EXPECT_TRUE(complete);
  ASSERT_EQ(sink.takes.size(), 2u);
  EXPECT_EQ(sink.takes[0], (std::vector<size_t>{12, 12, sink.takes[0][2]}));
  EXPECT_EQ(sink.takes[1], (std::vector<size_t>{4321, 4321, platform_.opened.size()}));
}

TEST_F(TargetsTest, NoTargets) {
  uint32_t count = 77;
  EXPECT_EQ(CollectTargetChain(nullptr, &count), nullptr);
  EXPECT_EQ(count, 0u);
  const auto targets = MakeTargets({u"10"});
  RecordList list(CollectTargetChain(&targets[0], nullptr));
  EXPECT_NE(list, nullptr);
  FreeProcessList(nullptr);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
