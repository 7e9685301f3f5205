#include "markup/index_check.h"

#include <string>
#include <vector>

#include "markup/xml_doc.h"

namespace kelvane {

namespace {

bool Fail(std::string* problem, const std::string& what, int32_t pos) {
  if (problem != nullptr) *problem = what + " (position " + std::to_string(pos) + ")";
  return false;
}

}  // namespace

bool CheckIndex(const CXmlDoc& doc, std::string* problem) {
  const std::u16string& text = doc.Text();
  const int64_t length = static_cast<int64_t>(text.size());
  const int32_t nextFree = doc.NextFreePosition();
  if (doc.RecordCapacity() <= 0) return Fail(problem, "no index", 0);
  if (nextFree < 1 || nextFree > doc.RecordCapacity()) return Fail(problem, "next free position out of range", 0);
  const ElementRecord& root = doc.Record(0);
  if (root.offset != 0 || root.StartTagLength() != 0 || root.EndTagLength() != 0)
    return Fail(problem, "root record is not the document", 0);
  if (root.extent != length) return Fail(problem, "root extent differs from the text length", 0);
  if (root.parent != 0 || root.nextSibling != 0) return Fail(problem, "root has siblings", 0);

  std::vector<bool> seen(static_cast<size_t>(nextFree), false);
  seen[0] = true;
  int32_t count = 0;
  std::vector<int32_t> work{0};
  while (!work.empty()) {
    const int32_t p = work.back();
    work.pop_back();
    const ElementRecord& pr = doc.Record(p);
    const int64_t contentFirst = static_cast<int64_t>(pr.offset) + pr.StartTagLength();
    const int64_t contentEnd = static_cast<int64_t>(pr.offset) + pr.extent - pr.EndTagLength();
    const int32_t first = pr.firstChild;
    if (first == 0) continue;
    if (first < 1 || first >= nextFree) return Fail(problem, "first child out of range", p);
    const int32_t last = doc.Record(first).prevSibling;
    int32_t previous = 0;
    int64_t previousEnd = contentFirst;
    for (int32_t c = first; c != 0; c = doc.Record(c).nextSibling) {
      if (c < 1 || c >= nextFree) return Fail(problem, "sibling out of range", c);
      if (seen[static_cast<size_t>(c)]) return Fail(problem, "record reached twice", c);
      seen[static_cast<size_t>(c)] = true;
      ++count;
      const ElementRecord& r = doc.Record(c);
      if (r.parent != p) return Fail(problem, "parent link wrong", c);
      const bool firstFlag = (r.state & ElementRecord::FIRST_CHILD) != 0;
      if (firstFlag != (c == first)) return Fail(problem, "FIRST_CHILD misplaced", c);
      if (c != first && r.prevSibling != previous) return Fail(problem, "previous sibling wrong", c);
      if (r.nextSibling == 0 && c != last) return Fail(problem, "last child not designated by the first", c);
      const int32_t start = r.StartTagLength();
      const int32_t end = r.EndTagLength();
      if (start < 2) return Fail(problem, "start tag too short", c);
      if (end < 0 || start + static_cast<int64_t>(end) > r.extent) return Fail(problem, "tag lengths exceed extent", c);
      if ((r.state & ElementRecord::UNENDED) && (start != r.extent || end != 0))
        return Fail(problem, "unended element has content", c);
      if (r.offset < previousEnd) return Fail(problem, "element overlaps what precedes it", c);
      if (static_cast<int64_t>(r.offset) + r.extent > contentEnd)
        return Fail(problem, "element outside its parent's content", c);
      if (text[static_cast<size_t>(r.offset)] != u'<') return Fail(problem, "start tag does not begin with '<'", c);
      if (text[static_cast<size_t>(r.offset + start - 1)] != u'>') return Fail(problem, "start tag does not end with '>'", c);
      if (end > 0) {
        const size_t e = static_cast<size_t>(r.offset + r.extent - end);
        if (end < 3 || text[e] != u'<' || text[e + 1] != u'/' ||
            text[static_cast<size_t>(r.offset + r.extent - 1)] != u'>')
          return Fail(problem, "end tag malformed", c);
      }
      previous = c;
      previousEnd = static_cast<int64_t>(r.offset) + r.extent;
      work.push_back(c);
    }
    if (previous != last) return Fail(problem, "chain does not end at the last child", p);
  }
  if (count != nextFree - 1) return Fail(problem, "records not reachable from the root", count);
  return true;
}

namespace {

// Element positions in document order (depth first), root excluded.
std::vector<int32_t> DocumentOrder(const CXmlDoc& doc) {
  std::vector<int32_t> out;
  std::vector<int32_t> work{0};
  std::vector<int32_t> children;
  while (!work.empty()) {
    const int32_t p = work.back();
    work.pop_back();
    if (p != 0) out.push_back(p);
    children.clear();
    for (int32_t c = doc.Record(p).firstChild; c != 0; c = doc.Record(c).nextSibling) children.push_back(c);
    for (auto it = children.rbegin(); it != children.rend(); ++it) work.push_back(*it);
  }
  return out;
}

}  // namespace

bool CompareWithReparse(const CXmlDoc& doc, std::string* problem) {
  if (!CheckIndex(doc, problem)) return false;
  CXmlDoc fresh;
  fresh.SetDocFlags(doc.DocFlags());
  fresh.LoadText(doc.Text());
  const std::vector<int32_t> a = DocumentOrder(doc);
  const std::vector<int32_t> b = DocumentOrder(fresh);
  if (a.size() != b.size()) {
    return Fail(problem, std::to_string(a.size()) + " elements indexed, a fresh parse finds " + std::to_string(b.size()),
                0);
  }
  constexpr uint32_t kBits = ElementRecord::UNENDED | ElementRecord::HAS_ERROR | ElementRecord::FIRST_CHILD;
  // Positions differ between the two indexes; parents are compared by their
  // place in document order.
  std::vector<int32_t> orderOfA(static_cast<size_t>(doc.NextFreePosition()), -1);
  std::vector<int32_t> orderOfB(static_cast<size_t>(fresh.NextFreePosition()), -1);
  for (size_t i = 0; i < a.size(); ++i) {
    orderOfA[static_cast<size_t>(a[i])] = static_cast<int32_t>(i);
    orderOfB[static_cast<size_t>(b[i])] = static_cast<int32_t>(i);
  }
  for (size_t i = 0; i < a.size(); ++i) {
    const ElementRecord& x = doc.Record(a[i]);
    const ElementRecord& y = fresh.Record(b[i]);
    const char* what = nullptr;
    if (x.offset != y.offset) what = "offset";
    else if (x.extent != y.extent) what = "extent";
    else if (x.StartTagLength() != y.StartTagLength()) what = "start-tag length";
    else if (x.EndTagLength() != y.EndTagLength()) what = "end-tag length";
    else if (x.Level() != y.Level()) what = "level";
    else if ((x.state & kBits) != (y.state & kBits)) what = "state bits";
    else if ((x.parent == 0 ? -1 : orderOfA[static_cast<size_t>(x.parent)]) !=
             (y.parent == 0 ? -1 : orderOfB[static_cast<size_t>(y.parent)])) what = "parent";
    // An element without end tag that is not unended is an empty-element
    // tag, and only that one ends its start tag with "/>".
    const int32_t start = x.StartTagLength();
    const bool slash = start >= 3 && doc.Text()[static_cast<size_t>(x.offset + start - 2)] == u'/';
    if (what == nullptr && x.EndTagLength() == 0 && !(x.state & ElementRecord::UNENDED) && !slash) {
      what = "empty-element ending (no \"/>\")";
    }
    if (what == nullptr && x.EndTagLength() > 0 && slash) what = "ending (\"/>\" before an end tag)";
    if (what != nullptr) {
      return Fail(problem, std::string("element ") + std::to_string(i) + " differs from a fresh parse in its " + what,
                  a[i]);
    }
  }
  // The document's own bits come from its load, which later writes may have
  // mended; a document loaded without error must still parse without.
  const uint32_t rootBits = ElementRecord::ILL_FORMED | ElementRecord::HAS_ERROR;
  if ((doc.Record(0).state & rootBits) == 0 && (fresh.Record(0).state & rootBits) != 0) {
    return Fail(problem, "a fresh parse finds errors the document had none of", 0);
  }
  return true;
}

}  // namespace kelvane
