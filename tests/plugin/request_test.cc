#include "plugin/request.h"

#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>

#include <climits>
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

  // Texts of any length convert by the same rule: white space, sign,
  // digits up to the first non-digit, saturating beyond the 32-bit range.
  RequestPtr longer = Read(Write(WithName("A_KLV",
                                          "<procid PID=\"1\" priority=\"" + std::string(300, ' ') + "64\"/>"
                                          "<procid PID=\"2\" priority=\"+" + std::string(500, '0') + "64x\"/>"
                                          "<procid PID=\"3\" priority=\"" + std::string(1000, '9') + "\"/>"
                                          "<procid PID=\"4\" priority=\"-" + std::string(1000, '9') + "\"/>"
                                          "<procid PID=\"5\" priority=\"" + std::string(300, ' ') + "\"/>")),
                           &rc);
  ASSERT_EQ(0, rc);
  ASSERT_EQ(5u, ChainLength(*longer));
  t = longer->pTargets;
  EXPECT_EQ(64, t->nPriority);
  EXPECT_EQ(64, t->pNext->nPriority);
  EXPECT_EQ(INT32_MAX, t->pNext->pNext->nPriority);
  EXPECT_EQ(INT32_MIN, t->pNext->pNext->pNext->nPriority);
  EXPECT_EQ(0, t->pNext->pNext->pNext->pNext->nPriority);
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
TEST_F(RequestTest, ReadingChildrenIsLinear) {
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
    const uint64_t before = RequestChildSteps();
    int rc = 1;
    RequestPtr request = Read(path, &rc);
    uint32_t count = 0;
    ASSERT_EQ(0, CountTargets(path.c_str(), &count));
    steps[k] = RequestChildSteps() - before;
    EXPECT_EQ(0, rc);
    EXPECT_EQ(static_cast<size_t>(sizes[k] / 2), ChainLength(*request));
    EXPECT_EQ(static_cast<uint32_t>(sizes[k] / 2), count);
    EXPECT_EQ(u"1", Pid(request->pTargets));
  }
  EXPECT_EQ(steps[0], 2u * 20000u);  // each reader steps over every child once
  EXPECT_EQ(steps[1], 2 * steps[0]);
}

TEST_F(RequestTest, AttributesPerElementAreBounded) {
  const size_t most = kMaxAttributesPerElement;
  EXPECT_EQ(0, ReadRc(WithName("A_KLV", "<procid PID=\"1\"" + Attributes(most - 1) + "/>")));
  EXPECT_EQ(-1, ReadRc(WithName("A_KLV", "<procid PID=\"1\"" + Attributes(most) + "/>")));
  EXPECT_EQ(0, ReadRc("<R name=\"A_KLV\"" + Attributes(most - 1) + "/>"));
  EXPECT_EQ(-1, ReadRc("<R name=\"A_KLV\"" + Attributes(most) + "/>"));
  // Also on an element that is never read, and for the count.
  const std::u16string path = Write(WithName("A_KLV", "<procid PID=\"1\"/><x><y" + Attributes(most + 1) + "/></x>"));
  int rc = 0;
  RequestPtr request = Read(path, &rc);
  EXPECT_EQ(-1, rc);
  uint32_t count = 3;
  EXPECT_EQ(-1, CountTargets(path.c_str(), &count));
  EXPECT_EQ(3u, count);
}

// Twice the attributes cost at most twice the steps, whether they sit in
// one element (its attribute map, whose cost grows with the square of its
// size, is never built beyond the bound: 300,000 attributes once took
// hours) or spread over many elements of the most attributes each.
TEST_F(RequestTest, ReadingAttributesIsLinear) {
  const auto steps = [&](const std::string& doc, int expectedRc) {
    const std::u16string path = Write(doc);
    const uint64_t before = RequestAttributeSteps();
    int rc = 1;
    Read(path, &rc);
    EXPECT_EQ(expectedRc, rc);
    return RequestAttributeSteps() - before;
  };
  const uint64_t one = steps(WithName("A_KLV", "<procid PID=\"1\"" + Attributes(100000) + "/>"), -1);
  const uint64_t two = steps(WithName("A_KLV", "<procid PID=\"1\"" + Attributes(200000) + "/>"), -1);
  EXPECT_GE(one, 100000u);  // every attribute was read
  EXPECT_LE(two, 2 * one);

  const std::string element = "<x" + Attributes(kMaxAttributesPerElement) + "/>";
  const uint64_t many = steps(WithName("A_KLV", Repeat(element, 500)), 0);
  const uint64_t twice = steps(WithName("A_KLV", Repeat(element, 1000)), 0);
  EXPECT_GE(many, 500u * kMaxAttributesPerElement);
  EXPECT_LE(twice, 2 * many);
}

