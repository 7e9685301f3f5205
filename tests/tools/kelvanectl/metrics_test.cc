// The Prometheus exposition of kelvanectl metrics: exact text for each
// grouping, label escaping, hostile names, a failed listing, and the
// command-line options.
#include "metrics.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

#include "cli.h"
#include "tool_test_util.h"
#include "utf.h"

namespace kelvanectl {
namespace {

using kelvane_tool_test::Utf16Bytes;

constexpr char kHead[] =
    "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessList_KLVResponse>\r\n"
    "<detail>\r\n";
constexpr char kTail[] =
    "</detail>\r\n"
    "<Result cmdName=\"ZEV_GetProcessList_KLV\" DateTime=\"2009-07-27 14:05:09\" nResult=\"0\" "
    "ErrMsg=\"GetSuccessed\"/>\r\n"
    "</ZEV_GetProcessList_KLVResponse>\r\n";

// A ProcessItem with the attributes the metrics read, and `modules`
// ModuleItem children.
std::string Item(const std::string& pid, const std::string& name, const std::string& user, const std::string& cpu,
                 const std::string& memory, int modules) {
  std::string item = "<ProcessItem name=\"" + name + "\" PID=\"" + pid + "\" CommandLine=\"\" UserName=\"" + user +
                     "\" CpuUsage=\"" + cpu + "\" MemoryUsage=\"" + memory +
                     "\" ProductVersion=\"\" FileVersion=\"\" Descript=\"\" Path=\"\" Publisher=\"\" "
                     "FileSize=\"0\" Priority=\"32\"";
  if (modules == 0) return item + "/>\r\n";
  item += ">\r\n";
  for (int i = 0; i < modules; ++i) {
    item += "<ModuleItem name=\"m\" Publisher=\"\" Path=\"/m\" Descript=\"\" ProductVersion=\"\" "
            "ModifyTime=\"2024-01-02 03:04:05\"/>\r\n";
  }
  return item + "</ProcessItem>\r\n";
}

ResponseDocument Parse(const std::string& items) {
  ResponseDocument doc;
  std::string error;
  EXPECT_TRUE(ParseResponse(Utf16Bytes(kHead + items + kTail), &doc, &error)) << error;
  return doc;
}

// The idle record, two sleeps of nobody, one of root, and a name that holds
// a quote, a backslash and a line feed (as the library escapes them).
ResponseDocument Listing() {
  return Parse(Item("0", "System Idle Process", "", "91", "0", 0) +
               Item("10", "sleep", "nobody", "1", "1000", 2) +
               Item("9", "sleep", "nobody", "2", "3000", 3) +
               Item("200", "sleep", "root", "0", "500", 1) +
               Item("31", "a&quot;b\\c&#10;d", "root", "5", "7", 0));
}

ListingFacts Succeeded() {
  ListingFacts facts;
  facts.succeeded = true;
  facts.duration_seconds = 0.2534567;
  facts.timestamp_seconds = 1700000000.25;
  return facts;
}

constexpr char kListingFamilies[] =
    "# HELP kelvane_listing_success 1 when the listing succeeded (result code 0), 0 otherwise.\n"
    "# TYPE kelvane_listing_success gauge\n"
    "kelvane_listing_success 1\n"
    "# HELP kelvane_listing_duration_seconds Wall time of the listing call in seconds.\n"
    "# TYPE kelvane_listing_duration_seconds gauge\n"
    "kelvane_listing_duration_seconds 0.253457\n"
    "# HELP kelvane_listing_timestamp_seconds Unix time at which the listing call returned.\n"
    "# TYPE kelvane_listing_timestamp_seconds gauge\n"
    "kelvane_listing_timestamp_seconds 1700000000.250\n";

// The sample lines of `text` (comments left out).
std::vector<std::string> Samples(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    if (text[start] != '#') lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST(Metrics, ByNameAndUserByDefault) {
  EXPECT_EQ(FormatMetrics(Listing(), Succeeded(), GroupBy::kNameUser),
            std::string(kListingFamilies) +
                "# HELP kelvane_process_cpu_percent CPU usage of the group's processes over the listing's "
                "sampling window, in percent of all CPU time of the machine (each process in whole percent), "
                "summed.\n"
                "# TYPE kelvane_process_cpu_percent gauge\n"
                "kelvane_process_cpu_percent{name=\"a\\\"b\\\\c\\nd\",user=\"root\"} 5\n"
                "kelvane_process_cpu_percent{name=\"sleep\",user=\"nobody\"} 3\n"
                "kelvane_process_cpu_percent{name=\"sleep\",user=\"root\"} 0\n"
                "# HELP kelvane_process_resident_memory_bytes Resident memory (working set) of the group's "
                "processes in bytes, summed.\n"
                "# TYPE kelvane_process_resident_memory_bytes gauge\n"
                "kelvane_process_resident_memory_bytes{name=\"a\\\"b\\\\c\\nd\",user=\"root\"} 7\n"
                "kelvane_process_resident_memory_bytes{name=\"sleep\",user=\"nobody\"} 4000\n"
                "kelvane_process_resident_memory_bytes{name=\"sleep\",user=\"root\"} 500\n"
                "# HELP kelvane_processes Number of processes in the group.\n"
                "# TYPE kelvane_processes gauge\n"
                "kelvane_processes{name=\"a\\\"b\\\\c\\nd\",user=\"root\"} 1\n"
                "kelvane_processes{name=\"sleep\",user=\"nobody\"} 2\n"
                "kelvane_processes{name=\"sleep\",user=\"root\"} 1\n"
                "# HELP kelvane_process_modules Loaded modules (the image included) of the group's "
                "processes, summed.\n"
                "# TYPE kelvane_process_modules gauge\n"
                "kelvane_process_modules{name=\"a\\\"b\\\\c\\nd\",user=\"root\"} 0\n"
                "kelvane_process_modules{name=\"sleep\",user=\"nobody\"} 5\n"
                "kelvane_process_modules{name=\"sleep\",user=\"root\"} 1\n");
}

TEST(Metrics, OtherGroupings) {
  std::vector<std::string> by_name = Samples(FormatMetrics(Listing(), Succeeded(), GroupBy::kName));
  EXPECT_EQ(std::vector<std::string>(by_name.begin() + 3, by_name.begin() + 5),
            (std::vector<std::string>{"kelvane_process_cpu_percent{name=\"a\\\"b\\\\c\\nd\"} 5",
                                      "kelvane_process_cpu_percent{name=\"sleep\"} 3"}));
  EXPECT_EQ(by_name.size(), 3u + 4 * 2);

  std::vector<std::string> by_user = Samples(FormatMetrics(Listing(), Succeeded(), GroupBy::kUser));
  EXPECT_EQ(std::vector<std::string>(by_user.begin() + 7, by_user.begin() + 9),
            (std::vector<std::string>{"kelvane_processes{user=\"nobody\"} 2", "kelvane_processes{user=\"root\"} 2"}));
  EXPECT_EQ(by_user.size(), 3u + 4 * 2);

  // One series per process, pids in numeric order; the idle record is none.
  std::vector<std::string> by_pid = Samples(FormatMetrics(Listing(), Succeeded(), GroupBy::kNone));
  EXPECT_EQ(std::vector<std::string>(by_pid.begin() + 7, by_pid.begin() + 11),
            (std::vector<std::string>{
                "kelvane_process_resident_memory_bytes{pid=\"9\",name=\"sleep\",user=\"nobody\"} 3000",
                "kelvane_process_resident_memory_bytes{pid=\"10\",name=\"sleep\",user=\"nobody\"} 1000",
                "kelvane_process_resident_memory_bytes{pid=\"31\",name=\"a\\\"b\\\\c\\nd\",user=\"root\"} 7",
                "kelvane_process_resident_memory_bytes{pid=\"200\",name=\"sleep\",user=\"root\"} 500"}));
  EXPECT_EQ(by_pid.size(), 3u + 4 * 4);
}

TEST(Metrics, AFailedListingGivesTheListingFamiliesOnly) {
  ListingFacts facts = Succeeded();
  facts.succeeded = false;
  std::string expected = kListingFamilies;
  expected.replace(expected.find("\nkelvane_listing_success 1\n"), 27, "\nkelvane_listing_success 0\n");
  EXPECT_EQ(FormatMetrics(Listing(), facts, GroupBy::kNameUser), expected);
  EXPECT_EQ(FormatMetrics(ResponseDocument(), facts, GroupBy::kNone), expected);
}

TEST(Metrics, ValuesThatAreNotNumbersCountAsZero) {
  std::vector<std::string> samples =
      Samples(FormatMetrics(Parse(Item("5", "x", "u", "", "lots", 0) + Item("6", "x", "u", "2", "-", 0)),
                            Succeeded(), GroupBy::kNameUser));
  EXPECT_EQ(std::vector<std::string>(samples.begin() + 3, samples.end()),
            (std::vector<std::string>{"kelvane_process_cpu_percent{name=\"x\",user=\"u\"} 2",
                                      "kelvane_process_resident_memory_bytes{name=\"x\",user=\"u\"} 0",
                                      "kelvane_processes{name=\"x\",user=\"u\"} 2",
                                      "kelvane_process_modules{name=\"x\",user=\"u\"} 0"}));
}

TEST(LabelValues, EscapedAsTheFormatAsks) {
  EXPECT_EQ(EscapeLabelValue("plain name"), "plain name");
  EXPECT_EQ(EscapeLabelValue("a\\b"), "a\\\\b");
  EXPECT_EQ(EscapeLabelValue("say \"hi\""), "say \\\"hi\\\"");
  EXPECT_EQ(EscapeLabelValue("two\nlines\n"), "two\\nlines\\n");
  EXPECT_EQ(EscapeLabelValue("x\"} 1\nevil{a=\"b"), "x\\\"} 1\\nevil{a=\\\"b");
  // Other characters, tab and carriage return included, stand as they are.
  EXPECT_EQ(EscapeLabelValue("tab\tcr\r{}=,#"), "tab\tcr\r{}=,#");
  EXPECT_EQ(EscapeLabelValue("服务器 \xF0\x9F\x98\x80"), "服务器 \xF0\x9F\x98\x80");
}

TEST(LabelValues, MalformedUtf8BecomesReplacementCharacters) {
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(EscapeLabelValue("a\xFF" "b"), "a" + fffd + "b");
  EXPECT_EQ(EscapeLabelValue("\xC0\xAF"), fffd + fffd);            // overlong '/'
  EXPECT_EQ(EscapeLabelValue("\xED\xA0\x80"), fffd + fffd + fffd);  // a surrogate
  EXPECT_EQ(EscapeLabelValue("cut \xE6\x9C"), "cut " + fffd + fffd);
  // A lead byte never swallows the quote or backslash after it.
  EXPECT_EQ(EscapeLabelValue("\xE6\"\\"), fffd + "\\\"\\\\");
}

TEST(LabelValues, NamesFromLoneSurrogatesAreOneSeries) {
  // Two different lone surrogates both read as U+FFFD: one series of two.
  // (Put in place of the names "1" and "2" in the UTF-16 text.)
  std::u16string units =
      Utf8ToUtf16(kHead + Item("5", "1", "u", "0", "1", 0) + Item("6", "2", "u", "0", "1", 0) + kTail);
  units.replace(units.find(u"name=\"1\"") + 6, 1, 1, char16_t{0xD800});
  units.replace(units.find(u"name=\"2\"") + 6, 1, 1, char16_t{0xDC00});
  ResponseDocument doc;
  std::string error;
  ASSERT_TRUE(ParseResponse("\xFF\xFE" + kelvane_tool_test::LeBytes(units), &doc, &error)) << error;
  std::vector<std::string> samples = Samples(FormatMetrics(doc, Succeeded(), GroupBy::kName));
  ASSERT_EQ(samples.size(), 3u + 4);
  EXPECT_EQ(samples[5], "kelvane_processes{name=\"\xEF\xBF\xBD\"} 2");
}

// Every line of the exposition is a comment of the two kinds or a sample
// with well-formed labels, however the names are made.
TEST(Metrics, RandomHostileNamesNeverBreakALine) {
  const std::regex sample(
      "[a-z_]+(\\{[a-z]+=\"([^\"\\\\\\n]|\\\\[\\\\\"n])*\"(,[a-z]+=\"([^\"\\\\\\n]|\\\\[\\\\\"n])*\")*\\})? "
      "-?[0-9]+(\\.[0-9]+)?");
  const std::regex comment("# (HELP [a-z_]+ [^\\n]*|TYPE [a-z_]+ gauge)");
  std::mt19937 random(20);
  const std::string alphabet = "ab\"\\\n\r\t{}=,# \xFF\xC3\xA9\xE6\x9C\x8D";
  for (int round = 0; round < 50; ++round) {
    std::vector<std::string> names;
    std::string items;
    for (int p = 1; p <= 6; ++p) {
      std::string name;
      for (int i = static_cast<int>(random() % 12); i > 0; --i) name += alphabet[random() % alphabet.size()];
      // Straight into a parsed document: the labels see the raw bytes.
      names.push_back(name);
      items += Item(std::to_string(p), "n", "u", "1", "1", 0);
    }
    ResponseDocument doc = Parse(items);
    size_t p = 0;
    for (XmlElement& element : doc.elements) {
      if (element.name != "ProcessItem") continue;
      for (XmlAttribute& attribute : element.attributes) {
        if (attribute.name == "name") attribute.value = names[p];
        if (attribute.name == "UserName") attribute.value = names[(p + 1) % names.size()];
      }
      ++p;
    }
    for (GroupBy group_by : {GroupBy::kNameUser, GroupBy::kName, GroupBy::kUser, GroupBy::kNone}) {
      const std::string text = FormatMetrics(doc, Succeeded(), group_by);
      ASSERT_EQ(text.back(), '\n');
      EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text) << "not valid UTF-8";
      size_t samples = 0;
      for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line[0] == '#') {
          EXPECT_TRUE(std::regex_match(line, comment)) << line;
        } else {
          EXPECT_TRUE(std::regex_match(line, sample)) << line;
          ++samples;
        }
      }
      if (group_by == GroupBy::kNone) {
        EXPECT_EQ(samples, 3u + 4 * 6);
      }
    }
  }
}

