// CXmlDoc: an XML document held as one UTF-16 text plus an index of the
// elements in that text. The text is the document; reading an element looks
// up its record and reads the characters it points at, writing splices the
// text and then corrects the offsets in the index.
//
// Elements are addressed by positions: the sequence number of their record
// (32-bit, 0 = none, or the root record where a parent is meant). Records
// live in segments of at most 65,536, so growing the index never moves more
// than one segment.
//
// Failure contract of every operation below: an operation that returns false
// leaves the text, the index and the positions as they were (LoadText, which
// replaces the document in any case, is the exception: see there). Memory
// exhaustion is reported as false, never by an exception.
#ifndef KELVANE_MARKUP_XML_DOC_H_
#define KELVANE_MARKUP_XML_DOC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvane {

namespace markup_internal {
struct TagScanner;  // the parser's and attribute search's state (xml_doc_internal.h)
}  // namespace markup_internal

// One element of the index: eight 32-bit words.
struct ElementRecord {
  int32_t offset;       // offset of the element's '<' in the text
  int32_t extent;       // characters from the start tag's '<' to the end tag's '>'
  uint32_t tagLengths;  // low 22 bits: start-tag length; high 10 bits: end-tag length
  uint32_t state;       // low 16 bits: nesting level; high bits: state bits
  int32_t parent;       // 0 for a top-level element
  int32_t firstChild;   // 0 = none
  int32_t nextSibling;  // 0 for the last child
  int32_t prevSibling;  // for the first child: the last child

  enum : uint32_t {
    FIRST_CHILD = 0x00080000,
    UNENDED = 0x00100000,
    HAS_ERROR = 0x00200000,
    ILL_FORMED = 0x00800000,
    LEVEL_MASK = 0x0000FFFF,
    START_TAG_MASK = 0x003FFFFF,
  };
  static constexpr int32_t kMaxStartTagLength = 0x3FFFFF;  // 4,194,303
  static constexpr int32_t kMaxEndTagLength = 511;         // signed 10-bit field

  int32_t StartTagLength() const { return static_cast<int32_t>(tagLengths & START_TAG_MASK); }
  // The end-tag field is a signed 10-bit quantity.
  int32_t EndTagLength() const { return static_cast<int32_t>(tagLengths) >> 22; }
  uint32_t Level() const { return state & LEVEL_MASK; }
  void SetTagLengths(int32_t startTag, int32_t endTag) {
    tagLengths = (static_cast<uint32_t>(startTag) & START_TAG_MASK) |
                 (static_cast<uint32_t>(endTag) << 22);
  }
  void SetStartTagLength(int32_t startTag) { SetTagLengths(startTag, EndTagLength()); }
  void SetEndTagLength(int32_t endTag) { SetTagLengths(StartTagLength(), endTag); }
  // Levels deeper than the field can hold stay at its maximum.
  void SetLevel(uint32_t level) {
    state = (state & ~static_cast<uint32_t>(LEVEL_MASK)) | (level > LEVEL_MASK ? LEVEL_MASK : level);
  }
};
static_assert(sizeof(ElementRecord) == 32, "an element record is eight 32-bit words");

// EncodeMarkup flags.
enum : uint32_t {
  ENCODE_KEEP_ENTITIES = 0x8,
  ENCODE_ATTRIBUTE = 0x100,
};

class CXmlDoc {
 public:
  // AddElement flags.
  enum : uint32_t {
    ADD_CHILD = 0x4000,
    ADD_BEFORE = 0x2000,
    ADD_START_TAG_ONLY = 0x0010,
    ADD_SPACE_SLASH = 0x0004,
    ADD_NO_LINE_BREAK = 0x0002,
  };
  // Document options.
  enum : uint32_t { DOC_IGNORE_CASE = 0x8 };

  static constexpr int32_t kSegmentRecords = 65536;
  // Longest text the index can address with 32-bit offsets (with room for
  // the sums the engine forms).
  static constexpr int64_t kMaxTextLength = 0x7FFFFFF0;

  // An empty document (index of 8 slots, messages "Empty document").
  CXmlDoc();
  ~CXmlDoc();
  CXmlDoc(const CXmlDoc&) = delete;
  CXmlDoc& operator=(const CXmlDoc&) = delete;

  // ---- Parsing --------------------------------------------------------------

  // Replaces the text and rebuilds the index; messages report the first
  // problem found. True when the text is a well-formed document with exactly
  // one top-level element. A text whose offsets or tag lengths do not fit the
  // index is refused: the document is left empty (valid) with a message, and
  // the result is false. So is a load that runs out of memory.
  bool LoadText(std::u16string_view text);
  // Parses the current text again (see LoadText); used by construction.
  bool BuildIndex();

