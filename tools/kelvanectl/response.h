// Reading the response documents the library writes: UTF-16LE text after a
// byte-order mark, one element per line, every value an attribute. pugixml
// reads the markup; what it lets pass but XML does not allow (see
// ParseResponse) is refused here. A malformed response is reported, never
// trusted.
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

// Reads the response `bytes` into *doc. Returns false with a reason in
// *error (what is wrong, and on which line) for bytes that are not UTF-16LE
// after a byte-order mark, a document without an element, tags that are not
// closed or do not nest, malformed tags, attributes, comments or
// declarations, a '<' or a malformed reference in an attribute value, a NUL,
// or a second top-level element; *doc then holds what was read before the
// fault.
// Attribute values are UTF-8 with their references decoded; lone
// surrogates become U+FFFD. Declarations, comments, document type
// declarations and text between elements are skipped.
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
