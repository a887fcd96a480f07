#pragma once
// Text encodings of vxdbf's input and output: CSV (RFC 4180) and JSON values. Knows nothing of
// tables.

#include <istream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx::tool {

// One CSV field, quoted when it holds a comma, a quote, CR or LF.
std::string CsvField(std::string_view value);
// A CSV line (fields joined by commas, ended by CR LF).
std::string CsvLine(const std::vector<std::string>& fields);
// A JSON string literal with the escapes JSON requires.
std::string JsonString(std::string_view value);

// Reads one CSV record (quoted fields may span lines; CR LF or LF ends a record). Answers false
// at the end of the input; `error` is set for a quote that is never closed.
bool ReadCsvRecord(std::istream& in, std::vector<std::string>& fields, std::string& error);

// One value of a flat JSON object: a string, a number (its text), true, false or null.
struct JsonValue {
  enum class Kind { kString, kNumber, kTrue, kFalse, kNull } kind = Kind::kNull;
  std::string text;  // the string (UTF-8) or the number's text
};
// Parses one line holding a flat JSON object. Answers false with `error` for anything else
// (nested values included).
bool ParseJsonObject(std::string_view line, std::vector<std::pair<std::string, JsonValue>>& out,
                     std::string& error);

}  // namespace vx::tool
