// The routes to a 64-bit process that the 32-bit build takes on 64-bit
// Windows (the command line from ProcessCommandLineInformation or from the
// 64-bit environment block, the 64-bit loader list, the parent id from the
// 64-bit basic information), driven through a scripted ntdll: the exports
// they resolve answer from a fake 64-bit address space with the documented
// layouts and errors. Wine offers none of these routes to a 32-bit reader,
// and what they parse does not depend on the word size, so they are
// checked here in either build.
#include <gtest/gtest.h>

#include "platform/win32/wow64_win32.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace kelvane {
namespace {

using platform::ModuleEntry;
namespace wow64 = platform::wow64;

// Status codes the services answer with.
constexpr LONG kSuccess = 0;
constexpr LONG kInvalidInfoClass = static_cast<LONG>(0xC0000003);
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr LONG kAccessViolation = static_cast<LONG>(0xC0000005);
constexpr LONG kInvalidHandle = static_cast<LONG>(0xC0000008);
constexpr LONG kAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr LONG kPartialCopy = static_cast<LONG>(0x8000000D);

constexpr ULONG kProcessBasicInformation = 0;
constexpr ULONG kProcessCommandLineInformation = 60;

// ---- The documented 64-bit layouts, as structures ------------------------

struct UnicodeString64 {
  uint16_t length;         // bytes
  uint16_t maximumLength;  // bytes
  uint32_t padding;
  uint64_t buffer;
};
struct ListEntry64 {
  uint64_t flink;
  uint64_t blink;
};
struct BasicInformation64 {  // PROCESS_BASIC_INFORMATION
  int64_t exitStatus;
  uint64_t pebBaseAddress;
  uint64_t affinityMask;
  int64_t basePriority;
  uint64_t uniqueProcessId;
  uint64_t inheritedFromUniqueProcessId;
};
struct Peb64 {
  uint8_t flags[4];
  uint32_t padding;
  uint64_t mutant;
  uint64_t imageBaseAddress;
  uint64_t ldr;
  uint64_t processParameters;
};
struct CurrentDirectory64 {
  UnicodeString64 dosPath;
  uint64_t handle;
};
struct ProcessParameters64 {  // RTL_USER_PROCESS_PARAMETERS, its start
  uint32_t maximumLength;
  uint32_t length;
  uint32_t flags;
  uint32_t debugFlags;
  uint64_t consoleHandle;
  uint32_t consoleFlags;
  uint32_t padding;
  uint64_t standardInput;
  uint64_t standardOutput;
  uint64_t standardError;
  CurrentDirectory64 currentDirectory;
  UnicodeString64 dllPath;
  UnicodeString64 imagePathName;
  UnicodeString64 commandLine;
  uint64_t environment;
};
struct PebLdrData64 {
  uint32_t length;
  uint8_t initialized;
  uint8_t padding[3];
  uint64_t ssHandle;
  ListEntry64 inLoadOrderModuleList;
  ListEntry64 inMemoryOrderModuleList;
  ListEntry64 inInitializationOrderModuleList;
};
struct LdrDataTableEntry64 {  // its start
  ListEntry64 inLoadOrderLinks;
  ListEntry64 inMemoryOrderLinks;
  ListEntry64 inInitializationOrderLinks;
  uint64_t dllBase;
  uint64_t entryPoint;
  uint32_t sizeOfImage;
  uint32_t padding;
  UnicodeString64 fullDllName;
  UnicodeString64 baseDllName;
};
static_assert(sizeof(BasicInformation64) == 48, "PROCESS_BASIC_INFORMATION of a 64-bit process");
static_assert(offsetof(BasicInformation64, pebBaseAddress) == 8, "PebBaseAddress");
static_assert(offsetof(BasicInformation64, inheritedFromUniqueProcessId) == 40, "parent id");
static_assert(offsetof(Peb64, ldr) == 0x18 && offsetof(Peb64, processParameters) == 0x20, "PEB64");
static_assert(offsetof(ProcessParameters64, commandLine) == 0x70, "RTL_USER_PROCESS_PARAMETERS64");
static_assert(offsetof(PebLdrData64, inLoadOrderModuleList) == 0x10, "PEB_LDR_DATA64");
static_assert(offsetof(LdrDataTableEntry64, fullDllName) == 0x48 &&
                  offsetof(LdrDataTableEntry64, baseDllName) == 0x58,
              "LDR_DATA_TABLE_ENTRY64");

// The counted string of ProcessCommandLineInformation: this build's
// UNICODE_STRING.
struct NativeCountedString {
  USHORT length;
  USHORT maximumLength;
  PWSTR buffer;
};

// ---- A 64-bit address space ------------------------------------------------

class FakeMemory {
 public:
  // Maps `size` zero bytes at `address` (replacing a region there).
  void Map(uint64_t address, size_t size) { regions_[address].assign(size, 0); }
  void Unmap(uint64_t address) { regions_.erase(address); }
  // Writes into a mapped region; the bytes must fit in it.
  void Write(uint64_t address, const void* data, size_t size) {
    auto it = Find(regions_, address);
    ASSERT_NE(it, regions_.end()) << std::hex << address;
    const size_t offset = static_cast<size_t>(address - it->first);
    ASSERT_LE(offset + size, it->second.size()) << std::hex << address;
    std::memcpy(it->second.data() + offset, data, size);
  }
  template <typename T>
  void Put(uint64_t address, const T& value) {
    Write(address, &value, sizeof value);
  }
  void PutText(uint64_t address, const std::u16string& text) {
    Write(address, text.data(), text.size() * sizeof(char16_t));
  }
  // Copies the bytes at `address` up to `size` or the end of their
  // region; how many.
  size_t Read(uint64_t address, void* out, size_t size) const {
    auto it = Find(regions_, address);
    if (it == regions_.end()) return 0;
    const size_t offset = static_cast<size_t>(address - it->first);
    const size_t n = std::min(size, it->second.size() - offset);
    std::memcpy(out, it->second.data() + offset, n);
    return n;
  }

