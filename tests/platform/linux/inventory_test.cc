// The inventory on this machine's own processes: children the tests start
// and reap themselves.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <set>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "inventory/cpu_sampler.h"
#include "inventory/probes.h"
#include "inventory/process_list.h"
#include "inventory/scripted_platform.h"
#include "platform/linux/procfs.h"
#include "plugin/request.h"
#include "support/targets.h"
#include "support/test_support.h"
#include "support/record_chains.h"

namespace kelvane {
namespace testing {
namespace {

std::string RealPath(const char* path) {
  char resolved[PATH_MAX];
  return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

const std::string& SleepPath() {
  static const std::string path = RealPath("/usr/bin/sleep");
  return path;
}

std::string ExeOf(pid_t pid);

// Whether `pid` runs sleep and its dynamic loader has mapped the code of
// the C library (by then its arguments are in place too). The image is
// checked first: before the exec the maps are this test binary's, which
// maps the C library too.
bool RunsSleep(pid_t pid) {
  if (ExeOf(pid) != SleepPath()) return false;
  char name[64];
  std::snprintf(name, sizeof name, "/proc/%d/maps", static_cast<int>(pid));
  const std::string maps = ReadBytes(name);
  bool libcCode = false;
  for (size_t at = maps.find("/libc.so.6"); at != std::string::npos && !libcCode;
       at = maps.find("/libc.so.6", at + 1)) {
    const size_t lineStart = maps.rfind('\n', at) + 1;  // npos + 1 == 0 on the first line
    const size_t perms = maps.find(' ', lineStart) + 1;
    libcCode = perms + 2 < maps.size() && maps[perms + 2] == 'x';
  }
  return libcCode;
}

std::string ExeOf(pid_t pid) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  char target[PATH_MAX];
  ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// A `sleep` child, killed and reaped when the object goes. `uid`, when not
// negative, is taken by the child before it runs sleep.
class SleepChild {
 public:
  explicit SleepChild(std::vector<std::string> args, int uid = -1) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      if (uid >= 0 && setuid(static_cast<uid_t>(uid)) != 0) _exit(126);
      execv(SleepPath().c_str(), argv.data());
      _exit(127);
    }
    // Ready once sleep runs (rather than this test binary or the loader) and
    // has finished starting up: it sits in its sleep call, with every file
    // it maps (locale data included) mapped.
    for (int i = 0; i < 1000 && pid_ > 0 && !(RunsSleep(pid_) && InSleepCall(pid_)); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~SleepChild() { KillAndReap(pid_); }
  SleepChild(const SleepChild&) = delete;
  SleepChild& operator=(const SleepChild&) = delete;
  pid_t pid() const { return pid_; }
  bool ready() const { return pid_ > 0 && RunsSleep(pid_); }

 private:
  pid_t pid_ = -1;
};

// The id of a child that has exited and been reaped.
pid_t VanishedPid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

std::string Utf8(const char16_t* field) { return Utf16ToUtf8(field); }

std::u16string PidText(pid_t pid) { return Utf8ToUtf16(std::to_string(pid)); }

class LinuxInventoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SleepPath().empty()) GTEST_SKIP() << "no /usr/bin/sleep";
  }
  void TearDown() override { ClearCpuSamples(); }

