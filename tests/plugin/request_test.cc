#include "plugin/request.h"

#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>

#include <climits>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/fake_platform.h"
#include "support/test_support.h"

namespace kelvane {
namespace {

using testing::TempDir;
using testing::Utf16LeBytes;
using testing::WriteBytes;

using kelvane::RequestPtr;

class RequestTest : public ::testing::Test {
 protected:
  // Writes `bytes` as a command file and returns its path.
  std::u16string Write(const std::string& bytes) {
    const std::string path = dir_.File("request" + std::to_string(++files_) + ".xml");
    WriteBytes(path, bytes);
    return Utf8ToUtf16(path);
  }

  // Reads the command file; `rc` receives ReadRequest's result.
  RequestPtr Read(const std::u16string& path, int* rc) {
    RequestPtr request(new CmdRequest{});
    *rc = ReadRequest(path.c_str(), request.get());
    return request;
  }

  int ReadRc(const std::string& bytes) {
    int rc = 0;
    Read(Write(bytes), &rc);
    return rc;
  }

  static std::string WithName(const std::string& name, const std::string& body = "") {
    return "<R name=\"" + name + "\">" + body + "</R>";
  }

  // ` a0="" a1="" ...`, `n` attributes.
  static std::string Attributes(size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += " a" + std::to_string(i) + "=\"\"";
    return text;
  }
  static std::string Repeat(const std::string& text, size_t times) {
    std::string out;
    out.reserve(text.size() * times);
    for (size_t i = 0; i < times; ++i) out += text;
    return out;
  }

  static std::u16string Pid(const ProcTarget* target) { return std::u16string(FieldView(target->szPID)); }
  static size_t ChainLength(const CmdRequest& request) {
    size_t n = 0;
    for (const ProcTarget* t = request.pTargets; t != nullptr; t = t->pNext) ++n;
    return n;
  }