 private:
  // The region holding `address`, or the end.
  template <typename Regions>
  static auto Find(Regions& regions, uint64_t address) -> decltype(regions.end()) {
    auto it = regions.upper_bound(address);
    if (it == regions.begin()) return regions.end();
    --it;
    if (address - it->first >= it->second.size()) return regions.end();
    return it;
  }

  std::map<uint64_t, std::vector<unsigned char>> regions_;
};

// ---- The scripted ntdll ----------------------------------------------------

// What ProcessCommandLineInformation answers once the buffer is large
// enough: the header's fields as given, the text right after the header.
struct CommandLineAnswer {
  enum class Buffer { kAfterHeader, kNull, kOutside, kAtHeader };
  LONG status = kInvalidInfoClass;  // as before Windows 8.1
  LONG tooSmallStatus = kInfoLengthMismatch;
  std::u16string text;
  uint16_t length = 0;
  uint16_t maximum = 0;
  Buffer buffer = Buffer::kAfterHeader;
  ULONG claimedSize = 0;  // the size named when too small; 0: the true one
};

struct FakeNtdll {
  HANDLE process = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4E4));
  FakeMemory memory;
  // Which exports exist.
  bool queryInformation = true;
  bool wow64Query = true;
  bool wow64Read = true;
  bool isWow64 = true;

  CommandLineAnswer commandLine;
  std::vector<ULONG> commandLineSizes;  // the buffer size of every call

  // NtQueryInformationProcess, class 0 (this build's layout): refused,
  // as for a process of the other word size.
  LONG basicStatus = kAccessDenied;

  // NtWow64QueryInformationProcess64, class 0.
  LONG basic64Status = kSuccess;
  BasicInformation64 basic64 = {};
  int basic64Calls = 0;

  // NtWow64ReadVirtualMemory64.
  LONG readStatus = kSuccess;    // any other status fails every read
  bool shortReadsSucceed = false;  // a short read answers success
  int reads = 0;
};

FakeNtdll* g_fake = nullptr;
// Text outside any answer buffer.
const char16_t g_outside[] = u"elsewhere";

