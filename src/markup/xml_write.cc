// Element and attribute writing: splices markup into the text and keeps the
// element index consistent with it. Layout written: one element per line,
// lines ended by CR LF, no indentation, attribute values in double quotes.
#include <cstdint>
#include <new>

#include "markup/xml_doc.h"
#include "markup/xml_doc_internal.h"

namespace kelvane {

using namespace markup_internal;

namespace {

// The characters below 64 in `chars`, as a mask with bit c set for each.
constexpr uint64_t MaskOf(const char* chars) {
  uint64_t mask = 0;
  for (; *chars != '\0'; ++chars) mask |= uint64_t{1} << static_cast<unsigned>(*chars);
  return mask;
}

// Whether `c` is one of the characters below 64 in `mask`.
inline bool InMask(uint64_t mask, char16_t c) { return c < 64 && ((mask >> c) & 1) != 0; }

constexpr uint64_t kAttributeWordEnds = MaskOf("= \t\n\r>/?");

// Ends an attribute name or a word not following '='.
inline bool EndsAttributeWord(char16_t c) { return InMask(kAttributeWordEnds, c); }

// Ends a word read by ReadWord.
inline bool EndsWord(char16_t c) {
  switch (c) {
    case u' ': case u'\t': case u'\n': case u'\r': case u'<': case u'>': case u'=':
    case u'\\': case u'/': case u'?': case u'!':
      return true;
    default:
      return false;
  }
}

// Characters of an entity reference after its first one.
inline bool IsEntityChar(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'_' ||
         c == u':' || c == u'-' || c == u'.' || c >= 0x80;
}

inline bool IsEntityStart(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'#' || c == u'_' || c == u':' ||
         c >= 0x80;
}

// Length of the entity reference starting with the '&' at `i`, 0 if none.
size_t EntityLength(std::u16string_view s, size_t i) {
  size_t j = i + 1;
  if (j >= s.size() || !IsEntityStart(s[j])) return 0;
  ++j;
  while (j < s.size() && IsEntityChar(s[j])) ++j;
  if (j >= s.size() || s[j] != u';') return 0;
  return j - i + 1;
}

// What stands for a code unit XML 1.0 does not allow (C0 controls other than
// tab, LF and CR; lone surrogates; U+FFFE and U+FFFF): U+FFFD.
constexpr char16_t kReplacement[] = u"\uFFFD";

}  // namespace

void markup_internal::AppendEncodedMarkup(std::u16string* out, std::u16string_view source, uint32_t flags) {
  const bool attribute = (flags & ENCODE_ATTRIBUTE) != 0;
  const bool keep = (flags & ENCODE_KEEP_ENTITIES) != 0;
  const size_t l = source.size();
  const size_t room = out->size() + l + l / 10 + 7;
  if (out->capacity() < room) out->reserve(room);
  // The characters below 64 that are replaced: C0 controls (but tab, LF
  // and CR outside attribute values), the markup characters, and in
  // attribute values the quotes too.
  constexpr uint64_t kControls = 0xFFFFFFFFu & ~MaskOf("\t\n\r");
  constexpr uint64_t kText = kControls | MaskOf("<&>");
  constexpr uint64_t kAttribute = kText | MaskOf("\t\n\r'\"");
  const uint64_t special = attribute ? kAttribute : kText;
  size_t run = 0;  // start of the pending run of plain characters
  for (size_t i = 0; i < l; ++i) {
    const char16_t c = source[i];
    // Other characters below 64 (digits, '/', '.', '-', space in text...)
    // and the BMP below the surrogates pass as they are.
    if (c < 64 ? ((special >> c) & 1) == 0 : c < 0xD800) continue;
    const char16_t* entity;
    if (c >= 0xD800) {
      if (c <= 0xDBFF && i + 1 < l && source[i + 1] >= 0xDC00 && source[i + 1] <= 0xDFFF) {
        ++i;  // a well-formed pair stays in the run
        continue;
      }
      if (c >= 0xE000 && c < 0xFFFE) continue;
      // A lone surrogate, U+FFFE or U+FFFF: not a character XML allows.
      entity = kReplacement;
    } else {
      switch (c) {
        case u'<': entity = u"&lt;"; break;
        case u'&': entity = u"&amp;"; break;
        case u'>': entity = u"&gt;"; break;
        case u'\'': entity = attribute ? u"&apos;" : nullptr; break;
        case u'"': entity = attribute ? u"&quot;" : nullptr; break;
        // White space in an attribute value would be read back as a space
        // (attribute-value normalisation) and would break the one-element-
        // per-line layout; as character references it survives both.
        case u'\t': entity = attribute ? u"&#9;" : nullptr; break;
        case u'\n': entity = attribute ? u"&#10;" : nullptr; break;
        case u'\r': entity = attribute ? u"&#13;" : nullptr; break;
        default: entity = c < 0x20 ? kReplacement : nullptr; break;
      }
    }
    if (entity == nullptr) continue;
    if (c == u'&' && keep) {
      const size_t n = EntityLength(source, i);
      if (n > 0) {
        i += n - 1;  // the reference stays in the run
        continue;
      }
    }
    out->append(source.data() + run, i - run);
    out->append(entity);
    run = i + 1;
  }
  out->append(source.data() + run, l - run);
}

std::u16string EncodeMarkup(std::u16string_view source, uint32_t flags) {
  std::u16string out;
  AppendEncodedMarkup(&out, source, flags);
  return out;
}

bool markup_internal::ReadWord(TagScanner& scanner) {
  const char16_t* t = scanner.text;
  const int32_t len = scanner.textLength;
  int32_t p = scanner.scanPos;
  if (!SkipSpaces(t, len, &p)) {
    scanner.scanPos = p;
    scanner.wordFirst = p;
    scanner.wordLast = p - 1;
    return false;
  }
  int32_t q = p;
  while (q < len && !EndsWord(t[q])) ++q;
  if (q == p) q = p + 1;
  scanner.wordFirst = p;
  scanner.wordLast = q - 1;
  scanner.scanPos = q;
  return true;
}

std::u16string CXmlDoc::ElementName(int32_t pos) const {
  if (pos <= 0 || pos >= m_posNextFree) return std::u16string();
  const ElementRecord& r = RecordAt(pos);
  // As the parser reads it, so that an end tag written with this name
  // closes the element when the text is parsed again.
  const int32_t first = r.offset + 1;
  const int32_t end = r.offset + r.StartTagLength();
  int32_t q = first;
  while (q < end && !EndsElementName(m_strText[static_cast<size_t>(q)])) ++q;
  return std::u16string(m_strText, static_cast<size_t>(first), static_cast<size_t>(q - first));
}

bool CXmlDoc::PlaceNewElement(int32_t parent, int32_t* sibling, uint32_t flags, int32_t* newOffset,
                              int32_t* delta) {
  const bool before = (flags & ADD_BEFORE) != 0;
  const bool lineBreaks = (flags & ADD_NO_LINE_BREAK) == 0;
  const ElementRecord& pr = RecordAt(parent);
  const int32_t pStart = pr.StartTagLength();
  const int32_t pEnd = pr.EndTagLength();
  const bool pUnended = (pr.state & ElementRecord::UNENDED) != 0;
  const bool bare = parent != 0 && pStart == pr.extent;
  const bool hollow = parent != 0 && pr.extent - pEnd - pStart == 0;

  // A bare parent's start tag ends in "/>" (or in "//>" and more: every
  // slash before the '>' goes, else the tag would still read as empty).
  int32_t slashes = 0;
  if (bare && !pUnended) {
    const int32_t close = pr.offset + pStart - 1;
    while (slashes < pStart - 2 && m_strText[static_cast<size_t>(close - 1 - slashes)] == u'/') ++slashes;
  }

  int32_t s = *sibling;
  int32_t o;
  if (s != 0) {
    const ElementRecord& sr = RecordAt(s);
    o = before ? sr.offset : sr.offset + sr.extent;
  } else if (bare) {
    o = pr.offset + pStart - slashes;
  } else if (before) {
    o = pr.offset + pStart;
  } else {
    o = pr.offset + pr.extent - pEnd;
  }
  if (lineBreaks && !bare) {
    int32_t p = o;
    const int32_t len = static_cast<int32_t>(m_strText.size());
    SkipSpaces(m_strText.data(), len, &p);
    if (p >= len || m_strText[p] == u'<') o = p;
  }
  if (s != 0 && before) {
    const ElementRecord& sr = RecordAt(s);
    s = (sr.state & ElementRecord::FIRST_CHILD) ? 0 : sr.prevSibling;
  } else if (s == 0 && !before && pr.firstChild != 0) {
    s = RecordAt(pr.firstChild).prevSibling;
  }
  if (lineBreaks) {
    if (bare || hollow) o += 2;
    m_scratch.append(u"\r\n");
  }

  if (bare) {
    const std::u16string name = ElementName(parent);
    const int32_t endTag = static_cast<int32_t>(name.size()) + 3;
    if (endTag > ElementRecord::kMaxEndTagLength) return false;
    std::u16string inserted(lineBreaks ? u">\r\n" : u">");
    inserted.append(m_scratch);
    inserted.append(u"</");
    inserted.append(name);
    const int32_t at = pr.offset + pr.extent - 1 - slashes;
    const int32_t removed = slashes;
    if (!SpliceText(at, removed, inserted)) return false;
    ElementRecord& pw = RecordAt(parent);
    if (pUnended) {
      pw.state &= ~static_cast<uint32_t>(ElementRecord::UNENDED);
    } else {
      pw.SetStartTagLength(pStart - slashes);
    }
    pw.SetEndTagLength(endTag);
    *delta = static_cast<int32_t>(inserted.size()) - removed;
  } else if (hollow) {
    if (lineBreaks) m_scratch.insert(0, u"\r\n");
    if (!SpliceText(pr.offset + pStart, 0, m_scratch)) return false;
    *delta = static_cast<int32_t>(m_scratch.size());
  } else {
    if (!SpliceText(o, 0, m_scratch)) return false;
    *delta = static_cast<int32_t>(m_scratch.size());
  }
  *sibling = s;
  *newOffset = o;
  return true;
}

void CXmlDoc::LinkElement(int32_t parent, int32_t sibling, int32_t element) {
  ElementRecord& nr = RecordAt(element);
  ElementRecord& pr = RecordAt(parent);
  nr.parent = parent;
  if (sibling != 0) {
    ElementRecord& sr = RecordAt(sibling);
    nr.state &= ~static_cast<uint32_t>(ElementRecord::FIRST_CHILD);
    const int32_t next = sr.nextSibling;
    nr.nextSibling = next;
    if (next != 0) {
      RecordAt(next).prevSibling = element;
    } else {
      RecordAt(pr.firstChild).prevSibling = element;
    }
    sr.nextSibling = element;
    nr.prevSibling = sibling;
  } else {
    nr.state |= ElementRecord::FIRST_CHILD;
    const int32_t first = pr.firstChild;
    if (first != 0) {
      ElementRecord& fr = RecordAt(first);
      nr.nextSibling = first;
      nr.prevSibling = fr.prevSibling;
      fr.prevSibling = element;
      fr.state &= ~static_cast<uint32_t>(ElementRecord::FIRST_CHILD);
    } else {
      nr.nextSibling = 0;
      nr.prevSibling = element;
    }
    pr.firstChild = element;
  }
  if (parent != 0) nr.SetLevel(pr.Level() + 1);
}

bool CXmlDoc::AddElement(std::u16string_view name, uint32_t flags) {
  if (m_recordCapacity == 0) return false;
  if ((flags & ADD_CHILD) && m_posCurrent == 0) return false;

  const std::u16string_view tail = (flags & ADD_START_TAG_ONLY) ? u">" : (flags & ADD_SPACE_SLASH) ? u" />" : u"/>";
  if (name.size() + 1 + tail.size() > static_cast<size_t>(ElementRecord::kMaxStartTagLength)) return false;
  const int32_t startTag = static_cast<int32_t>(name.size() + 1 + tail.size());

  try {
    m_scratch.clear();
    m_scratch.reserve(name.size() + 8);
    m_scratch.push_back(u'<');
    m_scratch.append(name);
    m_scratch.append(tail);
  } catch (const std::exception&) {
    return false;
  }
  return InsertElement(startTag, flags);
}

bool CXmlDoc::InsertElement(int32_t startTag, uint32_t flags) {
  const int32_t parent = (flags & ADD_CHILD) ? m_posCurrent : m_posParent;
  int32_t sibling = (flags & ADD_CHILD) ? m_posChild : m_posCurrent;
  if (m_posNextFree >= m_recordCapacity) {
    if (!ReserveRecords(0) || m_posNextFree >= m_recordCapacity) return false;
  }
  int32_t offset = 0;
  int32_t delta = 0;
  try {
    if (!PlaceNewElement(parent, &sibling, flags, &offset, &delta)) return false;
  } catch (const std::exception&) {
    return false;
  }

  const int32_t n = m_posNextFree++;
  ElementRecord& nr = RecordAt(n);
  nr.offset = offset;
  nr.extent = startTag;
  nr.SetTagLengths(startTag, 0);
  nr.state = (flags & ADD_START_TAG_ONLY) ? static_cast<uint32_t>(ElementRecord::UNENDED) : 0u;
  nr.firstChild = 0;
  LinkElement(parent, sibling, n);
  ShiftFollowing(n, delta, false);

  if (flags & ADD_CHILD) {
    m_posChild = n;
  } else {
    m_posCurrent = n;
    m_posChild = 0;
  }
  m_nodeKind = 1;
  return true;
}

bool CXmlDoc::FindAttribute(TagScanner& scanner, std::u16string_view name, NameRanges* names) const {
  const char16_t* t = scanner.text;
  const int32_t len = scanner.textLength;
  bool seenElementName = false;
  bool found = false;
  bool afterEquals = false;
  int32_t foundEnd = 0;
  int32_t equalsAt = -1;
  scanner.danglingEquals = -1;
  scanner.scanFlags &= ~static_cast<uint32_t>(TagScanner::NO_VALUE);
  // The element's name, read as the parser reads it; attributes follow.
  if (scanner.scanPos < len && !IsMarkupSpace(t[scanner.scanPos])) {
    int32_t q = scanner.scanPos;
    while (q < len && !EndsElementName(t[q])) ++q;
    scanner.scanPos = q;
    seenElementName = true;
  }
  for (;;) {
    const int32_t wsStart = scanner.scanPos;
    int32_t p = wsStart;
    if (!SkipSpaces(t, len, &p)) {
      // The tag's closing '>' lies at the end of the scanned range.
      scanner.scanPos = wsStart;
      // "k=" at the end of the tag: the found name's '=' has no value.
      if (found && afterEquals) scanner.danglingEquals = equalsAt;
      break;
    }
    const char16_t c = t[p];
    const bool isValue = afterEquals;
    afterEquals = false;
    if (c == u'"' || c == u'\'') {
      int32_t q = p + 1;
      while (q < len && t[q] != c) ++q;
      scanner.scanFlags |= TagScanner::QUOTED;
      scanner.wordFirst = p + 1;
      scanner.wordLast = q - 1;
      const bool closed = q < len;
      scanner.scanPos = closed ? q + 1 : len;
      if (isValue && found) {
        // Remember whether the closing quote is there to be replaced.
        if (closed) {
          scanner.scanFlags &= ~static_cast<uint32_t>(TagScanner::UNCLOSED);
        } else {
          scanner.scanFlags |= TagScanner::UNCLOSED;
        }
        return true;
      }
      if (isValue) continue;
      if (found) break;
      continue;
    }
    scanner.scanFlags &= ~static_cast<uint32_t>(TagScanner::QUOTED);
    int32_t q = p;
    if (isValue) {
      while (q < len && !IsMarkupSpace(t[q]) && t[q] != u'>') ++q;
    } else {
      while (q < len && !EndsAttributeWord(t[q])) ++q;
    }
    if (q == p) q = p + 1;
    // An unquoted value running into the '/' of '/>' leaves the slash to
    // the tag, so that neither a replacement nor an appended attribute
    // turns the empty-element tag into a start tag.
    if (isValue && q == len && t[q - 1] == u'/') --q;
    scanner.wordFirst = p;
    scanner.wordLast = q - 1;
    scanner.scanPos = q;
    if (isValue) {
      if (!found) continue;
      return true;
    }
    if (c == u'=') {
      afterEquals = true;
      equalsAt = p;
      continue;
    }
    if (c == u'>' || c == u'/' || c == u'?') {
      scanner.scanPos = wsStart;
      break;
    }
    if (found) break;
    if (!seenElementName) {
      seenElementName = true;
      continue;
    }
    if (names != nullptr) names->emplace_back(scanner.wordFirst, scanner.wordLast);
    if (NameMatches(scanner, name)) {
      found = true;
      foundEnd = scanner.wordLast;
      scanner.gapStart = wsStart;
      scanner.gapLength = p - wsStart;
    }
  }
  if (!found) return false;
  scanner.wordFirst = scanner.gapStart + scanner.gapLength;
  scanner.wordLast = foundEnd;
  scanner.scanFlags &= ~static_cast<uint32_t>(TagScanner::QUOTED);
  scanner.scanFlags |= TagScanner::NO_VALUE;
  return true;
}

namespace {

// A name that the attribute search reads back as one name word.
bool IsPlainName(std::u16string_view name) {
  if (name.empty() || name[0] == u'"' || name[0] == u'\'') return false;
  for (char16_t c : name) {
    if (EndsAttributeWord(c)) return false;
  }
  return true;
}

}  // namespace

namespace {

// Whether an attribute search for one of the names could read the other as
// its name (NameMatches: one starts the other, ignoring ASCII case for the
// ignore-case option too); false only when neither can.
bool NamesMayMeet(std::u16string_view a, std::u16string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

CXmlDoc::AttributeNames::AttributeNames(const std::u16string_view* names, size_t count)
    : names_(names), count_(count), oneSplice_(true) {
  for (size_t i = 0; oneSplice_ && i < count; ++i) {
    oneSplice_ = IsPlainName(names[i]);
    for (size_t j = 0; oneSplice_ && j < i; ++j) oneSplice_ = !NamesMayMeet(names[j], names[i]);
  }
}

bool CXmlDoc::AddChildWithAttributes(std::u16string_view name, const AttributeNames& names,
                                     const std::u16string_view* values, bool* allAttributes) {
  if (allAttributes != nullptr) *allAttributes = false;
  // One splice gives the text that adding the element and setting each
  // attribute would give when every step would succeed and each attribute
  // is appended as new: plain, distinct names on a plainly named element.
  // Anything else takes those steps one by one.
  const size_t count = names.count();
  bool whole = names.oneSplice() && m_recordCapacity != 0 && m_posCurrent != 0 && IsPlainName(name);
  if (whole) {
    try {
      m_scratch.clear();
      m_scratch.push_back(u'<');
      m_scratch.append(name);
      for (size_t i = 0; i < count; ++i) {
        m_scratch.push_back(u' ');
        m_scratch.append(names.names()[i]);
        m_scratch.append(u"=\"");
        AppendEncodedMarkup(&m_scratch, values[i], ENCODE_ATTRIBUTE);
        m_scratch.push_back(u'"');
      }
      m_scratch.append(u"/>");
    } catch (const std::exception&) {
      whole = false;
    }
  }
  if (whole && m_scratch.size() <= static_cast<size_t>(ElementRecord::kMaxStartTagLength) &&
      InsertElement(static_cast<int32_t>(m_scratch.size()), ADD_CHILD)) {
    m_attributeCache.pos = 0;
    if (allAttributes != nullptr) *allAttributes = true;
    return true;
  }
  if (!AddElement(name, ADD_CHILD)) return false;
  bool all = true;
  for (size_t i = 0; i < count; ++i) {
    if (!SetAttribute(m_posChild, names.names()[i], values[i])) all = false;
  }
  if (allAttributes != nullptr) *allAttributes = all;
  return true;
}

bool CXmlDoc::SetAttribute(int32_t pos, std::u16string_view name, std::u16string_view value) {
  if (pos == 0 || m_nodeKind != 1) return false;
  if (pos < 0 || pos >= m_posNextFree) return false;
  const ElementRecord& r = RecordAt(pos);
  const int32_t startTag = r.StartTagLength();
  TagScanner scanner;
  scanner.wordFirst = 0;
  scanner.wordLast = -1;
  scanner.text = m_strText.data();
  // The search stays inside the start tag, before its closing '>'.
  scanner.textLength = r.offset + startTag - 1;
  scanner.scanPos = r.offset + 1;
  scanner.scanFlags = m_docFlags;

  const bool plain = IsPlainName(name);
  AttributeCache& cache = m_attributeCache;
  int32_t at;
  int32_t removed = 0;
  bool found = false;
  try {
    // The tag is unchanged since a search that found nothing: only its known
    // names need comparing.
    bool known = plain && cache.pos == pos && cache.stamp == m_editStamp;
    if (known) {
      for (const auto& range : cache.names) {
        scanner.wordFirst = range.first;
        scanner.wordLast = range.second;
        if (NameMatches(scanner, name)) {
          known = false;
          break;
        }
      }
      scanner.scanPos = cache.insertAt;
    }
    if (!known) {
      cache.pos = 0;
      cache.names.clear();
      scanner.scanPos = r.offset + 1;
      found = FindAttribute(scanner, name, &cache.names);
      if (!found) {
        cache.pos = pos;
        cache.stamp = m_editStamp;
        cache.insertAt = scanner.scanPos;
      }
    }
    cache.names.reserve(cache.names.size() + 1);

    m_scratch.clear();
    if (!found) {
      at = scanner.scanPos;
      m_scratch.push_back(u' ');
      m_scratch.append(name);
      m_scratch.push_back(u'=');
    } else if (scanner.scanFlags & TagScanner::NO_VALUE) {
      at = scanner.wordLast + 1;
      // A dangling '=' (and the space before it) gives way to the new one.
      if (scanner.danglingEquals >= at) removed = scanner.danglingEquals - at + 1;
      m_scratch.push_back(u'=');
    } else {
      const bool quoted = (scanner.scanFlags & TagScanner::QUOTED) != 0;
      const bool unclosed = (scanner.scanFlags & TagScanner::UNCLOSED) != 0;
      at = quoted ? scanner.wordFirst - 1 : scanner.wordFirst;
      removed = scanner.wordLast - scanner.wordFirst + 1 + (quoted ? (unclosed ? 1 : 2) : 0);
    }
    m_scratch.push_back(u'"');
    AppendEncodedMarkup(&m_scratch, value, ENCODE_ATTRIBUTE);
    m_scratch.push_back(u'"');
  } catch (const std::exception&) {
    return false;
  }
  const int64_t delta = static_cast<int64_t>(m_scratch.size()) - removed;
  if (startTag + delta > ElementRecord::kMaxStartTagLength) return false;
  if (!SpliceText(at, removed, m_scratch)) return false;
  ElementRecord& w = RecordAt(pos);
  w.SetStartTagLength(static_cast<int32_t>(startTag + delta));
  w.extent += static_cast<int32_t>(delta);
  ShiftFollowing(pos, static_cast<int32_t>(delta), false);

  if (!found && plain && cache.pos == pos) {
    // The appended attribute is read back as one more name.
    cache.names.emplace_back(at + 1, at + static_cast<int32_t>(name.size()));
    cache.insertAt = at + static_cast<int32_t>(delta);
    cache.stamp = m_editStamp;
  } else {
    cache.pos = 0;
  }
  return true;
}

}  // namespace kelvane
