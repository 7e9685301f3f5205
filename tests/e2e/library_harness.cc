#include "e2e/library_harness.h"

#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <cstdlib>
#include <regex>

#include "common/text.h"

namespace kelvane {
namespace testing {

namespace {
std::u16string Wide(const std::string& utf8) { return Utf8ToUtf16(utf8); }
}  // namespace

LoadedLibrary::LoadedLibrary(const std::string& messageTable) {
  namespace fs = std::filesystem;
  std::string copy = dir_.File("libkelvane.so");
  fs::copy_file(KELVANE_LIBRARY_PATH, copy);
  if (!messageTable.empty()) {
    fs::create_directories(dir_.File("common/config"));
    WriteBytes(dir_.File("common/config/Resource.ini"), messageTable);
  }
  handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ != nullptr) invoke_ = reinterpret_cast<RemoteInvoke>(dlsym(handle_, "ZEV_RemoteInvoke"));
}

LoadedLibrary::~LoadedLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* LoadedLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

LoadedLibrary::Outcome LoadedLibrary::Run(const std::string& requestXml) {
  ++counter_;
  std::string request = dir_.File("request" + std::to_string(counter_) + ".xml");
  std::string result = dir_.File("result" + std::to_string(counter_) + ".xml");
  WriteBytes(request, requestXml);
  return RunFile(request, result);
}

LoadedLibrary::Outcome LoadedLibrary::RunFile(const std::string& requestPath,
                                              const std::string& resultPath) {
  Outcome outcome;
  std::filesystem::remove(resultPath);
  outcome.code = invoke_(Wide(requestPath).c_str(), Wide(resultPath).c_str());
  outcome.written = FileExists(resultPath);
  if (outcome.written) {
    outcome.bytes = ReadBytes(resultPath);
    outcome.text = MaskDateTimes(ReadUtf16File(resultPath));
  }
  return outcome;
}

std::string MaskDateTimes(const std::string& text) {
  static const std::regex kDateTime("DateTime=\"[0-9]{4,}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\"");
  return std::regex_replace(text, kDateTime, "DateTime=\"T\"");
}

std::string MakeRequest(const std::string& command, const std::vector<std::string>& pids,
                        const std::string& extraAttributes) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<request name=\"" + command + "\">\n";
  for (const std::string& pid : pids) {
    xml += "  <procid PID=\"" + pid + "\"" + (extraAttributes.empty() ? "" : " " + extraAttributes) + "/>\n";
  }
  xml += "</request>\n";
  return xml;
}

pid_t StartSleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

pid_t StartSleepProgram() {
  pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sleep", "sleep", "1000", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 1000 && pid > 0 && !InSleepCall(pid); ++i) usleep(10 * 1000);
  return pid;
}

ProcessTree StartTree() {
  int fds[2];
  ProcessTree tree;
  if (pipe(fds) != 0) return tree;
  tree.root = fork();
  if (tree.root == 0) {
    close(fds[0]);
    pid_t ids[3];
    ids[0] = StartSleeper();
    ids[1] = fork();
    if (ids[1] == 0) {
      pid_t grandchild = StartSleeper();
      if (write(fds[1], &grandchild, sizeof grandchild) != sizeof grandchild) _exit(1);
      for (;;) pause();
    }
    if (write(fds[1], ids, 2 * sizeof(pid_t)) != 2 * sizeof(pid_t)) _exit(1);
    for (;;) pause();
  }
  close(fds[1]);
  // The grandchild id and the two child ids arrive in either order: the
  // grandchild's write is one pid, the root's write two.
  pid_t received[3] = {0, 0, 0};
  size_t got = 0;
  std::vector<pid_t> buffer(3);
  char* bytes = reinterpret_cast<char*>(buffer.data());
  while (got < 3 * sizeof(pid_t)) {
    ssize_t n = read(fds[0], bytes + got, 3 * sizeof(pid_t) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  for (int i = 0; i < 3; ++i) received[i] = buffer[static_cast<size_t>(i)];
  // Tell the pids apart by their parents: the grandchild's parent is a child.
  auto parentOf = [](pid_t pid) -> pid_t {
    std::string stat = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    return static_cast<pid_t>(std::atoi(stat.c_str() + close + 4));
  };
  for (pid_t pid : received) {
    if (parentOf(pid) == tree.root) {
      if (tree.child1 == 0) {
        tree.child1 = pid;
      } else {
        tree.child2 = pid;
      }
    } else {
      tree.grandchild = pid;
    }
  }
  return tree;
}

bool IsRunning(pid_t pid) {
  std::string stat = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  return stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

void KillAndReap(pid_t pid) {
  if (pid <= 0) return;
  if (IsRunning(pid)) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
}

int ReapSignal(pid_t pid) {
  if (pid <= 0) return 0;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return 0;
  return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}


}  // namespace testing
}  // namespace kelvane
