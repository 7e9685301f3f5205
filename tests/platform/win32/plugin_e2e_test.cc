// End to end on Windows: the built kelvane.dll, loaded as a host loads it,
// and kelvanectl.exe, acting on sleepers that the tests started themselves.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "platform/win32/win_test_util.h"

namespace kelvane {
namespace {

using wintest::Sleeper;
using wintest::SleeperTree;

typedef int (*RemoteInvokeFn)(const wchar_t*, const wchar_t*);
typedef unsigned long (*HostCallbackFn)(const wchar_t*, unsigned long long, unsigned long long,
                                        void*, const wchar_t*, unsigned long, int*);
typedef unsigned long (*TypedEntryFn)(void**, HostCallbackFn, unsigned long*, void*);
typedef unsigned long (*ReleaseFn)(void*);

#if defined(_WIN64)
#define KELVANE_TYPED_ARGS "PEAPEAXP6AKPEB_W_K2PEAX1KPEAH@ZPEAK3@Z"
#define KELVANE_RELEASE_ARGS "PEAX@Z"
#else
#define KELVANE_TYPED_ARGS "PAPAXP6AKPB_W_K2PAX1KPAH@ZPAK3@Z"
#define KELVANE_RELEASE_ARGS "PAX@Z"
#endif

// A missing process id: a multiple of four (Windows ignores the low two
// bits of an id) far above any id Windows or Wine hands out.
constexpr char kMissingPid[] = "999999996";

class PluginE2E : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ = LoadLibraryW((wintest::BuildRoot() + L"\\kelvane.dll").c_str());
    if (library_ != nullptr) {
      invoke_ = reinterpret_cast<RemoteInvokeFn>(
          reinterpret_cast<void*>(GetProcAddress(library_, "ZEV_RemoteInvoke")));
    }
  }
  static void TearDownTestSuite() {
    if (library_ != nullptr) FreeLibrary(library_);
    library_ = nullptr;
    invoke_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(library_, nullptr) << "kelvane.dll not loadable";
    ASSERT_NE(invoke_, nullptr);
    ASSERT_FALSE(dir_.path().empty());
  }

  std::wstring Path(const std::string& name) const { return wintest::WinPath(dir_, name); }

  // Runs one request (UTF-8 XML text); the response as UTF-8 in *response.
  int Invoke(const std::string& request, std::string* response) {
    testing::WriteBytes(dir_.File("request.xml"), request);
    DeleteFileW(Path("response.xml").c_str());
    int code = invoke_(Path("request.xml").c_str(), Path("response.xml").c_str());
    *response = testing::ReadUtf16File(dir_.File("response.xml"));
    return code;
  }

  static std::string Request(const std::string& command, const std::string& targets) {
    return "<R name=\"" + command + "\">" + targets + "</R>";
  }
  static std::string Target(uint32_t pid, const std::string& extra = "") {
    return "<procid PID=\"" + std::to_string(pid) + "\"" + extra + "/>";
  }

  static HMODULE library_;
  static RemoteInvokeFn invoke_;
  testing::TempDir dir_;
};

HMODULE PluginE2E::library_ = nullptr;
RemoteInvokeFn PluginE2E::invoke_ = nullptr;

// The line of `text` that contains `needle`; empty when there is none.
std::string LineWith(const std::string& text, const std::string& needle) {
  size_t at = text.find(needle);
  if (at == std::string::npos) return {};
  size_t start = text.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  size_t end = text.find("\r\n", at);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The response with its timestamps replaced by a fixed text.
std::string MaskTimes(std::string text) {
  const std::string key = "DateTime=\"";
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    size_t end = text.find('"', at + key.size());
    if (end == std::string::npos) break;
    text.replace(at + key.size(), end - at - key.size(), "T");
  }
  return text;
}

std::string XmlAttribute(const std::wstring& value) {
  std::string out;
  for (char c : Utf16ToUtf8(wintest::U16(value))) {
    if (c == '"') {
      out += "&quot;";
    } else if (c == '&') {
      out += "&amp;";
    } else {
      out += c;
    }
  }
  return out;
}

