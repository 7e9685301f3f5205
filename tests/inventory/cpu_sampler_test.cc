#include "inventory/cpu_sampler.h"

#include <gtest/gtest.h>

#include "inventory/scripted_platform.h"

namespace kelvane {
namespace testing {
namespace {

class CpuSamplerTest : public ::testing::Test {
 protected:
  CpuSamplerTest() : scoped_(&platform_) { ClearCpuSamples(); }
  ~CpuSamplerTest() override { ClearCpuSamples(); }

  void SetTimes(uint32_t pid, int64_t processTime, int64_t totalTime) {
    platform_.processes[pid].cpuTime = processTime;
    platform_.totalCpuTime = totalTime;
  }

  ScriptedPlatform platform_;
  ScopedPlatform scoped_;
};

TEST_F(CpuSamplerTest, FirstSampleIsShareOfAllTimeSoFar) {
  SetTimes(42, 25, 1000);
  EXPECT_EQ(GetCpuUsage(42), 2);  // 2500 / 1000 truncated
  EXPECT_EQ(GetCpuUsage(7), 0);   // not in the accounting at all
  EXPECT_EQ(CpuSampleCountForTesting(), 2u);
}

TEST_F(CpuSamplerTest, DifferenceBetweenSamplesIsTruncated) {
  SetTimes(42, 100, 1000);
  GetCpuUsage(42);
  SetTimes(42, 103, 1008);
  EXPECT_EQ(GetCpuUsage(42), 37);  // 300 / 8 = 37.5
  CProcessData* entry = FindCpuSample(42);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->m_pSample->nLastProcTime, 103);
  EXPECT_EQ(entry->m_pSample->nLastTotalTime, 1008);
}

TEST_F(CpuSamplerTest, NoTimeAccountedGivesNoValueAndKeepsTheSample) {
  SetTimes(42, 100, 1000);
  GetCpuUsage(42);
  SetTimes(42, 150, 1000);
  EXPECT_EQ(GetCpuUsage(42), -1);
  CProcessData* entry = FindCpuSample(42);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->m_pSample->nLastProcTime, 100);
  EXPECT_EQ(entry->m_pSample->nLastTotalTime, 1000);
  // The next sample still measures from the kept one.
  SetTimes(42, 110, 1100);
  EXPECT_EQ(GetCpuUsage(42), 10);
}

TEST_F(CpuSamplerTest, UnreadableAccountingGivesNoValueButCreatesTheEntry) {
  EXPECT_EQ(GetCpuUsage(42), -1);
  CProcessData* entry = FindCpuSample(42);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->m_pSample->dwProcessId, 42u);
  EXPECT_EQ(entry->m_pSample->nLastTotalTime, 0);
}

TEST_F(CpuSamplerTest, EntriesAreReusedNotDuplicated) {
  SetTimes(42, 1, 10);
  GetCpuUsage(42);
  SetTimes(43, 1, 20);
  GetCpuUsage(43);
  SetTimes(42, 2, 30);
  GetCpuUsage(42);
  EXPECT_EQ(CpuSampleCountForTesting(), 2u);
  EXPECT_EQ(FindCpuSample(42)->m_pSample->nLastTotalTime, 30);
  EXPECT_EQ(FindCpuSample(43)->m_pSample->nLastTotalTime, 20);
  EXPECT_EQ(FindCpuSample(44), nullptr);
}

TEST_F(CpuSamplerTest, ClearingMakesTheNextSampleAFirstSample) {
  SetTimes(42, 100, 1000);
  GetCpuUsage(42);
  ClearCpuSamples();
  EXPECT_EQ(CpuSampleCountForTesting(), 0u);
  EXPECT_EQ(FindCpuSample(42), nullptr);
  SetTimes(42, 103, 1008);
  EXPECT_EQ(GetCpuUsage(42), 10);  // 10300 / 1008, measured from zero
}

TEST_F(CpuSamplerTest, ProcessTimeGoingBackwardsGivesANegativeValue) {
  // An id reused by a younger process: the formula is applied as it is.
  SetTimes(42, 500, 1000);
  GetCpuUsage(42);
  SetTimes(42, 10, 1100);
  EXPECT_EQ(GetCpuUsage(42), -490);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
