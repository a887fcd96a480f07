#pragma once
// The value rules of the operators and functions that need more than a line, over plain
// values. String results are written to `out` (room for kMaxStringLength characters) and
// their length answered; they are cut to kMaxStringLength.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/expr/expression.h"
#include "engine/foundation/dates.h"

namespace vx::expr {

// trunc(x) as a count or code: NaN gives 0, values beyond the 64-bit range stop at its ends.
std::int64_t TruncCount(double x);
// a ^ b, exact for whole exponents (2 ^ 3 is 8); for a ≤ 0 the power when it exists
// ((-2)^2 = 4), else 0.
double Power(double a, double b);
// ABS, INT, SQRT, EXP, LOG, LOG10, FLOOR, CEILING, SIGN of n (`opcode`); the root and the
// logarithms give 0 where they have no value, so that no key or condition holds a NaN.
double NumericFunction(std::int32_t opcode, double n);
// trunc(n) modulo trunc(m) with the sign of trunc(n); 0 when trunc(m) is 0.
double Modulo(double n, double m);
// ROUND: n rounded half away from zero to trunc(m) decimals (RoundDecimal).
double Round(double n, double m);

// a + b.
std::size_t Concatenate(std::string_view a, std::string_view b, char* out);
// a − b: a without its trailing blanks, then b, then those blanks.
std::size_t ConcatenateTrimmed(std::string_view a, std::string_view b, char* out);
// SUBSTR(s, n, m).
std::string_view Substring(std::string_view s, std::int64_t n, std::int64_t m);
// STUFF(s, n, m, t).
std::size_t Stuff(std::string_view s, std::int64_t n, std::int64_t m, std::string_view t,
                  char* out);
// REPLICATE(s, n).
std::size_t Replicate(std::string_view s, std::int64_t n, char* out);
// SOUNDEX(s): always 4 characters.
void Soundex(std::string_view s, char* out);
// STR(n, w, k): right-aligned in w characters with k decimals, w asterisks when it does not fit.
// With `zeros` (STRZERO) the leading blanks are zeros, after the sign.
std::size_t FormatNumber(double n, std::int64_t width, std::int64_t decimals, char* out,
                         bool zeros = false);
// PADL, PADR, PADC: s cut or padded with `fill` to n characters, the padding on the left, the
// right or both sides (the odd one on the right).
enum class PadSide { kLeft, kRight, kCenter };
std::size_t Pad(std::string_view s, std::int64_t n, char fill, PadSide side, char* out);
// LIKE(pattern, s): the whole of s matches the pattern, where "*" stands for any run of
// characters and "?" for any one character; case counts.
bool Like(std::string_view pattern, std::string_view s);
// TRANSFORM(value, picture): the value shown through a dBASE picture, "@functions template"
// (for instance "@! XXX", "999,999.99", "@( 9999", "@Z 99.9", "@E" for a date).
std::size_t Transform(const ExprCell& value, std::string_view picture, char* out);
// DTOS: YYYYMMDD, or 8 blanks for the blank date.
std::size_t DateDigits(double day_number, char* out);
// SplitDayNumber and StoredToDayNumber with the same results, in constant time: they run for
// every date field and DTOS of an index key.
bool FastSplitDayNumber(double day_number, YearMonthDay& out);
double FastStoredToDayNumber(std::string_view text);
// DOW: 1 = Sunday .. 7 = Saturday; 0 for the blank date.
int Weekday(double day_number);

}  // namespace vx::expr