  // ---- Writing --------------------------------------------------------------

  // Writes a new element named `name` (not validated) and moves the
  // positions: without ADD_CHILD it becomes the current element, with it the
  // current child. False, with nothing changed, for ADD_CHILD without a
  // current element, or when the text or the tag-length fields would
  // overflow, or on memory exhaustion.
  bool AddElement(std::u16string_view name, uint32_t flags = 0);
  // The attribute names of AddChildWithAttributes, in order, checked once
  // for every element written with them: whether one splice gives what
  // setting them one by one gives (plain names no attribute search could
  // read as one another). Keeps the views, not the text: the names must
  // outlive the object.
  class AttributeNames {
   public:
    AttributeNames(const std::u16string_view* names, size_t count);
    const std::u16string_view* names() const { return names_; }
    size_t count() const { return count_; }
    bool oneSplice() const { return oneSplice_; }

   private:
    const std::u16string_view* names_;
    size_t count_;
    bool oneSplice_;
  };
  // Writes a new child element named `name` carrying the attributes
  // `names` with the values `values` (one per name), in one splice where
  // it can: the text, index and positions end as AddElement(name,
  // ADD_CHILD) followed by SetAttribute(ChildPosition(), ...) for each
  // attribute in order would leave them, including when one of those steps
  // would fail. False when the element could not be added (nothing
  // changed then). `allAttributes`, when given, tells whether every
  // attribute was set as well.
  bool AddChildWithAttributes(std::u16string_view name, const AttributeNames& names,
                              const std::u16string_view* values, bool* allAttributes = nullptr);
  // Sets attribute `name` of the element at `pos` to `value` (encoded),
  // replacing its value when present (an attribute without a value gets one),
  // else appending it to the start tag. False, with nothing changed, when
  // `pos` is 0 or not a taken position, the document has no current element,
  // a limit would overflow, or memory runs out.
  bool SetAttribute(int32_t pos, std::u16string_view name, std::u16string_view value);
  // The tag name of the element at `pos`, read as the parser reads it (empty
  // for 0 or an invalid position).
  std::u16string ElementName(int32_t pos) const;

  // ---- Navigation -----------------------------------------------------------

  // Descends: the current element becomes the parent, the child the current
  // element. False (nothing changed) without a current element.
  bool IntoElement();
  // Climbs: the parent becomes the current element, the former current
  // element the child. False (nothing changed) at top level.
  bool OutOfElement();

  // ---- File output ----------------------------------------------------------

  // Writes the text to `path`: UTF-16LE with byte-order mark when it declares
  // encoding="utf-16" (or "UTF-16"), else UTF-8 without one. True when the
  // file was opened, every byte written and the file put in place; messages
  // get the byte count or the platform's error text. The file at `path` is
  // replaced whole or not at all (see platform::OutputFile). Text, index
  // and positions are not changed.
  bool SaveFile(std::u16string_view path);

  // Raises the text's capacity to at least `capacity` units ahead of writes
  // expected to need it, so that a text known to become long grows once
  // rather than step by step. Text, index and positions are not changed.
  // False (nothing changed) on memory exhaustion or when `capacity` exceeds
  // the text limit.
  bool ReserveText(size_t capacity);

  // ---- Observers ------------------------------------------------------------

  const std::u16string& Text() const { return m_strText; }
  const std::u16string& Messages() const { return m_strMessages; }
  int32_t ParentPosition() const { return m_posParent; }
  int32_t CurrentPosition() const { return m_posCurrent; }
  int32_t ChildPosition() const { return m_posChild; }
  int32_t NodeKind() const { return m_nodeKind; }
  int32_t NextFreePosition() const { return m_posNextFree; }
  int32_t RecordCapacity() const { return m_recordCapacity; }
  int32_t SegmentTableSize() const { return m_segmentTableSize; }
  uint32_t DocFlags() const { return m_docFlags; }
  void SetDocFlags(uint32_t flags) { m_docFlags = flags; }
  // The record at `pos`, which must be below NextFreePosition() (0 is the
  // root record).
  const ElementRecord& Record(int32_t pos) const { return RecordAt(pos); }

  // Largest text length accepted (defaults to kMaxTextLength; tests lower it
  // to reach the limit with small texts).
  void SetTextLimitForTesting(int64_t limit) { m_maxTextLength = limit; }

 private:
  friend class CXmlDocTestAccess;

