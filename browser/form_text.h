#pragma once
// Small text helpers of the browser's window: table text (in the widgets' code page) to UTF-8,
// blanks trimmed, ASCII upper case, CSV cells. Shared by the window's source files.

#include <QString>
#include <cctype>
#include <string>

#include "platform/widgets/graphics.h"

namespace vx::browser {

// Bytes as the table stores them, read in the page the widgets show text in, as UTF-8.
inline std::string Utf8(const std::string& table_text) {
  return AnsiToQString(table_text).toStdString();
}

inline std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

inline std::string UpperAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A CSV cell: quoted (inner quotes doubled) when it holds a comma, a quote or a line break.
inline std::string CsvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace vx::browser
