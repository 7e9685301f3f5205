// Process inventory from procfs: the process snapshot, image and command
// line, memory, owner, loaded modules and CPU times; file facts from stat().
//
// Facts about the files a listed process uses come through the process
// itself, never by looking its paths up again: a user may have replaced
// what a path names, and a process in another mount namespace sees other
// files under the same paths. The image's size is that of the file its
// "exe" link leads to; a module's time is that of the file its mapping
// leads to ("map_files"), or of the path resolved inside the process's own
// root and checked to be the mapped file. The paths reported are the ones
// the process sees.
//
// Files are told apart, so that facts learned of one serve every process
// mapping it, by the device and inode stat() shows for them. The maps text
// shows a device and inode for every mapping at no cost, but its device is
// the file system's superblock: on btrfs and bcachefs every subvolume
// shares it while inode numbers restart per subvolume, and an overlay
// shows files of all its layers under it. The text's pair stands for a
// file only on a device where stat() of a mapped file shows the same pair
// (checked once per device); elsewhere each mapped file is asked itself.
//
// Choices of this backend:
//   - A deleted or replaced image keeps the kernel's " (deleted)" suffix in
//     its name and path (for the process image and for modules alike): the
//     file that path once named is gone, so its size reads as 0 and its
//     modification time as empty rather than as another file's.
//   - Modules are the files a process has mapped (the program, the dynamic
//     loader, shared libraries, and data files such as locale archives),
//     one per path in the address order of its first mapping, the program
//     first. Anonymous memory is not a file, including the shared kinds
//     the kernel names like deleted files ("/dev/zero (deleted)" and the
//     like).
//   - The command line joins the arguments with one space; trailing NULs
//     (argument padding left by programs that rewrite their title) are
//     dropped.
//   - ELF files carry no version resource, and there is no Windows
//     directory (WindowsDirectory() is empty, so "\SystemRoot\" paths stay
//     as they are).
//   - The debug privilege stands for "may inspect every process": effective
//     uid 0 or CAP_SYS_PTRACE in the effective capability set.
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/text.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/procfs.h"

