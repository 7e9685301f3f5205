// Control operations on real processes. Every case that signals or
// re-prioritises runs only as pid 1 of a PID namespace of its own and acts
// only on processes it started itself; everything started is reaped,
// including orphans adopted by this process.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "control/control.h"
#include "plugin/message_table.h"
#include "platform/platform.h"
#include "support/targets.h"
#include "support/test_support.h"

namespace kelvane {
namespace testing {
namespace {

using platform::kAccessQuery;
using platform::kAccessSetPriority;
using platform::kAccessTerminate;

#define REQUIRE_OWN_NAMESPACE()                                                    \
  if (!InOwnPidNamespace()) GTEST_SKIP() << "needs its own PID namespace (unshare)"

// Reaps child `pid` and tells whether SIGKILL ended it.
bool ReapKilled(pid_t pid) { return ReapSignal(pid) == SIGKILL; }

int NiceOf(pid_t pid) {
  errno = 0;
  return getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
}

class ControlLinuxTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (pid_t pid : started_) KillAndReap(pid);
    // As pid 1 of the namespace this process adopts every orphan.
    if (InOwnPidNamespace()) {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }
    }
  }
  pid_t Start() {
    pid_t pid = StartSleeper();
    if (pid > 0) started_.push_back(pid);
    return pid;
  }
  // Marks `pid` as already reaped.
  void Forget(pid_t pid) {
    for (pid_t& p : started_) {
      if (p == pid) p = 0;
    }
  }
  std::vector<pid_t> started_;
};

TEST_F(ControlLinuxTest, StopEndsARunningChild) {
  REQUIRE_OWN_NAMESPACE();
  pid_t child = Start();
  ASSERT_GT(child, 0);
  EXPECT_EQ(1, TerminateProcessById(static_cast<uint32_t>(child)));
  EXPECT_TRUE(ReapKilled(child));
  Forget(child);
  EXPECT_EQ(0, TerminateProcessById(static_cast<uint32_t>(child)));  // gone now
}

TEST_F(ControlLinuxTest, IdsThatNameNoProcessFailAndTouchNothing) {
  REQUIRE_OWN_NAMESPACE();
  pid_t a = Start();
  pid_t b = Start();
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);
  const int niceA = NiceOf(a);
  const int niceB = NiceOf(b);
  const std::vector<std::u16string> texts = {u"abc", u"0", u"-1", u"-5", u"99999999", u""};
  const struct {
    ControlOp op;
    const char16_t* success;
    const char16_t* failure;
  } commands[] = {
      {ControlOp::kStop, u"TerminateProcSuccessed", u"TerminateProcFailed"},
      {ControlOp::kStopTree, u"TerminateProcTreeSuccessed", u"TerminateProcTreeFailed"},
      {ControlOp::kSetPriority, u"SetPRISuccessed", u"SetPRIFailed"},
  };
  for (const auto& command : commands) {
    std::vector<ProcTarget> targets = MakeTargets(texts, 64);
    int32_t code = 0;
    ApplyToTargets(&targets[0], command.op, command.success, command.failure, MessageText, &code);
    EXPECT_EQ(1, code);
    for (const ProcTarget& t : targets) EXPECT_EQ(1, t.nResult);
  }
  EXPECT_TRUE(IsRunning(a));
  EXPECT_TRUE(IsRunning(b));
  EXPECT_EQ(niceA, NiceOf(a));
  EXPECT_EQ(niceB, NiceOf(b));
}

TEST_F(ControlLinuxTest, TreeStopEndsDirectChildrenAndSparesTheGrandchild) {
  REQUIRE_OWN_NAMESPACE();
  const ProcessTree tree = StartTree();
  const pid_t target = tree.root;
  ASSERT_GT(target, 0);
  started_.push_back(target);
  const pid_t children[2] = {tree.child1, tree.child2};
  const pid_t grandchild = tree.grandchild;
  ASSERT_GT(children[0], 0);
  ASSERT_GT(children[1], 0);
  ASSERT_GT(grandchild, 0);

  EXPECT_EQ(1, TerminateProcessTree(static_cast<uint32_t>(target)));

  // Reaping the target completes its exit, which hands its children (and
  // through them the grandchild) to this process.
  EXPECT_TRUE(ReapKilled(target));
  Forget(target);
  EXPECT_TRUE(ReapKilled(children[0]));
  EXPECT_TRUE(ReapKilled(children[1]));
  EXPECT_TRUE(IsRunning(grandchild));
  started_.push_back(grandchild);  // disposed of by TearDown
}

