// Control on real processes at the edges: tree stops of hundreds of
// children under a small descriptor limit, init, ids reused between the
// opening of a process (or the pinning of a thread) and its use, and the
// same on a kernel without pidfds (the no_pidfd CTest runs of this suite).
// Like control_test.cc, every case that signals or re-prioritises
// runs only as pid 1 of a PID namespace of its own, on processes it started.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "control/control.h"
#include "plugin/message_table.h"
#include "platform/linux/linux_platform.h"
#include "platform/platform.h"
#include "support/no_pidfd.h"
#include "support/targets.h"
#include "support/test_support.h"

namespace kelvane {
namespace testing {
namespace {

#define REQUIRE_OWN_NAMESPACE()                                                    \
  if (!InOwnPidNamespace()) GTEST_SKIP() << "needs its own PID namespace (unshare)"

int NiceOf(pid_t pid) {
  errno = 0;
  return getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
}

// Reaps every child that has ended (this process is init of its namespace
// and adopts orphans).
void ReapEnded() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// Waits (bounded) until `pid` no longer runs; true when it stopped.
bool AwaitStopped(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    if (!IsRunning(pid)) return true;
    usleep(10 * 1000);
  }
  return false;
}

// Makes the next process this namespace starts get id `pid` (the previous
// id is written to ns_last_pid). False when the kernel refuses.
bool NextPidWillBe(pid_t pid) {
  const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const std::string text = std::to_string(pid - 1);
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

// A parent of `count` sleeping children (/bin/sleep). The parent lets its children be
// reaped at once (SIGCHLD ignored), as a service would, and stays until
// killed.
struct Family {
  pid_t parent = 0;
  std::vector<pid_t> children;
};

Family StartFamily(int count) {
  Family family;
  int fds[2];
  if (pipe(fds) != 0) return family;
  family.parent = fork();
  if (family.parent == 0) {
    close(fds[0]);
    signal(SIGCHLD, SIG_IGN);
    for (int i = 0; i < count; ++i) {
      // Small programs rather than copies of this test, which end slowly
      // under a sanitizer's address space.
      const pid_t child = fork();
      if (child == 0) {
        execl("/bin/sleep", "sleep", "1000", static_cast<char*>(nullptr));
        _exit(127);
      }
      if (child <= 0 || write(fds[1], &child, sizeof child) != sizeof child) _exit(1);
    }
    close(fds[1]);
    for (;;) pause();
  }
  close(fds[1]);
  // Read exactly `count` ids: the children hold the pipe open too.
  pid_t child = 0;
  for (int i = 0; i < count && read(fds[0], &child, sizeof child) == sizeof child; ++i) {
    family.children.push_back(child);
  }
  close(fds[0]);
  return family;
}

// Stops whatever is left of `family` and reaps it.
void EndFamily(const Family& family) {
  if (family.parent > 0) KillAndReap(family.parent);
  for (pid_t child : family.children) {
    if (IsRunning(child)) KillAndReap(child);
  }
  ReapEnded();
}

int CountRunning(const std::vector<pid_t>& pids) {
  int running = 0;
  for (pid_t pid : pids) running += IsRunning(pid) ? 1 : 0;
  return running;
}

// Runs TerminateProcessTree(target) in a helper whose descriptor limit is
// `limit`; the helper's result, or -1 when it did not end normally.
int TreeStopWithDescriptorLimit(pid_t target, rlim_t limit) {
  const pid_t helper = fork();
  if (helper < 0) return -1;
  if (helper == 0) {
    const rlimit lowered = {limit, limit};
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) _exit(100);
    _exit(TerminateProcessTree(static_cast<uint32_t>(target)));
  }
  int status = 0;
  if (waitpid(helper, &status, 0) != helper || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(TreeStopDescriptorsTest, HundredsOfChildrenFitWhenEachHoldsOneDescriptor) {
  REQUIRE_OWN_NAMESPACE();
  const Family family = StartFamily(200);
  ASSERT_EQ(200u, family.children.size());

  // 200 children at two descriptors each would not fit under 256.
  EXPECT_EQ(1, TreeStopWithDescriptorLimit(family.parent, 256));
  EXPECT_EQ(SIGKILL, ReapSignal(family.parent));
  int left = 0;
  for (pid_t child : family.children) left += AwaitStopped(child) ? 0 : 1;
  EXPECT_EQ(0, left);
  EndFamily({0, family.children});
}

TEST(TreeStopDescriptorsTest, TooManyChildrenForTheLimitFailAndRepeatedStopsFinishTheJob) {
  REQUIRE_OWN_NAMESPACE();
  const Family family = StartFamily(300);
  ASSERT_EQ(300u, family.children.size());

  // Under 64 descriptors not every child can be held at once: the stop
  // fails, stops the children it chose and leaves the target running.
  EXPECT_EQ(0, TreeStopWithDescriptorLimit(family.parent, 64));
  EXPECT_TRUE(IsRunning(family.parent));
  int afterFirst = CountRunning(family.children);
  for (int i = 0; i < 1000 && afterFirst == 300; ++i) {  // the stopped ones take a moment to go
    usleep(10 * 1000);
    afterFirst = CountRunning(family.children);
  }
  EXPECT_GT(afterFirst, 0);
  EXPECT_LT(afterFirst, 300);

  // The children left are still the target's, so repeating the stop ends
  // them all, and the target last.
  int result = 0;
  for (int attempt = 0; attempt < 20 && result == 0; ++attempt) {
    ASSERT_TRUE(IsRunning(family.parent)) << "target stopped before its children, attempt " << attempt;
    result = TreeStopWithDescriptorLimit(family.parent, 64);
  }
  EXPECT_EQ(1, result);
  EXPECT_EQ(SIGKILL, ReapSignal(family.parent));
  int left = 0;
  for (pid_t child : family.children) left += AwaitStopped(child) ? 0 : 1;
  EXPECT_EQ(0, left);
  EndFamily({0, family.children});
}

TEST(TreeStopDescriptorsTest, AnOpenHandleStopsWithoutAnyFreeDescriptor) {
  REQUIRE_OWN_NAMESPACE();
  const pid_t sleeper = StartSleeper();
  ASSERT_GT(sleeper, 0);
  const pid_t helper = fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    const rlimit lowered = {64, 64};
    if (setrlimit(RLIMIT_NOFILE, &lowered) != 0) _exit(100);
    platform::Platform* os = platform::Current();
    auto handle = os->OpenProcess(static_cast<uint32_t>(sleeper), platform::kAccessTerminate);
    if (!handle) _exit(1);
    os->ReleaseQueryResources(*handle);
    while (dup(0) >= 0) {
    }
    if (errno != EMFILE) _exit(2);
    _exit(os->TerminateProcess(*handle, 0) ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(helper, waitpid(helper, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ(SIGKILL, ReapSignal(sleeper));
}

TEST(InitProcessTest, StopAndTreeStopOfInitFailAndTouchNoChild) {
  REQUIRE_OWN_NAMESPACE();  // this process is init here
  const pid_t a = StartSleeper();
  const pid_t b = StartSleeper();
  ASSERT_GT(a, 0);
  ASSERT_GT(b, 0);

  auto targets = MakeTargets({u"1"});
  int32_t code = 0;
  ApplyToTargets(&targets[0], ControlOp::kStop, u"Good", u"Bad", MessageText, &code);
  EXPECT_EQ(1, code);
  EXPECT_EQ(1, targets[0].nResult);
  code = 0;
  ApplyToTargets(&targets[0], ControlOp::kStopTree, u"Good", u"Bad", MessageText, &code);
  EXPECT_EQ(1, code);
  EXPECT_EQ(1, targets[0].nResult);
  EXPECT_TRUE(IsRunning(a));
  EXPECT_TRUE(IsRunning(b));

  // The priority of init can still be set (here: to the class it has).
  platform::Platform* os = platform::Current();
  auto self = os->OpenProcess(1, platform::kAccessQuery);
  ASSERT_TRUE(self);
  const uint32_t current = os->GetPriorityClass(*self);
  ASSERT_NE(0u, current);
  EXPECT_EQ(1, SetProcessPriorityClass(1, current));
  KillAndReap(a);
  KillAndReap(b);
}

// A process id that was handed to a new process after the handle was
// opened reaches nothing through the handle: no signal, no priority.
TEST(ReusedIdTest, HandleOfAProcessWhoseIdWasReusedReachesNothing) {
  REQUIRE_OWN_NAMESPACE();
  platform::Platform* os = platform::Current();
  for (uint32_t access : {platform::kAccessTerminate, platform::kAccessSetPriority}) {
    const pid_t first = StartSleeper();
    ASSERT_GT(first, 0);
    auto handle = os->OpenProcess(static_cast<uint32_t>(first), access);
    ASSERT_TRUE(handle);
    KillAndReap(first);
    ASSERT_TRUE(NextPidWillBe(first));
    const pid_t second = StartSleepProgram();
    ASSERT_GT(second, 0);
    if (second != first) {
      KillAndReap(second);
      GTEST_SKIP() << "the id was not handed out again";
    }
    const int nice = NiceOf(second);
    EXPECT_FALSE(os->TerminateProcess(*handle, 0));
    EXPECT_FALSE(os->SetPriorityClass(*handle, nice == 19 ? 32 : 64));
    EXPECT_EQ(nice, NiceOf(second));
    EXPECT_TRUE(IsRunning(second));
    KillAndReap(second);
  }
}

// The thread-pinning hook's state: the thread to end and the process that
// then takes over its id.
struct ThreadSwap {
  int quitFd = -1;        // writing here ends the worker thread
  pid_t ownerPid = 0;     // the process of the worker
  pid_t worker = 0;       // the worker's thread id
  pid_t newcomer = 0;     // the process started with the worker's id
};
ThreadSwap g_swap;

// Ends the worker thread and waits until its task directory is gone.
void EndWorker(pid_t tid) {
  const char quit = 'q';
  if (write(g_swap.quitFd, &quit, 1) != 1) return;
  const std::string taskDir =
      "/proc/" + std::to_string(g_swap.ownerPid) + "/task/" + std::to_string(tid);
  struct stat info;
  for (int i = 0; i < 1000 && stat(taskDir.c_str(), &info) == 0; ++i) usleep(10 * 1000);
}

void EndWorkerAndReuseItsId(pid_t tid, platform::ThreadStep step) {
  if (step != platform::ThreadStep::kPinned || tid != g_swap.worker || g_swap.newcomer != 0) return;
  EndWorker(tid);
  if (NextPidWillBe(tid)) g_swap.newcomer = StartSleeper();
}

// The step at which EndWorkerAt ends the worker.
platform::ThreadStep g_endAt = platform::ThreadStep::kPinned;
bool g_ended = false;

void EndWorkerAt(pid_t tid, platform::ThreadStep step) {
  if (step != g_endAt || tid != g_swap.worker || g_ended) return;
  EndWorker(tid);
  g_ended = true;
}

// A process whose one worker thread runs until `quit` is written to; the
// worker's thread id comes back in `*worker`.
pid_t StartOwnerWithWorker(int (&quit)[2], pid_t* worker) {
  int ready[2];
  if (pipe(quit) != 0 || pipe(ready) != 0) return -1;
  const pid_t owner = fork();
  if (owner == 0) {
    std::thread thread([&] {
      pid_t tid = static_cast<pid_t>(gettid());
      (void)!write(ready[1], &tid, sizeof tid);
      char c;
      (void)!read(quit[0], &c, 1);
    });
    thread.join();
    for (;;) pause();
  }
  if (owner < 0 || read(ready[0], worker, sizeof *worker) != static_cast<ssize_t>(sizeof *worker)) {
    if (owner > 0) KillAndReap(owner);
    return -1;
  }
  close(ready[0]);
  close(ready[1]);
  return owner;
}

TEST(ThreadPinningTest, ThreadWhoseIdMayHaveBeenReusedFailsTheProcess) {
  REQUIRE_OWN_NAMESPACE();
  int quit[2];
  pid_t worker = 0;
  const pid_t owner = StartOwnerWithWorker(quit, &worker);
  ASSERT_GT(owner, 0);
  g_swap = {quit[1], owner, worker, 0};
  platform::SetThreadHookForTesting(EndWorkerAndReuseItsId);

  const int result = SetProcessPriorityClass(static_cast<uint32_t>(owner), 64);
  platform::SetThreadHookForTesting(nullptr);

  if (g_swap.newcomer != worker) {
    // The id was not handed out again: the call found no one, and the
    // process rightly succeeded.
    if (g_swap.newcomer > 0) KillAndReap(g_swap.newcomer);
    KillAndReap(owner);
    for (int fd : quit) close(fd);
    GTEST_SKIP() << "the worker's id was not handed out again";
  }
  EXPECT_EQ(0, result);
  EXPECT_EQ(19, NiceOf(owner));  // the main thread was set before the worker
  // A newcomer that took the id was re-prioritised in the kernel's window;
  // the process was reported as failed all the same.
  KillAndReap(g_swap.newcomer);
  KillAndReap(owner);
  for (int fd : quit) close(fd);
}

// Threads that come and go (a thread pool) do not make a priority change
// that took effect look failed: a thread that ends right after its call,
// or before it with its id given to no one, leaves the process's outcome
// a success.
TEST(ThreadPinningTest, ThreadsEndingAroundTheirCallDoNotFailTheProcess) {
  REQUIRE_OWN_NAMESPACE();
  for (platform::ThreadStep step : {platform::ThreadStep::kSet, platform::ThreadStep::kPinned}) {
    int quit[2];
    pid_t worker = 0;
    const pid_t owner = StartOwnerWithWorker(quit, &worker);
    ASSERT_GT(owner, 0);
    g_swap = {quit[1], owner, worker, 0};
    g_endAt = step;
    g_ended = false;
    platform::SetThreadHookForTesting(EndWorkerAt);
    const int result = SetProcessPriorityClass(static_cast<uint32_t>(owner), 16384);
    platform::SetThreadHookForTesting(nullptr);
    EXPECT_TRUE(g_ended);
    EXPECT_EQ(1, result) << (step == platform::ThreadStep::kSet ? "ended after its call" : "ended before");
    EXPECT_EQ(10, NiceOf(owner));
    KillAndReap(owner);
    for (int fd : quit) close(fd);
  }
}

TEST(ThreadPinningTest, ThreadsThatStayAreAllSet) {
  REQUIRE_OWN_NAMESPACE();
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t owner = fork();
  ASSERT_GE(owner, 0);
  if (owner == 0) {
    for (int i = 0; i < 8; ++i) std::thread([] { for (;;) pause(); }).detach();
    (void)!write(ready[1], "r", 1);
    for (;;) pause();
  }
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  EXPECT_EQ(1, SetProcessPriorityClass(static_cast<uint32_t>(owner), 16384));
  EXPECT_EQ(1, SetProcessPriorityClass(static_cast<uint32_t>(owner), 32));
  KillAndReap(owner);
  close(ready[0]);
  close(ready[1]);
}

TEST(ThreadPinningTest, AThreadThatRefusesTheCallFailsTheProcess) {
  REQUIRE_OWN_NAMESPACE();
  // The owner's main thread belongs to uid 65534, its worker to uid 65533
  // (credentials set per thread with the raw call). A caller running as
  // 65534 may renice the main thread but not the worker.
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  const pid_t owner = fork();
  ASSERT_GE(owner, 0);
  if (owner == 0) {
    int switched[2];
    if (pipe(switched) != 0) _exit(1);
    std::thread worker([&switched] {
      if (syscall(SYS_setresuid, 65533, 65533, 65533) != 0) _exit(1);
      (void)!write(switched[1], "w", 1);
      for (;;) pause();
    });
    worker.detach();
    char w = 0;
    if (read(switched[0], &w, 1) != 1) _exit(1);
    if (syscall(SYS_setresuid, 65534, 65534, 65534) != 0) _exit(1);
    (void)!write(ready[1], "r", 1);
    for (;;) pause();
  }
  char c = 0;
  ASSERT_EQ(1, read(ready[0], &c, 1));
  close(ready[0]);
  close(ready[1]);

  const pid_t helper = fork();
  ASSERT_GE(helper, 0);
  if (helper == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    _exit(SetProcessPriorityClass(static_cast<uint32_t>(owner), 64));
  }
  int status = 0;
  ASSERT_EQ(helper, waitpid(helper, &status, 0));
  KillAndReap(owner);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "cannot give up root here";
  EXPECT_EQ(0, WEXITSTATUS(status));
}

// Every listed process can be opened for queries, pidfds or not: the
// listing on a kernel without them is as complete as with them.
TEST(NoPidfdTest, EveryListedProcessOpensForQueries) {
  const pid_t child = StartSleeper();
  ASSERT_GT(child, 0);
  platform::Platform* os = platform::Current();
  std::vector<uint32_t> pids;
  ASSERT_TRUE(os->SnapshotProcessIds(&pids));
  int listed = 0;
  int opened = 0;
  for (uint32_t pid : pids) {
    if (pid == 0) continue;
    ++listed;
    platform::OpenFailure why = platform::OpenFailure::kNone;
    if (os->OpenProcessOrWhy(pid, platform::kAccessQuery, &why)) {
      ++opened;
    } else {
      EXPECT_EQ(platform::OpenFailure::kNoProcess, why) << pid;  // ended meanwhile
    }
  }
  EXPECT_GT(listed, 1);
  EXPECT_GE(opened, 2);  // this process and its child at least
  KillAndReap(child);
}

TEST(NoPidfdTest, FilterIsInForceWhenTheLauncherRuns) {
  if (getenv(kNoPidfdVariable) == nullptr) GTEST_SKIP() << "not under no_pidfd_launcher";
  EXPECT_TRUE(PidfdCallsRefused());
}

TEST(NoPidfdTest, ControlWorksInAHelperUnderTheFilter) {
  REQUIRE_OWN_NAMESPACE();
  // The helper installs the filter for itself only and reports the number
  // of the first check that failed. The filter answers ENOSYS (no such
  // call) or EPERM.
  for (int error : {ENOSYS, EPERM}) {
    const pid_t helper = fork();
    ASSERT_GE(helper, 0);
    if (helper == 0) {
      if (!InstallNoPidfdFilter(error)) _exit(100);
      if (!PidfdCallsRefused(error)) _exit(1);
      const ProcessTree tree = StartTree();
      if (tree.root <= 0) _exit(2);
      if (SetProcessPriorityClass(static_cast<uint32_t>(tree.child1), 64) != 1) _exit(3);
      if (NiceOf(tree.child1) != 19) _exit(4);
      if (TerminateProcessTree(static_cast<uint32_t>(tree.root)) != 1) _exit(5);
      if (ReapSignal(tree.root) != SIGKILL) _exit(6);
      // The stopped children are left to init (the test), which waits for
      // this helper meanwhile: they show as ended once they are zombies.
      if (!AwaitStopped(tree.child1) || !AwaitStopped(tree.child2)) _exit(7);
      if (!IsRunning(tree.grandchild)) _exit(8);
      const pid_t single = StartSleeper();
      if (TerminateProcessById(static_cast<uint32_t>(single)) != 1) _exit(9);
      if (ReapSignal(single) != SIGKILL) _exit(10);
      if (TerminateProcessById(static_cast<uint32_t>(single)) != 0) _exit(11);
      if (tree.grandchild > 0) kill(tree.grandchild, SIGKILL);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(helper, waitpid(helper, &status, 0));
    ReapEnded();
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "seccomp refused";
    EXPECT_EQ(0, WEXITSTATUS(status)) << "errno " << error;
  }
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
