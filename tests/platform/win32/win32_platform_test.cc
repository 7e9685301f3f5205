// The Windows backend against the real Win32 services. Every process that a
// test stops or re-prioritises is a kelvane_sleeper the test started itself.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/platform.h"
#include "plugin/message_table.h"
#include "support/test_support.h"
#include "platform/win32/win_test_util.h"

namespace kelvane {
namespace {

using platform::ModuleEntry;
using platform::Platform;
using platform::UserLookup;
using wintest::Sleeper;
using wintest::SleeperTree;
using wintest::U16;
using wintest::W;

Platform* P() { return platform::Default(); }

std::u16string Lower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

bool EndsWith(const std::u16string& text, const std::u16string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::u16string TempFile(const testing::TempDir& dir, const std::string& name) {
  return U16(wintest::WinPath(dir, name));
}

// ---- Library, configuration, files ----------------------------------------

TEST(Win32System, LibraryFilePathAcceptsAnAddressOrTheModuleHandle) {
  const std::u16string fromAddress = P()->LibraryFilePath(reinterpret_cast<const void*>(&P));
  wchar_t own[MAX_PATH + 1] = {};
  GetModuleFileNameW(nullptr, own, MAX_PATH + 1);
  EXPECT_EQ(fromAddress, U16(own));
  EXPECT_EQ(P()->LibraryFilePath(GetModuleHandleW(nullptr)), U16(own));
  EXPECT_EQ(P()->LibraryFilePath(nullptr), u"");
  EXPECT_EQ(P()->PathSeparator(), u'\\');
}

// What the system's own profile reader gives for the same question.
std::u16string SystemProfileString(const std::u16string& section, const std::u16string& key,
                                   const std::u16string& fallback, const std::u16string& path) {
  wchar_t buffer[1024] = {};
  const std::wstring wideSection(section.begin(), section.end());
  const std::wstring wideKey(key.begin(), key.end());
  const std::wstring wideFallback(fallback.begin(), fallback.end());
  const std::wstring widePath(path.begin(), path.end());
  DWORD length = GetPrivateProfileStringW(wideSection.c_str(), wideKey.c_str(), wideFallback.c_str(), buffer,
                                          1024, widePath.c_str());
  if (length >= 1024) length = 1023;
  return std::u16string(buffer, buffer + length);
}

// The library's reader of the message table, on what the system's reader
// is documented to give.
TEST(Win32System, ProfileStringsFollowThePlatformReader) {
  testing::TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  // UTF-16 with byte-order mark, as an edited message table may be stored.
  testing::WriteBytes(dir.File("t.ini"),
                      testing::Utf16LeBytes("[Kelvane]\r\nGetSuccessed =  \"done \"  \r\n"
                                            "Wide=\xE5\x88\x97\xE8\xA1\xA8\r\n",
                                            true));
  const std::u16string ini = TempFile(dir, "t.ini");
  EXPECT_EQ(ReadProfileString(u"kelvane", u"getsuccessed", u"x", ini), u"done ");
  EXPECT_EQ(ReadProfileString(u"Kelvane", u"Wide", u"x", ini), u"\u5217\u8868");
  EXPECT_EQ(ReadProfileString(u"Kelvane", u"Missing", u"Missing", ini), u"Missing");
  EXPECT_EQ(ReadProfileString(u"Kelvane", u"GetSuccessed", u"GetSuccessed", TempFile(dir, "absent.ini")),
            u"GetSuccessed");
  // An ANSI file (the code page's own bytes) reads as the system reads it.
  testing::WriteBytes(dir.File("a.ini"), "[Kelvane]\r\nGetFailed='not done'\r\nPlain=a\xE9z\r\n");
  const std::u16string ansi = TempFile(dir, "a.ini");
  for (const char16_t* key : {u"GetFailed", u"Plain", u"Missing"}) {
    EXPECT_EQ(ReadProfileString(u"Kelvane", key, u"x", ansi), SystemProfileString(u"Kelvane", key, u"x", ansi))
        << Utf16ToUtf8(key);
  }
  EXPECT_EQ(ReadProfileString(u"Kelvane", u"GetSuccessed", u"x", ini),
            SystemProfileString(u"Kelvane", u"GetSuccessed", u"x", ini));
}

TEST(Win32System, ProfileValuesAreCutAt1023Units) {
  testing::TempDir dir;
  testing::WriteBytes(dir.File("long.ini"), "[S]\r\nK=" + std::string(3000, 'a') + "\r\n");
  std::u16string value = ReadProfileString(u"S", u"K", u"", TempFile(dir, "long.ini"));
  EXPECT_EQ(value, std::u16string(1023, u'a'));
}

TEST(Win32System, ClockAndWindowsDirectory) {
  platform::LocalTime now = P()->Now();
  EXPECT_GE(now.year, 2000);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  std::u16string windows = P()->WindowsDirectory();
  ASSERT_FALSE(windows.empty());
  EXPECT_EQ(GetFileAttributesW(W(windows).c_str()) & FILE_ATTRIBUTE_DIRECTORY,
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(Win32Files, OutputFileWritesExactBytesAndReportsOpenFailures) {
  testing::TempDir dir;
  std::u16string error;
  {
    auto file = P()->CreateOutputFile(TempFile(dir, "out.bin"), &error);
    ASSERT_NE(file, nullptr);
    const char bytes[] = {'\xFF', '\xFE', '<', '\0', '\r', '\0', '\n', '\0'};
    EXPECT_EQ(file->Write(bytes, sizeof bytes), sizeof bytes);
    EXPECT_TRUE(file->Commit());
  }
  EXPECT_EQ(testing::ReadBytes(dir.File("out.bin")), std::string("\xFF\xFE<\0\r\0\n\0", 8));

  // Replaced whole on Commit, untouched without it; no temporary file stays.
  {
    auto file = P()->CreateOutputFile(TempFile(dir, "out.bin"), &error);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Write("x", 1), 1u);
  }
  EXPECT_EQ(testing::ReadBytes(dir.File("out.bin")), std::string("\xFF\xFE<\0\r\0\n\0", 8));
  {
    auto file = P()->CreateOutputFile(TempFile(dir, "out.bin"), &error);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(file->Commit());
  }
  EXPECT_EQ(testing::ReadBytes(dir.File("out.bin")), "");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(W(TempFile(dir, ".kelvane-*")).c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE);
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  // A directory at the path is refused.
  error.clear();
  EXPECT_EQ(P()->CreateOutputFile(TempFile(dir, ""), &error), nullptr);
  EXPECT_FALSE(error.empty());

  error.clear();
  EXPECT_EQ(P()->CreateOutputFile(TempFile(dir, "missing\\dir\\out.bin"), &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(testing::FileExists(dir.File("missing")));
  error.clear();
  EXPECT_EQ(P()->CreateOutputFile(u"", &error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST(Win32Files, FileSizeIsTheTrueSize) {
  testing::TempDir dir;
  testing::WriteBytes(dir.File("f.bin"), std::string(12345, 'x'));
  int64_t size = -1;
  ASSERT_TRUE(P()->FileSize(TempFile(dir, "f.bin"), &size));
  EXPECT_EQ(size, 12345);
  size = -1;
  EXPECT_FALSE(P()->FileSize(TempFile(dir, "none.bin"), &size));
  EXPECT_EQ(size, -1);
}

TEST(Win32Files, FileSizeBeyondFourGiBIsNotWrapped) {
  testing::TempDir dir;
  const std::u16string path = TempFile(dir, "sparse.bin");
  HANDLE file = CreateFileW(W(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD ignored = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER end;
  end.QuadPart = (int64_t{1} << 32) + 10;
  bool extended = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (!extended) GTEST_SKIP() << "cannot make a file beyond 4 GiB here";
  int64_t size = 0;
  ASSERT_TRUE(P()->FileSize(path, &size));
  EXPECT_EQ(size, (int64_t{1} << 32) + 10);
}

TEST(Win32Files, ModifyTimeIsLocalTime) {
  testing::TempDir dir;
  testing::WriteBytes(dir.File("m.txt"), "x");
  const std::u16string path = TempFile(dir, "m.txt");
  // 2009-07-20 10:15:00 local time.
  SYSTEMTIME local = {};
  local.wYear = 2009;
  local.wMonth = 7;
  local.wDay = 20;
  local.wHour = 10;
  local.wMinute = 15;
  FILETIME localFile, utcFile;
  ASSERT_TRUE(SystemTimeToFileTime(&local, &localFile));
  ASSERT_TRUE(LocalFileTimeToFileTime(&localFile, &utcFile));
  HANDLE file = CreateFileW(W(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &utcFile));
  CloseHandle(file);

  platform::LocalTime time;
  ASSERT_TRUE(P()->FileModifyTime(path, &time));
  EXPECT_EQ(time.year, 2009);
  EXPECT_EQ(time.month, 7);
  EXPECT_EQ(time.day, 20);
  EXPECT_EQ(time.hour, 10);
  EXPECT_EQ(time.minute, 15);
  EXPECT_EQ(time.second, 0);
  EXPECT_FALSE(P()->FileModifyTime(TempFile(dir, "none.txt"), &time));
}

TEST(Win32Files, VersionResourceOfASystemLibrary) {
  const std::u16string kernel32 = P()->WindowsDirectory() + u"\\system32\\kernel32.dll";
  std::vector<uint8_t> blob;
  ASSERT_TRUE(P()->LoadVersionResource(kernel32, &blob));
  std::vector<uint8_t> raw;
  std::u16string text;
  ASSERT_TRUE(P()->QueryVersionValue(blob, u"\\VarFileInfo\\Translation", &raw, &text));
  ASSERT_GE(raw.size(), 4u);
  char query[64];
  snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\FileVersion", raw[0] | (raw[1] << 8),
           raw[2] | (raw[3] << 8));
  ASSERT_TRUE(P()->QueryVersionValue(blob, Widen(query), &raw, &text));
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find(u'\0'), std::u16string::npos);
  EXPECT_FALSE(P()->QueryVersionValue(blob, u"\\StringFileInfo\\00000000\\Nothing", &raw, &text));

  // A file without a version resource.
  testing::TempDir dir;
  testing::WriteBytes(dir.File("plain.txt"), "no resource");
  EXPECT_FALSE(P()->LoadVersionResource(TempFile(dir, "plain.txt"), &blob));
}

// ---- Processes ------------------------------------------------------------

TEST(Win32Processes, ListingsHoldThisProcessAndTheSleeper) {
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.started());
  std::vector<uint32_t> snapshot;
  ASSERT_TRUE(P()->SnapshotProcessIds(&snapshot));
  std::vector<uint32_t> enumerated;
  ASSERT_TRUE(P()->EnumerateProcessIds(&enumerated));
  for (uint32_t pid : {static_cast<uint32_t>(GetCurrentProcessId()), sleeper.pid()}) {
    EXPECT_NE(std::find(snapshot.begin(), snapshot.end(), pid), snapshot.end()) << pid;
    EXPECT_NE(std::find(enumerated.begin(), enumerated.end(), pid), enumerated.end()) << pid;
  }
  EXPECT_TRUE(P()->IsSystemProcessId(4));
  EXPECT_TRUE(P()->IsSystemProcessId(8));
  EXPECT_FALSE(P()->IsSystemProcessId(0));
  EXPECT_FALSE(P()->IsSystemProcessId(GetCurrentProcessId()));
}

TEST(Win32Processes, OpenFailsForMissingProcesses) {
  EXPECT_EQ(P()->OpenProcess(0, platform::kAccessQuery), nullptr);
  EXPECT_EQ(P()->OpenProcess(0xFFFFFFF0u, platform::kAccessQuery), nullptr);
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.started());
  const uint32_t pid = sleeper.pid();
  TerminateProcess(sleeper.process(), 0);
  ASSERT_TRUE(sleeper.WaitForExit(10000));
  // The id of an ended process either names nothing or (still held open by
  // the test) an ended process whose queries fail.
  auto process = P()->OpenProcess(pid, platform::kAccessQuery);
  if (process != nullptr) {
    std::vector<ModuleEntry> modules;
    EXPECT_FALSE(P()->ListModules(*process, 1024, &modules));
  }
}

// A tree stop skips candidates that are gone or refuse it, and fails on any
// other reason; an id that names nothing must read as gone.
TEST(Win32Processes, OpenSaysWhyItGaveNoHandle) {
  platform::OpenFailure why = platform::OpenFailure::kOther;
  EXPECT_EQ(P()->OpenProcessOrWhy(0xFFFFFFF0u, platform::kAccessTerminate, &why), nullptr);
  EXPECT_EQ(why, platform::OpenFailure::kNoProcess);
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.started());
  why = platform::OpenFailure::kOther;
  EXPECT_NE(P()->OpenProcessOrWhy(sleeper.pid(), platform::kAccessTerminate, &why), nullptr);
  EXPECT_EQ(why, platform::OpenFailure::kNone);
}

TEST(Win32Processes, ImageFactsOfTheSleeper) {
  // Ready once it has reported: its modules are loaded by then.
  SleeperTree tree(0, 0);
  ASSERT_TRUE(tree.WaitForMembers(1));
  const Sleeper& sleeper = tree.root();
  auto process = P()->OpenProcess(sleeper.pid(), platform::kAccessQuery);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(process->pid(), sleeper.pid());

  std::u16string name;
  ASSERT_TRUE(P()->ImageBaseName(*process, &name));
  EXPECT_EQ(Lower(name), u"kelvane_sleeper.exe");
  std::u16string path;
  ASSERT_TRUE(P()->ImageFullPath(*process, &path));
  EXPECT_TRUE(EndsWith(Lower(path), u"\\kelvane_sleeper.exe")) << Utf16ToUtf8(path);

  std::u16string commandLine;
  ASSERT_TRUE(P()->CommandLine(*process, &commandLine));
  EXPECT_EQ(commandLine, U16(sleeper.commandLine()));

  int64_t workingSet = 0;
  ASSERT_TRUE(P()->WorkingSetSize(*process, &workingSet));
  EXPECT_GT(workingSet, 0);

  std::vector<ModuleEntry> modules;
  ASSERT_TRUE(P()->ListModules(*process, 1024, &modules));
  ASSERT_GE(modules.size(), 3u);
  EXPECT_EQ(Lower(modules[0].baseName), u"kelvane_sleeper.exe");
  EXPECT_EQ(Lower(modules[0].fullPath), Lower(path));
  std::set<std::u16string> names;
  for (const ModuleEntry& module : modules) names.insert(Lower(module.baseName));
  EXPECT_EQ(names.count(u"ntdll.dll"), 1u);
  EXPECT_EQ(names.count(u"kernel32.dll"), 1u);

  std::vector<ModuleEntry> first;
  ASSERT_TRUE(P()->ListModules(*process, 2, &first));
  EXPECT_EQ(first.size(), 2u);
}

TEST(Win32Processes, LongCommandLinesComeBackWhole) {
  const std::wstring padding(700, L'p');
  // Wait for its report: Wine fills in a new process's parameters only as it
  // starts running (Windows does before), and may show zeros until then.
  SleeperTree tree(0, 0, L"--note " + padding);
  ASSERT_TRUE(tree.WaitForMembers(1));
  const Sleeper& sleeper = tree.root();
  auto process = P()->OpenProcess(sleeper.pid(), platform::kAccessQuery);
  ASSERT_NE(process, nullptr);
  std::u16string commandLine;
  ASSERT_TRUE(P()->CommandLine(*process, &commandLine));
  EXPECT_EQ(commandLine, U16(sleeper.commandLine()));
  EXPECT_GT(commandLine.size(), 700u);
}

TEST(Win32Processes, CpuTimesCoverTheWholeSystem) {
  // Burn a little CPU so this process has time on record.
  volatile uint64_t sink = 0;
  for (uint64_t i = 0; i < 50000000; ++i) sink += i;
  int64_t own = -1;
  int64_t total = -1;
  ASSERT_TRUE(P()->CpuTimes(GetCurrentProcessId(), &own, &total));
  EXPECT_GT(own, 0);
  EXPECT_GE(total, own);
  int64_t none = -1;
  int64_t total2 = -1;
  ASSERT_TRUE(P()->CpuTimes(0xFFFFFFF0u, &none, &total2));
  EXPECT_EQ(none, 0);
  EXPECT_GE(total2, total);
}

TEST(Win32Processes, OwnerOfAProcess) {
  std::u16string name = u"preset";
  UserLookup own = P()->ProcessUserName(GetCurrentProcessId(), &name);
  // Wine lists processes but may not name their accounts; whatever it
  // offers must be one of the documented outcomes.
  if (own == UserLookup::kFound) {
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find(u'\\'), std::u16string::npos);
  } else {
    EXPECT_EQ(name, u"preset");
  }
  name = u"preset";
  UserLookup missing = P()->ProcessUserName(0xFFFFFFF0u, &name);
  if (missing != UserLookup::kTableUnavailable) {
    EXPECT_EQ(missing, UserLookup::kNotListed);
  }
  EXPECT_EQ(name, u"preset");
}

TEST(Win32Control, PriorityClassesAreSetAndReadBack) {
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.started());
  auto setter = P()->OpenProcess(sleeper.pid(), platform::kAccessSetPriority);
  ASSERT_NE(setter, nullptr);
  EXPECT_TRUE(P()->SetPriorityClass(*setter, 64));
  auto reader = P()->OpenProcess(sleeper.pid(), platform::kAccessQuery);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(P()->GetPriorityClass(*reader), 64u);
  EXPECT_TRUE(P()->SetPriorityClass(*setter, 16384));
  EXPECT_EQ(P()->GetPriorityClass(*reader), 16384u);
  // Not a priority class: refused, the class stays.
  EXPECT_FALSE(P()->SetPriorityClass(*setter, 0xFFFFFFFFu));
  EXPECT_FALSE(P()->SetPriorityClass(*setter, 65));
  EXPECT_EQ(P()->GetPriorityClass(*reader), 16384u);
}

TEST(Win32Control, ParentAndCreationTimeOfChildren) {
  wintest::SleeperTree tree(1, 1);
  ASSERT_TRUE(tree.root().started());
  ASSERT_TRUE(tree.WaitForMembers(4));
  const uint32_t root = tree.root().pid();
  auto rootHandle = P()->OpenProcess(root, platform::kAccessQuery);
  ASSERT_NE(rootHandle, nullptr);
  uint32_t parent = 0;
  uint64_t rootCreated = 0;
  ASSERT_TRUE(P()->QueryParent(*rootHandle, &parent, &rootCreated));
  EXPECT_EQ(parent, GetCurrentProcessId());

  int children = 0;
  for (const auto& member : tree.Members()) {
    if (member.second != 1) continue;
    ++children;
    auto child = P()->OpenProcess(member.first, platform::kAccessTerminate);
    ASSERT_NE(child, nullptr);
    uint64_t created = 0;
    ASSERT_TRUE(P()->QueryParent(*child, &parent, &created));
    EXPECT_EQ(parent, root);
    EXPECT_GE(created, rootCreated);
  }
  EXPECT_EQ(children, 2);
}

TEST(Win32Control, TerminateEndsOnlyTheOpenedProcess) {
  wintest::SleeperTree tree(1, 0);
  ASSERT_TRUE(tree.WaitForMembers(2));
  auto process = P()->OpenProcess(tree.root().pid(), platform::kAccessTerminate);
  ASSERT_NE(process, nullptr);
  ASSERT_TRUE(P()->TerminateProcess(*process, 0));
  ASSERT_TRUE(tree.root().WaitForExit(10000));
  DWORD code = 1;
  GetExitCodeProcess(tree.root().process(), &code);
  EXPECT_EQ(code, 0u);
  for (const auto& member : tree.Members()) {
    if (member.second == 1) {
      EXPECT_TRUE(wintest::IsRunning(member.first));
    }
  }
}

// ---- Privileges and OS version ---------------------------------------------

TEST(Win32System, DebugPrivilegeAndOsVersion) {
  auto token = P()->OpenOwnToken();
  ASSERT_NE(token, nullptr);
  uint64_t luid = 0;
  ASSERT_TRUE(P()->LookupPrivilege(u"SeDebugPrivilege", &luid));
  EXPECT_NE(luid, 0u);
  EXPECT_FALSE(P()->LookupPrivilege(u"SeNoSuchPrivilege", &luid));
  // Whether the account holds the privilege depends on the machine; the
  // call must answer either way without failing the token.
  P()->EnablePrivilege(*token, luid);

  platform::OsVersionFacts facts;
  ASSERT_TRUE(P()->QueryOsVersion(&facts));
  EXPECT_TRUE(facts.extendedInfo);
  EXPECT_EQ(facts.platformId, 2u);  // VER_PLATFORM_WIN32_NT
  EXPECT_GE(facts.major, 5u);
  EXPECT_GE(facts.productType, 1u);
  std::u16string productType;
  if (P()->ReadProductType(&productType)) {
    EXPECT_FALSE(productType.empty());
    EXPECT_EQ(productType.find(u'\0'), std::u16string::npos);
  }
}

}  // namespace
}  // namespace kelvane
