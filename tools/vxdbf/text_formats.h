#pragma once
// Text encodings of vxdbf's input and output: CSV (RFC 4180) and JSON values, and the check
// that turns a stored numeric text into a JSON number. Knows nothing of tables.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx::tool {

// One CSV field, quoted when it holds a comma, a quote, CR or LF.
std::string CsvField(std::string_view value);
// A CSV line (fields joined by commas, ended by CR LF).
std::string CsvLine(const std::vector<std::string>& fields);
// A JSON string literal with the escapes JSON requires.
std::string JsonString(std::string_view value);
// The stored text of a numeric field as a JSON number, or nothing when it is blank or not a
// number (a field filled with "*" when the value did not fit, stray letters). "+1.5" gives
// "1.5", ".5" gives "0.5", "007" gives "7", "5." gives "5".
std::optional<std::string> JsonNumber(std::string_view stored);

}  // namespace vx::tool
