// Control operations over a scripted platform: the child rule of the tree
// stop (recorded parent and start time), listing failures, id conversion
// and the per-target loop. Nothing here touches a real process.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "control/control.h"
#include "plugin/message_table.h"
#include "support/targets.h"
#include "support/fake_platform.h"

namespace kelvane {
namespace testing {
namespace {

struct ScriptedProcess {
  uint32_t parent = 0;
  uint64_t start = 0;
  bool opens = true;
  bool opensForStop = true;  // grants the stop access (a query open still works)
  bool queries = true;
  bool stops = true;
  bool acceptsPriority = true;
};

class ScriptedPlatform : public FakePlatform {
 public:
  bool listingWorks = true;
  std::vector<uint32_t> listing;
  std::map<uint32_t, ScriptedProcess> processes;
  std::vector<uint32_t> opened;       // ids asked for, in order
  std::vector<uint32_t> stopped;      // ids stopped, in order
  std::vector<uint32_t> prioritySet;  // classes set, in order
  // When set, the children of a stopped process are handed to this id at
  // once, as Linux hands orphans to the nearest subreaper.
  uint32_t subreaper = 0;

  void Add(uint32_t pid, uint32_t parent, uint64_t start) {
    listing.push_back(pid);
    processes[pid].parent = parent;
    processes[pid].start = start;
  }

  bool EnumerateProcessIds(std::vector<uint32_t>* pids) override {
    if (!listingWorks) return false;
    *pids = listing;
    return true;
  }
  std::unique_ptr<platform::ProcessHandle> OpenProcess(uint32_t pid, uint32_t access) override {
    opened.push_back(pid);
    auto it = processes.find(pid);
    if (it == processes.end() || !it->second.opens) return nullptr;
    if (access == platform::kAccessTerminate && !it->second.opensForStop) return nullptr;
    return std::make_unique<FakeProcess>(pid);
  }
  bool TerminateProcess(platform::ProcessHandle& process, uint32_t exitCode) override {
    EXPECT_EQ(0u, exitCode);
    if (!processes[process.pid()].stops) return false;
    stopped.push_back(process.pid());
    if (subreaper != 0) {
      for (auto& entry : processes) {
        if (entry.second.parent == process.pid()) entry.second.parent = subreaper;
      }
    }
    return true;
  }
  bool QueryParent(platform::ProcessHandle& process, uint32_t* parent, uint64_t* start) override {
    const ScriptedProcess& p = processes[process.pid()];
    if (!p.queries) return false;
    *parent = p.parent;
    *start = p.start;
    return true;
  }
  bool SetPriorityClass(platform::ProcessHandle& process, uint32_t priorityClass) override {
    if (!processes[process.pid()].acceptsPriority) return false;
    prioritySet.push_back(priorityClass);
    return true;
  }
};

using Ids = std::vector<uint32_t>;

TEST(TreeStopRuleTest, StopsOnlyDirectChildrenStartedNoEarlierThanTheTarget) {
  ScriptedPlatform fake;
  fake.Add(1, 0, 1);
  fake.Add(300, 100, 40);  // parent id matches, but older than the target: an orphan of a former 100
  fake.Add(100, 1, 50);    // the target
  fake.Add(200, 100, 60);  // child
  fake.Add(400, 200, 70);  // grandchild
  fake.Add(500, 100, 50);  // child started in the same tick as the target
  fake.Add(600, 7, 80);    // unrelated
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(1, TerminateProcessTree(100));
  EXPECT_EQ((Ids{200, 500, 100}), fake.stopped);  // children in listing order, target last
}

TEST(TreeStopRuleTest, GrandchildrenHandedToASubreaperTargetAreSpared) {
  // The target adopts orphans: once a child is stopped, its own child names
  // the target as parent. It was not a child when the stop began.
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);    // the target, a subreaper
  fake.Add(200, 100, 60);  // child
  fake.Add(300, 200, 70);  // grandchild, listed after its parent
  fake.Add(400, 100, 80);  // child
  fake.subreaper = 100;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(1, TerminateProcessTree(100));
  EXPECT_EQ((Ids{200, 400, 100}), fake.stopped);
}

TEST(TreeStopRuleTest, ListingFailureStopsNothing) {
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);
  fake.Add(200, 100, 60);
  fake.listingWorks = false;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(0, TerminateProcessTree(100));
  EXPECT_TRUE(fake.stopped.empty());
}

TEST(TreeStopRuleTest, UndatableOrUnopenableTargetStopsNothing) {
  for (int unopenable = 0; unopenable < 2; ++unopenable) {
    ScriptedPlatform fake;
    fake.Add(100, 1, 50);
    fake.Add(200, 100, 60);
    if (unopenable) {
      fake.processes[100].opens = false;
    } else {
      fake.processes[100].queries = false;
    }
    ScopedPlatform scoped(&fake);
    EXPECT_EQ(0, TerminateProcessTree(100)) << unopenable;
    EXPECT_TRUE(fake.stopped.empty()) << unopenable;
  }
}

TEST(TreeStopRuleTest, TargetThatMayNotBeStoppedStillHasItsChildrenStopped) {
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);
  fake.Add(200, 100, 60);
  fake.Add(300, 100, 40);  // older than the target: not its child
  fake.processes[100].opensForStop = false;
  ScopedPlatform scoped(&fake);
  EXPECT_EQ(0, TerminateProcessTree(100));
  EXPECT_EQ((Ids{200}), fake.stopped);
}

TEST(TreeStopRuleTest, UnreachableChildrenAreSkippedAndDoNotDecideTheResult) {
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);
  fake.Add(200, 100, 60);
  fake.Add(201, 100, 60);
  fake.Add(202, 100, 60);
  fake.Add(203, 100, 60);
  fake.processes[200].opens = false;
  fake.processes[201].queries = false;
  fake.processes[202].stops = false;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(1, TerminateProcessTree(100));
  EXPECT_EQ((Ids{203, 100}), fake.stopped);
}

