// The exact bytes of both listing responses on a scripted machine: every
// field kind (cut texts, surrogate pairs at the cut, markup characters,
// kernel path forms, version strings, sizes and times, failed probes), so
// that any change to how records are filled or written shows up here.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/text.h"
#include "inventory/cpu_sampler.h"
#include "inventory/scripted_platform.h"
#include "plugin/dispatch.h"
#include "plugin/request.h"
#include "result/xml_result.h"
#include "support/alloc_injection.h"
#include "support/strict_xml.h"
#include "support/test_support.h"

namespace kelvane {
namespace testing {
namespace {

using platform::ModuleEntry;
using platform::UserLookup;

// Version resources for the files whose path ends in ".dll" or ".exe": the
// blob is the path itself, and each string names its key and file.
class VersionedPlatform : public ScriptedPlatform {
 public:
  bool LoadVersionResource(const std::u16string& path, std::vector<uint8_t>* blob) override {
    if (path.size() < 4 || (path.compare(path.size() - 4, 4, u".dll") != 0 &&
                            path.compare(path.size() - 4, 4, u".exe") != 0)) {
      return false;
    }
    blob->assign(reinterpret_cast<const uint8_t*>(path.data()),
                 reinterpret_cast<const uint8_t*>(path.data() + path.size()));
    return true;
  }
  bool QueryVersionValue(const std::vector<uint8_t>& blob, const std::u16string& subBlock,
                         std::vector<uint8_t>* raw, std::u16string* text) override {
    const std::u16string path(reinterpret_cast<const char16_t*>(blob.data()), blob.size() / 2);
    if (subBlock == u"\\VarFileInfo\\Translation") {
      // "nover.dll" has a resource without a translation table.
      if (path.find(u"nover") != std::u16string::npos) return false;
      *raw = {0x09, 0x04, 0xb0, 0x04};
      return true;
    }
    const std::u16string prefix = u"\\StringFileInfo\\040904b0\\";
    if (subBlock.compare(0, prefix.size(), prefix) != 0) return false;
    const std::u16string key = subBlock.substr(prefix.size());
    // No description anywhere: the field stays as it was.
    if (key == u"FileDescription") return false;
    *text = key + u" of " + path + (key == u"CompanyName" ? u" <&\"'>" : u"");
    return true;
  }
};

class ListingBytesTest : public ::testing::Test {
 protected:
  ListingBytesTest() : scoped_(&platform_) {
    ClearCpuSamples();
    platform_.totalCpuTime = 1000;
    platform_.snapshot = {0, 4, 100, 200, 300, 400};

    ScriptedProcess system;
    system.workingSet = 123456;
    system.priority = 32;
    platform_.processes[4] = system;

    ScriptedProcess app;
    app.baseName = u"app.exe";
    app.fullPath = u"\\??\\C:\\apps\\app.exe";
    app.commandLine = u"app.exe --name \"a&b\" <x> 'y' \u00e9\u4e2d";
    app.userLookup = UserLookup::kFound;
    app.userName = u"alice";
    app.workingSet = int64_t{5} << 32;
    app.priority = 128;
    app.cpuTime = 30;
    app.modules = std::vector<ModuleEntry>{{u"app.exe", u"\\??\\C:\\apps\\app.exe"},
                                           {u"kernel32.dll", u"\\SystemRoot\\system32\\kernel32.dll"},
                                           {u"nover.dll", u"C:\\lib\\nover.dll"},
                                           {u"", u""},
                                           {u"data.bin", u"C:\\data\\data.bin"}};
    platform_.processes[100] = app;

    // 300 units of command line with a surrogate pair across the cut, and a
    // path filling the field exactly.
    ScriptedProcess longOne;
    longOne.baseName = u"long.exe";
    longOne.fullPath = u"C:\\" + std::u16string(253, u'p') + u"\\l.exe";
    longOne.commandLine = std::u16string(259, u'c') + u"\U0001F600" + std::u16string(39, u'd');
    longOne.userLookup = UserLookup::kNotListed;
    longOne.workingSet = 0;
    longOne.priority = 64;
    longOne.modules = std::vector<ModuleEntry>{{u"l.exe", *longOne.fullPath + u"tail"}};
    platform_.processes[200] = longOne;

    // Every optional probe fails.
    ScriptedProcess bare;
    bare.baseName = u"bare";
    bare.fullPath = u"/usr/bin/bare (deleted)";
    platform_.processes[300] = bare;

    // Cannot be opened: not listed.
    ScriptedProcess closed;
    closed.openable = false;
    platform_.processes[400] = closed;

    // Between the passes the machine runs for 1000 units, 30 of them in
    // app.exe and 10 in long.exe.
    clock_.OnSleep([this] {
      platform_.totalCpuTime = 2000;
      platform_.processes[100].cpuTime += 30;
      platform_.processes[200].cpuTime += 10;
    });

    platform_.fileSizes[u"C:\\apps\\app.exe"] = 4096;
    platform_.fileSizes[u"C:\\" + std::u16string(253, u'p') + u"\\l.exe"] = int64_t{1} << 40;
    platform_.fileTimes[u"C:\\apps\\app.exe"] = {2024, 2, 29, 23, 59, 58};
    platform_.fileTimes[u"C:\\WINDOWS\\system32\\kernel32.dll"] = {1999, 12, 31, 0, 0, 1};
    platform_.fileTimes[u"C:\\data\\data.bin"] = {2010, 1, 2, 3, 4, 5};
  }
  ~ListingBytesTest() override { ClearCpuSamples(); }

