// kelvanectl metrics run against the fake library: the exposition on
// standard output, a failed listing, and --textfile: the file replaced as a
// whole, links replaced rather than followed, nothing left behind on
// failure, a file-size limit reported instead of ending the program.
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "program_runner.h"
#include "tool_test_util.h"

namespace {

using kelvane_tool_test::ReadFile;
using kelvane_tool_test::RunResult;
using kelvane_tool_test::ScratchDir;
using kelvane_tool_test::WriteFile;

RunResult Metrics(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env = {}) {
  ScratchDir tmp;
  args.insert(args.begin(), "metrics");
  args.push_back("--library");
  args.push_back(kelvane_tool_test::TrustedCopy(FAKE_PLUGIN_PATH));
  env.emplace_back("TMPDIR", tmp.path());
  RunResult result = kelvane_tool_test::Run(KELVANECTL_PATH, args, env);
  EXPECT_TRUE(tmp.Entries().empty()) << "temporary files left behind";
  return result;
}

// The text without the two lines that differ from run to run.
std::string WithoutTimes(const std::string& text) {
  std::string out;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start + 1);
    if (line.rfind("kelvane_listing_duration_seconds ", 0) != 0 &&
        line.rfind("kelvane_listing_timestamp_seconds ", 0) != 0) {
      out += line;
    }
  }
  return out;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(MetricsProgram, PrintsTheListingPerNameAndUser) {
  RunResult r = Metrics({});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(Contains(r.out, "\nkelvane_listing_success 1\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\nkelvane_processes{name=\"sleep\",user=\"nobody\"} 1\n")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\nkelvane_process_resident_memory_bytes{name=\"服务器\",user=\"root\"} 12897484\n"));
  EXPECT_TRUE(Contains(r.out, "\nkelvane_process_modules{name=\"服务器\",user=\"root\"} 1\n"));
  EXPECT_FALSE(Contains(r.out, "System Idle Process"));

  r = Metrics({"--group-by", "none"});
  EXPECT_TRUE(Contains(r.out, "\nkelvane_process_cpu_percent{pid=\"1234\",name=\"服务器\",user=\"root\"} 3\n"));
}

TEST(MetricsProgram, AFailedListingSaysSoAndExitsWith2) {
  RunResult r = Metrics({}, {{"KELVANE_FAKE_CODE", "-1"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.out, "\nkelvane_listing_success 0\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, "kelvane_processes"));

  r = Metrics({}, {{"KELVANE_FAKE_SILENT", "1"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.out, "\nkelvane_listing_success 0\n")) << r.out;
  EXPECT_TRUE(Contains(r.err, "wrote no response")) << r.err;
}

TEST(MetricsProgram, TextfileIsWrittenWholeAndReadableByEveryone) {
  ScratchDir dir;
  WriteFile(dir.File("kelvane.prom"), "old\n");
  WriteFile(dir.File("other.prom"), "x 1\n");
  RunResult r = Metrics({"--textfile", dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(WithoutTimes(ReadFile(dir.File("kelvane.prom"))), WithoutTimes(Metrics({}).out));
  EXPECT_EQ(ReadFile(dir.File("other.prom")), "x 1\n");
  std::vector<std::string> entries = dir.Entries();
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"kelvane.prom", "other.prom"}));
  struct stat info;
  ASSERT_EQ(stat(dir.File("kelvane.prom").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);

  // A failed listing is written too: the collector must see it.
  r = Metrics({"--textfile", dir.path()}, {{"KELVANE_FAKE_CODE", "-1"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(ReadFile(dir.File("kelvane.prom")), "\nkelvane_listing_success 0\n"));
}

TEST(MetricsProgram, ALinkAtTheTextfileIsReplacedNotFollowed) {
  ScratchDir dir;
  ScratchDir elsewhere;
  WriteFile(elsewhere.File("target"), "precious\n");
  std::filesystem::create_symlink(elsewhere.File("target"), dir.File("kelvane.prom"));
  RunResult r = Metrics({"--textfile", dir.path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(std::filesystem::is_symlink(dir.File("kelvane.prom")));
  EXPECT_TRUE(Contains(ReadFile(dir.File("kelvane.prom")), "kelvane_processes"));
  EXPECT_EQ(ReadFile(elsewhere.File("target")), "precious\n");
}

TEST(MetricsProgram, ATextfileThatCannotBeWrittenLeavesNothingBehind) {
  ScratchDir dir;
  RunResult r = Metrics({"--textfile", dir.File("missing")});
  EXPECT_EQ(r.status, 74);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(Contains(r.err, "cannot open the directory " + dir.File("missing"))) << r.err;

  WriteFile(dir.File("plain"), "");
  EXPECT_EQ(Metrics({"--textfile", dir.File("plain")}).status, 74);

  // A directory in the file's place: the rename fails, the temporary file goes.
  std::filesystem::create_directory(dir.File("kelvane.prom"));
  r = Metrics({"--textfile", dir.path()});
  EXPECT_EQ(r.status, 74);
  EXPECT_TRUE(Contains(r.err, "cannot rename")) << r.err;
  std::vector<std::string> entries = dir.Entries();
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"kelvane.prom", "plain"}));
}

TEST(MetricsProgram, AFileSizeLimitFailsTheWriteInsteadOfEndingTheProgram) {
  // One process with a long name: the exposition (the name in four series)
  // outgrows the library's response (the name once), so a file-size limit
  // between the two lets the call write its response and fails the
  // textfile.
  ScratchDir dir;
  const std::string list =
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessList_KLVResponse>\r\n"
      "<detail>\r\n<ProcessItem name=\"" + std::string(250, 'n') +
      "\" PID=\"7\" UserName=\"u\" CpuUsage=\"1\" MemoryUsage=\"2\"/>\r\n</detail>\r\n"
      "<Result cmdName=\"ZEV_GetProcessList_KLV\" DateTime=\"2009-07-27 14:05:09\" nResult=\"0\" "
      "ErrMsg=\"GetSuccessed\"/>\r\n</ZEV_GetProcessList_KLVResponse>\r\n";
  WriteFile(dir.File("list.xml"), list);
  const std::vector<std::pair<std::string, std::string>> env = {{"KELVANE_FAKE_LIST", dir.File("list.xml")}};
  const size_t response_bytes = kelvane_tool_test::Utf16Bytes(list).size();
  const size_t exposition_bytes = Metrics({"--group-by", "none"}, env).out.size();
  ASSERT_GT(exposition_bytes, response_bytes + 400);

  ScratchDir textfiles;
  WriteFile(textfiles.File("kelvane.prom"), "old\n");
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit limit = saved;
  limit.rlim_cur = (response_bytes + exposition_bytes) / 2;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);  // inherited by the program
  RunResult r = Metrics({"--group-by", "none", "--textfile", textfiles.path()}, env);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_EQ(r.status, 74);
  EXPECT_TRUE(Contains(r.err, "File too large")) << r.err;
  EXPECT_EQ(ReadFile(textfiles.File("kelvane.prom")), "old\n");
  EXPECT_EQ(textfiles.Entries(), std::vector<std::string>{"kelvane.prom"});
}

}  // namespace
