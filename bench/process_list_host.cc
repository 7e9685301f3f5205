// The long-lived host of the process-list benchmark: loads the library
// once, as an agent does, and calls ZEV_RemoteInvoke with a process-list
// request again and again. It links nothing of the library itself, so its
// resident memory is the library's and the C++ runtime's.
//
// Usage: process_list_host LIBRARY CALLS REPORT
// Writes one line per call to REPORT: result code, CPU ms of the call
// (user + system), resident KiB after it, peak resident KiB so far.
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

double Ms(const struct timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; }

double SelfCpuMs() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return Ms(usage.ru_utime) + Ms(usage.ru_stime);
}

// A "Vm…:" figure of /proc/self/status in KiB; -1 when missing.
long SelfStatusKiB(const char* key) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long value = -1;
  const size_t keyLength = std::strlen(key);
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
      value = std::atol(line + keyLength + 1);
      break;
    }
  }
  std::fclose(status);
  return value;
}

std::u16string Ascii16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

int RunHost(const char* library, int calls, const char* report) {
  char dirTemplate[] = "/tmp/process_list_host.XXXXXX";
  if (mkdtemp(dirTemplate) == nullptr) return 1;
  const std::string dir = dirTemplate;
  const std::string requestPath = dir + "/request.xml";
  const std::string resultPath = dir + "/result.xml";
  FILE* request = std::fopen(requestPath.c_str(), "w");
  if (request == nullptr) return 1;
  std::fputs("<request name=\"ZEV_GetProcessList_KLV\"/>", request);
  std::fclose(request);

  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  using Invoke = int (*)(const char16_t*, const char16_t*);
  const Invoke invoke = reinterpret_cast<Invoke>(dlsym(handle, "ZEV_RemoteInvoke"));
  FILE* out = std::fopen(report, "w");
  if (invoke == nullptr || out == nullptr) return 1;
  const std::u16string in16 = Ascii16(requestPath);
  const std::u16string out16 = Ascii16(resultPath);
  for (int i = 0; i < calls; ++i) {
    const double before = SelfCpuMs();
    const int rc = invoke(in16.c_str(), out16.c_str());
    const double cpu = SelfCpuMs() - before;
    std::fprintf(out, "%d %.3f %ld %ld\n", rc, cpu, SelfStatusKiB("VmRSS"), SelfStatusKiB("VmHWM"));
  }
  std::fclose(out);
  unlink(requestPath.c_str());
  unlink(resultPath.c_str());
  rmdir(dir.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s LIBRARY CALLS REPORT\n", argv[0]);
    return 64;
  }
  return RunHost(argv[1], std::atoi(argv[2]), argv[3]);
}