  // Runs the command file `request` and returns the response as UTF-8.
  std::string Run(const std::string& request, int* code) {
    WriteBytes(dir_.File("cmd.xml"), request);
    const std::u16string in = Utf8ToUtf16(dir_.File("cmd.xml"));
    const std::u16string out = Utf8ToUtf16(dir_.File("out.xml"));
    *code = DispatchCommand(in.c_str(), out.c_str());
    return ReadUtf16File(dir_.File("out.xml"));
  }

  VersionedPlatform platform_;
  ScopedPlatform scoped_;
  FakeClock clock_;
  TempDir dir_;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST_F(ListingBytesTest, ProcessListResponse) {
  const std::string longPath = "C:\\" + Repeat('p', 253) + "\\l.exe";
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessList_KLVResponse>\r\n"
      "<detail>\r\n"
      "<ProcessItem name=\"System Idle Process\" PID=\"0\" CommandLine=\"\" UserName=\"System\" CpuUsage=\"96\" "
      "MemoryUsage=\"16384\" ProductVersion=\"\" FileVersion=\"\" Descript=\"\" Path=\"(N/A)\" Publisher=\"\" "
      "FileSize=\"0\" Priority=\"0\"/>\r\n"
      "<ProcessItem name=\"System\" PID=\"4\" CommandLine=\"\" UserName=\"System\" CpuUsage=\"0\" "
      "MemoryUsage=\"123456\" ProductVersion=\"\" FileVersion=\"\" Descript=\"\" Path=\"(N/A)\" Publisher=\"\" "
      "FileSize=\"0\" Priority=\"32\"/>\r\n"
      "<ProcessItem name=\"app.exe\" PID=\"100\" CommandLine=\"app.exe --name &quot;a&amp;b&quot; &lt;x&gt; "
      "&apos;y&apos; \xc3\xa9\xe4\xb8\xad\" UserName=\"alice\" CpuUsage=\"3\" MemoryUsage=\"21474836480\" "
      "ProductVersion=\"ProductVersion of C:\\apps\\app.exe\" FileVersion=\"FileVersion of C:\\apps\\app.exe\" "
      "Descript=\"\" Path=\"C:\\apps\\app.exe\" Publisher=\"CompanyName of C:\\apps\\app.exe &lt;&amp;&quot;&apos;&gt;\" "
      "FileSize=\"4096\" Priority=\"128\">\r\n"
      "<ModuleItem name=\"app.exe\" Publisher=\"CompanyName of C:\\apps\\app.exe &lt;&amp;&quot;&apos;&gt;\" "
      "Path=\"C:\\apps\\app.exe\" Descript=\"\" ProductVersion=\"ProductVersion of C:\\apps\\app.exe\" "
      "ModifyTime=\"2024-02-29 23:59:58\"/>\r\n"
      "<ModuleItem name=\"kernel32.dll\" Publisher=\"CompanyName of C:\\WINDOWS\\system32\\kernel32.dll "
      "&lt;&amp;&quot;&apos;&gt;\" Path=\"C:\\WINDOWS\\system32\\kernel32.dll\" Descript=\"\" "
      "ProductVersion=\"ProductVersion of C:\\WINDOWS\\system32\\kernel32.dll\" "
      "ModifyTime=\"1999-12-31 00:00:01\"/>\r\n"
      "<ModuleItem name=\"nover.dll\" Publisher=\"\" Path=\"C:\\lib\\nover.dll\" Descript=\"\" "
      "ProductVersion=\"\" ModifyTime=\"\"/>\r\n"
      "<ModuleItem name=\"\" Publisher=\"\" Path=\"\" Descript=\"\" ProductVersion=\"\" ModifyTime=\"\"/>\r\n"
      "<ModuleItem name=\"data.bin\" Publisher=\"\" Path=\"C:\\data\\data.bin\" Descript=\"\" "
      "ProductVersion=\"\" ModifyTime=\"2010-01-02 03:04:05\"/>\r\n"
      "</ProcessItem>\r\n"
      "<ProcessItem name=\"long.exe\" PID=\"200\" CommandLine=\"" +
      Repeat('c', 259) +
      "\" UserName=\"\" CpuUsage=\"1\" MemoryUsage=\"0\" ProductVersion=\"\" FileVersion=\"\" "
      "Descript=\"\" Path=\"" + longPath.substr(0, 260) +
      "\" Publisher=\"\" FileSize=\"1099511627776\" Priority=\"64\">\r\n" +
      "<ModuleItem name=\"l.exe\" Publisher=\"\" Path=\"" + longPath.substr(0, 260) +
      "\" Descript=\"\" ProductVersion=\"\" ModifyTime=\"\"/>\r\n"
      "</ProcessItem>\r\n"
      "<ProcessItem name=\"bare\" PID=\"300\" CommandLine=\"\" UserName=\"\" CpuUsage=\"0\" "
      "MemoryUsage=\"0\" ProductVersion=\"\" FileVersion=\"\" Descript=\"\" Path=\"/usr/bin/bare (deleted)\" "
      "Publisher=\"\" FileSize=\"0\" Priority=\"0\"/>\r\n"
      "</detail>\r\n"
      "<Result cmdName=\"ZEV_GetProcessList_KLV\" DateTime=\"2009-07-27 14:05:09\" nResult=\"0\" "
      "ErrMsg=\"GetSuccessed\"/>\r\n"
      "</ZEV_GetProcessList_KLVResponse>\r\n";
  // A second listing reuses the first one's record memory and must not
  // show anything of it.
  for (int round = 0; round < 2; ++round) {
    int code = -2;
    EXPECT_EQ(Run("<request name=\"ZEV_GetProcessList_KLV\"/>", &code), expected) << "round " << round;
    EXPECT_EQ(code, 0);
    platform_.totalCpuTime = 1000;
    platform_.processes[100].cpuTime = 30;
    platform_.processes[200].cpuTime = 0;
  }
}

TEST_F(ListingBytesTest, ModuleListResponse) {
  int code = -2;
  const std::string response = Run(
      "<request name=\"ZEV_GetProcessModule_KLV\"><procid PID=\"200\"/><procid PID=\"300\"/>"
      "<procid PID=\"400\"/><procid PID=\"100\"/></request>",
      &code);
  EXPECT_EQ(code, -1);  // 400 cannot be opened
  const std::string longPath = "C:\\" + Repeat('p', 253) + "\\l.exe";
  const std::string expected =
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessModule_KLVResponse>\r\n"
      "<detail>\r\n"
      "<ProcessItem PID=\"200\">\r\n"
      "<ModuleItem name=\"l.exe\" Publisher=\"\" Path=\"" + longPath.substr(0, 260) +
      "\" Descript=\"\" ProductVersion=\"\" ModifyTime=\"\"/>\r\n"
      "</ProcessItem>\r\n"
      "<ProcessItem PID=\"300\"/>\r\n"
      "<ProcessItem PID=\"400\"/>\r\n"
      "<ProcessItem PID=\"100\">\r\n"
      "<ModuleItem name=\"app.exe\" Publisher=\"CompanyName of C:\\apps\\app.exe &lt;&amp;&quot;&apos;&gt;\" "
      "Path=\"C:\\apps\\app.exe\" Descript=\"\" ProductVersion=\"ProductVersion of C:\\apps\\app.exe\" "
      "ModifyTime=\"2024-02-29 23:59:58\"/>\r\n"
      "<ModuleItem name=\"kernel32.dll\" Publisher=\"CompanyName of C:\\WINDOWS\\system32\\kernel32.dll "
      "&lt;&amp;&quot;&apos;&gt;\" Path=\"C:\\WINDOWS\\system32\\kernel32.dll\" Descript=\"\" "
      "ProductVersion=\"ProductVersion of C:\\WINDOWS\\system32\\kernel32.dll\" "
      "ModifyTime=\"1999-12-31 00:00:01\"/>\r\n"
      "<ModuleItem name=\"nover.dll\" Publisher=\"\" Path=\"C:\\lib\\nover.dll\" Descript=\"\" "
      "ProductVersion=\"\" ModifyTime=\"\"/>\r\n"
      "<ModuleItem name=\"\" Publisher=\"\" Path=\"\" Descript=\"\" ProductVersion=\"\" ModifyTime=\"\"/>\r\n"
      "<ModuleItem name=\"data.bin\" Publisher=\"\" Path=\"C:\\data\\data.bin\" Descript=\"\" "
      "ProductVersion=\"\" ModifyTime=\"2010-01-02 03:04:05\"/>\r\n"
      "</ProcessItem>\r\n"
      "</detail>\r\n"
      "<Result cmdName=\"ZEV_GetProcessModule_KLV\" DateTime=\"2009-07-27 14:05:09\" nResult=\"1\" "
      "ErrMsg=\"GetFailed\"/>\r\n"
      "</ZEV_GetProcessModule_KLVResponse>\r\n";
  EXPECT_EQ(response, expected);
}

// A response that cannot take a process's record whole (its size limit
// reached) makes the listing incomplete, and the module items it does hold
// stand under their own process.
TEST_F(ListingBytesTest, AResponseThatCannotTakeARecordWholeIsIncomplete) {
  CmdRequest request{};
  CopyToField(request.szCmdName, u"ZEV_GetProcessList_KLV");
  const std::u16string out = Utf8ToUtf16(dir_.File("out.xml"));
  const auto list = [&](int64_t limit) {
    CXmlResult result(out.c_str());
    if (limit > 0) result.SetTextLimitForTesting(limit);
    platform_.totalCpuTime = 1000;
    platform_.processes[100].cpuTime = 30;
    platform_.processes[200].cpuTime = 0;
    const int32_t code = RunProcessListBranch(request, &result);
    result.WriteResult(request, code == 0 ? u"GetSuccessed" : u"GetFailed", code);
    return code;
  };
  ASSERT_EQ(list(0), 0);
  const std::string whole = ReadUtf16File(dir_.File("out.xml"));
  const size_t longItem = whole.find("<ProcessItem name=\"long.exe\"");
  ASSERT_NE(longItem, std::string::npos);
  // Room for long.exe's module item but not for its own, much longer item.
  const int64_t before = static_cast<int64_t>(Utf8ToUtf16(whole.substr(0, longItem)).size());
  EXPECT_EQ(list(before + 400), -1);

  const std::string cut = ReadUtf16File(dir_.File("out.xml"));
  std::string why;
  EXPECT_TRUE(ParsesStrictly(ReadBytes(dir_.File("out.xml")), &why)) << why;
  // long.exe's module stands under long.exe's item if anywhere, and
  // app.exe keeps exactly its own five modules.
  const size_t module = cut.find("<ModuleItem name=\"l.exe\"");
  if (module != std::string::npos) {
    const size_t owner = cut.rfind("<ProcessItem ", module);
    EXPECT_EQ(cut.compare(owner, 29, "<ProcessItem name=\"long.exe\""), 0) << cut;
  }
  const size_t app = cut.find("<ProcessItem name=\"app.exe\"");
  ASSERT_NE(app, std::string::npos);
  const size_t appEnd = cut.find("</ProcessItem>", app);
  ASSERT_NE(appEnd, std::string::npos);
  size_t modules = 0;
  for (size_t at = cut.find("<ModuleItem", app); at < appEnd; at = cut.find("<ModuleItem", at + 1)) ++modules;
  EXPECT_EQ(modules, 5u);
}

// The process a module item belongs to, by the module's path ("" for an
// unknown path).
std::string OwnerOfModule(const std::string& item) {
  if (item.find("Path=\"C:\\pp") != std::string::npos) return "long.exe";
  if (item.find("Path=\"C:\\") != std::string::npos || item.find("Path=\"\"") != std::string::npos) {
    return "app.exe";
  }
  return "";
}

// Memory running out at any allocation of a listing never puts a module
// under another process's item; whatever response is written is
// well-formed, and one that lacks a process the machine lists is reported
// incomplete (-1).
TEST_F(ListingBytesTest, MemoryRunningOutNeverPutsAModuleUnderAnotherProcess) {
  CmdRequest request{};
  CopyToField(request.szCmdName, u"ZEV_GetProcessList_KLV");
  const std::string outPath = dir_.File("out.xml");
  const std::u16string out = Utf8ToUtf16(outPath);
  const char* const names[] = {"System Idle Process", "System", "app.exe", "long.exe", "bare"};
  size_t injected = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 100000) << "the listing kept allocating";
    std::remove(outPath.c_str());
    platform_.totalCpuTime = 1000;
    platform_.processes[100].cpuTime = 30;
    platform_.processes[200].cpuTime = 0;
    int32_t code = -2;
    {
      CXmlResult result(out.c_str());
      FailAllocationAfter(n);
      // As the dispatcher runs a branch: an exception ends the call with -1
      // and writes nothing.
      try {
        code = RunProcessListBranch(request, &result);
        result.WriteResult(request, code == 0 ? u"GetSuccessed" : u"GetFailed", code);
      } catch (const std::exception&) {
        code = -1;
      }
    }
    const bool failed = AllocationFailed();
    FailAllocationAfter(-1);
    if (!failed) {
      EXPECT_EQ(code, 0);
      break;
    }
    ++injected;
    if (!FileExists(outPath)) continue;
    std::string why;
    ASSERT_TRUE(ParsesStrictly(ReadBytes(outPath), &why)) << "allocation " << n << ": " << why;
    const std::string text = ReadUtf16File(outPath);
    std::string owner;
    size_t line = 0;
    while (line < text.size()) {
      size_t end = text.find('\n', line);
      if (end == std::string::npos) end = text.size();
      const std::string item = text.substr(line, end - line);
      line = end + 1;
      if (item.compare(0, 19, "<ProcessItem name=\"") == 0) {
        owner = item.substr(19, item.find('"', 19) - 19);
      } else if (item.compare(0, 11, "<ModuleItem") == 0) {
        EXPECT_EQ(owner, OwnerOfModule(item)) << "allocation " << n << ": " << item;
      } else if (item.compare(0, 14, "</ProcessItem>") == 0) {
        owner.clear();
      }
    }
    bool whole = true;
    for (const char* name : names) {
      whole = whole && text.find(std::string("<ProcessItem name=\"") + name + "\"") != std::string::npos;
    }
    if (!whole) {
      EXPECT_EQ(code, -1) << "allocation " << n << "\n" << text;
    }
  }
  EXPECT_GT(injected, 10u);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