namespace kelvane {
namespace platform {

namespace {

// The identifier the debug privilege has on Windows (SE_DEBUG_PRIVILEGE).
constexpr uint64_t kDebugPrivilegeLuid = 20;
constexpr int kCapSysPtrace = 19;

class LinuxToken final : public TokenHandle {};


// Reads the target of `name` relative to `dirFd`; false when it cannot be
// read.
bool ReadLinkAt(int dirFd, const char* name, std::string* target) {
  std::string buffer(256, '\0');
  for (;;) {
    ssize_t n = readlinkat(dirFd, name, buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      *target = std::move(buffer);
      return true;
    }
    if (buffer.size() >= 65536) return false;
    buffer.resize(buffer.size() * 2);
  }
}

std::string_view BaseName(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Parses an unsigned decimal number at `p`, advancing it; false when there
// are no digits.
bool ParseUnsigned(const char*& p, const char* end, uint64_t* value) {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  const char* start = p;
  uint64_t v = 0;
  while (p < end && *p >= '0' && *p <= '9') {
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  if (p == start) return false;
  *value = v;
  return true;
}

// The value after "Key:" in a status-like text, up to the end of its line.
bool FindStatusField(std::string_view text, std::string_view key, std::string_view* value) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == ':') {
      *value = line.substr(key.size() + 1);
      return true;
    }
    pos = eol + 1;
  }
  return false;
}

// The account name of `uid`, or false when the system knows no such account.
// Names are cached for a short while: resolving a name can mean reading the
// account database, and a listing asks about the same few owners many times.
bool AccountName(uid_t uid, std::u16string* name) {
  struct Entry {
    bool known;
    std::u16string name;
  };
  static std::mutex mutex;
  static std::unordered_map<uid_t, Entry> cache;
  static std::chrono::steady_clock::time_point filled;
  constexpr auto kLifetime = std::chrono::seconds(10);

  std::lock_guard<std::mutex> lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (now - filled > kLifetime) {
    cache.clear();
    filled = now;
  }
  auto found = cache.find(uid);
  if (found == cache.end()) {
    Entry entry{false, {}};
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<size_t>(size) : 1024, '\0');
    for (;;) {
      struct passwd pwd;
      struct passwd* result = nullptr;
      int rc = getpwuid_r(uid, &pwd, buffer.data(), buffer.size(), &result);
      if (rc == ERANGE && buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
        continue;
      }
      if (rc == 0 && result != nullptr && result->pw_name != nullptr) {
        entry.known = true;
        entry.name = Utf8ToUtf16(result->pw_name);
      }
      break;
    }
    found = cache.emplace(uid, std::move(entry)).first;
  }
  if (!found->second.known) return false;
  *name = found->second.name;
  return true;
}

long PageSize() {
  static const long size = sysconf(_SC_PAGESIZE);
  return size;
}

// The eight time fields of the aggregate "cpu" line of /proc/stat: user,
// nice, system, idle, iowait, irq, softirq, steal.
bool ReadSystemCpuLine(uint64_t fields[8]) {
  // The aggregate line comes first and is short; the rest of the file is
  // not needed.
  const procfs::UniqueFd fd(open("/proc/stat", O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  char buffer[512];
  ssize_t n;
  do {
    n = read(fd.get(), buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 4) return false;
  const char* p = buffer;
  const char* end = buffer + n;
  if (std::memcmp(p, "cpu ", 4) != 0) return false;
  p += 4;
  for (int i = 0; i < 8; ++i) {
    if (!ParseUnsigned(p, end, &fields[i])) return false;
  }
  return true;
}

// The system's CPU times change in clock ticks (10 ms), and a list build
// samples every process in quick succession: a reading younger than this is
// reused instead of having the kernel sum every CPU's counters again.
constexpr auto kSystemTimesReuse = std::chrono::milliseconds(2);

bool SystemCpuLine(uint64_t fields[8]) {
  static std::mutex mutex;
  static bool valid = false;
  static uint64_t cached[8];
  static std::chrono::steady_clock::time_point readAt;
  std::lock_guard<std::mutex> lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (!valid || now - readAt >= kSystemTimesReuse) {
    valid = ReadSystemCpuLine(cached);
    readAt = now;
    if (!valid) return false;
  }
  std::memcpy(fields, cached, sizeof cached);
  return true;
}

// ---- Module discovery -------------------------------------------------------
//
// A module is a file the process has mapped. Files come in the address order
// of their first mapping, each once. The text form of the maps is read: the
// maps query ioctl of newer kernels answers one mapping per call, which costs
// more than the text once every file-backed mapping is wanted.

// `path` converted to UTF-16 into `out`, reusing its storage: ASCII (nearly
// every path) is widened in place, anything else converted as Utf8ToUtf16
// does.
void SetUtf16Path(std::string_view path, std::u16string* out) {
  for (char c : path) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      *out = Utf8ToUtf16(path);
      return;
    }
  }
  out->resize(path.size());
  for (size_t i = 0; i < path.size(); ++i) (*out)[i] = static_cast<char16_t>(path[i]);
}

// The first number after "Key:" in a status text; false when the field or
// its number is missing.
bool StatusNumber(std::string_view text, std::string_view key, uint64_t* number) {
  std::string_view value;
  if (!FindStatusField(text, key, &value)) return false;
  const char* p = value.data();
  return ParseUnsigned(p, value.data() + value.size(), number);
}

// The account named by the real uid of a status text.
UserLookup UserFromStatus(std::string_view text, std::u16string* name) {
  uint64_t realUid = 0;
  if (!StatusNumber(text, "Uid", &realUid)) return UserLookup::kTableUnavailable;
  if (!AccountName(static_cast<uid_t>(realUid), name)) return UserLookup::kAccountUnknown;
  return UserLookup::kFound;
}

// A status text that could not be read: a process that is gone (or never
// was) is simply not listed.
UserLookup UnreadableStatus() {
  return errno == ENOENT || errno == ESRCH ? UserLookup::kNotListed : UserLookup::kTableUnavailable;
}

// `mtime` (a file's modification time) in local time.
bool LocalModifyTime(time_t mtime, LocalTime* time) {
  struct tm local;
  if (localtime_r(&mtime, &local) == nullptr) return false;
  *time = LocalTimeFromTm(local);
  return true;
}

// The file `path` (as the process sees it) resolved inside the root
// directory of the process behind `procDir`, with no way out of it: every
// link is followed as if that root were "/". Opened with O_PATH; none when
// it cannot be opened.
procfs::UniqueFd OpenInProcessRoot(int procDir, const std::string& path) {
  const procfs::UniqueFd root(openat(procDir, "root", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root) return procfs::UniqueFd();
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  return procfs::UniqueFd(static_cast<int>(syscall(SYS_openat2, root.get(), path.c_str(), &how, sizeof how)));
}

// The name of `file`'s own link in the process directory:
// "map_files/<start>-<end>", which leads to the very file mapped there (and
// takes the checkpoint capability to follow).
void MapFilesName(const procfs::MappedFile& file, char (&name)[64]) {
  std::snprintf(name, sizeof name, "map_files/%llx-%llx", static_cast<unsigned long long>(file.start),
                static_cast<unsigned long long>(file.end));
}

// Asks stat() of the file `file` maps, through its map_files link, once,
// and keeps its identity and modification time in `file`. False when the
// link cannot be followed.
bool StatMappedFile(int procDir, procfs::MappedFile* file) {
  if (file->statKnown) return true;
  char name[64];
  MapFilesName(*file, name);
  struct stat st;
  if (fstatat(procDir, name, &st, 0) != 0) return false;
  file->statKnown = true;
  file->statDevice = static_cast<uint64_t>(st.st_dev);
  file->statInode = static_cast<uint64_t>(st.st_ino);
  file->modifyTime = static_cast<int64_t>(st.st_mtime);
  return true;
}

// File systems of one superblock whose subvolumes number their inodes each
// from the start (btrfs, bcachefs), and overlay file systems, whose files
// come from layers of other file systems. The maps text shows the
// superblock's device and the inode number of the file, which there does
// not name one file; stat() shows a device per subvolume or layer.
bool DevicesDifferFromMaps(const struct statfs& fs) {
  constexpr long kBtrfs = 0x9123683E;
  constexpr long kBcachefs = 0xca451a4e;
  constexpr long kOverlay = 0x794c7630;
  const long type = static_cast<long>(fs.f_type);
  return type == kBtrfs || type == kBcachefs || type == kOverlay;
}

// Which devices of the maps text name their files as stat() does, so that
// the device and inode the text shows can stand for a file's identity
// without asking stat() of every mapped file. Decided per device from one
// mapped file on it: stat() of that very file shows the same device and
// inode, and its file system is not one whose devices differ from the
// text's. Decisions are kept for a short while: a device number is handed
// to another file system once the old one is unmounted.
class DeviceTrust {
 public:
  bool Trusted(int procDir, procfs::MappedFile& sample) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (now - filled_ > kLifetime) {
      trusted_.clear();
      filled_ = now;
    }
    const auto found = trusted_.find(sample.device);
    if (found != trusted_.end()) return found->second;
    char name[64];
    MapFilesName(sample, name);
    procfs::UniqueFd file(openat(procDir, name, O_PATH | O_CLOEXEC));
    if (!file) file = OpenInProcessRoot(procDir, std::string(sample.path));
    struct stat st;
    struct statfs fs;
    // A file that cannot be looked at decides nothing; the next one asks
    // again.
    if (!file || fstat(file.get(), &st) != 0 || fstatfs(file.get(), &fs) != 0) return false;
    const bool trusted = static_cast<uint64_t>(st.st_dev) == sample.device &&
                         static_cast<uint64_t>(st.st_ino) == sample.inode && !DevicesDifferFromMaps(fs);
    try {
      trusted_.emplace(sample.device, trusted);
    } catch (const std::bad_alloc&) {
    }
    return trusted;
  }

 private:
  static constexpr auto kLifetime = std::chrono::seconds(10);
  std::mutex mutex_;
  std::unordered_map<uint64_t, bool> trusted_;
  std::chrono::steady_clock::time_point filled_;
};
DeviceTrust g_deviceTrust;

// The identity (device and file number as stat() shows them) of the file
// `file` maps; false when it cannot be told. A deleted file has none worth
// sharing: its name may come back as another file's.
bool MappedFileIdentity(int procDir, procfs::MappedFile& file, uint64_t* device, uint64_t* fileNumber) {
  if (file.inode == 0 || procfs::IsDeletedName(file.path)) return false;
  if (g_deviceTrust.Trusted(procDir, file)) {
    *device = file.device;
    *fileNumber = file.inode;
    return true;
  }
  if (!StatMappedFile(procDir, &file)) return false;
  *device = file.statDevice;
  *fileNumber = file.statInode;
  return true;
}
}  // namespace

// ---- Files ------------------------------------------------------------------

bool LinuxPlatform::FileSize(const std::u16string& path, int64_t* size) {
  const std::string native = Utf16ToUtf8(path);
  // Non-blocking so that a FIFO or device path cannot stall the listing.
  const procfs::UniqueFd fd(open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return false;
  *size = static_cast<int64_t>(st.st_size);
  return true;
}

bool LinuxPlatform::FileModifyTime(const std::u16string& path, LocalTime* time) {
  const std::string native = Utf16ToUtf8(path);
  struct stat st;
  if (stat(native.c_str(), &st) != 0) return false;
  return LocalModifyTime(st.st_mtime, time);
}

bool LinuxPlatform::LoadVersionResource(const std::u16string&, std::vector<uint8_t>*) { return false; }

bool LinuxPlatform::QueryVersionValue(const std::vector<uint8_t>&, const std::u16string&,
                                      std::vector<uint8_t>*, std::u16string*) {
  return false;
}

std::u16string LinuxPlatform::WindowsDirectory() { return {}; }

// ---- Processes --------------------------------------------------------------

bool LinuxPlatform::SnapshotProcessIds(std::vector<uint32_t>* pids) {
  std::vector<uint32_t> found;
  if (!EnumerateProcessIds(&found)) return false;
  std::sort(found.begin(), found.end());
  pids->clear();
  pids->reserve(found.size() + 1);
  pids->push_back(0);  // the idle process
  pids->insert(pids->end(), found.begin(), found.end());
  return true;
}

bool LinuxPlatform::IsSystemProcessId(uint32_t) { return false; }

const std::string* LinuxProcess::ImageTarget() {
  if (image_ == Image::kUnread) {
    image_ = ReadLinkAt(procDir_.get(), "exe", &imageTarget_) ? Image::kRead : Image::kUnreadable;
  }
  return image_ == Image::kRead ? &imageTarget_ : nullptr;
}

namespace {

// The image path of `process`; null for a handle of another kind or an
// unreadable link.
const std::string* ImageTargetOf(ProcessHandle& process) {
  LinuxProcess* opened = AsLinux(process);
  return opened != nullptr ? opened->ImageTarget() : nullptr;
}

}  // namespace

bool LinuxPlatform::ImageBaseName(ProcessHandle& process, std::u16string* name) {
  const std::string* target = ImageTargetOf(process);
  if (target == nullptr) return false;
  *name = Utf8ToUtf16(BaseName(*target));
  return true;
}

bool LinuxPlatform::ImageFullPath(ProcessHandle& process, std::u16string* path) {
  const std::string* target = ImageTargetOf(process);
  if (target == nullptr) return false;
  *path = Utf8ToUtf16(*target);
  return true;
}

bool LinuxPlatform::WorkingSetSize(ProcessHandle& process, int64_t* bytes) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr) return false;
  // The resident set as "status" shows it (VmRSS, in kB): the status text
  // the handle's open read already holds it. The kernel sums its counters
  // for it, as for "statm"; the figure of "stat" comes from a quick,
  // approximate reading that can be several percent short.
  uint64_t kilobytes = 0;
  if (!opened->statusText.empty() && StatusNumber(opened->statusText, "VmRSS", &kilobytes)) {
    *bytes = static_cast<int64_t>(kilobytes) * 1024;
    return true;
  }
  std::string& text = opened->readBuffer;
  if (!procfs::ReadRecordFileAt(opened->procDir(), "statm", &text)) return false;
  const char* p = text.data();
  const char* end = p + text.size();
  uint64_t size = 0;
  uint64_t resident = 0;
  if (!ParseUnsigned(p, end, &size) || !ParseUnsigned(p, end, &resident)) return false;
  *bytes = static_cast<int64_t>(resident) * PageSize();
  return true;
}