TEST_F(ControlLinuxTest, PriorityWithoutAClassFailsAndIdleSucceeds) {
  REQUIRE_OWN_NAMESPACE();
  pid_t child = Start();
  ASSERT_GT(child, 0);
  const int before = NiceOf(child);
  EXPECT_EQ(0, SetProcessPriorityClass(static_cast<uint32_t>(child), 0xFFFFFFFFu));
  EXPECT_EQ(0, SetProcessPriorityClass(static_cast<uint32_t>(child), 12345));
  EXPECT_EQ(0, SetProcessPriorityClass(static_cast<uint32_t>(child), 0));
  EXPECT_EQ(before, NiceOf(child));

  EXPECT_EQ(1, SetProcessPriorityClass(static_cast<uint32_t>(child), 64));
  EXPECT_EQ(19, NiceOf(child));
  platform::Platform* os = platform::Current();
  auto handle = os->OpenProcess(static_cast<uint32_t>(child), kAccessQuery);
  ASSERT_TRUE(handle);
  EXPECT_EQ(64u, os->GetPriorityClass(*handle));
}

TEST_F(ControlLinuxTest, UnprivilegedCallerCanRaiseButNotLowerNice) {
  REQUIRE_OWN_NAMESPACE();
  // A helper gives up root, starts its own sleeper and works on it; its exit
  // status carries the number of the first check that failed.
  pid_t helper = fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    pid_t sleeper = StartSleeper();
    if (sleeper <= 0) _exit(101);
    const uint32_t id = static_cast<uint32_t>(sleeper);
    int failed = 0;
    if (SetProcessPriorityClass(id, 64) != 1) failed = 1;
    else if (NiceOf(sleeper) != 19) failed = 2;
    else if (SetProcessPriorityClass(id, 32) != 0) failed = 3;
    else if (NiceOf(sleeper) != 19) failed = 4;
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    _exit(failed);
  }
  int status = 0;
  ASSERT_EQ(helper, waitpid(helper, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot give up root here";
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST_F(ControlLinuxTest, EveryClassRoundTripsAndEveryNiceMapsToItsNearestClass) {
  REQUIRE_OWN_NAMESPACE();
  pid_t child = Start();
  ASSERT_GT(child, 0);
  platform::Platform* os = platform::Current();
  auto handle = os->OpenProcess(static_cast<uint32_t>(child), kAccessSetPriority);
  ASSERT_TRUE(handle);
  const struct {
    uint32_t priorityClass;
    int nice;
  } classes[] = {{64, 19}, {16384, 10}, {32, 0}, {32768, -5}, {128, -10}, {256, -20}};
  for (const auto& c : classes) {
    EXPECT_TRUE(os->SetPriorityClass(*handle, c.priorityClass)) << c.priorityClass;
    EXPECT_EQ(c.nice, NiceOf(child)) << c.priorityClass;
    EXPECT_EQ(c.priorityClass, os->GetPriorityClass(*handle));
  }
  for (int nice = -20; nice <= 19; ++nice) {
    ASSERT_EQ(0, setpriority(PRIO_PROCESS, static_cast<id_t>(child), nice));
    uint32_t expected = nice == -20 ? 256 : nice <= -8 ? 128 : nice <= -3 ? 32768 : nice <= 4 ? 32 : nice <= 14 ? 16384 : 64;
    EXPECT_EQ(expected, os->GetPriorityClass(*handle)) << "nice " << nice;
  }
}

TEST_F(ControlLinuxTest, PriorityReachesEveryThread) {
  REQUIRE_OWN_NAMESPACE();
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::thread([] { for (;;) pause(); }).detach();
    std::thread([] { for (;;) pause(); }).detach();
    char c = 'r';
    (void)!write(ready[1], &c, 1);
    for (;;) pause();
  }
  started_.push_back(child);
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  close(ready[0]);

  EXPECT_EQ(1, SetProcessPriorityClass(static_cast<uint32_t>(child), 16384));
  std::string taskDir = "/proc/" + std::to_string(child) + "/task";
  DIR* dir = opendir(taskDir.c_str());
  ASSERT_NE(nullptr, dir);
  int threads = 0;
  std::vector<pid_t> workers;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    ++threads;
    const pid_t tid = static_cast<pid_t>(std::stoi(entry->d_name));
    if (tid != child) workers.push_back(tid);
    EXPECT_EQ(10, NiceOf(tid)) << "thread " << entry->d_name;
  }
  closedir(dir);
  EXPECT_EQ(3, threads);

  // A thread's id names no process: it can be neither opened nor acted on.
  for (pid_t tid : workers) {
    const uint32_t id = static_cast<uint32_t>(tid);
    EXPECT_EQ(nullptr, platform::Current()->OpenProcess(id, platform::kAccessQuery));
    EXPECT_EQ(0, SetProcessPriorityClass(id, 64));
    EXPECT_EQ(0, TerminateProcessById(id));
    EXPECT_EQ(0, TerminateProcessTree(id));
    EXPECT_EQ(10, NiceOf(tid));
  }
  EXPECT_EQ(0, kill(child, 0));  // still running
}

