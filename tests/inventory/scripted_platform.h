// A fake platform whose processes, CPU accounting, version facts and files
// are set up by each test, and a clock that never sleeps.
#ifndef KELVANE_TESTS_INVENTORY_SCRIPTED_PLATFORM_H_
#define KELVANE_TESTS_INVENTORY_SCRIPTED_PLATFORM_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "inventory/process_list.h"
#include "support/fake_platform.h"

namespace kelvane {
namespace testing {

struct ScriptedProcess {
  bool openable = true;
  std::optional<std::u16string> baseName;
  std::optional<std::u16string> fullPath;
  std::optional<std::u16string> commandLine;
  platform::UserLookup userLookup = platform::UserLookup::kTableUnavailable;
  std::u16string userName;
  std::optional<int64_t> workingSet;
  uint32_t priority = 0;
  std::optional<std::vector<platform::ModuleEntry>> modules;
  int64_t cpuTime = 0;
};

// A clock that advances only when asked to sleep, recording each wait.
class FakeClock {
 public:
  FakeClock() {
    now_ = 1000;
    sleeps_.clear();
    onSleep_ = nullptr;
    static const InventoryClock clock = {[] { return now_; },
                                         [](int64_t ms) {
                                           sleeps_.push_back(ms);
                                           now_ += ms;
                                           if (onSleep_) onSleep_();
                                         }};
    SetInventoryClockForTesting(&clock);
  }
  ~FakeClock() {
    SetInventoryClockForTesting(nullptr);
    onSleep_ = nullptr;
  }
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;

  static void Advance(int64_t ms) { now_ += ms; }
  // Runs `action` during every wait (what happens between two passes).
  void OnSleep(std::function<void()> action) { onSleep_ = std::move(action); }
  const std::vector<int64_t>& sleeps() const { return sleeps_; }

 private:
  static inline int64_t now_ = 0;
  static inline std::vector<int64_t> sleeps_;
  static inline std::function<void()> onSleep_;
};

class ScriptedPlatform : public FakePlatform {
 public:
  std::vector<uint32_t> snapshot;
  bool snapshotWorks = true;
  std::map<uint32_t, ScriptedProcess> processes;
  std::optional<int64_t> totalCpuTime;  // nullopt: accounting unreadable
  std::u16string windowsDirectory = u"C:\\WINDOWS";
  std::optional<platform::OsVersionFacts> osFacts;
  std::optional<std::u16string> productType;
  std::map<std::u16string, int64_t> fileSizes;
  std::map<std::u16string, platform::LocalTime> fileTimes;
  // Every process id opened and every CPU sample asked for, in order.
  std::vector<uint32_t> opened;
  std::vector<uint32_t> sampled;
  size_t debugPrivilegeRequests = 0;
  // How far the fake clock moves with each CPU sample.
  int64_t clockStepPerSample = 0;

  ScriptedProcess* Find(uint32_t pid) {
    auto it = processes.find(pid);
    return it == processes.end() ? nullptr : &it->second;
  }
  ScriptedProcess* Find(platform::ProcessHandle& process) { return Find(process.pid()); }

  std::u16string WindowsDirectory() override { return windowsDirectory; }
  bool SnapshotProcessIds(std::vector<uint32_t>* pids) override {
    if (!snapshotWorks) return false;
    *pids = snapshot;
    return true;
  }
  std::unique_ptr<platform::ProcessHandle> OpenProcess(uint32_t pid, uint32_t access) override {
    opened.push_back(pid);
    ScriptedProcess* p = Find(pid);
    if (p == nullptr || !p->openable || access != platform::kAccessQuery) return nullptr;
    return std::make_unique<FakeProcess>(pid);
  }
  uint32_t GetPriorityClass(platform::ProcessHandle& process) override {
    ScriptedProcess* p = Find(process);
    return p != nullptr ? p->priority : 0;
  }
  bool ImageBaseName(platform::ProcessHandle& process, std::u16string* name) override {
    ScriptedProcess* p = Find(process);
    if (p == nullptr || !p->baseName) return false;
    *name = *p->baseName;
    return true;
  }
  bool ImageFullPath(platform::ProcessHandle& process, std::u16string* path) override {
    ScriptedProcess* p = Find(process);
    if (p == nullptr || !p->fullPath) return false;
    *path = *p->fullPath;
    return true;
  }
  bool WorkingSetSize(platform::ProcessHandle& process, int64_t* bytes) override {
    ScriptedProcess* p = Find(process);
    if (p == nullptr || !p->workingSet) return false;
    *bytes = *p->workingSet;
    return true;
  }
  bool CommandLine(platform::ProcessHandle& process, std::u16string* commandLine) override {
    ScriptedProcess* p = Find(process);
    if (p == nullptr || !p->commandLine) return false;
    *commandLine = *p->commandLine;
    return true;
  }
  platform::UserLookup ProcessUserName(uint32_t pid, std::u16string* name) override {
    ScriptedProcess* p = Find(pid);
    if (p == nullptr) return platform::UserLookup::kNotListed;
    if (p->userLookup == platform::UserLookup::kFound) *name = p->userName;
    return p->userLookup;
  }
  bool ListModules(platform::ProcessHandle& process, size_t limit,
                   std::vector<platform::ModuleEntry>* modules) override {
    ScriptedProcess* p = Find(process);
    if (p == nullptr || !p->modules) return false;
    modules->assign(p->modules->begin(),
                    p->modules->begin() + static_cast<ptrdiff_t>(std::min(limit, p->modules->size())));
    return true;
  }
  bool CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime) override {
    sampled.push_back(pid);
    FakeClock::Advance(clockStepPerSample);
    if (!totalCpuTime) return false;
    ScriptedProcess* p = Find(pid);
    *processTime = p != nullptr ? p->cpuTime : 0;
    *totalTime = *totalCpuTime;
    return true;
  }
  bool FileSize(const std::u16string& path, int64_t* size) override {
    auto it = fileSizes.find(path);
    if (it == fileSizes.end()) return false;
    *size = it->second;
    return true;
  }
  bool FileModifyTime(const std::u16string& path, platform::LocalTime* time) override {
    auto it = fileTimes.find(path);
    if (it == fileTimes.end()) return false;
    *time = it->second;
    return true;
  }
  std::unique_ptr<platform::TokenHandle> OpenOwnToken() override {
    ++debugPrivilegeRequests;
    return nullptr;
  }
  bool QueryOsVersion(platform::OsVersionFacts* facts) override {
    if (!osFacts) return false;
    *facts = *osFacts;
    return true;
  }
  bool ReadProductType(std::u16string* value) override {
    if (!productType) return false;
    *value = *productType;
    return true;
  }
};

// A record list freed at the end of the scope.
using RecordList = ProcessListPtr;

inline std::u16string Text(const char16_t* field) { return std::u16string(field); }

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_INVENTORY_SCRIPTED_PLATFORM_H_
