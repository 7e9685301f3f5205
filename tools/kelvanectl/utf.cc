#include "utf.h"

namespace kelvanectl {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

void AppendUtf8(std::string* out, char32_t cp) {
  char bytes[4];
  out->append(bytes, EncodeUtf8(cp, bytes));
}

char32_t NextCodePoint(std::string_view text, size_t* pos) {
  size_t i = *pos;
  unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length;
  char32_t cp;
  char32_t minimum;
  if (lead < 0x80) {
    *pos = i + 1;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    *pos = i + 1;
    return kReplacement;
  }
  if (text.size() - i < length) {
    *pos = i + 1;
    return kReplacement;
  }
  for (size_t k = 1; k < length; ++k) {
    unsigned char c = static_cast<unsigned char>(text[i + k]);
    if (!IsContinuation(c)) {
      *pos = i + 1;
      return kReplacement;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    *pos = i + 1;
    return kReplacement;
  }
  *pos = i + length;
  return cp;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = NextCodePoint(text, &pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

namespace {

// Writes the UTF-8 form of the `count` code units `unit(0..count-1)` to
// `out` (nothing when null) and returns its length in bytes. A surrogate
// that is not part of a pair becomes U+FFFD.
template <typename UnitAt>
size_t EncodeUtf16AsUtf8(UnitAt unit, size_t count, char* out) {
  size_t length = 0;
  for (size_t i = 0; i < count; ++i) {
    const char32_t cp = NextUtf16(unit, count, &i);
    length += out != nullptr ? EncodeUtf8(cp, out + length) : Utf8Length(cp);
  }
  return length;
}

// Measures, then fills a string of exactly the right length.
template <typename UnitAt>
std::string ConvertUtf16(UnitAt unit, size_t count) {
  std::string out(EncodeUtf16AsUtf8(unit, count, nullptr), '\0');
  if (!out.empty()) EncodeUtf16AsUtf8(unit, count, &out[0]);
  return out;
}

}  // namespace

std::string Utf16ToUtf8(std::u16string_view text) {
  const char16_t* units = text.data();
  return ConvertUtf16([units](size_t i) -> char32_t { return units[i]; }, text.size());
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  return ConvertUtf16(Utf16LeUnits{reinterpret_cast<const unsigned char*>(bytes.data())},
                      bytes.size() / 2);
}

int CodePointWidth(char32_t cp) {
  if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x1AB0 && cp <= 0x1AFF) ||
      (cp >= 0x1DC0 && cp <= 0x1DFF) || (cp >= 0x20D0 && cp <= 0x20FF) ||
      (cp >= 0xFE20 && cp <= 0xFE2F) || cp == 0x200B || cp == 0x200C || cp == 0x200D) {
    return 0;
  }
  if ((cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
      (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
      (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
      (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD)) {
    return 2;
  }
  return 1;
}

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  size_t pos = 0;
  while (pos < text.size()) width += static_cast<size_t>(CodePointWidth(NextCodePoint(text, &pos)));
  return width;
}

std::string CutToWidth(std::string_view text, size_t width) {
  size_t used = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = pos;
    size_t w = static_cast<size_t>(CodePointWidth(NextCodePoint(text, &next)));
    if (used + w > width) break;
    used += w;
    pos = next;
  }
  return std::string(text.substr(0, pos));
}

std::string FitToWidth(std::string_view text, size_t width, bool right_align) {
  std::string cut = CutToWidth(text, width);
  std::string padding(width - DisplayWidth(cut), ' ');
  return right_align ? padding + cut : cut + padding;
}

namespace {

// The characters that steer bidirectional display (Unicode's Bidi_Control
// set): embeddings, overrides and isolates, their terminators, and the
// implicit marks. In a cell they would reorder the columns after it.
bool IsBidiControl(char32_t cp) {
  return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

std::string SanitizeCell(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t cp = NextCodePoint(text, &pos);
    if (cp == '\t' || cp == '\n' || cp == '\r') {
      out.push_back(' ');
    } else if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F)) {
      out.push_back('?');
    } else if (IsBidiControl(cp)) {
      AppendUtf8(&out, 0xFFFD);
    } else {
      AppendUtf8(&out, cp);
    }
  }
  return out;
}

}  // namespace kelvanectl
