#include "plugin/message_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/text.h"
#include "plugin/app.h"
#include "support/fake_platform.h"
#include "support/test_support.h"

namespace kelvane {
namespace {

using testing::TempDir;
using testing::WriteBytes;

void AddressInTestProgram() {}

// Puts the library file in a directory of the test's choosing; profile
// reading is the real one.
class LibraryInDirectory : public testing::FakePlatform {
 public:
  std::u16string LibraryFilePath(const void*) override { return libraryPath; }
  std::u16string ReadProfileString(const std::u16string& section, const std::u16string& key,
                                   const std::u16string& fallback, const std::u16string& path) override {
    ++profileReads;
    lastSection = section;
    return platform::Default()->ReadProfileString(section, key, fallback, path);
  }
  std::u16string libraryPath;
  std::u16string lastSection;
  int profileReads = 0;
};

class MessageTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_.libraryPath = Utf8ToUtf16(dir_.File("libkelvane.so"));
    std::filesystem::create_directories(dir_.File("common/config"));
    platform::SetForTesting(&fake_);
    ResetMessageTableForTesting();
    InitSectionName();
    ASSERT_TRUE(TheApp().InitInstance(&fake_));
  }
  void TearDown() override {
    // Back to the set-up the program had at load.
    platform::SetForTesting(nullptr);
    ResetMessageTableForTesting();
    InitMessageTable(reinterpret_cast<const void*>(&AddressInTestProgram));
  }

  std::string TableFile() const { return dir_.File("common/config/Resource.ini"); }
  void WriteTable(const std::string& bytes) { WriteBytes(TableFile(), bytes); }
  static std::u16string Lookup(const char16_t* id) {
    const char16_t* text = LookupMessage(id);
    return text != nullptr ? std::u16string(text) : u"<null>";
  }

  TempDir dir_;
  LibraryInDirectory fake_;
};

TEST_F(MessageTableTest, PathIsBesideTheLibrary) {
  EXPECT_EQ(Utf8ToUtf16(TableFile()), MessageTablePath());
  EXPECT_EQ(u"TerminateProcSuccessed", Lookup(u"TerminateProcSuccessed"));  // no file: the id
  EXPECT_EQ(u"Kelvane", fake_.lastSection);
}

TEST_F(MessageTableTest, NothingBeforeSetUp) {
  ResetMessageTableForTesting();
  EXPECT_EQ(nullptr, LookupMessage(u"GetSuccessed"));
}

TEST_F(MessageTableTest, ReadsUtf8TablesWithAndWithoutMark) {
  const std::string table =
      "; outcome texts\n"
      "[Other]\r\n"
      "GetSuccessed=wrong section\r\n"
      "  [ kelvane ]  \r\n"
      ";GetFailed=commented out\n"
      "getsuccessed =  Liste erstellt \xE2\x9C\x93  \n"
      "TERMINATEPROCFAILED=\"  quoted  \"\n"
      "SetPRISuccessed='single'\n"
      "SetPRIFailed=\"unbalanced\n"
      "NoEquals\n";
  for (const std::string& bytes : {table, "\xEF\xBB\xBF" + table}) {
    WriteTable(bytes);
    EXPECT_EQ(u"Liste erstellt \u2713", Lookup(u"GetSuccessed"));
    EXPECT_EQ(u"  quoted  ", Lookup(u"TerminateProcFailed"));
    EXPECT_EQ(u"single", Lookup(u"SetPRISuccessed"));
    EXPECT_EQ(u"\"unbalanced", Lookup(u"SetPRIFailed"));
    EXPECT_EQ(u"GetFailed", Lookup(u"GetFailed"));
    EXPECT_EQ(u"NoEquals", Lookup(u"NoEquals"));
  }
}

TEST_F(MessageTableTest, ReadsUtf16Tables) {
  const std::string table = "[Kelvane]\r\nSetPRIFailed=\xE5\xA4\xB1\xE8\xB4\xA5 \xF0\x9F\x98\x80\r\n";
  WriteTable(testing::Utf16LeBytes(table, true));
  EXPECT_EQ(u"\u5931\u8D25 \U0001F600", Lookup(u"SetPRIFailed"));
  std::string big = "\xFE\xFF";
  for (char16_t c : Utf8ToUtf16(table)) {
    big.push_back(static_cast<char>(c >> 8));
    big.push_back(static_cast<char>(c & 0xFF));
  }
  WriteTable(big);
  EXPECT_EQ(u"\u5931\u8D25 \U0001F600", Lookup(u"SetPRIFailed"));
}

TEST_F(MessageTableTest, LongValuesStopAt1023Units) {
  WriteTable("[Kelvane]\nGetFailed=" + std::string(5000, 'x') + "\n");
  const std::u16string text = Lookup(u"GetFailed");
  EXPECT_EQ(std::u16string(1023, u'x'), text);
  char16_t summary[260];
  EXPECT_EQ(259u, CopyToField(summary, text));  // callers cut at their capacity
}

