// Loads a private copy of the built library through its exported entry
// point, the way a host does, and runs command files through it.
#ifndef KELVANE_TESTS_E2E_LIBRARY_HARNESS_H_
#define KELVANE_TESTS_E2E_LIBRARY_HARNESS_H_

#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace kelvane {
namespace testing {

using RemoteInvoke = int (*)(const char16_t*, const char16_t*);

// A copy of libkelvane.so in a directory of its own (so each harness has its
// own message table and its own load), opened with dlopen.
class LoadedLibrary {
 public:
  // `messageTable`: contents of common/config/Resource.ini beside the copy;
  // empty for none.
  explicit LoadedLibrary(const std::string& messageTable = std::string());
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  RemoteInvoke invoke() const { return invoke_; }
  void* Symbol(const char* name) const;
  const std::string& directory() const { return dir_.path(); }

  struct Outcome {
    int code = 0;
    bool written = false;
    std::string bytes;     // the raw file
    std::string text;      // the file as UTF-8, DateTime values masked as "T"
  };
  // Writes `requestXml` (UTF-8) to a file and runs it.
  Outcome Run(const std::string& requestXml);
  // Runs an existing request file, writing the response to `resultPath`.
  Outcome RunFile(const std::string& requestPath, const std::string& resultPath);

 private:
  TempDir dir_;
  void* handle_ = nullptr;
  RemoteInvoke invoke_ = nullptr;
  int counter_ = 0;
};

// A test of the commands through a freshly loaded library; skipped outside
// a PID namespace of its own, since the commands act on real processes.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InOwnPidNamespace()) GTEST_SKIP() << "needs its own PID namespace";
    ASSERT_NE(nullptr, library_.invoke());
  }
  LoadedLibrary library_;
};

// The same text with every DateTime="…" value replaced by "T".
std::string MaskDateTimes(const std::string& text);

// A request document with root attribute name=`command` and one procid per
// entry of `pids` (each PID attribute written as given).
std::string MakeRequest(const std::string& command, const std::vector<std::string>& pids,
                        const std::string& extraAttributes = std::string());

}  // namespace testing
}  // namespace kelvane

#endif  // KELVANE_TESTS_E2E_LIBRARY_HARNESS_H_