  RecordList CollectOne(pid_t pid, uint32_t* count) {
    const auto targets = MakeTargets({PidText(pid)});
    return RecordList(CollectTargetChain(&targets[0], count));
  }
};

TEST_F(LinuxInventoryTest, RecordOfAChild) {
  SleepChild child({"sleep", "30"});
  ASSERT_TRUE(child.ready());
  uint32_t count = 0;
  RecordList record = CollectOne(child.pid(), &count);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(record->dwPID, static_cast<uint32_t>(child.pid()));
  EXPECT_EQ(Utf8(record->szName), "sleep");
  EXPECT_EQ(Utf8(record->szPath), SleepPath());
  EXPECT_EQ(Utf8(record->szCommandLine), "sleep 30");
  struct passwd* me = getpwuid(getuid());
  ASSERT_NE(me, nullptr);
  EXPECT_EQ(Utf8(record->szUserName), me->pw_name);
  EXPECT_GT(record->nMemoryUsage, 0);
  EXPECT_EQ(record->nMemoryUsage % sysconf(_SC_PAGESIZE), 0);
  struct stat st;
  ASSERT_EQ(stat(SleepPath().c_str(), &st), 0);
  EXPECT_EQ(record->nFileSize, st.st_size);
  EXPECT_EQ(Utf8(record->szPublisher), "");
  EXPECT_EQ(Utf8(record->szFileVersion), "");
  EXPECT_EQ(record->dwPriority, 32u);  // nice 0
}

// The working set is the resident set the kernel counts exactly (VmRSS),
// not the quick reading of the stat record, which runs short by up to a
// few hundred kilobytes.
TEST_F(LinuxInventoryTest, MemoryIsTheExactResidentSet) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    // 64 MiB, every page touched, then still.
    static char block[64 << 20];
    volatile char* pages = block;
    for (size_t i = 0; i < sizeof block; i += 4096) pages[i] = 1;
    (void)!write(ready[1], "r", 1);
    for (;;) pause();
  }
  ASSERT_GT(child, 0);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  close(ready[1]);
  const auto residentBytes = [child] {
    const std::string status = ReadBytes("/proc/" + std::to_string(child) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1LL : std::atoll(status.c_str() + at + 6) * 1024;
  };
  // Reading a process's command line can fault a page or two of it in, so
  // the figure is bounded by the exact counts before and after.
  const long long before = residentBytes();
  uint32_t count = 0;
  RecordList record = CollectOne(child, &count);
  const long long after = residentBytes();
  KillAndReap(child);
  ASSERT_NE(record, nullptr);
  EXPECT_GT(before, 64LL << 20);
  EXPECT_GE(record->nMemoryUsage, before);
  EXPECT_LE(record->nMemoryUsage, after);
}

TEST_F(LinuxInventoryTest, PriorityAfterAChange) {
  if (!InOwnPidNamespace()) GTEST_SKIP() << "re-prioritises processes: needs its own PID namespace";
  SleepChild child({"sleep", "30"});
  ASSERT_TRUE(child.ready());
  ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(child.pid()), 10), 0);
  uint32_t count = 0;
  RecordList record = CollectOne(child.pid(), &count);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->dwPriority, 16384u);
}

TEST_F(LinuxInventoryTest, CommandLinesAreJoinedConvertedAndCut) {
  SleepChild named({"sl\xC3\xAB" "ep", "30", "0"});
  std::vector<std::string> many = {"sleep", "30"};
  for (int i = 0; i < 200; ++i) many.push_back("0");
  SleepChild longLine(many);
  ASSERT_TRUE(named.ready());
  ASSERT_TRUE(longLine.ready());

  uint32_t count = 0;
  RecordList record = CollectOne(named.pid(), &count);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(std::u16string(record->szCommandLine), u"sl\u00EBep 30 0");
  EXPECT_EQ(Utf8(record->szName), "sleep");  // the image, not argv[0]

  record = CollectOne(longLine.pid(), &count);
  ASSERT_NE(record, nullptr);
  std::string expected = "sleep 30";
  for (int i = 0; i < 200; ++i) expected += " 0";
  EXPECT_EQ(Utf8(record->szCommandLine), expected.substr(0, 260));
}

TEST_F(LinuxInventoryTest, ModulesIncludeTheCLibraryWithModificationTimes) {
  SleepChild child({"sleep", "30"});
  ASSERT_TRUE(child.ready());
  uint32_t count = 0;
  RecordList record = CollectOne(child.pid(), &count);
  ASSERT_NE(record, nullptr);
  const ModuleRecord* first = record->pModules;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Utf8(first->szName), "sleep");
  EXPECT_EQ(Utf8(first->szPath), SleepPath());

  std::set<std::string> paths;
  const ModuleRecord* libc = nullptr;
  for (const ModuleRecord* m = first; m != nullptr; m = m->pNext) {
    const std::string path = Utf8(m->szPath);
    EXPECT_EQ(path.substr(0, 1), "/") << path;
    EXPECT_TRUE(paths.insert(path).second) << "listed twice: " << path;
    if (Utf8(m->szName) == "libc.so.6") libc = m;
  }
  ASSERT_NE(libc, nullptr);
  // The same files, in the same order, as the text form of the maps shows.
  char mapsName[64];
  std::snprintf(mapsName, sizeof mapsName, "/proc/%d/maps", static_cast<int>(child.pid()));
  std::vector<std::string> fromText;
  platform::procfs::ParseMappedFiles(ReadBytes(mapsName), &fromText);
  auto image = std::find(fromText.begin(), fromText.end(), SleepPath());
  ASSERT_NE(image, fromText.end());
  std::rotate(fromText.begin(), image, image + 1);
  std::vector<std::string> listed;
  for (const ModuleRecord* m = first; m != nullptr; m = m->pNext) listed.push_back(Utf8(m->szPath));
  EXPECT_EQ(listed, fromText);
  const std::string libcPath = Utf8(libc->szPath);
  struct stat st;
  ASSERT_EQ(stat(libcPath.c_str(), &st), 0);
  struct tm local;
  ASSERT_NE(localtime_r(&st.st_mtime, &local), nullptr);
  char expected[32];
  strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &local);
  EXPECT_EQ(Utf8(libc->szModifyTime), expected);
}

