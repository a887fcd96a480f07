#pragma once
// The two text forms rows are read from for vexel::append_rows (include/vexel/edit.hpp: csv_rows,
// json_rows): one CSV record (RFC 4180) and one flat JSON object. Knows nothing of tables.

#include <istream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vx::ops {

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

}  // namespace vx::ops
