// libFuzzer target for the whole call: the input is the command file, run
// through the dispatcher on a fake platform (a handful of made-up processes
// with hostile names, command lines, owners and modules; the command file
// and the response live in memory; nothing on the machine is touched). The
// result code must be 0, 1 or -1, and any response written must be a
// well-formed XML document to a strict parser.
#include <xercesc/util/PlatformUtils.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "inventory/process_list.h"
#include "plugin/dispatch.h"
#include "support/fake_platform.h"
#include "support/strict_xml.h"

// A program of its own: the library's names are used unqualified.
using namespace kelvane;  // NOLINT(build/namespaces)

namespace {

namespace xml = XERCES_CPP_NAMESPACE;
using kelvane::platform::ModuleEntry;
using kelvane::platform::ProcessHandle;

const char16_t kRequestPath[] = u"fuzz-request.xml";
const char16_t kResultPath[] = u"fuzz-result.xml";

// The input and the response of the current run.
std::string g_request;
std::string g_response;
bool g_written = false;

// The response file, in memory; it counts as written once committed.
class MemoryFile final : public kelvane::platform::OutputFile {
 public:
  size_t Write(const void* data, size_t size) override {
    bytes_.append(static_cast<const char*>(data), size);
    return size;
  }
  std::u16string LastError() const override { return u"none"; }
  bool Commit() override {
    g_response = bytes_;
    g_written = true;
    return true;
  }

 private:
  std::string bytes_;
};

struct FakeProcessFacts {
  uint32_t parent;
  std::u16string name;
  std::u16string path;
  std::u16string commandLine;
  std::u16string user;
};

const char16_t kLone[] = {u'x', 0xD800, u'y', 0xDFFF, 0};

// Processes whose every text holds what a hostile user can put there.
const std::map<uint32_t, FakeProcessFacts>& Processes() {
  static const std::map<uint32_t, FakeProcessFacts> processes = {
      {4, {0, u"init", u"/sbin/init", u"init splash", u"root"}},
      {100, {4, u"\x1b[31mred\x01", u"/tmp/\x1b[31mred\x01", u"sh -c \"x\" '<y>' & \t\r\n\x7f", u"us\x02er"}},
      {101, {100, u"a) (b\nc", u"/tmp/a) (b\nc (deleted)", std::u16string(kLone) + u"\uFFFE\uFFFF", u"\uFFFE"}},
      {102, {100, std::u16string(255, u'n'), u"/x/" + std::u16string(255, u'n'), std::u16string(300, u'<'),
             u"&amp;"}},
  };
  return processes;
}

class FuzzPlatform final : public kelvane::testing::FakePlatform {
 public:
  bool ReadRegularFile(const std::u16string& path, size_t limit, std::string* bytes) override {
    if (path != kRequestPath || g_request.size() > limit) return false;
    *bytes = g_request;
    return true;
  }
  std::unique_ptr<kelvane::platform::OutputFile> CreateOutputFile(const std::u16string& path,
                                                                  std::u16string* error) override {
    if (path != kResultPath) {
      *error = u"unexpected path";
      return nullptr;
    }
    return std::make_unique<MemoryFile>();
  }
  bool SnapshotProcessIds(std::vector<uint32_t>* pids) override {
    pids->assign({0, 4, 100, 101, 102});
    return true;
  }
  bool EnumerateProcessIds(std::vector<uint32_t>* pids) override { return SnapshotProcessIds(pids); }
  std::unique_ptr<ProcessHandle> OpenProcess(uint32_t pid, uint32_t) override {
    if (Processes().count(pid) == 0) return nullptr;
    return std::make_unique<kelvane::testing::FakeProcess>(pid);
  }
  bool TerminateProcess(ProcessHandle& process, uint32_t) override { return process.pid() != 102; }
  bool QueryParent(ProcessHandle& process, uint32_t* parentPid, uint64_t* creationTime) override {
    *parentPid = Processes().at(process.pid()).parent;
    *creationTime = process.pid();
    return true;
  }
  bool SetPriorityClass(ProcessHandle&, uint32_t priorityClass) override {
    return priorityClass == 64 || priorityClass == 16384 || priorityClass == 32 || priorityClass == 32768 ||
           priorityClass == 128 || priorityClass == 256;
  }
  uint32_t GetPriorityClass(ProcessHandle&) override { return 32; }
  bool ImageBaseName(ProcessHandle& process, std::u16string* name) override {
    *name = Processes().at(process.pid()).name;
    return true;
  }
  bool ImageFullPath(ProcessHandle& process, std::u16string* path) override {
    *path = Processes().at(process.pid()).path;
    return true;
  }
  bool WorkingSetSize(ProcessHandle& process, int64_t* bytes) override {
    *bytes = 4096 * static_cast<int64_t>(process.pid());
    return true;
  }
  bool CommandLine(ProcessHandle& process, std::u16string* commandLine) override {
    *commandLine = Processes().at(process.pid()).commandLine;
    return true;
  }
  kelvane::platform::UserLookup ProcessUserName(uint32_t pid, std::u16string* name) override {
    auto it = Processes().find(pid);
    if (it == Processes().end()) return kelvane::platform::UserLookup::kNotListed;
    *name = it->second.user;
    return kelvane::platform::UserLookup::kFound;
  }
  bool ListModules(ProcessHandle& process, size_t limit, std::vector<ModuleEntry>* modules) override {
    const FakeProcessFacts& facts = Processes().at(process.pid());
    modules->clear();
    modules->push_back({facts.name, facts.path});
    if (limit > 1) modules->push_back({u"lib\x03\uFFFF.so", u"/lib/lib\x03\uFFFF.so"});
    if (limit > 2) modules->push_back({kLone, std::u16string(u"/lib/") + kLone});
    return true;
  }
  bool CpuTimes(uint32_t pid, int64_t* processTime, int64_t* totalTime) override {
    *processTime = pid;
    *totalTime = 100000;
    return true;
  }
  bool FileSize(const std::u16string&, int64_t* size) override {
    *size = 12345;
    return true;
  }
  bool FileModifyTime(const std::u16string&, kelvane::platform::LocalTime* time) override {
    *time = {2024, 2, 29, 23, 59, 59};
    return true;
  }
};

// A clock that never waits.
int64_t g_now = 0;
const kelvane::InventoryClock kClock = {[] { return g_now; }, [](int64_t ms) { g_now += ms; }};

FuzzPlatform* g_platform = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Held for the whole run, so that the library's own initialisations
  // around each read only move a count.
  xml::XMLPlatformUtils::Initialize();
  g_platform = new FuzzPlatform();
  kelvane::platform::SetForTesting(g_platform);
  kelvane::SetInventoryClockForTesting(&kClock);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_request.assign(reinterpret_cast<const char*>(data), size);
  g_response.clear();
  g_written = false;
  const int code = DispatchCommand(kRequestPath, kResultPath);
  if (code != 0 && code != 1 && code != -1) {
    std::fprintf(stderr, "result code %d\n", code);
    std::abort();
  }
  if (g_written && !kelvane::testing::ParsesStrictly(g_response)) {
    std::fprintf(stderr, "response is not well-formed XML:\n");
    for (size_t i = 0; i + 1 < g_response.size(); i += 2) {
      const unsigned unit = static_cast<unsigned char>(g_response[i]) | (static_cast<unsigned char>(g_response[i + 1]) << 8);
      std::fputc(unit < 0x80 && (unit >= 0x20 || unit == '\n') ? static_cast<int>(unit) : '?', stderr);
    }
    std::fputc('\n', stderr);
    std::abort();
  }
  return 0;
}
