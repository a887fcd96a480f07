#pragma once
// Text encodings of vxdbf's output: CSV (RFC 4180) and JSON values (the library reads its
// input rows: vexel::csv_rows, vexel::json_rows). Knows nothing of tables.

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

}  // namespace vx::tool
