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

// Appends the UTF-8 form of `code_point` (U+FFFD for surrogates and values
// beyond U+10FFFF).
void AppendUtf8(std::string* out, char32_t code_point);

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
// spaces, other control characters (C0, DEL, C1) become '?'. Keeps the line
// structure of nothing: meant for one table cell.
std::string SanitizeCell(std::string_view text);

}  // namespace kelvanectl

#endif  // KELVANECTL_UTF_H_