// A copy of this test binary that maps a data file and shared anonymous
// memory, then waits to be killed.
class MappingChild {
 public:
  explicit MappingChild(const std::string& dataFile) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      int fd = open(dataFile.c_str(), O_RDONLY);
      void* data = fd >= 0 ? mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
      void* shared = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
      const char ok = (data != MAP_FAILED && shared != MAP_FAILED) ? '1' : '0';
      if (write(ready[1], &ok, 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char ok = '0';
    if (pid_ > 0 && read(ready[0], &ok, 1) == 1) ready_ = ok == '1';
    close(ready[0]);
  }
  ~MappingChild() { KillAndReap(pid_); }
  MappingChild(const MappingChild&) = delete;
  MappingChild& operator=(const MappingChild&) = delete;
  pid_t pid() const { return pid_; }
  bool ready() const { return ready_; }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

TEST_F(LinuxInventoryTest, ModulesIncludeMappedDataFilesButNotAnonymousMemory) {
  TempDir dir;
  const std::string data = RealPath(dir.path().c_str()) + "/table.dat";
  WriteBytes(data, std::string(8192, 'x'));
  MappingChild child(data);
  ASSERT_TRUE(child.ready());
  uint32_t count = 0;
  RecordList record = CollectOne(child.pid(), &count);
  ASSERT_NE(record, nullptr);
  ASSERT_NE(record->pModules, nullptr);
  EXPECT_EQ(Utf8(record->pModules->szPath), ExeOf(child.pid()));
  size_t modules = 0;
  const ModuleRecord* table = nullptr;
  for (const ModuleRecord* m = record->pModules; m != nullptr; m = m->pNext) {
    ++modules;
    const std::string path = Utf8(m->szPath);
    EXPECT_EQ(path.substr(0, 1), "/") << path;
    EXPECT_EQ(path.find("/dev/zero"), std::string::npos) << path;
    if (path == data) table = m;
  }
  EXPECT_LE(modules, kMaxModules);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(Utf8(table->szName), "table.dat");
  EXPECT_NE(table->szModifyTime[0], u'\0');
}

TEST_F(LinuxInventoryTest, VanishedTargetHoldsOnlyItsId) {
  SleepChild child({"sleep", "30"});
  ASSERT_TRUE(child.ready());
  const pid_t gone = VanishedPid();
  const auto targets = MakeTargets({PidText(child.pid()), PidText(gone)});
  uint32_t count = 0;
  RecordList list(CollectTargetChain(&targets[0], &count));
  EXPECT_EQ(count, 1u);
  ASSERT_NE(list, nullptr);
  EXPECT_NE(list->pModules, nullptr);
  const ProcessRecord* second = list->pNext;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->dwPID, static_cast<uint32_t>(gone));
  EXPECT_EQ(Utf8(second->szName), "");
  EXPECT_EQ(Utf8(second->szUserName), "");
  EXPECT_EQ(second->nMemoryUsage, 0);
  EXPECT_EQ(second->pModules, nullptr);
  EXPECT_EQ(second->pNext, nullptr);
}

TEST_F(LinuxInventoryTest, UnknownOwnerLeavesTheUserEmpty) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start a child under another uid";
  const int uid = 54321;
  if (getpwuid(static_cast<uid_t>(uid)) != nullptr) GTEST_SKIP() << "uid " << uid << " has an account";
  SleepChild child({"sleep", "30"}, uid);
  ASSERT_TRUE(child.ready());
  uint32_t count = 0;
  RecordList record = CollectOne(child.pid(), &count);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(Utf8(record->szName), "sleep");
  EXPECT_EQ(Utf8(record->szUserName), "");
}

