// The recovering parser: one forward scan over the text that indexes every
// element, records the first problem as a message and applies a fixed
// recovery rule instead of stopping.
#include <new>
#include <utility>
#include <vector>

#include "common/text.h"
#include "markup/xml_doc.h"
#include "markup/xml_doc_internal.h"

namespace kelvane {

using namespace markup_internal;

using kelvane::FormatDecimal;

namespace {

// Characters that may follow '<' to open a start tag.
inline bool IsNameStart(char16_t c) {
  return (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' || c > 0x60;
}

// Characters that end a tag name in the parser.
inline bool IsNameEnd(char16_t c) { return EndsElementName(c); }

// What the markup reader found at a '<'.
struct Markup {
  int32_t kind = TOKEN_ERROR;
  int32_t end = 0;             // offset of the token's last character
  bool unterminated = false;   // the text ended inside the token
  const char16_t* unterminatedLabel = u"tag";
  const char16_t* incorrect = nullptr;  // subject of "Incorrect %s at offset %d"
  bool emptyElement = false;
  int32_t nameFirst = 0;  // start tag, end tag, processing instruction
  int32_t nameEnd = 0;    // one past the name
};

class MarkupReader {
 public:
  MarkupReader(const char16_t* text, int32_t length) : t_(text), len_(length) {}

  // The character at `i`, or '\0' past the end (which no test below
  // matches, so a construct cut short by the end of the text reads as
  // malformed).
  char16_t At(int32_t i) const { return i < len_ ? t_[i] : u'\0'; }

  // Reads the construct opened by the '<' at `pos`.
  void Read(int32_t pos, bool inDoctype, Markup* m) const {
    const char16_t c1 = At(pos + 1);
    if (IsNameStart(c1)) {
      ReadStartTag(pos, m);
    } else if (c1 == u'/') {
      m->kind = TOKEN_END_TAG;
      m->unterminatedLabel = u"Element end tag";
      m->nameFirst = pos + 2;
      m->nameEnd = NameEnd(pos + 2);
      FindGreater(m->nameEnd, m);
    } else if (c1 == u'?') {
      m->kind = TOKEN_PI;
      m->unterminatedLabel = u"Processing instruction";
      m->nameFirst = pos + 2;
      m->nameEnd = NameEnd(pos + 2);
      FindTerminator(pos + 2, u"?", 1, m);
    } else if (c1 == u'!') {
      ReadBang(pos, inDoctype, m);
    } else {
      Error(pos + 1, u"tag name character", m);
    }
  }

 private:
  int32_t NameEnd(int32_t from) const {
    int32_t i = from;
    while (i < len_ && !IsNameEnd(t_[i])) ++i;
    return i;
  }

  void Unterminated(Markup* m) const {
    m->unterminated = true;
    m->end = len_ - 1;
  }

  // The token ends at the first '>' from `from`.
  void FindGreater(int32_t from, Markup* m) const {
    for (int32_t i = from; i < len_; ++i) {
      if (t_[i] == u'>') {
        m->end = i;
        return;
      }
    }
    Unterminated(m);
  }

  // The token ends at the first '>' from `from` preceded by `tail`; a '>' at
  // an offset not greater than the terminator's length never counts.
  void FindTerminator(int32_t from, const char16_t* tail, int32_t tailLength, Markup* m) const {
    for (int32_t i = from; i < len_; ++i) {
      if (t_[i] != u'>' || i <= tailLength + 1) continue;
      bool match = true;
      for (int32_t k = 0; k < tailLength; ++k) {
        if (t_[i - tailLength + k] != tail[k]) {
          match = false;
          break;
        }
      }
      if (match) {
        m->end = i;
        return;
      }
    }
    Unterminated(m);
  }

  // Malformed markup: the token ends at the next '>' inclusive or just before
  // the next '<'.
  void Error(int32_t from, const char16_t* incorrect, Markup* m) const {
    m->kind = TOKEN_ERROR;
    m->incorrect = incorrect;
    m->unterminatedLabel = u"tag";
    for (int32_t i = from; i < len_; ++i) {
      if (t_[i] == u'>') {
        m->end = i;
        return;
      }
      if (t_[i] == u'<') {
        m->end = i - 1;
        return;
      }
    }
    Unterminated(m);
  }

  void ReadStartTag(int32_t pos, Markup* m) const {
    m->kind = TOKEN_START_TAG;
    m->unterminatedLabel = u"Element tag";
    m->nameFirst = pos + 1;
    m->nameEnd = NameEnd(pos + 1);
    bool inDouble = false;
    bool inSingle = false;
    for (int32_t i = pos + 1; i < len_; ++i) {
      const char16_t c = t_[i];
      if (c == u'"') {
        if (!inSingle) inDouble = !inDouble;
      } else if (c == u'\'') {
        if (!inDouble) inSingle = !inSingle;
      } else if (c == u'>' && !inDouble && !inSingle) {
        m->end = i;
        m->emptyElement = t_[i - 1] == u'/';
        return;
      }
    }
    Unterminated(m);
  }

  void ReadBang(int32_t pos, bool inDoctype, Markup* m) const {
    const char16_t c2 = At(pos + 2);
    if (c2 == u'-') {
      if (At(pos + 3) == u'-') {
        m->kind = TOKEN_COMMENT;
        m->unterminatedLabel = u"Comment";
        FindTerminator(pos + 2, u"--", 2, m);
      } else {
        Error(pos + 3, u"comment tag", m);
      }
    } else if (c2 == u'E' || c2 == u'A' || c2 == u'N') {
      if (inDoctype) {
        // A markup declaration of the internal subset; quotes are not tracked.
        m->kind = TOKEN_DOCTYPE;
        m->unterminatedLabel = u"tag";
        FindGreater(pos + 2, m);
      } else {
        Error(pos + 2, nullptr, m);
      }
    } else if (c2 == u'[' && !inDoctype) {
      if (At(pos + 3) == u'C') {
        m->kind = TOKEN_CDATA;
        m->unterminatedLabel = u"CDATA Section";
        FindTerminator(pos + 2, u"]]", 2, m);
      } else {
        Error(pos + 3, u"tag", m);
      }
    } else if (c2 == u'D' && !inDoctype) {
      ReadDoctype(pos, m);
    } else {
      Error(pos + 2, u"! tag", m);
    }
  }

  // Every '<' inside the declaration opens a nested construct whose '>' does
  // not end it; the first '>' outside such a construct does. Messages of
  // nested constructs are dropped with them.
  void ReadDoctype(int32_t pos, Markup* m) const {
    m->kind = TOKEN_DOCTYPE;
    m->unterminatedLabel = u"Doctype";
    int32_t i = pos + 2;
    while (i < len_) {
      const char16_t c = t_[i];
      if (c == u'>') {
        m->end = i;
        return;
      }
      if (c == u'<') {
        Markup nested;
        Read(i, true, &nested);
        if (nested.unterminated) break;
        i = nested.end + 1;
        continue;
      }
      ++i;
    }
    Unterminated(m);
  }

  const char16_t* t_;
  int32_t len_;
};

void AppendIncorrect(std::u16string* out, const char16_t* subject, int32_t offset) {
  out->assign(u"Incorrect ");
  out->append(subject);
  out->append(u" at offset ");
  out->append(FormatDecimal(offset));
}

}  // namespace

bool markup_internal::SkipSpaces(const char16_t* text, int32_t length, int32_t* offset) {
  int32_t i = *offset;
  while (i < length && IsMarkupSpace(text[i])) ++i;
  *offset = i;
  return i < length;
}

bool markup_internal::NameMatches(const TagScanner& scanner, std::u16string_view wanted) {
  const int32_t n = scanner.wordLast - scanner.wordFirst + 1;
  if (n < 0 || static_cast<size_t>(n) > wanted.size()) return false;
  const char16_t* word = scanner.text + scanner.wordFirst;
  const bool ignoreCase = (scanner.scanFlags & CXmlDoc::DOC_IGNORE_CASE) != 0;
  for (int32_t i = 0; i < n; ++i) {
    char16_t a = word[i];
    char16_t b = wanted[i];
    if (a == b) continue;
    if (!ignoreCase) return false;
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a + 32);
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b + 32);
    if (a != b) return false;
  }
  if (static_cast<size_t>(n) == wanted.size()) return true;
  const char16_t next = wanted[n];
  return next == u' ' || next == u'=' || next == u'/' || next == u'[' || next == u']';
}

