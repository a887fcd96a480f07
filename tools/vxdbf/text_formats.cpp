#include "tools/vxdbf/text_formats.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

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
  // Text that is not UTF-8 (it never is after a code-page conversion) shows U+FFFD.
  return nlohmann::json(std::string(value))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace vx::tool