LONG NTAPI FakeQueryInformationProcess(HANDLE process, ULONG infoClass, PVOID buffer, ULONG size,
                                       PULONG returned) {
  FakeNtdll& f = *g_fake;
  if (process != f.process) return kInvalidHandle;
  if (infoClass == kProcessBasicInformation) return f.basicStatus;
  if (infoClass != kProcessCommandLineInformation) return kInvalidInfoClass;
  f.commandLineSizes.push_back(size);
  const CommandLineAnswer& a = f.commandLine;
  if (a.status != kSuccess) return a.status;
  const size_t textBytes = a.text.size() * sizeof(char16_t);
  const ULONG required =
      static_cast<ULONG>(sizeof(NativeCountedString) + std::max<size_t>(textBytes, a.maximum));
  if (size < required) {
    if (returned != nullptr) *returned = a.claimedSize != 0 ? a.claimedSize : required;
    return a.tooSmallStatus;
  }
  unsigned char* out = static_cast<unsigned char*>(buffer);
  std::memcpy(out + sizeof(NativeCountedString), a.text.data(), textBytes);
  NativeCountedString header;
  header.length = a.length;
  header.maximumLength = a.maximum;
  switch (a.buffer) {
    case CommandLineAnswer::Buffer::kAfterHeader:
      header.buffer = reinterpret_cast<PWSTR>(out + sizeof(NativeCountedString));
      break;
    case CommandLineAnswer::Buffer::kNull:
      header.buffer = nullptr;
      break;
    case CommandLineAnswer::Buffer::kOutside:
      header.buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(g_outside));
      break;
    case CommandLineAnswer::Buffer::kAtHeader:
      header.buffer = reinterpret_cast<PWSTR>(out);
      break;
  }
  std::memcpy(out, &header, sizeof header);
  if (returned != nullptr) *returned = required;
  return kSuccess;
}

LONG NTAPI FakeWow64QueryInformationProcess64(HANDLE process, ULONG infoClass, PVOID buffer, ULONG size,
                                              PULONG returned) {
  FakeNtdll& f = *g_fake;
  ++f.basic64Calls;
  if (process != f.process) return kInvalidHandle;
  if (infoClass != kProcessBasicInformation) return kInvalidInfoClass;
  if (f.basic64Status != kSuccess) return f.basic64Status;
  // The size must be exactly the structure's.
  if (size != sizeof(BasicInformation64)) return kInfoLengthMismatch;
  std::memcpy(buffer, &f.basic64, sizeof f.basic64);
  if (returned != nullptr) *returned = sizeof f.basic64;
  return kSuccess;
}

LONG NTAPI FakeWow64ReadVirtualMemory64(HANDLE process, unsigned long long address, PVOID buffer,
                                        unsigned long long size, unsigned long long* done) {
  FakeNtdll& f = *g_fake;
  ++f.reads;
  if (done != nullptr) *done = 0;
  if (process != f.process) return kInvalidHandle;
  if (f.readStatus != kSuccess) return f.readStatus;
  const size_t n = f.memory.Read(address, buffer, static_cast<size_t>(size));
  if (done != nullptr) *done = n;
  if (n == size || (f.shortReadsSucceed && n > 0)) return kSuccess;
  return n == 0 ? kAccessViolation : kPartialCopy;
}

// This process runs under WOW64; the fake process does not.
BOOL WINAPI FakeIsWow64Process(HANDLE process, PBOOL wow64) {
  *wow64 = process == GetCurrentProcess() ? TRUE : FALSE;
  return TRUE;
}

template <typename Fn>
FARPROC Export(Fn function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(function));
}

FARPROC FakeExport(const wchar_t* module, const char* name) {
  const FakeNtdll& f = *g_fake;
  const std::wstring from(module);
  const std::string what(name);
  if (from == L"ntdll") {
    if (what == "NtQueryInformationProcess" && f.queryInformation) {
      return Export(&FakeQueryInformationProcess);
    }
    if (what == "NtWow64QueryInformationProcess64" && f.wow64Query) {
      return Export(&FakeWow64QueryInformationProcess64);
    }
    if (what == "NtWow64ReadVirtualMemory64" && f.wow64Read) return Export(&FakeWow64ReadVirtualMemory64);
  }
  if (from == L"kernel32.dll" && what == "IsWow64Process" && f.isWow64) return Export(&FakeIsWow64Process);
  return nullptr;
}

