// Placeholder: library path, profile strings, locale step, clock and the
// load-time constructor are filled in by the foundation work.
#include "platform/linux/linux_platform.h"

namespace kelvane {
namespace platform {

Platform* Default() {
  static LinuxPlatform* instance = new LinuxPlatform();
  return instance;
}

std::u16string LinuxPlatform::LibraryFilePath(const void*) { return {}; }
char16_t LinuxPlatform::PathSeparator() { return u'/'; }
std::u16string LinuxPlatform::ReadProfileString(const std::u16string&, const std::u16string&,
                                                const std::u16string& fallback,
                                                const std::u16string&) {
  return fallback;
}
void LinuxPlatform::SetParserLocale() {}
LocalTime LinuxPlatform::Now() { return {}; }

}  // namespace platform
}  // namespace kelvane
