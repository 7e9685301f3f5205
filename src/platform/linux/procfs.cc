#include "platform/linux/procfs.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace kelvane {
namespace platform {
namespace procfs {

namespace {

// Reads `name` below `dirFd` into `out`. With `oneRecord`, a read that
// returns less than asked ends the file: procfs hands out a one-record
// file in a single read, so the usual closing empty read is saved.
bool ReadAt(int dirFd, const char* name, bool oneRecord, std::string* out) {
  int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  char buffer[4096];
  bool ok = true;
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out->append(buffer, static_cast<size_t>(n));
      if (oneRecord && static_cast<size_t>(n) < sizeof buffer) break;
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  close(fd);
  return ok;
}

}  // namespace

bool ReadFileAt(int dirFd, const char* name, std::string* out) {
  return ReadAt(dirFd, name, false, out);
}

bool ReadRecordFileAt(int dirFd, const char* name, std::string* out) {
  return ReadAt(dirFd, name, true, out);
}

bool ParseStat(const std::string& text, Stat* stat) {
  size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return false;
  // Fields after the name, numbered as in proc(5): 3 = state, 4 = ppid,
  // 14 = utime, 15 = stime, 22 = starttime.
  const char* p = text.c_str() + close + 2;
  Stat parsed;
  int field = 3;
  while (*p != '\0' && field <= 22) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    char* end = nullptr;
    if (field > 3) {
      errno = 0;
      long long value = std::strtoll(p, &end, 10);
      if (end == p) return false;
      switch (field) {
        case 4: parsed.ppid = value; break;
        case 14: parsed.utime = static_cast<uint64_t>(value); break;
        case 15: parsed.stime = static_cast<uint64_t>(value); break;
        case 22: parsed.startTime = static_cast<uint64_t>(value); break;
        default: break;
      }
      p = end;
    } else {
      while (*p != '\0' && *p != ' ') ++p;
    }
    ++field;
  }
  if (field <= 22) return false;
  *stat = parsed;
  return true;
}

bool ReadStat(int dirFd, const char* name, Stat* stat) {
  std::string text;
  return ReadRecordFileAt(dirFd, name, &text) && ParseStat(text, stat);
}

bool ParsePidName(const char* name, uint32_t* pid) {
  if (name[0] < '1' || name[0] > '9') return false;
  uint64_t value = 0;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > static_cast<uint64_t>(INT_MAX)) return false;
  }
  *pid = static_cast<uint32_t>(value);
  return true;
}

bool IsAnonymousMemoryName(std::string_view path) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() < kDeleted.size() ||
      path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) != 0) {
    return false;
  }
  const std::string_view name = path.substr(0, path.size() - kDeleted.size());
  // "/SYSV" and the key as eight hexadecimal digits.
  return name == "/dev/zero" || name == "/anon_hugepage" || name == "/[aio]" ||
         (name.size() == 13 && name.compare(0, 5, "/SYSV") == 0);
}

namespace {

// Appends `path`, the name of one file-backed mapping, to `paths` unless it
// is listed already or names no file (not absolute, or anonymous memory).
void AddMappedFile(std::string_view path, std::vector<std::string>* paths) {
  if (path.empty() || path[0] != '/' || IsAnonymousMemoryName(path)) return;
  if (std::find(paths->begin(), paths->end(), path) == paths->end()) paths->emplace_back(path);
}

}  // namespace

void ParseMappedFiles(std::string_view maps, std::vector<std::string>* paths) {
  size_t pos = 0;
  while (pos < maps.size()) {
    size_t eol = maps.find('\n', pos);
    if (eol == std::string_view::npos) eol = maps.size();
    const std::string_view line = maps.substr(pos, eol - pos);
    pos = eol + 1;
    // Skip the range, perms, offset and device fields to the inode.
    size_t i = 0;
    for (int field = 0; field < 4 && i < line.size(); ++field) {
      while (i < line.size() && line[i] == ' ') ++i;
      while (i < line.size() && line[i] != ' ') ++i;
    }
    while (i < line.size() && line[i] == ' ') ++i;
    const size_t inodeStart = i;
    while (i < line.size() && line[i] != ' ') ++i;
    const std::string_view inode = line.substr(inodeStart, i - inodeStart);
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size() || inode.empty() || inode == "0") continue;
    AddMappedFile(line.substr(i), paths);
  }
}

}  // namespace procfs
}  // namespace platform
}  // namespace kelvane
