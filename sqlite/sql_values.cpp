// The SQLite module's values: text between SQL and fields, and the keys a tag walk starts from.

#include "sqlite/module.h"

namespace vexel::sql::detail {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

std::string Trim(std::string_view text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  const std::size_t end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

// The characters of UTF-8 text (continuation bytes not counted).
std::size_t CharCount(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The first `count` characters of UTF-8 text.
std::string FirstChars(std::string_view text, std::size_t count) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < text.size(); ++i) {
    if ((text[i] & 0xC0) != 0x80 && seen++ == count) break;
  }
  return std::string(text.substr(0, i));
}

std::string ValueText(sqlite3_value* v) {
  const unsigned char* text = sqlite3_value_text(v);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       static_cast<std::size_t>(sqlite3_value_bytes(v)));
}

std::optional<Date> ParseDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  int parts[3] = {0, 0, 0};
  const std::size_t starts[3] = {0, 5, 8};
  const std::size_t lengths[3] = {4, 2, 2};
  for (int p = 0; p < 3; ++p) {
    for (std::size_t i = 0; i < lengths[p]; ++i) {
      const char c = text[starts[p] + i];
      if (c < '0' || c > '9') return std::nullopt;
      parts[p] = parts[p] * 10 + (c - '0');
    }
  }
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const Date d{parts[0], parts[1], parts[2]};
  if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > kDays[d.month - 1]) return std::nullopt;
  const bool leap = (d.year % 4 == 0 && d.year % 100 != 0) || d.year % 400 == 0;
  if (d.month == 2 && d.day == 29 && !leap) return std::nullopt;
  return d;
}

