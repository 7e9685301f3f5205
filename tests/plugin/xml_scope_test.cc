// The library scope a call holds around its reads of the command file: the
// reads inside it work as alone, and the library's initialisations and
// terminations stay balanced (it is fully terminated once the scope ends).
#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/regx/RegularExpression.hpp>

#include <string>

#include "common/text.h"
#include "plugin/request.h"
#include "support/test_support.h"

namespace kelvane {
namespace {

namespace xml = XERCES_CPP_NAMESPACE;

// The library drops its memory manager when the last termination balances
// the first initialisation.
bool LibraryInitialised() { return xml::XMLPlatformUtils::fgMemoryManager != nullptr; }

TEST(XmlLibraryScopeTest, ReadsInsideShareOneInitialisationAndBalanceIt) {
  testing::TempDir dir;
  const std::string path = dir.File("request.xml");
  testing::WriteBytes(path, "<R name=\" A_KLV \"><procid PID=\"12\" priority=\"64\"/><x/><procid PID=\"7\"/></R>");
  const std::u16string file = Utf8ToUtf16(path);
  ASSERT_FALSE(LibraryInitialised());
  {
    XmlLibraryScope scope;
    ASSERT_TRUE(scope.held());
    for (int round = 0; round < 2; ++round) {
      RequestPtr request(new CmdRequest{});
      ASSERT_EQ(0, ReadRequest(file.c_str(), request.get()));
      EXPECT_EQ(u"A_KLV", FieldView(request->szCmdName));
      ASSERT_NE(nullptr, request->pTargets);
      EXPECT_EQ(u"12", FieldView(request->pTargets->szPID));
      EXPECT_EQ(64, request->pTargets->nPriority);
      ASSERT_NE(nullptr, request->pTargets->pNext);
      EXPECT_EQ(-1, request->pTargets->pNext->nPriority);
      uint32_t count = 0;
      EXPECT_EQ(0, CountTargets(file.c_str(), &count));
      EXPECT_EQ(2u, count);
      // Failing reads terminate their own initialisation only.
      EXPECT_EQ(-1, CountTargets(u"/nonexistent/kelvane/request.xml", &count));
      RequestPtr broken(new CmdRequest{});
      EXPECT_EQ(-1, ReadRequest(Utf8ToUtf16(dir.File("missing.xml")).c_str(), broken.get()));
      EXPECT_TRUE(LibraryInitialised());
    }
  }
  EXPECT_FALSE(LibraryInitialised());
  // Alone, a read initialises and terminates around itself.
  uint32_t count = 0;
  EXPECT_EQ(0, CountTargets(file.c_str(), &count));
  EXPECT_EQ(2u, count);
  EXPECT_FALSE(LibraryInitialised());
}

// The library's initialisation leaves the character classes of its
// regular expressions to be built when first used: every kind still
// matches, in every initialisation.
TEST(XmlLibraryScopeTest, RegularExpressionsBuildTheirCharacterClassesOnUse) {
  for (int round = 0; round < 2; ++round) {
    XmlLibraryScope scope;
    ASSERT_TRUE(scope.held());
    xml::RegularExpression unicode(u"\\p{Lu}\\w*", u"X");  // a Unicode category, then words
    EXPECT_TRUE(unicode.matches(u"\u00c4rger1"));
    EXPECT_FALSE(unicode.matches(u"\u00e4rger"));
    xml::RegularExpression names(u"\\i\\c*", u"X");  // the XML name classes
    EXPECT_TRUE(names.matches(u"_a.1"));
    EXPECT_FALSE(names.matches(u"1a"));
    xml::RegularExpression block(u"\\p{IsBasicLatin}+\\P{IsBasicLatin}", u"X");  // a block and its complement
    EXPECT_TRUE(block.matches(u"abc\u00e9"));
    EXPECT_FALSE(block.matches(u"abc"));
  }
  EXPECT_FALSE(LibraryInitialised());
}

}  // namespace
}  // namespace kelvane