 private:
  TempDir dir_;
  int files_ = 0;
};

TEST_F(RequestTest, ReadsUtf8RequestWithTargetsInOrder) {
  const auto path = Write(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<R name=\"ZEV_SetProcessPriority_KLV\">\n"
      "  <procid PID=\"1234\" priority=\"64\"/>\n"
      "  <procid PID=\"5678\"/>\n"
      "  <procid PID=\" 42 \" priority=\"  128\"/>\n"
      "</R>\n");
  int rc = 1;
  RequestPtr request = Read(path, &rc);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(u"ZEV_SetProcessPriority_KLV", FieldView(request->szCmdName));
  const ProcTarget* t = request->pTargets;
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(u"1234", Pid(t));
  EXPECT_EQ(64, t->nPriority);
  EXPECT_EQ(0, t->nResult);
  EXPECT_EQ(0, t->szErrMsg[0]);
  t = t->pNext;
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(u"5678", Pid(t));
  EXPECT_EQ(-1, t->nPriority);
  t = t->pNext;
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(u" 42 ", Pid(t));  // stored as written
  EXPECT_EQ(128, t->nPriority);
  EXPECT_EQ(nullptr, t->pNext);

  uint32_t count = 0;
  EXPECT_EQ(0, CountTargets(path.c_str(), &count));
  EXPECT_EQ(3u, count);
}

TEST_F(RequestTest, ReadsUtf16RequestsWithByteOrderMark) {
  const std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?><R name=\"ZEV_StopProcess_KLV\">"
      "<procid PID=\"7\"/></R>";
  std::string big = "\xFE\xFF";
  for (char16_t c : Utf8ToUtf16(text)) {
    big.push_back(static_cast<char>(c >> 8));
    big.push_back(static_cast<char>(c & 0xFF));
  }
  for (const std::string& bytes : {Utf16LeBytes(text, true), big}) {
    int rc = 1;
    RequestPtr request = Read(Write(bytes), &rc);
    ASSERT_EQ(0, rc);
    EXPECT_EQ(u"ZEV_StopProcess_KLV", FieldView(request->szCmdName));
    ASSERT_NE(nullptr, request->pTargets);
    EXPECT_EQ(u"7", Pid(request->pTargets));
  }
}

TEST_F(RequestTest, TrimsTabsAndUnicodeSpacesAroundTheName) {
  // Tab, ideographic space, em space (U+2003, literal UTF-8) and no-break
  // space around the name.
  const auto path = Write(WithName("&#9;&#x3000; \xE2\x80\x83ZEV_StopProcess_KLV&#xA0;&#9; "));
  int rc = 1;
  RequestPtr request = Read(path, &rc);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(u"ZEV_StopProcess_KLV", FieldView(request->szCmdName));
  char16_t name[260];
  ASSERT_EQ(0, ReadCommandName(path.c_str(), name));
  EXPECT_EQ(u"ZEV_StopProcess_KLV", std::u16string(name));
}

TEST_F(RequestTest, ChecksTheSuffixAtTheLastUnderscore) {
  EXPECT_EQ(-1, ReadRc(WithName("ZEVStopProcessKLV")));
  EXPECT_EQ(-1, ReadRc(WithName("ZEV_StopProcess_KL")));
  EXPECT_EQ(-1, ReadRc(WithName("ZEV_StopProcess_klv")));
  EXPECT_EQ(-1, ReadRc(WithName("ZEV_KLV_Stop")));
  EXPECT_EQ(-1, ReadRc(WithName("")));
  EXPECT_EQ(0, ReadRc(WithName("_KLV")));
  int rc = 1;
  RequestPtr request = Read(Write(WithName("ZEV_StopProcess_KLVX")), &rc);
  EXPECT_EQ(0, rc);  // accepted here; no command matches it later
  EXPECT_EQ(u"ZEV_StopProcess_KLVX", FieldView(request->szCmdName));
}

TEST_F(RequestTest, ConvertsPriorities) {
  int rc = 1;
  RequestPtr request = Read(Write(WithName("A_KLV",
                                           "<procid PID=\"1\" priority=\"abc\"/>"
                                           "<procid PID=\"2\" priority=\"0x40\"/>"
                                           "<procid PID=\"3\" priority=\"-5\"/>"
                                           "<procid PID=\"4\" priority=\"99999999999\"/>"
                                           "<procid PID=\"\"/>")),
                            &rc);
  ASSERT_EQ(0, rc);
  const ProcTarget* t = request->pTargets;
  ASSERT_EQ(5u, ChainLength(*request));
  EXPECT_EQ(0, t->nPriority);
  EXPECT_EQ(0, t->pNext->nPriority);
  EXPECT_EQ(-5, t->pNext->pNext->nPriority);
  EXPECT_EQ(INT32_MAX, t->pNext->pNext->pNext->nPriority);
  const ProcTarget* empty = t->pNext->pNext->pNext->pNext;
  EXPECT_EQ(u"", Pid(empty));  // an empty PID is accepted
  EXPECT_EQ(-1, empty->nPriority);

  // Any length, one pass: white space, sign, digits; saturating.
  RequestPtr longer = Read(Write(WithName("A_KLV", "<procid PID=\"1\" priority=\"" + std::string(300, ' ') + "64\"/>"
                                                   "<procid PID=\"2\" priority=\"-" + std::string(1000, '9') + "\"/>")),
                           &rc);
  ASSERT_EQ(2u, ChainLength(*longer));
  EXPECT_EQ(64, longer->pTargets->nPriority);
  EXPECT_EQ(INT32_MIN, longer->pTargets->pNext->nPriority);
}

TEST_F(RequestTest, MissingPidFailsButKeepsEarlierTargets) {
  const auto path = Write(WithName("A_KLV",
                                   "<procid PID=\"10\"/><procid PID=\"11\" priority=\"32\"/>"
                                   "<procid priority=\"64\"/><procid PID=\"12\"/>"));
  int rc = 0;
  RequestPtr request = Read(path, &rc);
  EXPECT_EQ(-1, rc);
  ASSERT_EQ(2u, ChainLength(*request));  // released by FreeRequest
  EXPECT_EQ(u"10", Pid(request->pTargets));
  EXPECT_EQ(u"11", Pid(request->pTargets->pNext));
  uint32_t count = 0;
  EXPECT_EQ(0, CountTargets(path.c_str(), &count));
  EXPECT_EQ(4u, count);  // counted with or without PID
}

TEST_F(RequestTest, OnlyDirectChildrenNamedExactlyProcidAreTargets) {
  const auto path = Write(WithName("A_KLV",
                                   "text<!-- note --><?pi x?>"
                                   "<ProcID PID=\"1\"/><PROCID PID=\"2\"/>"
                                   "<group><procid PID=\"3\"/></group>"
                                   "<procid PID=\"4\"><procid PID=\"5\"/></procid>"
                                   "<procid/>  "));  // no PID, but nested: never looked at
  int rc = 0;
  RequestPtr request = Read(path, &rc);
  // The last direct procid lacks PID: it fails the read after "4".
  EXPECT_EQ(-1, rc);
  ASSERT_EQ(1u, ChainLength(*request));
  EXPECT_EQ(u"4", Pid(request->pTargets));
  uint32_t count = 0;
  EXPECT_EQ(0, CountTargets(path.c_str(), &count));
  EXPECT_EQ(2u, count);

  RequestPtr clean = Read(Write(WithName("A_KLV", "<ProcID/><x><procid/></x><procid PID=\"9\"/>")), &rc);
  EXPECT_EQ(0, rc);
  ASSERT_EQ(1u, ChainLength(*clean));
  EXPECT_EQ(u"9", Pid(clean->pTargets));
}

TEST_F(RequestTest, RootWithoutChildrenGivesAnEmptyChain) {
  const auto path = Write("<R name=\"ZEV_GetProcessList_KLV\"/>");
  int rc = 1;
  RequestPtr request = Read(path, &rc);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(nullptr, request->pTargets);
  uint32_t count = 7;
  EXPECT_EQ(0, CountTargets(path.c_str(), &count));
  EXPECT_EQ(0u, count);
}

TEST_F(RequestTest, PidFieldBoundary) {
  int rc = 1;
  RequestPtr fits = Read(Write(WithName("A_KLV", "<procid PID=\"123456789\"/>")), &rc);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(u"123456789", Pid(fits->pTargets));
  RequestPtr tooLong = Read(Write(WithName("A_KLV", "<procid PID=\"1\"/><procid PID=\"1234567890\"/>")), &rc);
  EXPECT_EQ(-1, rc);  // refused, never cut
  EXPECT_EQ(1u, ChainLength(*tooLong));
}

TEST_F(RequestTest, NameFieldBoundary) {
  const std::string fits = "ZEV_" + std::string(259 - 8, 'N') + "_KLV";  // 259 units
  int rc = 1;
  RequestPtr request = Read(Write(WithName("  " + fits + "\t")), &rc);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(Utf8ToUtf16(fits), FieldView(request->szCmdName));
  const std::string tooLong = "ZEV_" + std::string(260 - 8, 'N') + "_KLV";  // 260 units
  EXPECT_EQ(-1, ReadRc(WithName(tooLong)));
  char16_t name[260];
  name[0] = u'#';
  EXPECT_EQ(-1, ReadCommandName(Write(WithName(tooLong)).c_str(), name));
  EXPECT_EQ(u'#', name[0]);
}

TEST_F(RequestTest, UnreadableFilesGiveMinusOne) {
  int rc = 0;
  RequestPtr missing = Read(u"/nonexistent/kelvane/request.xml", &rc);
  EXPECT_EQ(-1, rc);
  uint32_t count = 5;
  EXPECT_EQ(-1, CountTargets(u"/nonexistent/kelvane/request.xml", &count));
  EXPECT_EQ(5u, count);  // untouched
  EXPECT_EQ(-1, ReadRequest(nullptr, missing.get()));

  EXPECT_EQ(-1, ReadRc(""));
  EXPECT_EQ(-1, ReadRc(std::string("\x00\x01\xFF\xFE\x89PNG\r\n\x1A\n\x00\x00", 13)));
  EXPECT_EQ(-1, ReadRc("<R name=\"A_KLV\"><procid PID=\"1\"/>"));     // truncated
  EXPECT_EQ(-1, ReadRc("<R name=\"A_KLV\"><procid PID=\"1\"></R>"));  // mismatched
  EXPECT_EQ(-1, ReadRc("<R><procid PID=\"1\"/></R>"));               // root without name
  EXPECT_EQ(-1, ReadRc("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- no root -->"));
  // An encoding the parser does not know.
  EXPECT_EQ(-1, ReadRc("<?xml version=\"1.0\" encoding=\"x-no-such-code\"?><R name=\"A_KLV\"/>"));
  // A fatal error after the targets: the partial document is not used.
  EXPECT_EQ(-1, ReadRc("<R name=\"A_KLV\"><procid PID=\"1\"/></R><trailing"));
  EXPECT_EQ(-1, ReadRc("<R name=\"A_KLV\"><procid PID=\"1\"/><bad attr=></R>"));
  // Invalid UTF-8 in the name.
  EXPECT_EQ(-1, ReadRc("<R name=\"A_\xC3\x28KLV\"/>"));
}

TEST_F(RequestTest, HugeAttributeValuesAreRefused) {
  const std::string huge(1 << 20, '7');
  EXPECT_EQ(-1, ReadRc(WithName("ZEV_" + huge + "_KLV")));
  EXPECT_EQ(-1, ReadRc(WithName("A_KLV", "<procid PID=\"" + huge + "\"/>")));
  // A priority is converted whatever its length, in one pass over it.
  int rc = 1;
  RequestPtr request = Read(Write(WithName("A_KLV", "<procid PID=\"1\" priority=\"" + huge + "\"/>")), &rc);
  EXPECT_EQ(0, rc);
  ASSERT_NE(nullptr, request->pTargets);
  EXPECT_EQ(INT32_MAX, request->pTargets->nPriority);
  // Attributes that are not read do not matter.
  EXPECT_EQ(0, ReadRc(WithName("A_KLV", "<procid PID=\"1\" note=\"" + huge + "\"/>")));
}

TEST_F(RequestTest, DeeplyNestedDocumentsAreRefused) {
  const auto nested = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
  };
  EXPECT_EQ(-1, ReadRc(WithName("A_KLV", "<procid PID=\"1\"/>" + nested(200000))));
  uint32_t count = 0;
  EXPECT_EQ(-1, CountTargets(Write(WithName("A_KLV", nested(200000))).c_str(), &count));
  // 256 levels, the root included, are the most a document may nest.
  EXPECT_EQ(0, ReadRc(WithName("A_KLV", "<procid PID=\"1\"/>" + nested(255))));
  EXPECT_EQ(-1, ReadRc(WithName("A_KLV", "<procid PID=\"1\"/>" + nested(256))));
}

TEST_F(RequestTest, EntityExpansionBombIsRefused) {
  std::string doc = "<?xml version=\"1.0\"?>\n<!DOCTYPE R [\n<!ENTITY l0 \"lol\">\n";
  for (int i = 1; i <= 10; ++i) {
    doc += "<!ENTITY l" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j) doc += "&l" + std::to_string(i - 1) + ";";
    doc += "\">\n";
  }
  doc += "]>\n<R name=\"A_KLV\">&l10;<procid PID=\"&l10;\"/></R>\n";
  EXPECT_EQ(-1, ReadRc(doc));
  uint32_t count = 0;
  EXPECT_EQ(-1, CountTargets(Write(doc).c_str(), &count));
  // A document with a few ordinary entity references still reads.
  EXPECT_EQ(0, ReadRc("<!DOCTYPE R [<!ENTITY k \"KLV\">]><R name=\"A_&k;\">&amp;&lt;<procid PID=\"&k;\"/></R>"));
}

