// A Platform whose every query fails, for tests to derive from and override
// the few methods a case needs. Install it with ScopedPlatform.
#ifndef KELVANE_TESTS_SUPPORT_FAKE_PLATFORM_H_
#define KELVANE_TESTS_SUPPORT_FAKE_PLATFORM_H_

#include "platform/platform.h"

namespace kelvane {
namespace testing {

class FakeProcess : public platform::ProcessHandle {
 public:
  explicit FakeProcess(uint32_t pid) : pid_(pid) {}
  uint32_t pid() const override { return pid_; }

 private:
  uint32_t pid_;
};

class FakePlatform : public platform::Platform {
 public:
  std::u16string LibraryFilePath(const void*) override { return {}; }
  char16_t PathSeparator() override { return u'/'; }
  std::u16string NarrowTextToUtf16(std::string_view bytes) override {
    return platform::Default()->NarrowTextToUtf16(bytes);
  }
  void SetParserLocale() override {}
  platform::LocalTime Now() override { return {2009, 7, 27, 14, 5, 9}; }
  std::unique_ptr<platform::OutputFile> CreateOutputFile(const std::u16string& path,
                                                         std::u16string* error) override {
    return platform::Default()->CreateOutputFile(path, error);
  }
  bool ReadRegularFile(const std::u16string& path, size_t limit, std::string* bytes) override {
    return platform::Default()->ReadRegularFile(path, limit, bytes);
  }
  bool FileSize(const std::u16string&, int64_t*) override { return false; }
  bool FileModifyTime(const std::u16string&, platform::LocalTime*) override { return false; }
  bool LoadVersionResource(const std::u16string&, std::vector<uint8_t>*) override { return false; }
  bool QueryVersionValue(const std::vector<uint8_t>&, const std::u16string&, std::vector<uint8_t>*,
                         std::u16string*) override {
    return false;
  }
  std::u16string WindowsDirectory() override { return u"C:\\WINDOWS"; }
  bool SnapshotProcessIds(std::vector<uint32_t>*) override { return false; }
  bool EnumerateProcessIds(std::vector<uint32_t>*) override { return false; }
  bool IsSystemProcessId(uint32_t pid) override { return pid == 4 || pid == 8; }
  bool IsCallerProcessId(uint32_t) override { return false; }
  std::unique_ptr<platform::ProcessHandle> OpenProcess(uint32_t, uint32_t) override { return nullptr; }
  bool TerminateProcess(platform::ProcessHandle&, uint32_t) override { return false; }
  bool QueryParent(platform::ProcessHandle&, uint32_t*, uint64_t*) override { return false; }
  bool SetPriorityClass(platform::ProcessHandle&, uint32_t) override { return false; }
  uint32_t GetPriorityClass(platform::ProcessHandle&) override { return 0; }
  bool ImageBaseName(platform::ProcessHandle&, std::u16string*) override { return false; }
  bool ImageFullPath(platform::ProcessHandle&, std::u16string*) override { return false; }
  bool WorkingSetSize(platform::ProcessHandle&, int64_t*) override { return false; }
  bool CommandLine(platform::ProcessHandle&, std::u16string*) override { return false; }
  platform::UserLookup ProcessUserName(uint32_t, std::u16string*) override {
    return platform::UserLookup::kTableUnavailable;
  }
  bool ListModules(platform::ProcessHandle&, size_t, std::vector<platform::ModuleEntry>*) override {
    return false;
  }
  bool CpuTimes(uint32_t, int64_t*, int64_t*) override { return false; }
  std::unique_ptr<platform::TokenHandle> OpenOwnToken() override { return nullptr; }
  bool LookupPrivilege(const std::u16string&, uint64_t*) override { return false; }
  bool EnablePrivilege(platform::TokenHandle&, uint64_t) override { return false; }
  bool QueryOsVersion(platform::OsVersionFacts*) override { return false; }
  bool ReadProductType(std::u16string*) override { return false; }
};

// Installs a platform for the lifetime of the object.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(platform::Platform* p) { platform::SetForTesting(p); }
  ~ScopedPlatform() { platform::SetForTesting(nullptr); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_SUPPORT_FAKE_PLATFORM_H_