std::string DateText(const Date& d) {
  char out[16];
  std::snprintf(out, sizeof out, "%04d-%02d-%02d", d.year, d.month, d.day);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Values between SQL and fields

// "YYYY-MM-DD HH:MM:SS" (".mmm" added when there are milliseconds), as SQLite's date functions
// read it.
std::string DateTimeText(const DateTime& t) {
  char out[48];
  std::snprintf(out, sizeof out, "%s %02d:%02d:%02d", DateText(t.date).c_str(), t.hour, t.minute,
                t.second);
  std::string text = out;
  if (t.millisecond != 0) {
    std::snprintf(out, sizeof out, ".%03d", t.millisecond);
    text += out;
  }
  return text;
}

// Fields whose values are bytes: varbinary, pictures, objects, binary memos (not Visual
// FoxPro's B, a double).
bool HoldsBytes(const Field& field) {
  const char type = field.type;
  return field.binary || type == 'Q' || type == 'G' || type == 'P' || type == 'W';
}

void ResultValue(sqlite3_context* ctx, const Field& field, const Value& value) {
  if (const auto* s = std::get_if<std::string>(&value)) {
    if (HoldsBytes(field)) {
      sqlite3_result_blob(ctx, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_result_text(ctx, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    }
  } else if (const auto* t = std::get_if<DateTime>(&value)) {
    const std::string text = DateTimeText(*t);
    sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    sqlite3_result_int64(ctx, *i);
  } else if (const auto* d = std::get_if<double>(&value)) {
    sqlite3_result_double(ctx, *d);
  } else if (const auto* date = std::get_if<Date>(&value)) {
    const std::string text = DateText(*date);
    sqlite3_result_text(ctx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  } else if (const auto* b = std::get_if<bool>(&value)) {
    sqlite3_result_int(ctx, *b ? 1 : 0);
  } else if (field.type == 'C' && !field.nullable) {
    sqlite3_result_text(ctx, "", 0, SQLITE_STATIC);  // a blank character field is ''
  } else {  // blank, or .NULL. (a character field that may be null reads '' when blank)
    sqlite3_result_null(ctx);
  }
}

std::string Shown(sqlite3_value* v) {
  std::string text = ValueText(v);
  if (text.size() > 40) text = FirstChars(text, 37) + "...";
  return "'" + text + "'";
}

// An SQL value for a field; ConstraintError naming the field when it cannot be one. Widths,
// decimals and code pages are checked by the engine when the value is assigned.
Value FieldValue(const Field& field, sqlite3_value* v) {
  const int type = sqlite3_value_type(v);
  if (type == SQLITE_NULL) return std::monostate{};
  const auto refuse = [&](const char* what) {
    throw ConstraintError{"field " + field.name + ": " + Shown(v) + " is not " + what};
  };
  // Visual FoxPro's B is a double: taken as the other binary numbers are, below.
  switch (field.type == 'B' && !field.binary ? 'O' : field.type) {
    case 'C':
    case 'M':
    case 'B':
    case 'G':
    case 'P':
      if (type == SQLITE_BLOB) {
        const auto* bytes = static_cast<const char*>(sqlite3_value_blob(v));
        return std::string(bytes == nullptr ? "" : bytes,
                           static_cast<std::size_t>(sqlite3_value_bytes(v)));
      }
      return ValueText(v);
    case 'N':
    case 'F': {
      if (type == SQLITE_TEXT && Trim(ValueText(v)).empty()) return std::monostate{};
      const int numeric = sqlite3_value_numeric_type(v);
      if (numeric == SQLITE_INTEGER) return static_cast<std::int64_t>(sqlite3_value_int64(v));
      if (numeric == SQLITE_FLOAT) {
        const double d = sqlite3_value_double(v);
        if (!std::isfinite(d)) refuse("a finite number");
        return d;
      }
      refuse("a number");
      break;
    }
    case 'D': {
      if (type != SQLITE_TEXT) refuse("a date YYYY-MM-DD");
      const std::string text = Trim(ValueText(v));
      if (text.empty()) return std::monostate{};
      if (const auto d = ParseDate(text)) return *d;
      refuse("a date YYYY-MM-DD");
      break;
    }
    case 'L': {
      if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
        const double d = sqlite3_value_double(v);
        if (d == 0) return false;
        if (d == 1) return true;
        refuse("a logical 0 or 1");
      }
      const std::string text = Upper(Trim(ValueText(v)));
      if (text.empty() || text == "?") return std::monostate{};
      if (text == "T" || text == "Y" || text == "TRUE" || text == "1" || text == ".T.") return true;
      if (text == "F" || text == "N" || text == "FALSE" || text == "0" || text == ".F.")
        return false;
      refuse("a logical (0, 1, T, F, Y or N)");
      break;
    }
    default:
      break;
  }
  // Other field types: as SQLite holds the value; the engine decides whether it fits.
  if (type == SQLITE_INTEGER) return static_cast<std::int64_t>(sqlite3_value_int64(v));
  if (type == SQLITE_FLOAT) return sqlite3_value_double(v);
  return ValueText(v);
}

// ---------------------------------------------------------------------------------------------
// Keys for a tag walk


KeyChoice ChooseKey(const ServingTag& tag, const Field& field, sqlite3_value* v, bool exact) {
  KeyChoice choice;
  const int type = sqlite3_value_type(v);
  if (type == SQLITE_NULL) {
    choice.none = true;
    return choice;
  }
  switch (tag.key_type) {
    case 'C': {
      if (type == SQLITE_BLOB) return choice;
      std::string text = ValueText(v);
      bool whole = true;
      if (tag.upper) {
        // The engine's UPPER may change letters outside ASCII that SQL leaves alone: the key
        // stops before the first of them.
        const auto cut = std::find_if(text.begin(), text.end(), [](char c) { return c & 0x80; });
        whole = cut == text.end();
        text = Upper(std::string_view(text.data(), static_cast<std::size_t>(cut - text.begin())));
      } else if (!exact) {
        // A range's bound: SQL orders the bytes of UTF-8, the tag those of the code page with
        // blanks padding the key. Up to the first byte outside printable ASCII the two agree,
        // so the walk is bounded by that part alone (it then holds every row the range takes).
        const auto cut = std::find_if(text.begin(), text.end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x80;
        });
        whole = cut == text.end();
        text.erase(cut, text.end());
      }
      if (CharCount(text) > static_cast<std::size_t>(field.length)) {
        if (exact && whole && !tag.upper) {
          choice.none = true;
          return choice;
        }
        text = FirstChars(text, static_cast<std::size_t>(field.length));
        whole = false;
      }
      choice.key = WalkKey{text, whole};
      return choice;
    }
    case 'N': {
      const int numeric = sqlite3_value_numeric_type(v);
      if (numeric == SQLITE_INTEGER) {
        choice.key = WalkKey{static_cast<std::int64_t>(sqlite3_value_int64(v)), false};
      } else if (numeric == SQLITE_FLOAT) {
        const double d = sqlite3_value_double(v);
        if (std::isfinite(d)) choice.key = WalkKey{d, false};
      }
      return choice;
    }
    case 'D': {
      if (type != SQLITE_TEXT) return choice;
      if (const auto d = ParseDate(ValueText(v))) choice.key = WalkKey{*d, false};
      return choice;
    }
    default:
      return choice;
  }
}

// The literal start of a LIKE or GLOB pattern, as far as the tag can seek it: a plain tag
// takes a LIKE prefix only up to the first letter (LIKE ignores the case of ASCII letters), an
// UPPER tag takes the prefix in capitals up to the first character outside ASCII.
std::string PatternPrefix(const ServingTag& tag, const std::string& pattern, bool glob) {
  std::string prefix;
  for (char c : pattern) {
    if (glob ? (c == '*' || c == '?' || c == '[') : (c == '%' || c == '_')) break;
    prefix += c;
  }
  if (tag.upper) {
    const auto cut = std::find_if(prefix.begin(), prefix.end(), [](char c) { return c & 0x80; });
    return Upper(std::string_view(prefix.data(), static_cast<std::size_t>(cut - prefix.begin())));
  }
  if (!glob) {
    const auto letter = std::find_if(prefix.begin(), prefix.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
    prefix.erase(letter, prefix.end());
  }
  return prefix;
}

}  // namespace vexel::sql::detail
