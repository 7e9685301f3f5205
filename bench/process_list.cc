// Process-list benchmark: the CPU and wall time of one full listing by
// `kelvanectl list` (every process with its modules, the response written to
// a file), by `ps -eo pid,comm,args,user,pcpu,rss,nice`, and by a psutil
// script that gathers the same fields plus each process's mapped files.
//
// It runs in a PID namespace of its own (re-executing itself under
// `unshare --pid --fork --mount-proc` unless it already is pid 1 there) and
// starts a crowd of sleeping processes, so that every tool lists the same,
// known set of processes. Each tool runs several times; the figures are
// medians. CPU time is user + system time of the tool's process as wait4()
// reports it. kelvanectl's wall time includes the library's CPU sampling
// window, in which it sleeps; that window is also shown subtracted.
//
// Usage: process_list_bench [--runs N (7)] [--sleepers N (300)]
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef KELVANE_BENCH_KELVANECTL
#error "KELVANE_BENCH_KELVANECTL must name the kelvanectl program"
#endif
#ifndef KELVANE_BENCH_PSUTIL_SCRIPT
#error "KELVANE_BENCH_PSUTIL_SCRIPT must name the psutil script"
#endif

namespace {

constexpr char kUnshare[] = "/usr/bin/unshare";
constexpr char kSleep[] = "/bin/sleep";
constexpr char kPs[] = "/usr/bin/ps";
constexpr char kPython[] = "/usr/bin/python3";
constexpr char kInNamespaceFlag[] = "--in-pid-namespace";
constexpr double kSamplingWindowMs = 250.0;

struct Sample {
  double cpuMs = 0;
  double userMs = 0;
  double systemMs = 0;
  double wallMs = 0;
  int status = 0;
};

double Ms(const struct timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; }

// Runs `argv` with standard output (and input) on /dev/null and waits for
// it. False when it could not be started.
bool RunOnce(const std::vector<std::string>& argv, Sample* sample) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof usage);
  pid_t done;
  do {
    done = wait4(pid, &status, 0, &usage);
  } while (done < 0 && errno == EINTR);
  const auto end = std::chrono::steady_clock::now();
  if (done != pid) return false;
  sample->userMs = Ms(usage.ru_utime);
  sample->systemMs = Ms(usage.ru_stime);
  sample->cpuMs = sample->userMs + sample->systemMs;
  sample->wallMs = std::chrono::duration<double, std::milli>(end - start).count();
  sample->status = status;
  return true;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Tool {
  const char* label;
  std::vector<std::string> argv;
  bool sleepsWindow;  // its wall time includes the sampling window
  std::vector<Sample> samples;
  int failures = 0;
};

std::string SelfPath() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<size_t>(n));
}

std::string ExeOf(pid_t pid) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  char target[PATH_MAX];
  ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// Starts `count` sleepers and waits until each runs the sleep program.