// Declarations cost more than their size (300,000 entity declarations once
// took six minutes), so an internal DTD subset is read only in a small file;
// the attributes a DTD adds as defaults count against the element's bound.
TEST_F(RequestTest, InternalSubsetsOnlyInSmallFiles) {
  const std::string doc = "<!DOCTYPE R [<!ENTITY k \"KLV\">]><R name=\"A_&k;\"/>";
  EXPECT_EQ(0, ReadRc(doc + std::string(kMaxBytesWithInternalSubset - doc.size(), ' ')));
  EXPECT_EQ(-1, ReadRc(doc + std::string(kMaxBytesWithInternalSubset - doc.size() + 1, ' ')));
  EXPECT_EQ(0, ReadRc(WithName("A_KLV") + std::string(kMaxBytesWithInternalSubset, ' ')));  // no DTD
  std::string defaults;
  for (size_t i = 1; i < kMaxAttributesPerElement; ++i) defaults += " a" + std::to_string(i) + " CDATA \"v\"";
  const std::string body = WithName("A_KLV", "<procid PID=\"1\"/>");
  EXPECT_EQ(0, ReadRc("<!DOCTYPE R [<!ATTLIST procid" + defaults + ">]>" + body));
  EXPECT_EQ(-1, ReadRc("<!DOCTYPE R [<!ATTLIST procid" + defaults + " b CDATA \"v\">]>" + body));
}

