// The three control commands end to end, through the exported entry point of
// a private copy of the library. Runs as pid 1 of its own PID namespace;
// every process touched here was started here.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/library_harness.h"

namespace kelvane {
namespace testing {
namespace {

constexpr char kBom[] = "\xFF\xFE";
constexpr char kCommandFileError[] =
    "\xE5\x91\xBD\xE4\xBB\xA4\xE6\x96\x87\xE4\xBB\xB6\xE9\x94\x99\xE8\xAF\xAF,"
    "\xE8\xAF\xB7\xE6\xA3\x80\xE6\x9F\xA5\xE8\xBE\x93\xE5\x85\xA5\xE7\x9A\x84"
    "Cmd\xE6\x96\x87\xE4\xBB\xB6\xE4\xBF\xA1\xE6\x81\xAF!";

using ControlCommands = LibraryTest;

TEST_F(ControlCommands, StopWritesTheResponseByteForByte) {
  pid_t sleeper = StartSleeper();
  std::string pid = std::to_string(sleeper);
  auto outcome = library_.Run(MakeRequest("ZEV_StopProcess_KLV", {pid, "5678"}));
  EXPECT_EQ(SIGKILL, ReapSignal(sleeper));
  EXPECT_EQ(1, outcome.code);
  ASSERT_TRUE(outcome.written);
  EXPECT_EQ(std::string(kBom), outcome.bytes.substr(0, 2));
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><ZEV_StopProcess_KLVResponse>\r\n"
      "<detail>\r\n"
      "<ProcessItem PID=\"" + pid + "\" priority=\"-1\" nResult=\"0\" ErrMsg=\"TerminateProcSuccessed\"/>\r\n"
      "<ProcessItem PID=\"5678\" priority=\"-1\" nResult=\"1\" ErrMsg=\"TerminateProcFailed\"/>\r\n"
      "</detail>\r\n"
      "<Result cmdName=\"ZEV_StopProcess_KLV\" DateTime=\"T\" nResult=\"1\" ErrMsg=\"TerminateProcFailed\"/>\r\n"
      "</ZEV_StopProcess_KLVResponse>\r\n",
      outcome.text);
}

TEST_F(ControlCommands, UnreadableRequestGetsTheFixedErrorResponse) {
  for (const std::string& request :
       {std::string(""), std::string("<request name=\"ZEV_StopProcess_KLV\">"),
        std::string("<request name=\"ZEV_GetProcessList_klv\"/>"),
        std::string("<request><procid PID=\"1\"/></request>"),
        MakeRequest("ZEV_StopProcess_KLV", {"1234567890"})}) {
    auto outcome = library_.Run(request);
    EXPECT_EQ(-1, outcome.code) << request;
    ASSERT_TRUE(outcome.written) << request;
    EXPECT_EQ(
        "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"no\" ?><Response>\r\n"
        "<Result DateTime=\"T\" nResult=\"1\" ErrMsg=\"" + std::string(kCommandFileError) + "\"/>\r\n"
        "</Response>\r\n",
        outcome.text);
  }
}

TEST_F(ControlCommands, UnknownOrWronglyCasedNamesWriteNothing) {
  for (const char* name : {"ZEV_Unknown_KLV", "zev_stopprocess_KLV", "ZEV_StopProcess_KLVX"}) {
    auto outcome = library_.Run(MakeRequest(name, {"1"}));
    EXPECT_EQ(-1, outcome.code) << name;
    EXPECT_FALSE(outcome.written) << name;
  }
}

TEST_F(ControlCommands, NullArgumentsReturnMinusOne) {
  EXPECT_EQ(-1, library_.invoke()(nullptr, u"/tmp/never-written"));
  EXPECT_EQ(-1, library_.invoke()(u"/tmp/never-read", nullptr));
  EXPECT_FALSE(FileExists("/tmp/never-written"));
}

TEST_F(ControlCommands, NameWithSpacesAroundRunsTheCommand) {
  pid_t sleeper = StartSleeper();
  auto outcome = library_.Run(
      "<r name=\" \tZEV_StopProcess_KLV \"><procid PID=\"" + std::to_string(sleeper) + "\"/></r>");
  EXPECT_EQ(SIGKILL, ReapSignal(sleeper));
  EXPECT_EQ(0, outcome.code);
  EXPECT_NE(std::string::npos,
            outcome.text.find("<Result cmdName=\"ZEV_StopProcess_KLV\" DateTime=\"T\" nResult=\"0\" "
                              "ErrMsg=\"TerminateProcSuccessed\"/>"));
}

TEST_F(ControlCommands, StopOfThreeWithOneFailureProcessesAll) {
  pid_t first = StartSleeper();
  pid_t third = StartSleeper();
  auto outcome = library_.Run(MakeRequest(
      "ZEV_StopProcess_KLV", {std::to_string(first), "99999999", std::to_string(third)}));
  EXPECT_EQ(SIGKILL, ReapSignal(first));
  EXPECT_EQ(SIGKILL, ReapSignal(third));
  EXPECT_EQ(1, outcome.code);
  EXPECT_NE(std::string::npos,
            outcome.text.find("<ProcessItem PID=\"99999999\" priority=\"-1\" nResult=\"1\" "
                              "ErrMsg=\"TerminateProcFailed\"/>"));
}

TEST_F(ControlCommands, NoTargetsGivesMinusOneAndAnEmptyDetail) {
  for (const char* name : {"ZEV_StopProcess_KLV", "ZEV_StopProcessTree_KLV", "ZEV_SetProcessPriority_KLV"}) {
    auto outcome = library_.Run(MakeRequest(name, {}));
    EXPECT_EQ(-1, outcome.code);
    ASSERT_TRUE(outcome.written);
    EXPECT_NE(std::string::npos, outcome.text.find("Response>\r\n<detail/>\r\n<Result cmdName=\"")) << outcome.text;
    EXPECT_NE(std::string::npos, outcome.text.find("nResult=\"1\" ErrMsg=\"")) << outcome.text;
  }
}

// A host (a child of the test, not init) whose request names its own
// process, or its parent for a tree stop, gets that target's failure in a
// response and lives on, and so does its parent.
TEST_F(ControlCommands, TheCallingHostIsNotStoppedByItsOwnRequest) {
  const pid_t parent = fork();
  ASSERT_GE(parent, 0);
  if (parent == 0) {
    const pid_t host = fork();
    if (host == 0) {
      bool ok = true;
      for (const auto& [command, pid] : {std::pair<std::string, pid_t>{"ZEV_StopProcess_KLV", getpid()},
                                         {"ZEV_StopProcessTree_KLV", getpid()}, {"ZEV_StopProcessTree_KLV", getppid()}}) {
        auto outcome = library_.Run(MakeRequest(command, {std::to_string(pid)}));
        ok = ok && outcome.code == 1 && outcome.text.find("nResult=\"1\" ErrMsg=\"TerminateProc") != std::string::npos;
      }
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    _exit(host > 0 && waitpid(host, &status, 0) == host && WIFEXITED(status) ? WEXITSTATUS(status) : 2);
  }
  int status = 0;
  ASSERT_EQ(parent, waitpid(parent, &status, 0));
  ASSERT_TRUE(WIFEXITED(status)) << "the host's parent was stopped";
  EXPECT_EQ(0, WEXITSTATUS(status)) << "2: the host was stopped; 1: a response was not the failure";
}

TEST_F(ControlCommands, BadProcessIdsFailAndTouchNothing) {
  pid_t bystander = StartSleeper();
  ASSERT_GT(bystander, 0);
  const std::vector<std::string> bad = {"abc", "0", "-1", "-5", "99999999", ""};
  for (const char* name : {"ZEV_StopProcess_KLV", "ZEV_StopProcessTree_KLV", "ZEV_SetProcessPriority_KLV"}) {
    auto outcome = library_.Run(MakeRequest(name, bad, "priority=\"64\""));
    EXPECT_EQ(1, outcome.code) << name;
    size_t failures = 0;
    for (size_t at = outcome.text.find("nResult=\"1\""); at != std::string::npos;
         at = outcome.text.find("nResult=\"1\"", at + 1)) {
      ++failures;
    }
    EXPECT_EQ(bad.size() + 1, failures) << outcome.text;  // every target and the summary
  }
  EXPECT_TRUE(IsRunning(bystander));
  EXPECT_EQ(0, getpriority(PRIO_PROCESS, static_cast<id_t>(bystander)));
  KillAndReap(bystander);
}

TEST_F(ControlCommands, TreeStopLeavesTheGrandchildRunning) {
  ProcessTree tree = StartTree();
  ASSERT_GT(tree.grandchild, 0);
  ASSERT_GT(tree.child2, 0);
  auto outcome = library_.Run(MakeRequest("ZEV_StopProcessTree_KLV", {std::to_string(tree.root)}));
  EXPECT_EQ(0, outcome.code);
  EXPECT_EQ(SIGKILL, ReapSignal(tree.root));
  // The children were re-parented to this process (pid 1 of the namespace).
  EXPECT_EQ(SIGKILL, ReapSignal(tree.child1));
  EXPECT_EQ(SIGKILL, ReapSignal(tree.child2));
  EXPECT_TRUE(IsRunning(tree.grandchild));
  KillAndReap(tree.grandchild);
  EXPECT_NE(std::string::npos, outcome.text.find("ErrMsg=\"TerminateProcTreeSuccessed\"/>"));
}

TEST_F(ControlCommands, PriorityWithAndWithoutTheAttribute) {
  pid_t sleeper = StartSleeper();
  std::string pid = std::to_string(sleeper);
  auto without = library_.Run(MakeRequest("ZEV_SetProcessPriority_KLV", {pid}));
  EXPECT_EQ(1, without.code);
  EXPECT_NE(std::string::npos, without.text.find("priority=\"-1\" nResult=\"1\" ErrMsg=\"SetPRIFailed\""));
  EXPECT_EQ(0, getpriority(PRIO_PROCESS, static_cast<id_t>(sleeper)));

  auto idle = library_.Run(MakeRequest("ZEV_SetProcessPriority_KLV", {pid}, "priority=\"64\""));
  EXPECT_EQ(0, idle.code);
  EXPECT_NE(std::string::npos, idle.text.find("priority=\"64\" nResult=\"0\" ErrMsg=\"SetPRISuccessed\""));
  EXPECT_EQ(19, getpriority(PRIO_PROCESS, static_cast<id_t>(sleeper)));

  // Priority 0 is written without the attribute (and 0 is no class).
  auto zero = library_.Run(MakeRequest("ZEV_SetProcessPriority_KLV", {pid}, "priority=\"0\""));
  EXPECT_EQ(1, zero.code);
  EXPECT_NE(std::string::npos, zero.text.find("<ProcessItem PID=\"" + pid + "\" nResult=\"1\""));
  KillAndReap(sleeper);
}

TEST_F(ControlCommands, UnwritableResultPathDoesNotChangeTheCode) {
  pid_t sleeper = StartSleeper();
  std::string request = library_.directory() + "/stop.xml";
  WriteBytes(request, MakeRequest("ZEV_StopProcess_KLV", {std::to_string(sleeper)}));
  auto outcome = library_.RunFile(request, library_.directory() + "/missing/dir/result.xml");
  EXPECT_EQ(0, outcome.code);
  EXPECT_FALSE(outcome.written);
  EXPECT_EQ(SIGKILL, ReapSignal(sleeper));

  // A result path longer than 259 units writes no file either.
  std::string longDir = library_.directory() + "/" + std::string(200, 'd');
  std::filesystem::create_directories(longDir);
  std::string longPath = longDir + "/" + std::string(60, 'r') + ".xml";
  auto tooLong = library_.RunFile(request, longPath);
  EXPECT_EQ(1, tooLong.code);  // the target is gone by now
  EXPECT_FALSE(tooLong.written);
}

TEST_F(ControlCommands, MessagesComeFromTheTableBesideTheLibrary) {
  LoadedLibrary withTable(
      "[Kelvane]\nTerminateProcSuccessed=Stopped & done\nterminateprocfailed = \"Not \"stopped\"\"\n");
  pid_t sleeper = StartSleeper();
  auto outcome = withTable.Run(MakeRequest("ZEV_StopProcess_KLV", {std::to_string(sleeper), "99999999"}));
  EXPECT_EQ(SIGKILL, ReapSignal(sleeper));
  EXPECT_NE(std::string::npos, outcome.text.find("ErrMsg=\"Stopped &amp; done\"/>"));
  EXPECT_NE(std::string::npos, outcome.text.find("nResult=\"1\" ErrMsg=\"Not &quot;stopped&quot;\"/>"));
}

TEST_F(ControlCommands, ThousandCallsLeaveNoDescriptorsBehind) {
  std::string request = library_.directory() + "/priority.xml";
  pid_t sleeper = StartSleeper();
  WriteBytes(request, MakeRequest("ZEV_SetProcessPriority_KLV", {std::to_string(sleeper)}, "priority=\"32\""));
  std::string result = library_.directory() + "/priority-result.xml";
  library_.RunFile(request, result);
  int before = CountOpenDescriptors();
  // A thousand calls in an ordinary build; sanitizers make each call some
  // fifty times slower, so a hundred there.
#ifdef KELVANE_SANITIZED_BUILD
  constexpr int kCalls = 100;
#else
  constexpr int kCalls = 1000;
#endif
  for (int i = 0; i < kCalls; ++i) {
    ASSERT_EQ(-1, library_.invoke()(u"", nullptr));
    library_.RunFile(request, result);
  }
  EXPECT_EQ(before, CountOpenDescriptors());
  KillAndReap(sleeper);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
