// Response documents built from hand-made records, compared as exact text.
#include "result/xml_result.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "common/text.h"
#include "inventory/modules.h"
#include "inventory/process_list.h"
#include "plugin/dispatch.h"
#include "plugin/request.h"
#include "support/fake_platform.h"
#include "support/test_support.h"

namespace kelvane {
namespace testing {
namespace {

class FixedClock : public FakePlatform {
 public:
  platform::LocalTime Now() override { return {2009, 7, 5, 9, 3, 7}; }
};

class ResponseTest : public ::testing::Test {
 protected:
  std::string Save(CXmlResult& result, const CmdRequest& request, const char16_t* summary, int code) {
    path_ = dir_.File("result.xml");
    EXPECT_TRUE(result.WriteResult(request, summary, code));
    return ReadUtf16File(path_);
  }
  std::u16string Path() { return Utf8ToUtf16(dir_.File("result.xml")); }

  FixedClock clock_;
  ScopedPlatform scoped_{&clock_};
  TempDir dir_;
  std::string path_;
};

ProcTarget MakeTarget(const char16_t* pid, int32_t priority, int32_t result, const char16_t* message) {
  ProcTarget target{};
  CopyToField(target.szPID, pid);
  target.nPriority = priority;
  target.nResult = result;
  CopyToField(target.szErrMsg, message);
  return target;
}

TEST_F(ResponseTest, TargetLayoutWithPriorityRulesAndEntities) {
  ProcTarget a = MakeTarget(u"1234", -1, 0, u"Stopped & \"gone\"");
  ProcTarget b = MakeTarget(u"5678", 0, 1, u"<no>");
  ProcTarget c = MakeTarget(u" 9", 128, 0, u"it's");
  a.pNext = &b;
  b.pNext = &c;
  CmdRequest request{};
  CopyToField(request.szCmdName, u"ZEV_SetProcessPriority_KLV");
  CXmlResult result(Path().c_str());
  result.BuildTargetResponse(request.szCmdName, &a);
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_SetProcessPriority_KLVResponse>\r\n"
      "<detail>\r\n"
      "<ProcessItem PID=\"1234\" priority=\"-1\" nResult=\"0\" ErrMsg=\"Stopped &amp; &quot;gone&quot;\"/>\r\n"
      "<ProcessItem PID=\"5678\" nResult=\"1\" ErrMsg=\"&lt;no&gt;\"/>\r\n"
      "<ProcessItem PID=\" 9\" priority=\"128\" nResult=\"0\" ErrMsg=\"it&apos;s\"/>\r\n"
      "</detail>\r\n"
      "<Result cmdName=\"ZEV_SetProcessPriority_KLV\" DateTime=\"2009-07-05 09:03:07\" nResult=\"1\" ErrMsg=\"S&amp;F\"/>\r\n"
      "</ZEV_SetProcessPriority_KLVResponse>\r\n",
      Save(result, request, u"S&F", -1));
}

TEST_F(ResponseTest, EmptyChainGivesAnEmptyDetail) {
  CmdRequest request{};
  CopyToField(request.szCmdName, u"ZEV_StopProcess_KLV");
  CXmlResult result(Path().c_str());
  result.BuildTargetResponse(request.szCmdName, nullptr);
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_StopProcess_KLVResponse>\r\n"
      "<detail/>\r\n"
      "<Result cmdName=\"ZEV_StopProcess_KLV\" DateTime=\"2009-07-05 09:03:07\" nResult=\"0\" ErrMsg=\"ok\"/>\r\n"
      "</ZEV_StopProcess_KLVResponse>\r\n",
      Save(result, request, u"ok", 0));
}

TEST_F(ResponseTest, ModuleLayoutMatchesTheDocumentedExample) {
  ModuleRecord util{};
  CopyToField(util.szName, u"util.dll");
  CopyToField(util.szPath, u"C:\\Tools\\util.dll");
  CopyToField(util.szModifyTime, u"2009-06-30 08:00:12");
  CopyToField(util.szFileVersion, u"9.9");  // never written
  ModuleRecord tool{};
  CopyToField(tool.szName, u"tool.exe");
  CopyToField(tool.szPublisher, u"Example Ltd");
  CopyToField(tool.szPath, u"C:\\Tools\\tool.exe");
  CopyToField(tool.szDescript, u"Example tool");
  CopyToField(tool.szProductVersion, u"1.0.0.1");
  CopyToField(tool.szModifyTime, u"2009-07-20 10:15:00");
  tool.pNext = &util;
  ProcessRecord process{};
  process.dwPID = 1234;
  process.pModules = &tool;
  ProcessRecord vanished{};
  vanished.dwPID = 12;
  process.pNext = &vanished;

  CmdRequest request{};
  CopyToField(request.szCmdName, u"ZEV_GetProcessModule_KLV");
  CXmlResult result(Path().c_str());
  result.BeginModuleList(request.szCmdName);
  for (const ProcessRecord* record = &process; record != nullptr; record = record->pNext) {
    result.AddModuleProcessItem(*record);
  }
  result.EndModuleList();
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessModule_KLVResponse>\r\n"
      "<detail>\r\n"
      "<ProcessItem PID=\"1234\">\r\n"
      "<ModuleItem name=\"tool.exe\" Publisher=\"Example Ltd\" Path=\"C:\\Tools\\tool.exe\" Descript=\"Example tool\" ProductVersion=\"1.0.0.1\" ModifyTime=\"2009-07-20 10:15:00\"/>\r\n"
      "<ModuleItem name=\"util.dll\" Publisher=\"\" Path=\"C:\\Tools\\util.dll\" Descript=\"\" ProductVersion=\"\" ModifyTime=\"2009-06-30 08:00:12\"/>\r\n"
      "</ProcessItem>\r\n"
      "<ProcessItem PID=\"12\"/>\r\n"
      "</detail>\r\n"
      "<Result cmdName=\"ZEV_GetProcessModule_KLV\" DateTime=\"2009-07-05 09:03:07\" nResult=\"0\" ErrMsg=\"GetSuccessed\"/>\r\n"
      "</ZEV_GetProcessModule_KLVResponse>\r\n",
      Save(result, request, u"GetSuccessed", 0));
}

