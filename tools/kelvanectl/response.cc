#include "response.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <system_error>

#include <pugixml.hpp>

#include "utf.h"

namespace kelvanectl {

const std::string* XmlElement::Find(std::string_view attribute) const {
  for (const XmlAttribute& a : attributes) {
    if (a.name == attribute) return &a.value;
  }
  return nullptr;
}

std::string XmlElement::Get(std::string_view attribute, std::string_view fallback) const {
  const std::string* value = Find(attribute);
  return value != nullptr ? *value : std::string(fallback);
}

size_t ResponseDocument::SubtreeEnd(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= elements.size()) return 0;
  const int depth = elements[static_cast<size_t>(index)].depth;
  size_t end = static_cast<size_t>(index) + 1;
  while (end < elements.size() && elements[end].depth > depth) ++end;
  return end;
}

std::vector<int> ResponseDocument::Children(int index, std::string_view name) const {
  std::vector<int> out;
  const size_t end = SubtreeEnd(index);
  for (size_t i = static_cast<size_t>(index) + 1; i < end; ++i) {
    if (elements[i].parent == index && elements[i].name == name) out.push_back(static_cast<int>(i));
  }
  return out;
}

int ResponseDocument::Child(int index, std::string_view name) const {
  const size_t end = SubtreeEnd(index);
  for (size_t i = static_cast<size_t>(index) + 1; i < end; ++i) {
    if (elements[i].parent == index && elements[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

namespace {

bool HasBom(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xFE;
}

// " on line N" for byte `offset` of the response's text (its bytes decoded
// again: the parsed copy was changed by the parse).
std::string OnLine(std::string_view bytes, ptrdiff_t offset) {
  const std::string text = Utf16LeToUtf8(bytes.substr(2));
  const size_t end = std::min(text.size(), static_cast<size_t>(std::max<ptrdiff_t>(offset, 0)));
  return " on line " + std::to_string(1 + std::count(text.begin(), text.begin() + static_cast<ptrdiff_t>(end), '\n'));
}

// What pugixml found wrong, in the words of the other messages.
std::string Problem(const pugi::xml_parse_result& result) {
  switch (result.status) {
    case pugi::status_out_of_memory: return "not enough memory to read it";
    case pugi::status_unrecognized_tag: return "an unrecognised tag";
    case pugi::status_bad_pi: return "a malformed declaration or processing instruction";
    case pugi::status_bad_comment: return "a malformed comment";
    case pugi::status_bad_cdata: return "a malformed CDATA section";
    case pugi::status_bad_doctype: return "a malformed document type declaration";
    case pugi::status_bad_pcdata: return "malformed text";
    case pugi::status_bad_start_element: return "a malformed start tag";
    case pugi::status_bad_attribute: return "a malformed attribute";
    case pugi::status_bad_end_element: return "a malformed end tag";
    case pugi::status_end_element_mismatch: return "a missing or mismatched end tag";
    default: return result.description();
  }
}

// The character a reference names (`name` is the text between '&' and
// ';'): one of the five predefined entities, or a decimal or hexadecimal
// character reference to a character XML allows.
bool ReferencedCharacter(std::string_view name, char32_t* cp) {
  static constexpr struct {
    std::string_view name;
    char character;
  } kEntities[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
  for (const auto& entity : kEntities) {
    if (name == entity.name) return *cp = static_cast<char32_t>(entity.character), true;
  }
  if (name.size() < 2 || name[0] != '#') return false;
  const bool hex = name[1] == 'x';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  const char* const last = digits.data() + digits.size();
  uint32_t value = 0;
  const auto [end, status] = std::from_chars(digits.data(), last, value, hex ? 16 : 10);
  if (digits.empty() || status != std::errc() || end != last) return false;
  *cp = value;
  return value == 0x9 || value == 0xA || value == 0xD || (value >= 0x20 && value <= 0xD7FF) ||
         (value >= 0xE000 && value <= 0xFFFD) || (value >= 0x10000 && value <= 0x10FFFF);
}

// An attribute value as written (pugixml has turned its white space into
// spaces, as XML asks, and left its references alone), with its references
// decoded into *value. False for what XML does not allow in a value: a '<',
// or an '&' that does not start a reference ReferencedCharacter accepts.
bool DecodeValue(std::string_view raw, std::string* value) {
  value->clear();
  if (raw.find('<') != std::string_view::npos) return false;
  size_t pos = 0;
  while (true) {
    const size_t amp = raw.find('&', pos);
    value->append(raw.substr(pos, amp - pos));
    if (amp == std::string_view::npos) return true;
    const size_t semicolon = raw.find(';', amp);
    char32_t cp;
    if (semicolon == std::string_view::npos || !ReferencedCharacter(raw.substr(amp + 1, semicolon - amp - 1), &cp)) {
      return false;
    }
    AppendUtf8(value, cp);
    pos = semicolon + 1;
  }
}

// Copies `root` and the elements below it into *doc in document order.
// Stops at the first attribute value DecodeValue refuses: returns false
// with the attribute's name in *attribute and its element in *element.
bool CopyElements(pugi::xml_node root, ResponseDocument* doc, std::string* attribute, pugi::xml_node* element) {
  int parent = -1;  // the index of the parent element of `node`
  pugi::xml_node node = root;
  while (true) {
    if (node.type() == pugi::node_element) {
      XmlElement copy;
      copy.name = node.name();
      copy.parent = parent;
      copy.depth = parent < 0 ? 0 : doc->elements[static_cast<size_t>(parent)].depth + 1;
      for (pugi::xml_attribute a : node.attributes()) {
        copy.attributes.push_back({a.name(), std::string()});
        if (!DecodeValue(a.value(), &copy.attributes.back().value)) {
          *attribute = a.name();
          *element = node;
          return false;
        }
      }
      doc->elements.push_back(std::move(copy));
      if (pugi::xml_node child = node.first_child()) {
        parent = static_cast<int>(doc->elements.size() - 1);
        node = child;
        continue;
      }
    }
    // Past `node` and what it holds: its next sibling, or the next sibling
    // of its nearest ancestor that has one.
    while (node != root && !node.next_sibling()) {
      node = node.parent();
      parent = doc->elements[static_cast<size_t>(parent)].parent;
    }
    if (node == root) return true;
    node = node.next_sibling();
  }
}

}  // namespace

bool ParseResponse(std::string_view bytes, ResponseDocument* doc, std::string* error) {
  doc->elements.clear();
  if (!HasBom(bytes)) {
    *error = "the response does not start with a UTF-16LE byte-order mark";
    return false;
  }
  if (bytes.size() % 2 != 0) {
    *error = "the response has an odd number of bytes";
    return false;
  }
  // Decoded here rather than by pugixml, which drops a lone surrogate where
  // the other views of the response show U+FFFD.
  std::string text = Utf16LeToUtf8(bytes.substr(2));
  // pugixml's text ends at a NUL; XML allows none anywhere.
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    *error = "a NUL character" + OnLine(bytes, static_cast<ptrdiff_t>(nul));
    return false;
  }
  // Parsed in place (the document's strings point into `text`). Text
  // between elements, comments and declarations are skipped, once pugixml
  // has found where they end.
  pugi::xml_document parsed;
  const pugi::xml_parse_result result =
      parsed.load_buffer_inplace(&text[0], text.size(), pugi::parse_wconv_attribute, pugi::encoding_utf8);
  if (result.status == pugi::status_no_document_element) {
    *error = "the response holds no element";
    return false;
  }
  // What was read is kept even when the response is refused.
  const pugi::xml_node root = parsed.document_element();
  std::string attribute;
  pugi::xml_node element;
  const bool copied = !root || CopyElements(root, doc, &attribute, &element);
  if (!result) {
    *error = Problem(result) + OnLine(bytes, result.offset);
    return false;
  }
  if (!copied) {
    *error = "attribute " + attribute + " of <" + element.name() + "> holds a '<' or a malformed reference" +
             OnLine(bytes, element.offset_debug());
    return false;
  }
  for (pugi::xml_node next = root.next_sibling(); next; next = next.next_sibling()) {
    if (next.type() == pugi::node_element) {
      *error = "a second top-level element" + OnLine(bytes, next.offset_debug());
      return false;
    }
  }
  return true;
}

std::string ReadableText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() / 2 + 1);
  WriteReadableText(bytes, [&out](std::string_view piece) { out.append(piece); });
  return out;
}

void WriteReadableText(std::string_view bytes, const std::function<void(std::string_view)>& write) {
  constexpr size_t kPieceBytes = 65536;
  if (HasBom(bytes)) bytes.remove_prefix(2);
  const Utf16LeUnits unit{reinterpret_cast<const unsigned char*>(bytes.data())};
  const size_t count = bytes.size() / 2;
  // Room for one more character (4 bytes) after the piece is full.
  std::string piece(kPieceBytes + 8, '\0');
  char* out = &piece[0];
  size_t used = 0;
  char last = '\0';  // the last character handed out; '\0' while none was
  auto flush = [&] {
    last = out[used - 1];
    write(std::string_view(out, used));
    used = 0;
  };
  for (size_t i = 0; i < count; ++i) {
    char32_t cp = unit(i);
    // Most of a response is printable ASCII: stored as it is, with no
    // further test until the piece is full.
    if (cp - 0x20 < 0x5F) {
      out[used++] = static_cast<char>(cp);
      while (used < kPieceBytes && i + 1 < count) {
        const char32_t next = unit(i + 1);
        if (next - 0x20 >= 0x5F) break;
        out[used++] = static_cast<char>(next);
        ++i;
      }
    } else if (cp < 0x80) {
      if (cp == '\r' && i + 1 < count && unit(i + 1) == '\n') continue;
      if ((cp < 0x20 && cp != '\n' && cp != '\t') || cp == 0x7F) cp = '?';
      out[used++] = static_cast<char>(cp);
    } else if (cp <= 0x9F) {
      out[used++] = '?';  // a C1 control character
    } else {
      used += EncodeUtf8(NextUtf16(unit, count, &i), out + used);
    }
    if (used >= kPieceBytes) flush();
  }
  if (used > 0) flush();
  if (last != '\0' && last != '\n') write("\n");
}

}  // namespace kelvanectl