TEST(MetricsArguments, GroupingAndTextfile) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseArguments({"metrics"}, &o, &error)) << error;
  EXPECT_EQ(o.group_by, GroupBy::kNameUser);
  EXPECT_EQ(o.textfile, "");
  ASSERT_TRUE(ParseArguments({"metrics", "--group-by", "none", "--textfile=/d"}, &o, &error)) << error;
  EXPECT_EQ(o.group_by, GroupBy::kNone);
  EXPECT_EQ(o.textfile, "/d");
  for (const char* key : {"name", "user", "name,user"}) {
    EXPECT_TRUE(ParseArguments({"metrics", "--group-by", key}, &o, &error)) << key;
  }
  EXPECT_FALSE(ParseArguments({"metrics", "--group-by", "pid"}, &o, &error));
  EXPECT_NE(error.find("unknown grouping 'pid'"), std::string::npos) << error;
  EXPECT_FALSE(ParseArguments({"list", "--textfile", "/d"}, &o, &error));
  EXPECT_NE(error.find("belong to metrics"), std::string::npos) << error;
  EXPECT_FALSE(ParseArguments({"metrics", "--json"}, &o, &error));
  EXPECT_FALSE(ParseArguments({"metrics", "1"}, &o, &error));
  EXPECT_FALSE(ParseArguments({"metrics", "--textfile"}, &o, &error));
  EXPECT_NE(HelpText("metrics").find("example:\n  kelvanectl metrics"), std::string::npos);
}

}  // namespace
}  // namespace kelvanectl
