// Helpers of the Windows tests: paths beside the test program, and sleeper
// processes that the tests start (and so may stop) themselves.
#ifndef KELVANE_TESTS_WINDOWS_WIN_TEST_UTIL_H_
#define KELVANE_TESTS_WINDOWS_WIN_TEST_UTIL_H_

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kelvane {
namespace wintest {

// Directory of the running test program, without a trailing backslash.
std::wstring ProgramDirectory();

// The top of the build tree (where kelvane.dll and kelvanectl.exe are),
// seen from the test program's directory (tests/platform/win32/).
std::wstring BuildRoot();

// UTF-16 conversions between the test code (char16_t) and Win32 (wchar_t).
std::u16string U16(const std::wstring& text);
std::wstring W(const std::u16string& text);

// The Windows path (backslashes) of file `name` in `dir`.
std::wstring WinPath(const testing::TempDir& dir, const std::string& name);

// A kelvane_sleeper started by the test with `arguments`. Every process it
// starts belongs to a job that is closed (and so ends them all) when the
// object goes; the sleepers also end by themselves after their time.
class Sleeper {
 public:
  // `program` is the sleeper's Windows path; empty for the one beside the
  // test program.
  explicit Sleeper(const std::wstring& arguments = L"", const std::wstring& program = L"");
  ~Sleeper();
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  bool started() const { return process_ != nullptr; }
  uint32_t pid() const { return pid_; }
  HANDLE process() const { return process_; }
  const std::wstring& commandLine() const { return commandLine_; }
  // GetLastError() of a start that failed; 0 otherwise.
  DWORD startError() const { return startError_; }
  // Waits up to `milliseconds` for the process to end; true when it did.
  bool WaitForExit(DWORD milliseconds) const;

 private:
  HANDLE job_ = nullptr;
  HANDLE process_ = nullptr;
  uint32_t pid_ = 0;
  DWORD startError_ = 0;
  std::wstring commandLine_;
};

// A sleeper tree that reports its members: ids by depth (0 the root, 1 its
// children, 2 their children), read from the report directory. A member
// that cannot start a child of its own says so in <pid>.err beside the
// reports.
class SleeperTree {
 public:
  // `extra` is appended to the root's arguments; `program` as for Sleeper.
  SleeperTree(int children, int parents, const std::wstring& extra = L"",
              const std::wstring& program = L"");
  ~SleeperTree();
  SleeperTree(const SleeperTree&) = delete;
  SleeperTree& operator=(const SleeperTree&) = delete;

  // Waits until `count` members have reported. A tree that has not formed
  // within 20 s (seen once under Wine, on a busy machine) is described on
  // stderr, ended with its job and started again in a new report
  // directory, three starts in all; false when none of them formed. Call
  // it before root() and Members(), which then name the tree that formed.
  bool WaitForMembers(size_t count);
  // pid -> depth of every member of the current tree that has reported.
  std::map<uint32_t, int> Members() const;
  // Waits (up to about 10 s) while a member at `depth` is still running,
  // e.g. for stopped children to be gone.
  void WaitWhileRunningAtDepth(int depth) const;
  const Sleeper& root() const { return *root_; }

 private:
  void Start();
  // What the current tree's report directory holds, for a failure message.
  std::string Describe() const;

  int children_;
  int parents_;
  std::wstring extra_;
  std::wstring program_;
  // Report directories of every start; each outlives the sleepers that
  // write into it.
  std::vector<std::unique_ptr<testing::TempDir>> dirs_;
  std::unique_ptr<Sleeper> root_;
};

// The Windows path of the sleeper of the other word size (the 64-bit one
// for a 32-bit test program, and the other way round), from the
// environment variable KELVANE_OTHER_SLEEPER; empty when it is not set.
std::wstring OtherSleeper();

// True while process `pid` exists and has not ended.
bool IsRunning(uint32_t pid);

}  // namespace wintest
}  // namespace kelvane

#endif  // KELVANE_TESTS_WINDOWS_WIN_TEST_UTIL_H_
