#include "tools/vxdbf/text_formats.h"

#include <cctype>
#include <cstdio>

namespace vx::tool {

std::string CsvField(std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(value);
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string CsvLine(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += CsvField(fields[i]);
  }
  line += "\r\n";
  return line;
}

std::string JsonString(std::string_view value) {
  std::string text = "\"";
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': text += "\\\""; break;
      case '\\': text += "\\\\"; break;
      case '\n': text += "\\n"; break;
      case '\r': text += "\\r"; break;
      case '\t': text += "\\t"; break;
      default:
        if (u < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", u);
          text += escape;
        } else {
          text += c;
        }
    }
  }
  text += '"';
  return text;
}

std::optional<std::string> JsonNumber(std::string_view stored) {
  std::size_t i = 0;
  while (i < stored.size() && stored[i] == ' ') ++i;
  std::size_t end = stored.size();
  while (end > i && stored[end - 1] == ' ') --end;
  std::string_view s = stored.substr(i, end - i);
  if (s.empty()) return std::nullopt;
  std::string out;
  std::size_t p = 0;
  if (s[p] == '+' || s[p] == '-') {
    if (s[p] == '-') out += '-';
    ++p;
  }
  const auto digits = [&](std::string& into) {
    const std::size_t start = p;
    while (p < s.size() && std::isdigit(static_cast<unsigned char>(s[p]))) into += s[p++];
    return p - start;
  };
  std::string whole, fraction;
  const std::size_t whole_digits = digits(whole);
  std::size_t fraction_digits = 0;
  if (p < s.size() && s[p] == '.') {
    ++p;
    fraction_digits = digits(fraction);
  }
  if (whole_digits + fraction_digits == 0) return std::nullopt;
  std::size_t first = 0;
  while (first + 1 < whole.size() && whole[first] == '0') ++first;
  out += whole.empty() ? "0" : whole.substr(first);
  if (!fraction.empty()) out += "." + fraction;
  if (p < s.size() && (s[p] == 'e' || s[p] == 'E')) {
    ++p;
    std::string exponent = "e";
    if (p < s.size() && (s[p] == '+' || s[p] == '-')) exponent += s[p++];
    std::string exponent_digits;
    if (digits(exponent_digits) == 0) return std::nullopt;
    out += exponent + exponent_digits;
  }
  if (p != s.size()) return std::nullopt;
  return out;
}

}  // namespace vx::tool
