#include "platform/platform.h"

namespace kelvane {
namespace platform {

namespace {
Platform* g_override = nullptr;
}  // namespace

Platform* Current() { return g_override != nullptr ? g_override : Default(); }

void SetForTesting(Platform* platform) { g_override = platform; }

}  // namespace platform
}  // namespace kelvane