TEST_F(LinuxInventoryTest, ProcessListHoldsTheIdleRecordAndTheChildren) {
  SleepChild a({"sleep", "30"});
  SleepChild b({"sleep", "31"});
  ASSERT_TRUE(a.ready());
  ASSERT_TRUE(b.ready());
  uint32_t count = 0;
  RecordList list(CollectProcessChain(&count));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->dwPID, 0u);
  EXPECT_EQ(Utf8(list->szName), "System Idle Process");
  EXPECT_EQ(list->nMemoryUsage, 16384);
  uint32_t records = 0;
  uint32_t previous = 0;
  bool sawA = false;
  bool sawB = false;
  bool sawSelf = false;
  for (const ProcessRecord* r = list.get(); r != nullptr; r = r->pNext) {
    ++records;
    EXPECT_NE(r->szName[0], u'\0');
    if (r != list.get()) {
      EXPECT_GT(r->dwPID, previous);
    }
    previous = r->dwPID;
    if (r->dwPID == static_cast<uint32_t>(a.pid())) {
      sawA = true;
      EXPECT_EQ(Utf8(r->szCommandLine), "sleep 30");
    }
    if (r->dwPID == static_cast<uint32_t>(b.pid())) sawB = true;
    if (r->dwPID == static_cast<uint32_t>(getpid())) sawSelf = true;
    EXPECT_GE(r->nCpuUsage, 0);
  }
  EXPECT_EQ(count, records);
  EXPECT_TRUE(sawA);
  EXPECT_TRUE(sawB);
  EXPECT_TRUE(sawSelf);
  EXPECT_EQ(CpuSampleCountForTesting(), 0u);
}

// ---- The backend's own answers ---------------------------------------------

TEST(LinuxBackendTest, SnapshotStartsWithIdleThenAscendingIds) {
  std::vector<uint32_t> pids;
  ASSERT_TRUE(platform::Default()->SnapshotProcessIds(&pids));
  ASSERT_GE(pids.size(), 2u);
  EXPECT_EQ(pids[0], 0u);
  for (size_t i = 2; i < pids.size(); ++i) EXPECT_LT(pids[i - 1], pids[i]);
  EXPECT_NE(std::find(pids.begin(), pids.end(), static_cast<uint32_t>(getpid())), pids.end());
  EXPECT_FALSE(platform::Default()->IsSystemProcessId(4));
  EXPECT_FALSE(platform::Default()->IsSystemProcessId(8));
}

TEST(LinuxBackendTest, MappedFilesFromTheMapsText) {
  const std::string maps =
      "55d0a0000000-55d0a0002000 r--p 00000000 08:01 131 /usr/bin/prog\n"
      "55d0a0002000-55d0a0006000 r-xp 00002000 08:01 131 /usr/bin/prog\n"
      "55d0a1000000-55d0a1021000 rw-p 00000000 00:00 0 [heap]\n"
      "7f0000000000-7f0000001000 r--p 00000000 08:01 77 /usr/lib/locale/locale-archive\n"
      "7f0000001000-7f0000002000 rw-s 00000000 00:01 1024 /dev/zero (deleted)\n"
      "7f0000002000-7f0000003000 rw-s 00000000 00:01 65538 /SYSV0000002a (deleted)\n"
      "7f0000003000-7f0000004000 rw-s 00000000 00:01 9 /memfd:pool (deleted)\n"
      "7f0000004000-7f0000005000 r--p 00000000 08:01 88 /tmp/gone file (deleted)\n"
      "7f0000005000-7f0000006000 rw-p 00000000 00:00 0 \n"
      "7f0000010000-7f0000030000 r-xp 00000000 08:01 99 /usr/lib/libc.so.6\n"
      "7f0000030000-7f0000031000 r--p 00020000 08:01 77 /usr/lib/locale/locale-archive\n"
      "7f0000031000-7f0000032000 r--p 00000000 00:05 3 anon_inode:[perf_event]\n"
      "garbage\n"
      "7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0 [stack]\n"
      "7ffd00022000-7ffd00024000 r-xp 00000000 00:00 0 [vdso]";
  std::vector<std::string> paths;
  platform::procfs::ParseMappedFiles(maps, &paths);
  const std::vector<std::string> expected = {"/usr/bin/prog", "/usr/lib/locale/locale-archive",
                                             "/memfd:pool (deleted)", "/tmp/gone file (deleted)",
                                             "/usr/lib/libc.so.6"};
  EXPECT_EQ(paths, expected);

  paths.clear();
  platform::procfs::ParseMappedFiles("", &paths);
  EXPECT_TRUE(paths.empty());
  EXPECT_TRUE(platform::procfs::IsAnonymousMemoryName("/anon_hugepage (deleted)"));
  EXPECT_TRUE(platform::procfs::IsAnonymousMemoryName("/[aio] (deleted)"));
  EXPECT_FALSE(platform::procfs::IsAnonymousMemoryName("/dev/zero"));
  EXPECT_FALSE(platform::procfs::IsAnonymousMemoryName("/SYSV (deleted)"));
}

