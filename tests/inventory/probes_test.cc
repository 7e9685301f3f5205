#include "inventory/probes.h"

#include <gtest/gtest.h>

#include "common/text.h"
#include "inventory/scripted_platform.h"

namespace kelvane {
namespace testing {
namespace {

using platform::OsVersionFacts;
using platform::UserLookup;

OsVersionFacts Facts(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t productType = 1,
                     bool extended = true, uint32_t architecture = 0, int serverR2 = 0) {
  OsVersionFacts facts;
  facts.extendedInfo = extended;
  facts.platformId = platformId;
  facts.major = major;
  facts.minor = minor;
  facts.productType = productType;
  facts.architecture = architecture;
  facts.serverR2Metric = serverR2;
  return facts;
}

class ProbesTest : public ::testing::Test {
 protected:
  ProbesTest() : scoped_(&platform_) {}

  int Family(const OsVersionFacts& facts) {
    platform_.osFacts = facts;
    return DetectOsFamily();
  }

  ScriptedPlatform platform_;
  ScopedPlatform scoped_;
};

TEST_F(ProbesTest, OsFamilyOfThe9xLine) {
  EXPECT_EQ(Family(Facts(1, 4, 0)), 1);
  EXPECT_EQ(Family(Facts(1, 4, 10)), 1);
  EXPECT_EQ(Family(Facts(1, 4, 90)), 2);
  EXPECT_EQ(Family(Facts(1, 4, 20)), -1);
  EXPECT_EQ(Family(Facts(0, 3, 11)), -1);
  EXPECT_EQ(Family(Facts(3, 5, 1)), -1);
}

TEST_F(ProbesTest, OsFamilyOfNamedNtVersions) {
  EXPECT_EQ(Family(Facts(2, 6, 0, 1)), 9);
  EXPECT_EQ(Family(Facts(2, 6, 0, 3)), 9);
  EXPECT_EQ(Family(Facts(2, 5, 1, 1)), 7);
  // 5.2: only the 64-bit workstation edition counts with 5.1.
  EXPECT_EQ(Family(Facts(2, 5, 2, 1, true, 9, 0)), 7);
  EXPECT_EQ(Family(Facts(2, 5, 2, 1, true, 0, 0)), 8);
  EXPECT_EQ(Family(Facts(2, 5, 2, 1, true, 9, 1)), 8);
  EXPECT_EQ(Family(Facts(2, 5, 2, 3, true, 9, 0)), 8);
  EXPECT_EQ(Family(Facts(2, 5, 2, 0, false, 9, 0)), 8);
}

TEST_F(ProbesTest, OsFamilyOfOtherNtVersionsByProductType) {
  EXPECT_EQ(Family(Facts(2, 4, 0, 1)), 3);
  EXPECT_EQ(Family(Facts(2, 5, 0, 1)), 5);
  EXPECT_EQ(Family(Facts(2, 5, 0, 2)), 6);
  EXPECT_EQ(Family(Facts(2, 5, 0, 3)), 6);
  EXPECT_EQ(Family(Facts(2, 4, 0, 3)), 4);
  EXPECT_EQ(Family(Facts(2, 6, 1, 2)), 4);
  EXPECT_EQ(Family(Facts(2, 5, 0, 4)), -1);
}

TEST_F(ProbesTest, OsFamilyFromTheRegistryWhenOnlyTheBasicQueryWorked) {
  // A stray product type in the facts is ignored without the extended query.
  const OsVersionFacts basic = Facts(2, 4, 0, 1, false);
  EXPECT_EQ(Family(basic), -1);  // registry unreadable
  platform_.productType = u"WINNT";
  EXPECT_EQ(Family(basic), 3);
  platform_.productType = u"LANMANNT";
  EXPECT_EQ(Family(basic), 4);
  platform_.productType = u"SERVERNT";
  EXPECT_EQ(Family(basic), 4);
  platform_.productType = u"winnt";
  EXPECT_EQ(Family(basic), -1);
  platform_.productType = u"";
  EXPECT_EQ(Family(basic), -1);
}

TEST_F(ProbesTest, OsFamilyUnknownWhenTheVersionCannotBeRead) {
  platform_.osFacts.reset();
  EXPECT_EQ(DetectOsFamily(), -1);
}

class CommandLineTest : public ProbesTest {
 protected:
  // Runs the probe for a process whose command line is `text` (nullopt:
  // unreadable) and returns the buffer.
  std::u16string Read(std::optional<std::u16string> text, int* result) {
    platform_.processes[10].commandLine = std::move(text);
    FakeProcess process(10);
    CopyToField(buffer_, u"<unknown>");
    *result = ReadCommandLine(process, buffer_);
    return std::u16string(buffer_);
  }
  char16_t buffer_[261];
};

TEST_F(CommandLineTest, EmptyAndShortLines) {
  int result = -5;
  EXPECT_EQ(Read(u"", &result), u"<unknown>");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Read(u"a b", &result), u"a b");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Read(std::nullopt, &result), u"<unknown>");
  EXPECT_EQ(result, 0);
}

TEST_F(CommandLineTest, LongLinesAreCutAt260Units) {
  int result = 0;
  const std::u16string exact(260, u'x');
  EXPECT_EQ(Read(exact, &result), exact);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Read(exact + u"y", &result), exact);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Read(std::u16string(5000, u'z'), &result), std::u16string(260, u'z'));
}

