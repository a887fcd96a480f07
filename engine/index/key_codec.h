#pragma once
// Index keys: the byte encodings of the key types and the comparators that order them, and the
// normalization of key-expression texts. Character keys are the expression's text as stored
// (OEM when the table holds OEM text), compared byte by byte. Nothing here reads files.
//
// Numeric keys (tag types N and F), 12 bytes of packed decimal:
//
//   OFFSET SIZE MEANING
//   0      1    decimal exponent: 52 + digits before the point; for a value below 1, 52 minus
//               the zeros between the point and the first significant digit (52 for zero)
//   1      1    bit 7 sign (1 negative); bits 2..6 significant digits d (0..20); bit 0 always 1
//   2      10   up to 20 digits, two per byte, high nibble first, from the first significant
//               digit; unused nibbles 0
//
// Date keys (tag type D), 8 bytes: an IEEE double (little-endian) holding the Julian day number;
// a blank or invalid date is 1.0E100, so blank dates sort after every real date.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vx {

inline constexpr int kPackedLength = 12;
using PackedDecimal = std::array<std::uint8_t, kPackedLength>;

// Compares two keys over `length` bytes: negative, zero or positive.
using KeyComparator = int (*)(const std::uint8_t* a, const std::uint8_t* b, int length);

int CompareCharKeys(const std::uint8_t* a, const std::uint8_t* b, int length);
int CompareCharKeysDescending(const std::uint8_t* a, const std::uint8_t* b, int length);
// Character keys as a comparison of signed bytes orders them (bytes 128..255 before ASCII):
// the collation some other writers use, recognised by the checker (see index_check.h).
int CompareSignedCharKeys(const std::uint8_t* a, const std::uint8_t* b, int length);
int CompareSignedCharKeysDescending(const std::uint8_t* a, const std::uint8_t* b, int length);
int ComparePackedKeys(const std::uint8_t* a, const std::uint8_t* b, int length);
int ComparePackedKeysDescending(const std::uint8_t* a, const std::uint8_t* b, int length);
int CompareDoubleKeys(const std::uint8_t* a, const std::uint8_t* b, int length);
int CompareDoubleKeysDescending(const std::uint8_t* a, const std::uint8_t* b, int length);

// The comparator of a tag: header type N or F packs decimals; otherwise a character result
// compares bytes and a date or number result compares doubles. Null for any other result type.
KeyComparator ChooseComparator(char header_type, char result_type, bool descending);

// Packs the text of a number formatted with `decimals` decimals: blanks and a sign in front,
// then digits with at most one decimal point; any other character ends the number. At most 20
// significant digits are kept. d counts the digits up to the last nonzero one, raised to 10
// when smaller; but when the text has a point and fewer trailing zeros than `decimals`, d
// counts every digit packed, trailing zeros included, and is not raised.
PackedDecimal TextToPacked(std::string_view text, int decimals = 0);
// Packs a number formatted with `decimals` decimals.
PackedDecimal DoubleToPacked(double value, int decimals);
// The value of a packed decimal (for display and checks).
double PackedToDouble(const std::uint8_t* packed);

// The 8 bytes of a date key (day number as a double) and back.
std::array<std::uint8_t, 8> DoubleKey(double value);
double KeyDouble(const std::uint8_t* key);

// Normalizes a key or FOR expression read from a tag header: outside quoted literals letters go
// to upper case and blanks and tabs are dropped; both quote characters open and close a literal
// and are written as '"'; literals are kept as they are.
std::string NormalizeKeyExpression(std::string_view text);
// The second mode, for the marker text of tags built by a caller's key routine: a blank or tab
// stays (as one blank) unless followed by the end, a blank, a tab, a quote or '='; quotes stay.
std::string NormalizeMarkerText(std::string_view text);

// The text of tags whose keys came from a caller-supplied key routine.
inline constexpr std::string_view kUserKeyMakerText =
    "User defined KeyMaker was used to build this index";

}  // namespace vx
