#include "browser/column_filter.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "browser/form_text.h"

namespace vx::browser {

namespace {

// The comparison typed first ("", "=", "<>", "#", "<", "<=", ">", ">="); `rest` the text after it.
std::string Operator(const std::string& typed, std::string& rest) {
  for (const char* op : {"<=", ">=", "<>", "=", "#", "<", ">"}) {
    const std::string mark = op;
    if (typed.rfind(mark, 0) == 0) {
      rest = Trimmed(typed.substr(mark.size()));
      return mark == "#" ? "<>" : mark;
    }
  }
  rest = typed;
  return {};
}

// A dBASE string literal of `text`, in the first delimiters it does not hold ("" when it holds
// them all).
std::string Literal(const std::string& text) {
  for (const auto& [open, close] :
       {std::pair{'"', '"'}, std::pair{'\'', '\''}, std::pair{'[', ']'}}) {
    if (text.find(open) == std::string::npos && text.find(close) == std::string::npos)
      return open + text + close;
  }
  return {};
}

bool IsNumber(const std::string& text) {
  if (text.empty()) return false;
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  // Plain decimals only: no "inf", "nan" or hexadecimal forms.
  const bool letters = std::any_of(text.begin(), text.end(), [](char c) {
    return std::isalpha(static_cast<unsigned char>(c)) && c != 'e' && c != 'E';
  });
  return end == text.c_str() + text.size() && !letters;
}

// YYYY-MM-DD or YYYYMMDD as YYYYMMDD ("" for anything else).
std::string DateDigits(const std::string& text) {
  std::string digits;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digits += c;
    } else if (c != '-' || (i != 4 && i != 7) || text.size() != 10) {
      return {};
    }
  }
  return digits.size() == 8 ? digits : std::string();
}

}  // namespace

std::string ColumnCondition(const std::string& field, char type, const std::string& typed,
                            std::string& problem) {
  problem.clear();
  const std::string text = Trimmed(typed);
  if (text.empty()) return {};
  std::string value;
  const std::string op = Operator(text, value);
  const auto compared = [&](const std::string& left, const std::string& right) {
    return left + " " + (op.empty() ? "=" : op) + " " + right;
  };
  switch (type) {
    case 'C':
    case 'V': {
      const std::string literal = Literal(value);
      if (literal.empty()) {
        problem = field + ": the text holds every kind of quote";
        return {};
      }
      // Text alone is sought anywhere in the field, case ignored (in the table's code page).
      if (op.empty()) return "UPPER(" + literal + ") $ UPPER(" + field + ")";
      return compared(field, literal);
    }
    case 'N':
    case 'F':
    case 'I':
    case 'B':
    case 'Y':
    case 'O':
    case '+':
      if (!IsNumber(value)) {
        problem = field + ": \"" + value + "\" is not a number";
        return {};
      }
      return compared(field, value);
    case 'D': {
      const std::string digits = DateDigits(value);
      if (digits.empty()) {
        problem = field + ": \"" + value + "\" is not a date (YYYY-MM-DD)";
        return {};
      }
      return compared("DTOS(" + field + ")", "\"" + digits + "\"");
    }
    case 'L': {
      const std::string word = UpperAscii(value);
      if (op.empty() || op == "=") {
        if (word == "T" || word == "Y" || word == ".T." || word == "TRUE" || word == "YES")
          return field;
        if (word == "F" || word == "N" || word == ".F." || word == "FALSE" || word == "NO")
          return ".NOT. " + field;
      }
      problem = field + ": a logical field is T or F";
      return {};
    }
    default:
      problem = field + ": fields of type " + std::string(1, type) + " are not filtered here";
      return {};
  }
}

std::string RowCondition(const std::vector<std::string>& conditions) {
  std::string joined;
  for (const std::string& condition : conditions) {
    if (condition.empty()) continue;
    joined += (joined.empty() ? "" : " .AND. ") + condition;
  }
  return joined;
}

}  // namespace vx::browser