TEST(LinuxBackendTest, MappedFilesKeepTheirFirstRangeAndIdentity) {
  // 40 files, each mapped twice, the second round in reverse order; one
  // malformed line names a file that only a later line maps properly.
  std::string maps = "7f00000000-7f00001000 r--p 00000000 fd:01 5 /lib/late.so (x)\n"
                     "zz-7f00001000 r--p 00000000 08:01 6 /lib/bad.so\n";
  char line[160];
  for (int i = 0; i < 40; ++i) {
    std::snprintf(line, sizeof line, "%x000-%x000 r-xp 00000000 103:0a %d /lib/f%d.so\n", 0x10 + 2 * i,
                  0x11 + 2 * i, 1000 + i, i);
    maps += line;
  }
  for (int i = 39; i >= 0; --i) {
    std::snprintf(line, sizeof line, "%x000-%x000 rw-p 00001000 103:0a %d /lib/f%d.so\n", 0x100 + 2 * i,
                  0x101 + 2 * i, 1000 + i, i);
    maps += line;
  }
  maps += "900000-901000 r--p 00000000 08:01 6 /lib/bad.so\n";
  std::vector<platform::procfs::MappedFile> files;
  platform::procfs::ParseMappedFiles(maps, &files);
  ASSERT_EQ(files.size(), 42u);
  EXPECT_EQ(files[0].path, "/lib/late.so (x)");
  EXPECT_EQ(files[0].start, 0x7f00000000u);
  EXPECT_EQ(files[0].end, 0x7f00001000u);
  EXPECT_EQ(files[0].device, makedev(0xfd, 0x01));
  EXPECT_EQ(files[0].inode, 5u);
  for (int i = 0; i < 40; ++i) {
    const platform::procfs::MappedFile& file = files[1 + i];
    EXPECT_EQ(file.path, "/lib/f" + std::to_string(i) + ".so");
    EXPECT_EQ(file.start, static_cast<uint64_t>(0x10 + 2 * i) << 12) << i;  // the first mapping's range
    EXPECT_EQ(file.end, static_cast<uint64_t>(0x11 + 2 * i) << 12) << i;
    EXPECT_EQ(file.device, makedev(0x103, 0x0a)) << i;
    EXPECT_EQ(file.inode, static_cast<uint64_t>(1000 + i)) << i;
  }
  EXPECT_EQ(files[41].path, "/lib/bad.so");
  EXPECT_EQ(files[41].start, 0x900000u);
}

TEST(LinuxBackendTest, RecordFilesAreReadWhole) {
  TempDir dir;
  // Around the size of one read: short, one unit short, exact, just over,
  // several reads' worth.
  for (size_t size : {size_t{0}, size_t{10}, size_t{4095}, size_t{4096}, size_t{4097}, size_t{12345}}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    const std::string path = dir.File("f" + std::to_string(size));
    WriteBytes(path, bytes);
    std::string read = "stale";
    ASSERT_TRUE(platform::procfs::ReadRecordFileAt(AT_FDCWD, path.c_str(), &read)) << size;
    EXPECT_EQ(read, bytes) << size;
  }
  std::string whole;
  std::string record;
  ASSERT_TRUE(platform::procfs::ReadFileAt(AT_FDCWD, "/proc/self/cmdline", &whole));
  ASSERT_TRUE(platform::procfs::ReadRecordFileAt(AT_FDCWD, "/proc/self/cmdline", &record));
  EXPECT_EQ(record, whole);
  EXPECT_FALSE(platform::procfs::ReadRecordFileAt(AT_FDCWD, dir.File("missing").c_str(), &record));
}