// ---- The fake process ------------------------------------------------------

// Addresses of the fake process, beyond 4 GiB: a reader that cut them to
// 32 bits would miss.
constexpr uint64_t kPeb = 0x7FF712340000ull;
constexpr uint64_t kParameters = 0x100020000ull;
constexpr uint64_t kCommandLineText = 0x100030000ull;
constexpr uint64_t kLoader = 0x7FF712350000ull;
constexpr uint64_t kEntries = 0x200000000ull;
constexpr uint64_t kEntrySize = 0x1000;  // an entry's region: the entry, then its names
constexpr uint64_t kFullNameAt = 0x200;
constexpr uint64_t kBaseNameAt = 0x600;
constexpr uint64_t kLoadOrderHead = kLoader + offsetof(PebLdrData64, inLoadOrderModuleList);
constexpr uint32_t kParent = 0xABCD1234u;

UnicodeString64 Counted(const std::u16string& text, uint64_t address) {
  UnicodeString64 counted = {};
  counted.length = static_cast<uint16_t>(text.size() * 2);
  counted.maximumLength = static_cast<uint16_t>(text.size() * 2 + 2);
  counted.buffer = address;
  return counted;
}

struct FakeModule {
  std::u16string full;
  std::u16string base;
};

class NativeRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    g_fake = &f_;
    platform::SetExportResolverForTesting(&FakeExport);
    Reset();
  }
  void TearDown() override {
    platform::SetExportResolverForTesting(nullptr);
    g_fake = nullptr;
  }

  // A process with its environment block and basic information only.
  void Reset() {
    f_ = FakeNtdll();
    f_.basic64.pebBaseAddress = kPeb;
    f_.basic64.uniqueProcessId = 0x4D2;
    f_.basic64.inheritedFromUniqueProcessId = kParent;
    f_.memory.Map(kPeb, 0x800);
    Peb64 peb = {};
    peb.ldr = kLoader;
    peb.processParameters = kParameters;
    f_.memory.Put(kPeb, peb);
  }

  // The process parameters with `counted` as the command line, its text at
  // kCommandLineText.
  void SetCommandLine(const std::u16string& text, const UnicodeString64& counted) {
    f_.memory.Map(kParameters, 0x400);
    ProcessParameters64 parameters = {};
    parameters.maximumLength = parameters.length = 0x400;
    parameters.commandLine = counted;
    f_.memory.Put(kParameters, parameters);
    f_.memory.Map(kCommandLineText, text.size() * 2 + 2);
    f_.memory.PutText(kCommandLineText, text);
  }
  void SetCommandLine(const std::u16string& text) { SetCommandLine(text, Counted(text, kCommandLineText)); }

  // Class 60 answers `text` with a well-formed header.
  void AnswerClass60(const std::u16string& text) {
    f_.commandLine.status = kSuccess;
    f_.commandLine.text = text;
    f_.commandLine.length = static_cast<uint16_t>(text.size() * 2);
    f_.commandLine.maximum = static_cast<uint16_t>(text.size() * 2 + 2);
  }

  static uint64_t Entry(size_t i) { return kEntries + i * kEntrySize; }

  // The load-order list of `modules`, in order, ending at its head.
  void SetModules(const std::vector<FakeModule>& modules) {
    f_.memory.Map(kLoader, 0x58);
    PebLdrData64 loader = {};
    loader.length = 0x58;
    loader.initialized = 1;
    loader.inLoadOrderModuleList.flink = modules.empty() ? kLoadOrderHead : Entry(0);
    loader.inLoadOrderModuleList.blink = modules.empty() ? kLoadOrderHead : Entry(modules.size() - 1);
    f_.memory.Put(kLoader, loader);
    for (size_t i = 0; i < modules.size(); ++i) {
      f_.memory.Map(Entry(i), kEntrySize);
      LdrDataTableEntry64 entry = {};
      entry.inLoadOrderLinks.flink = i + 1 < modules.size() ? Entry(i + 1) : kLoadOrderHead;
      entry.inLoadOrderLinks.blink = i > 0 ? Entry(i - 1) : kLoadOrderHead;
      entry.dllBase = 0x7FF800000000ull + i * 0x100000;
      entry.fullDllName = Counted(modules[i].full, Entry(i) + kFullNameAt);
      entry.baseDllName = Counted(modules[i].base, Entry(i) + kBaseNameAt);
      f_.memory.Put(Entry(i), entry);
      f_.memory.PutText(Entry(i) + kFullNameAt, modules[i].full);
      f_.memory.PutText(Entry(i) + kBaseNameAt, modules[i].base);
    }
  }
  void SetNext(size_t i, uint64_t next) {
    f_.memory.Put(Entry(i) + offsetof(LdrDataTableEntry64, inLoadOrderLinks), next);
  }

  static std::vector<FakeModule> Modules(size_t count) {
    std::vector<FakeModule> modules;
    for (size_t i = 0; i < count; ++i) {
      const std::u16string letter(1, static_cast<char16_t>(u'a' + i % 26));
      const std::u16string base = i == 0 ? u"app.exe" : u"m" + letter + u".dll";
      modules.push_back({u"C:\\Program Files\\App\\" + base, base});
    }
    return modules;
  }

  // The routes' answers; `commandLine` starts as "keep" to show a failure
  // leaves it alone.
  bool CommandLine(std::u16string* commandLine) {
    *commandLine = u"keep";
    return wow64::CommandLine(f_.process, commandLine);
  }
  bool ListModules(size_t limit, std::vector<ModuleEntry>* modules) {
    modules->clear();
    return wow64::ListModules(f_.process, limit, modules);
  }

  FakeNtdll f_;
};

