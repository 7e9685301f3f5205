// Text helpers of the kelvanectl host: UTF-8 <-> UTF-16 conversion, the
// display width of UTF-8 text on a terminal, and cutting and padding to a
// width without ever splitting a UTF-8 sequence.
#ifndef KELVANECTL_UTF_H_
#define KELVANECTL_UTF_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvanectl {

// Invalid input (malformed or overlong UTF-8, lone surrogates) becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Utf16ToUtf8 of the code units in `bytes`, read as UTF-16LE; a trailing odd
// byte is ignored.
std::string Utf16LeToUtf8(std::string_view bytes);

// The UTF-8 form of `code_point`, U+FFFD for surrogates and values beyond
// U+10FFFF: its length in bytes, and the bytes written to `out` (room for
// 4 bytes).
inline size_t Utf8Length(char32_t code_point) {
  if (code_point < 0x80) return 1;
  if (code_point < 0x800) return 2;
  if (code_point < 0x10000 || code_point > 0x10FFFF) return 3;
  return 4;
}
inline size_t EncodeUtf8(char32_t code_point, char* out) {
  char32_t cp = code_point;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Appends the UTF-8 form of `code_point` (see EncodeUtf8).
void AppendUtf8(std::string* out, char32_t code_point);

// The code units of UTF-16LE bytes, as NextUtf16 reads them: unit `i` is
// bytes 2i and 2i + 1.
struct Utf16LeUnits {
  const unsigned char* bytes;
  char32_t operator()(size_t i) const { return bytes[2 * i] | (bytes[2 * i + 1] << 8); }
};

// The code point at UTF-16 unit `unit(*i)` of `count` units. A high
// surrogate followed by a low one gives their pair, and *i is advanced to
// the low one; any other surrogate gives U+FFFD.
template <typename UnitAt>
char32_t NextUtf16(UnitAt unit, size_t count, size_t* i) {
  const char32_t cp = unit(*i);
  if (cp < 0xD800 || cp > 0xDFFF) return cp;
  if (cp <= 0xDBFF && *i + 1 < count) {
    const char32_t low = unit(*i + 1);
    if (low >= 0xDC00 && low <= 0xDFFF) {
      ++*i;
      return 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
  }
  return 0xFFFD;
}

// Decodes the code point that starts at `text[*pos]` and advances *pos past
// it; a malformed sequence yields U+FFFD and advances by one byte.
char32_t NextCodePoint(std::string_view text, size_t* pos);

// Columns a code point takes on a terminal: 0 for combining marks, 2 for
// East Asian wide and full-width characters, 1 otherwise.
int CodePointWidth(char32_t code_point);

// Columns `text` takes on a terminal.
size_t DisplayWidth(std::string_view text);

// The longest prefix of `text` that fits in `width` columns; it ends on a
// code point boundary.
std::string CutToWidth(std::string_view text, size_t width);

// `text` cut to `width` columns, then padded with spaces to exactly `width`
// columns (on the right, or on the left when `right_align`).
std::string FitToWidth(std::string_view text, size_t width, bool right_align = false);

// `text` made safe for a terminal: tab, line feed and carriage return become
// spaces, other control characters (C0, DEL, C1) become '?', and the
// bidirectional controls (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066
// to U+2069), which would reorder what follows on the line, become U+FFFD.
// Keeps the line structure of nothing: meant for one table cell.
std::string SanitizeCell(std::string_view text);

}  // namespace kelvanectl

#endif  // KELVANECTL_UTF_H_