TEST_F(RequestTest, ExternalResourcesAreNeverLoaded) {
  // An external DTD on an unroutable address is not fetched, so the read
  // neither hangs nor reaches the network.
  EXPECT_EQ(0, ReadRc("<!DOCTYPE R SYSTEM \"http://192.0.2.1/request.dtd\">"
                      "<R name=\"A_KLV\"><procid PID=\"1\"/></R>"));
  // An external entity naming an endless device is refused, not read.
  EXPECT_EQ(-1, ReadRc("<!DOCTYPE R [<!ENTITY z SYSTEM \"/dev/zero\">]>"
                       "<R name=\"A_KLV\">&z;<procid PID=\"1\"/></R>"));
}

TEST_F(RequestTest, FilesOverSixteenMebibytesAreRefused) {
  const size_t limit = 16u * 1024 * 1024;
  const std::string head = "<R name=\"A_KLV\"><procid PID=\"7\"/>";
  const std::string tail = "</R>";
  std::string exact = head + std::string(limit - head.size() - tail.size(), ' ') + tail;
  ASSERT_EQ(exact.size(), limit);
  int rc = 1;
  RequestPtr request = Read(Write(exact), &rc);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(1u, ChainLength(*request));
  exact.insert(head.size(), 1, ' ');
  const std::u16string over = Write(exact);
  request = Read(over, &rc);
  EXPECT_EQ(-1, rc);
  EXPECT_EQ(nullptr, request->pTargets);
  uint32_t count = 9;
  EXPECT_EQ(-1, CountTargets(over.c_str(), &count));
  EXPECT_EQ(9u, count);
}

