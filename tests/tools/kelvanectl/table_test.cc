#include "table.h"

#include <gtest/gtest.h>

#include <sstream>

#include "fixtures.h"
#include "tool_test_util.h"
#include "utf.h"

namespace kelvanectl {
namespace {

ResponseDocument Parse(const std::string& utf8) {
  ResponseDocument doc;
  std::string error;
  EXPECT_TRUE(ParseResponse(kelvane_tool_test::Utf16Bytes(utf8), &doc, &error)) << error;
  return doc;
}

TEST(HumanBytes, BinaryUnitsWithOneDecimal) {
  EXPECT_EQ(HumanBytes(0), "0 B");
  EXPECT_EQ(HumanBytes(1023), "1023 B");
  EXPECT_EQ(HumanBytes(1024), "1.0 KiB");
  EXPECT_EQ(HumanBytes(1536), "1.5 KiB");
  EXPECT_EQ(HumanBytes(12897484), "12.3 MiB");
  EXPECT_EQ(HumanBytes(1048575), "1.0 MiB");  // never "1024.0 KiB"
  EXPECT_EQ(HumanBytes(1048576LL * 1024 * 3), "3.0 GiB");
  EXPECT_EQ(HumanBytes(INT64_MAX), "8.0 EiB");
  EXPECT_EQ(HumanBytes(-1), "-");
}

TEST(Width, TerminalThenColumnsThen120) {
  EXPECT_EQ(ChooseWidth(80, "200"), 80u);
  EXPECT_EQ(ChooseWidth(0, "200"), 200u);
  EXPECT_EQ(ChooseWidth(0, nullptr), 120u);
  EXPECT_EQ(ChooseWidth(0, "abc"), 120u);
  EXPECT_EQ(ChooseWidth(0, "0"), 120u);
  EXPECT_EQ(ChooseWidth(0, "-5"), 120u);
}

TEST(ParseInteger, WholeDecimalsOnly) {
  int64_t v = 0;
  EXPECT_TRUE(ParseInteger("-12", &v));
  EXPECT_EQ(v, -12);
  EXPECT_TRUE(ParseInteger("9223372036854775", &v));
  EXPECT_FALSE(ParseInteger("", &v));
  EXPECT_FALSE(ParseInteger("-", &v));
  EXPECT_FALSE(ParseInteger("1 ", &v));
  EXPECT_FALSE(ParseInteger("99999999999999999999999", &v));
}

TEST(Table, ControlResultsWithSummary) {
  EXPECT_EQ(FormatTable(Parse(kelvane_tool_fixtures::kStopExample), 120),
            "PID   PRIORITY  RESULT  MESSAGE\n"
            "1234  -         ok      TerminateProcSuccessed\n"
            "5678  -         failed  TerminateProcFailed\n"
            "Result: failed - TerminateProcFailed (ZEV_StopProcess_KLV, 2009-07-27 14:05:09)\n");
}

TEST(Table, PriorityByNameAndEmptyDetail) {
  EXPECT_EQ(FormatTable(Parse("<ZEV_SetProcessPriority_KLVResponse><detail>"
                              "<ProcessItem PID=\"7\" priority=\"128\" nResult=\"0\" ErrMsg=\"ok\"/>"
                              "<ProcessItem PID=\"&lt;8&gt;\" priority=\"99\" nResult=\"1\" ErrMsg=\"no\"/>"
                              "</detail><Result nResult=\"0\" ErrMsg=\"SetPRISuccessed\"/>"
                              "</ZEV_SetProcessPriority_KLVResponse>"),
                        120),
            "PID  PRIORITY  RESULT  MESSAGE\n"
            "7    high      ok      ok\n"
            "<8>  99        failed  no\n"
            "Result: ok - SetPRISuccessed\n");
  EXPECT_EQ(FormatTable(Parse("<ZEV_StopProcess_KLVResponse><detail/>"
                              "<Result nResult=\"1\" ErrMsg=\"F\"/></ZEV_StopProcess_KLVResponse>"),
                        120),
            "No targets.\nResult: failed - F\n");
}

TEST(Table, ModulesPerProcess) {
  EXPECT_EQ(FormatTable(Parse(kelvane_tool_fixtures::kModuleExample), 40),
            "PID 1234: 2 modules\n"
            "  NAME      PATH               MODIFIED\n"
            "  tool.exe  C:\\Tools\\tool.exe  2009-07-20 10:15:00\n"
            "  util.dll  C:\\Tools\\util.dll  2009-06-30 08:00:12\n"
            "Result: ok - GetSuccessed (ZEV_GetProcessModule_KLV, 2009-07-27 14:05:09)\n");
  EXPECT_EQ(FormatTable(Parse("<ZEV_GetProcessModule_KLVResponse><detail><ProcessItem PID=\"9\"/></detail>"
                              "<Result nResult=\"1\" ErrMsg=\"GetFailed\"/></ZEV_GetProcessModule_KLVResponse>"),
                        80),
            "PID 9: no modules\nResult: failed - GetFailed\n");
}

TEST(Table, ErrorResponse) {
  EXPECT_EQ(FormatTable(Parse(kelvane_tool_fixtures::kErrorExample), 80),
            "The library could not read the command file: 命令文件错误,请检查输入的Cmd文件信息!\n"
            "Result: failed - 命令文件错误,请检查输入的Cmd文件信息! (2009-07-27 14:05:09)\n");
}

TEST(Table, ProcessListRows) {
  std::string table = FormatTable(Parse(kelvane_tool_fixtures::kProcessList), 1000);
  EXPECT_EQ(table,
            " PID  NAME                 USER    CPU%     MEMORY  PRIORITY  COMMAND\n"
            "   0  System Idle Process            91        0 B  -         <unknown>\n"
            "1234  服务器               root       3   12.3 MiB  high      /usr/bin/服务器 "
            "--config=/etc/a&b.conf --verbose --threads=16 "
            "--log-file=/var/log/server/very/long/path/to/the/log/file.log\n"
            "  77  sleep                nobody     0  512.0 KiB  idle      sleep 100\n"
            "3 processes\n"
            "Result: ok - GetSuccessed (ZEV_GetProcessList_KLV, 2009-07-27 14:05:09)\n");
}

TEST(Table, ProcessListIsCutToTheWidthOnCharacterBoundaries) {
  ResponseDocument doc = Parse(kelvane_tool_fixtures::kProcessList);
  for (size_t width = 20; width <= 140; ++width) {
    std::istringstream lines(FormatTable(doc, width));
    std::string line;
    int rows = 0;
    while (std::getline(lines, line) && rows < 4) {
      ++rows;
      EXPECT_LE(DisplayWidth(line), width) << line;
      EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(line)), line) << "split UTF-8 at width " << width;
    }
  }
  // The command of the wide-named process starts at column 62; "/usr/bin/"
  // fills 9 columns, so its first wide character needs a width of 73 and is
  // left out whole at 72.
  std::string table = FormatTable(doc, 72);
  EXPECT_NE(table.find("high      /usr/bin/\n"), std::string::npos) << table;
  table = FormatTable(doc, 73);
  EXPECT_NE(table.find("high      /usr/bin/服\n"), std::string::npos) << table;
  EXPECT_NE(table.find("\n   0  System Idle Process            91        0 B  -         <unknown>\n"),
            std::string::npos);
}

TEST(Table, ControlCharactersInCellsAreNeutralised) {
  std::string table = FormatTable(Parse("<ZEV_GetProcessList_KLVResponse><detail>"
                                        "<ProcessItem name=\"a\x1b]0;x\x07\" PID=\"1\" CommandLine=\"x\ny\"/>"
                                        "</detail></ZEV_GetProcessList_KLVResponse>"),
                                  120);
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
  EXPECT_NE(table.find("a?]0;x?"), std::string::npos);
  EXPECT_NE(table.find("x y"), std::string::npos);
  EXPECT_NE(table.find("No result record"), std::string::npos);
}

}  // namespace
}  // namespace kelvanectl