  // Index primitives, the edits every writing operation is made of.
  // Grows the index to at least `wanted` records (0: by half the records in
  // use), by at most one segment per call. False only on memory exhaustion,
  // with the index unchanged.
  bool ReserveRecords(int32_t wanted);
  // Replaces `removeCount` characters at `offset` by `replacement`; the index
  // is not touched. Arguments must lie inside the text. False (text
  // unchanged) on memory exhaustion or when the text would become too long.
  bool SpliceText(int32_t offset, int32_t removeCount, std::u16string_view replacement);
  // Corrects the index after `delta` characters were inserted (removed when
  // negative) inside or after the element at `pos`: following elements move,
  // ancestors grow; the element itself is left to the caller, its
  // descendants move unless `skipChildren`.
  void ShiftFollowing(int32_t pos, int32_t delta, bool skipChildren);


  // Raises the text's capacity to at least `capacity`, keeping the text.
  // Throws std::bad_alloc (text unchanged) on exhaustion.
  void GrowText(size_t capacity);

  ElementRecord& RecordAt(int32_t pos) { return m_segmentTable[pos >> 16][pos & 0xFFFF]; }
  const ElementRecord& RecordAt(int32_t pos) const { return m_segmentTable[pos >> 16][pos & 0xFFFF]; }

  // Parser internals (xml_parse.cc). ScanElements returns the first element
  // created; it sets `*refused` when a tag does not fit its length field.
  int32_t ScanElements(markup_internal::TagScanner& scanner, bool* refused);
  void ResetToEmpty(std::u16string_view message);

  // Writer internals (xml_write.cc).
  // Writes the element text held in m_scratch for a new element under
  // `parent` beside `*sibling`; on success gives its offset and the net
  // number of characters inserted, and leaves in `*sibling` the element to
  // link after (0: first child). False with nothing changed when a limit
  // would overflow or memory runs out.
  bool PlaceNewElement(int32_t parent, int32_t* sibling, uint32_t flags, int32_t* newOffset,
                       int32_t* delta);
  // Places the element text held in m_scratch, whose start tag is
  // `startTag` units long, as AddElement does with its own text.
  bool InsertElement(int32_t startTag, uint32_t flags);
  // Links record `element` into `parent`'s children right after `sibling`
  // (0: as the first child): its parent, sibling links, FIRST_CHILD bit and
  // level (under a parent other than the root) are set, its other fields
  // kept. Used by the parser as by the writer.
  void LinkElement(int32_t parent, int32_t sibling, int32_t element);
  // Ranges (first, last) of attribute-name words in a start tag.
  using NameRanges = std::vector<std::pair<int32_t, int32_t>>;
  // When `names` is not null and the attribute is not found, it receives
  // every attribute name word the search read.
  bool FindAttribute(markup_internal::TagScanner& scanner, std::u16string_view name,
                     NameRanges* names = nullptr) const;

  std::u16string m_strText;
  std::u16string m_strMessages;
  int32_t m_posParent = 0;
  int32_t m_posCurrent = 0;
  int32_t m_posChild = 0;
  int32_t m_posNextFree = 0;
  int32_t m_nodeKind = 0;
  uint32_t m_docFlags = 0;
  ElementRecord** m_segmentTable = nullptr;
  int32_t m_recordCapacity = 0;
  int32_t m_segmentTableSize = 0;

  int64_t m_maxTextLength = kMaxTextLength;
  // Reused buffer of the writer, so that appending costs no allocation.
  std::u16string m_scratch;
  // Counts text changes; a cached scan result is valid while it stands.
  uint64_t m_editStamp = 0;
  // What the last attribute search that found nothing learned of a start
  // tag: its attribute names and where a new attribute goes. Setting several
  // new attributes on one element then needs no rescan of the tag.
  struct AttributeCache {
    int32_t pos = 0;  // 0: nothing cached
    uint64_t stamp = 0;
    int32_t insertAt = 0;
    NameRanges names;
  } m_attributeCache;
};

// `source` with the markup characters replaced by entities: all five with
// ENCODE_ATTRIBUTE, else "<&>"; ENCODE_KEEP_ENTITIES leaves entity references
// already present as they are. With ENCODE_ATTRIBUTE tab, LF and CR become
// "&#9;", "&#10;" and "&#13;". Every code unit XML 1.0 does not allow (C0
// controls other than tab, LF and CR, lone surrogates, U+FFFE, U+FFFF)
// becomes U+FFFD, so the result is always character data a strict parser
// accepts; well-formed text without markup characters comes back unchanged.
std::u16string EncodeMarkup(std::u16string_view source, uint32_t flags);


}  // namespace kelvane

#endif  // KELVANE_MARKUP_XML_DOC_H_