TEST_F(ResponseTest, ProcessListItemCarriesAllThirteenAttributesInOrder) {
  ProcessRecord idle{};
  CopyToField(idle.szName, u"System Idle Process");
  CopyToField(idle.szPath, u"(N/A)");
  CopyToField(idle.szUserName, u"System");
  idle.nMemoryUsage = 16384;
  idle.nCpuUsage = -4;
  ProcessRecord big{};
  CopyToField(big.szName, u"big");
  big.dwPID = 4000000000u;  // written as a signed 32-bit value
  big.nMemoryUsage = 5000000000LL;
  big.nFileSize = 4294967306LL;
  big.dwPriority = 32768;
  idle.pNext = &big;

  CmdRequest request{};
  CopyToField(request.szCmdName, u"ZEV_GetProcessList_KLV");
  CXmlResult result(Path().c_str());
  result.BeginProcessList(request.szCmdName);
  for (const ProcessRecord* record = &idle; record != nullptr; record = record->pNext) {
    result.AddProcessItem(*record);
  }
  result.EndProcessList();
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessList_KLVResponse>\r\n"
      "<detail>\r\n"
      "<ProcessItem name=\"System Idle Process\" PID=\"0\" CommandLine=\"\" UserName=\"System\" CpuUsage=\"-4\" MemoryUsage=\"16384\" ProductVersion=\"\" FileVersion=\"\" Descript=\"\" Path=\"(N/A)\" Publisher=\"\" FileSize=\"0\" Priority=\"0\"/>\r\n"
      "<ProcessItem name=\"big\" PID=\"-294967296\" CommandLine=\"\" UserName=\"\" CpuUsage=\"0\" MemoryUsage=\"5000000000\" ProductVersion=\"\" FileVersion=\"\" Descript=\"\" Path=\"\" Publisher=\"\" FileSize=\"4294967306\" Priority=\"32768\"/>\r\n"
      "</detail>\r\n"
      "<Result cmdName=\"ZEV_GetProcessList_KLV\" DateTime=\"2009-07-05 09:03:07\" nResult=\"1\" ErrMsg=\"GetFailed\"/>\r\n"
      "</ZEV_GetProcessList_KLVResponse>\r\n",
      Save(result, request, u"GetFailed", 1));
}

