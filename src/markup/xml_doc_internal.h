// The markup engine's internals: the scanner the parser and the attribute
// search share, the parser's token reader, and the pieces of names and
// white space they read with. Included only by the engine's own files and
// its tests; hosts of CXmlDoc see xml_doc.h alone.
#ifndef KELVANE_MARKUP_XML_DOC_INTERNAL_H_
#define KELVANE_MARKUP_XML_DOC_INTERNAL_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "markup/xml_doc.h"

namespace kelvane {
namespace markup_internal {

// Scanning state shared by the parser and the attribute search.
struct TagScanner {
  enum : uint32_t {
    QUOTED = 0x8000,
    // Set by CXmlDoc::FindAttribute when the attribute found stands without
    // a value (the word range is then its name).
    NO_VALUE = 0x10000,
    // Set with QUOTED when the value found has no closing quote in the tag.
    UNCLOSED = 0x20000,
  };
  int32_t wordFirst = 0;
  int32_t wordLast = -1;  // wordFirst - 1 when the word is empty
  int32_t scanPos = 0;
  const char16_t* text = nullptr;
  uint32_t scanFlags = 0;
  int32_t gapStart = 0;
  int32_t gapLength = 0;
  // Set by CXmlDoc::FindAttribute with NO_VALUE: offset of an '=' that
  // follows the found name with no value before the tag's end (-1: none).
  int32_t danglingEquals = -1;
  // Characters of `text` the scanner may read; the end acts as the text's
  // terminating zero.
  int32_t textLength = 0;
};

// One entry of the parser's stack of open start tags.
struct OpenTag {
  enum : uint32_t { EMPTY_ELEMENT = 0x10000 };
  int32_t kind = 0;
  int32_t start = 0;
  int32_t length = 0;
  uint32_t tagFlags = 0;
  // Start tag: the element name; processing instruction: its target; error
  // token: the error message (may be empty).
  std::u16string name;
};

// Token kinds of ReadToken.
enum : int32_t {
  TOKEN_END_OF_TEXT = -2,
  TOKEN_ERROR = -1,
  TOKEN_END_TAG = 0,
  TOKEN_START_TAG = 1,
  TOKEN_TEXT = 2,
  TOKEN_WHITESPACE = 4,
  TOKEN_CDATA = 8,
  TOKEN_PI = 16,
  TOKEN_COMMENT = 32,
  TOKEN_DOCTYPE = 64,
};

// White space in markup: space, tab, line feed, carriage return.
inline bool IsMarkupSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

// Ends an element's name, in a start or end tag, for every reader of names
// (parser, element names, attribute search): white space, '/' or '>'.
inline bool EndsElementName(char16_t c) { return IsMarkupSpace(c) || c == u'/' || c == u'>'; }

// Advances `*offset` over white space (IsMarkupSpace) in the `length`
// characters of `text`; true when a character follows.
bool SkipSpaces(const char16_t* text, int32_t length, int32_t* offset);

// Whether the scanner's word (wordFirst..wordLast) names `wanted`: its
// characters equal the start of `wanted` (without regard to ASCII case under
// CXmlDoc::DOC_IGNORE_CASE) and `wanted` ends there or continues with one of
// " =/[]".
bool NameMatches(const TagScanner& scanner, std::u16string_view wanted);

// Reads the next markup token from scanner.scanPos into `entry`; returns its
// kind and moves scanPos past it.
int32_t ReadToken(TagScanner& scanner, OpenTag& entry);

// Reads one word of a tag from scanner.scanPos into wordFirst/wordLast;
// false at the end of the text.
bool ReadWord(TagScanner& scanner);

// EncodeMarkup appending to `out` (which keeps its capacity between calls).
void AppendEncodedMarkup(std::u16string* out, std::u16string_view source, uint32_t flags);

}  // namespace markup_internal
}  // namespace kelvane

#endif  // KELVANE_MARKUP_XML_DOC_INTERNAL_H_
