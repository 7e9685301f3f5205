// Helpers shared by the test suites: scratch directories, UTF-16 files, and
// the guard that keeps process-control tests inside their own PID namespace.
#ifndef KELVANE_TESTS_SUPPORT_TEST_SUPPORT_H_
#define KELVANE_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <string>
#include <vector>

namespace kelvane {
namespace testing {

// True when this process runs as pid 1 of a PID namespace of its own (the
// suites that stop or re-prioritise processes are started that way by
// CTest). Tests that signal processes skip themselves otherwise.
bool InOwnPidNamespace();

// POSIX only: the number of descriptors this process has open, and
// whether process `pid` sits in a sleep call (nanosleep or clock_nanosleep),
// which tells that a started `sleep` program has finished starting up.
int CountOpenDescriptors();
bool InSleepCall(int pid);

// POSIX only: children for the process tests, started with fork; ids are
// pids. Each sleeper sleeps until killed.
int StartSleeper();
// Starts /bin/sleep 1000 and returns once it sits in its sleep call (fully
// started: image, libraries and locale files mapped).
int StartSleepProgram();
// A process tree: `root` with two children, the second of which has a child
// of its own (the grandchild).
struct ProcessTree {
  int root = 0;
  int child1 = 0;
  int child2 = 0;
  int grandchild = 0;
};
ProcessTree StartTree();
// True while `pid` exists and is not a zombie.
bool IsRunning(int pid);
// Kills (if still running) and reaps a process this test started or
// adopted; ids below 1 are ignored.
void KillAndReap(int pid);
// Reaps `pid` and returns the signal that ended it (0 if it exited normally
// or could not be reaped).
int ReapSignal(int pid);

// A fresh directory under the system's temporary directory, removed (with
// its contents) when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool FileExists(const std::string& path);
// UTF-16LE bytes (with byte-order mark when `bom`) of a UTF-8 text.
std::string Utf16LeBytes(const std::string& utf8, bool bom);
// The text of a UTF-16LE file with byte-order mark, as UTF-8; empty when the
// file is missing or does not start with the mark.
std::string ReadUtf16File(const std::string& path);

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_SUPPORT_TEST_SUPPORT_H_
