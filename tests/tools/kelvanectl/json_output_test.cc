// The --json output, read back with a JSON parser: keys and types of every
// response kind, the selection of list --sort / --top, and texts that a
// hostile process name can put into a response.
#include "json_output.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fixtures.h"
#include "tool_test_util.h"

namespace kelvanectl {
namespace {

using nlohmann::json;

ResponseDocument ParseBytes(const std::string& bytes) {
  ResponseDocument doc;
  std::string error;
  EXPECT_TRUE(ParseResponse(bytes, &doc, &error)) << error;
  return doc;
}

ResponseDocument Parse(const std::string& utf8) { return ParseBytes(kelvane_tool_test::Utf16Bytes(utf8)); }

// Parses the output; a parse failure fails the test.
json Read(const std::string& text) {
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  return json::parse(text);
}

std::vector<int64_t> Pids(const json& doc) {
  std::vector<int64_t> pids;
  for (const json& process : doc["processes"]) pids.push_back(process["pid"].get<int64_t>());
  return pids;
}

TEST(Json, ProcessListCarriesEveryFieldUnderItsKey) {
  const std::string text = FormatJson(Parse(kelvane_tool_fixtures::kProcessList), 0);
  json doc = Read(text);
  EXPECT_EQ(doc["command"], "ZEV_GetProcessList_KLV");
  ASSERT_EQ(doc["processes"].size(), 3u);
  const json& server = doc["processes"][1];
  const nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(text);
  std::vector<std::string> keys;  // in the order written
  for (const auto& item : ordered["processes"][1].items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"pid", "name", "path", "commandLine", "user", "cpu", "memory",
                                            "priority", "fileSize", "publisher", "description",
                                            "productVersion", "fileVersion", "modules"}));
  EXPECT_EQ(server["pid"], 1234);
  EXPECT_EQ(server["name"], "服务器");
  EXPECT_EQ(server["commandLine"].get<std::string>().rfind("/usr/bin/服务器 --config=/etc/a&b.conf ", 0), 0u);
  EXPECT_EQ(server["user"], "root");
  EXPECT_EQ(server["cpu"], 3);
  EXPECT_EQ(server["memory"], 12897484);
  EXPECT_EQ(server["fileSize"], 12345);
  EXPECT_EQ(server["priority"], json({{"class", "high"}, {"value", 128}}));
  ASSERT_EQ(server["modules"].size(), 1u);
  EXPECT_EQ(server["modules"][0],
            json({{"name", "libc.so.6"}, {"path", "/usr/lib/x86_64-linux-gnu/libc.so.6"}, {"publisher", ""},
                  {"description", ""}, {"productVersion", ""}, {"modifyTime", "2024-01-02 03:04:05"}}));
  // The idle record has no priority class; a process without modules has
  // an empty list, never a missing key.
  EXPECT_TRUE(doc["processes"][0]["priority"].is_null());
  EXPECT_EQ(doc["processes"][2]["modules"], json::array());
  EXPECT_EQ(doc["result"], json({{"code", 0}, {"message", "GetSuccessed"}, {"dateTime", "2009-07-27 14:05:09"}}));
}

TEST(Json, ModulesControlAndErrorResponses) {
  json modules = Read(FormatJson(Parse(kelvane_tool_fixtures::kModuleExample), 0));
  ASSERT_EQ(modules["processes"].size(), 1u);
  EXPECT_EQ(modules["processes"][0]["pid"], 1234);
  EXPECT_EQ(modules["processes"][0]["modules"][0]["publisher"], "Example Ltd");
  EXPECT_EQ(modules["processes"][0]["modules"][1]["path"], "C:\\Tools\\util.dll");

  json stop = Read(FormatJson(Parse(kelvane_tool_fixtures::kStopExample), 1));
  EXPECT_EQ(stop["command"], "ZEV_StopProcess_KLV");
  ASSERT_EQ(stop["targets"].size(), 2u);
  EXPECT_EQ(stop["targets"][1],
            json({{"pid", 5678}, {"priority", nullptr}, {"result", {{"code", 1}, {"message", "TerminateProcFailed"}}}}));
  EXPECT_EQ(stop["result"]["code"], 1);

  // A target given as text that is no number keeps its text.
  json odd = Read(FormatJson(Parse("<ZEV_SetProcessPriority_KLVResponse><detail>"
                                   "<ProcessItem PID=\"12x\" priority=\"64\" nResult=\"1\" ErrMsg=\"m\"/>"
                                   "</detail></ZEV_SetProcessPriority_KLVResponse>"),
                             1));
  EXPECT_EQ(odd["targets"][0]["pid"], "12x");
  EXPECT_EQ(odd["targets"][0]["priority"], json({{"class", "idle"}, {"value", 64}}));
  EXPECT_TRUE(odd["command"].is_null());
  EXPECT_TRUE(odd["result"]["message"].is_null());

  json error = Read(FormatJson(Parse(kelvane_tool_fixtures::kErrorExample), -1));
  EXPECT_TRUE(error["command"].is_null());
  EXPECT_FALSE(error.contains("processes"));
  EXPECT_FALSE(error.contains("targets"));
  EXPECT_EQ(error["result"]["code"], -1);
  EXPECT_EQ(error["result"]["message"], "命令文件错误,请检查输入的Cmd文件信息!");

  json none = Read(FormatJsonWithoutResponse("ZEV_StopProcess_KLV", -1));
  EXPECT_EQ(none, json::parse(R"({"command":"ZEV_StopProcess_KLV",)"
                              R"("result":{"code":-1,"message":null,"dateTime":null}})"));
  EXPECT_EQ(Read(FormatJsonVersion("1.2.3")), json({{"name", "kelvanectl"}, {"version", "1.2.3"}}));
}

