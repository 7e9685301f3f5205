// Processes of both word sizes. The 64-bit loader layouts are checked on a
// live 64-bit process from the 64-bit build; the processes of the other
// word size are sleepers of the other build (KELVANE_OTHER_SLEEPER, set by
// scripts/windows/run-suites), listed, re-prioritised and stopped from this
// one, through the backend and through the library's entry point.
#include <gtest/gtest.h>

#include "platform/win32/wow64_win32.h"

#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/win32/nt_layout.h"
#include "support/test_support.h"
#include "platform/win32/win_test_util.h"

namespace kelvane {
namespace {

using platform::ModuleEntry;
using platform::Win32Process;
using wintest::Sleeper;
using wintest::SleeperTree;
using wintest::U16;

platform::Platform* P() { return platform::Default(); }

std::u16string Lower(std::u16string text) {
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text;
}

constexpr bool k64BitBuild = sizeof(void*) == 8;

bool RunningUnderWow64() {
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

HANDLE HandleOf(platform::ProcessHandle& process) {
  return static_cast<Win32Process&>(process).handle();
}

TEST(WordSize, ProcessesOfThisBuildsWordSizeKeepTheirPath) {
  EXPECT_FALSE(platform::wow64::IsOtherWordSize(GetCurrentProcess()));
  SleeperTree tree(0, 0);
  ASSERT_TRUE(tree.WaitForMembers(1));
  auto process = P()->OpenProcess(tree.root().pid(), platform::kAccessQuery);
  ASSERT_NE(process, nullptr);
  EXPECT_FALSE(platform::wow64::IsOtherWordSize(HandleOf(*process)));
  // QueryFullProcessImageNameW names the same image as the process-status
  // library does.
  std::u16string viaImageName;
  std::u16string viaModules;
  ASSERT_TRUE(platform::wow64::ImagePath(HandleOf(*process), &viaImageName));
  ASSERT_TRUE(P()->ImageFullPath(*process, &viaModules));
  EXPECT_EQ(Lower(viaImageName), Lower(viaModules));
  EXPECT_EQ(Lower(platform::wow64::BaseName(viaImageName)), u"kelvane_sleeper.exe");
  EXPECT_EQ(platform::wow64::BaseName(u"plain"), u"plain");
}

TEST(WordSize, The64BitLoaderLayoutsOnALiveProcess) {
  if (!k64BitBuild) GTEST_SKIP() << "the 64-bit build reads these layouts with ReadProcessMemory";
  SleeperTree tree(0, 0, L"--note layouts");
  ASSERT_TRUE(tree.WaitForMembers(1));
  auto process = P()->OpenProcess(tree.root().pid(), platform::kAccessQuery);
  ASSERT_NE(process, nullptr);
  const HANDLE handle = HandleOf(*process);
  unsigned char basic[64] = {};
  ASSERT_TRUE(platform::QueryBasicInformation(handle, basic));
  const uint64_t peb = platform::nt::ReadWord(basic, platform::nt::kLayout.basicPebAddress);
  size_t reads = 0;
  const platform::wow64::MemoryReader read = [&](uint64_t address, void* buffer, size_t size) {
    ++reads;
    SIZE_T done = 0;
    return ReadProcessMemory(handle, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)),
                             buffer, size, &done) &&
           done == size;
  };
  std::u16string commandLine;
  ASSERT_TRUE(platform::wow64::ReadCommandLine64(read, peb, &commandLine));
  EXPECT_EQ(commandLine, U16(tree.root().commandLine()));

  std::vector<ModuleEntry> fromLoader;
  ASSERT_TRUE(platform::wow64::ReadLoaderList64(read, peb, 1024, &fromLoader));
  std::vector<ModuleEntry> fromStatus;
  ASSERT_TRUE(P()->ListModules(*process, 1024, &fromStatus));
  ASSERT_EQ(fromLoader.size(), fromStatus.size());
  for (size_t i = 0; i < fromLoader.size(); ++i) {
    EXPECT_EQ(Lower(fromLoader[i].baseName), Lower(fromStatus[i].baseName)) << i;
    EXPECT_EQ(Lower(fromLoader[i].fullPath), Lower(fromStatus[i].fullPath)) << i;
  }
  EXPECT_EQ(Lower(fromLoader[0].baseName), u"kelvane_sleeper.exe");

