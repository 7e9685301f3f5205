// The two listing commands end to end through the exported entry point,
// with processes this test started in its own PID namespace.
#include <signal.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "e2e/library_harness.h"

namespace kelvane {
namespace testing {
namespace {

using ListingCommands = LibraryTest;

// The start tag of the ProcessItem whose PID attribute is `pid`.
std::string ItemFor(const std::string& text, const std::string& pid) {
  std::regex item("<ProcessItem [^>]*PID=\"" + pid + "\"[^>]*>");
  std::smatch match;
  return std::regex_search(text, match, item) ? match.str() : std::string();
}

TEST_F(ListingCommands, ProcessListShowsTheIdleRecordAndOurChild) {
  pid_t child = StartSleepProgram();
  auto outcome = library_.Run("<r name=\"  ZEV_GetProcessList_KLV \"/>");
  KillAndReap(child);
  EXPECT_EQ(0, outcome.code);
  ASSERT_TRUE(outcome.written);
  // The idle record comes first, its CPU figure is what the others leave.
  std::string idle = ItemFor(outcome.text, "0");
  EXPECT_EQ(0u, outcome.text.find(
                    "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_GetProcessList_KLVResponse>\r\n"
                    "<detail>\r\n<ProcessItem name=\"System Idle Process\" PID=\"0\" CommandLine=\"\" UserName=\"System\" CpuUsage=\""));
  EXPECT_NE(std::string::npos, idle.find("MemoryUsage=\"16384\""));
  EXPECT_NE(std::string::npos, idle.find("Path=\"(N/A)\""));

  std::string item = ItemFor(outcome.text, std::to_string(child));
  ASSERT_FALSE(item.empty()) << outcome.text;
  EXPECT_EQ(0u, item.find("<ProcessItem name=\"sleep\" PID="));
  EXPECT_NE(std::string::npos, item.find("CommandLine=\"sleep 1000\""));
  EXPECT_NE(std::string::npos, item.find("UserName=\"root\""));
  EXPECT_NE(std::string::npos, item.find("Priority=\"32\""));
  EXPECT_TRUE(std::regex_search(item, std::regex("Path=\"/[^\"]*/sleep\"")));
  EXPECT_TRUE(std::regex_search(item, std::regex("FileSize=\"[1-9][0-9]*\"")));
  EXPECT_TRUE(std::regex_search(item, std::regex("MemoryUsage=\"[1-9][0-9]*\"")));
  EXPECT_NE(std::string::npos,
            outcome.text.find("<Result cmdName=\"ZEV_GetProcessList_KLV\" DateTime=\"T\" nResult=\"0\" ErrMsg=\"GetSuccessed\"/>"));
}

TEST_F(ListingCommands, ModuleCommandListsTheImageFirstAndTheCLibrary) {
  pid_t child = StartSleepProgram();
  std::string pid = std::to_string(child);
  auto outcome = library_.Run(MakeRequest("ZEV_GetProcessModule_KLV", {pid}));
  KillAndReap(child);
  EXPECT_EQ(0, outcome.code);
  size_t item = outcome.text.find("<ProcessItem PID=\"" + pid + "\">\r\n<ModuleItem name=\"sleep\" Publisher=\"\" Path=\"/");
  EXPECT_NE(std::string::npos, item) << outcome.text;
  EXPECT_TRUE(std::regex_search(outcome.text, std::regex(
      "<ModuleItem name=\"libc\\.so\\.6\" Publisher=\"\" Path=\"/[^\"]*libc\\.so\\.6\" Descript=\"\" "
      "ProductVersion=\"\" ModifyTime=\"[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\"/>")))
      << outcome.text;
}

TEST_F(ListingCommands, ModuleCommandWithAVanishedTargetFails) {
  pid_t alive = StartSleeper();
  pid_t gone = StartSleeper();
  KillAndReap(gone);
  auto outcome = library_.Run(MakeRequest("ZEV_GetProcessModule_KLV",
                                          {std::to_string(alive), std::to_string(gone)}));
  KillAndReap(alive);
  EXPECT_EQ(-1, outcome.code);
  EXPECT_NE(std::string::npos, outcome.text.find("<ProcessItem PID=\"" + std::to_string(alive) + "\">"));
  EXPECT_NE(std::string::npos, outcome.text.find("<ProcessItem PID=\"" + std::to_string(gone) + "\"/>"));
  EXPECT_NE(std::string::npos, outcome.text.find("nResult=\"1\" ErrMsg=\"GetFailed\"/>"));
}

TEST_F(ListingCommands, ModuleCommandTargetTexts) {
  // "abc" names the idle process, which counts as filled.
  auto idle = library_.Run(MakeRequest("ZEV_GetProcessModule_KLV", {"abc"}));
  EXPECT_EQ(0, idle.code);
  EXPECT_NE(std::string::npos, idle.text.find("<detail>\r\n<ProcessItem PID=\"0\"/>\r\n</detail>"));

  // "0012" is written back as the number it names.
  auto padded = library_.Run(MakeRequest("ZEV_GetProcessModule_KLV", {"0012"}));
  if (!IsRunning(12)) {
    EXPECT_EQ(-1, padded.code);
  }
  EXPECT_NE(std::string::npos, padded.text.find("<ProcessItem PID=\"12\"/>"));

  auto none = library_.Run(MakeRequest("ZEV_GetProcessModule_KLV", {}));
  EXPECT_EQ(-1, none.code);
  EXPECT_NE(std::string::npos, none.text.find("Response>\r\n<detail/>\r\n<Result "));
  EXPECT_NE(std::string::npos, none.text.find("ErrMsg=\"GetFailed\"/>"));
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