TEST_F(PluginE2E, ExportsAndTypedEntryPoints) {
  const char* const fffffff[] = {"?ZEV_GetProcessList_KLV@@YAK" KELVANE_TYPED_ARGS,
                                 "?ZEV_GetProcessModule_KLV@@YAK" KELVANE_TYPED_ARGS,
                                 "?ZEV_StopProcess_KLV@@YAK" KELVANE_TYPED_ARGS};
  const char* const zero[] = {"?ZEV_StopProcessTree_KLV@@YAK" KELVANE_TYPED_ARGS,
                              "?ZEV_SetProcessPriority_KLV@@YAK" KELVANE_TYPED_ARGS};
  for (const char* name : fffffff) {
    auto entry = reinterpret_cast<TypedEntryFn>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry(nullptr, nullptr, nullptr, nullptr), 0xFFFFFFFFul) << name;
  }
  for (const char* name : zero) {
    auto entry = reinterpret_cast<TypedEntryFn>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
    ASSERT_NE(entry, nullptr) << name;
    EXPECT_EQ(entry(nullptr, nullptr, nullptr, nullptr), 0ul) << name;
  }
  auto release = reinterpret_cast<ReleaseFn>(reinterpret_cast<void*>(
      GetProcAddress(library_, "?ZEV_ReleaseProcess_KLV@@YAK" KELVANE_RELEASE_ARGS)));
  ASSERT_NE(release, nullptr);
  EXPECT_EQ(release(nullptr), 0ul);
  // Nothing under the plain C++ names or with a stdcall decoration.
  EXPECT_EQ(GetProcAddress(library_, "_ZEV_RemoteInvoke"), nullptr);
  EXPECT_EQ(GetProcAddress(library_, "ZEV_RemoteInvoke@8"), nullptr);
  EXPECT_EQ(GetProcAddress(library_, "ZEV_StopProcess_KLV"), nullptr);

  EXPECT_EQ(invoke_(nullptr, Path("r.xml").c_str()), -1);
  EXPECT_EQ(invoke_(Path("q.xml").c_str(), nullptr), -1);
  EXPECT_FALSE(testing::FileExists(dir_.File("r.xml")));
}

TEST_F(PluginE2E, ResponseLayoutAndMessageTableBesideTheLibrary) {
  std::string response;
  EXPECT_EQ(Invoke(Request("ZEV_StopProcess_KLV", std::string("<procid PID=\"") + kMissingPid +
                                                      "\"/>"),
                   &response),
            1);
  // Texts from common\config\Resource.ini beside the DLL.
  EXPECT_EQ(MaskTimes(response),
            "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?>"
            "<ZEV_StopProcess_KLVResponse>\r\n"
            "<detail>\r\n"
            "<ProcessItem PID=\"999999996\" priority=\"-1\" nResult=\"1\" "
            "ErrMsg=\"The process could not be stopped.\"/>\r\n"
            "</detail>\r\n"
            "<Result cmdName=\"ZEV_StopProcess_KLV\" DateTime=\"T\" nResult=\"1\" "
            "ErrMsg=\"The process could not be stopped.\"/>\r\n"
            "</ZEV_StopProcess_KLVResponse>\r\n");
  const std::string bytes = testing::ReadBytes(dir_.File("response.xml"));
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\xFF\xFE<\0", 4));

  EXPECT_EQ(Invoke("<R name=\"ZEV_GetProcessList_klv\"/>", &response), -1);
  EXPECT_EQ(MaskTimes(response),
            "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><Response>\r\n"
            "<Result DateTime=\"T\" nResult=\"1\" "
            "ErrMsg=\"\xE5\x91\xBD\xE4\xBB\xA4\xE6\x96\x87\xE4\xBB\xB6\xE9\x94\x99\xE8\xAF\xAF,"
            "\xE8\xAF\xB7\xE6\xA3\x80\xE6\x9F\xA5\xE8\xBE\x93\xE5\x85\xA5\xE7\x9A\x84"
            "Cmd\xE6\x96\x87\xE4\xBB\xB6\xE4\xBF\xA1\xE6\x81\xAF!\"/>\r\n"
            "</Response>\r\n");

  EXPECT_EQ(Invoke("<R name=\"ZEV_Nothing_KLV\"/>", &response), -1);
  EXPECT_FALSE(testing::FileExists(dir_.File("response.xml")));
}