bool LinuxPlatform::CommandLine(ProcessHandle& process, std::u16string* commandLine) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr) return false;
  std::string& text = opened->readBuffer;
  if (!procfs::ReadRecordFileAt(opened->procDir(), "cmdline", &text)) return false;
  while (!text.empty() && text.back() == '\0') text.pop_back();
  std::replace(text.begin(), text.end(), '\0', ' ');
  *commandLine = Utf8ToUtf16(text);
  return true;
}

UserLookup LinuxPlatform::ProcessUserName(uint32_t pid, std::u16string* name) {
  if (pid == 0) return UserLookup::kNotListed;
  char path[48];
  procfs::FormatProcPath(path, pid, "/status");
  std::string text;
  if (!procfs::ReadRecordFileAt(AT_FDCWD, path, &text)) return UnreadableStatus();
  return UserFromStatus(text, name);
}

UserLookup LinuxPlatform::ProcessUserNameOf(ProcessHandle& process, std::u16string* name) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr) return ProcessUserName(process.pid(), name);
  if (!opened->statusText.empty()) return UserFromStatus(opened->statusText, name);
  std::string& text = opened->readBuffer;
  if (!procfs::ReadRecordFileAt(opened->procDir(), "status", &text)) return UnreadableStatus();
  return UserFromStatus(text, name);
}

