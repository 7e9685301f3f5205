#include "platform/linux/procfs.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace kelvane {
namespace platform {
namespace procfs {

namespace {

// Reads the open file `fd` into `out`; 0 or the errno of the failed read.
int ReadOpen(int fd, bool oneRecord, std::string* out) {
  // Read through a buffer on the stack and append what came: growing the
  // string to read into it would first fill its new room with zeros, on
  // every read of every file.
  char chunk[16384];
  out->clear();
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n > 0) {
      out->append(chunk, static_cast<size_t>(n));
      if (oneRecord && static_cast<size_t>(n) < sizeof chunk) break;
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

// Reads `name` below `dirFd` into `out`. With `oneRecord`, a read that
// returns less than asked ends the file: procfs hands out a one-record
// file in a single read, so the usual closing empty read is saved.
bool ReadAt(int dirFd, const char* name, bool oneRecord, std::string* out) {
  int error = 0;
  {
    const UniqueFd fd(openat(dirFd, name, O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    error = ReadOpen(fd.get(), oneRecord, out);
  }
  // The failure's own errno, not whatever closing the file left.
  errno = error;
  return error == 0;
}

}  // namespace

bool ReadFileAt(int dirFd, const char* name, std::string* out) {
  return ReadAt(dirFd, name, false, out);
}

bool ReadRecordFileAt(int dirFd, const char* name, std::string* out) {
  return ReadAt(dirFd, name, true, out);
}

bool RereadRecordFile(int fd, std::string* out) {
  char chunk[16384];
  out->clear();
  off_t offset = 0;
  for (;;) {
    const ssize_t n = pread(fd, chunk, sizeof chunk, offset);
    if (n > 0) {
      out->append(chunk, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof chunk) return true;
      offset += n;
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

bool ParseStat(const std::string& text, Stat* stat) {
  // memrchr: the name is near the start of a few hundred bytes.
  const void* found = memrchr(text.data(), ')', text.size());
  if (found == nullptr) return false;
  const size_t close = static_cast<size_t>(static_cast<const char*>(found) - text.data());
  if (close + 2 >= text.size()) return false;
  // Fields after the name, numbered as in proc(5): 3 = state, 4 = ppid,
  // 9 = flags, 14 = utime, 15 = stime, 19 = nice, 22 = starttime, 24 = rss. Numeric
  // fields are decimal with an optional sign; a field that is not ends
  // the parse as a failure.
  const char* p = text.c_str() + close + 2;
  Stat parsed;
  int field = 3;
  while (*p != '\0' && field <= 24) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    if (field > 3) {
      const bool negative = *p == '-';
      if (negative || *p == '+') ++p;
      if (*p < '0' || *p > '9') return false;
      uint64_t magnitude = 0;
      for (; *p >= '0' && *p <= '9'; ++p) magnitude = magnitude * 10 + static_cast<uint64_t>(*p - '0');
      const int64_t value = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
      switch (field) {
        case 4: parsed.ppid = value; break;
        case 9: parsed.flags = magnitude; break;
        case 14: parsed.utime = magnitude; break;
        case 15: parsed.stime = magnitude; break;
        case 19: parsed.nice = value; break;
        case 22: parsed.startTime = magnitude; break;
        case 24: parsed.rss = value; break;
        default: break;
      }
      if (*p != ' ' && *p != '\0' && *p != '\n') return false;
    } else {
      parsed.state = *p;
      while (*p != '\0' && *p != ' ') ++p;
    }
    ++field;
  }
  if (field <= 24) return false;
  *stat = parsed;
  return true;
}

bool IsKernelThread(const Stat& stat) {
  constexpr uint64_t kPfKthread = 0x00200000;
  return (stat.flags & kPfKthread) != 0;
}

bool ReadStat(int dirFd, const char* name, Stat* stat) {
  std::string text;
  return ReadRecordFileAt(dirFd, name, &text) && ParseStat(text, stat);
}

void FormatProcPath(char* out, uint32_t pid, std::string_view suffix) {
  // Formatted by hand: a listing builds two such paths for every process.
  std::memcpy(out, "/proc/", 6);
  char digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + pid % 10);
    pid /= 10;
  } while (pid != 0);
  char* p = out + 6;
  while (count > 0) *p++ = digits[--count];
  std::memcpy(p, suffix.data(), suffix.size());
  p[suffix.size()] = '\0';
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

bool IsDeletedName(std::string_view path) {
  constexpr std::string_view kDeleted = " (deleted)";
  return path.size() >= kDeleted.size() &&
         path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0;
}

namespace {

// The next field of a maps line at `i` (after any spaces), advancing `i`
// past it.
std::string_view NextField(std::string_view line, size_t* i) {
  while (*i < line.size() && line[*i] == ' ') ++*i;
  const size_t start = *i;
  while (*i < line.size() && line[*i] != ' ') ++*i;
  return line.substr(start, *i - start);
}

// A lower-case hexadecimal number filling `text`; false for anything else.
bool ParseHex(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 16) return false;
  uint64_t v = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return false;
    }
    v = (v << 4) | digit;
  }
  *value = v;
  return true;
}

// A decimal number filling `text`; false for anything else.
bool ParseDecimal(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

// Splits "a:b" into its two hexadecimal halves.
bool ParsePair(std::string_view text, char separator, uint64_t* first, uint64_t* second) {
  const size_t at = text.find(separator);
  return at != std::string_view::npos && ParseHex(text.substr(0, at), first) &&
         ParseHex(text.substr(at + 1), second);
}

// Beyond this many files a process's paths are looked up in a hash set
// rather than one by one.
constexpr size_t kLinearLookupLimit = 32;

}  // namespace

void ParseMappedFiles(std::string_view maps, std::vector<MappedFile>* files) {
  const size_t firstNew = files->size();
  std::unordered_set<std::string_view> seen;
  size_t pos = 0;
  while (pos < maps.size()) {
    size_t eol = maps.find('\n', pos);
    if (eol == std::string_view::npos) eol = maps.size();
    const std::string_view line = maps.substr(pos, eol - pos);
    pos = eol + 1;
    // The fields before the path hold no '/', so the path starts at the
    // line's first one. A line without any has no path: anonymous memory,
    // [heap], [stack], [vdso] and the like, about half the lines.
    const size_t slash = line.find('/');
    if (slash == std::string_view::npos) continue;
    const std::string_view path = line.substr(slash);
    // Listed already? The file of the line before, most often (a file's
    // mappings lie side by side), is known without reading the line's
    // fields; else few files are compared one by one, many through a set
    // of every path so far.
    const size_t count = files->size() - firstNew;
    if (count > 0 && files->back().path == path) continue;
    if (count < kLinearLookupLimit) {
      bool listed = false;
      for (size_t k = firstNew; k < files->size() && !listed; ++k) listed = (*files)[k].path == path;
      if (listed) continue;
    } else {
      if (seen.empty()) {
        for (size_t k = firstNew; k < files->size(); ++k) seen.insert((*files)[k].path);
      }
      if (seen.count(path) != 0) continue;
    }
    size_t i = 0;
    const std::string_view range = NextField(line, &i);
    NextField(line, &i);  // perms
    NextField(line, &i);  // offset
    const std::string_view device = NextField(line, &i);
    const std::string_view inodeText = NextField(line, &i);
    while (i < line.size() && line[i] == ' ') ++i;
    // The path must be what follows the inode, and the inode not 0.
    if (i != slash || inodeText.empty() || inodeText == "0" || IsAnonymousMemoryName(path)) continue;
    MappedFile file;
    uint64_t major = 0, minor = 0;
    if (!ParsePair(range, '-', &file.start, &file.end) || !ParsePair(device, ':', &major, &minor) ||
        !ParseDecimal(inodeText, &file.inode)) {
      continue;  // malformed: as if never met
    }
    file.path = path;
    file.device = makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor));
    files->push_back(file);
    if (!seen.empty()) seen.insert(path);
  }
}

void ParseMappedFiles(std::string_view maps, std::vector<std::string>* paths) {
  std::vector<MappedFile> files;
  ParseMappedFiles(maps, &files);
  for (const MappedFile& file : files) paths->emplace_back(file.path);
}

}  // namespace procfs
}  // namespace platform
}  // namespace kelvane
