// Placeholder: process inventory queries are filled in by the inventory work.
#include "platform/linux/linux_platform.h"

namespace kelvane {
namespace platform {

bool LinuxPlatform::FileSize(const std::u16string&, int64_t*) { return false; }
bool LinuxPlatform::FileModifyTime(const std::u16string&, LocalTime*) { return false; }
bool LinuxPlatform::LoadVersionResource(const std::u16string&, std::vector<uint8_t>*) { return false; }
bool LinuxPlatform::QueryVersionValue(const std::vector<uint8_t>&, const std::u16string&,
                                      std::vector<uint8_t>*, std::u16string*) {
  return false;
}
std::u16string LinuxPlatform::WindowsDirectory() { return {}; }
bool LinuxPlatform::SnapshotProcessIds(std::vector<uint32_t>*) { return false; }
bool LinuxPlatform::IsSystemProcessId(uint32_t) { return false; }
bool LinuxPlatform::ImageBaseName(ProcessHandle&, std::u16string*) { return false; }
bool LinuxPlatform::ImageFullPath(ProcessHandle&, std::u16string*) { return false; }
bool LinuxPlatform::WorkingSetSize(ProcessHandle&, int64_t*) { return false; }
bool LinuxPlatform::CommandLine(ProcessHandle&, std::u16string*) { return false; }
UserLookup LinuxPlatform::ProcessUserName(uint32_t, std::u16string*) { return UserLookup::kTableUnavailable; }
bool LinuxPlatform::ListModules(ProcessHandle&, size_t, std::vector<ModuleEntry>*) { return false; }
bool LinuxPlatform::CpuTimes(uint32_t, int64_t*, int64_t*) { return false; }
std::unique_ptr<TokenHandle> LinuxPlatform::OpenOwnToken() { return nullptr; }
bool LinuxPlatform::LookupPrivilege(const std::u16string&, uint64_t*) { return false; }
bool LinuxPlatform::EnablePrivilege(TokenHandle&, uint64_t) { return false; }
bool LinuxPlatform::QueryOsVersion(OsVersionFacts*) { return false; }
bool LinuxPlatform::ReadProductType(std::u16string*) { return false; }

}  // namespace platform
}  // namespace kelvane
