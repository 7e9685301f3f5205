#include "response.h"

#include <cstdint>

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

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameEnd(char c) { return IsSpace(c) || c == '/' || c == '>' || c == '=' || c == '<'; }

// Parses the reference that starts at text[pos] ('&'); on success stores the
// code point and the length of the reference.
bool ParseReference(std::string_view text, size_t pos, char32_t* cp, size_t* length) {
  size_t end = text.find(';', pos);
  if (end == std::string_view::npos || end - pos > 12) return false;
  std::string_view body = text.substr(pos + 1, end - pos - 1);
  *length = end - pos + 1;
  if (body == "lt") return *cp = '<', true;
  if (body == "gt") return *cp = '>', true;
  if (body == "amp") return *cp = '&', true;
  if (body == "apos") return *cp = '\'', true;
  if (body == "quot") return *cp = '"', true;
  if (body.size() < 2 || body[0] != '#') return false;
  bool hex = body[1] == 'x' || body[1] == 'X';
  std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty()) return false;
  uint32_t value = 0;
  for (char c : digits) {
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0x10FFFF) value = 0x110000;  // stays invalid, never overflows
  }
  bool valid = value != 0 && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
  *cp = valid ? value : 0xFFFD;
  return true;
}

}  // namespace

bool DecodeUtf16Le(std::string_view bytes, std::string* utf8, std::string* error) {
  if (!HasBom(bytes)) {
    *error = "the response does not start with a UTF-16LE byte-order mark";
    return false;
  }
  if (bytes.size() % 2 != 0) {
    *error = "the response has an odd number of bytes";
    return false;
  }
  *utf8 = Utf16LeToUtf8(bytes.substr(2));
  return true;
}

std::string DecodeReferences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) {
      out.append(text.substr(pos));
      break;
    }
    out.append(text.substr(pos, amp - pos));
    char32_t cp;
    size_t length;
    if (ParseReference(text, amp, &cp, &length)) {
      AppendUtf8(&out, cp);
      pos = amp + length;
    } else {
      out.push_back('&');
      pos = amp + 1;
    }
  }
  return out;
}

bool ParseMarkup(std::string_view s, ResponseDocument* doc, std::string* error) {
  doc->elements.clear();
  std::vector<int> open;  // indices of the elements whose end tag is pending
  auto fail = [&](const std::string& what, size_t at) {
    *error = what + " at byte " + std::to_string(at);
    return false;
  };
  size_t pos = 0;
  bool root_closed = false;
  while (true) {
    size_t lt = s.find('<', pos);
    if (lt == std::string_view::npos) break;
    if (s.compare(lt, 4, "<!--") == 0) {
      size_t end = s.find("-->", lt + 4);
      if (end == std::string_view::npos) return fail("unterminated comment", lt);
      pos = end + 3;
      continue;
    }
    if (s.compare(lt, 2, "<?") == 0) {
      size_t end = s.find("?>", lt + 2);
      if (end == std::string_view::npos) return fail("unterminated declaration", lt);
      pos = end + 2;
      continue;
    }
    if (s.compare(lt, 2, "<!") == 0) {
      size_t end = s.find('>', lt + 2);
      if (end == std::string_view::npos) return fail("unterminated declaration", lt);
      pos = end + 1;
      continue;
    }
    if (s.compare(lt, 2, "</") == 0) {
      size_t i = lt + 2;
      size_t start = i;
      while (i < s.size() && !IsNameEnd(s[i])) ++i;
      std::string_view name = s.substr(start, i - start);
      while (i < s.size() && IsSpace(s[i])) ++i;
      if (i >= s.size() || s[i] != '>') return fail("unterminated end tag", lt);
      if (open.empty()) return fail("end tag </" + std::string(name) + "> without a start tag", lt);
      const std::string& expected = doc->elements[static_cast<size_t>(open.back())].name;
      if (name != expected) {
        return fail("end tag </" + std::string(name) + "> does not close <" + expected + ">", lt);
      }
      open.pop_back();
      if (open.empty()) root_closed = true;
      pos = i + 1;
      continue;
    }
    // A start tag or an empty-element tag.
    if (root_closed) return fail("a second top-level element", lt);
    size_t i = lt + 1;
    size_t start = i;
    while (i < s.size() && !IsNameEnd(s[i])) ++i;
    if (i == start) return fail("a tag without a name", lt);
    XmlElement element;
    element.name = std::string(s.substr(start, i - start));
    element.parent = open.empty() ? -1 : open.back();
    element.depth = static_cast<int>(open.size());
    bool empty = false;
    while (true) {
      while (i < s.size() && IsSpace(s[i])) ++i;
      if (i >= s.size()) return fail("unterminated tag <" + element.name + ">", lt);
      if (s[i] == '>') {
        ++i;
        break;
      }
      if (s[i] == '/') {
        if (i + 1 >= s.size() || s[i + 1] != '>') return fail("stray '/' in a tag", i);
        empty = true;
        i += 2;
        break;
      }
      size_t name_start = i;
      while (i < s.size() && !IsNameEnd(s[i])) ++i;
      if (i == name_start) return fail("malformed attribute", i);
      XmlAttribute attribute;
      attribute.name = std::string(s.substr(name_start, i - name_start));
      while (i < s.size() && IsSpace(s[i])) ++i;
      if (i >= s.size() || s[i] != '=') return fail("attribute " + attribute.name + " without a value", i);
      ++i;
      while (i < s.size() && IsSpace(s[i])) ++i;
      if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return fail("attribute value without quotes", i);
      char quote = s[i];
      size_t close = s.find(quote, i + 1);
      if (close == std::string_view::npos) return fail("unterminated attribute value", i);
      std::string_view raw = s.substr(i + 1, close - i - 1);
      if (raw.find('<') != std::string_view::npos) return fail("'<' inside an attribute value", i);
      attribute.value = DecodeReferences(raw);
      element.attributes.push_back(std::move(attribute));
      i = close + 1;
      if (i < s.size() && !IsSpace(s[i]) && s[i] != '>' && s[i] != '/') {
        return fail("attributes not separated by white space", i);
      }
    }
    doc->elements.push_back(std::move(element));
    if (empty) {
      if (open.empty()) root_closed = true;
    } else {
      open.push_back(static_cast<int>(doc->elements.size() - 1));
    }
    pos = i;
  }
  if (doc->elements.empty()) {
    *error = "the response holds no element";
    return false;
  }
  if (!open.empty()) {
    *error = "the response ends before </" + doc->elements[static_cast<size_t>(open.back())].name + ">";
    return false;
  }
  return true;
}

bool ParseResponse(std::string_view bytes, ResponseDocument* doc, std::string* error) {
  std::string utf8;
  if (!DecodeUtf16Le(bytes, &utf8, error)) {
    doc->elements.clear();
    return false;
  }
  return ParseMarkup(utf8, doc, error);
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
