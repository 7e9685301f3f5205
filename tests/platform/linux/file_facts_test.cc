// Facts about a listed process's files come from the files the process
// itself uses: a deleted image with a link planted under its " (deleted)"
// name, and an image bind-mounted over its path in another mount namespace.
#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "inventory/cpu_sampler.h"
#include "inventory/process_list.h"
#include "support/targets.h"
#include "support/test_support.h"
#include "support/record_chains.h"

namespace kelvane {
namespace testing {
namespace {

std::string SleepProgram() {
  char resolved[PATH_MAX];
  return realpath("/usr/bin/sleep", resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string ExeOf(pid_t pid) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  char target[PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// A copy of the sleep program at `path` with `padding` bytes appended (an
// ELF file runs the same with bytes after its end), modified at `mtime`.
void CopySleep(const std::string& path, size_t padding, time_t mtime) {
  WriteBytes(path, ReadBytes(SleepProgram()) + std::string(padding, '\0'));
  ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  const struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0);
}

// "YYYY-MM-DD hh:mm:ss" in local time.
std::string LocalText(time_t when) {
  struct tm local;
  localtime_r(&when, &local);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// Waits until `pid` runs `image` and sits in its sleep call.
bool WaitForSleep(pid_t pid, const std::string& image) {
  for (int i = 0; i < 1000; ++i) {
    if (ExeOf(pid) == image && InSleepCall(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class LinuxFileFactsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InOwnPidNamespace()) GTEST_SKIP() << "starts processes: needs its own PID namespace";
    if (SleepProgram().empty()) GTEST_SKIP() << "no /usr/bin/sleep";
  }
  void TearDown() override {
    KillAndReap(pid_);
    ClearCpuSamples();
  }

  ProcessListPtr Collect(pid_t pid) {
    const auto targets = MakeTargets({Utf8ToUtf16(std::to_string(pid))});
    uint32_t count = 0;
    ProcessListPtr record(CollectTargetChain(&targets[0], &count));
    EXPECT_EQ(count, 1u);
    return record;
  }

  TempDir dir_;
  pid_t pid_ = -1;
};

TEST_F(LinuxFileFactsTest, DeletedImageWithAPlantedLinkKeepsSizeZero) {
  const std::string image = dir_.File("prog");
  CopySleep(image, 0, 1000000000);
  pid_ = fork();
  if (pid_ == 0) {
    execl(image.c_str(), "prog", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(WaitForSleep(pid_, image));
  ASSERT_EQ(unlink(image.c_str()), 0);
  // What a user plants: the " (deleted)" name as a link to a file of
  // another size and time, which root must neither size nor date.
  const std::string secret = dir_.File("secret");
  WriteBytes(secret, std::string(123457, 's'));
  ASSERT_EQ(symlink(secret.c_str(), (image + " (deleted)").c_str()), 0);
  ASSERT_EQ(ExeOf(pid_), image + " (deleted)");

  ProcessListPtr record = Collect(pid_);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Utf16ToUtf8(record->szPath), image + " (deleted)");
  EXPECT_EQ(record->nFileSize, 0);
  ASSERT_NE(record->pModules, nullptr);
  EXPECT_EQ(Utf16ToUtf8(record->pModules->szPath), image + " (deleted)");
  EXPECT_EQ(Utf16ToUtf8(record->pModules->szModifyTime), "");
  // The libraries it maps still have their times.
  ASSERT_NE(record->pModules->pNext, nullptr);
  EXPECT_NE(Utf16ToUtf8(record->pModules->pNext->szModifyTime), "");
}

TEST_F(LinuxFileFactsTest, NonAsciiAndInvalidPathsConvertAsEverywhereElse) {
  // A name with a two-byte sequence and a byte that is no UTF-8 at all,
  // listed after a process with longer, plain paths (the module entries
  // of one are reused for the next).
  const std::string image = dir_.File("sl\xc3\xab" "ep\xff");
  CopySleep(image, 0, 1000000000);
  pid_ = fork();
  if (pid_ == 0) {
    execl(image.c_str(), "x", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_TRUE(WaitForSleep(pid_, image));
  const auto targets = MakeTargets({Utf8ToUtf16(std::to_string(getpid())), Utf8ToUtf16(std::to_string(pid_))});
  uint32_t count = 0;
  ProcessListPtr records(CollectTargetChain(&targets[0], &count));
  ASSERT_EQ(count, 2u);
  const ProcessRecord* record = records->pNext;
  ASSERT_NE(record, nullptr);
  const std::u16string expected = Utf8ToUtf16(image);
  EXPECT_EQ(std::u16string(record->szPath), expected);
  EXPECT_EQ(std::u16string(record->szName), u"sl\u00EBep\uFFFD");
  ASSERT_NE(record->pModules, nullptr);
  EXPECT_EQ(std::u16string(record->pModules->szPath), expected);
  EXPECT_EQ(std::u16string(record->pModules->szName), u"sl\u00EBep\uFFFD");
  EXPECT_EQ(Utf16ToUtf8(record->pModules->szModifyTime), LocalText(1000000000));
}

// Starts `image` (sleeping 30 s) in a mount namespace of its own in which
// `theirs` is mounted over `image`. Returns its pid, or -1 when this
// machine cannot make mount namespaces.
pid_t StartUnderBindMount(const std::string& image, const std::string& theirs) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    char ok = 0;
    if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount(theirs.c_str(), image.c_str(), nullptr, MS_BIND, nullptr) == 0) {
      ok = 1;
    }
    if (write(ready[1], &ok, 1) != 1 || !ok) _exit(126);
    close(ready[1]);
    execl(image.c_str(), "prog", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(ready[1]);
  char ok = 0;
  const bool reported = read(ready[0], &ok, 1) == 1;
  close(ready[0]);
  if (pid < 0) return -1;
  if (!reported || !ok) {
    KillAndReap(pid);
    return -1;
  }
  return pid;
}

// Drops `capability` from this process's effective and permitted sets.
bool DropCapability(int capability) {
  __user_cap_header_struct header;
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[2];
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t bit = 1u << (capability % 32);
  data[capability / 32].effective &= ~bit;
  data[capability / 32].permitted &= ~bit;
  return syscall(SYS_capset, &header, data) == 0;
}

TEST_F(LinuxFileFactsTest, ProcessesInAnotherMountNamespaceGetTheirOwnFilesFacts) {
  // Here `prog` is one file; in the child's mount namespace another file,
  // of another size and time, is mounted over the same path.
  const std::string image = dir_.File("prog");
  const std::string theirs = dir_.File("theirs");
  CopySleep(image, 0, 1000000000);
  CopySleep(theirs, 4096, 1200000000);
  pid_ = StartUnderBindMount(image, theirs);
  if (pid_ < 0) GTEST_SKIP() << "cannot make a mount namespace here";
  ASSERT_TRUE(WaitForSleep(pid_, image));

  struct stat ours;
  struct stat mounted;
  ASSERT_EQ(stat(image.c_str(), &ours), 0);
  ASSERT_EQ(stat(theirs.c_str(), &mounted), 0);
  ASSERT_NE(ours.st_size, mounted.st_size);

  ProcessListPtr record = Collect(pid_);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Utf16ToUtf8(record->szPath), image);  // the path as the process sees it
  EXPECT_EQ(record->nFileSize, mounted.st_size);
  ASSERT_NE(record->pModules, nullptr);
  EXPECT_EQ(Utf16ToUtf8(record->pModules->szPath), image);
  EXPECT_EQ(Utf16ToUtf8(record->pModules->szModifyTime), LocalText(1200000000));
}

TEST_F(LinuxFileFactsTest, WithoutTheMappedFileLinksTheTimeComesFromTheProcesssOwnRoot) {
  const std::string image = dir_.File("prog");
  const std::string theirs = dir_.File("theirs");
  CopySleep(image, 0, 1000000000);
  CopySleep(theirs, 4096, 1200000000);
  pid_ = StartUnderBindMount(image, theirs);
  if (pid_ < 0) GTEST_SKIP() << "cannot make a mount namespace here";
  ASSERT_TRUE(WaitForSleep(pid_, image));

  // A lister without the capabilities that the mapped-file links take
  // reports the module times it finds through the process's root.
  int result[2];
  ASSERT_EQ(pipe(result), 0);
  const pid_t lister = fork();
  if (lister == 0) {
    close(result[0]);
    constexpr int kCapSysAdmin = 21;
    constexpr int kCapCheckpointRestore = 40;
    std::string text = "cannot drop capabilities";
    if (DropCapability(kCapSysAdmin) && DropCapability(kCapCheckpointRestore)) {
      const auto targets = MakeTargets({Utf8ToUtf16(std::to_string(pid_))});
      uint32_t count = 0;
      ProcessListPtr record(CollectTargetChain(&targets[0], &count));
      text = record != nullptr && record->pModules != nullptr
                 ? Utf16ToUtf8(record->pModules->szModifyTime) + "|" + Utf16ToUtf8(record->pModules->szPath)
                 : std::string("no record");
      // The links were indeed out of reach.
      char maps[64];
      std::snprintf(maps, sizeof maps, "/proc/%d/maps", static_cast<int>(pid_));
      const std::string first = ReadBytes(maps).substr(0, ReadBytes(maps).find(' '));
      struct stat st;
      const std::string link = "/proc/" + std::to_string(pid_) + "/map_files/" + first;
      if (stat(link.c_str(), &st) == 0) text += "|links readable";
    }
    _exit(write(result[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  close(result[1]);
  std::string text;
  char buffer[256];
  for (ssize_t n; (n = read(result[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(result[0]);
  int status = 0;
  ASSERT_EQ(waitpid(lister, &status, 0), lister);
  EXPECT_EQ(text, LocalText(1200000000) + "|" + image);
}

// Runs `command` through the shell; true when it exited with 0.
bool RunShell(const std::string& command) {
  const int status = std::system(("{ " + command + "; } >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Skips the test with a message that stands out in the run's output.
#define SKIP_LOUDLY(why)                                                    \
  do {                                                                      \
    std::fprintf(stderr, "\n!!! WARNING: %s: test skipped\n\n", (why)); \
    GTEST_SKIP() << (why);                                                  \
  } while (0)

// Two copies of the sleep program of different sizes and times that share
// one inode number on one superblock, each run by a process: the maps text
// names both files alike, and only stat() of each tells them apart.
class SharedInodeTest : public LinuxFileFactsTest {
 protected:
  void TearDown() override {
    KillAndReap(other_);
    LinuxFileFactsTest::TearDown();
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }

  bool Mount(const std::string& command, const std::string& at) {
    if (!RunShell(command)) return false;
    mounts_.push_back(at);
    return true;
  }

  // Starts `first` and `second`, which must share their inode number, and
  // checks that each process gets its own file's size and time, with and
  // without the mapped-file links.
  void ExpectOwnFacts(const std::string& first, const std::string& second) {
    struct stat a, b;
    ASSERT_EQ(stat(first.c_str(), &a), 0);
    ASSERT_EQ(stat(second.c_str(), &b), 0);
    ASSERT_EQ(a.st_ino, b.st_ino) << "the two files were meant to share an inode number";
    ASSERT_NE(a.st_size, b.st_size);
    for (pid_t* pid : {&pid_, &other_}) {
      const std::string& image = pid == &pid_ ? first : second;
      *pid = fork();
      if (*pid == 0) {
        execl(image.c_str(), "prog", "30", static_cast<char*>(nullptr));
        _exit(127);
      }
      ASSERT_TRUE(WaitForSleep(*pid, image));
    }
    // One collection, so that facts learned of the first file are at hand
    // when the second is met.
    const auto targets = MakeTargets({Utf8ToUtf16(std::to_string(pid_)), Utf8ToUtf16(std::to_string(other_))});
    uint32_t count = 0;
    ProcessListPtr records(CollectTargetChain(&targets[0], &count));
    ASSERT_EQ(count, 2u);
    const ProcessRecord* records2[2] = {records.get(), records->pNext};
    const struct stat* files[2] = {&a, &b};
    for (int i = 0; i < 2; ++i) {
      ASSERT_NE(records2[i], nullptr);
      EXPECT_EQ(records2[i]->nFileSize, files[i]->st_size) << "process " << i;
      ASSERT_NE(records2[i]->pModules, nullptr);
      EXPECT_EQ(Utf16ToUtf8(records2[i]->pModules->szModifyTime), LocalText(files[i]->st_mtime)) << "process " << i;
    }
    EXPECT_EQ(WithoutMappedFileLinks(), LocalText(a.st_mtime) + "|" + LocalText(b.st_mtime));
  }

  // The two processes' image times as a lister without the capabilities
  // that the mapped-file links take finds them.
  std::string WithoutMappedFileLinks() {
    int result[2];
    if (pipe(result) != 0) return "no pipe";
    const pid_t lister = fork();
    if (lister == 0) {
      close(result[0]);
      constexpr int kCapSysAdmin = 21;
      constexpr int kCapCheckpointRestore = 40;
      std::string text = "cannot drop capabilities";
      if (DropCapability(kCapSysAdmin) && DropCapability(kCapCheckpointRestore)) {
        const auto targets = MakeTargets({Utf8ToUtf16(std::to_string(pid_)), Utf8ToUtf16(std::to_string(other_))});
        uint32_t count = 0;
        ProcessListPtr records(CollectTargetChain(&targets[0], &count));
        text.clear();
        for (const ProcessRecord* record = records.get(); record != nullptr; record = record->pNext) {
          if (!text.empty()) text += "|";
          text += record->pModules != nullptr ? Utf16ToUtf8(record->pModules->szModifyTime) : "no modules";
        }
      }
      _exit(write(result[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(result[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(result[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(result[0]);
    int status = 0;
    waitpid(lister, &status, 0);
    return text;
  }

  pid_t other_ = -1;
  std::vector<std::string> mounts_;
};

// btrfs: subvolumes share the file system's superblock (the device the maps
// text shows) while each numbers its inodes from the start; stat() shows a
// device per subvolume.
TEST_F(SharedInodeTest, ProgramsOnTwoBtrfsSubvolumesGetTheirOwnFacts) {
  if (access("/dev/loop-control", F_OK) != 0) SKIP_LOUDLY("no loop devices on this machine: btrfs not tested");
  if (!RunShell("command -v mkfs.btrfs && command -v btrfs")) SKIP_LOUDLY("btrfs-progs missing: btrfs not tested");
  const std::string image = dir_.File("btrfs.img");
  const std::string root = dir_.File("btrfs");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  if (!RunShell("truncate -s 128M " + image + " && mkfs.btrfs -q " + image) ||
      !Mount("mount -o loop " + image + " " + root, root)) {
    SKIP_LOUDLY("cannot make and mount a btrfs image here: btrfs not tested");
  }
  ASSERT_TRUE(RunShell("btrfs subvolume create " + root + "/a && btrfs subvolume create " + root + "/b"));
  CopySleep(root + "/a/prog", 0, 1000000000);
  CopySleep(root + "/b/prog", 4096, 1200000000);
  ExpectOwnFacts(root + "/a/prog", root + "/b/prog");
}

// overlayfs with lower layers on two file systems: files of both layers
// show in the maps text under the overlay's superblock with their layer's
// inode numbers; stat() shows a device per layer.
TEST_F(SharedInodeTest, ProgramsFromTwoOverlayLayersGetTheirOwnFacts) {
  const std::string base = dir_.path();
  for (const char* name : {"l1", "l2", "u", "merged"}) ASSERT_EQ(mkdir((base + "/" + name).c_str(), 0755), 0);
  if (!Mount("mount -t tmpfs layer1 " + base + "/l1", base + "/l1") ||
      !Mount("mount -t tmpfs layer2 " + base + "/l2", base + "/l2") ||
      !Mount("mount -t tmpfs upper " + base + "/u", base + "/u")) {
    SKIP_LOUDLY("cannot mount file systems here: overlay not tested");
  }
  // The first file of a fresh tmpfs: both get the same inode number.
  CopySleep(base + "/l1/first", 0, 1000000000);
  CopySleep(base + "/l2/second", 4096, 1200000000);
  ASSERT_EQ(mkdir((base + "/u/up").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((base + "/u/work").c_str(), 0755), 0);
  if (!Mount("mount -t overlay overlay -o lowerdir=" + base + "/l1:" + base + "/l2,upperdir=" + base +
                 "/u/up,workdir=" + base + "/u/work " + base + "/merged",
             base + "/merged")) {
    SKIP_LOUDLY("cannot mount an overlay here: overlay not tested");
  }
  ExpectOwnFacts(base + "/merged/first", base + "/merged/second");
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
