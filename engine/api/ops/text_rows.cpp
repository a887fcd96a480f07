// Rows for vexel::append_rows read from text (include/vexel/edit.hpp: csv_rows, json_rows): CSV
// records and flat JSON objects, the forms `vxdbf append` and the browser's import take.

#include "engine/api/ops/text_rows.h"

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <vexel/edit.hpp>

namespace vx::ops {

bool ReadCsvRecord(std::istream& in, std::vector<std::string>& fields, std::string& error) {
  fields.clear();
  error.clear();
  if (in.peek() == std::char_traits<char>::eof()) return false;
  std::string field;
  bool quoted = false;
  bool was_quoted = false;
  for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
    if (quoted) {
      if (c == '"') {
        if (in.peek() == '"') {
          field += static_cast<char>(in.get());
        } else {
          quoted = false;
        }
      } else {
        field += static_cast<char>(c);
      }
    } else if (c == '"' && field.empty() && !was_quoted) {
      quoted = was_quoted = true;
    } else if (c == ',') {
      fields.push_back(std::move(field));
      field.clear();
      was_quoted = false;
    } else if (c == '\r' && in.peek() == '\n') {
      continue;
    } else if (c == '\n') {
      fields.push_back(std::move(field));
      return true;
    } else {
      field += static_cast<char>(c);
    }
  }
  if (quoted) {
    error = "a quoted CSV field is never closed";
    return false;
  }
  fields.push_back(std::move(field));
  return true;
}

namespace {

// Collects the members of one flat object from nlohmann-json's SAX parser. Numbers keep the text
// they were written with ("8.30" stays "8.30"), so a value reaches its field without a trip
// through a double.
class FlatObjectReader final : public nlohmann::json::json_sax_t {
 public:
  explicit FlatObjectReader(std::vector<std::pair<std::string, JsonValue>>& members)
      : members_(members) {}

  bool null() override { return Value(JsonValue::Kind::kNull, {}); }
  bool boolean(bool value) override {
    return Value(value ? JsonValue::Kind::kTrue : JsonValue::Kind::kFalse, {});
  }
  bool number_integer(number_integer_t value) override {
    return Value(JsonValue::Kind::kNumber, std::to_string(value));
  }
  bool number_unsigned(number_unsigned_t value) override {
    return Value(JsonValue::Kind::kNumber, std::to_string(value));
  }
  bool number_float(number_float_t, const string_t& text) override {
    return Value(JsonValue::Kind::kNumber, text);
  }
  bool string(string_t& value) override { return Value(JsonValue::Kind::kString, value); }
  bool binary(binary_t&) override { return Refuse("a binary value"); }
  bool start_object(std::size_t) override {
    if (depth_++ > 0) return Refuse("a nested object");
    return true;
  }
  bool key(string_t& name) override {
    for (const auto& [seen, value] : members_) {
      if (seen == name)
        return Refuse(
            "key " +
            nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
            " given twice");
    }
    key_ = name;
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override { return Refuse("an array"); }
  bool end_array() override { return false; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception& e) override {
    // "[json.exception.parse_error.101] parse error at line 1, column 9: syntax error while
    // parsing value - invalid literal; last read: '...'" -> the reason, without the echo of the
    // input (the caller shows the start of the line).
    std::string reason = e.what();
    reason.erase(0, reason.find("] ") == std::string::npos ? 0 : reason.find("] ") + 2);
    if (reason.find(": ") != std::string::npos) reason.erase(0, reason.find(": ") + 2);
    reason.erase(std::min(reason.find("; last read"), reason.size()));
    return Refuse(reason);
  }

  const std::string& problem() const { return problem_; }

 private:
  bool Value(JsonValue::Kind kind, std::string text) {
    if (depth_ != 1) return Refuse("a value outside an object");
    members_.emplace_back(key_, JsonValue{kind, std::move(text)});
    return true;
  }
  bool Refuse(std::string problem) {
    if (problem_.empty()) problem_ = std::move(problem);
    return false;
  }

  std::vector<std::pair<std::string, JsonValue>>& members_;
  std::string key_;
  std::string problem_;
  int depth_ = 0;
};

}  // namespace

bool ParseJsonObject(std::string_view line, std::vector<std::pair<std::string, JsonValue>>& out,
                     std::string& error) {
  out.clear();
  error.clear();
  FlatObjectReader reader(out);
  if (nlohmann::json::sax_parse(line, &reader)) return true;
  std::string shown(line.substr(0, 60));
  if (line.size() > 60) shown += "...";
  error = "not a flat JSON object (" + (reader.problem().empty() ? "no object" : reader.problem()) +
          "): " + shown;
  out.clear();
  return false;
}

}  // namespace vx::ops

namespace vexel {

namespace {

// Input in neither form: refused as input that does not fit.
InputError Refused(const std::string& message) { return InputError(220, message); }

// Passes over the UTF-8 byte-order mark that spreadsheet programs write first.
void SkipByteOrderMark(std::istream& in) {
  if (in.peek() != 0xEF) return;
  in.get();
  if (in.peek() != 0xBB) {
    in.unget();
    return;
  }
  in.get();
  if (in.get() != 0xBF) throw Refused("the input begins with bytes that are no UTF-8");
}

}  // namespace

RowInput csv_rows(std::istream& in) {
  RowInput input;
  SkipByteOrderMark(in);
  std::string error;
  if (!vx::ops::ReadCsvRecord(in, input.columns, error)) {
    if (!error.empty()) throw Refused(error);
    return input;
  }
  input.columns_origin = "the CSV header";
  struct Reading {
    std::size_t line = 1;
    std::vector<std::string> fields;
    std::string error;
  };
  input.next = [&in, r = std::make_shared<Reading>()](TextRow& row) {
    do {
      ++r->line;
      if (!vx::ops::ReadCsvRecord(in, r->fields, r->error)) {
        if (!r->error.empty()) throw Refused(r->error);
        return false;
      }
    } while (r->fields.size() == 1 && r->fields[0].empty());  // an empty line
    row.origin = "row " + std::to_string(r->line);
    row.values.resize(r->fields.size());
    for (std::size_t i = 0; i < r->fields.size(); ++i) {
      row.values[i].text = std::move(r->fields[i]);
      row.values[i].null = false;
    }
    return true;
  };
  return input;
}

RowInput json_rows(std::istream& in) {
  struct Reading {
    std::size_t number = 0;
    std::vector<std::pair<std::string, vx::ops::JsonValue>> object;
    std::string line, error;
  };
  RowInput input;
  input.next = [&in, r = std::make_shared<Reading>()](TextRow& row) {
    while (std::getline(in, r->line)) {
      ++r->number;
      if (r->line.find_first_not_of(" \t\r") == std::string::npos) continue;
      if (!vx::ops::ParseJsonObject(r->line, r->object, r->error)) {
        throw Refused("line " + std::to_string(r->number) + ": " + r->error);
      }
      row.origin = "line " + std::to_string(r->number);
      row.values.clear();
      for (auto& [key, value] : r->object) {
        FieldText& v = row.values.emplace_back();
        v.field = std::move(key);
        v.text = std::move(value.text);
        v.null = value.kind == vx::ops::JsonValue::Kind::kNull;
        if (value.kind == vx::ops::JsonValue::Kind::kTrue) v.text = "T";
        if (value.kind == vx::ops::JsonValue::Kind::kFalse) v.text = "F";
      }
      return true;
    }
    return false;
  };
  return input;
}

}  // namespace vexel
