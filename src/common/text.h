// Text helpers shared by every subsystem: bounded copies into the
// fixed-capacity UTF-16 fields of the records, white-space trimming, the
// decimal conversion used for process ids and priorities, and UTF-8/UTF-16
// conversion.
#ifndef KELVANE_COMMON_TEXT_H_
#define KELVANE_COMMON_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelvane {

// `text` cut to at most `maxUnits` units, one fewer when the cut would leave
// the high half of a surrogate pair as the last unit.
std::u16string_view CutToUnits(std::u16string_view text, size_t maxUnits);

// Copies `src` into `dst`, a field of `capacity` units (terminator
// included), and terminates it. Copies at most capacity - 1 units and never
// leaves the high half of a surrogate pair as the last unit. Returns the
// number of units copied. `capacity` 0 writes nothing.
size_t CopyBounded(char16_t* dst, size_t capacity, std::u16string_view src);

template <size_t N>
size_t CopyToField(char16_t (&dst)[N], std::u16string_view src) {
  return CopyBounded(dst, N, src);
}

// Length of a zero-terminated UTF-16 text stored in a field of `capacity`
// units (never reads past the field).
size_t FieldLength(const char16_t* field, size_t capacity);

template <size_t N>
std::u16string_view FieldView(const char16_t (&field)[N]) {
  return std::u16string_view(field, FieldLength(field, N));
}

// Wide-character white space: tab, line feed, vertical tab, form feed,
// carriage return, space and the other Unicode spaces.
bool IsWideSpace(char16_t c);

// `text` without leading and trailing wide-character white space.
std::u16string_view TrimSpaces(std::u16string_view text);

// Decimal conversion the way _wtol does it: leading white space, one
// optional sign, digits up to the first non-digit; no digits gives 0. Values
// beyond the 32-bit range saturate at INT32_MIN / INT32_MAX.
int32_t WideToLong(std::u16string_view text);

// UTF-8 <-> UTF-16. Invalid input (bad UTF-8 sequences, lone surrogates) is
// replaced by U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// ASCII-only widening of a literal or number text.
std::u16string Widen(std::string_view ascii);

// Decimal formatting ("%d" and "%I64d").
std::u16string FormatDecimal(int64_t value);

}  // namespace kelvane

#endif  // KELVANE_COMMON_TEXT_H_
