// Several host threads calling ZEV_RemoteInvoke at once: every call gets a
// whole, well-formed response of its own command, as if the calls had come
// one at a time. scripts/test-tsan runs this under ThreadSanitizer.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "e2e/library_harness.h"
#include "support/test_support.h"

namespace kelvane {
namespace testing {
namespace {

constexpr int kThreads = 4;
constexpr int kCallsPerThread = 150;
constexpr int kSleepersPerThread = 10;

// One call's request and what its response must show.
struct Call {
  std::string request;  // the command file (UTF-8)
  std::string command;  // the response's root is command + "Response"; empty: no file at all
  int code = 0;         // the expected result code
  bool errorResponse = false;  // an unreadable command file
};

std::string Pid(int pid) { return std::to_string(pid); }

// The call number `i` of a thread that owns `sleepers`: the first stays
// for module lists and priorities, the others are stopped in turn.
Call MakeCall(int i, const std::vector<int>& sleepers, size_t* nextSleeper) {
  const int own = sleepers[0];
  switch (i % 10) {
    case 0:
      if (i % 50 == 0) return {MakeRequest("ZEV_GetProcessList_KLV", {}), "ZEV_GetProcessList_KLV", 0};
      return {MakeRequest("ZEV_GetProcessModule_KLV", {Pid(own)}), "ZEV_GetProcessModule_KLV", 0};
    case 1:
      return {MakeRequest("ZEV_StopProcess_KLV", {"99999999", "abc"}), "ZEV_StopProcess_KLV", 1};
    case 2:
      return {MakeRequest("ZEV_StopProcessTree_KLV", {"99999998"}), "ZEV_StopProcessTree_KLV", 1};
    case 3:
      return {MakeRequest("ZEV_SetProcessPriority_KLV", {Pid(own)}, i % 20 == 3 ? "priority=\"64\"" : "priority=\"32\""),
              "ZEV_SetProcessPriority_KLV", 0};
    case 4:
      if (*nextSleeper < sleepers.size()) {
        const int victim = sleepers[(*nextSleeper)++];
        return {MakeRequest("ZEV_StopProcess_KLV", {Pid(victim)}), "ZEV_StopProcess_KLV", 0};
      }
      return {MakeRequest("ZEV_StopProcess_KLV", {"0"}), "ZEV_StopProcess_KLV", 1};
    case 5:
      return {"<request name=\"ZEV_StopProcess_KLV\"><procid PID=", "", -1, true};
    case 6:
      return {MakeRequest("ZEV_Unknown_KLV", {"1"}), "", -1};
    case 7:
      return {MakeRequest("ZEV_GetProcessModule_KLV", {"99999997"}), "ZEV_GetProcessModule_KLV", -1};
    default:
      return {MakeRequest("ZEV_StopProcess_KLV", {}), "ZEV_StopProcess_KLV", -1};
  }
}

// Empty when `outcome` is what `call` must give, else what is wrong.
std::string Check(const Call& call, const LoadedLibrary::Outcome& outcome) {
  if (call.errorResponse) {
    if (outcome.code != -1) return "code " + std::to_string(outcome.code);
    if (outcome.text.rfind("<?xml", 0) != 0 || outcome.text.find("<Response>") == std::string::npos)
      return "bad error response: " + outcome.text;
    return std::string();
  }
  if (call.command.empty()) {
    if (outcome.code != -1 || outcome.written) return "unknown command answered";
    return std::string();
  }
  if (outcome.code != call.code) {
    return call.command + " code " + std::to_string(outcome.code) + ": " + outcome.text;
  }
  const std::string& text = outcome.text;
  const std::string open = "<" + call.command + "Response>";
  const std::string close = "</" + call.command + "Response>\r\n";
  const std::string result = "<Result cmdName=\"" + call.command + "\"";
  if (text.rfind("<?xml", 0) != 0 || text.find(open) == std::string::npos ||
      text.size() < close.size() || text.compare(text.size() - close.size(), close.size(), close) != 0 ||
      text.find(result) == std::string::npos || text.find(result) != text.rfind("<Result ")) {
    return "malformed " + call.command + " response: " + text;
  }
  return std::string();
}

class ConcurrentCalls : public LibraryTest {};

TEST_F(ConcurrentCalls, FourThreadsOfMixedCommandsEachGetWholeResponses) {
  std::vector<std::vector<int>> sleepers(kThreads);
  for (std::vector<int>& own : sleepers) {
    for (int i = 0; i < kSleepersPerThread; ++i) {
      own.push_back(StartSleeper());
      ASSERT_GT(own.back(), 0);
    }
  }
  std::vector<std::vector<std::string>> problems(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      size_t nextSleeper = 1;
      for (int i = 0; i < kCallsPerThread; ++i) {
        const Call call = MakeCall(i, sleepers[static_cast<size_t>(t)], &nextSleeper);
        const std::string base = library_.directory() + "/t" + std::to_string(t) + "-" + std::to_string(i);
        WriteBytes(base + ".xml", call.request);
        const std::string problem = Check(call, library_.RunFile(base + ".xml", base + ".out"));
        if (!problem.empty()) problems[static_cast<size_t>(t)].push_back(problem);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(problems[static_cast<size_t>(t)].empty())
        << "thread " << t << ": " << problems[static_cast<size_t>(t)].size() << " bad calls, first: "
        << problems[static_cast<size_t>(t)].front();
    const std::vector<int>& own = sleepers[static_cast<size_t>(t)];
    for (size_t i = 1; i < own.size(); ++i) {
      EXPECT_EQ(9, ReapSignal(own[i])) << own[i];  // stopped by a call
    }
    EXPECT_TRUE(IsRunning(own[0]));
    KillAndReap(own[0]);
  }
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
