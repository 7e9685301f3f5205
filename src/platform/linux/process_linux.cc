// Placeholder: process opening and control are filled in by the control work.
#include "platform/linux/linux_platform.h"

namespace kelvane {
namespace platform {

LinuxProcess::~LinuxProcess() = default;
bool LinuxPlatform::EnumerateProcessIds(std::vector<uint32_t>*) { return false; }
std::unique_ptr<ProcessHandle> LinuxPlatform::OpenProcess(uint32_t, uint32_t) { return nullptr; }
bool LinuxPlatform::TerminateProcess(ProcessHandle&, uint32_t) { return false; }
bool LinuxPlatform::QueryParent(ProcessHandle&, uint32_t*, uint64_t*) { return false; }
bool LinuxPlatform::SetPriorityClass(ProcessHandle&, uint32_t) { return false; }
uint32_t LinuxPlatform::GetPriorityClass(ProcessHandle&) { return 0; }

}  // namespace platform
}  // namespace kelvane
