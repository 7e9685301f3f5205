// Running the built kelvanectl in the end-to-end tests: a scratch
// directory that removes itself, and a run of a program with its exit
// status and captured output. POSIX only (fork / exec).
#ifndef KELVANE_TESTS_TOOL_PROGRAM_RUNNER_H_
#define KELVANE_TESTS_TOOL_PROGRAM_RUNNER_H_

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tool_test_util.h"

namespace kelvane_tool_test {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvanectl-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the directory.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

 private:
  std::string path_;
};

struct RunResult {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `args`; `env` entries (NAME, VALUE) are set on top of
// this process's environment, an empty VALUE unsets the variable. A
// `file_size_limit` of 0 or more is set as the program's limit on the size
// of files it writes (ulimit -f, in bytes).
inline RunResult Run(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::pair<std::string, std::string>>& env,
                     long file_size_limit = -1) {
  ScratchDir capture;
  std::string out_path = capture.File("stdout");
  std::string err_path = capture.File("stderr");
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    for (const auto& [name, value] : env) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (file_size_limit >= 0) {
      const struct rlimit limit = {static_cast<rlim_t>(file_size_limit), static_cast<rlim_t>(file_size_limit)};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  RunResult result;
  int status = 0;
  if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  result.out = ReadFile(out_path);
  result.err = ReadFile(err_path);
  return result;
}

// A copy of the library at `path` in a private directory under the
// temporary directory: as root, kelvanectl loads a --library only from a
// file and directories no one but root may write, which a build tree need
// not be.
inline std::string TrustedCopy(const std::string& path) {
  static const ScratchDir dir;  // removed when the test program ends
  const std::string copy = dir.File(std::filesystem::path(path).filename().string());
  if (!std::filesystem::exists(copy)) std::filesystem::copy_file(path, copy);
  return copy;
}

}  // namespace kelvane_tool_test

#endif  // KELVANE_TESTS_TOOL_PROGRAM_RUNNER_H_
