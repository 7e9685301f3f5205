// Document file output: exact bytes for both encodings, the byte-count
// message, and failures (missing directory, short write).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/text.h"
#include "markup/xml_doc.h"
#include "markup_test_util.h"
#include "support/fake_platform.h"
#include "support/test_support.h"

namespace kelvane {

using testing::kDeclaration;
using testing::ReadBytes;
using testing::TempDir;
using testing::Utf16LeBytes;

namespace {

std::u16string CountMessage(size_t chars, size_t bytes) {
  return Utf8ToUtf16(std::to_string(chars) + " wide chars to " + std::to_string(bytes) + " bytes");
}

TEST(XmlSave, DeclaredUtf16IsWrittenAsUtf16LeWithByteOrderMark) {
  TempDir dir;
  CXmlDoc doc;
  doc.LoadText(kDeclaration);
  doc.AddElement(u"Response");
  doc.AddElement(u"Result", CXmlDoc::ADD_CHILD);
  doc.SetAttribute(doc.ChildPosition(), u"message", u"\u64cd\u4f5c\u5931\u8d25 & \U0001F600");
  const std::u16string text = doc.Text();
  const int32_t child = doc.ChildPosition();
  const std::string path = dir.File("r.xml");
  ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(path)));
  const std::string bytes = ReadBytes(path);
  ASSERT_EQ(bytes.size(), 2 + 2 * text.size());
  EXPECT_EQ(bytes.substr(0, 6), std::string("\xFF\xFE<\0?\0", 6));
  EXPECT_EQ(bytes, Utf16LeBytes(Utf16ToUtf8(text), true));
  EXPECT_EQ(doc.Messages(), CountMessage(text.size(), 2 * text.size()));
  // Saving changes neither the text nor the positions.
  EXPECT_EQ(doc.Text(), text);
  EXPECT_EQ(doc.ChildPosition(), child);
  EXPECT_EQ(doc.NodeKind(), 1);

  // The upper-case form counts as well.
  ASSERT_TRUE(doc.LoadText(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>"));
  ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(path)));
  EXPECT_EQ(ReadBytes(path), Utf16LeBytes("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>", true));
}

TEST(XmlSave, OtherDocumentsAreWrittenAsUtf8WithoutByteOrderMark) {
  TempDir dir;
  const std::string path = dir.File("r.xml");
  const char* const declarations[] = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
      "<?xml version=\"1.0\" encoding=\"Utf-16\"?>",
      "<?xml version=\"1.0\" encoding='utf-16'?>",
      "<?xml version=\"1.0\" encoding = \"utf-16\"?>",
      "",
  };
  for (const char* declaration : declarations) {
    const std::string utf8 = std::string(declaration) + "<a k=\"\xE4\xB8\xAD\xE6\x96\x87\"/>\r\n";
    CXmlDoc doc;
    doc.LoadText(Utf8ToUtf16(utf8));
    ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(path))) << declaration;
    EXPECT_EQ(ReadBytes(path), utf8) << declaration;
    EXPECT_EQ(doc.Messages(), CountMessage(doc.Text().size(), utf8.size()));
  }
}

TEST(XmlSave, EmptyDocumentTruncatesToAnEmptyFile) {
  TempDir dir;
  const std::string path = dir.File("r.xml");
  kelvane::testing::WriteBytes(path, "old content");
  CXmlDoc doc;
  ASSERT_TRUE(doc.SaveFile(Utf8ToUtf16(path)));
  EXPECT_TRUE(kelvane::testing::FileExists(path));
  EXPECT_EQ(ReadBytes(path), "");
  EXPECT_EQ(doc.Messages(), u"0 wide chars to 0 bytes");
}

TEST(XmlSave, MissingDirectoryFailsWithTheSystemText) {
  TempDir dir;
  const std::string path = dir.File("missing/r.xml");
  CXmlDoc doc;
  doc.LoadText(u"<a/>");
  EXPECT_FALSE(doc.SaveFile(Utf8ToUtf16(path)));
  EXPECT_FALSE(kelvane::testing::FileExists(path));
  // The platform's own words (the exact text is checked per platform).
  EXPECT_FALSE(doc.Messages().empty());
  EXPECT_EQ(doc.Messages().find(u"wide chars"), std::u16string::npos);
  EXPECT_EQ(doc.Text(), u"<a/>");
}

// A file that accepts only the first `limit` bytes.
class ShortFile : public kelvane::platform::OutputFile {
 public:
  explicit ShortFile(size_t limit) : limit_(limit) {}
  size_t Write(const void*, size_t size) override {
    const size_t n = size < limit_ ? size : limit_;
    limit_ -= n;
    return n;
  }
  std::u16string LastError() const override { return u"No space left on device"; }

 private:
  size_t limit_;
};

class ShortWritePlatform : public kelvane::testing::FakePlatform {
 public:
  explicit ShortWritePlatform(size_t limit) : limit_(limit) {}
  std::unique_ptr<kelvane::platform::OutputFile> CreateOutputFile(const std::u16string&,
                                                                  std::u16string*) override {
    return std::make_unique<ShortFile>(limit_);
  }

 private:
  size_t limit_;
};

TEST(XmlSave, ShortWriteIsAFailure) {
  for (size_t limit : {0, 1, 2, 50}) {
    ShortWritePlatform platform(limit);
    kelvane::testing::ScopedPlatform scoped(&platform);
    CXmlDoc doc;
    doc.LoadText(kDeclaration + u"<a/>");
    EXPECT_FALSE(doc.SaveFile(u"any")) << limit;
    EXPECT_EQ(doc.Messages(), u"No space left on device");
    doc.LoadText(u"<a/>");
    EXPECT_EQ(doc.SaveFile(u"any"), limit >= 4) << limit;
  }
}

}  // namespace

}  // namespace kelvane