TEST(Json, HostileTextsStayValidJson) {
  // A name with a lone high surrogate, a lone low surrogate, a control
  // character, a quote, a backslash and a high surrogate cut off by the
  // closing quote; a command line with a JSON-looking tail.
  std::u16string units = u"<ZEV_GetProcessList_KLVResponse><detail><ProcessItem PID=\"7\" name=\"a";
  units += static_cast<char16_t>(0xD800);
  units += u"b";
  units += static_cast<char16_t>(0xDC00);
  units += u"\x01&quot;\\";
  units += static_cast<char16_t>(0xDBFF);
  units += u"\" CommandLine=\"x\\&quot;, &quot;pid&quot;: 1}\" CpuUsage=\"99999999999999999999\"/>"
           u"</detail></ZEV_GetProcessList_KLVResponse>";
  std::string text = FormatJson(ParseBytes("\xFF\xFE" + kelvane_tool_test::LeBytes(units)), 0);
  json doc = Read(text);
  ASSERT_EQ(doc["processes"].size(), 1u);
  const json& p = doc["processes"][0];
  EXPECT_EQ(p["name"], "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\x01\"\\\xEF\xBF\xBD");
  EXPECT_EQ(p["commandLine"], "x\\\", \"pid\": 1}");
  EXPECT_EQ(p["pid"], 7);
  EXPECT_TRUE(p["cpu"].is_null());  // out of range: no number
  EXPECT_TRUE(p["memory"].is_null());
  EXPECT_EQ(text.find('\x01'), std::string::npos);  // escaped, not raw
}

TEST(Json, SortAndTopSelectTheProcesses) {
  ResponseDocument doc = Parse(kelvane_tool_fixtures::kProcessList);
  auto pids = [&](SortKey key, size_t top) {
    ListView view;
    view.sort = key;
    view.top = top;
    return Pids(Read(FormatJson(doc, 0, view)));
  };
  EXPECT_EQ(pids(SortKey::kNone, 0), (std::vector<int64_t>{0, 1234, 77}));
  EXPECT_EQ(pids(SortKey::kCpu, 0), (std::vector<int64_t>{0, 1234, 77}));
  EXPECT_EQ(pids(SortKey::kMemory, 0), (std::vector<int64_t>{1234, 77, 0}));
  EXPECT_EQ(pids(SortKey::kPid, 0), (std::vector<int64_t>{0, 77, 1234}));
  EXPECT_EQ(pids(SortKey::kName, 0), (std::vector<int64_t>{0, 77, 1234}));  // "S" < "s" < UTF-8 bytes
  EXPECT_EQ(pids(SortKey::kMemory, 2), (std::vector<int64_t>{1234, 77}));
  EXPECT_EQ(pids(SortKey::kPid, 10), (std::vector<int64_t>{0, 77, 1234}));

  // Values that are not numbers go last in either direction; ties keep
  // the library's order.
  ResponseDocument odd = Parse(
      "<ZEV_GetProcessList_KLVResponse><detail>"
      "<ProcessItem PID=\"5\" CpuUsage=\"\"/><ProcessItem PID=\"6\" CpuUsage=\"1\"/>"
      "<ProcessItem PID=\"7\" CpuUsage=\"1\"/><ProcessItem PID=\"x\" CpuUsage=\"2\"/>"
      "</detail></ZEV_GetProcessList_KLVResponse>");
  ListView by_cpu;
  by_cpu.sort = SortKey::kCpu;
  std::vector<int> items = ProcessItems(odd, by_cpu);
  std::vector<std::string> order;
  for (int index : items) order.push_back(odd.elements[static_cast<size_t>(index)].Get("PID"));
  EXPECT_EQ(order, (std::vector<std::string>{"x", "6", "7", "5"}));
  by_cpu.sort = SortKey::kPid;
  order.clear();
  for (int index : ProcessItems(odd, by_cpu)) order.push_back(odd.elements[static_cast<size_t>(index)].Get("PID"));
  EXPECT_EQ(order, (std::vector<std::string>{"5", "6", "7", "x"}));

  SortKey key;
  EXPECT_TRUE(ParseSortKey("memory", &key));
  EXPECT_EQ(key, SortKey::kMemory);
  EXPECT_FALSE(ParseSortKey("CPU", &key));
  EXPECT_FALSE(ParseSortKey("", &key));
}

}  // namespace
}  // namespace kelvanectl