TEST_F(ControlLinuxTest, HandleOfAReapedProcessNeitherSignalsNorQueries) {
  REQUIRE_OWN_NAMESPACE();
  pid_t child = Start();
  ASSERT_GT(child, 0);
  platform::Platform* os = platform::Current();
  auto handle = os->OpenProcess(static_cast<uint32_t>(child), kAccessTerminate);
  ASSERT_TRUE(handle);
  uint32_t parent = 0;
  uint64_t start = 0;
  ASSERT_TRUE(os->QueryParent(*handle, &parent, &start));
  EXPECT_EQ(static_cast<uint32_t>(getpid()), parent);

  EXPECT_FALSE(os->ProcessHasEnded(*handle));
  EXPECT_TRUE(os->TerminateProcess(*handle, 0));
  EXPECT_TRUE(ReapKilled(child));
  Forget(child);
  // The handle tells that its process has ended, even once its id names
  // another process.
  EXPECT_TRUE(os->ProcessHasEnded(*handle));
  EXPECT_FALSE(os->TerminateProcess(*handle, 0));
  EXPECT_FALSE(os->SetPriorityClass(*handle, 32));
  EXPECT_FALSE(os->QueryParent(*handle, &parent, &start));
  EXPECT_EQ(0u, os->GetPriorityClass(*handle));
}

TEST_F(ControlLinuxTest, ListingHoldsEveryProcessAndOnlyIds) {
  pid_t child = Start();
  ASSERT_GT(child, 0);
  std::vector<uint32_t> pids;
  ASSERT_TRUE(platform::Current()->EnumerateProcessIds(&pids));
  auto has = [&](uint32_t pid) {
    for (uint32_t p : pids) {
      if (p == pid) return true;
    }
    return false;
  };
  EXPECT_TRUE(has(static_cast<uint32_t>(getpid())));
  EXPECT_TRUE(has(static_cast<uint32_t>(child)));
  EXPECT_FALSE(has(0));
}

TEST_F(ControlLinuxTest, RepeatedOperationsLeaveNoDescriptorsOpen) {
  REQUIRE_OWN_NAMESPACE();
  pid_t child = Start();
  ASSERT_GT(child, 0);
  const uint32_t id = static_cast<uint32_t>(child);
  const int before = CountOpenDescriptors();
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(1, SetProcessPriorityClass(id, i % 2 == 0 ? 64 : 32));
    ASSERT_EQ(0, SetProcessPriorityClass(id, 12345));
    ASSERT_EQ(0, TerminateProcessById(99999999));
    ASSERT_EQ(0, TerminateProcessTree(99999999));
  }
  // Tree stops that open every process of the namespace.
  for (int i = 0; i < 20; ++i) {
    pid_t victim = StartSleeper();
    ASSERT_GT(victim, 0);
    EXPECT_EQ(1, TerminateProcessTree(static_cast<uint32_t>(victim)));
    EXPECT_TRUE(ReapKilled(victim));
  }
  EXPECT_EQ(before, CountOpenDescriptors());
  EXPECT_TRUE(IsRunning(child));
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
