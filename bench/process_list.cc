// Process-list benchmark: the CPU and wall time of one full listing by
// `kelvanectl list` (every process with its modules, the response written to
// a file), by `ps -eo pid,comm,args,user,pcpu,rss,nice`, and by a psutil
// script that gathers the same fields plus each process's mapped files, and
// by procfs_floor, which reads what a listing must read and nothing else; and
// the cost of a listing inside a long-lived host: a process that loads the
// library once and calls ZEV_RemoteInvoke again and again (CPU per call in
// every round of the tools, so that it is measured beside its peers; peak
// and final resident memory over 20 calls), with the crowd doubled for the
// growth figure.
// The record pool's reservation is checked in this process, which links
// the library's objects.
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
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "inventory/process_list.h"
#include "inventory/record_pool.h"

// A program of its own: the library's names are used unqualified.
using namespace kelvane;  // NOLINT(build/namespaces)

#ifndef KELVANE_BENCH_KELVANECTL
#error "KELVANE_BENCH_KELVANECTL must name the kelvanectl program"
#endif
#ifndef KELVANE_BENCH_HOST
#error "KELVANE_BENCH_HOST must name the host program"
#endif
#ifndef KELVANE_BENCH_LIBRARY
#error "KELVANE_BENCH_LIBRARY must name the library"
#endif
#ifndef KELVANE_BENCH_FLOOR
#error "KELVANE_BENCH_FLOOR must name the procfs_floor program"
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
constexpr int kHostCalls = 20;
// Goals, as ratios against the peers of the same run.
constexpr double kPerCallGoal = 1.5;       // per call in a host / ps
constexpr double kPerCallFloorGoal = 1.25; // per call in a host / procfs_floor
constexpr double kOneShotGoal = 2.0;       // kelvanectl list / ps
// kelvanectl list / psutil. The read floor alone comes to about a tenth of
// psutil's time, so the goal stands above it.
constexpr double kPsutilGoal = 0.2;
constexpr double kPeakRssGoalMiB = 32;

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

struct HostFigures {
  double firstCallMs = 0;
  double perCallMs = 0;  // median of the calls after the first
  long firstRssKiB = 0;  // resident after the first call
  long lastRssKiB = 0;   // resident after the last call
  long peakRssKiB = 0;
  long earlyRssKiB = 0;  // most resident after any of calls 2 to 5
  long lateRssKiB = 0;   // most resident after any of the last five calls
  int failures = 0;
  bool ok = false;
};

HostFigures MeasureHost(int calls) {
  HostFigures figures;
  char reportTemplate[] = "/tmp/process_list_host_report.XXXXXX";
  const int fd = mkstemp(reportTemplate);
  if (fd < 0) return figures;
  close(fd);
  Sample sample;
  if (!RunOnce({KELVANE_BENCH_HOST, KELVANE_BENCH_LIBRARY, std::to_string(calls), reportTemplate}, &sample) ||
      !WIFEXITED(sample.status) || WEXITSTATUS(sample.status) != 0) {
    unlink(reportTemplate);
    return figures;
  }
  FILE* report = std::fopen(reportTemplate, "r");
  std::vector<double> later;
  std::vector<long> rssAfter;
  int rc = 0;
  double cpu = 0;
  long rss = 0, peak = 0;
  for (int i = 0; report != nullptr && std::fscanf(report, "%d %lf %ld %ld", &rc, &cpu, &rss, &peak) == 4; ++i) {
    if (rc != 0) ++figures.failures;
    if (i == 0) {
      figures.firstCallMs = cpu;
      figures.firstRssKiB = rss;
    } else {
      later.push_back(cpu);
    }
    if (i >= 1 && i <= 4 && rss > figures.earlyRssKiB) figures.earlyRssKiB = rss;
    rssAfter.push_back(rss);
    figures.lastRssKiB = rss;
    figures.peakRssKiB = peak;
  }
  if (report != nullptr) std::fclose(report);
  unlink(reportTemplate);
  for (size_t i = rssAfter.size() >= 5 ? rssAfter.size() - 5 : 0; i < rssAfter.size(); ++i) {
    if (rssAfter[i] > figures.lateRssKiB) figures.lateRssKiB = rssAfter[i];
  }
  figures.perCallMs = Median(later);
  figures.ok = !later.empty();
  return figures;
}

