#include "inventory/modules.h"

#include <gtest/gtest.h>

#include <map>

#include "common/text.h"
#include "inventory/scripted_platform.h"

namespace kelvane {
namespace testing {
namespace {

std::u16string Normalized(std::u16string_view path) {
  char16_t buffer[261];
  CopyToField(buffer, path);
  NormalizeImagePath(buffer);
  return std::u16string(buffer);
}

class ModulesTest : public ::testing::Test {
 protected:
  ModulesTest() : scoped_(&platform_) {}
  ScriptedPlatform platform_;
  ScopedPlatform scoped_;
};

TEST_F(ModulesTest, DevicePrefixIsRemoved) {
  EXPECT_EQ(Normalized(u"\\??\\C:\\Windows\\system32\\csrss.exe"), u"C:\\Windows\\system32\\csrss.exe");
}

TEST_F(ModulesTest, SystemRootIsExpanded) {
  EXPECT_EQ(Normalized(u"\\SystemRoot\\System32\\smss.exe"), u"C:\\WINDOWS\\System32\\smss.exe");
  platform_.windowsDirectory = u"D:\\";
  EXPECT_EQ(Normalized(u"\\SystemRoot\\x.dll"), u"D:\\x.dll");
}

TEST_F(ModulesTest, OtherPathsStayUnchanged) {
  for (const char16_t* path : {u"\\\\?\\C:\\a.exe", u"C:\\x\\??\\a.exe", u"\\systemroot\\x.dll",
                               u"C:\\x\\SystemRoot\\a.dll", u"/usr/bin/sleep", u"", u"\\??"}) {
    EXPECT_EQ(Normalized(path), path);
  }
  // Applied once only.
  EXPECT_EQ(Normalized(u"\\??\\\\??\\a"), u"\\??\\a");
}

TEST_F(ModulesTest, SystemRootWithoutAWindowsDirectoryStaysUnchanged) {
  platform_.windowsDirectory.clear();
  EXPECT_EQ(Normalized(u"\\SystemRoot\\x.dll"), u"\\SystemRoot\\x.dll");
}

TEST_F(ModulesTest, LongExpansionIsCutWithinTheBuffer) {
  platform_.windowsDirectory = u"C:\\" + std::u16string(250, u'w');
  const std::u16string rest = u"System32\\" + std::u16string(200, u'r') + u".dll";
  struct {
    char16_t field[261];
    char16_t guard[4];
  } buffer;
  std::fill(std::begin(buffer.guard), std::end(buffer.guard), u'#');
  CopyToField(buffer.field, u"\\SystemRoot\\" + rest);
  NormalizeImagePath(buffer.field);
  const std::u16string expected = (platform_.windowsDirectory + u"\\" + rest).substr(0, 260);
  EXPECT_EQ(Text(buffer.field), expected);
  EXPECT_EQ(std::u16string(buffer.guard, 4), u"####");
}

TEST_F(ModulesTest, FileSizeIsTrue64BitOrZero) {
  platform_.fileSizes[u"C:\\big.bin"] = 4294967296LL + 10;
  EXPECT_EQ(QueryFileSize(u"C:\\big.bin"), 4294967306LL);
  EXPECT_EQ(QueryFileSize(u"\\??\\C:\\big.bin"), 4294967306LL);  // normalised first
  EXPECT_EQ(QueryFileSize(u"C:\\missing.bin"), 0);
}

// A version resource as the fake understands it: the translation bytes and
// a map of string values keyed by query text.
class VersionPlatform : public ScriptedPlatform {
 public:
  bool hasResource = true;
  std::optional<std::vector<uint8_t>> translation = std::vector<uint8_t>{0x09, 0x04, 0xB0, 0x04};
  std::map<std::u16string, std::u16string> strings;
  std::vector<std::u16string> queries;

