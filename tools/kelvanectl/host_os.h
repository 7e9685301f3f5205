// The operating-system seam of kelvanectl: loading the library, temporary
// files, file access by UTF-8 path (a file replaced as a whole among
// them), the terminal, and the program's arguments. Only the implementation of this header (host_os_posix.cc,
// host_os_win32.cc) may use OS calls; everything else in the tool is
// portable C++.
#ifndef KELVANECTL_HOST_OS_H_
#define KELVANECTL_HOST_OS_H_

#include <string>
#include <vector>

namespace kelvanectl {

// The platform's file name of the library ("libkelvane.so", "kelvane.dll").
const char* DefaultLibraryName();

// Directory of the running executable (no trailing separator), empty when
// it cannot be found.
std::string ExecutableDirectory();

// True when `path` (UTF-8) names an existing file.
bool FileExists(const std::string& path);

// Joins a directory and a file name with the platform's separator.
std::string JoinPath(const std::string& directory, const std::string& name);

// A loaded dynamic library; unloaded when the object goes.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `path` (UTF-8). False with the system's reason, naming the path,
  // in *error.
  bool Load(const std::string& path, std::string* error);
  // Address of the exported symbol `name`, or nullptr with a reason.
  void* Symbol(const char* name, std::string* error) const;

 private:
  void* handle_ = nullptr;
};

// What CheckLibraryTrust found.
enum class LibraryTrust {
  kTrusted,     // load *load_path
  kUnreadable,  // the path names no regular file (reason in *error)
  kUntrusted,   // refused: others could have put their code in it (reason in *error)
};

// Whether the library at `path` (UTF-8) may be loaded, and the path to load
// it by. Only a program running as root (effective uid 0, POSIX) checks:
// like sudo and ld.so for the files they trust, it refuses a library that
// is not a regular file owned by root, or that a group other than root's or
// anyone else may write, and one with a directory above it, up to "/", that
// is not owned by root or that such a group or anyone else may write
// (unless the directory has the sticky bit, like /tmp: then only an entry's
// owner, root, may rename or remove it). Symbolic links are resolved first
// and the real file is checked and loaded, by its absolute path. Otherwise
// (not root; Windows) *load_path is `path` unchanged.
LibraryTrust CheckLibraryTrust(const std::string& path, std::string* load_path, std::string* error);

// Lets a write beyond the file-size limit (ulimit -f) fail with an error
// instead of ending the program: POSIX ignores SIGXFSZ, so that the library
// sees its failed write and removes its temporary file, and the program
// still removes its own. Nothing to do on Windows.
void IgnoreFileSizeSignal();

// Holds back interrupt, hang-up and termination signals while it lives, so
// that temporary files are removed before the program ends. POSIX: a signal
// that arrived meanwhile takes effect when the guard goes. Windows: Ctrl+C
// is ignored while the guard lives.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  alignas(16) unsigned char saved_[256];  // the previous signal mask
  bool active_ = false;
};

// Creates a fresh private directory under the system's temporary directory
// (TMPDIR on POSIX, GetTempPathW on Windows). False with a reason.
bool MakeTempDirectory(std::string* path, std::string* error);
// Removes an empty directory / a file; false when it is not there or stays.
bool RemoveEmptyDirectory(const std::string& path);
bool RemoveFile(const std::string& path);

// Whole-file access by UTF-8 path. False with a reason in *error.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);
bool WriteWholeFile(const std::string& path, const std::string& bytes, std::string* error);

// Writes `bytes` to DIRECTORY/NAME so that a reader finds the old file or
// the new one, never a part of either: the bytes go to a new file in
// `directory` (created exclusively, never through a link; its name starts
// with a dot and does not end in NAME's suffix, so a collector reading
// "*.prom" passes it over), which is flushed to disk, closed and renamed
// over NAME. A symbolic link at NAME is replaced, not followed. The file is
// readable by everyone (mode 0644 on POSIX). On any failure, a file-size
// limit included, the temporary file is removed, NAME is left as it was,
// and the reason is in *error.
bool ReplaceFileInDirectory(const std::string& directory, const std::string& name, const std::string& bytes,
                            std::string* error);

// Columns of the terminal on standard output, 0 when it is not a terminal
// or the size is unknown.
int TerminalColumns();

// Lets standard output carry UTF-8 text (a no-op on POSIX).
void PrepareConsole();

// The program's arguments after the program name, as UTF-8.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace kelvanectl

#endif  // KELVANECTL_HOST_OS_H_
