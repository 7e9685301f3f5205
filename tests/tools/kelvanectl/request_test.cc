#include "request.h"

#include <gtest/gtest.h>

namespace kelvanectl {
namespace {

TEST(RequestWriter, WritesOneProcidPerTargetWithIdsAsGiven) {
  std::vector<RequestTarget> targets(3);
  targets[0].pid = "123";
  targets[1].pid = "0012";
  targets[2].pid = " -5 ";
  EXPECT_EQ(BuildRequestDocument("ZEV_StopProcess_KLV", targets),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<request name=\"ZEV_StopProcess_KLV\">\n"
            "<procid PID=\"123\"/>\n"
            "<procid PID=\"0012\"/>\n"
            "<procid PID=\" -5 \"/>\n"
            "</request>\n");
}

TEST(RequestWriter, PriorityAndNoTargets) {
  RequestTarget target;
  target.pid = "77";
  target.has_priority = true;
  target.priority = 16384;
  EXPECT_EQ(BuildRequestDocument("ZEV_SetProcessPriority_KLV", {target}),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<request name=\"ZEV_SetProcessPriority_KLV\">\n"
            "<procid PID=\"77\" priority=\"16384\"/>\n"
            "</request>\n");
  EXPECT_EQ(BuildRequestDocument("ZEV_GetProcessList_KLV", {}),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<request name=\"ZEV_GetProcessList_KLV\">\n"
            "</request>\n");
}

TEST(RequestWriter, EscapesEverythingMarkupCouldMisread) {
  EXPECT_EQ(EscapeAttribute("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
  EXPECT_EQ(EscapeAttribute("1\t2\n3\r"), "1&#9;2&#10;3&#13;");
  // Characters XML cannot carry become U+FFFD, so the document stays well formed.
  EXPECT_EQ(EscapeAttribute(std::string("a\x01\x1b", 3) + std::string(1, '\0') + "b"),
            "a\uFFFD\uFFFD\uFFFDb");
  EXPECT_EQ(EscapeAttribute("\xC3\x28\xFF"), "\uFFFD(\uFFFD");
  EXPECT_EQ(EscapeAttribute("进程\xF0\x9F\x98\x80"), "进程\xF0\x9F\x98\x80");
  EXPECT_EQ(EscapeAttribute(""), "");
}

TEST(PriorityClass, NamesAndConstants) {
  const std::pair<const char*, int32_t> kGood[] = {
      {"idle", 64},          {"below-normal", 16384}, {"normal", 32},   {"above-normal", 32768},
      {"high", 128},         {"realtime", 256},       {"HIGH", 128},    {"Below_Normal", 16384},
      {"128", 128},          {"0", 0},                {"2147483647", 2147483647}, {"007", 7},
  };
  for (const auto& [text, expected] : kGood) {
    int32_t value = -99;
    EXPECT_TRUE(ParsePriorityClass(text, &value)) << text;
    EXPECT_EQ(value, expected) << text;
  }
  const char* const kBad[] = {"", "-1", "+5", "12a", " 64", "2147483648", "99999999999999999999",
                              "higher", "below normal", "0x80"};
  for (const char* text : kBad) {
    int32_t value = -99;
    EXPECT_FALSE(ParsePriorityClass(text, &value)) << text;
    EXPECT_EQ(value, -99) << text;
  }
}

TEST(PriorityClass, NamesOfConstants) {
  EXPECT_EQ(PriorityClassName(64), "idle");
  EXPECT_EQ(PriorityClassName(16384), "below-normal");
  EXPECT_EQ(PriorityClassName(32), "normal");
  EXPECT_EQ(PriorityClassName(32768), "above-normal");
  EXPECT_EQ(PriorityClassName(128), "high");
  EXPECT_EQ(PriorityClassName(256), "realtime");
  EXPECT_EQ(PriorityClassName(0), "-");
  EXPECT_EQ(PriorityClassName(-1), "-");
  EXPECT_EQ(PriorityClassName(5), "5");
}

}  // namespace
}  // namespace kelvanectl