  bool LoadVersionResource(const std::u16string& path, std::vector<uint8_t>* blob) override {
    if (!hasResource || path != u"C:\\app.exe") return false;
    *blob = {1, 2, 3};
    return true;
  }
  bool QueryVersionValue(const std::vector<uint8_t>& blob, const std::u16string& subBlock,
                         std::vector<uint8_t>* raw, std::u16string* text) override {
    queries.push_back(subBlock);
    if (blob.size() != 3) return false;
    if (subBlock == u"\\VarFileInfo\\Translation") {
      if (!translation) return false;
      *raw = *translation;
      return true;
    }
    auto it = strings.find(subBlock);
    if (it == strings.end()) return false;
    *text = it->second;
    return true;
  }
};

class VersionStringsTest : public ::testing::Test {
 protected:
  VersionStringsTest() : scoped_(&platform_) {
    record_ = std::make_unique<ModuleRecord>();
    CopyToField(record_->szPath, u"C:\\app.exe");
  }
  VersionPlatform platform_;
  ScopedPlatform scoped_;
  std::unique_ptr<ModuleRecord> record_;
};

TEST_F(VersionStringsTest, FirstTranslationIsQueried) {
  platform_.strings[u"\\StringFileInfo\\040904b0\\CompanyName"] = u"Maker";
  platform_.strings[u"\\StringFileInfo\\040904b0\\FileDescription"] = u"An app";
  platform_.strings[u"\\StringFileInfo\\040904b0\\ProductVersion"] = u"1.2";
  platform_.strings[u"\\StringFileInfo\\040904b0\\FileVersion"] = std::u16string(300, u'v');
  platform_.strings[u"\\StringFileInfo\\040704e4\\CompanyName"] = u"Other";
  platform_.translation = std::vector<uint8_t>{0x09, 0x04, 0xB0, 0x04, 0x07, 0x04, 0xE4, 0x04};
  EXPECT_EQ(ReadVersionStrings(record_.get()), 1);
  EXPECT_EQ(Text(record_->szPublisher), u"Maker");
  EXPECT_EQ(Text(record_->szDescript), u"An app");
  EXPECT_EQ(Text(record_->szProductVersion), u"1.2");
  EXPECT_EQ(Text(record_->szFileVersion), std::u16string(260, u'v'));
}

TEST_F(VersionStringsTest, MissingStringsLeaveTheirFields) {
  CopyToField(record_->szDescript, u"kept");
  platform_.strings[u"\\StringFileInfo\\040904b0\\CompanyName"] = u"Maker";
  EXPECT_EQ(ReadVersionStrings(record_.get()), 1);
  EXPECT_EQ(Text(record_->szPublisher), u"Maker");
  EXPECT_EQ(Text(record_->szDescript), u"kept");
  EXPECT_EQ(Text(record_->szProductVersion), u"");
}

TEST_F(VersionStringsTest, NoTranslationTableGivesZero) {
  platform_.translation.reset();
  EXPECT_EQ(ReadVersionStrings(record_.get()), 0);
  platform_.translation = std::vector<uint8_t>{0x09, 0x04};  // too short to hold an entry
  EXPECT_EQ(ReadVersionStrings(record_.get()), 0);
  EXPECT_EQ(Text(record_->szPublisher), u"");
}

TEST_F(VersionStringsTest, NoResourceGivesOneWithoutQueries) {
  platform_.hasResource = false;
  EXPECT_EQ(ReadVersionStrings(record_.get()), 1);
  EXPECT_TRUE(platform_.queries.empty());
}

TEST_F(VersionStringsTest, ProcessRecordsUseTheirOwnFields) {
  platform_.strings[u"\\StringFileInfo\\040904b0\\FileVersion"] = u"6.0.1";
  auto record = std::make_unique<ProcessRecord>();
  CopyToField(record->szPath, u"C:\\app.exe");
  EXPECT_EQ(ReadVersionStrings(record.get()), 1);
  EXPECT_EQ(Text(record->szFileVersion), u"6.0.1");
}

TEST_F(VersionStringsTest, ImagesAndModulesOfOneFileShareOneReadWhileTheCacheLives) {
  platform_.strings[u"\\StringFileInfo\\040904b0\\FileVersion"] = u"6.0.1";
  platform_.translation.reset();  // the read's result 0 is remembered too
  platform_.strings.clear();
  FileFactsCache cache;
  auto first = std::make_unique<ProcessRecord>();
  CopyToField(first->szPath, u"C:\\app.exe");
  EXPECT_EQ(ReadVersionStrings(first.get()), 0);
  const size_t asked = platform_.queries.size();
  EXPECT_GT(asked, 0u);
  platform_.translation = std::vector<uint8_t>{0x09, 0x04, 0xB0, 0x04};
  auto second = std::make_unique<ProcessRecord>();
  CopyToField(second->szPath, u"C:\\app.exe");
  EXPECT_EQ(ReadVersionStrings(second.get()), 0);
  EXPECT_EQ(ReadVersionStrings(record_.get()), 0);
  EXPECT_EQ(platform_.queries.size(), asked);
}

TEST_F(VersionStringsTest, SharedReadsKeepEachRecordsOwnStrings) {
  platform_.strings[u"\\StringFileInfo\\040904b0\\FileVersion"] = u"6.0.1";
  FileFactsCache cache;
  auto image = std::make_unique<ProcessRecord>();
  CopyToField(image->szPath, u"C:\\app.exe");
  EXPECT_EQ(ReadVersionStrings(image.get()), 1);
  CopyToField(record_->szDescript, u"kept");
  EXPECT_EQ(ReadVersionStrings(record_.get()), 1);
  EXPECT_EQ(Text(image->szFileVersion), u"6.0.1");
  EXPECT_EQ(Text(record_->szFileVersion), u"6.0.1");
  EXPECT_EQ(Text(record_->szDescript), u"kept");  // a string the file lacks stays as it was
}

TEST_F(ModulesTest, ModuleChainKeepsOrderAndFailedQueries) {
  ScriptedProcess& p = platform_.processes[10];
  p.modules = std::vector<platform::ModuleEntry>{
      {u"app.exe", u"\\??\\C:\\app.exe"}, {u"", u""}, {u"lib.dll", u"C:\\lib.dll"}};
  platform_.fileTimes[u"C:\\app.exe"] = {2009, 7, 20, 10, 15, 0};
  FakeProcess process(10);
  ModuleRecord* head = BuildModuleList(process);
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(Text(head->szName), u"app.exe");
  EXPECT_EQ(Text(head->szPath), u"C:\\app.exe");
  EXPECT_EQ(Text(head->szModifyTime), u"2009-07-20 10:15:00");
  ModuleRecord* second = head->pNext;
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(Text(second->szName), u"");
  EXPECT_EQ(Text(second->szPath), u"");
  ModuleRecord* third = second->pNext;
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(Text(third->szPath), u"C:\\lib.dll");
  EXPECT_EQ(Text(third->szModifyTime), u"");  // attributes unreadable
  EXPECT_EQ(third->pNext, nullptr);
  FreeModuleList(head);
}

TEST_F(ModulesTest, NoModulesGivesNoChain) {
  FakeProcess process(10);
  platform_.processes[10];
  EXPECT_EQ(BuildModuleList(process), nullptr);  // cannot be listed
  platform_.processes[10].modules = std::vector<platform::ModuleEntry>{};
  EXPECT_EQ(BuildModuleList(process), nullptr);  // none
}

TEST_F(ModulesTest, AtMost1024Modules) {
  platform_.processes[10].modules = std::vector<platform::ModuleEntry>(1500, {u"m", u"/m"});
  FakeProcess process(10);
  ModuleRecord* head = BuildModuleList(process);
  size_t count = 0;
  for (ModuleRecord* m = head; m != nullptr; m = m->pNext) ++count;
  EXPECT_EQ(count, 1024u);
  FreeModuleList(head);
}

class CountingPlatform : public ScriptedPlatform {
 public:
  int sizeQueries = 0;
  int timeQueries = 0;
  bool FileSize(const std::u16string& path, int64_t* size) override {
    ++sizeQueries;
    return ScriptedPlatform::FileSize(path, size);
  }
  bool FileModifyTime(const std::u16string& path, platform::LocalTime* time) override {
    ++timeQueries;
    return ScriptedPlatform::FileModifyTime(path, time);
  }
};

TEST(FileFactsCacheTest, EachPathIsAskedOnceWhileTheCacheLives) {
  CountingPlatform fake;
  ScopedPlatform scoped(&fake);
  fake.fileSizes[u"/bin/a"] = 7;
  fake.fileTimes[u"/lib/c.so"] = {2020, 1, 2, 3, 4, 5};
  fake.processes[10].modules = std::vector<platform::ModuleEntry>{{u"a", u"/bin/a"}, {u"c.so", u"/lib/c.so"}};
  FakeProcess process(10);
  {
    FileFactsCache outer;
    FileFactsCache inner;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(QueryFileSize(u"/bin/a"), 7);
      EXPECT_EQ(QueryFileSize(u"/bin/missing"), 0);
      ModuleRecord* head = BuildModuleList(process);
      ASSERT_NE(head, nullptr);
      ASSERT_NE(head->pNext, nullptr);
      EXPECT_EQ(Text(head->szModifyTime), u"");
      EXPECT_EQ(Text(head->pNext->szModifyTime), u"2020-01-02 03:04:05");
      FreeModuleList(head);
    }
    EXPECT_EQ(fake.sizeQueries, 2);
    EXPECT_EQ(fake.timeQueries, 2);
  }
  // Without a cache every query reaches the platform, so changes show.
  fake.fileSizes[u"/bin/a"] = 8;
  EXPECT_EQ(QueryFileSize(u"/bin/a"), 8);
  EXPECT_EQ(fake.sizeQueries, 3);
}

// A backend that answers file facts through the process: module times by
// list position, image sizes per process; each answer counted.
class ProcessFactsPlatform : public ScriptedPlatform {
 public:
  std::map<std::pair<uint32_t, size_t>, platform::LocalTime> moduleTimes;  // (pid, index)
  std::map<uint32_t, int64_t> imageSizes;
  std::map<uint32_t, uint64_t> imageInodes;  // identities the backend can tell
  int moduleQueries = 0;
  int pathQueries = 0;
  int sizeQueries = 0;
  platform::FileFact ModuleModifyTime(platform::ProcessHandle& process, size_t index,
                                      platform::LocalTime* time) override {
    ++moduleQueries;
    auto found = moduleTimes.find({process.pid(), index});
    if (found == moduleTimes.end()) return platform::FileFact::kUnknown;
    *time = found->second;
    return platform::FileFact::kKnown;
  }
  bool ImageFileIdentity(platform::ProcessHandle& process, uint64_t* device, uint64_t* fileNumber) override {
    auto found = imageInodes.find(process.pid());
    if (found == imageInodes.end()) return false;
    *device = 0x801;
    *fileNumber = found->second;
    return true;
  }
  platform::FileFact ImageFileSize(platform::ProcessHandle& process, int64_t* size) override {
    ++sizeQueries;
    auto found = imageSizes.find(process.pid());
    if (found == imageSizes.end()) return platform::FileFact::kUnknown;
    *size = found->second;
    return platform::FileFact::kKnown;
  }
  bool FileSize(const std::u16string& path, int64_t* size) override {
    ++pathQueries;
    return ScriptedPlatform::FileSize(path, size);
  }
  bool FileModifyTime(const std::u16string& path, platform::LocalTime* time) override {
    ++pathQueries;
    return ScriptedPlatform::FileModifyTime(path, time);
  }
};

platform::ModuleEntry Identified(const char16_t* name, const char16_t* path, uint64_t inode) {
  platform::ModuleEntry entry{name, path};
  entry.device = 0x801;
  entry.fileNumber = inode;
  return entry;
}

TEST(ProcessFileFactsTest, ModuleTimesComeThroughTheProcessOncePerFile) {
  ProcessFactsPlatform fake;
  ScopedPlatform scoped(&fake);
  // The same library (inode 7) under two paths, in two processes; the
  // first process cannot tell its time, the second can. Inode 9 is known
  // from the first process on. A path-named file exists but is never asked.
  fake.fileTimes[u"/lib/c.so"] = {1999, 1, 1, 0, 0, 0};
  fake.processes[10].modules =
      std::vector<platform::ModuleEntry>{Identified(u"c.so", u"/lib/c.so", 7), Identified(u"d.so", u"/lib/d.so", 9)};
  fake.processes[20].modules = std::vector<platform::ModuleEntry>{
      Identified(u"c.so", u"/other/root/lib/c.so", 7), Identified(u"d.so", u"/lib/d.so", 9),
      {u"plain", u"/lib/c.so"}};
  fake.moduleTimes[{10, 1}] = {2021, 2, 3, 4, 5, 6};
  fake.moduleTimes[{20, 0}] = {2022, 3, 4, 5, 6, 7};
  FakeProcess first(10);
  FakeProcess second(20);
  FileFactsCache cache;
  ModuleRecord* a = BuildModuleList(first);
  ModuleRecord* b = BuildModuleList(second);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(Text(a->szModifyTime), u"");                           // unknown, and not the path's file
  EXPECT_EQ(Text(a->pNext->szModifyTime), u"2021-02-03 04:05:06");
  EXPECT_EQ(Text(b->szModifyTime), u"2022-03-04 05:06:07");        // asked again, then known
  EXPECT_EQ(Text(b->pNext->szModifyTime), u"2021-02-03 04:05:06");  // from the first process
  EXPECT_EQ(Text(b->pNext->pNext->szModifyTime), u"");            // unidentified: asked by index too
  EXPECT_EQ(fake.moduleQueries, 4);
  EXPECT_EQ(fake.pathQueries, 0);
  FreeModuleList(a);
  FreeModuleList(b);
}

TEST(ProcessFileFactsTest, ImageSizeComesThroughTheProcessAndNeverByPath) {
  ProcessFactsPlatform fake;
  ScopedPlatform scoped(&fake);
  fake.fileSizes[u"/usr/bin/x (deleted)"] = 4096;  // a planted file of that name
  fake.imageSizes[10] = 123;
  FakeProcess known(10);
  FakeProcess gone(20);
  EXPECT_EQ(QueryImageFileSize(known, u"/usr/bin/x"), 123);
  EXPECT_EQ(QueryImageFileSize(gone, u"/usr/bin/x (deleted)"), 0);
  EXPECT_EQ(fake.pathQueries, 0);
  // A backend without the query is asked by the (normalised) path.
  ScriptedPlatform byPath;
  byPath.fileSizes[u"C:\\x.exe"] = 77;
  ScopedPlatform scopedByPath(&byPath);
  EXPECT_EQ(QueryImageFileSize(known, u"\\??\\C:\\x.exe"), 77);
}

TEST(ProcessFileFactsTest, AnIdentifiedImageIsMeasuredOncePerCache) {
  ProcessFactsPlatform fake;
  ScopedPlatform scoped(&fake);
  // 10 and 11 run the same file (inode 5); 12 runs it too but its size
  // cannot be told through it; 13 runs another file; 14 is unidentified.
  for (uint32_t pid : {10u, 11u, 12u}) fake.imageInodes[pid] = 5;
  fake.imageInodes[13] = 6;
  fake.imageSizes[11] = 123;
  fake.imageSizes[13] = 456;
  fake.imageSizes[14] = 789;
  FakeProcess p10(10), p11(11), p12(12), p13(13), p14(14);
  {
    FileFactsCache cache;
    EXPECT_EQ(QueryImageFileSize(p10, u"/bin/x"), 0);  // unknown: not remembered
    EXPECT_EQ(QueryImageFileSize(p11, u"/bin/x"), 123);
    EXPECT_EQ(QueryImageFileSize(p12, u"/bin/x"), 123);  // the same file, not asked
    EXPECT_EQ(QueryImageFileSize(p13, u"/bin/x"), 456);  // same path, another file
    EXPECT_EQ(QueryImageFileSize(p14, u"/bin/y"), 789);
    EXPECT_EQ(QueryImageFileSize(p14, u"/bin/y"), 789);  // unidentified: asked each time
    EXPECT_EQ(fake.sizeQueries, 5);
  }
  // Without a cache every process is asked; a size is not kept beyond one.
  fake.imageSizes[12] = 999;
  EXPECT_EQ(QueryImageFileSize(p12, u"/bin/x"), 999);
  FileFactsCache later;
  EXPECT_EQ(QueryImageFileSize(p12, u"/bin/x"), 999);
  EXPECT_EQ(fake.pathQueries, 0);
}

}  // namespace
}  // namespace testing
}  // namespace kelvane