bool LinuxProcess::ReadMappedFiles() {
  if (mapsRead_) return true;
  mappedFiles_.clear();
  if (!procfs::ReadFileAt(procDir_.get(), "maps", &mapsText_)) return false;
  procfs::ParseMappedFiles(mapsText_, &mappedFiles_);
  mapsRead_ = true;
  return true;
}

namespace {

// The file of `files` mapped under `image`, the path the "exe" link shows
// (the image itself), or end().
std::vector<procfs::MappedFile>::iterator FindImage(std::vector<procfs::MappedFile>& files,
                                                   const std::string& image) {
  return std::find_if(files.begin(), files.end(),
                      [&image](const procfs::MappedFile& file) { return file.path == image; });
}

}  // namespace

bool LinuxPlatform::ImageFileIdentity(ProcessHandle& process, uint64_t* device, uint64_t* fileNumber) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr) return false;
  const std::string* image = opened->ImageTarget();
  // A deleted image's name may come back as another file's.
  if (image == nullptr || procfs::IsDeletedName(*image) || !opened->ReadMappedFiles()) return false;
  const auto found = FindImage(opened->mappedFiles(), *image);
  if (found == opened->mappedFiles().end()) return false;
  // Where the maps text's device does not name the image as stat() does,
  // no identity is given: the size is then asked of the image itself
  // (ImageFileSize), which costs the one stat() an identity would.
  if (found->inode == 0 || !g_deviceTrust.Trusted(opened->procDir(), *found)) return false;
  *device = found->device;
  *fileNumber = found->inode;
  return true;
}