TEST(LinuxBackendTest, FileSizeIsTrue64Bit) {
  TempDir dir;
  const std::string path = dir.File("sparse.bin");
  int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const bool sized = ftruncate(fd, 4294967296LL + 10) == 0;
  close(fd);
  if (!sized) GTEST_SKIP() << "file system refuses a 4 GiB sparse file";
  int64_t size = 0;
  EXPECT_TRUE(platform::Default()->FileSize(Utf8ToUtf16(path), &size));
  EXPECT_EQ(size, 4294967306LL);
  EXPECT_EQ(QueryFileSize(Utf8ToUtf16(path)), 4294967306LL);
  EXPECT_EQ(QueryFileSize(Utf8ToUtf16(dir.File("missing"))), 0);
}

TEST(LinuxBackendTest, FileModifyTimeIsLocalTime) {
  TempDir dir;
  const std::string path = dir.File("stamp");
  WriteBytes(path, "x");
  struct tm when = {};
  when.tm_year = 2009 - 1900;
  when.tm_mon = 6;
  when.tm_mday = 20;
  when.tm_hour = 10;
  when.tm_min = 15;
  when.tm_isdst = -1;
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = mktime(&when);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  platform::LocalTime t;
  ASSERT_TRUE(platform::Default()->FileModifyTime(Utf8ToUtf16(path), &t));
  EXPECT_EQ(FormatModifyTime(t), u"2009-07-20 10:15:00");
  EXPECT_FALSE(platform::Default()->FileModifyTime(Utf8ToUtf16(dir.File("missing")), &t));
}

TEST(LinuxBackendTest, CpuTimesShareOneUnit) {
  int64_t idle = -1;
  int64_t total = -1;
  ASSERT_TRUE(platform::Default()->CpuTimes(0, &idle, &total));
  EXPECT_GE(idle, 0);
  EXPECT_GE(total, idle);
  int64_t mine = -1;
  ASSERT_TRUE(platform::Default()->CpuTimes(static_cast<uint32_t>(getpid()), &mine, &total));
  EXPECT_GE(mine, 0);
  EXPECT_LE(mine, total);
  int64_t gone = -1;
  ASSERT_TRUE(platform::Default()->CpuTimes(static_cast<uint32_t>(VanishedPid()), &gone, &total));
  EXPECT_EQ(gone, 0);
}

// A process reaped between its opening and its second sample has no time
// to read any more: the sample fails (no figure), rather than reporting a
// time of 0 that would make its share of the window negative.
TEST(LinuxBackendTest, AProcessReapedBeforeItsSecondSampleHasNoFigure) {
  platform::Platform* p = platform::Default();
  for (bool session : {true, false}) {
    const pid_t child = fork();
    if (child == 0) {
      for (;;) pause();
    }
    ASSERT_GT(child, 0);
    if (session) p->BeginCpuSampling();
    int64_t first = -1;
    int64_t total = -1;
    ASSERT_TRUE(p->CpuTimes(static_cast<uint32_t>(child), &first, &total));
    std::unique_ptr<platform::ProcessHandle> handle = p->OpenProcess(static_cast<uint32_t>(child), platform::kAccessQuery);
    ASSERT_NE(handle, nullptr);
    KillAndReap(child);
    int64_t second = -1;
    EXPECT_FALSE(p->ProcessCpuTimes(*handle, &second, &total)) << (session ? "in a session" : "alone");
    if (session) p->EndCpuSampling();
  }
}