TEST_F(ResponseTest, ErrorResponseIsFixed) {
  CXmlResult result(Path().c_str());
  EXPECT_TRUE(result.WriteErrorResponse());
  std::string bytes = ReadBytes(dir_.File("result.xml"));
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(std::string("\xFF\xFE<\0?\0", 6), bytes.substr(0, 6));
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><Response>\r\n"
      "<Result DateTime=\"2009-07-05 09:03:07\" nResult=\"1\" ErrMsg=\""
      "\xE5\x91\xBD\xE4\xBB\xA4\xE6\x96\x87\xE4\xBB\xB6\xE9\x94\x99\xE8\xAF\xAF,"
      "\xE8\xAF\xB7\xE6\xA3\x80\xE6\x9F\xA5\xE8\xBE\x93\xE5\x85\xA5\xE7\x9A\x84"
      "Cmd\xE6\x96\x87\xE4\xBB\xB6\xE4\xBF\xA1\xE6\x81\xAF!\"/>\r\n"
      "</Response>\r\n",
      ReadUtf16File(dir_.File("result.xml")));
}

TEST_F(ResponseTest, UnusablePathsWriteNothing) {
  CmdRequest request{};
  CopyToField(request.szCmdName, u"ZEV_StopProcess_KLV");
  CXmlResult missingDir(Utf8ToUtf16(dir_.File("no/such/dir/result.xml")).c_str());
  missingDir.BuildTargetResponse(request.szCmdName, nullptr);
  EXPECT_FALSE(missingDir.WriteResult(request, u"x", 0));

  // 259 units is the longest path kept; one more writes no file at all.
  std::string base = dir_.path() + "/";
  std::string fits = base + std::string(259 - base.size(), 'a');
  std::string tooLong = base + std::string(260 - base.size(), 'b');
  CXmlResult atLimit(Utf8ToUtf16(fits).c_str());
  EXPECT_TRUE(atLimit.WriteErrorResponse());
  EXPECT_TRUE(FileExists(fits));
  CXmlResult overLimit(Utf8ToUtf16(tooLong).c_str());
  EXPECT_FALSE(overLimit.WriteErrorResponse());
  EXPECT_FALSE(FileExists(tooLong));
  EXPECT_FALSE(FileExists(tooLong.substr(0, 259)));
}

// The figures of a listing's processes, in order, as the listing reports
// them, and the idle process's figure after them.
std::vector<int32_t> Shares(std::initializer_list<int32_t> measured) {
  CpuShares shares;
  std::vector<int32_t> figures;
  for (int32_t share : measured) figures.push_back(shares.Take(share));
  figures.push_back(shares.Idle());
  return figures;
}

TEST(IdleCpuRule, IdleTakesWhatTheOthersLeave) {
  // The idle record itself measures 0.
  EXPECT_EQ(Shares({0, 3, 5, 1}), (std::vector<int32_t>{0, 3, 5, 1, 91}));

  // Shares that add up to more than 100 (samples a little apart on a busy
  // machine) are cut to what is left, and the idle process gets nothing,
  // never a negative figure.
  EXPECT_EQ(Shares({0, 3, 5, 96}), (std::vector<int32_t>{0, 3, 5, 92, 0}));

  // Figures outside 0..100 never stand.
  EXPECT_EQ(Shares({0, -360000, 250, 7}), (std::vector<int32_t>{0, 0, 100, 0, 0}));

  // Without processes the idle process has everything.
  EXPECT_EQ(Shares({}), (std::vector<int32_t>{100}));
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
