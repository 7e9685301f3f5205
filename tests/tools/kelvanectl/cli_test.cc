#include "cli.h"

#include "host_os.h"

#include <gtest/gtest.h>

namespace kelvanectl {
namespace {

Options MustParse(const std::vector<std::string>& args) {
  Options o;
  std::string error;
  EXPECT_TRUE(ParseArguments(args, &o, &error)) << error;
  return o;
}

std::string UsageError(const std::vector<std::string>& args) {
  Options o;
  std::string error;
  EXPECT_FALSE(ParseArguments(args, &o, &error));
  return error;
}

TEST(Arguments, OptionsStandAnywhere) {
  Options o = MustParse({"--table", "stop", "1", "--library", "/x/lib.so", "2", "--out=r.xml"});
  EXPECT_EQ(o.subcommand, "stop");
  EXPECT_EQ(o.operands, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(o.library, "/x/lib.so");
  EXPECT_EQ(o.out, "r.xml");
  EXPECT_TRUE(o.table);
  EXPECT_FALSE(o.help);
}

TEST(Arguments, NegativeAndOddIdsAreOperands) {
  Options o = MustParse({"stop", "-1", "-5", "abc", "", "--", "--table"});
  EXPECT_EQ(o.operands, (std::vector<std::string>{"-1", "-5", "abc", "", "--table"}));
  EXPECT_FALSE(o.table);
}

TEST(Arguments, HelpNeedsNoOperands) {
  EXPECT_TRUE(MustParse({"--help"}).help);
  Options o = MustParse({"priority", "-h"});
  EXPECT_TRUE(o.help);
  EXPECT_EQ(o.subcommand, "priority");
  EXPECT_FALSE(HelpText("priority").empty());
  EXPECT_NE(HelpText("").find("example"), std::string::npos);
  for (const char* name : {"invoke", "stop", "stop-tree", "priority", "list", "modules", "help"}) {
    EXPECT_NE(HelpText(name).find("example:\n  kelvanectl "), std::string::npos) << name;
  }
  EXPECT_EQ(HelpText("nope"), "");
}

TEST(Arguments, OperandCounts) {
  EXPECT_EQ(MustParse({"list"}).operands.size(), 0u);
  EXPECT_EQ(MustParse({"priority", "7", "high"}).operands.size(), 2u);
  EXPECT_EQ(MustParse({"priority", "7", "128"}).operands.size(), 2u);
  EXPECT_EQ(MustParse({"invoke", "a", "b"}).operands.size(), 2u);
  EXPECT_EQ(MustParse({"help", "list"}).operands.size(), 1u);
  EXPECT_NE(UsageError({}).find("no subcommand"), std::string::npos);
  EXPECT_NE(UsageError({"frobnicate"}).find("unknown subcommand"), std::string::npos);
  EXPECT_NE(UsageError({"stop"}).find("at least one PID"), std::string::npos);
  EXPECT_NE(UsageError({"stop-tree", "--table"}).find("at least one PID"), std::string::npos);
  EXPECT_NE(UsageError({"modules"}).find("at least one PID"), std::string::npos);
  UsageError({"list", "1"});
  UsageError({"priority", "7"});
  UsageError({"priority", "7", "high", "8"});
  EXPECT_NE(UsageError({"priority", "7", "fast"}).find("unknown priority class 'fast'"), std::string::npos);
  UsageError({"invoke", "a"});
  UsageError({"invoke", "a", "b", "--table"});
  UsageError({"invoke", "a", "b", "--out", "c"});
  UsageError({"help", "nope"});
}

TEST(Arguments, OptionValues) {
  EXPECT_NE(UsageError({"list", "--out"}).find("--out needs a value"), std::string::npos);
  EXPECT_NE(UsageError({"list", "--library="}).find("non-empty"), std::string::npos);
  EXPECT_NE(UsageError({"list", "--tabel"}).find("unknown option --tabel"), std::string::npos);
  EXPECT_EQ(MustParse({"list", "--library=a=b"}).library, "a=b");
}

TEST(Arguments, JsonSortTopAndVersion) {
  Options o = MustParse({"list", "--json", "--sort", "memory", "--top=5"});
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.view.sort, SortKey::kMemory);
  EXPECT_EQ(o.view.top, 5u);
  // --top alone ranks by CPU; --sort alone keeps every process.
  EXPECT_EQ(MustParse({"list", "--top", "3"}).view.sort, SortKey::kCpu);
  EXPECT_EQ(MustParse({"list", "--sort", "name"}).view.top, 0u);
  EXPECT_TRUE(MustParse({"stop", "1", "--json"}).json);
  EXPECT_TRUE(MustParse({"invoke", "a", "b", "--json"}).json);
  EXPECT_TRUE(MustParse({"--version"}).version);
  EXPECT_TRUE(MustParse({"--version", "--json"}).json);

  EXPECT_NE(UsageError({"list", "--json", "--table"}).find("exclude each other"), std::string::npos);
  EXPECT_NE(UsageError({"stop", "1", "--sort", "cpu"}).find("belong to list"), std::string::npos);
  EXPECT_NE(UsageError({"modules", "1", "--top", "2"}).find("belong to list"), std::string::npos);
  EXPECT_NE(UsageError({"list", "--sort", "size"}).find("unknown sort key 'size'"), std::string::npos);
  for (const char* bad : {"0", "-1", "+2", "x", "99999999999999999999"}) {
    EXPECT_NE(UsageError({"list", "--top", bad}).find("positive whole number"), std::string::npos) << bad;
  }
  UsageError({"list", "--sort"});
  UsageError({"help", "--json"});
}

TEST(LibraryLookup, InstalledLayoutFirstThenBesideTheProgram) {
  std::vector<std::string> paths = DefaultLibraryPaths("/opt/x/bin");
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[1], JoinPath("/opt/x/bin", DefaultLibraryName()));
  EXPECT_EQ(paths[0], JoinPath(JoinPath(JoinPath(JoinPath("/opt/x/bin", ".."), "lib"), "kelvane"),
                               DefaultLibraryName()));
}

TEST(ExitStatus, FollowsTheResultCode) {
  EXPECT_EQ(ExitStatusForResult(0), 0);
  EXPECT_EQ(ExitStatusForResult(1), 1);
  EXPECT_EQ(ExitStatusForResult(-1), 2);
  EXPECT_EQ(ExitStatusForResult(42), 2);
}

}  // namespace
}  // namespace kelvanectl