bool LinuxPlatform::ListModules(ProcessHandle& process, size_t limit, std::vector<ModuleEntry>* modules) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr || !opened->ReadMappedFiles()) return false;
  std::vector<procfs::MappedFile>& files = opened->mappedFiles();

  // The image comes first even if something is mapped below it.
  if (const std::string* image = opened->ImageTarget()) {
    const auto it = FindImage(files, *image);
    if (it != files.end()) std::rotate(files.begin(), it, it + 1);
  }

  const size_t count = std::min(limit, files.size());
  opened->listedModules = count;
  // Entries already in `modules` are overwritten rather than rebuilt: a
  // caller that keeps the vector between processes keeps the capacity of
  // its strings too.
  if (modules->size() > count) modules->resize(count);
  modules->reserve(count);
  for (size_t k = 0; k < count; ++k) {
    const procfs::MappedFile& file = files[k];
    if (k == modules->size()) modules->emplace_back();
    ModuleEntry& entry = (*modules)[k];
    SetUtf16Path(file.path, &entry.fullPath);
    // The conversion keeps every '/' (a malformed sequence never takes one
    // with it), so the base name is the converted path's last component.
    const size_t slash = entry.fullPath.rfind(u'/');
    entry.baseName.assign(entry.fullPath, slash == std::u16string::npos ? 0 : slash + 1, std::u16string::npos);
    if (!MappedFileIdentity(opened->procDir(), files[k], &entry.device, &entry.fileNumber)) {
      entry.device = 0;
      entry.fileNumber = 0;
    }
  }
  return true;
}

FileFact LinuxPlatform::ImageFileSize(ProcessHandle& process, int64_t* size) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr) return FileFact::kUnknown;
  const std::string* image = opened->ImageTarget();
  // The file a deleted image's name leads to now is another file.
  if (image == nullptr || procfs::IsDeletedName(*image)) return FileFact::kUnknown;
  // The "exe" link leads to the very file the process runs, in its own
  // mount namespace; nothing is opened.
  struct stat st;
  if (fstatat(opened->procDir(), "exe", &st, 0) != 0) return FileFact::kUnknown;
  *size = static_cast<int64_t>(st.st_size);
  return FileFact::kKnown;
}