// ---- ProcessCommandLineInformation ------------------------------------------

TEST_F(NativeRoutes, CommandLineComesFromClass60InThisBuildsLayout) {
  const std::u16string text = u"\"C:\\Program Files\\App\\app.exe\" --port 80";
  AnswerClass60(text);
  std::u16string commandLine;
  ASSERT_TRUE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, text);
  EXPECT_EQ(f_.commandLineSizes.size(), 1u);
  // The environment block is not read when class 60 answers.
  EXPECT_EQ(f_.basic64Calls, 0);
  EXPECT_EQ(f_.reads, 0);
}

TEST_F(NativeRoutes, Class60GrowsItsBufferToTheSizeItNames) {
  const std::u16string text = u"app.exe " + std::u16string(5000, u'x');
  for (const LONG tooSmall : {kInfoLengthMismatch, kBufferTooSmall}) {
    AnswerClass60(text);
    f_.commandLine.tooSmallStatus = tooSmall;
    f_.commandLineSizes.clear();
    std::u16string commandLine;
    ASSERT_TRUE(CommandLine(&commandLine)) << std::hex << tooSmall;
    EXPECT_EQ(commandLine, text);
    ASSERT_EQ(f_.commandLineSizes.size(), 2u);
    EXPECT_GE(f_.commandLineSizes[1], sizeof(NativeCountedString) + text.size() * 2 + 2);
  }
}

TEST_F(NativeRoutes, Class60ClaimingMoreThanTheLongestCommandLineIsNotGrantedIt) {
  AnswerClass60(u"app.exe " + std::u16string(3000, u'x'));
  f_.commandLine.claimedSize = 0x7FFFFFF0;
  f_.wow64Query = false;
  std::u16string commandLine;
  EXPECT_FALSE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, u"keep");
  EXPECT_EQ(f_.commandLineSizes.size(), 1u);
}

