// Runs the built kelvanectl against the fake library (see fake_plugin.cc):
// exit statuses, what reaches the library, the files left behind, and the
// output a person sees.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fixtures.h"
#include "kelvane/version.h"
#include "program_runner.h"
#include "tool_test_util.h"
#include "utf.h"

namespace {

using kelvane_tool_test::ReadFile;
using kelvane_tool_test::RunResult;
using kelvane_tool_test::ScratchDir;
using kelvane_tool_test::Utf16Bytes;

class KelvanectlTest : public ::testing::Test {
 protected:
  // Runs kelvanectl with the fake library and a fresh TMPDIR; checks that
  // the temporary directory is empty afterwards.
  RunResult Ctl(std::vector<std::string> args, std::vector<std::pair<std::string, std::string>> env = {}) {
    ScratchDir tmp;
    args.push_back("--library");
    args.push_back(kelvane_tool_test::TrustedCopy(FAKE_PLUGIN_PATH));
    env.emplace_back("TMPDIR", tmp.path());
    env.emplace_back("KELVANE_FAKE_LOG", log_.File("log"));
    env.emplace_back("COLUMNS", "100");
    RunResult result = kelvane_tool_test::Run(KELVANECTL_PATH, args, env);
    EXPECT_TRUE(tmp.Entries().empty()) << "temporary files left behind";
    return result;
  }
  std::string Log() const { return ReadFile(log_.File("log")); }

  ScratchDir log_;
};

TEST_F(KelvanectlTest, ExitStatusFollowsTheResultCode) {
  EXPECT_EQ(Ctl({"stop", "1"}, {{"KELVANE_FAKE_CODE", "0"}}).status, 0);
  EXPECT_EQ(Ctl({"stop", "1"}, {{"KELVANE_FAKE_CODE", "1"}}).status, 1);
  EXPECT_EQ(Ctl({"stop", "1"}, {{"KELVANE_FAKE_CODE", "-1"}}).status, 2);
  EXPECT_EQ(Ctl({"list"}, {{"KELVANE_FAKE_CODE", "-1"}}).status, 2);
}

TEST_F(KelvanectlTest, PrintsTheResponseAsUtf8Text) {
  RunResult r = Ctl({"stop", "1234", "5678"}, {{"KELVANE_FAKE_CODE", "1"}});
  EXPECT_EQ(r.status, 1);
  std::string expected = kelvane_tool_fixtures::kStopExample;
  for (size_t at; (at = expected.find("\r\n")) != std::string::npos;) expected.erase(at, 1);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, "");
}

TEST_F(KelvanectlTest, WritesTheRequestWithIdsAsGiven) {
  RunResult r = Ctl({"stop-tree", "12", "0012", "-1", "a&b\"<", ""});
  EXPECT_EQ(r.status, 0);
  std::string log = Log();
  EXPECT_NE(log.find("<request name=\"ZEV_StopProcessTree_KLV\">\n"
                     "<procid PID=\"12\"/>\n<procid PID=\"0012\"/>\n<procid PID=\"-1\"/>\n"
                     "<procid PID=\"a&amp;b&quot;&lt;\"/>\n<procid PID=\"\"/>\n</request>\n"),
            std::string::npos)
      << log;
  // The fake echoes the escaped ids; the text output shows them as written.
  EXPECT_NE(r.out.find("<ProcessItem PID=\"a&amp;b&quot;&lt;\" priority=\"-1\""), std::string::npos) << r.out;

  r = Ctl({"priority", "77", "below-normal"});
  EXPECT_NE(Log().find("<procid PID=\"77\" priority=\"16384\"/>"), std::string::npos);
  r = Ctl({"modules", "5", "6"});
  EXPECT_NE(Log().find("name=\"ZEV_GetProcessModule_KLV\">\n<procid PID=\"5\"/>\n<procid PID=\"6\"/>"),
            std::string::npos);
  r = Ctl({"list"});
  EXPECT_NE(Log().find("<request name=\"ZEV_GetProcessList_KLV\">\n</request>"), std::string::npos);
}