int32_t markup_internal::ReadToken(TagScanner& scanner, OpenTag& entry) {
  const char16_t* t = scanner.text;
  const int32_t len = scanner.textLength;
  const int32_t pos = scanner.scanPos;
  entry.start = pos;
  entry.tagFlags = 0;
  if (pos >= len) {
    entry.length = 0;
    entry.kind = TOKEN_END_OF_TEXT;
    return TOKEN_END_OF_TEXT;
  }

  int32_t kind;
  int32_t end;
  if (t[pos] != u'<') {
    int32_t i = pos;
    if (SkipSpaces(t, len, &i) && t[i] != u'<') {
      kind = TOKEN_TEXT;
      while (i < len && t[i] != u'<' && t[i] != u'>') ++i;
      end = (i < len && t[i] == u'>') ? i : i - 1;
    } else {
      kind = TOKEN_WHITESPACE;
      end = i - 1;
    }
  } else {
    Markup m;
    MarkupReader(t, len).Read(pos, false, &m);
    kind = m.kind;
    end = m.end;
    if (m.unterminated) {
      kind = TOKEN_ERROR;
      entry.name.assign(m.unterminatedLabel);
      entry.name.append(u" at offset ");
      entry.name.append(FormatDecimal(pos));
      entry.name.append(u" unterminated");
    } else if (kind == TOKEN_ERROR) {
      if (m.incorrect != nullptr) {
        AppendIncorrect(&entry.name, m.incorrect, pos);
      } else {
        entry.name.clear();
      }
    } else if (kind == TOKEN_START_TAG || kind == TOKEN_PI) {
      entry.name.assign(t + m.nameFirst, static_cast<size_t>(m.nameEnd - m.nameFirst));
      if (m.emptyElement) entry.tagFlags = OpenTag::EMPTY_ELEMENT;
    } else if (kind == TOKEN_END_TAG) {
      scanner.wordFirst = m.nameFirst;
      scanner.wordLast = m.nameEnd - 1;
    }
  }
  entry.length = end - pos + 1;
  entry.kind = kind;
  scanner.scanPos = end + 1;
  return kind;
}