FileFact LinuxPlatform::ModuleModifyTime(ProcessHandle& process, size_t index, LocalTime* time) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr || index >= opened->listedModules) return FileFact::kUnknown;
  // The file the latest ListModules listed at `index`.
  procfs::MappedFile& mapping = opened->mappedFiles()[index];
  if (procfs::IsDeletedName(mapping.path)) return FileFact::kUnknown;
  // The mapping's own link leads to the mapped file (it takes the
  // checkpoint capability).
  if (StatMappedFile(opened->procDir(), &mapping)) {
    return LocalModifyTime(static_cast<time_t>(mapping.modifyTime), time) ? FileFact::kKnown : FileFact::kUnknown;
  }
  // Without it, the path resolved in the process's root must still lead to
  // the mapped file: the inode the maps text shows, and its device, except
  // on file systems whose devices differ from the text's by design
  // (subvolumes, overlay layers), where the inode is all there is to
  // compare.
  const procfs::UniqueFd file = OpenInProcessRoot(opened->procDir(), std::string(mapping.path));
  struct stat st;
  struct statfs fs;
  if (!file || fstat(file.get(), &st) != 0 || static_cast<uint64_t>(st.st_ino) != mapping.inode) {
    return FileFact::kUnknown;
  }
  if (static_cast<uint64_t>(st.st_dev) != mapping.device &&
      (fstatfs(file.get(), &fs) != 0 || !DevicesDifferFromMaps(fs))) {
    return FileFact::kUnknown;
  }
  return LocalModifyTime(st.st_mtime, time) ? FileFact::kKnown : FileFact::kUnknown;
}

namespace {

// The system's total CPU time, and in `idle` its idle and iowait share.
bool SystemCpuTotal(uint64_t* total, uint64_t* idle) {
  uint64_t fields[8];
  if (!SystemCpuLine(fields)) return false;
  *total = 0;
  for (uint64_t f : fields) *total += f;
  *idle = fields[3] + fields[4];
  return true;
}

// utime + stime of a parsed stat text; keeps the resident pages and the
// nice value in `process` when given.
uint64_t TakeStat(const procfs::Stat& stat, LinuxProcess* process) {
  if (process != nullptr) {
    process->statNice = stat.nice;
    process->statNiceFresh = true;
  }
  return stat.utime + stat.stime;
}

// utime + stime of the stat file of `process`, read through its directory
// into `time`; false when it cannot be read (the process has been reaped).
// Keeps the resident pages and the nice value in `process` when read.
bool ProcessCpu(LinuxProcess* process, uint64_t* time) {
  procfs::Stat stat;
  if (!procfs::ReadRecordFileAt(process->procDir(), "stat", &process->readBuffer) ||
      !procfs::ParseStat(process->readBuffer, &stat)) {
    return false;
  }
  *time = TakeStat(stat, process);
  return true;
}

// The stat files a sampling session's first samples opened, kept open for
// the second samples: reading an open procfs file again renders it afresh,
// which spares opening every file twice, and a read that fails tells that
// the first sample's process is gone, so one process's two samples are
// never taken from two processes that had the same id. Only a share of the
// descriptors this process may open is used (the host has files of its
// own); a file beyond it is closed at once, and its process is read anew.
class KeptStatFiles {
 public:
  void Begin() {
    std::lock_guard<std::mutex> lock(mutex_);
    fds_.clear();
    struct rlimit limit;
    size_t share = kMostKept;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
      share = std::min<size_t>(share, static_cast<size_t>(limit.rlim_cur / 8));
    }
    limit_ = share;
    active_ = true;
  }

  void End() {
    std::lock_guard<std::mutex> lock(mutex_);
    fds_.clear();
    active_ = false;
  }