TEST_F(NativeRoutes, Class60AnswersThatAreNoStringAreRefused) {
  // Without the environment block route, a refused answer is the end.
  f_.wow64Query = false;
  const std::u16string text = u"app.exe --secret";
  std::u16string commandLine;

  // A length beyond the maximum.
  AnswerClass60(text);
  f_.commandLine.maximum = static_cast<uint16_t>(text.size() * 2 - 2);
  EXPECT_FALSE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, u"keep");

  // A text that is not in the answer: no buffer, another buffer, the
  // header itself.
  for (const auto where : {CommandLineAnswer::Buffer::kNull, CommandLineAnswer::Buffer::kOutside,
                           CommandLineAnswer::Buffer::kAtHeader}) {
    AnswerClass60(text);
    f_.commandLine.buffer = where;
    EXPECT_FALSE(CommandLine(&commandLine)) << static_cast<int>(where);
    EXPECT_EQ(commandLine, u"keep");
  }
}

TEST_F(NativeRoutes, Class60OddAndEmptyLengths) {
  std::u16string commandLine;
  // An odd byte count: its last byte is no unit.
  AnswerClass60(u"abcd");
  f_.commandLine.length = 7;
  ASSERT_TRUE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, u"abc");
  // An empty command line, with no buffer at all.
  AnswerClass60(u"");
  f_.commandLine.buffer = CommandLineAnswer::Buffer::kNull;
  ASSERT_TRUE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, u"");
}

// ---- The 64-bit environment block ------------------------------------------

TEST_F(NativeRoutes, CommandLineFromTheEnvironmentBlockWhereClass60IsMissingOrRefused) {
  const std::u16string text = u"C:\\App\\app.exe /service";
  SetCommandLine(text);
  std::u16string commandLine;
  // Before Windows 8.1 (no class 60), a refusal, and no NtQueryInformationProcess.
  for (int round = 0; round < 3; ++round) {
    f_.commandLine.status = round == 0 ? kInvalidInfoClass : kAccessDenied;
    f_.queryInformation = round != 2;
    ASSERT_TRUE(CommandLine(&commandLine)) << round;
    EXPECT_EQ(commandLine, text);
  }
  EXPECT_EQ(f_.basic64Calls, 3);
}

TEST_F(NativeRoutes, EnvironmentBlockFailuresLeaveTheCommandLineUnread) {
  const std::u16string text = u"app.exe --token=abc";
  std::u16string commandLine;
  const auto unread = [&](const char* why) {
    EXPECT_FALSE(CommandLine(&commandLine)) << why;
    EXPECT_EQ(commandLine, u"keep") << why;
    Reset();
    SetCommandLine(text);
  };
  SetCommandLine(text);
  ASSERT_TRUE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, text);

  f_.wow64Query = false;
  unread("no NtWow64QueryInformationProcess64");
  f_.wow64Read = false;
  unread("no NtWow64ReadVirtualMemory64");
  f_.basic64Status = kAccessDenied;
  unread("basic information refused");
  f_.basic64.pebBaseAddress = 0;
  unread("no environment block");
  f_.readStatus = kAccessDenied;
  unread("reading refused");
  f_.memory.Put(kPeb + offsetof(Peb64, processParameters), uint64_t{0});
  unread("no process parameters");
  // Process parameters that end inside the command line's counted string.
  const auto cutParameters = [&] {
    ProcessParameters64 parameters = {};
    f_.memory.Read(kParameters, &parameters, sizeof parameters);
    f_.memory.Map(kParameters, offsetof(ProcessParameters64, commandLine) + 8);
    f_.memory.Write(kParameters, &parameters, offsetof(ProcessParameters64, commandLine) + 8);
  };
  cutParameters();
  unread("process parameters cut short");
  cutParameters();
  f_.shortReadsSucceed = true;
  unread("a short read reported as success");
  SetCommandLine(text, Counted(text, 0));
  unread("no buffer");
  UnicodeString64 beyond = Counted(text, kCommandLineText);
  beyond.maximumLength = static_cast<uint16_t>(beyond.length - 2);
  SetCommandLine(text, beyond);
  unread("length beyond the maximum");
  f_.memory.Map(kCommandLineText, text.size());  // half of the text
  f_.memory.PutText(kCommandLineText, text.substr(0, text.size() / 2));
  unread("text cut short");
  f_.memory.Map(kCommandLineText, text.size());
  f_.memory.PutText(kCommandLineText, text.substr(0, text.size() / 2));
  f_.shortReadsSucceed = true;
  unread("text cut short, reported as success");
}

