#include "engine/foundation/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <system_error>

namespace vx {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The significant digits a double keeps for every decimal number.
constexpr int kSignificant = 15;

// The digits of round(|n| * 10^decimals), half away from zero on the 15 significant digits of
// n, without leading zeros ("0" for zero). Answers false when n is not finite or is 1e15 or
// more (no fraction to round at that precision).
bool ScaledDigits(double n, int decimals, std::string& digits) {
  const double a = std::fabs(n);
  if (!std::isfinite(a) || a >= 1e15) return false;
  digits = "0";
  if (a == 0) return true;
  if (decimals >= 0 && a == std::floor(a)) {
    // A whole number below 1e15 has all its digits in a double: no rounding, and no formatting
    // through the C library (which every append of a whole number into a number field paid).
    digits = std::to_string(static_cast<std::uint64_t>(a));
    digits.append(static_cast<std::size_t>(decimals), '0');
    return true;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.*e", kSignificant - 1, a);  // d.dddddddddddddde±XX
  std::string mantissa;
  mantissa.push_back(text[0]);
  mantissa.append(text + 2, kSignificant - 1);
  const int exponent = std::atoi(text + kSignificant + 2);
  // The rounding position counted in digits from the first significant one.
  const int keep = exponent + 1 + decimals;
  if (keep < 0) return true;
  if (keep >= kSignificant) {
    digits = mantissa + std::string(static_cast<std::size_t>(keep - kSignificant), '0');
  } else {
    digits = mantissa.substr(0, static_cast<std::size_t>(keep));
    if (mantissa[static_cast<std::size_t>(keep)] >= '5') {
      int i = static_cast<int>(digits.size()) - 1;
      while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9') {
        digits[static_cast<std::size_t>(i)] = '0';
        --i;
      }
      if (i < 0) {
        digits.insert(digits.begin(), '1');
      } else {
        ++digits[static_cast<std::size_t>(i)];
      }
    }
  }
  const std::size_t first = digits.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : digits.substr(first);
  return true;
}

}  // namespace

double LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t start = i;
  std::size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && IsDigit(text[j])) {
      while (j < text.size() && IsDigit(text[j])) ++j;
      i = j;
    }
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data() + start, text.data() + i, value);
  if (error == std::errc::result_out_of_range) {
    // Too large or too small for a double: infinity or 0, as the standard conversion gives.
    const std::string_view number = text.substr(start, i - start);
    const bool tiny =
        number.find("E-") != std::string_view::npos || number.find("e-") != std::string_view::npos;
    value = tiny ? 0.0 : HUGE_VAL;
  }
  return negative ? -value : value;
}

double RoundDecimal(double n, int decimals) {
  decimals = std::clamp(decimals, -400, 400);
  std::string digits;
  if (!ScaledDigits(n, decimals, digits)) return n;
  digits += "e" + std::to_string(-decimals);
  double value = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return n < 0 ? -value : value;
}

std::string FixedText(double n, int decimals) {
  decimals = std::clamp(decimals, 0, kMaxFixedDecimals);
  std::string digits;
  if (!ScaledDigits(n, decimals, digits)) {
    char text[700];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, n, std::chars_format::fixed, decimals);
    return error == std::errc() ? std::string(text, end) : std::string();
  }
  const auto k = static_cast<std::size_t>(decimals);
  if (digits.size() <= k) digits.insert(0, k + 1 - digits.size(), '0');
  if (k > 0) digits.insert(digits.size() - k, 1, '.');
  const bool zero = digits.find_first_not_of("0.") == std::string::npos;
  return n < 0 && !zero ? "-" + digits : digits;
}

std::optional<std::string> NumberFieldText(double n, int width, int decimals) {
  if (!std::isfinite(n)) return std::nullopt;
  if (width <= 0) {
    if (n != 0) return std::nullopt;
    return std::string();
  }
  std::string text = FixedText(n, decimals);
  if (text.empty() || text.size() > static_cast<std::size_t>(width)) return std::nullopt;
  text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  return text;
}

}  // namespace vx