namespace {

std::u16string Quoted(std::u16string_view name) {
  std::u16string out(u"'");
  out.append(name);
  out.append(u"'");
  return out;
}

}  // namespace

int32_t CXmlDoc::ScanElements(TagScanner& scanner, bool* refused) {
  m_strMessages.clear();
  scanner.scanPos = 0;
  std::vector<OpenTag> stack(6);
  std::vector<int32_t> open;  // positions of the open elements, outermost first
  int32_t parent = 0;
  int32_t depth = 0;
  int32_t first = 0;

  // Closes the `count` innermost open elements as unended: each loses its
  // end tag and its children, which follow it as siblings. Closing outermost
  // first gives the same result as innermost first while moving every child
  // only once.
  auto closeUnended = [&](int32_t count) {
    RecordAt(0).state |= ElementRecord::ILL_FORMED;
    for (int32_t j = depth - count; j < depth; ++j) {
      const int32_t u = open[j];
      ElementRecord& ur = RecordAt(u);
      const int32_t startTag = ur.StartTagLength();
      ur.SetTagLengths(startTag, 0);
      ur.extent = startTag;
      ur.state |= ElementRecord::UNENDED;
      const int32_t child = ur.firstChild;
      ur.firstChild = 0;
      const int32_t up = ur.parent;
      if (ur.state & ElementRecord::HAS_ERROR) {
        ur.state &= ~static_cast<uint32_t>(ElementRecord::HAS_ERROR);
        RecordAt(up).state |= ElementRecord::HAS_ERROR;
      }
      if (child != 0) {
        const int32_t last = RecordAt(child).prevSibling;
        for (int32_t c = child; c != 0; c = RecordAt(c).nextSibling) RecordAt(c).parent = up;
        ElementRecord& cr = RecordAt(child);
        cr.state &= ~static_cast<uint32_t>(ElementRecord::FIRST_CHILD);
        cr.prevSibling = u;
        const int32_t after = ur.nextSibling;
        RecordAt(last).nextSibling = after;
        if (after != 0) {
          RecordAt(after).prevSibling = last;
        } else {
          RecordAt(RecordAt(up).firstChild).prevSibling = last;
        }
        ur.nextSibling = child;
      }
    }
    depth -= count;
    open.resize(static_cast<size_t>(depth));
    parent = depth > 0 ? open[depth - 1] : 0;
  };

  for (;;) {
    OpenTag& e = stack[static_cast<size_t>(depth)];
    const int32_t kind = ReadToken(scanner, e);
    if (kind == TOKEN_START_TAG) {
      if (e.length > ElementRecord::kMaxStartTagLength) {
        *refused = true;
        m_strMessages = u"Element tag at offset " + FormatDecimal(e.start) + u" too long";
        return first;
      }
      if (m_posNextFree >= m_recordCapacity) {
        if (!ReserveRecords(0) || m_posNextFree >= m_recordCapacity) throw std::bad_alloc();
      }
      const int32_t n = m_posNextFree++;
      if (first == 0) first = n;
      ElementRecord& nr = RecordAt(n);
      // Appended as the parent's last child (its level follows from the
      // parent's).
      const int32_t firstSibling = RecordAt(parent).firstChild;
      nr.state = 0;
      LinkElement(parent, firstSibling != 0 ? RecordAt(firstSibling).prevSibling : 0, n);
      nr.firstChild = 0;
      nr.offset = e.start;
      nr.SetTagLengths(e.length, 0);
      nr.extent = e.length;
      if ((e.tagFlags & OpenTag::EMPTY_ELEMENT) == 0) {
        ++depth;
        open.push_back(n);
        parent = n;
        if (static_cast<size_t>(depth) == stack.size()) stack.resize(stack.size() * 2 + 6);
      }
    } else if (kind == TOKEN_END_TAG) {
      int32_t k = depth;
      while (k >= 1 && !NameMatches(scanner, stack[static_cast<size_t>(k - 1)].name)) --k;
      const std::u16string_view endName(scanner.text + scanner.wordFirst,
                                        static_cast<size_t>(scanner.wordLast - scanner.wordFirst + 1));
      // An end tag that closes an element must fit that element's end-tag
      // field; a stray one is dropped below whatever its length.
      if (k >= 1 && e.length > ElementRecord::kMaxEndTagLength) {
        *refused = true;
        m_strMessages = u"Element end tag at offset " + FormatDecimal(e.start) + u" too long";
        return first;
      }
      if (k >= 1) {
        const int32_t found = open[k - 1];
        ElementRecord& fr = RecordAt(found);
        fr.extent = e.start - fr.offset + e.length;
        fr.SetEndTagLength(e.length);
        if (k < depth) {
          if (m_strMessages.empty()) {
            const int32_t inner = open[depth - 1];
            m_strMessages = u"End tag " + Quoted(endName) + u" at offset " + FormatDecimal(e.start + 1) +
                            u" does not match start tag " + Quoted(stack[depth - 1].name) + u" at offset " +
                            FormatDecimal(RecordAt(inner).offset);
          }
          closeUnended(depth - k);
        }
        --depth;
        open.pop_back();
        parent = RecordAt(found).parent;
      } else {
        RecordAt(0).state |= ElementRecord::ILL_FORMED;
        RecordAt(parent).state |= ElementRecord::HAS_ERROR;
        if (m_strMessages.empty()) {
          m_strMessages = u"No start tag for end tag " + Quoted(endName) + u" at offset " + FormatDecimal(e.start);
        }
      }
    } else if (kind == TOKEN_ERROR) {
      RecordAt(0).state |= ElementRecord::ILL_FORMED;
      RecordAt(parent).state |= ElementRecord::HAS_ERROR;
      if (m_strMessages.empty()) m_strMessages = e.name;
    } else if (kind == TOKEN_END_OF_TEXT) {
      if (depth > 0) {
        if (m_strMessages.empty()) {
          const int32_t inner = open[depth - 1];
          m_strMessages = u"Element " + Quoted(stack[depth - 1].name) + u" at offset " +
                          FormatDecimal(RecordAt(inner).offset) + u" not ended";
        }
        closeUnended(depth);
      }
      return first;
    }
    // Text, white space, CDATA, processing instructions, comments and the
    // document type declaration are skipped.
  }
}

