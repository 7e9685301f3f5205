// libFuzzer target for the markup engine: loads arbitrary UTF-16 text,
// checks the element index, then writes elements and attributes at
// input-chosen places and checks the index again after every write. Beyond
// the index's own invariants it checks results: while the text was
// well-formed when loaded and no start-tag-only element was written, the
// index must match a fresh parse of the text exactly (offsets, lengths,
// levels, error and unended bits, "/>" endings), and every attribute value
// written must stand in the tag as an independent encoder writes it.
//
// "Well-formed" here means: the parser reports no problem and every
// element's tags follow XML's grammar (see TagsFollowTheGrammar).
//
// Input: byte 0 chooses the document options and the first write's flags,
// byte 1 the current element, byte 2 further operations; the rest is the
// document text as UTF-16LE.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "common/text.h"
#include "markup/index_check.h"
#include "markup/xml_doc.h"
#include "markup/xml_doc_test_access.h"

// A program of its own: the library's names are used unqualified.
using namespace kelvane;  // NOLINT(build/namespaces)

namespace {

[[noreturn]] void Fail(const CXmlDoc& doc, const char* step, const std::string& problem) {
  std::fprintf(stderr, "after %s: %s\ntext: %s\n", step, problem.c_str(), kelvane::Utf16ToUtf8(doc.Text()).c_str());
  std::abort();
}

// Whether the index may be compared with a fresh parse: the text was
// well-formed when loaded and every write since kept it so. And whether
// the tags followed XML's grammar when loaded and every attribute name
// written was one XML allows: otherwise (a quote inside a word, a name such
// as "a=b") a tag reads back differently from what was written, and the
// attribute search with and without its cached scan may then differ.
struct Expectations {
  bool comparable = false;
  bool tagsValid = true;
};

void Check(const CXmlDoc& doc, const char* step, const Expectations& expect) {
  std::string problem;
  if (!kelvane::CheckIndex(doc, &problem)) Fail(doc, step, "index broken: " + problem);
  if (expect.comparable && !kelvane::CompareWithReparse(doc, &problem)) Fail(doc, step, problem);
}

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

// Characters of a name, as far as the checks below need: anything but
// white space and the characters of markup.
bool IsNameChar(char16_t c) {
  return !IsSpace(c) && c != u'<' && c != u'>' && c != u'/' && c != u'=' && c != u'"' && c != u'\'' && c != u'&';
}

// Whether every indexed element's tags follow XML's grammar: "<name",
// attributes as name="value" or name='value' (no '<' in a value), each
// after white space, then ">" or "/>"; an end tag "</name>" (white space
// before the '>' allowed). The engine's parser accepts more (it recovers);
// only for texts within the grammar must a fresh parse agree with an index
// kept up by writes.
bool TagsFollowTheGrammar(const CXmlDoc& doc) {
  const std::u16string& text = doc.Text();
  for (int32_t pos = 1; pos < doc.NextFreePosition(); ++pos) {
    const ElementRecord& r = doc.Record(pos);
    const std::u16string_view tag(text.data() + r.offset, static_cast<size_t>(r.StartTagLength()));
    size_t i = 1;
    while (i < tag.size() && IsNameChar(tag[i])) ++i;
    const std::u16string_view name = tag.substr(1, i - 1);
    if (name.empty()) return false;
    for (;;) {
      const size_t before = i;
      while (i < tag.size() && IsSpace(tag[i])) ++i;
      if (i >= tag.size()) return false;
      if (tag[i] == u'>') {
        if (i + 1 != tag.size()) return false;
        break;
      }
      if (tag[i] == u'/') {
        if (i + 2 != tag.size() || tag[i + 1] != u'>') return false;
        break;
      }
      if (i == before) return false;  // no white space before the attribute
      const size_t nameStart = i;
      while (i < tag.size() && IsNameChar(tag[i])) ++i;
      if (i == nameStart) return false;
      while (i < tag.size() && IsSpace(tag[i])) ++i;
      if (i >= tag.size() || tag[i] != u'=') return false;
      ++i;
      while (i < tag.size() && IsSpace(tag[i])) ++i;
      if (i >= tag.size() || (tag[i] != u'"' && tag[i] != u'\'')) return false;
      const char16_t quote = tag[i++];
      while (i < tag.size() && tag[i] != quote && tag[i] != u'<') ++i;
      if (i >= tag.size() || tag[i] != quote) return false;
      ++i;
    }
    const int32_t endLength = r.EndTagLength();
    if (endLength > 0) {
      std::u16string_view end(text.data() + r.offset + r.extent - endLength, static_cast<size_t>(endLength));
      if (end.substr(0, 2) != u"</" || end.substr(2, name.size()) != name) return false;
      for (size_t k = 2 + name.size(); k + 1 < end.size(); ++k) {
        if (!IsSpace(end[k])) return false;
      }
    }
  }
  return true;
}

// An attribute value as the writer must put it between double quotes,
// written independently of the engine's encoder.
std::u16string ReferenceEncoding(std::u16string_view value) {
  std::u16string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const char16_t c = value[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < value.size() && value[i + 1] >= 0xDC00 && value[i + 1] <= 0xDFFF) {
      out.push_back(c);
      out.push_back(value[++i]);
      continue;
    }
    switch (c) {
      case u'<': out += u"&lt;"; break;
      case u'>': out += u"&gt;"; break;
      case u'&': out += u"&amp;"; break;
      case u'"': out += u"&quot;"; break;
      case u'\'': out += u"&apos;"; break;
      case u'\t': out += u"&#9;"; break;
      case u'\n': out += u"&#10;"; break;
      case u'\r': out += u"&#13;"; break;
      default:
        if (c < 0x20 || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) {
          out.push_back(0xFFFD);
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

// Whether `name` is a name XML allows (in the ASCII range the fuzzer uses).
bool IsXmlName(std::u16string_view name) {
  if (name.empty()) return false;
  for (char16_t c : name) {
    const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u':' ||
                    c == u'_' || c == u'-' || c == u'.';
    if (!ok) return false;
  }
  return true;
}

// Sets an attribute and, when the engine accepts, checks that the value
// stands encoded in the element's start tag. Names are not validated by the
// engine: one XML does not allow ("a=b") leaves a tag that need not read
// back the same, so the text is no longer compared with a fresh parse.
void SetAndCheck(CXmlDoc& doc, int32_t pos, std::u16string_view name, std::u16string_view value, const char* step,
                 Expectations* expect) {
  const bool set = doc.SetAttribute(pos, name, value);
  if (set && !IsXmlName(name)) expect->comparable = expect->tagsValid = false;
  Check(doc, step, *expect);
  if (!set) return;
  const ElementRecord& r = doc.Record(pos);
  const std::u16string_view tag(doc.Text().data() + r.offset, static_cast<size_t>(r.StartTagLength()));
  const std::u16string quoted = u"\"" + ReferenceEncoding(value) + u"\"";
  if (tag.find(quoted) == std::u16string_view::npos) Fail(doc, step, "attribute value not written as encoded");
}

// Adds an element, noting when the text stops being comparable with a
// fresh parse: a start tag without end, or an empty name (whose "</>" reads
// as an end tag).
void AddAndCheck(CXmlDoc& doc, std::u16string_view name, uint32_t flags, const char* step, Expectations* expect) {
  if (doc.AddElement(name, flags) && ((flags & CXmlDoc::ADD_START_TAG_ONLY) || name.empty())) {
    expect->comparable = false;
  }
  Check(doc, step, *expect);
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
// afresh. Returns the final text; `*tagsValid` tells whether the loaded
// tags followed the grammar and only attribute names XML allows were
// written.
std::u16string Run(const uint8_t* data, size_t size, bool rescan, bool* tagsValid) {
  const uint8_t options = data[0];
  const uint8_t pick = data[1];
  const uint8_t more = data[2];
  std::u16string text((size - 3) / 2, u'\0');
  std::memcpy(&text[0], data + 3, text.size() * 2);

  CXmlDoc doc;
  if (options & 0x80) doc.SetDocFlags(CXmlDoc::DOC_IGNORE_CASE);
  Expectations expect;
  // A '>' among the first four characters is never taken as the end of a
  // "?>", "-->" or "]]>" (there is no room before it); once a write puts
  // text before it, it may be. Such texts parse differently after a write
  // at the start, as they should, and are not compared.
  const bool startSettled = text.find(u'>') == std::u16string::npos || text.find(u'>') > 3;
  const bool loaded = doc.LoadText(text);
  // Start tags outside the grammar (a quote inside a word, say) are read
  // differently by the attribute search and by the parser; the search's
  // result may then depend on where an earlier search left off.
  expect.tagsValid = TagsFollowTheGrammar(doc);
  expect.comparable = loaded && expect.tagsValid && startSettled;
  Check(doc, "LoadText", expect);

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
  // Values: markup characters, white space and units XML forbids, and a
  // piece of the input itself.
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0xFFFE, 0xFFFF, 0x1B, 0};
  const std::u16string fromInput = text.substr(0, 12);
  const std::u16string_view values[] = {u"v", u"1<2 & \"q\" 'a' >", u"", u"&amp;", u"\u4e2d",
                                        u"\t\r\n x \U0001F600", lone, fromInput};
  constexpr size_t kValues = sizeof values / sizeof values[0];
  AddAndCheck(doc, names[(options >> 5) & 3], AddFlags(options), "AddElement", &expect);
  const int32_t target = (more & 0x01) ? doc.CurrentPosition() : doc.ChildPosition();
  if (rescan) CXmlDocTestAccess::ForgetAttributeSearch(doc);
  SetAndCheck(doc, target, (more & 0x02) ? u"k" : u"name", values[(more >> 2) % kValues], "SetAttribute", &expect);

  // A few more steps of navigation and writing.
  for (int i = 0; i < 3; ++i) {
    const uint8_t step = static_cast<uint8_t>(more >> (2 * i + 1));
    switch (step & 3) {
      case 0: doc.IntoElement(); break;
      case 1: doc.OutOfElement(); break;
      case 2: AddAndCheck(doc, names[step % 5], AddFlags(static_cast<uint8_t>(step * 7)), "a further add", &expect); break;
      default:
        if (rescan) CXmlDocTestAccess::ForgetAttributeSearch(doc);
        SetAndCheck(doc, doc.CurrentPosition(), u"name", values[step % kValues], "a further set", &expect);
        break;
    }
    Check(doc, "a further step", expect);
  }

  // Several attributes on one element, names overlapping in every way the
  // search distinguishes.
  const char16_t* attributeNames[] = {u"k", u"k2", u"name", u"na", u"x y", u"K", u"y", u"a=b"};
  const int32_t element = doc.ChildPosition() != 0 ? doc.ChildPosition() : doc.CurrentPosition();
  for (int i = 0; i < 6; ++i) {
    const uint8_t b = data[(3 + i) % size];
    if (rescan) CXmlDocTestAccess::ForgetAttributeSearch(doc);
    SetAndCheck(doc, element, attributeNames[b % 8], values[(b >> 3) % kValues], "repeated SetAttribute", &expect);
  }
  *tagsValid = expect.tagsValid;
  return doc.Text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  bool tagsValid = true;
  const std::u16string cached = Run(data, size, false, &tagsValid);
  if (tagsValid && cached != Run(data, size, true, &tagsValid)) {
    std::fprintf(stderr, "attribute search results differ with and without the cached scan\n");
    std::abort();
  }
  return 0;
}