// The children of the root are read by sibling links: twice the children
// cost twice the steps (the node list's item(i) cost grew with the square).
// The readers' work as this test counts it: children stepped over, and for
// attributes every attribute read plus, for each element built, the
// comparisons its attribute map may make (k(k-1)/2 for k attributes); an
// element refused for too many adds only its count.
class StepCounter final : public RequestReadObserver {
 public:
  StepCounter() { SetRequestReadObserverForTesting(this); }
  ~StepCounter() override { SetRequestReadObserverForTesting(nullptr); }
  void ChildrenStepped(uint64_t children) override { childSteps += children; }
  void ElementMet(size_t attributes) override {
    attributeSteps += attributes;
    if (attributes <= kMaxAttributesPerElement && attributes > 1) {
      attributeSteps += attributes * (attributes - 1) / 2;
    }
  }
  uint64_t childSteps = 0;
  uint64_t attributeSteps = 0;
};

TEST_F(RequestTest, ReadingChildrenIsLinear) {
  StepCounter counter;
  const auto children = [](int n) {
    std::string body;
    body.reserve(static_cast<size_t>(n) * 20);
    for (int i = 0; i < n; ++i) body += i % 2 == 0 ? "<x/>" : "<procid PID=\"" + std::to_string(i) + "\"/>";
    return WithName("A_KLV", body);
  };
  uint64_t steps[2] = {};
  const int sizes[2] = {20000, 40000};
  for (int k = 0; k < 2; ++k) {
    const std::u16string path = Write(children(sizes[k]));
    const uint64_t before = counter.childSteps;
    int rc = 1;
    RequestPtr request = Read(path, &rc);
    uint32_t count = 0;
    ASSERT_EQ(0, CountTargets(path.c_str(), &count));
    steps[k] = counter.childSteps - before;
    EXPECT_EQ(0, rc);
    EXPECT_EQ(static_cast<size_t>(sizes[k] / 2), ChainLength(*request));
    EXPECT_EQ(static_cast<uint32_t>(sizes[k] / 2), count);
    EXPECT_EQ(u"1", Pid(request->pTargets));
  }
  EXPECT_EQ(steps[0], 2u * 20000u);  // each reader steps over every child once
  EXPECT_EQ(steps[1], 2 * steps[0]);
}