TEST_F(MessageTableTest, EditsTakeEffectAtTheNextLookup) {
  WriteTable("[Kelvane]\nGetSuccessed=one\n");
  EXPECT_EQ(u"one", Lookup(u"GetSuccessed"));
  WriteTable("[Kelvane]\nGetSuccessed=two\n");
  EXPECT_EQ(u"two", Lookup(u"GetSuccessed"));
  std::filesystem::remove(TableFile());
  EXPECT_EQ(u"GetSuccessed", Lookup(u"GetSuccessed"));
}

TEST_F(MessageTableTest, SecondSetUpChangesNothing) {
  const std::u16string first = MessageTablePath();
  fake_.libraryPath = u"/elsewhere/libkelvane.so";
  InitSectionName();
  EXPECT_TRUE(TheApp().InitInstance(&fake_));
  InitMessageTable(&fake_);
  EXPECT_EQ(first, MessageTablePath());
}

TEST_F(MessageTableTest, FoundWhateverTheCurrentDirectory) {
  WriteTable("[Kelvane]\nGetSuccessed=found\n");
  TempDir elsewhere;
  const std::filesystem::path before = std::filesystem::current_path();
  ASSERT_EQ(0, chdir(elsewhere.path().c_str()));
  const std::u16string text = Lookup(u"GetSuccessed");
  std::filesystem::current_path(before);
  EXPECT_EQ(u"found", text);
}

TEST_F(MessageTableTest, LibraryPathsWithoutRoomGiveBareIds) {
  // 233 + 26 = 259 units fit; one more does not.
  const std::u16string fits = u"/" + std::u16string(231, u'd') + u"/";
  ASSERT_EQ(233u, fits.size());
  for (const auto& [library, expected] :
       {std::pair<std::u16string, std::u16string>{fits + u"lib.so", fits + u"common/config/Resource.ini"},
        {u"/" + std::u16string(232, u'd') + u"/lib.so", u""},
        {u"", u""},
        {u"no-separator", u""}}) {
    ResetMessageTableForTesting();
    fake_.libraryPath = library;
    InitMessageTable(&fake_);
    EXPECT_EQ(expected, MessageTablePath());
    EXPECT_EQ(u"SetPRIFailed", Lookup(u"SetPRIFailed"));
  }
  const int reads = fake_.profileReads;
  Lookup(u"GetFailed");
  EXPECT_EQ(reads, fake_.profileReads);  // no path: the file is not consulted
}

TEST(LinuxLibraryPath, NamesTheFileHoldingTheAddress) {
  const std::u16string self =
      platform::Default()->LibraryFilePath(reinterpret_cast<const void*>(&AddressInTestProgram));
  ASSERT_FALSE(self.empty());
  const std::filesystem::path path(Utf16ToUtf8(self));
  EXPECT_TRUE(path.is_absolute());
  EXPECT_TRUE(std::filesystem::exists(path));
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
  // An address inside a shared library names that library.
  const std::u16string libc = platform::Default()->LibraryFilePath(reinterpret_cast<const void*>(&::chdir));
  EXPECT_NE(std::u16string::npos, libc.find(u"libc"));
  EXPECT_TRUE(std::filesystem::path(Utf16ToUtf8(libc)).is_absolute());
}

TEST(LoadTimeSetUp, RanWhenTheProgramStarted) {
  // The test program carries the same load-time constructor as the library:
  // the table is looked for beside the program's own file.
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(Utf8ToUtf16((program.parent_path() / "common/config/Resource.ini").string()), MessageTablePath());
  EXPECT_NE(nullptr, LookupMessage(u"GetSuccessed"));
}

TEST(LinuxProfile, MissingFileSectionOrKeyGivesFallback) {
  platform::Platform* os = platform::Default();
  EXPECT_EQ(u"dflt", os->ReadProfileString(u"Kelvane", u"Key", u"dflt", u"/nonexistent/x.ini"));
  EXPECT_EQ(u"dflt", os->ReadProfileString(u"Kelvane", u"Key", u"dflt", u""));
  TempDir dir;
  WriteBytes(dir.File("a.ini"), "[Kelvane]\nOther=1\n[Second]\nKey=2\n[Kelvane]\nKey=late\n");
  const std::u16string path = Utf8ToUtf16(dir.File("a.ini"));
  EXPECT_EQ(u"dflt", os->ReadProfileString(u"Missing", u"Key", u"dflt", path));
  EXPECT_EQ(u"2", os->ReadProfileString(u"second", u"KEY", u"dflt", path));
  // Only the first section of a name is searched.
  EXPECT_EQ(u"dflt", os->ReadProfileString(u"Kelvane", u"Key", u"dflt", path));
  // A directory or binary junk reads as nothing found.
  EXPECT_EQ(u"dflt", os->ReadProfileString(u"Kelvane", u"Key", u"dflt", Utf8ToUtf16(dir.path())));
  WriteBytes(dir.File("b.ini"), std::string("\x00\xFF[Kelvane\x00]\nKey", 15));
  EXPECT_EQ(u"dflt", os->ReadProfileString(u"Kelvane", u"Key", u"dflt", Utf8ToUtf16(dir.File("b.ini"))));
}

}  // namespace
}  // namespace kelvane
