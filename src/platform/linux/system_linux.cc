// Library location, profile (INI) strings, the locale step, the clock, and
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

// Longest value a profile lookup yields (a 1024-unit buffer with its
// terminator).
constexpr size_t kMaxProfileValue = 1023;
// Profile files beyond this size are not read at all (a message table is a
// few kilobytes); the lookup then gives the fallback.
constexpr size_t kMaxProfileFileBytes = 16u * 1024 * 1024;

// Decodes a profile file: UTF-16 (either byte order) when it starts with a
// byte-order mark, UTF-8 otherwise (with or without its mark).
std::u16string DecodeProfile(const std::string& bytes) {
  const auto byte = [&bytes](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 && ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF))) {
    const bool little = byte(0) == 0xFF;
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const unsigned lo = little ? byte(i) : byte(i + 1);
      const unsigned hi = little ? byte(i + 1) : byte(i);
      text.push_back(static_cast<char16_t>(lo | (hi << 8)));
    }
    return text;
  }
  std::string_view utf8(bytes);
  if (utf8.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) utf8.remove_prefix(3);
  return Utf8ToUtf16(utf8);
}

char16_t FoldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

// Section and key names match without regard to (ASCII) case.
bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// Finds `key` in the first section named `section`. Lines are trimmed;
// "[name]" opens a section, "key=value" is an entry, lines starting with
// ';' and lines without '=' are ignored. The value is trimmed and one pair
// of enclosing quotes (" or ') removed.
bool FindProfileValue(std::u16string_view text, std::u16string_view section, std::u16string_view key,
                      std::u16string* value) {
  bool inSection = false;
  bool sectionSeen = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(u"\r\n", pos);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view line = TrimSpaces(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == u';') continue;
    if (line[0] == u'[') {
      if (inSection) return false;  // only the first section of that name counts
      size_t close = line.find(u']');
      std::u16string_view name = line.substr(1, close == std::u16string_view::npos ? line.size() - 1 : close - 1);
      inSection = !sectionSeen && SameName(TrimSpaces(name), section);
      sectionSeen = sectionSeen || inSection;
      continue;
    }
    if (!inSection) continue;
    size_t equals = line.find(u'=');
    if (equals == std::u16string_view::npos) continue;
    if (!SameName(TrimSpaces(line.substr(0, equals)), key)) continue;
    std::u16string_view found = TrimSpaces(line.substr(equals + 1));
    if (found.size() >= 2 && (found.front() == u'"' || found.front() == u'\'') && found.back() == found.front()) {
      found = found.substr(1, found.size() - 2);
    }
    *value = std::u16string(CutToUnits(found, kMaxProfileValue));
    return true;
  }
  return false;
}

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

std::u16string LinuxPlatform::ReadProfileString(const std::u16string& section, const std::u16string& key,
                                                const std::u16string& fallback, const std::u16string& path) {
  // Read through the guarded reader: a FIFO, device or directory planted at
  // the table's path is refused without blocking, like a command file.
  std::string bytes;
  std::u16string value;
  if (path.empty() || !ReadRegularFile(path, kMaxProfileFileBytes, &bytes) ||
      !FindProfileValue(DecodeProfile(bytes), section, key, &value)) {
    return std::u16string(CutToUnits(fallback, kMaxProfileValue));
  }
  return value;
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
