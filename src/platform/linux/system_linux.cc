// Library location, the system's narrow text, the locale step, the clock, and
// the load-time constructor that starts the library's set-up.
#include <dlfcn.h>
#include <link.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/text.h"
#include "platform/linux/linux_platform.h"
#include "platform/load_hook.h"

namespace kelvane {
namespace platform {

namespace {

}  // namespace

Platform* Default() {
  // Stateless, so it may live in static storage and go with the library.
  static LinuxPlatform instance;
  return &instance;
}

std::u16string LinuxPlatform::LibraryFilePath(const void* addressInLibrary) {
  Dl_info info{};
  struct link_map* map = nullptr;
  if (dladdr1(addressInLibrary, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) return {};
  std::error_code error;
  std::filesystem::path path;
  if (map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    path = map->l_name;
  } else if (map == nullptr && info.dli_fname != nullptr && info.dli_fname[0] != '\0') {
    path = info.dli_fname;
  } else {
    // The main program has no name of its own in the loader's list; its
    // file is the process's executable.
    path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
  }
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return {};
  // The real file: symbolic links resolved, "." and ".." taken on the real
  // directories ("link/.." is the link target's parent, not the link's).
  std::filesystem::path real = std::filesystem::weakly_canonical(absolute, error);
  if (error) return {};
  return Utf8ToUtf16(real.string());
}

char16_t LinuxPlatform::PathSeparator() { return u'/'; }

std::u16string LinuxPlatform::NarrowTextToUtf16(std::string_view bytes) {
  // UTF-8 is the system's narrow encoding here; its byte-order mark, when a
  // file starts with one, is no text.
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.remove_prefix(3);
  return Utf8ToUtf16(bytes);
}

// No narrow code-page text passes through the module on Linux, so the
// process locale is left as the host set it.
void LinuxPlatform::SetParserLocale() {}

LocalTime LinuxPlatform::Now() {
  time_t now = time(nullptr);
  struct tm parts {};
  if (localtime_r(&now, &parts) == nullptr) return LocalTime();
  return LocalTimeFromTm(parts);
}

}  // namespace platform
}  // namespace kelvane

namespace {

// Runs when the library is loaded (and, since the unit tests link the same
// objects, when a test program starts; the set-up is harmless there: it
// only computes a path and prepares a buffer). The address of this very
// function identifies the file it lives in.
__attribute__((constructor)) void KelvaneLibraryLoaded() {
  kelvane::OnLibraryLoad(reinterpret_cast<const void*>(&KelvaneLibraryLoaded));
}

}  // namespace
