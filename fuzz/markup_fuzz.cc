// libFuzzer target for the markup engine: loads arbitrary UTF-16 text,
// checks the element index, then writes elements and attributes at
// input-chosen places and checks the index again after every write.
//
// Input: byte 0 chooses the document options and the first write's flags,
// byte 1 the current element, byte 2 further operations; the rest is the
// document text as UTF-16LE.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/text.h"
#include "markup/index_check.h"
#include "markup/xml_doc.h"
#include "markup/xml_doc_test_access.h"

namespace {

void Check(const CXmlDoc& doc, const char* step) {
  std::string problem;
  if (!kelvane::CheckIndex(doc, &problem)) {
    std::fprintf(stderr, "index broken after %s: %s\ntext: %s\n", step, problem.c_str(),
                 kelvane::Utf16ToUtf8(doc.Text()).c_str());
    std::abort();
  }
}

uint32_t AddFlags(uint8_t bits) {
  uint32_t flags = 0;
  if (bits & 0x01) flags |= CXmlDoc::ADD_CHILD;
  if (bits & 0x02) flags |= CXmlDoc::ADD_BEFORE;
  if (bits & 0x04) flags |= CXmlDoc::ADD_START_TAG_ONLY;
  if (bits & 0x08) flags |= CXmlDoc::ADD_SPACE_SLASH;
  if (bits & 0x10) flags |= CXmlDoc::ADD_NO_LINE_BREAK;
  return flags;
}

// Runs the input's operations; with `rescan` every attribute search starts
// afresh. Returns the final text.
std::u16string Run(const uint8_t* data, size_t size, bool rescan) {
  const uint8_t options = data[0];
  const uint8_t pick = data[1];
  const uint8_t more = data[2];
  std::u16string text((size - 3) / 2, u'\0');
  std::memcpy(&text[0], data + 3, text.size() * 2);

  CXmlDoc doc;
  if (options & 0x80) doc.SetDocFlags(CXmlDoc::DOC_IGNORE_CASE);
  doc.LoadText(text);
  Check(doc, "LoadText");

  // Choose a current element (or none) and a child of it.
  const int32_t elements = doc.NextFreePosition() - 1;
  if (elements > 0 && (pick & 0x80) == 0) {
    const int32_t current = 1 + (pick & 0x3F) % elements;
    int32_t child = 0;
    if (pick & 0x40) {
      child = doc.Record(current).firstChild;
      if (child != 0 && (more & 0x80)) child = doc.Record(child).prevSibling;
    }
    CXmlDocTestAccess::SetPositions(doc, doc.Record(current).parent, current, child);
  }

  const char16_t* names[] = {u"n", u"ProcessItem", u"x:y", u"a b", u""};
  const char16_t* values[] = {u"v", u"1<2 & \"q\" 'a' >", u"", u"&amp;", u"\u4e2d"};
  doc.AddElement(names[(options >> 5) & 3], AddFlags(options));
  Check(doc, "AddElement");
  const int32_t target = (more & 0x01) ? doc.CurrentPosition() : doc.ChildPosition();
  if (rescan) CXmlDocTestAccess::ForgetAttributeSearch(doc);
  doc.SetAttribute(target, (more & 0x02) ? u"k" : u"name", values[(more >> 2) % 5]);
  Check(doc, "SetAttribute");

  // A few more steps of navigation and writing.
  for (int i = 0; i < 3; ++i) {
    const uint8_t step = static_cast<uint8_t>(more >> (2 * i + 1));
    switch (step & 3) {
      case 0: doc.IntoElement(); break;
      case 1: doc.OutOfElement(); break;
      case 2: doc.AddElement(names[step % 5], AddFlags(static_cast<uint8_t>(step * 7))); break;
      default:
        if (rescan) CXmlDocTestAccess::ForgetAttributeSearch(doc);
        doc.SetAttribute(doc.CurrentPosition(), u"name", values[step % 5]);
        break;
    }
    Check(doc, "a further step");
  }

  // Several attributes on one element, names overlapping in every way the
  // search distinguishes.
  const char16_t* attributeNames[] = {u"k", u"k2", u"name", u"na", u"x y", u"K", u"y", u"a=b"};
  const int32_t element = doc.ChildPosition() != 0 ? doc.ChildPosition() : doc.CurrentPosition();
  for (int i = 0; i < 6; ++i) {
    const uint8_t b = data[(3 + i) % size];
    if (rescan) CXmlDocTestAccess::ForgetAttributeSearch(doc);
    doc.SetAttribute(element, attributeNames[b % 8], values[(b >> 3) % 5]);
    Check(doc, "repeated SetAttribute");
  }
  return doc.Text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  if (Run(data, size, false) != Run(data, size, true)) {
    std::fprintf(stderr, "attribute search results differ with and without the cached scan\n");
    std::abort();
  }
  return 0;
}