TEST(TreeStopRuleTest, TargetThatRefusesToStopFailsAfterItsChildren) {
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);
  fake.Add(200, 100, 60);
  fake.processes[100].stops = false;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(0, TerminateProcessTree(100));
  EXPECT_EQ((Ids{200}), fake.stopped);
}

TEST(TreeStopRuleTest, ExaminesEveryListedProcessBeyondAThousand) {
  ScriptedPlatform fake;
  fake.Add(1, 0, 1);
  for (uint32_t pid = 2; pid < 3000; ++pid) fake.Add(pid, 1, 10);
  fake.processes[2999].parent = 2;
  fake.processes[2999].start = 20;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(1, TerminateProcessTree(2));
  EXPECT_EQ((Ids{2999, 2}), fake.stopped);
}

TEST(ControlOperationsTest, PriorityClassIsPassedOnUnchanged) {
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(1, SetProcessPriorityClass(100, 64));
  EXPECT_EQ(1, SetProcessPriorityClass(100, 0xFFFFFFFFu));
  EXPECT_EQ((Ids{64, 0xFFFFFFFFu}), fake.prioritySet);
  fake.processes[100].acceptsPriority = false;
  EXPECT_EQ(0, SetProcessPriorityClass(100, 32));
  EXPECT_EQ(0, SetProcessPriorityClass(101, 32));  // no such process
  EXPECT_EQ(0, TerminateProcessById(101));
}

// What a target's message must read: the table's text when the table
// answers, the id itself otherwise, cut to the field.
std::u16string ExpectedMessage(const char16_t* id) {
  const char16_t* text = LookupMessage(id);
  std::u16string message = text != nullptr ? text : id;
  return message.substr(0, 260);
}

TEST(ApplyToTargetsTest, ConvertsIdTextsTheWayNumbersAreRead) {
  ScriptedPlatform fake;
  ScopedPlatform scoped(&fake);
  auto targets = MakeTargets({u"abc", u"0", u"-1", u"-5", u"99999999", u"", u"  42", u"+7x", u"0x40"}, -1);
  int32_t code = 0;
  ApplyToTargets(&targets[0], ControlOp::kStop, u"TerminateProcSuccessed", u"TerminateProcFailed",
                 &code);
  EXPECT_EQ((Ids{0, 0, 0xFFFFFFFFu, 0xFFFFFFFBu, 99999999, 0, 42, 7, 0}), fake.opened);
  EXPECT_EQ(1, code);
  for (const ProcTarget& t : targets) EXPECT_EQ(1, t.nResult);
}

TEST(ApplyToTargetsTest, EveryTargetIsProcessedAndAFailureSetsTheCode) {
  for (ControlOp op : {ControlOp::kStop, ControlOp::kStopTree, ControlOp::kSetPriority}) {
    ScriptedPlatform fake;
    fake.Add(10, 1, 5);
    fake.Add(30, 1, 5);
    ScopedPlatform scoped(&fake);
    auto targets = MakeTargets({u"10", u"20", u"30"}, 64);
    int32_t code = 0;
    ApplyToTargets(&targets[0], op, u"Good", u"Bad", &code);
    EXPECT_EQ(1, code);
    EXPECT_EQ(0, targets[0].nResult);
    EXPECT_EQ(1, targets[1].nResult);
    EXPECT_EQ(0, targets[2].nResult);
    EXPECT_EQ(ExpectedMessage(u"Good"), std::u16string(FieldView(targets[0].szErrMsg)));
    EXPECT_EQ(ExpectedMessage(u"Bad"), std::u16string(FieldView(targets[1].szErrMsg)));
    EXPECT_EQ(ExpectedMessage(u"Good"), std::u16string(FieldView(targets[2].szErrMsg)));
    if (op == ControlOp::kSetPriority) {
      EXPECT_EQ((Ids{64, 64}), fake.prioritySet);
    } else {
      EXPECT_EQ((Ids{10, 30}), fake.stopped);
    }
  }
}

TEST(ApplyToTargetsTest, AllSuccessLeavesTheCodeAsItWas) {
  ScriptedPlatform fake;
  fake.Add(10, 1, 5);
  ScopedPlatform scoped(&fake);
  auto targets = MakeTargets({u"10"}, 32);
  int32_t code = 7;
  ApplyToTargets(&targets[0], ControlOp::kSetPriority, u"Good", u"Bad", &code);
  EXPECT_EQ(7, code);
  EXPECT_EQ(0, targets[0].nResult);

  ApplyToTargets(nullptr, ControlOp::kStop, u"Good", u"Bad", &code);  // empty chain
  EXPECT_EQ(7, code);
  ApplyToTargets(&targets[0], ControlOp::kStop, u"Good", u"Bad", nullptr);  // no code to set
  EXPECT_EQ(0, targets[0].nResult);
}

TEST(ApplyToTargetsTest, LongMessagesAreCutToTheField) {
  ScriptedPlatform fake;
  ScopedPlatform scoped(&fake);
  auto targets = MakeTargets({u"10"}, 32);
  for (char16_t& c : targets[0].szErrMsg) c = u'#';
  const std::u16string longId(400, u'M');
  int32_t code = 0;
  ApplyToTargets(&targets[0], ControlOp::kStop, u"Good", longId.c_str(), &code);
  EXPECT_EQ(ExpectedMessage(longId.c_str()), std::u16string(FieldView(targets[0].szErrMsg)));
  EXPECT_EQ(u'\0', targets[0].szErrMsg[260]);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
