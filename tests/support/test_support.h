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