// The first samples of a sampling session keep their stat files open for
// the second ones; nothing stays open outside a session or after it.
TEST(LinuxBackendTest, CpuSamplingKeepsStatFilesOnlyForItsSession) {
  platform::Platform* p = platform::Default();
  SleepChild child({"sleep", "1000"});
  ASSERT_TRUE(child.ready());
  const uint32_t pid = static_cast<uint32_t>(child.pid());
  const int base = CountOpenDescriptors();
  int64_t first = -1;
  int64_t total = -1;
  ASSERT_TRUE(p->CpuTimes(pid, &first, &total));
  EXPECT_EQ(CountOpenDescriptors(), base);  // no session: nothing kept

  p->BeginCpuSampling();
  ASSERT_TRUE(p->CpuTimes(pid, &first, &total));
  ASSERT_TRUE(p->CpuTimes(pid, &first, &total));  // the same id again replaces
  int64_t gone = -1;
  ASSERT_TRUE(p->CpuTimes(static_cast<uint32_t>(VanishedPid()), &gone, &total));
  EXPECT_EQ(gone, 0);
  EXPECT_EQ(CountOpenDescriptors(), base + 1);
  {
    std::unique_ptr<platform::ProcessHandle> handle = p->OpenProcess(pid, platform::kAccessQuery);
    ASSERT_NE(handle, nullptr);
    const int withHandle = CountOpenDescriptors();
    int64_t second = -1;
    ASSERT_TRUE(p->ProcessCpuTimes(*handle, &second, &total));
    EXPECT_GE(second, first);
    EXPECT_EQ(CountOpenDescriptors(), withHandle - 1);  // the kept file was used up
    // Asked again, the process is read through the handle.
    ASSERT_TRUE(p->ProcessCpuTimes(*handle, &second, &total));
    EXPECT_GE(second, first);
  }
  ASSERT_TRUE(p->CpuTimes(pid, &first, &total));
  EXPECT_EQ(CountOpenDescriptors(), base + 1);
  p->EndCpuSampling();
  EXPECT_EQ(CountOpenDescriptors(), base);

  // A whole listing leaves no descriptor behind either.
  ProcessRecord* list = CollectProcessChain(nullptr);
  EXPECT_NE(list, nullptr);
  FreeProcessList(list);
  EXPECT_EQ(CountOpenDescriptors(), base);
}

// The image's identity comes from the same reading of the maps that the
// module list then uses.
TEST(LinuxBackendTest, ImageIdentityIsTheRunFileAndSharesTheMapsReading) {
  platform::Platform* p = platform::Default();
  SleepChild child({"sleep", "1000"});
  ASSERT_TRUE(child.ready());
  struct stat image;
  ASSERT_EQ(stat(SleepPath().c_str(), &image), 0);
  const uint32_t pid = static_cast<uint32_t>(child.pid());
  std::unique_ptr<platform::ProcessHandle> handle = p->OpenProcess(pid, platform::kAccessQuery);
  ASSERT_NE(handle, nullptr);
  uint64_t device = 0;
  uint64_t number = 0;
  ASSERT_TRUE(p->ImageFileIdentity(*handle, &device, &number));
  EXPECT_EQ(device, static_cast<uint64_t>(image.st_dev));
  EXPECT_EQ(number, static_cast<uint64_t>(image.st_ino));
  std::vector<platform::ModuleEntry> shared;
  ASSERT_TRUE(p->ListModules(*handle, 1024, &shared));
  std::unique_ptr<platform::ProcessHandle> fresh = p->OpenProcess(pid, platform::kAccessQuery);
  ASSERT_NE(fresh, nullptr);
  std::vector<platform::ModuleEntry> alone;
  ASSERT_TRUE(p->ListModules(*fresh, 1024, &alone));
  ASSERT_EQ(shared.size(), alone.size());
  ASSERT_FALSE(shared.empty());
  EXPECT_EQ(shared[0].fullPath, Utf8ToUtf16(SleepPath()));
  for (size_t i = 0; i < shared.size(); ++i) {
    EXPECT_EQ(shared[i].fullPath, alone[i].fullPath);
    EXPECT_EQ(shared[i].fileNumber, alone[i].fileNumber);
  }
  // A second listing of the same handle lists the same reading.
  std::vector<platform::ModuleEntry> again;
  ASSERT_TRUE(p->ListModules(*handle, 2, &again));
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[1].fullPath, alone[1].fullPath);
}

TEST(LinuxBackendTest, OsFactsAndPrivilege) {
  EXPECT_EQ(DetectOsFamily(), -1);
  EXPECT_EQ(platform::Default()->WindowsDirectory(), u"");
  uint64_t luid = 0;
  EXPECT_FALSE(platform::Default()->LookupPrivilege(u"SeShutdownPrivilege", &luid));
  if (geteuid() == 0) {
    EXPECT_EQ(EnableDebugPrivilege(), 1);
  }
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
