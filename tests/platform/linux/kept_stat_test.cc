// The stat files a listing's first CPU samples keep open for the second
// ones go to processes the listing will list, not to kernel threads. Runs
// outside a PID namespace of its own: only there are kernel threads seen.
#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/linux_platform.h"
#include "support/test_support.h"

namespace kelvane {
namespace {

std::vector<uint32_t> ProcessIds() {
  std::vector<uint32_t> pids;
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return pids;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && pid > 0) pids.push_back(static_cast<uint32_t>(pid));
  }
  closedir(dir);
  return pids;
}

// Whether `pid` is a kernel thread, by the PF_KTHREAD bit of the flags
// field (the ninth) of its stat record, read here independently.
bool IsKernelThread(uint32_t pid) {
  const std::string text = testing::ReadBytes("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  for (int number = 3; number <= 9 && fields >> field; ++number) {
    if (number == 9) return (std::strtoull(field.c_str(), nullptr, 10) & 0x00200000) != 0;
  }
  return false;
}

// The process ids whose stat file this process holds open.
std::set<uint32_t> HeldStatFiles() {
  std::set<uint32_t> pids;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return pids;
  while (dirent* entry = readdir(dir)) {
    char target[256];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    unsigned long pid = 0;
    char tail[16] = {};
    if (std::sscanf(target, "/proc/%lu/%15s", &pid, tail) == 2 && std::string(tail) == "stat") {
      pids.insert(static_cast<uint32_t>(pid));
    }
  }
  closedir(dir);
  return pids;
}

TEST(KeptStatFilesTest, OnlyProcessesThatWillBeListedKeepTheirFile) {
  const std::vector<uint32_t> pids = ProcessIds();
  size_t kernelThreads = 0;
  for (uint32_t pid : pids) kernelThreads += IsKernelThread(pid) ? 1 : 0;
  if (kernelThreads == 0) GTEST_SKIP() << "no kernel thread is visible here (a PID namespace of its own?)";

  platform::LinuxPlatform os;
  os.BeginCpuSampling();
  for (uint32_t pid : pids) {
    int64_t processTime = 0, totalTime = 0;
    ASSERT_TRUE(os.CpuTimes(pid, &processTime, &totalTime));
  }
  const std::set<uint32_t> kept = HeldStatFiles();
  os.EndCpuSampling();

  EXPECT_FALSE(kept.empty());
  EXPECT_TRUE(kept.count(static_cast<uint32_t>(getpid())) != 0);
  for (uint32_t pid : kept) EXPECT_FALSE(IsKernelThread(pid)) << "kernel thread " << pid << " kept";
  EXPECT_TRUE(HeldStatFiles().empty());
}

}  // namespace
}  // namespace kelvane
