#include "engine/expr/functions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "engine/expr/expression.h"
#include "engine/foundation/dates.h"

namespace vx::expr {

namespace {
constexpr std::size_t kMax = kMaxStringLength;
// Beyond this many steps ROUND's scaling has overflowed for every nonzero fraction.
constexpr std::int64_t kMaxRoundSteps = 700;

// memmove that accepts the null data of an empty view.
void CopyBytes(char* to, const char* from, std::size_t n) {
  if (n > 0) std::memmove(to, from, n);
}
}  // namespace

std::int64_t TruncCount(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (x <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

double Power(double a, double b) {
  if (a > 0) return std::exp(b * std::log(a));
  // The logarithm has no value here; a whole exponent still has a power.
  const double p = std::pow(a, b);
  return std::isfinite(p) ? p : 0;
}

double Modulo(double n, double m) {
  const std::int64_t a = TruncCount(n);
  const std::int64_t b = TruncCount(m);
  if (b == 0 || b == -1) return 0;
  return static_cast<double>(a % b);
}

double RoundDown(double n, double m) {
  const double i = std::trunc(n);
  double f = n - i;
  const std::int64_t steps = std::min(TruncCount(m), kMaxRoundSteps);
  for (std::int64_t s = 0; s < steps; ++s) {
    f *= 10;
    if (std::isinf(f)) return n;  // more decimals asked for than a double holds
  }
  f = std::trunc(f);
  for (std::int64_t s = 0; s < steps; ++s) f /= 10;
  return i + f;
}

std::size_t Concatenate(std::string_view a, std::string_view b, char* out) {
  const std::size_t na = std::min(a.size(), kMax);
  const std::size_t nb = std::min(b.size(), kMax - na);
  CopyBytes(out, a.data(), na);
  CopyBytes(out + na, b.data(), nb);
  return na + nb;
}

std::size_t ConcatenateTrimmed(std::string_view a, std::string_view b, char* out) {
  std::size_t kept = a.size();
  while (kept > 0 && a[kept - 1] == ' ') --kept;
  const std::size_t blanks = a.size() - kept;
  std::size_t n = Concatenate(a.substr(0, kept), b, out);
  const std::size_t room = std::min(blanks, kMax - n);
  std::memset(out + n, ' ', room);
  return n + room;
}

std::string_view Substring(std::string_view s, std::int64_t n, std::int64_t m) {
  if (n < 1) n = 1;
  if (m <= 0 || n > static_cast<std::int64_t>(s.size())) return {};
  const std::size_t from = static_cast<std::size_t>(n - 1);
  return s.substr(from, static_cast<std::size_t>(std::min<std::int64_t>(m, s.size() - from)));
}

std::size_t Stuff(std::string_view s, std::int64_t n, std::int64_t m, std::string_view t,
                  char* out) {
  const std::int64_t len = static_cast<std::int64_t>(s.size());
  const bool inside = n >= 1 && n <= len;
  const std::size_t at = n < 1 ? 0 : static_cast<std::size_t>(std::min(n - 1, len));
  const std::size_t removed =
      inside && m > 0 ? static_cast<std::size_t>(std::min<std::int64_t>(m, len - (n - 1))) : 0;
  // Built in a local copy: s and t may lie in the pool area that `out` overwrites.
  char result[2 * kMax + 2];
  std::size_t size = 0;
  CopyBytes(result, s.data(), at);
  size = at;
  CopyBytes(result + size, t.data(), t.size());
  size += t.size();
  CopyBytes(result + size, s.data() + at + removed, s.size() - at - removed);
  size += s.size() - at - removed;
  size = std::min(size, kMax);
  CopyBytes(out, result, size);
  return size;
}

std::size_t Replicate(std::string_view s, std::int64_t n, char* out) {
  std::size_t size = 0;
  for (std::int64_t i = 0; i < n && !s.empty() && size < kMax; ++i) {
    const std::size_t part = std::min(s.size(), kMax - size);
    CopyBytes(out + size, s.data(), part);
    size += part;
  }
  return size;
}

void Soundex(std::string_view s, char* out) {
  // Codes of A..Z.
  static constexpr char kCodes[] = "01230120022455012623010202";
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  auto code_of = [](char c) { return c >= 'A' && c <= 'Z' ? kCodes[c - 'A'] : '\0'; };
  CopyBytes(out, "0000", 4);
  s = s.substr(0, 100);
  if (s.empty()) return;
  out[0] = upper(s[0]);
  char last = code_of(out[0]);
  if (last == '\0') last = '0';
  std::size_t filled = 1;
  for (std::size_t i = 1; i < s.size() && filled < 4; ++i) {
    const char code = code_of(upper(s[i]));
    if (code == '\0' || code == last) continue;
    if (code != '0') out[filled++] = code;
    last = code;
  }
}

std::size_t FormatNumber(double n, std::int64_t width, std::int64_t decimals, char* out) {
  if (width <= 0) return 0;
  const std::size_t w = static_cast<std::size_t>(std::min<std::int64_t>(width, kMax));
  const int k = static_cast<int>(std::clamp<std::int64_t>(decimals, 0, kMax + 1));
  char text[400 + kMax];
  const auto [end, error] =
      std::to_chars(text, text + sizeof text, n, std::chars_format::fixed, k);
  const std::size_t len = error == std::errc() ? static_cast<std::size_t>(end - text) : w + 1;
  if (len > w) {
    std::memset(out, '*', w);
  } else {
    std::memset(out, ' ', w - len);
    CopyBytes(out + w - len, text, len);
  }
  return w;
}

std::size_t DateDigits(double day_number, char* out) {
  YearMonthDay date;
  if (!FastSplitDayNumber(day_number, date)) {
    std::memset(out, ' ', 8);
    return 8;
  }
  const int parts[] = {date.year / 1000, date.year / 100 % 10, date.year / 10 % 10,
                       date.year % 10,   date.month / 10,      date.month % 10,
                       date.day / 10,    date.day % 10};
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>('0' + parts[i]);
  return 8;
}

bool FastSplitDayNumber(double day_number, YearMonthDay& out) {
  if (!(day_number >= kFirstDayNumber && day_number <= kLastDayNumber)) return false;
  // Days since 1 March of year 0 of the proleptic Gregorian calendar, split into 400-year eras,
  // years of the era (March-based) and days of the year; no loops, no tables.
  const std::int64_t z = static_cast<std::int64_t>(day_number) - 1721120;
  const std::int64_t era = z / 146097;
  const std::int64_t day_of_era = z - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 -
                                                 year_of_era / 100);
  const std::int64_t month_index = (5 * day_of_year + 2) / 153;  // 0 = March
  out.day = static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1);
  out.month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
  out.year = static_cast<int>(year_of_era + era * 400 + (out.month <= 2 ? 1 : 0));
  return true;
}

double FastStoredToDayNumber(std::string_view text) {
  if (text.size() >= 8) {
    int v[8];
    bool digits = true;
    for (int i = 0; i < 8; ++i) {
      v[i] = text[static_cast<std::size_t>(i)] - '0';
      digits = digits && v[i] >= 0 && v[i] <= 9;
    }
    if (digits) {
      return DayNumber(v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3], v[4] * 10 + v[5],
                       v[6] * 10 + v[7]);
    }
  }
  return StoredToDayNumber(text);
}

int Weekday(double day_number) {
  YearMonthDay date;
  if (!SplitDayNumber(day_number, date)) return 0;
  return static_cast<int>((static_cast<std::int64_t>(day_number) + 1) % 7) + 1;
}

}  // namespace vx::expr