TEST_F(KelvanectlTest, OutKeepsTheUtf16ResponseWrittenByTheLibrary) {
  ScratchDir dir;
  std::string out = dir.File("response.xml");
  kelvane_tool_test::WriteFile(out, "stale");
  RunResult r = Ctl({"modules", "1234", "--out", out});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(Log().find("result=" + out + "\n"), std::string::npos);  // written there directly
  EXPECT_EQ(ReadFile(out), Utf16Bytes(kelvane_tool_fixtures::kModuleExample));
  EXPECT_NE(r.out.find("<ModuleItem name=\"tool.exe\""), std::string::npos);
}

TEST_F(KelvanectlTest, NoResponseIsReported) {
  RunResult r = Ctl({"stop", "1"}, {{"KELVANE_FAKE_SILENT", "1"}, {"KELVANE_FAKE_CODE", "-1"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("wrote no response (result code -1)"), std::string::npos) << r.err;

  // A stale file at --out is not mistaken for this call's response.
  ScratchDir dir;
  kelvane_tool_test::WriteFile(dir.File("r.xml"), Utf16Bytes(kelvane_tool_fixtures::kStopExample));
  r = Ctl({"stop", "1", "--out", dir.File("r.xml")}, {{"KELVANE_FAKE_SILENT", "1"}});
  EXPECT_NE(r.err.find("wrote no response"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("r.xml")));
}

TEST_F(KelvanectlTest, Tables) {
  RunResult r = Ctl({"stop", "1234", "5678", "--table"}, {{"KELVANE_FAKE_CODE", "1"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "PID   PRIORITY  RESULT  MESSAGE\n"
            "1234  -         ok      TerminateProcSuccessed\n"
            "5678  -         failed  TerminateProcFailed\n"
            "Result: failed - TerminateProcFailed (ZEV_StopProcess_KLV, 2009-07-27 14:05:09)\n");

  r = Ctl({"priority", "9", "high", "--table"});
  EXPECT_NE(r.out.find("9    high      ok      SetPRISuccessed\n"), std::string::npos) << r.out;

  r = Ctl({"modules", "1234", "--table"});
  EXPECT_NE(r.out.find("  tool.exe  C:\\Tools\\tool.exe  2009-07-20 10:15:00\n"), std::string::npos) << r.out;

  r = Ctl({"list", "--table"});  // not a terminal: COLUMNS (100) decides
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("3 processes\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("12.3 MiB  high"), std::string::npos) << r.out;
  for (size_t start = 0, end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(kelvanectl::DisplayWidth(r.out.substr(start, end - start)), 100u);
  }
}

TEST_F(KelvanectlTest, JsonOnEverySubcommand) {
  using nlohmann::json;
  RunResult r = Ctl({"list", "--json", "--sort", "memory", "--top", "2"});
  EXPECT_EQ(r.status, 0);
  json list = json::parse(r.out);
  ASSERT_EQ(list["processes"].size(), 2u);
  EXPECT_EQ(list["processes"][0]["pid"], 1234);
  EXPECT_EQ(list["processes"][1]["name"], "sleep");
  EXPECT_EQ(list["result"]["code"], 0);

  r = Ctl({"stop", "1234", "5678", "--json"}, {{"KELVANE_FAKE_CODE", "1"}});
  EXPECT_EQ(r.status, 1);
  json stop = json::parse(r.out);
  ASSERT_EQ(stop["targets"].size(), 2u);
  EXPECT_EQ(stop["targets"][1]["result"]["message"], "TerminateProcFailed");
  EXPECT_EQ(stop["result"]["code"], 1);

  for (std::vector<std::string> args : {std::vector<std::string>{"stop-tree", "4", "--json"},
                                        {"priority", "9", "idle", "--json"},
                                        {"modules", "1234", "--json"}}) {
    r = Ctl(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_EQ(json::parse(r.out)["result"]["code"], 0) << args[0];
  }

  // No response: the error output says so, standard output stays JSON.
  r = Ctl({"stop", "1", "--json"}, {{"KELVANE_FAKE_SILENT", "1"}, {"KELVANE_FAKE_CODE", "-1"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("wrote no response"), std::string::npos);
  json none = json::parse(r.out);
  EXPECT_EQ(none["command"], "ZEV_StopProcess_KLV");
  EXPECT_EQ(none["result"]["code"], -1);
  EXPECT_TRUE(none["result"]["message"].is_null());

  ScratchDir dir;
  kelvane_tool_test::WriteFile(dir.File("req.xml"), "<request name=\"ZEV_GetProcessList_KLV\"/>");
  r = Ctl({"invoke", dir.File("req.xml"), dir.File("res.xml"), "--json"});
  EXPECT_EQ(json::parse(r.out)["processes"].size(), 3u);
}

TEST_F(KelvanectlTest, SortAndTopShapeTheTable) {
  RunResult r = Ctl({"list", "--table", "--top", "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("System Idle Process"), std::string::npos) << r.out;  // the busiest
  EXPECT_EQ(r.out.find("sleep"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 of 3 processes\n"), std::string::npos) << r.out;
  r = Ctl({"list", "--table", "--sort", "pid"});
  EXPECT_LT(r.out.find("sleep 100"), r.out.find("/usr/bin/"));
}

TEST_F(KelvanectlTest, WithoutLibraryOptionTheInstalledLayoutComesFirst) {
  // PREFIX/bin/kelvanectl with PREFIX/lib/kelvane/libkelvane.so (the fake)
  // and nothing beside the program.
  ScratchDir prefix;
  std::filesystem::create_directories(prefix.File("bin"));
  std::filesystem::create_directories(prefix.File("lib/kelvane"));
  std::filesystem::copy_file(KELVANECTL_PATH, prefix.File("bin/kelvanectl"));
  std::filesystem::copy_file(FAKE_PLUGIN_PATH, prefix.File("lib/kelvane/libkelvane.so"));
  ScratchDir tmp;
  RunResult r = kelvane_tool_test::Run(prefix.File("bin/kelvanectl"), {"stop", "1", "--json"}, {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["command"], "ZEV_StopProcess_KLV");

  // Without it, the library beside the program is named in the error.
  std::filesystem::remove(prefix.File("lib/kelvane/libkelvane.so"));
  r = kelvane_tool_test::Run(prefix.File("bin/kelvanectl"), {"stop", "1"}, {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find(prefix.File("bin/libkelvane.so")), std::string::npos) << r.err;
}

TEST_F(KelvanectlTest, VersionIsTheProjectVersion) {
  RunResult r = Ctl({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("kelvanectl ") + KELVANE_VERSION_STRING + "\n");
  EXPECT_EQ(Log(), "");  // the library is not called
}

TEST_F(KelvanectlTest, AnInterruptDuringTheCallStillRemovesTheTemporaryFiles) {
  // The fake raises SIGINT in the program itself (a process this test
  // started); Ctl checks that TMPDIR is empty afterwards.
  RunResult r = Ctl({"list", "--table"}, {{"KELVANE_FAKE_RAISE", "1"}});
  EXPECT_EQ(r.status, -1);  // ended by the signal, not by exit
  EXPECT_EQ(r.out, "");
}

TEST_F(KelvanectlTest, InvokeIsTheRawCall) {
  ScratchDir dir;
  kelvane_tool_test::WriteFile(dir.File("req.xml"), "<request name=\"ZEV_GetProcessList_KLV\"/>");
  RunResult r = Ctl({"invoke", dir.File("req.xml"), dir.File("res.xml")}, {{"KELVANE_FAKE_CODE", "-1"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "-1\n");
  EXPECT_EQ(ReadFile(dir.File("res.xml")), Utf16Bytes(kelvane_tool_fixtures::kProcessList));

  kelvane_tool_test::WriteFile(dir.File("req.xml"), "<request name=\"ZEV_Unknown_KLV\"/>");
  r = Ctl({"invoke", dir.File("req.xml"), dir.File("none.xml")});
  EXPECT_EQ(r.out, "-1\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("none.xml")));
}

TEST_F(KelvanectlTest, LibraryProblemsExitWith3) {
  ScratchDir tmp;
  RunResult r = kelvane_tool_test::Run(KELVANECTL_PATH, {"stop", "1", "--library", tmp.File("missing.so")}, {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("cannot load the library"), std::string::npos);
  r = kelvane_tool_test::Run(KELVANECTL_PATH, {"list", "--library", kelvane_tool_test::TrustedCopy(FAKE_NOSYMBOL_PATH)},
                             {{"TMPDIR", tmp.path()}});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("no entry point ZEV_RemoteInvoke"), std::string::npos);
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST_F(KelvanectlTest, AFileSizeLimitLeavesNoFileBehind) {
  // The real library, asked about a process that cannot exist, writes a
  // response beyond the limit next to --out: the write fails (no SIGXFSZ),
  // the library removes its temporary file, the program its own.
  ScratchDir dir;
  ScratchDir tmp;
  RunResult r = kelvane_tool_test::Run(KELVANECTL_PATH,
                                       {"modules", "999999999", "--out", dir.File("r.xml"), "--library",
                                        kelvane_tool_test::TrustedCopy(KELVANE_LIBRARY_PATH)},
                                       {{"TMPDIR", tmp.path()}}, 256);
  EXPECT_EQ(r.status, 2) << r.err;  // exited with the code -1 of an empty module list
  EXPECT_NE(r.err.find("wrote no response"), std::string::npos) << r.err;
  EXPECT_TRUE(dir.Entries().empty()) << "left beside --out: " << dir.Entries().front();
  EXPECT_TRUE(tmp.Entries().empty()) << "temporary files left behind";
}

TEST_F(KelvanectlTest, AsRootALibraryOthersCouldWriteIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "the check is made as root";
  ScratchDir dir;  // root's own, under the sticky temporary directory
  const std::string lib = dir.File("lib.so");
  std::filesystem::copy_file(FAKE_PLUGIN_PATH, lib);
  // (mode, owner, group of the file; mode, owner of its directory) and the
  // reason given, empty for a library that loads.
  struct Case {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    mode_t dirMode;
    uid_t dirUid;
    std::string reason;
  };
  for (const Case& c : {Case{0644, 0, 0, 0700, 0, ""}, Case{0664, 0, 0, 0700, 0, ""},
                        Case{0644, 0, 0, 01777, 0, ""},  // sticky, like /tmp
                        Case{0646, 0, 0, 0700, 0, lib + " is writable by others"},
                        Case{0664, 0, 65534, 0700, 0, lib + " is writable by group 65534"},
                        Case{0644, 65534, 0, 0700, 0, lib + " is owned by uid 65534, not by root"},
                        Case{0644, 0, 0, 0777, 0, dir.path() + " is writable by others"},
                        Case{0644, 0, 0, 01755, 65534, dir.path() + " is owned by uid 65534"}}) {
    ASSERT_EQ(0, chown(lib.c_str(), c.uid, c.gid));
    ASSERT_EQ(0, chmod(lib.c_str(), c.mode));
    ASSERT_EQ(0, chown(dir.path().c_str(), c.dirUid, 0));
    ASSERT_EQ(0, chmod(dir.path().c_str(), c.dirMode));
    ScratchDir tmp;
    RunResult r = kelvane_tool_test::Run(KELVANECTL_PATH, {"stop", "1", "--library", lib}, {{"TMPDIR", tmp.path()}});
    EXPECT_EQ(r.status, c.reason.empty() ? 0 : 77) << c.reason << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
  }
  ASSERT_EQ(0, chown(dir.path().c_str(), 0, 0));
  // Not a library at all: cannot be loaded, and a FIFO is never opened.
  ASSERT_EQ(0, mkfifo(dir.File("fifo").c_str(), 0600));
  EXPECT_EQ(kelvane_tool_test::Run(KELVANECTL_PATH, {"list", "--library", dir.File("fifo")}, {}).status, 3);
}

TEST_F(KelvanectlTest, UsageErrorsExitWith64AndHelpWith0) {
  EXPECT_EQ(Ctl({}).status, 64);
  RunResult r = Ctl({"stop"});
  EXPECT_EQ(r.status, 64);
  EXPECT_NE(r.err.find("needs at least one PID"), std::string::npos);
  EXPECT_EQ(Ctl({"priority", "1", "warp"}).status, 64);
  EXPECT_EQ(Ctl({"list", "--bogus"}).status, 64);
  EXPECT_EQ(Log(), "");  // the library was never called

  r = Ctl({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("stop-tree PID..."), std::string::npos);
  r = Ctl({"help", "priority"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("kelvanectl priority 4711 below-normal"), std::string::npos);
  EXPECT_EQ(Ctl({"modules", "--help"}).out, Ctl({"help", "modules"}).out);
  // --help does not turn an unknown topic into an empty success.
  r = Ctl({"help", "nope", "--help"});
  EXPECT_EQ(r.status, 64);
  EXPECT_NE(r.err.find("unknown subcommand 'nope'"), std::string::npos);
}

}  // namespace