// ---- The run ----------------------------------------------------------------

// Calls of the host in each round of MeasureTools: the first warms it up,
// the others give the round's per-call figure.
constexpr int kRoundHostCalls = 6;

// Runs every tool once per round, `runs` rounds. With `hostPerCall`, each
// round also runs the host for kRoundHostCalls calls and keeps the median
// of its calls after the first: per-call figures then come from the same
// moments as the peers' figures, on a machine whose speed drifts.
void MeasureTools(std::vector<Tool>& tools, int runs, std::vector<double>* hostPerCall = nullptr) {
  // One untimed round warms the page cache and the loaders.
  for (Tool& tool : tools) {
    Sample warm;
    RunOnce(tool.argv, &warm);
  }
  for (int run = 0; run < runs; ++run) {
    if (hostPerCall != nullptr) {
      const HostFigures round = MeasureHost(kRoundHostCalls);
      if (round.ok && round.failures == 0) hostPerCall->push_back(round.perCallMs);
    }
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
}

double CpuMedian(const Tool& tool) {
  std::vector<double> cpu;
  for (const Sample& s : tool.samples) cpu.push_back(s.cpuMs);
  return Median(cpu);
}

void PrintTools(const std::vector<Tool>& tools) {
  std::printf("%-42s %9s %9s %9s %9s %14s %8s\n", "tool", "cpu", "user", "system", "wall",
              "wall-window", "failed");
  for (const Tool& tool : tools) {
    std::vector<double> cpu, user, system, wall;
    for (const Sample& s : tool.samples) {
      cpu.push_back(s.cpuMs);
      user.push_back(s.userMs);
      system.push_back(s.systemMs);
      wall.push_back(s.wallMs);
    }
    char window[32] = "-";
    if (tool.sleepsWindow) std::snprintf(window, sizeof window, "%.1f", Median(wall) - kSamplingWindowMs);
    std::printf("%-42s %9.1f %9.1f %9.1f %9.1f %14s %8d\n", tool.label, Median(cpu), Median(user),
                Median(system), Median(wall), window, tool.failures);
  }
}

void PrintHost(const char* label, const HostFigures& host) {
  std::printf("%-42s first call %.1f ms, then %.1f ms per call (median); resident %.1f MiB after the "
              "first call, %.1f MiB after the last, peak %.1f MiB; failed calls %d%s\n",
              label, host.firstCallMs, host.perCallMs, host.firstRssKiB / 1024.0, host.lastRssKiB / 1024.0,
              host.peakRssKiB / 1024.0, host.failures, host.ok ? "" : " (host did not run)");
}

bool g_allMet = true;

void Goal(const char* name, double value, double limit, const char* unit) {
  const bool met = value <= limit && !std::isnan(value);
  if (!met) g_allMet = false;
  std::printf("  %-44s %8.2f%s (goal <= %.2f%s)  %s\n", name, value, unit, limit, unit, met ? "met" : "NOT MET");
}

// Frees each record as soon as it is filled, as the response writer does.
class FreeingSink final : public ProcessRecordSink {
 public:
  void Take(ProcessRecord* record) override { FreeProcessList(record); }
};

// Lists twice in this process, each record freed once filled as a listing
// call does, and reports what the record pools reserved against the most
// they handed out at once.
void CheckRecordPools() {
  for (int i = 0; i < 2; ++i) {
    FreeingSink sink;
    CollectProcessList(&sink);
  }
  const kelvane::RecordPoolUsage pools[2] = {kelvane::ModuleRecordPoolUsage(),
                                             kelvane::ProcessRecordPoolUsage()};
  const char* const names[2] = {"module records", "process records"};
  for (int i = 0; i < 2; ++i) {
    std::printf("  record pool, %-30s reserved %.2f MiB, at most %.2f MiB handed out at once\n", names[i],
                pools[i].reservedBytes / 1048576.0, pools[i].peakHandedOutBytes / 1048576.0);
    const double overMiB =
        (static_cast<double>(pools[i].reservedBytes) - static_cast<double>(pools[i].peakHandedOutBytes)) /
        1048576.0;
    Goal(i == 0 ? "module pool: reserved beyond use" : "process pool: reserved beyond use", overMiB,
         kelvane::kRecordBlockBytes / 1048576.0, " MiB");
  }
}

int RunBenchmark(int runs, int sleepers) {
  std::vector<pid_t> pids = StartSleepers(sleepers);
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
  tools.push_back({"floor: bare procfs reads (procfs_floor)", {KELVANE_BENCH_FLOOR}, false, {}});
  std::vector<double> hostPerCall;
  MeasureTools(tools, runs, &hostPerCall);
  const long responseBytes = FileSize(outPath);
  const HostFigures host = MeasureHost(kHostCalls);
  const double perCall = hostPerCall.empty() ? NAN : Median(hostPerCall);

  // The same again with twice the crowd.
  const std::vector<pid_t> more = StartSleepers(sleepers);
  pids.insert(pids.end(), more.begin(), more.end());
  const int doubledCount = CountProcesses();
  std::vector<Tool> doubled;
  doubled.push_back({"kelvanectl list --out FILE", {KELVANE_BENCH_KELVANECTL, "list", "--out", outPath}, true, {}});
  std::vector<double> hostPerCallDoubled;
  MeasureTools(doubled, runs, &hostPerCallDoubled);
  const HostFigures hostDoubled = MeasureHost(kHostCalls);
  const double perCallDoubled = hostPerCallDoubled.empty() ? NAN : Median(hostPerCallDoubled);
  unlink(outPath.c_str());

  std::printf("\nmedians of %d runs (ms), %d processes\n", runs, sleepers + 1);
  PrintTools(tools);
  PrintHost("host, 20 calls of ZEV_RemoteInvoke", host);
  std::printf("%-42s %.1f ms per call (median of %zu rounds, each the median of calls 2-%d)\n",
              "host, in the rounds above", perCall, hostPerCall.size(), kRoundHostCalls);
  std::printf("kelvanectl response file: %ld bytes\n", responseBytes);
  std::printf("\nmedians of %d runs (ms), %d processes\n", runs, doubledCount);
  PrintTools(doubled);
  PrintHost("host, 20 calls of ZEV_RemoteInvoke", hostDoubled);
  std::printf("%-42s %.1f ms per call (median of %zu rounds, each the median of calls 2-%d)\n",
              "host, in the rounds above", perCallDoubled, hostPerCallDoubled.size(), kRoundHostCalls);

  const double ps = CpuMedian(tools[1]);
  const double psutil = CpuMedian(tools[2]);
  const double oneShot = CpuMedian(tools[0]);
  const double floorCpu = CpuMedian(tools[3]);
  std::printf("\ngoals (CPU = user + system, medians; ratios against peers of this run)\n");
  Goal("per call inside a host / ps", ps > 0 ? perCall / ps : NAN, kPerCallGoal, "x");
  Goal("per call inside a host / procfs_floor", floorCpu > 0 ? perCall / floorCpu : NAN, kPerCallFloorGoal, "x");
  Goal("one-shot kelvanectl list / ps", ps > 0 ? oneShot / ps : NAN, kOneShotGoal, "x");
  Goal("one-shot kelvanectl list / psutil", psutil > 0 ? oneShot / psutil : NAN, kPsutilGoal, "x");
  Goal("host peak resident memory", host.ok ? host.peakRssKiB / 1024.0 : NAN, kPeakRssGoalMiB, " MiB");
  // What stays resident after a call, compared over windows of calls: the
  // figure after one call also moves by the response buffer the C library
  // has or has not given back yet.
  Goal("host resident growth, calls 16-20 vs 2-5", host.ok ? (host.lateRssKiB - host.earlyRssKiB) / 1024.0 : NAN,
       0.5, " MiB");
  CheckRecordPools();
  std::printf("  floor (what a listing must read, nothing else) / ps %.2fx; per call spends %.1f ms beyond it,"
              " one-shot %.1f ms\n",
              ps > 0 ? floorCpu / ps : NAN, perCall - floorCpu, oneShot - floorCpu);
  std::printf("  linear growth, %d vs %d processes: per call %.2fx, one-shot %.2fx (about 2 expected)\n",
              doubledCount, sleepers + 1, perCall > 0 ? perCallDoubled / perCall : NAN,
              oneShot > 0 ? CpuMedian(doubled[0]) / oneShot : NAN);
  std::printf("  %s\n", g_allMet ? "every goal met" : "some goal NOT MET");
  StopSleepers(pids);
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