TEST_F(RequestTest, TargetsAreCappedPerRequest) {
  const std::string targets = Repeat("<procid PID=\"1\"/>\n", kMaxRequestTargets);
  const std::u16string atCap = Write(WithName("A_KLV", "\n" + targets + "<x/><x><procid/></x>"));
  int rc = 1;
  RequestPtr request = Read(atCap, &rc);
  EXPECT_EQ(0, rc);
  EXPECT_EQ(size_t{kMaxRequestTargets}, ChainLength(*request));
  uint32_t count = 0;
  EXPECT_EQ(0, CountTargets(atCap.c_str(), &count));
  EXPECT_EQ(kMaxRequestTargets, count);

  // One target more makes the request unreadable; the parse stops there.
  const std::u16string over = Write(WithName("A_KLV", targets + "<procid PID=\"2\"/>" + Repeat("<x/>", 1000)));
  request = Read(over, &rc);
  EXPECT_EQ(-1, rc);
  EXPECT_EQ(nullptr, request->pTargets);
  count = 7;
  EXPECT_EQ(-1, CountTargets(over.c_str(), &count));
  EXPECT_EQ(7u, count);
}

TEST_F(RequestTest, NodesAreBoundedPerRequest) {
  // Elements, attributes, comments, texts each count one node: the root and
  // its name, then elements of one node and 63 attributes each, then
  // comments up to the bound.
  const size_t elements = (kMaxRequestNodes - 2) / kMaxAttributesPerElement;
  const std::string full = "<R name=\"A_KLV\">" + Repeat("<x" + Attributes(kMaxAttributesPerElement - 1) + "/>", elements) +
                           Repeat("<!---->", kMaxRequestNodes - 2 - elements * kMaxAttributesPerElement);
  uint32_t count = 9;
  EXPECT_EQ(0, CountTargets(Write(full + "</R>").c_str(), &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(-1, CountTargets(Write(full + "<x/></R>").c_str(), &count));
  EXPECT_EQ(0u, count);  // untouched
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

// Serves one command file for whatever path it is asked for and records the
// paths: which names reach the file system at all, and as which path.
class RecordingPlatform : public testing::FakePlatform {
 public:
  explicit RecordingPlatform(char16_t separator) : separator_(separator) {}
  char16_t PathSeparator() override { return separator_; }
  bool ReadRegularFile(const std::u16string& path, size_t, std::string* bytes) override {
    asked.push_back(path);
    *bytes = "<R name=\"A_KLV\"><procid PID=\"7\"/></R>";
    return true;
  }
  std::vector<std::u16string> asked;

 private:
  char16_t separator_;
};

// The path a command file named `name` is read from where paths separate
// with `separator`, or "(refused)" when the request was refused without
// anything being read.
std::u16string PathRead(char16_t separator, const std::u16string& name) {
  RecordingPlatform fake(separator);
  testing::ScopedPlatform scoped(&fake);
  RequestPtr request(new CmdRequest{});
  const int rc = ReadRequest(name.c_str(), request.get());
  if (fake.asked.empty()) return rc == -1 ? u"(refused)" : u"(read, but not through the platform)";
  for (const std::u16string& path : fake.asked) EXPECT_EQ(fake.asked[0], path);
  EXPECT_EQ(0, rc);
  return fake.asked[0];
}

TEST(RequestNames, FileUrlsOfThisMachineFollowOneRule) {
  for (const char16_t* name : {u"file:/r/x.xml", u"file:///r/x.xml", u"file://localhost/r/x.xml",
                               u"file://LOCALHOST/r/x.xml", u"FILE://LocalHost/r/x.xml", u"File:/r/x.xml",
                               u"file:///r/%78.xml", u"file:///%72/x%2Exml"}) {
    EXPECT_EQ(u"/r/x.xml", PathRead(u'/', name)) << Utf16ToUtf8(name);
  }
  EXPECT_EQ(u"/r/a b/\u00E9 %.xml", PathRead(u'/', u"file:///r/a%20b/%C3%A9%20%25.xml"));
  EXPECT_EQ(u"/r/\u00E9 b.xml", PathRead(u'/', u"file:///r/\u00E9 b.xml"));
  // A name without a scheme is a path as written (no decoding); a single
  // letter before the colon is a drive, not a scheme.
  EXPECT_EQ(u"/r/a%20b.xml", PathRead(u'/', u"/r/a%20b.xml"));
  EXPECT_EQ(u"r/x.xml", PathRead(u'/', u"r/x.xml"));
  EXPECT_EQ(u"./a:b.xml", PathRead(u'/', u"./a:b.xml"));
  EXPECT_EQ(u"C:/x.xml", PathRead(u'/', u"C:/x.xml"));
  EXPECT_EQ(u"/C:/x.xml", PathRead(u'/', u"file:///C:/x.xml"));  // no drives here
}

TEST(RequestNames, EveryOtherUrlIsRefusedWithoutIo) {
  for (const char16_t* name : {
           // Other schemes.
           u"http://127.0.0.1/r.xml", u"https://localhost/r.xml", u"ftp://localhost/r.xml", u"ab:c.xml",
           u"x-y+z.w:/r.xml",
           // Other hosts, ports, users.
           u"file://host/r/x.xml", u"file://localhost.localdomain/r/x.xml", u"file://127.0.0.1/r/x.xml",
           u"file://localhost:80/r/x.xml", u"file://user@localhost/r/x.xml",
           // Escapes that do not spell a file: separators, zero, malformed, not UTF-8.
           u"file:///r/a%2Fb.xml", u"file:///r/a%2fb.xml", u"file:///r/a%00b.xml", u"file:///r/%zz.xml",
           u"file:///r/%4.xml", u"file:///r/x%", u"file:///r/%C3.xml", u"file:///r/%FF.xml",
           // Queries, fragments; paths that are not absolute or name a share.
           u"file:///r/x.xml#top", u"file:///r/x.xml?v=1", u"file:r/x.xml", u"file:", u"file://",
           u"file://localhost", u"file:////server/share/x.xml", u"file://localhost//server/x.xml"}) {
    EXPECT_EQ(u"(refused)", PathRead(u'/', name)) << Utf16ToUtf8(name);
  }
}

TEST(RequestNames, DriveFormsWherePathsStartWithADrive) {
  for (const char16_t* name : {u"file:///C:/d/x.xml", u"file:/C:/d/x.xml", u"file://localhost/C:/d/x.xml",
                               u"file:C:/d/x.xml"}) {
    EXPECT_EQ(u"C:/d/x.xml", PathRead(u'\\', name)) << Utf16ToUtf8(name);
  }
  EXPECT_EQ(u"C:\\d\\x.xml", PathRead(u'\\', u"C:\\d\\x.xml"));
  EXPECT_EQ(u"/d/x.xml", PathRead(u'\\', u"file:///d/x.xml"));  // the current drive's root
  for (const char16_t* name : {u"file:///C:/d%5Cx.xml", u"file:///C:d/x.xml", u"file:////server/share/x.xml",
                               u"file:///\\\\server\\share\\x.xml", u"file:///%5C%5Cserver/x.xml",
                               u"file://server/share/x.xml", u"file:///C:%2Fd/x.xml"}) {
    EXPECT_EQ(u"(refused)", PathRead(u'\\', name)) << Utf16ToUtf8(name);
  }
}

}  // namespace
}  // namespace kelvane