TEST_F(PluginE2E, ModuleCommandShowsTheSleeper) {
  // Ready once it has reported: its modules are loaded by then.
  SleeperTree tree(0, 0);
  ASSERT_TRUE(tree.WaitForMembers(1));
  const Sleeper& sleeper = tree.root();
  std::string response;
  ASSERT_EQ(Invoke(Request("ZEV_GetProcessModule_KLV", Target(sleeper.pid())), &response), 0)
      << response;
  EXPECT_NE(response.find("<ProcessItem PID=\"" + std::to_string(sleeper.pid()) + "\">"),
            std::string::npos);
  const std::string image = LineWith(response, "name=\"kelvane_sleeper.exe\"");
  EXPECT_NE(image.find("Path=\""), std::string::npos) << response;
  EXPECT_NE(image.find("kelvane_sleeper.exe\" Descript="), std::string::npos) << image;
  EXPECT_NE(LineWith(response, "<ModuleItem name=\"ntdll.dll\""), "") << response;
  EXPECT_NE(LineWith(response, "<ModuleItem name=\"kernel32.dll\""), "") << response;
  EXPECT_NE(response.find("ErrMsg=\"Process information was retrieved.\"/>"), std::string::npos);
}

TEST_F(PluginE2E, ProcessListShowsNameCommandLineAndPriority) {
  // Ready once it has reported: its modules are loaded by then.
  SleeperTree tree(0, 0);
  ASSERT_TRUE(tree.WaitForMembers(1));
  const Sleeper& sleeper = tree.root();
  std::string response;
  ASSERT_EQ(Invoke(Request("ZEV_GetProcessList_KLV", ""), &response), 0);
  const std::string item =
      LineWith(response, "<ProcessItem name=\"kelvane_sleeper.exe\" PID=\"" +
                             std::to_string(sleeper.pid()) + "\"");
  ASSERT_NE(item, "") << response.substr(0, 2000);
  EXPECT_NE(item.find("CommandLine=\"" + XmlAttribute(sleeper.commandLine()) + "\""),
            std::string::npos)
      << item;
  EXPECT_NE(item.find("Priority=\"32\""), std::string::npos) << item;
  EXPECT_NE(item.find("kelvane_sleeper.exe\" Publisher="), std::string::npos) << item;
  EXPECT_EQ(item.find("FileSize=\"0\""), std::string::npos) << item;
  // Wine's process snapshot has no idle process (id 0); Windows lists it
  // first, and then so does the response.
  std::vector<uint32_t> snapshot;
  ASSERT_TRUE(platform::Default()->SnapshotProcessIds(&snapshot));
  const bool idleListed = !snapshot.empty() && snapshot[0] == 0;
  EXPECT_EQ(response.find("<ProcessItem name=\"System Idle Process\" PID=\"0\" CommandLine=\"\" "
                          "UserName=\"System\"") != std::string::npos,
            idleListed);
}

