// A busy machine: short-lived CPU burners come and go, and one process
// creates and joins threads without pause, while the library lists every
// process again and again and changes that process's priority. Every
// response is well-formed, every CPU figure lies within 0..100 and they
// add up to at most 100, and every priority change that took effect is
// reported as done.
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/library_harness.h"
#include "support/strict_xml.h"
#include "support/test_support.h"

namespace kelvane {
namespace testing {
namespace {

constexpr int kBurners = 6;
constexpr int kListings = 25;
constexpr int kPriorityChanges = 20;

// Spins for `ms` milliseconds of wall time.
void Burn(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  volatile unsigned long sink = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 10000; ++i) sink = sink + static_cast<unsigned long>(i);
  }
}

// A process that keeps kBurners burners running, each for 50 to 400 ms,
// starting a new one as soon as one ends, until it is killed.
pid_t StartBurnerSpawner() {
  const pid_t spawner = fork();
  if (spawner != 0) return spawner;
  unsigned seed = static_cast<unsigned>(getpid());
  int running = 0;
  for (;;) {
    while (running < kBurners) {
      const int ms = 50 + static_cast<int>(rand_r(&seed) % 351);
      const pid_t burner = fork();
      if (burner == 0) {
        Burn(ms);
        _exit(0);
      }
      if (burner > 0) ++running;
    }
    if (wait(nullptr) > 0) --running;
  }
}

// A process whose threads come and go: it creates and joins four short
// threads at a time, over and over, until it is killed.
pid_t StartThreadChurner() {
  const pid_t churner = fork();
  if (churner != 0) return churner;
  for (;;) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([] { Burn(1); });
    for (std::thread& thread : threads) thread.join();
  }
}

// The nice value of `pid`'s main thread (field 19 of its stat record), or
// 100 when it cannot be read.
int MainThreadNice(pid_t pid) {
  const std::string text = ReadBytes("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 100;
  size_t at = close + 2;
  for (int field = 3; field < 19 && at != std::string::npos; ++field) at = text.find(' ', at) + 1;
  return at == std::string::npos ? 100 : std::atoi(text.c_str() + at);
}

TEST(ChurnTest, FiguresStayTrueAndPriorityChangesAreReportedWhileProcessesComeAndGo) {
  if (!InOwnPidNamespace()) GTEST_SKIP() << "needs its own PID namespace";
  LoadedLibrary library;
  ASSERT_NE(nullptr, library.invoke());
  const pid_t spawner = StartBurnerSpawner();
  const pid_t churner = StartThreadChurner();
  ASSERT_GT(spawner, 0);
  ASSERT_GT(churner, 0);

  const std::regex cpu("CpuUsage=\"(-?[0-9]+)\"");
  // Priority classes and the nice values that stand for them.
  const struct {
    const char* priorityClass;
    int nice;
  } classes[] = {{"64", 19}, {"32", 0}, {"16384", 10}, {"32768", -5}};
  int changes = 0;
  int tookEffect = 0;
  for (int listing = 0; listing < kListings; ++listing) {
    const LoadedLibrary::Outcome list = library.Run(MakeRequest("ZEV_GetProcessList_KLV", {}));
    EXPECT_EQ(list.code, 0) << "listing " << listing;
    std::string why;
    EXPECT_TRUE(ParsesStrictly(list.bytes, &why)) << "listing " << listing << ": " << why;
    int sum = 0;
    for (auto it = std::sregex_iterator(list.text.begin(), list.text.end(), cpu); it != std::sregex_iterator(); ++it) {
      const int figure = std::atoi((*it)[1].str().c_str());
      EXPECT_GE(figure, 0) << "listing " << listing;
      EXPECT_LE(figure, 100) << "listing " << listing;
      sum += figure;
    }
    EXPECT_LE(sum, 100) << "listing " << listing;

    if (changes < kPriorityChanges) {
      const auto& wanted = classes[changes % 4];
      ++changes;
      const LoadedLibrary::Outcome set = library.Run(MakeRequest(
          "ZEV_SetProcessPriority_KLV", {std::to_string(churner)}, std::string("priority=\"") + wanted.priorityClass + "\""));
      EXPECT_TRUE(ParsesStrictly(set.bytes, &why)) << why;
      if (MainThreadNice(churner) == wanted.nice) {
        ++tookEffect;
        EXPECT_EQ(set.code, 0) << "a priority change that took effect was reported failed: " << set.text;
      }
    }
  }
  EXPECT_GT(tookEffect, kPriorityChanges / 2);

  KillAndReap(churner);
  KillAndReap(spawner);
  // The burners left behind are this namespace's init's to reap; each ends
  // within 400 ms.
  for (int i = 0; i < 200; ++i) {
    const pid_t reaped = waitpid(-1, nullptr, WNOHANG);
    if (reaped < 0 && errno == ECHILD) break;
    if (reaped == 0) usleep(10 * 1000);
  }
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