TEST_F(NativeRoutes, EnvironmentBlockOddEmptyAndLongestCommandLines) {
  std::u16string commandLine;
  UnicodeString64 odd = Counted(u"abcd", kCommandLineText);
  odd.length = 7;
  SetCommandLine(u"abcd", odd);
  ASSERT_TRUE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, u"abc");

  SetCommandLine(u"", Counted(u"", 0));
  ASSERT_TRUE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, u"");

  // The longest a counted string can hold: 32767 units.
  const std::u16string longest = u"a.exe" + std::u16string(32762, u'y');
  UnicodeString64 counted = Counted(longest, kCommandLineText);
  counted.maximumLength = 0xFFFE;
  SetCommandLine(longest, counted);
  ASSERT_TRUE(CommandLine(&commandLine));
  EXPECT_EQ(commandLine, longest);
}

// ---- The 64-bit loader list --------------------------------------------------

TEST_F(NativeRoutes, ModulesInLoadOrderTheImageFirst) {
  SetModules({{u"C:\\App\\app.exe", u"app.exe"},
              {u"C:\\Windows\\System32\\ntdll.dll", u"ntdll.dll"},
              {u"C:\\Windows\\System32\\KERNEL32.DLL", u"KERNEL32.DLL"}});
  std::vector<ModuleEntry> modules;
  ASSERT_TRUE(ListModules(1024, &modules));
  ASSERT_EQ(modules.size(), 3u);
  EXPECT_EQ(modules[0].baseName, u"app.exe");
  EXPECT_EQ(modules[0].fullPath, u"C:\\App\\app.exe");
  EXPECT_EQ(modules[1].baseName, u"ntdll.dll");
  EXPECT_EQ(modules[2].fullPath, u"C:\\Windows\\System32\\KERNEL32.DLL");
  ASSERT_TRUE(ListModules(2, &modules));
  EXPECT_EQ(modules.size(), 2u);
  EXPECT_FALSE(ListModules(0, &modules));
}

TEST_F(NativeRoutes, MoreModulesThanTheLimit) {
  const std::vector<FakeModule> all = Modules(1100);
  SetModules(all);
  std::vector<ModuleEntry> modules;
  ASSERT_TRUE(ListModules(1024, &modules));
  ASSERT_EQ(modules.size(), 1024u);
  EXPECT_EQ(modules[0].baseName, u"app.exe");
  EXPECT_EQ(modules[1023].fullPath, all[1023].full);
}

TEST_F(NativeRoutes, ALoaderListThatLoopsEndsAtTheFirstEntrySeenAgain) {
  SetModules(Modules(4));
  SetNext(3, Entry(1));  // the fourth leads back to the second
  std::vector<ModuleEntry> modules;
  ASSERT_TRUE(ListModules(1024, &modules));
  ASSERT_EQ(modules.size(), 4u);
  EXPECT_EQ(modules[3].baseName, Modules(4)[3].base);

  SetNext(0, Entry(0));  // the first leads to itself
  ASSERT_TRUE(ListModules(1024, &modules));
  ASSERT_EQ(modules.size(), 1u);
  EXPECT_EQ(modules[0].baseName, u"app.exe");
}

TEST_F(NativeRoutes, ALoaderListThatEndsEarlyGivesWhatWasRead) {
  SetModules(Modules(4));
  SetNext(1, 0);  // no next link
  std::vector<ModuleEntry> modules;
  ASSERT_TRUE(ListModules(1024, &modules));
  EXPECT_EQ(modules.size(), 2u);

  SetModules(Modules(4));
  f_.memory.Unmap(Entry(2));  // the third cannot be read
  ASSERT_TRUE(ListModules(1024, &modules));
  EXPECT_EQ(modules.size(), 2u);

  SetModules(Modules(4));
  f_.memory.Unmap(Entry(0));  // not even the first
  EXPECT_FALSE(ListModules(1024, &modules));
}