// At most kMaxAttributesPerElement per element, refused before the element
// is built; so twice the attributes cost at most twice the steps, whether
// they sit in one element (whose attribute map costs the square of its size:
// 300,000 once took hours) or in many elements of the most attributes each.
TEST_F(RequestTest, AttributesAreBoundedAndReadInLinearSteps) {
  const size_t most = kMaxAttributesPerElement;
  EXPECT_EQ(0, ReadRc("<R name=\"A_KLV\"" + Attributes(most - 1) + "><procid PID=\"1\"" + Attributes(most - 1) + "/></R>"));
  EXPECT_EQ(-1, ReadRc("<R name=\"A_KLV\"" + Attributes(most) + "/>"));
  EXPECT_EQ(-1, ReadRc(WithName("A_KLV", "<x><y" + Attributes(most + 1) + "/></x>")));  // never read, still refused
  // Namespace declarations, through which every prefixed name is looked up,
  // are bounded in the whole file.
  std::string declarations;
  for (size_t i = 0; i < kMaxNamespaceDeclarations; ++i) declarations += "<x xmlns:p" + std::to_string(i) + "=\"u\"/>";
  EXPECT_EQ(0, ReadRc(WithName("A_KLV", declarations)));
  EXPECT_EQ(-1, ReadRc(WithName("A_KLV", declarations + "<x xmlns=\"u\"/>")));

  StepCounter counter;
  const auto steps = [&](const std::string& doc, int expectedRc) {
    const uint64_t before = counter.attributeSteps;
    EXPECT_EQ(expectedRc, ReadRc(doc));
    return counter.attributeSteps - before;
  };
  const uint64_t one = steps(WithName("A_KLV", "<procid PID=\"1\"" + Attributes(100000) + "/>"), -1);
  EXPECT_GE(one, 100000u);  // every attribute was read
  EXPECT_LE(steps(WithName("A_KLV", "<procid PID=\"1\"" + Attributes(200000) + "/>"), -1), 2 * one);
  const std::string element = "<x" + Attributes(most) + "/>";
  const uint64_t many = steps(WithName("A_KLV", Repeat(element, 500)), 0);
  EXPECT_GE(many, 500 * most);
  EXPECT_LE(steps(WithName("A_KLV", Repeat(element, 1000)), 0), 2 * many);
}

// A request holds at most kMaxRequestTargets targets and kMaxRequestNodes
// nodes (elements, attributes, texts, comments count one each); one more
// makes it unreadable, for the count as well.
TEST_F(RequestTest, TargetsAndNodesAreCappedPerRequest) {
  const std::string targets = Repeat("<procid PID=\"1\"/>", kMaxRequestTargets);
  const std::u16string atCap = Write(WithName("A_KLV", targets + "<x><procid/></x>"));
  int rc = 1;
  EXPECT_EQ(size_t{kMaxRequestTargets}, ChainLength(*Read(atCap, &rc)));
  EXPECT_EQ(0, rc);
  uint32_t count = 0;
  EXPECT_EQ(-1, CountTargets(Write(WithName("A_KLV", targets + "<procid PID=\"2\"/>")).c_str(), &count));
  EXPECT_EQ(0u, count);  // untouched

  // The root and its name, elements of 63 attributes, then comments.
  const size_t elements = (kMaxRequestNodes - 2) / kMaxAttributesPerElement;
  const std::string full = "<R name=\"A_KLV\">" + Repeat("<x" + Attributes(kMaxAttributesPerElement - 1) + "/>", elements) +
                           Repeat("<!---->", kMaxRequestNodes - 2 - elements * kMaxAttributesPerElement);
  EXPECT_EQ(0, CountTargets(Write(full + "</R>").c_str(), &count));
  EXPECT_EQ(-1, ReadRc(full + "t</R>"));
}

TEST_F(RequestTest, RepeatedReadsKeepTheXmlLibraryBalanced) {
  const auto good = Write(WithName("A_KLV", "<procid PID=\"1\"/>"));
  const auto bad = Write("<R>");
  for (int i = 0; i < 50; ++i) {
    int rc = 1;
    Read(i % 2 == 0 ? good : bad, &rc);
    EXPECT_EQ(i % 2 == 0 ? 0 : -1, rc);
    // Every read has terminated the library again: its memory manager,
    // set by initialisation, is gone.
    EXPECT_EQ(nullptr, XERCES_CPP_NAMESPACE::XMLPlatformUtils::fgMemoryManager);
  }
}

