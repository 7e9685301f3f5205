#include "plugin/message_table.h"

#include "plugin/message_table_fixture.h"

namespace kelvane {
namespace {

TEST_F(MessageTableTest, PathIsBesideTheLibrary) {
  EXPECT_EQ(Utf8ToUtf16(TableFile()), MessageTablePathForTesting());
  EXPECT_EQ(u"TerminateProcSuccessed", Lookup(u"TerminateProcSuccessed"));  // no file: the id
  // The section looked in is "Kelvane".
  WriteTable("[Other]\nTerminateProcSuccessed=other\n[Kelvane]\nTerminateProcSuccessed=stopped\n");
  EXPECT_EQ(u"stopped", Lookup(u"TerminateProcSuccessed"));
}

TEST_F(MessageTableTest, NothingBeforeSetUp) {
  ResetMessageTableForTesting();
  EXPECT_EQ(nullptr, LookupMessage(u"GetSuccessed"));
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
  const std::u16string first = MessageTablePathForTesting();
  fake_.libraryPath = u"/elsewhere/libkelvane.so";
  InitSectionName();
  EXPECT_TRUE(TheApp().InitInstance(&fake_));
  InitMessageTable(&fake_);
  EXPECT_EQ(first, MessageTablePathForTesting());
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
    EXPECT_EQ(expected, MessageTablePathForTesting());
    EXPECT_EQ(u"SetPRIFailed", Lookup(u"SetPRIFailed"));
  }
  const int reads = fake_.profileReads;
  Lookup(u"GetFailed");
  EXPECT_EQ(reads, fake_.profileReads);  // no path: the file is not consulted
}

TEST(Profile, MissingFileSectionOrKeyGivesFallback) {
  EXPECT_EQ(u"dflt", ReadProfileString(u"Kelvane", u"Key", u"dflt", u"/nonexistent/x.ini"));
  EXPECT_EQ(u"dflt", ReadProfileString(u"Kelvane", u"Key", u"dflt", u""));
  TempDir dir;
  WriteBytes(dir.File("a.ini"), "[Kelvane]\nOther=1\n[Second]\nKey=2\n[Kelvane]\nKey=late\n");
  const std::u16string path = Utf8ToUtf16(dir.File("a.ini"));
  EXPECT_EQ(u"dflt", ReadProfileString(u"Missing", u"Key", u"dflt", path));
  EXPECT_EQ(u"2", ReadProfileString(u"second", u"KEY", u"dflt", path));
  // Only the first section of a name is searched.
  EXPECT_EQ(u"dflt", ReadProfileString(u"Kelvane", u"Key", u"dflt", path));
  // A directory or binary junk reads as nothing found.
  EXPECT_EQ(u"dflt", ReadProfileString(u"Kelvane", u"Key", u"dflt", Utf8ToUtf16(dir.path())));
  WriteBytes(dir.File("b.ini"), std::string("\x00\xFF[Kelvane\x00]\nKey", 15));
  EXPECT_EQ(u"dflt", ReadProfileString(u"Kelvane", u"Key", u"dflt", Utf8ToUtf16(dir.File("b.ini"))));
}

}  // namespace
}  // namespace kelvane