TEST_F(NativeRoutes, ModuleNamesThatCannotBeReadStayEmpty) {
  const std::vector<FakeModule> all = Modules(3);
  SetModules(all);
  UnicodeString64 beyond = Counted(all[0].base, Entry(0) + kBaseNameAt);
  beyond.maximumLength = static_cast<uint16_t>(beyond.length - 2);
  f_.memory.Put(Entry(0) + offsetof(LdrDataTableEntry64, baseDllName), beyond);
  f_.memory.Put(Entry(1) + offsetof(LdrDataTableEntry64, fullDllName), Counted(all[1].full, 0));
  UnicodeString64 unmapped = Counted(all[2].base, 0x300000000ull);
  f_.memory.Put(Entry(2) + offsetof(LdrDataTableEntry64, baseDllName), unmapped);
  std::vector<ModuleEntry> modules;
  ASSERT_TRUE(ListModules(1024, &modules));
  ASSERT_EQ(modules.size(), 3u);
  EXPECT_EQ(modules[0].baseName, u"");
  EXPECT_EQ(modules[0].fullPath, all[0].full);
  EXPECT_EQ(modules[1].fullPath, u"");
  EXPECT_EQ(modules[1].baseName, all[1].base);
  EXPECT_EQ(modules[2].baseName, u"");
  EXPECT_EQ(modules[2].fullPath, all[2].full);
}

TEST_F(NativeRoutes, AnUnreachableLoaderListGivesNothing) {
  std::vector<ModuleEntry> modules;
  SetModules({});
  EXPECT_FALSE(ListModules(1024, &modules));  // empty: the head leads to itself
  SetModules(Modules(2));
  f_.memory.Put(kPeb + offsetof(Peb64, ldr), uint64_t{0});
  EXPECT_FALSE(ListModules(1024, &modules));  // no loader data
  Reset();
  SetModules(Modules(2));
  f_.wow64Read = false;
  EXPECT_FALSE(ListModules(1024, &modules));
  f_.wow64Read = true;
  f_.wow64Query = false;
  EXPECT_FALSE(ListModules(1024, &modules));
  EXPECT_TRUE(modules.empty());
}

// ---- The parent id -------------------------------------------------------------

TEST_F(NativeRoutes, ParentFromThe64BitBasicInformation) {
  uint32_t parent = 7;
  ASSERT_TRUE(wow64::ParentId(f_.process, &parent));
  EXPECT_EQ(parent, kParent);
  f_.basic64Status = kAccessDenied;
  parent = 7;
  EXPECT_FALSE(wow64::ParentId(f_.process, &parent));
  EXPECT_EQ(parent, 7u);
  f_.basic64Status = kSuccess;
  f_.wow64Query = false;
  EXPECT_FALSE(wow64::ParentId(f_.process, &parent));
  EXPECT_EQ(parent, 7u);
}

// ---- Through the backend, as the 32-bit build on 64-bit Windows -----------------

TEST_F(NativeRoutes, TheBackendTakesTheRoutesForAProcessOfTheOtherWordSize) {
  if (sizeof(void*) == 8) GTEST_SKIP() << "only the 32-bit build sees processes of the other word size";
  // A real handle (to this process), so that its times can be read; the
  // scripted services answer for it.
  HANDLE duplicate = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &duplicate, 0,
                              FALSE, DUPLICATE_SAME_ACCESS));
  platform::Win32Process process(GetCurrentProcessId(), platform::UniqueHandle(duplicate));
  f_.process = duplicate;
  ASSERT_TRUE(wow64::IsOtherWordSize(duplicate));
  platform::Win32Platform backend;
  const std::u16string text = u"C:\\App\\app.exe -x";
  AnswerClass60(text);
  std::u16string commandLine;
  ASSERT_TRUE(backend.CommandLine(process, &commandLine));
  EXPECT_EQ(commandLine, text);
  SetModules(Modules(3));
  std::vector<ModuleEntry> modules;
  ASSERT_TRUE(backend.ListModules(process, 1024, &modules));
  EXPECT_EQ(modules.size(), 3u);
  uint32_t parent = 0;
  uint64_t created = 0;
  ASSERT_TRUE(backend.QueryParent(process, &parent, &created));
  EXPECT_EQ(parent, kParent);
  EXPECT_NE(created, 0u);
}

}  // namespace
}  // namespace kelvane
