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
  platform::OpenFailure openFailure = platform::OpenFailure::kNoProcess;  // why, when it does not open
  bool opensForStop = true;  // grants the stop access (a query open still works)
  bool opensForQuery = true;  // grants 0x410 (0x1000 still works)
  bool endsWhenQueried = false;  // its parent query finds it gone, and so does every later open
  bool queries = true;
  bool stops = true;
  bool ended = false;  // has ended by itself (a stop then finds no one)
  bool acceptsPriority = true;
};

class ScriptedPlatform : public FakePlatform {
 public:
  static constexpr uint32_t kGone = 0xFFFFFFFFu;  // parent of a process that has ended

  bool listingWorks = true;
  std::vector<uint32_t> listing;
  std::map<uint32_t, ScriptedProcess> processes;
  std::vector<uint32_t> opened;       // ids asked for, in order
  std::vector<uint32_t> stopped;      // ids stopped, in order
  std::vector<uint32_t> prioritySet;  // classes set, in order
  // When set, the children of a stopped process are handed to this id at
  // once, as Linux hands orphans to the nearest subreaper.
  uint32_t subreaper = 0;
  uint32_t initPid = 0;                 // the id IsInitProcessId names (0: none)
  uint32_t callerPid = 0;               // the id IsCallerProcessId names (0: none)
  std::vector<uint32_t> released;       // ids whose query resources were given up
  std::vector<uint32_t> openAccess;     // access of every open, in order

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
    platform::OpenFailure why;
    return OpenProcessOrWhy(pid, access, &why);
  }
  std::unique_ptr<platform::ProcessHandle> OpenProcessOrWhy(uint32_t pid, uint32_t access,
                                                            platform::OpenFailure* why) override {
    opened.push_back(pid);
    openAccess.push_back(access);
    *why = platform::OpenFailure::kNoProcess;
    auto it = processes.find(pid);
    if (it == processes.end()) return nullptr;
    const ScriptedProcess& p = it->second;
    if (p.endsWhenQueried && p.parent == kGone) return nullptr;
    *why = p.openFailure;
    if (!p.opens) return nullptr;
    *why = platform::OpenFailure::kDenied;
    if (access == platform::kAccessTerminate && !p.opensForStop) return nullptr;
    if (access == platform::kAccessQuery && !p.opensForQuery) return nullptr;
    if (access == platform::kAccessQueryLimited && !p.opensForQuery) {
      EXPECT_FALSE(p.opensForStop);  // asked for only after both others were refused
    }
    *why = platform::OpenFailure::kNone;
    return std::make_unique<FakeProcess>(pid);
  }
  bool IsInitProcessId(uint32_t pid) override { return initPid != 0 && pid == initPid; }
  bool IsCallerProcessId(uint32_t pid) override { return callerPid != 0 && pid == callerPid; }
  void ReleaseQueryResources(platform::ProcessHandle& process) override {
    released.push_back(process.pid());
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
  bool ProcessHasEnded(platform::ProcessHandle& process) override { return processes[process.pid()].ended; }
  bool QueryParent(platform::ProcessHandle& process, uint32_t* parent, uint64_t* start) override {
    ScriptedProcess& p = processes[process.pid()];
    if (p.endsWhenQueried) p.parent = kGone;
    if (!p.queries || p.endsWhenQueried) return false;
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

// What a target's message must read: the table's text when the table
// answers, the id itself otherwise, cut to the field.
std::u16string ExpectedMessage(const char16_t* id) {
  const char16_t* text = LookupMessage(id);
  std::u16string message = text != nullptr ? text : id;
  return message.substr(0, 260);
}


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

// A target that ends by itself while its children are stopped (a shell
// waiting for its child) is stopped as asked; one that refuses the stop
// and still runs is not.
TEST(TreeStopRuleTest, ATargetThatEndedWithItsChildrenIsStopped) {
  for (bool ended : {true, false}) {
    ScriptedPlatform fake;
    fake.Add(100, 1, 50);
    fake.Add(200, 100, 60);
    fake.processes[100].stops = false;
    fake.processes[100].ended = ended;
    ScopedPlatform scoped(&fake);
    EXPECT_EQ(ended ? 1 : 0, TerminateProcessTree(100)) << (ended ? "ended" : "still running");
    EXPECT_EQ((Ids{200}), fake.stopped);
  }
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

TEST(TreeStopRuleTest, EndedOrRefusingChildrenAreSkippedAndDoNotDecideTheResult) {
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);
  fake.Add(200, 100, 60);
  fake.Add(201, 100, 60);
  fake.Add(202, 100, 60);
  fake.Add(203, 100, 60);
  fake.Add(204, 100, 60);
  fake.processes[200].opens = false;  // ended before it was opened
  fake.processes[201].opens = false;
  fake.processes[201].openFailure = platform::OpenFailure::kDenied;
  fake.processes[202].stops = false;
  fake.processes[203].endsWhenQueried = true;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(1, TerminateProcessTree(100));
  EXPECT_EQ((Ids{204, 100}), fake.stopped);
  EXPECT_EQ((Ids{202, 204}), fake.released);  // every chosen child, nothing else
}

TEST(TreeStopRuleTest, CandidateThatCannotBeExaminedFailsTheTargetAndSparesIt) {
  // Out of descriptors at the third candidate: the children chosen so far
  // are stopped, the rest are not looked at, and the target stays, so its
  // remaining children can still be found under it.
  for (int queryFails = 0; queryFails < 2; ++queryFails) {
    ScriptedPlatform fake;
    fake.Add(100, 1, 50);
    fake.Add(200, 100, 60);
    fake.Add(300, 7, 60);
    fake.Add(201, 100, 60);
    fake.Add(202, 100, 60);
    if (queryFails) {
      fake.processes[201].queries = false;  // still there, yet its parent cannot be read
    } else {
      fake.processes[201].opens = false;
      fake.processes[201].openFailure = platform::OpenFailure::kOther;
    }
    ScopedPlatform scoped(&fake);

    EXPECT_EQ(0, TerminateProcessTree(100)) << queryFails;
    EXPECT_EQ((Ids{200}), fake.stopped) << queryFails;
    for (uint32_t pid : fake.opened) EXPECT_NE(202u, pid) << queryFails;

    auto targets = MakeTargets({u"100"});
    int32_t code = 0;
    ApplyToTargets(&targets[0], ControlOp::kStopTree, u"Good", u"Bad", MessageText, &code);
    EXPECT_EQ(1, code);
    EXPECT_EQ(1, targets[0].nResult);
    EXPECT_EQ(ExpectedMessage(u"Bad"), std::u16string(FieldView(targets[0].szErrMsg)));
  }
}

TEST(TreeStopRuleTest, ProtectedTargetIsDatedThroughALimitedHandle) {
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);
  fake.Add(200, 100, 60);
  fake.Add(300, 100, 40);  // older than the target: not its child
  fake.processes[100].opensForStop = false;
  fake.processes[100].opensForQuery = false;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(0, TerminateProcessTree(100));
  EXPECT_EQ((Ids{200}), fake.stopped);
  ASSERT_GE(fake.openAccess.size(), 3u);
  EXPECT_EQ((Ids{platform::kAccessTerminate, platform::kAccessQuery, platform::kAccessQueryLimited}),
            Ids(fake.openAccess.begin(), fake.openAccess.begin() + 3));

  // Refused even that, the target cannot be dated: nothing is stopped.
  ScriptedPlatform sealed;
  sealed.Add(100, 1, 50);
  sealed.Add(200, 100, 60);
  sealed.processes[100].opens = false;
  sealed.processes[100].openFailure = platform::OpenFailure::kDenied;
  ScopedPlatform scopedSealed(&sealed);
  EXPECT_EQ(0, TerminateProcessTree(100));
  EXPECT_TRUE(sealed.stopped.empty());
}

TEST(InitProcessTest, StopAndTreeStopRefuseInitAndTouchNothing) {
  ScriptedPlatform fake;
  fake.Add(1, 0, 1);
  fake.Add(200, 1, 60);
  fake.Add(201, 1, 70);
  fake.initPid = 1;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(0, TerminateProcessById(1));
  EXPECT_EQ(0, TerminateProcessTree(1));
  EXPECT_TRUE(fake.stopped.empty());
  EXPECT_TRUE(fake.opened.empty());

  EXPECT_EQ(1, SetProcessPriorityClass(1, 64));  // priority keeps working
  EXPECT_EQ((Ids{64}), fake.prioritySet);
  EXPECT_EQ(1, TerminateProcessById(200));     // other processes still stop
}

TEST(CallerProcessTest, TheCallingHostIsNeverStoppedNorItsTree) {
  ScriptedPlatform fake;
  fake.Add(100, 1, 50);   // the host's parent
  fake.Add(200, 100, 60); // a sibling of the host
  fake.Add(300, 100, 70); // the host
  fake.callerPid = 300;
  ScopedPlatform scoped(&fake);

  EXPECT_EQ(0, TerminateProcessById(300));
  EXPECT_EQ(0, TerminateProcessTree(300));
  EXPECT_TRUE(fake.opened.empty());  // refused before anything opens
  EXPECT_EQ(0, TerminateProcessTree(100));  // the host is one of its children
  EXPECT_TRUE(fake.stopped.empty());
  EXPECT_EQ(1, SetProcessPriorityClass(300, 64));
  EXPECT_EQ(1, TerminateProcessById(100));  // the parent alone may stop
  EXPECT_EQ((Ids{100}), fake.stopped);
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

TEST(ApplyToTargetsTest, ConvertsIdTextsTheWayNumbersAreRead) {
  ScriptedPlatform fake;
  ScopedPlatform scoped(&fake);
  auto targets = MakeTargets({u"abc", u"0", u"-1", u"-5", u"99999999", u"", u"  42", u"+7x", u"0x40"}, -1);
  int32_t code = 0;
  ApplyToTargets(&targets[0], ControlOp::kStop, u"TerminateProcSuccessed", u"TerminateProcFailed", MessageText, &code);
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
    ApplyToTargets(&targets[0], op, u"Good", u"Bad", MessageText, &code);
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
  ApplyToTargets(&targets[0], ControlOp::kSetPriority, u"Good", u"Bad", MessageText, &code);
  EXPECT_EQ(7, code);
  EXPECT_EQ(0, targets[0].nResult);

  ApplyToTargets(nullptr, ControlOp::kStop, u"Good", u"Bad", MessageText, &code);  // empty chain
  EXPECT_EQ(7, code);
  ApplyToTargets(&targets[0], ControlOp::kStop, u"Good", u"Bad", MessageText, nullptr);  // no code to set
  EXPECT_EQ(0, targets[0].nResult);
}

TEST(ApplyToTargetsTest, LongMessagesAreCutToTheField) {
  ScriptedPlatform fake;
  ScopedPlatform scoped(&fake);
  auto targets = MakeTargets({u"10"}, 32);
  for (char16_t& c : targets[0].szErrMsg) c = u'#';
  const std::u16string longId(400, u'M');
  int32_t code = 0;
  ApplyToTargets(&targets[0], ControlOp::kStop, u"Good", longId.c_str(), MessageText, &code);
  EXPECT_EQ(ExpectedMessage(longId.c_str()), std::u16string(FieldView(targets[0].szErrMsg)));
  EXPECT_EQ(u'\0', targets[0].szErrMsg[260]);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
