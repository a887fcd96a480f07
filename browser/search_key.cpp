#include "browser/search_key.h"

#include <QString>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace vx::browser {

namespace {

std::string Upper(const std::string& text) {
  std::string upper;
  for (char c : text) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The arguments of the call whose "(" stands at `open`, split at the commas of its own level;
// empty when the call is not closed.
std::vector<std::string> CallArguments(const std::string& text, std::size_t open) {
  std::vector<std::string> arguments;
  int depth = 0;
  std::string current;
  for (std::size_t i = open; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '(') {
      if (depth++ > 0) current += c;
    } else if (c == ')') {
      if (--depth == 0) {
        arguments.push_back(Trimmed(current));
        return arguments;
      }
      current += c;
    } else if (c == ',' && depth == 1) {
      arguments.push_back(Trimmed(current));
      current.clear();
    } else {
      current += c;
    }
  }
  return {};
}

bool WholeNumber(const std::string& text, int& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long number = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || number < 0 || number > 255) return false;
  value = static_cast<int>(number);
  return true;
}

}  // namespace

std::string SearchKeyText(const std::string& key_expression, const std::string& typed) {
  const std::string expression = Upper(Trimmed(key_expression));
  if (expression.rfind("UPPER(", 0) == 0) {
    return QString::fromStdString(typed).toUpper().toStdString();
  }
  if (expression.rfind("STR(", 0) == 0) {
    const std::vector<std::string> arguments = CallArguments(expression, 3);
    int width = 10;
    int decimals = 0;
    if (arguments.empty() || arguments.size() > 3 ||
        (arguments.size() >= 2 && !WholeNumber(arguments[1], width)) ||
        (arguments.size() == 3 && !WholeNumber(arguments[2], decimals)))
      return typed;
    const std::string number = Trimmed(typed);
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0') return typed;
    char text[300];
    std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
    return text;
  }
  return typed;
}

}  // namespace vx::browser