  // The limit holds; a reader that fails yields nothing.
  std::vector<ModuleEntry> two;
  ASSERT_TRUE(platform::wow64::ReadLoaderList64(read, peb, 2, &two));
  EXPECT_EQ(two.size(), 2u);
  const platform::wow64::MemoryReader failing = [](uint64_t, void*, size_t) { return false; };
  EXPECT_FALSE(platform::wow64::ReadLoaderList64(failing, peb, 1024, &two));
  EXPECT_FALSE(platform::wow64::ReadCommandLine64(failing, peb, &commandLine));
  EXPECT_EQ(two.size(), 2u);
}

// ---- A sleeper of the other word size --------------------------------------

class OtherWordSize : public ::testing::Test {
 protected:
  void SetUp() override {
    program_ = wintest::OtherSleeper();
    if (program_.empty()) {
      GTEST_SKIP() << "KELVANE_OTHER_SLEEPER is not set (scripts/windows/run-suites sets it)";
    }
  }
  std::wstring program_;
};

TEST_F(OtherWordSize, ImageCommandLineAndModules) {
  SleeperTree tree(0, 0, L"--note other", program_);
  ASSERT_TRUE(tree.WaitForMembers(1));
  const Sleeper& sleeper = tree.root();
  auto process = P()->OpenProcess(sleeper.pid(), platform::kAccessQuery);
  ASSERT_NE(process, nullptr);
  // Only the 32-bit build on a 64-bit system sees the other word size as
  // such; the 64-bit build reads 32-bit processes on its usual path.
  EXPECT_EQ(platform::wow64::IsOtherWordSize(HandleOf(*process)), !k64BitBuild && RunningUnderWow64());

  std::u16string name;
  ASSERT_TRUE(P()->ImageBaseName(*process, &name));
  EXPECT_EQ(Lower(name), u"kelvane_sleeper.exe");
  std::u16string path;
  ASSERT_TRUE(P()->ImageFullPath(*process, &path));
  EXPECT_EQ(Lower(path), Lower(U16(program_)));

  // Windows 8.1 and later, or the WOW64 services, give the command line;
  // Wine offers neither route to a 32-bit reader, and then it is unknown.
  std::u16string commandLine;
  if (P()->CommandLine(*process, &commandLine)) {
    EXPECT_EQ(commandLine, U16(sleeper.commandLine()));
  } else {
    EXPECT_FALSE(k64BitBuild);
  }

  std::vector<ModuleEntry> modules;
  ASSERT_TRUE(P()->ListModules(*process, 1024, &modules));
  ASSERT_GE(modules.size(), 1u);
  EXPECT_EQ(Lower(modules[0].baseName), u"kelvane_sleeper.exe");
  EXPECT_EQ(Lower(modules[0].fullPath), Lower(path));
  std::vector<ModuleEntry> one;
  ASSERT_TRUE(P()->ListModules(*process, 1, &one));
  EXPECT_EQ(one.size(), 1u);

  int64_t workingSet = 0;
  EXPECT_TRUE(P()->WorkingSetSize(*process, &workingSet));
  EXPECT_GT(workingSet, 0);
}

TEST_F(OtherWordSize, PriorityParentAndStop) {
  SleeperTree tree(0, 0, L"", program_);
  ASSERT_TRUE(tree.WaitForMembers(1));
  const Sleeper& sleeper = tree.root();
  auto setter = P()->OpenProcess(sleeper.pid(), platform::kAccessSetPriority);
  ASSERT_NE(setter, nullptr);
  ASSERT_TRUE(P()->SetPriorityClass(*setter, 16384));
  auto reader = P()->OpenProcess(sleeper.pid(), platform::kAccessQuery);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(P()->GetPriorityClass(*reader), 16384u);

  uint32_t parent = 0;
  uint64_t created = 0;
  ASSERT_TRUE(P()->QueryParent(*reader, &parent, &created));
  EXPECT_EQ(parent, GetCurrentProcessId());
  EXPECT_NE(created, 0u);

  auto stopper = P()->OpenProcess(sleeper.pid(), platform::kAccessTerminate);
  ASSERT_NE(stopper, nullptr);
  ASSERT_TRUE(P()->TerminateProcess(*stopper, 0));
  EXPECT_TRUE(sleeper.WaitForExit(10000));
}

TEST(WordSizeAccess, OpenPassesTheAccessThrough) {
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.started());
  // Limited query (0x1000): enough to date the process, not to stop it.
  auto limited = P()->OpenProcess(sleeper.pid(), 0x1000);
  ASSERT_NE(limited, nullptr);
  uint32_t parent = 0;
  uint64_t created = 0;
  EXPECT_TRUE(P()->QueryParent(*limited, &parent, &created));
  EXPECT_EQ(parent, GetCurrentProcessId());
  EXPECT_FALSE(P()->TerminateProcess(*limited, 0));
  EXPECT_FALSE(sleeper.WaitForExit(200));
}