std::vector<pid_t> StartSleepers(int count) {
  char resolved[PATH_MAX];
  const std::string sleepImage = realpath(kSleep, resolved) != nullptr ? resolved : kSleep;
  std::vector<pid_t> pids;
  for (int i = 0; i < count; ++i) {
    pid_t pid = fork();
    if (pid < 0) {
      std::perror("fork");
      break;
    }
    if (pid == 0) {
      execl(kSleep, "sleep", "1000", static_cast<char*>(nullptr));
      _exit(127);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    for (int i = 0; i < 1000 && ExeOf(pid) != sleepImage; ++i) usleep(2000);
  }
  usleep(50000);  // let the dynamic loader finish its mappings
  return pids;
}

void StopSleepers(const std::vector<pid_t>& pids) {
  for (pid_t pid : pids) {
    if (pid > 0) kill(pid, SIGKILL);
  }
  for (pid_t pid : pids) {
    if (pid > 0) waitpid(pid, nullptr, 0);
  }
}

int CountProcesses() {
  int count = 0;
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return -1;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++count;
  }
  closedir(dir);
  return count;
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

int RunBenchmark(int runs, int sleepers) {
  const std::vector<pid_t> pids = StartSleepers(sleepers);
  std::printf("PID namespace: %d sleepers started, %d processes in all (with this one)\n",
              static_cast<int>(pids.size()), CountProcesses());

  char outTemplate[] = "/tmp/process_list_bench.XXXXXX";
  const int outFd = mkstemp(outTemplate);
  if (outFd >= 0) close(outFd);
  const std::string outPath = outTemplate;

  std::vector<Tool> tools;
  tools.push_back({"kelvanectl list --out FILE", {KELVANE_BENCH_KELVANECTL, "list", "--out", outPath}, true, {}});
  tools.push_back({"ps -eo pid,comm,args,user,pcpu,rss,nice",
                   {kPs, "-eo", "pid,comm,args,user,pcpu,rss,nice"}, false, {}});
  tools.push_back({"psutil script (+ memory_maps)", {kPython, KELVANE_BENCH_PSUTIL_SCRIPT}, false, {}});

  // One untimed round warms the page cache and the loaders.
  for (Tool& tool : tools) {
    Sample warm;
    RunOnce(tool.argv, &warm);
  }
  for (int run = 0; run < runs; ++run) {
    for (Tool& tool : tools) {
      Sample sample;
      if (!RunOnce(tool.argv, &sample)) {
        ++tool.failures;
        continue;
      }
      if (!WIFEXITED(sample.status) || WEXITSTATUS(sample.status) != 0) ++tool.failures;
      tool.samples.push_back(sample);
    }
  }
  const long responseBytes = FileSize(outPath);
  unlink(outPath.c_str());
  StopSleepers(pids);

  std::printf("\nmedians of %d runs (ms)\n", runs);
  std::printf("%-42s %9s %9s %9s %9s %14s %8s\n", "tool", "cpu", "user", "system", "wall",
              "wall-window", "failed");
  std::vector<double> cpuMedian;
  for (const Tool& tool : tools) {
    std::vector<double> cpu, user, system, wall;
    for (const Sample& s : tool.samples) {
      cpu.push_back(s.cpuMs);
      user.push_back(s.userMs);
      system.push_back(s.systemMs);
      wall.push_back(s.wallMs);
    }
    cpuMedian.push_back(Median(cpu));
    char window[32] = "-";
    if (tool.sleepsWindow) std::snprintf(window, sizeof window, "%.1f", Median(wall) - kSamplingWindowMs);
    std::printf("%-42s %9.1f %9.1f %9.1f %9.1f %14s %8d\n", tool.label, Median(cpu), Median(user),
                Median(system), Median(wall), window, tool.failures);
  }
  std::printf("\nkelvanectl response file: %ld bytes\n", responseBytes);
  if (cpuMedian[1] > 0) std::printf("CPU ratio kelvane/ps:     %.2f (goal <= 1.0)\n", cpuMedian[0] / cpuMedian[1]);
  if (cpuMedian[2] > 0) std::printf("CPU ratio kelvane/psutil: %.2f (goal <= 0.2)\n", cpuMedian[0] / cpuMedian[2]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  int sleepers = 300;
  bool inNamespace = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == kInNamespaceFlag) {
      inNamespace = true;
    } else if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--sleepers" && i + 1 < argc) {
      sleepers = std::max(0, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--runs N] [--sleepers N]\n", argv[0]);
      return 64;
    }
  }

  if (getpid() != 1) {
    if (inNamespace) {
      std::fprintf(stderr, "not pid 1 after unshare; giving up\n");
      return 1;
    }
    // Into a PID namespace of our own, where the only processes are the ones
    // this program starts.
    const std::string self = SelfPath();
    const std::string runsText = std::to_string(runs);
    const std::string sleepersText = std::to_string(sleepers);
    std::vector<const char*> args = {kUnshare,     "--pid",    "--fork",           "--mount-proc",
                                     self.c_str(), kInNamespaceFlag, "--runs", runsText.c_str(),
                                     "--sleepers", sleepersText.c_str(), nullptr};
    std::fflush(stdout);
    execv(kUnshare, const_cast<char* const*>(args.data()));
    std::perror("execv unshare");
    return 1;
  }
  const int rc = RunBenchmark(runs, sleepers);
  std::fflush(stdout);
  // As pid 1 of the namespace, reap whatever is left before leaving.
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  return rc;
}
