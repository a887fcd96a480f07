#include "engine/expr/functions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "engine/expr/compiler.h"
#include "engine/expr/expression.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/dates.h"
#include "engine/foundation/settings.h"
#include "platform/os/codepage.h"

namespace vx::expr {

namespace {
constexpr std::size_t kMaxLength = kMaxStringLength;

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
  // pow is exact where the power is (whole exponents of moderate size), unlike e^(b ln a).
  const double p = std::pow(a, b);
  if (a > 0) return p;
  // The logarithm has no value here; a whole exponent still has a power.
  return std::isfinite(p) ? p : 0;
}

double NumericFunction(std::int32_t opcode, double n) {
  switch (opcode) {
    case kAbs:
      return std::fabs(n);
    case kInt:
      return std::trunc(n);
    case kSqrt:
      return n < 0 ? 0 : std::sqrt(n);
    case kExp:
      return std::exp(n);
    case kLog:
      return n <= 0 ? 0 : std::log(n);
    case kLog10:
      return n <= 0 ? 0 : std::log10(n);
    case kFloor:
      return std::floor(n);
    case kCeiling:
      return std::ceil(n);
    case kSign:
      return n > 0 ? 1 : n < 0 ? -1 : 0;
    default:
      return 0;
  }
}

double Modulo(double n, double m) {
  const std::int64_t a = TruncCount(n);
  const std::int64_t b = TruncCount(m);
  if (b == 0 || b == -1) return 0;
  return static_cast<double>(a % b);
}

double Round(double n, double m) {
  return RoundDecimal(n, static_cast<int>(std::clamp<std::int64_t>(TruncCount(m), -400, 400)));
}

std::size_t Concatenate(std::string_view a, std::string_view b, char* out) {
  const std::size_t na = std::min(a.size(), kMaxLength);
  const std::size_t nb = std::min(b.size(), kMaxLength - na);
  CopyBytes(out, a.data(), na);
  CopyBytes(out + na, b.data(), nb);
  return na + nb;
}

std::size_t ConcatenateTrimmed(std::string_view a, std::string_view b, char* out) {
  std::size_t kept = a.size();
  while (kept > 0 && a[kept - 1] == ' ') --kept;
  const std::size_t blanks = a.size() - kept;
  std::size_t n = Concatenate(a.substr(0, kept), b, out);
  const std::size_t room = std::min(blanks, kMaxLength - n);
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
  char result[2 * kMaxLength + 2];
  std::size_t size = 0;
  CopyBytes(result, s.data(), at);
  size = at;
  CopyBytes(result + size, t.data(), t.size());
  size += t.size();
  CopyBytes(result + size, s.data() + at + removed, s.size() - at - removed);
  size += s.size() - at - removed;
  size = std::min(size, kMaxLength);
  CopyBytes(out, result, size);
  return size;
}

std::size_t Replicate(std::string_view s, std::int64_t n, char* out) {
  std::size_t size = 0;
  for (std::int64_t i = 0; i < n && !s.empty() && size < kMaxLength; ++i) {
    const std::size_t part = std::min(s.size(), kMaxLength - size);
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

std::size_t FormatNumber(double n, std::int64_t width, std::int64_t decimals, char* out,
                         bool zeros) {
  if (width <= 0) return 0;
  const std::size_t w = static_cast<std::size_t>(std::min<std::int64_t>(width, kMaxLength));
  const int k = static_cast<int>(std::clamp<std::int64_t>(decimals, 0, kMaxLength + 1));
  const std::string text = FixedText(n, k);
  const std::size_t len = text.empty() ? w + 1 : text.size();
  if (len > w) {
    std::memset(out, '*', w);
  } else if (zeros && std::isfinite(n)) {
    const std::size_t sign = text[0] == '-' ? 1 : 0;
    CopyBytes(out, text.data(), sign);
    std::memset(out + sign, '0', w - len);
    CopyBytes(out + sign + w - len, text.data() + sign, len - sign);
  } else {
    std::memset(out, ' ', w - len);
    CopyBytes(out + w - len, text.data(), len);
  }
  return w;
}

std::size_t Pad(std::string_view s, std::int64_t n, char fill, PadSide side, char* out) {
  const std::size_t w =
      n <= 0 ? 0 : static_cast<std::size_t>(std::min<std::int64_t>(n, kMaxLength));
  const std::size_t len = std::min(s.size(), w);
  const std::size_t room = w - len;
  const std::size_t left = side == PadSide::kLeft ? room : side == PadSide::kCenter ? room / 2 : 0;
  // s may lie in the pool area that `out` overwrites.
  char copy[kMaxLength + 1];
  CopyBytes(copy, s.data(), len);
  std::memset(out, fill, w);
  CopyBytes(out + left, copy, len);
  return w;
}

bool Like(std::string_view pattern, std::string_view s) {
  // Greedy matching with one backtrack point: the last "*" seen.
  std::size_t p = 0, i = 0, star = std::string_view::npos, resume = 0;
  while (i < s.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == s[i])) {
      ++p;
      ++i;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = i;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      i = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::size_t DateDigits(double day_number, char* out) {
  YearMonthDay date;
  if (!FastSplitDayNumber(day_number, date)) {
    std::memset(out, ' ', 8);
    return 8;
  }
  const int parts[] = {date.year / 1000, date.year / 100 % 10, date.year / 10 % 10, date.year % 10,
                       date.month / 10,  date.month % 10,      date.day / 10,       date.day % 10};
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
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
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
      const int year = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
      const int month = v[4] * 10 + v[5];
      const int day = v[6] * 10 + v[7];
      static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
      if (year < 1 || month < 1 || month > 12 || day < 1) return kBlankDate;
      const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
      if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return kBlankDate;
      // Days from 1 March of year 0, the inverse of FastSplitDayNumber.
      const std::int64_t y = year - (month <= 2 ? 1 : 0);
      const std::int64_t era = y / 400;
      const std::int64_t year_of_era = y - era * 400;
      const std::int64_t day_of_year =
          (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
      const std::int64_t day_of_era =
          year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
      return static_cast<double>(era * 146097 + day_of_era + 1721120);
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

namespace vx::expr {

namespace {

// A numeric template ("999,999.99"): the digits of |n| fill the 9, # and * places from the
// decimal point outwards; "," shows only between digits; "*" and "$" places left of the number
// show themselves. Answers false when the number has more integer digits than places.
bool FillNumericTemplate(double n, std::string_view tpl, bool leading_zeros, std::string& out) {
  const std::size_t point = tpl.find('.');
  const std::string_view whole = tpl.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : tpl.substr(point + 1);
  int decimals = 0;
  for (char c : fraction) decimals += (c == '9' || c == '#') ? 1 : 0;
  std::string text = FixedText(std::fabs(n), decimals);
  const std::size_t dot = text.find('.');
  std::string digits = text.substr(0, dot);
  if (digits == "0" && decimals > 0) digits.clear();
  const std::string frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
  bool sign = n < 0 && text.find_first_not_of("0.") != std::string::npos;
  std::string left(whole.size(), ' ');
  std::size_t next = digits.size();
  for (std::size_t i = whole.size(); i-- > 0;) {
    const char t = whole[i];
    if (t == '9' || t == '#' || t == '*' || t == '$') {
      if (next > 0) {
        left[i] = digits[--next];
      } else if (sign) {
        left[i] = '-';
        sign = false;
      } else {
        left[i] = t == '*' || t == '$' ? t : leading_zeros ? '0' : ' ';
      }
    } else if (t == ',') {
      left[i] = next > 0 ? ',' : (leading_zeros ? '0' : ' ');
    } else {
      left[i] = t;
    }
  }
  if (next > 0 || sign) return false;
  out = left;
  if (point != std::string_view::npos) {
    out.push_back('.');
    std::size_t f = 0;
    for (char t : fraction)
      out.push_back(t == '9' || t == '#' ? (f < frac.size() ? frac[f++] : '0') : t);
  }
  return true;
}

}  // namespace

std::size_t Transform(const ExprCell& value, std::string_view picture, char* out) {
  std::string_view functions;
  std::string_view tpl = picture;
  if (!picture.empty() && picture[0] == '@') {
    const std::size_t blank = picture.find(' ');
    functions = picture.substr(1, blank == std::string_view::npos ? picture.size() : blank - 1);
    tpl = blank == std::string_view::npos ? std::string_view() : picture.substr(blank + 1);
  }
  auto has = [&](char f) {
    for (char c : functions) {
      if (c == f || (f >= 'A' && f <= 'Z' && c == f + 32)) return true;
    }
    return false;
  };
  std::string result;
  switch (value.type_code) {
    case kTypeC: {
      const std::string_view s(value.value.text, std::min<std::size_t>(value.length, kMaxLength));
      if (tpl.empty()) {
        result.assign(s);
      } else {
        std::size_t next = 0;
        for (char t : tpl) {
          const bool place = t == 'X' || t == '9' || t == '#' || t == 'A' || t == 'N' || t == 'L' ||
                             t == 'Y' || t == '!' || t == 'x' || t == 'a' || t == 'n';
          if (!place) {
            result.push_back(t);
            continue;
          }
          const char c = next < s.size() ? s[next++] : ' ';
          result.push_back(t == '!' ? os::AnsiUpper(c) : c);
        }
      }
      if (has('!')) result = os::AnsiUpperText(result);
      break;
    }
    case kTypeN: {
      const double n = value.value.number;
      if (has('Z') && n == 0) {
        result.assign(tpl.empty() ? 10 : tpl.size(), ' ');
        break;
      }
      const bool parentheses = has('(') && n < 0;
      const double shown = parentheses ? -n : n;
      if (tpl.empty()) {
        char text[64];
        std::snprintf(text, sizeof text, "%.15g", shown);
        result = text;
      } else if (!FillNumericTemplate(shown, tpl, has('L'), result)) {
        result.assign(tpl.size(), '*');
        break;
      }
      if (has('$')) {
        const std::size_t first = result.find_first_not_of(' ');
        if (first != std::string::npos && first > 0) {
          result[first - 1] = '$';
        } else {
          result.insert(0, "$");
        }
      }
      if (parentheses) result = "(" + result + ")";
      if (has('C') && n > 0) result += " CR";
      if (has('X') && n < 0) result += " DB";
      if (has('B')) {
        const std::size_t first = result.find_first_not_of(' ');
        const std::size_t size = result.size();
        result = first == std::string::npos ? std::string() : result.substr(first);
        result.resize(size, ' ');
      }
      break;
    }
    case kTypeD:
      if (has('E')) {
        result = DateTextIn(2, CenturyOn, value.value.number);
      } else if (has('D')) {
        result = DateTextIn(0, CenturyOn, value.value.number);
      } else {
        result = DateToText(value.value.number);
      }
      break;
    default: {
      const bool yes = value.value.logical != 0;
      const bool yn = !tpl.empty() && (tpl[0] == 'Y' || tpl[0] == 'y');
      result = yn ? (yes ? "Y" : "N") : (yes ? "T" : "F");
      break;
    }
  }
  const std::size_t n = std::min(result.size(), kMaxLength);
  CopyBytes(out, result.data(), n);
  return n;
}

}  // namespace vx::expr