// ---- Through the library's entry point -------------------------------------

typedef int (*RemoteInvokeFn)(const wchar_t*, const wchar_t*);

class OtherWordSizeE2E : public OtherWordSize {
 protected:
  void SetUp() override {
    OtherWordSize::SetUp();
    if (IsSkipped()) return;
    library_ = LoadLibraryW((wintest::ProgramDirectory() + L"\\..\\..\\kelvane.dll").c_str());
    ASSERT_NE(library_, nullptr);
    invoke_ = reinterpret_cast<RemoteInvokeFn>(
        reinterpret_cast<void*>(GetProcAddress(library_, "ZEV_RemoteInvoke")));
    ASSERT_NE(invoke_, nullptr);
  }
  void TearDown() override {
    if (library_ != nullptr) FreeLibrary(library_);
  }
  int Invoke(const std::string& request, std::string* response) {
    testing::WriteBytes(dir_.File("request.xml"), request);
    const std::wstring in = wintest::WinPath(dir_, "request.xml");
    const std::wstring out = wintest::WinPath(dir_, "response.xml");
    DeleteFileW(out.c_str());
    const int code = invoke_(in.c_str(), out.c_str());
    *response = testing::ReadUtf16File(dir_.File("response.xml"));
    return code;
  }
  static std::string Request(const char* command, uint32_t pid, const char* extra = "") {
    return std::string("<R name=\"") + command + "\"><procid PID=\"" + std::to_string(pid) + "\"" +
           extra + "/></R>";
  }

  HMODULE library_ = nullptr;
  RemoteInvokeFn invoke_ = nullptr;
  testing::TempDir dir_;
};

TEST_F(OtherWordSizeE2E, ListedWithItsImageAsFirstModule) {
  SleeperTree tree(0, 0, L"", program_);
  ASSERT_TRUE(tree.WaitForMembers(1));
  const uint32_t pid = tree.root().pid();
  std::string response;
  ASSERT_EQ(Invoke("<R name=\"ZEV_GetProcessList_KLV\"/>", &response), 0);
  const std::string key = "<ProcessItem name=\"kelvane_sleeper.exe\" PID=\"" + std::to_string(pid) + "\"";
  const size_t item = response.find(key);
  ASSERT_NE(item, std::string::npos) << response.substr(0, 3000);
  const size_t module = response.find("<ModuleItem ", item);
  ASSERT_NE(module, std::string::npos);
  const std::string image = "<ModuleItem name=\"kelvane_sleeper.exe\" ";
  EXPECT_EQ(response.compare(module, image.size(), image), 0) << response.substr(module, 200);

  ASSERT_EQ(Invoke(Request("ZEV_GetProcessModule_KLV", pid), &response), 0) << response;
  EXPECT_NE(response.find("<ProcessItem PID=\"" + std::to_string(pid) + "\">\r\n"
                          "<ModuleItem name=\"kelvane_sleeper.exe\""),
            std::string::npos)
      << response;
}

TEST_F(OtherWordSizeE2E, PriorityStopAndTreeStop) {
  SleeperTree tree(1, 1, L"", program_);
  ASSERT_TRUE(tree.WaitForMembers(4));
  const uint32_t root = tree.root().pid();
  std::string response;
  ASSERT_EQ(Invoke(Request("ZEV_SetProcessPriority_KLV", root, " priority=\"64\""), &response), 0)
      << response;
  EXPECT_EQ(GetPriorityClass(tree.root().process()), static_cast<DWORD>(IDLE_PRIORITY_CLASS));

  ASSERT_EQ(Invoke(Request("ZEV_StopProcessTree_KLV", root), &response), 0) << response;
  EXPECT_TRUE(tree.root().WaitForExit(10000));
  tree.WaitWhileRunningAtDepth(1);
  uint32_t grandchild = 0;
  for (const auto& member : tree.Members()) {
    if (member.second == 1) {
      EXPECT_FALSE(wintest::IsRunning(member.first)) << member.first;
    }
    if (member.second == 2) {
      EXPECT_TRUE(wintest::IsRunning(member.first)) << member.first;
      grandchild = member.first;
    }
  }
  // A single stop of a process of the other word size (one of this test's
  // tree: its job ends the rest).
  ASSERT_NE(grandchild, 0u);
  ASSERT_EQ(Invoke(Request("ZEV_StopProcess_KLV", grandchild), &response), 0) << response;
  for (int i = 0; i < 100 && wintest::IsRunning(grandchild); ++i) Sleep(100);
  EXPECT_FALSE(wintest::IsRunning(grandchild));
}

}  // namespace
}  // namespace kelvane
