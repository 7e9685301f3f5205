#include "cli.h"

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

TEST(ExitStatus, FollowsTheResultCode) {
  EXPECT_EQ(ExitStatusForResult(0), 0);
  EXPECT_EQ(ExitStatusForResult(1), 1);
  EXPECT_EQ(ExitStatusForResult(-1), 2);
  EXPECT_EQ(ExitStatusForResult(42), 2);
}

}  // namespace
}  // namespace kelvanectl