void CXmlDoc::ResetToEmpty(std::u16string_view message) {
  m_strText.clear();
  ++m_editStamp;
  m_posParent = m_posCurrent = m_posChild = 0;
  m_nodeKind = 0;
  m_posNextFree = 1;
  if (m_recordCapacity == 0) ReserveRecords(8);
  if (m_recordCapacity > 0) RecordAt(0) = ElementRecord{};
  m_strMessages.clear();
  try {
    m_strMessages.assign(message);
  } catch (const std::exception&) {
    // The document stays valid without its message.
  }
}

bool CXmlDoc::BuildIndex() {
  try {
    const std::u16string earlier = m_strMessages;
    m_posParent = m_posCurrent = m_posChild = 0;
    m_nodeKind = 0;
    m_posNextFree = 1;
    const int32_t length = static_cast<int32_t>(m_strText.size());
    if (!ReserveRecords(length / 64 + 8)) throw std::bad_alloc();
    RecordAt(0) = ElementRecord{};
    if (length == 0) {
      m_strMessages = u"Empty document";
    } else {
      TagScanner scanner;
      scanner.text = m_strText.data();
      scanner.textLength = length;
      scanner.scanFlags = m_docFlags;
      bool refused = false;
      const int32_t first = ScanElements(scanner, &refused);
      if (refused) {
        const std::u16string message = std::move(m_strMessages);
        ResetToEmpty(message);
        return false;
      }
      ElementRecord& root = RecordAt(0);
      root.extent = length;
      if (first == 0) {
        m_strMessages = u"No root element";
      } else {
        root.firstChild = first;
        if (RecordAt(first).nextSibling != 0) m_strMessages = u"Root element has sibling";
      }
    }
    if (!earlier.empty()) {
      if (m_strMessages.empty()) {
        m_strMessages = earlier;
      } else {
        m_strMessages = earlier + u", " + m_strMessages;
      }
    }
    const ElementRecord& root = RecordAt(0);
    return m_recordCapacity > 0 && (root.state & ElementRecord::ILL_FORMED) == 0 && root.firstChild != 0 &&
           RecordAt(root.firstChild).nextSibling == 0;
  } catch (const std::bad_alloc&) {
    ResetToEmpty(u"Out of memory");
    return false;
  }
}

bool CXmlDoc::LoadText(std::u16string_view text) {
  if (static_cast<int64_t>(text.size()) > m_maxTextLength) {
    ResetToEmpty(u"Text too long for the element index");
    return false;
  }
  try {
    ++m_editStamp;
    if (text.size() > m_strText.capacity()) {
      m_strText.clear();
      GrowText(text.size());
    }
    m_strText.assign(text.data(), text.size());
    m_strMessages.clear();
  } catch (const std::exception&) {
    ResetToEmpty(u"Out of memory");
    return false;
  }
  return BuildIndex();
}

}  // namespace kelvane
