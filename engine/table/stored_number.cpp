#include "engine/table/stored_number.h"

#include <charconv>
#include <cmath>

namespace vx {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The parts of a number's text; false when the text is not one.
struct Parts {
  bool negative = false;
  std::string_view whole;     // integer digits
  std::string_view fraction;  // digits after the point
  std::string_view exponent;  // "e-5" as written, empty when none
};

bool Split(std::string_view s, Parts& parts) {
  std::size_t p = 0;
  if (p < s.size() && (s[p] == '+' || s[p] == '-')) parts.negative = s[p++] == '-';
  const auto digits = [&] {
    const std::size_t start = p;
    while (p < s.size() && IsDigit(s[p])) ++p;
    return s.substr(start, p - start);
  };
  parts.whole = digits();
  if (p < s.size() && s[p] == '.') {
    ++p;
    parts.fraction = digits();
  }
  if (parts.whole.empty() && parts.fraction.empty()) return false;
  if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
    const std::size_t start = p++;
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) ++p;
    if (digits().empty()) return false;
    parts.exponent = s.substr(start, p - start);
  }
  return p == s.size();
}

std::string_view Unpadded(std::string_view stored) {
  constexpr std::string_view kPadding(" \0", 2);
  const std::size_t first = stored.find_first_not_of(kPadding);
  if (first == std::string_view::npos) return {};
  return stored.substr(first, stored.find_last_not_of(kPadding) - first + 1);
}

// The common form at once: blanks, an optional minus and up to 18 digits to the end (any
// such text is a whole number of 64 bits, read below as the same value).
std::optional<StoredNumber> ReadPlainWhole(std::string_view stored) {
  std::size_t p = 0;
  while (p < stored.size() && stored[p] == ' ') ++p;
  const std::size_t start = p;
  const bool negative = p < stored.size() && stored[p] == '-';
  if (negative) ++p;
  const std::size_t first_digit = p;
  std::int64_t value = 0;
  while (p < stored.size() && IsDigit(stored[p]) && p - first_digit < 18) {
    value = value * 10 + (stored[p++] - '0');
  }
  if (p != stored.size() || p == first_digit) return std::nullopt;
  StoredNumber n;
  n.digits = stored.substr(start);
  n.integer = negative ? -value : value;
  n.whole = true;
  n.real = static_cast<double>(n.integer);
  return n;
}

}  // namespace

std::optional<StoredNumber> ReadStoredNumber(std::string_view stored) {
  if (std::optional<StoredNumber> plain = ReadPlainWhole(stored)) return plain;
  StoredNumber n;
  n.digits = Unpadded(stored);
  Parts parts;
  if (n.digits.empty() || !Split(n.digits, parts)) return std::nullopt;
  // from_chars takes no "+" and no trailing point: the number is read from its parts.
  const char* first = n.digits.data() + (n.digits[0] == '+' ? 1 : 0);
  const char* last = n.digits.data() + n.digits.size();
  if (parts.fraction.empty() && parts.exponent.empty()) {
    const char* end = parts.whole.data() + parts.whole.size();
    if (const auto [at, ec] = std::from_chars(first, end, n.integer);
        ec == std::errc() && at == end) {
      n.whole = true;
      n.real = static_cast<double>(n.integer);
      return n;
    }
    last = end;  // the digits without a trailing point, beyond 64 bits
  }
  if (const auto [at, ec] = std::from_chars(first, last, n.real);
      ec != std::errc() || at != last || !std::isfinite(n.real)) {
    return std::nullopt;
  }
  return n;
}

std::optional<std::string> NumberJson(std::string_view text) {
  Parts parts;
  const std::string_view digits = Unpadded(text);
  if (digits.empty() || !Split(digits, parts)) return std::nullopt;
  std::string out = parts.negative ? "-" : "";
  const std::size_t nonzero = parts.whole.find_first_not_of('0');
  out += nonzero == std::string_view::npos ? "0" : parts.whole.substr(nonzero);
  if (!parts.fraction.empty()) out += "." + std::string(parts.fraction);
  if (!parts.exponent.empty()) out += "e" + std::string(parts.exponent.substr(1));
  return out;
}

std::optional<std::string> StoredNumberJson(std::string_view stored) {
  if (!ReadStoredNumber(stored)) return std::nullopt;
  return NumberJson(stored);
}

}  // namespace vx