  // Takes `fd` (open stat file of `pid`) into the set, or closes it.
  void Keep(uint32_t pid, procfs::UniqueFd fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!active_ || fds_.size() >= limit_) return;
    try {
      // A second first sample of the same id: the newer file replaces the
      // older.
      fds_[pid] = std::move(fd);
    } catch (const std::bad_alloc&) {
    }
  }

  // The kept file of `pid`, now the caller's, or none.
  procfs::UniqueFd Take(uint32_t pid) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = fds_.find(pid);
    if (found == fds_.end()) return procfs::UniqueFd();
    procfs::UniqueFd fd = std::move(found->second);
    fds_.erase(found);
    return fd;
  }

 private:
  static constexpr size_t kMostKept = 4096;

  std::mutex mutex_;
  std::unordered_map<uint32_t, procfs::UniqueFd> fds_;
  size_t limit_ = 0;
  bool active_ = false;
};
KeptStatFiles g_keptStat;

}  // namespace

void LinuxPlatform::BeginCpuSampling() { g_keptStat.Begin(); }

void LinuxPlatform::EndCpuSampling() { g_keptStat.End(); }

bool LinuxPlatform::CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime) {
  uint64_t total = 0;
  uint64_t idle = 0;
  if (!SystemCpuTotal(&total, &idle)) return false;
  uint64_t process = 0;
  if (pid == 0) {
    process = idle;
  } else if (pid <= static_cast<uint32_t>(INT32_MAX)) {
    char path[48];
    procfs::FormatProcPath(path, pid, "/stat");
    procfs::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    std::string text;
    procfs::Stat stat;
    if (fd && procfs::RereadRecordFile(fd.get(), &text) && procfs::ParseStat(text, &stat)) {
      process = TakeStat(stat, nullptr);
      // Kept only for a process the listing will list: kernel threads (most
      // of a pid-ordered walk's first hundreds) and zombies have no image
      // and would take the kept share from the processes that need it.
      if (!procfs::IsKernelThread(stat) && stat.state != 'Z') g_keptStat.Keep(pid, std::move(fd));
    }
  }
  *processTime = static_cast<int64_t>(process);
  *totalTime = static_cast<int64_t>(total);
  return true;
}

bool LinuxPlatform::ProcessCpuTimes(ProcessHandle& process, int64_t* processTime, int64_t* totalTime) {
  LinuxProcess* opened = AsLinux(process);
  if (opened == nullptr) return CpuTimes(process.pid(), processTime, totalTime);
  uint64_t total = 0;
  uint64_t idle = 0;
  if (!SystemCpuTotal(&total, &idle)) return false;
  // The first sample's file, when it still reads, belongs to the opened
  // process: that process was alive when the first sample was taken and
  // still is, so the id was its own all along. Otherwise the stat is read
  // through the handle. A process reaped since it was opened has no time to
  // read any more: no figure, rather than a time of 0 that would make its
  // share negative (a zombie not yet reaped still shows its times).
  const procfs::UniqueFd kept = g_keptStat.Take(opened->pid());
  uint64_t time = 0;
  bool read = false;
  if (kept) {
    procfs::Stat stat;
    if (procfs::RereadRecordFile(kept.get(), &opened->readBuffer) && procfs::ParseStat(opened->readBuffer, &stat)) {
      time = TakeStat(stat, opened);
      read = true;
    }
  }
  if (!read && !ProcessCpu(opened, &time)) return false;
  *processTime = static_cast<int64_t>(time);
  *totalTime = static_cast<int64_t>(total);
  return true;
}

// ---- Privileges and OS version ----------------------------------------------

std::unique_ptr<TokenHandle> LinuxPlatform::OpenOwnToken() { return std::make_unique<LinuxToken>(); }

bool LinuxPlatform::LookupPrivilege(const std::u16string& name, uint64_t* luid) {
  if (name != u"SeDebugPrivilege") return false;
  *luid = kDebugPrivilegeLuid;
  return true;
}

bool LinuxPlatform::EnablePrivilege(TokenHandle&, uint64_t luid) {
  if (luid != kDebugPrivilegeLuid) return false;
  if (geteuid() == 0) return true;
  std::string text;
  if (!procfs::ReadFileAt(AT_FDCWD, "/proc/self/status", &text)) return false;
  std::string_view value;
  if (!FindStatusField(text, "CapEff", &value)) return false;
  std::string hex(value);
  char* end = nullptr;
  const unsigned long long caps = std::strtoull(hex.c_str(), &end, 16);
  if (end == hex.c_str()) return false;
  return (caps >> kCapSysPtrace) & 1u;
}

bool LinuxPlatform::QueryOsVersion(OsVersionFacts*) { return false; }

bool LinuxPlatform::ReadProductType(std::u16string*) { return false; }

}  // namespace platform
}  // namespace kelvane