TEST_F(CommandLineTest, CutNeverSplitsASurrogatePair) {
  int result = 0;
  // U+1F600 occupies units 260 and 261: the pair is dropped whole.
  const std::u16string line = std::u16string(259, u'x') + u"\U0001F600";
  EXPECT_EQ(Read(line, &result), std::u16string(259, u'x'));
  // Ending exactly at unit 260 the pair is kept.
  const std::u16string fits = std::u16string(258, u'x') + u"\U0001F600" + u"tail";
  EXPECT_EQ(Read(fits, &result), std::u16string(258, u'x') + u"\U0001F600");
}

TEST_F(ProbesTest, UserLookupOutcomes) {
  char16_t name[261];
  CopyToField(name, u"preset");
  ScriptedProcess& p = platform_.processes[10];
  p.userLookup = UserLookup::kFound;
  p.userName = u"alice";
  EXPECT_EQ(LookupProcessUser(10, name), 1);
  EXPECT_EQ(Text(name), u"alice");

  CopyToField(name, u"");
  EXPECT_EQ(LookupProcessUser(11, name), 1);  // not listed
  EXPECT_EQ(Text(name), u"");

  p.userLookup = UserLookup::kAccountUnknown;
  EXPECT_EQ(LookupProcessUser(10, name), 0);
  EXPECT_EQ(Text(name), u"");
  p.userLookup = UserLookup::kTableUnavailable;
  EXPECT_EQ(LookupProcessUser(10, name), 0);

  p.userLookup = UserLookup::kFound;
  p.userName = std::u16string(300, u'n');
  EXPECT_EQ(LookupProcessUser(10, name), 1);
  EXPECT_EQ(Text(name), std::u16string(260, u'n'));
}

class PrivilegePlatform : public ScriptedPlatform {
 public:
  bool tokenOpens = true;
  bool knowsPrivilege = true;
  bool grants = true;
  uint64_t enabledLuid = 0;

  std::unique_ptr<platform::TokenHandle> OpenOwnToken() override {
    if (!tokenOpens) return nullptr;
    return std::make_unique<platform::TokenHandle>();
  }
  bool LookupPrivilege(const std::u16string& name, uint64_t* luid) override {
    if (!knowsPrivilege || name != u"SeDebugPrivilege") return false;
    *luid = 20;
    return true;
  }
  bool EnablePrivilege(platform::TokenHandle&, uint64_t luid) override {
    enabledLuid = luid;
    return grants;
  }
};

TEST(DebugPrivilegeTest, EachStepCanFail) {
  PrivilegePlatform fake;
  ScopedPlatform scoped(&fake);
  EXPECT_EQ(EnableDebugPrivilege(), 1);
  EXPECT_EQ(fake.enabledLuid, 20u);
  fake.grants = false;  // adjusted, but not held
  EXPECT_EQ(EnableDebugPrivilege(), 0);
  fake.grants = true;
  fake.knowsPrivilege = false;
  EXPECT_EQ(EnableDebugPrivilege(), 0);
  fake.tokenOpens = false;
  EXPECT_EQ(EnableDebugPrivilege(), 0);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
