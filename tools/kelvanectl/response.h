// Reading the response documents the library writes: UTF-16LE text after a
// byte-order mark, one element per line, every value an attribute. The
// parser is deliberately small and strict about structure (tags must nest)
// but never trusts the input: any malformation is reported, never crashes.
#ifndef KELVANECTL_RESPONSE_H_
#define KELVANECTL_RESPONSE_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvanectl {

struct XmlAttribute {
  std::string name;   // UTF-8
  std::string value;  // UTF-8, entity and character references decoded
};

struct XmlElement {
  std::string name;
  std::vector<XmlAttribute> attributes;  // in document order
  int parent = -1;                       // index into ResponseDocument::elements
  int depth = 0;                         // 0 for the root

  // The value of the first attribute called `name`, or nullptr.
  const std::string* Find(std::string_view attribute) const;
  // The value of `name`, or `fallback` when the element has no such attribute.
  std::string Get(std::string_view attribute, std::string_view fallback = "") const;
};

struct ResponseDocument {
  std::vector<XmlElement> elements;  // document order; elements[0] is the root

  // Indices of the direct children of element `index` named `name`, in
  // document order; none for an index that names no element.
  std::vector<int> Children(int index, std::string_view name) const;
  // Index of the first direct child of `index` named `name`, or -1.
  int Child(int index, std::string_view name) const;

 private:
  // One past the last descendant of element `index` (elements are in
  // document order, so a subtree is one run); `index` itself when it names
  // no element.
  size_t SubtreeEnd(int index) const;
};

// The text of a UTF-16LE file with byte-order mark, as UTF-8. Returns false
// (with a reason in *error) when the mark is missing or the byte count is
// odd. Lone surrogates become U+FFFD.
bool DecodeUtf16Le(std::string_view bytes, std::string* utf8, std::string* error);

// Decodes the five predefined entities and decimal / hexadecimal character
// references. A reference that is unknown or malformed stays as written; a
// character reference to an invalid code point becomes U+FFFD.
std::string DecodeReferences(std::string_view text);

// Parses the markup of `utf8` into *doc. Declarations, comments, document
// type declarations and text between elements are skipped. Returns false
// with a reason in *error for a document without an element, a tag that is
// not closed, a mismatched or missing end tag, or a malformed attribute;
// *doc then holds what was read before the fault.
bool ParseMarkup(std::string_view utf8, ResponseDocument* doc, std::string* error);

// DecodeUtf16Le followed by ParseMarkup.
bool ParseResponse(std::string_view bytes, ResponseDocument* doc, std::string* error);

// The response as a person reads it: UTF-8 without the byte-order mark,
// CRLF line ends turned into LF, and control characters other than tab and
// line feed shown as '?'. Bytes without the mark are taken as UTF-16LE all
// the same.
std::string ReadableText(std::string_view bytes);

// ReadableText(bytes) handed to `write` piece by piece (pieces of about
// 64 KiB), so that no copy of the whole text is ever held.
void WriteReadableText(std::string_view bytes, const std::function<void(std::string_view)>& write);

}  // namespace kelvanectl

#endif  // KELVANECTL_RESPONSE_H_