TEST_F(PluginE2E, PriorityIsSetAndReadBack) {
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.started());
  std::string response;
  ASSERT_EQ(Invoke(Request("ZEV_SetProcessPriority_KLV", Target(sleeper.pid(), " priority=\"64\"")),
                   &response),
            0)
      << response;
  EXPECT_EQ(GetPriorityClass(sleeper.process()), static_cast<DWORD>(IDLE_PRIORITY_CLASS));
  ASSERT_EQ(Invoke(Request("ZEV_GetProcessModule_KLV", Target(sleeper.pid())), &response), 0);
  ASSERT_EQ(Invoke(Request("ZEV_GetProcessList_KLV", ""), &response), 0);
  EXPECT_NE(LineWith(response, "PID=\"" + std::to_string(sleeper.pid()) + "\"").find(
                "Priority=\"64\""),
            std::string::npos);
  // No priority attribute: -1 is refused.
  EXPECT_EQ(Invoke(Request("ZEV_SetProcessPriority_KLV", Target(sleeper.pid())), &response), 1);
  EXPECT_EQ(GetPriorityClass(sleeper.process()), static_cast<DWORD>(IDLE_PRIORITY_CLASS));
}

TEST_F(PluginE2E, StopEndsTheTarget) {
  Sleeper sleeper;
  ASSERT_TRUE(sleeper.started());
  std::string response;
  ASSERT_EQ(Invoke(Request("ZEV_StopProcess_KLV", Target(sleeper.pid())), &response), 0)
      << response;
  EXPECT_TRUE(sleeper.WaitForExit(10000));
  EXPECT_NE(response.find("nResult=\"0\" ErrMsg=\"The process was stopped.\""), std::string::npos);
}

TEST_F(PluginE2E, TreeStopEndsChildrenButNotGrandchildren) {
  SleeperTree tree(1, 1);
  ASSERT_TRUE(tree.WaitForMembers(4));
  std::string response;
  ASSERT_EQ(Invoke(Request("ZEV_StopProcessTree_KLV", Target(tree.root().pid())), &response), 0)
      << response;
  EXPECT_TRUE(tree.root().WaitForExit(10000));
  tree.WaitWhileRunningAtDepth(1);
  for (const auto& member : tree.Members()) {
    if (member.second == 1) {
      EXPECT_FALSE(wintest::IsRunning(member.first)) << member.first;
    }
    if (member.second == 2) {
      EXPECT_TRUE(wintest::IsRunning(member.first)) << member.first;
    }
  }
}

// kelvanectl.exe, started as a program with the library beside it.
int RunTool(const std::wstring& arguments) {
  std::wstring line = L"\"" + wintest::BuildRoot() + L"\\kelvanectl.exe\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    return -100;
  }
  CloseHandle(info.hThread);
  DWORD code = 0xFFFF;
  if (WaitForSingleObject(info.hProcess, 60000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(info.hProcess, &code);
  }
  CloseHandle(info.hProcess);
  return static_cast<int>(code);
}

TEST_F(PluginE2E, KelvanectlListsModulesAndStops) {
  if (GetFileAttributesW((wintest::BuildRoot() + L"\\kelvanectl.exe").c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "kelvanectl.exe is not part of this build";
  }
  // Ready once it has reported: its modules are loaded by then.
  SleeperTree tree(0, 0);
  ASSERT_TRUE(tree.WaitForMembers(1));
  const Sleeper& sleeper = tree.root();
  const std::wstring pid = std::to_wstring(sleeper.pid());
  ASSERT_EQ(RunTool(L"modules " + pid + L" --out \"" + Path("modules.xml") + L"\""), 0);
  const std::string modules = testing::ReadUtf16File(dir_.File("modules.xml"));
  EXPECT_NE(LineWith(modules, "<ModuleItem name=\"kelvane_sleeper.exe\""), "") << modules;
  EXPECT_NE(LineWith(modules, "<ModuleItem name=\"ntdll.dll\""), "") << modules;

  ASSERT_EQ(RunTool(L"priority " + pid + L" 64 --out \"" + Path("priority.xml") + L"\""), 0);
  EXPECT_EQ(GetPriorityClass(sleeper.process()), static_cast<DWORD>(IDLE_PRIORITY_CLASS));

  ASSERT_EQ(RunTool(L"stop " + pid + L" --out \"" + Path("stop.xml") + L"\""), 0);
  EXPECT_TRUE(sleeper.WaitForExit(10000));
}

}  // namespace
}  // namespace kelvane
