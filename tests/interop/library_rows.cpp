// Prints every record of a table as the public library reads it, one JSON object a line:
// {"_recno": n, "_deleted": bool, FIELD: value, ...}. Blank and .NULL. values are null,
// bytes (binary fields) hexadecimal, dates YYYY-MM-DD, date-times YYYY-MM-DDTHH:MM:SS[.mmm].
// The open's warnings go to standard error as "warning: ..." lines. A table the library
// refuses prints {"error": code, "message": text} and exits 1.
//
// With --append it appends the JSON lines of standard input instead (library_rows FILE --append).
//
// With --codepage N the table's text is read (or written) in page N whatever the table names.
//
// usage: library_rows FILE [--ignore-index | --append] [--codepage N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <iostream>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vexel/vexel.hpp>

namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[static_cast<unsigned char>(c) >> 4];
    out += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

std::string DateText(const vexel::Date& d) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year % 10000, d.month % 100, d.day % 100);
  return text;
}

nlohmann::json Json(const vexel::Field& field, const vexel::Value& value) {
  struct Visitor {
    const vexel::Field& field;
    nlohmann::json operator()(std::monostate) const { return nullptr; }
    nlohmann::json operator()(const std::string& s) const {
      return field.binary ? Hex(s) : s;
    }
    nlohmann::json operator()(std::int64_t n) const { return n; }
    nlohmann::json operator()(double d) const { return d; }
    nlohmann::json operator()(bool b) const { return b; }
    nlohmann::json operator()(const vexel::Date& d) const { return DateText(d); }
    nlohmann::json operator()(const vexel::DateTime& t) const {
      char text[32];
      std::snprintf(text, sizeof text, "T%02d:%02d:%02d", t.hour % 100, t.minute % 100,
                    t.second % 100);
      std::string out = DateText(t.date) + text;
      if (t.millisecond != 0) {
        std::snprintf(text, sizeof text, ".%03d", t.millisecond % 1000);
        out += text;
      }
      return out;
    }
  };
  return std::visit(Visitor{field}, value);
}

vexel::Date ParseDate(const std::string& text) {
  vexel::Date d;
  std::sscanf(text.c_str(), "%d-%d-%d", &d.year, &d.month, &d.day);
  return d;
}

vexel::Value FromJson(const vexel::Field& field, const nlohmann::json& value) {
  if (value.is_null()) return std::monostate{};
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number()) return value.get<double>();
  const std::string text = value.get<std::string>();
  if (field.type == 'D') return ParseDate(text);
  if (field.type == 'T' || field.type == '@') {
    vexel::DateTime t;
    t.date = ParseDate(text);
    std::sscanf(text.c_str() + std::min<std::size_t>(text.size(), 11), "%d:%d:%d", &t.hour,
                &t.minute, &t.second);
    return t;
  }
  return text;
}

// Appends the JSON lines of standard input, each an object of field names and values.
int Append(const char* path, int codepage) {
  vexel::Table table = vexel::open(path, {.codepage = codepage});
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    vexel::Assignments values;
    const nlohmann::json row = nlohmann::json::parse(line);
    for (const auto& [name, value] : row.items()) {
      const std::optional<std::size_t> i = table.field_index(name);
      if (!i) throw vexel::InputError(220, "no field " + name);
      values.emplace_back(name, FromJson(table.fields()[*i], value));
    }
    table.append(values);
  }
  table.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vexel::OpenOptions options;
  options.mode = vexel::OpenMode::read_only;
  bool append = false;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--append") == 0) {
      append = true;
    } else if (std::strcmp(argv[i], "--ignore-index") == 0) {
      options.ignore_index = true;
    } else if (std::strcmp(argv[i], "--codepage") == 0 && i + 1 < argc) {
      options.codepage = std::atoi(argv[++i]);
    } else {
      argc = 0;
    }
  }
  if (argc < 2) {
    std::cerr << "usage: library_rows FILE [--ignore-index | --append] [--codepage N]\n";
    return 2;
  }
  try {
    if (append) return Append(argv[1], options.codepage);
    vexel::Table table = vexel::open(argv[1], options);
    for (const std::string& warning : table.warnings()) std::cerr << "warning: " << warning << "\n";
    const std::vector<vexel::Field>& fields = table.fields();
    for (const vexel::Record& r : table.scan()) {
      nlohmann::ordered_json row;
      row["_recno"] = r.recno();
      row["_deleted"] = r.deleted();
      for (std::size_t i = 0; i < fields.size(); ++i) row[fields[i].name] = Json(fields[i], r[i]);
      std::cout << row.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    }
  } catch (const vexel::Error& e) {
    std::cout << nlohmann::json{{"error", e.code()}, {"message", e.what()}}.dump(
                     -1, ' ', false, nlohmann::json::error_handler_t::replace)
              << "\n";
    return 1;
  }
  return 0;
}