// Serves one command file for any path and records the paths asked for.
class RecordingPlatform : public testing::FakePlatform {
 public:
  explicit RecordingPlatform(char16_t separator) : separator_(separator) {}
  char16_t PathSeparator() override { return separator_; }
  bool ReadRegularFile(const std::u16string& path, size_t, std::string* bytes) override {
    asked.push_back(path);
    *bytes = "<R name=\"A_KLV\"/>";
    return true;
  }
  std::vector<std::u16string> asked;

 private:
  char16_t separator_;
};

// The path a request named `name` is read from, where paths separate with
// `separator`; "(refused)" when it was refused without any I/O.
std::u16string PathRead(char16_t separator, const std::u16string& name) {
  RecordingPlatform fake(separator);
  testing::ScopedPlatform scoped(&fake);
  RequestPtr request(new CmdRequest{});
  const int rc = ReadRequest(name.c_str(), request.get());
  if (fake.asked.empty()) return rc == -1 ? u"(refused)" : u"(read elsewhere)";
  EXPECT_EQ(0, rc);
  return fake.asked.back();
}

TEST(RequestNames, OneRuleForEverySpellingOfALocalFile) {
  struct Case {
    char16_t separator;
    const char16_t* name;
    const char16_t* read;
  };
  const char16_t* const kRefused = u"(refused)";
  for (const Case& c : std::initializer_list<Case>{
           {u'/', u"file:/r/x.xml", u"/r/x.xml"}, {u'/', u"file:///r/x.xml", u"/r/x.xml"},
           {u'/', u"file://localhost/r/x.xml", u"/r/x.xml"}, {u'/', u"FILE://LocalHost/r/%78.xml", u"/r/x.xml"},
           {u'/', u"file://LOCALHOST/r/a%20b/%C3%A9%25.xml", u"/r/a b/\u00E9%.xml"},
           // Paths as written; one letter before the colon is a drive.
           {u'/', u"/r/a%20b.xml", u"/r/a%20b.xml"}, {u'/', u"./a:b.xml", u"./a:b.xml"}, {u'/', u"C:/x", u"C:/x"},
           {u'/', u"file:///C:/x", u"/C:/x"},
           {u'\\', u"file:///C:/d/x", u"C:/d/x"}, {u'\\', u"file:C:/d/x", u"C:/d/x"},
           {u'\\', u"file://localhost/C:/d/x", u"C:/d/x"}, {u'\\', u"C:\\d\\x", u"C:\\d\\x"},
           // Refused without I/O: other schemes, hosts, ports, users.
           {u'/', u"http://127.0.0.1/r.xml", kRefused}, {u'/', u"ab:c.xml", kRefused},
           {u'/', u"file://host/r/x.xml", kRefused}, {u'/', u"file://localhost:80/r/x.xml", kRefused},
           {u'/', u"file://user@localhost/r/x.xml", kRefused},
           // Escapes of a separator or zero, malformed or not UTF-8.
           {u'/', u"file:///r/a%2Fb.xml", kRefused}, {u'/', u"file:///r/a%00b.xml", kRefused},
           {u'/', u"file:///r/%4.xml", kRefused}, {u'/', u"file:///r/%C3.xml", kRefused},
           {u'\\', u"file:///C:/d%5Cx", kRefused},
           // Queries, fragments; paths not absolute, or naming a share.
           {u'/', u"file:///r/x.xml#top", kRefused}, {u'/', u"file:///r/x.xml?v=1", kRefused},
           {u'/', u"file:r/x.xml", kRefused}, {u'/', u"file://localhost", kRefused},
           {u'/', u"file:////server/share/x.xml", kRefused}, {u'\\', u"file:///C:d/x", kRefused},
           {u'\\', u"file:///\\\\server\\x", kRefused}}) {
    EXPECT_EQ(c.read, PathRead(c.separator, c.name)) << Utf16ToUtf8(c.name);
  }
}

}  // namespace
}  // namespace kelvane
