#pragma once
// Numbers and their decimal text: reading them as numeric literals, numeric fields and VAL read
// them, and writing them with a fixed number of decimals as STR, ROUND, numeric index keys and
// every writer of a number field (N, F) write them.
//
// Rounding is decimal, half away from zero, as dBASE rounds its decimal numbers. A double holds
// most decimal fractions only approximately (2.675 is 2.67499999999999982236431605997495353221),
// so it is first read as its 15 significant decimal digits, the precision a double keeps for
// every decimal number, and then rounded: ROUND(2.675, 2) is 2.68 and STR(0.125, 6, 2) is
// "  0.13", as for the decimal numbers the user wrote. Numbers of 1e15 and more have no
// fraction to round at that precision and are written from their exact binary value.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vx {

// The number at the start of `text`: leading blanks, an optional sign, digits with an optional
// fraction, and an optional exponent ("E" with an optional sign and digits). Whatever follows is
// ignored; text that does not start with a number gives 0.
double LeadingNumber(std::string_view text);

// `n` rounded half away from zero to `decimals` decimals (a negative count rounds to tens,
// hundreds, ...). Infinities and NaN are returned unchanged.
double RoundDecimal(double n, int decimals);

// `n` in fixed-point notation with `decimals` decimals (0..kMaxFixedDecimals), rounded half
// away from zero; a result that rounds to zero carries no sign. "inf", "-inf" or "nan" for
// numbers without a value.
std::string FixedText(double n, int decimals);
inline constexpr int kMaxFixedDecimals = 300;

// The text a number field `width` wide with `decimals` decimals stores for `n`: FixedText
// right-aligned in blanks, so 2.675 into N 8,2 is "    2.68", 2.5 into N 3,0 is "  3" and -0.4
// into N 3,0 is "  0" (never "-0"). No value when the text is wider than the field or `n` is
// not finite; a field of width 0 holds only zero (as "").
std::optional<std::string> NumberFieldText(double n, int width, int decimals);

}  // namespace vx
