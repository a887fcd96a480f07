#include "engine/expr/number_text.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace vx::expr {

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
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
    const bool tiny = number.find("E-") != std::string_view::npos ||
                      number.find("e-") != std::string_view::npos;
    value = tiny ? 0.0 : HUGE_VAL;
  }
  return negative ? -value : value;
}

}  // namespace vx::expr
