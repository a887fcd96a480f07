#include "tools/vxdbf/edit_commands.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "engine/foundation/dates.h"
#include "engine/foundation/settings.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/text_formats.h"

namespace vx::tool {

namespace {

// One value for one field, as read from the input.
struct FieldValue {
  int field = 0;  // 1-based field number
  std::string text;
  bool is_null = false;
};
using Row = std::vector<FieldValue>;

int FieldNumber(const std::string& utf8_name, const std::string& file) {
  const int n = FieldNo(FromUtf8(utf8_name));
  if (n == 0) throw InputError{"no field \"" + utf8_name + "\" in " + file};
  return n;
}

bool ParseDate(const std::string& text, double& day_number) {
  std::string digits;
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    digits = text.substr(0, 4) + text.substr(5, 2) + text.substr(8, 2);
  } else if (text.size() == 8) {
    digits = text;
  } else {
    return false;
  }
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  day_number = StoredToDayNumber(digits);
  return day_number != kBlankDate;
}

// What PutValue does with memo text: only check it, or store it in the memo file.
enum class MemoWrite { kCheckOnly, kStore };

// Writes one value into the selected area's record image, or throws InputError when it does
// not fit the field. Memo text is stored in the table's code page (OEM unless `ansi`) and its
// block replaces the one in the image; the caller holds the lock the record needs.
void PutValue(const FieldValue& v, MemoWrite memo = MemoWrite::kCheckOnly, bool ansi = false) {
  TableRecord& table = *SelectedTable();
  RecordImage image = RecordImage::Of(table);
  const FieldEntry& f = image.Field(v.field);
  const std::string where = FieldLabel(f);
  const std::string& text = v.text;
  switch (f.type) {
    case 'C': {
      const std::string ansi_text = FromUtf8(text);
      if (ansi_text.size() > f.length) {
        throw InputError{"\"" + text + "\" is longer than " + where};
      }
      image.SetText(v.field, ansi_text);
      break;
    }
    case 'N':
    case 'F': {
      double value = 0;
      if (!v.is_null && !text.empty()) {
        const auto number = JsonNumber(text);
        if (!number) throw InputError{"\"" + text + "\" is not a number for " + where};
        value = std::strtod(number->c_str(), nullptr);
        if (!std::isfinite(value)) throw InputError{"\"" + text + "\" is out of range"};
      }
      if (!image.SetNumber(v.field, value)) {
        throw InputError{"\"" + text + "\" is no whole number of 32 bits for " + where};
      }
      // Checked with the other values, before anything is written.
      if (!NumberFits(f, value)) throw InputError{"\"" + text + "\" does not fit " + where};
      break;
    }
    case 'L': {
      std::string upper = os::AnsiUpperText(text);
      if (upper == "T" || upper == "TRUE" || upper == "Y" || upper == "YES" || upper == "1") {
        image.SetLogical(v.field, true);
      } else if (v.is_null || upper.empty() || upper == "F" || upper == "FALSE" || upper == "N" ||
                 upper == "NO" || upper == "0") {
        image.SetLogical(v.field, false);
      } else {
        throw InputError{"\"" + text + "\" is not a logical value for " + where};
      }
      break;
    }
    case 'D': {
      double day_number = kBlankDate;
      if (!v.is_null && !text.empty() && !ParseDate(text, day_number)) {
        throw InputError{"\"" + text + "\" is no date (YYYY-MM-DD or YYYYMMDD) for " + where};
      }
      image.SetDate(v.field, day_number);
      break;
    }
    default: {
      if (MemoOf(table) == nullptr) throw InputError{"no memo file for " + where};
      if (memo == MemoWrite::kCheckOnly) break;
      const std::string stored = v.is_null ? std::string()
                                 : ansi    ? os::Utf8ToAnsi(text)
                                           : os::Utf8ToOem(text);
      image.SetMemoBlock(v.field, ReplaceMemo(table, image.MemoBlock(v.field), stored, "vxdbf"));
      break;
    }
  }
}

std::vector<Row> ReadCsvRows(std::istream& in, const std::string& file) {
  std::vector<Row> rows;
  std::vector<std::string> fields;
  std::string error;
  if (!ReadCsvRecord(in, fields, error)) {
    if (!error.empty()) throw InputError{error};
    return rows;
  }
  std::vector<int> columns;
  for (const std::string& name : fields) columns.push_back(FieldNumber(name, file));
  for (std::size_t line = 2; ReadCsvRecord(in, fields, error); ++line) {
    if (fields.size() == 1 && fields[0].empty()) continue;  // an empty line
    if (fields.size() != columns.size()) {
      throw InputError{"row " + std::to_string(line) + " has " + std::to_string(fields.size()) +
                       " values for " + std::to_string(columns.size()) + " columns"};
    }
    Row row;
    for (std::size_t i = 0; i < columns.size(); ++i) row.push_back({columns[i], fields[i]});
    rows.push_back(std::move(row));
  }
  if (!error.empty()) throw InputError{error};
  return rows;
}

std::vector<Row> ReadJsonRows(std::istream& in, const std::string& file) {
  std::vector<Row> rows;
  std::vector<std::pair<std::string, JsonValue>> object;
  std::string line, error;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (!ParseJsonObject(line, object, error)) {
      throw InputError{"line " + std::to_string(number) + ": " + error};
    }
    Row row;
    for (const auto& [key, value] : object) {
      FieldValue v{FieldNumber(key, file), value.text, value.kind == JsonValue::Kind::kNull};
      if (value.kind == JsonValue::Kind::kTrue) v.text = "T";
      if (value.kind == JsonValue::Kind::kFalse) v.text = "F";
      row.push_back(std::move(v));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::int32_t RecordNumber(const std::string& text) {
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < 1 || n > 0x7FFFFFFF) {
    throw UsageError{"RECNO must be a record number, not \"" + text + "\""};
  }
  return static_cast<std::int32_t>(n);
}

// GO to the record and take its lock; then read it again, so that changes another program
// made before the lock was granted are not overwritten.
void LockRecord(std::int32_t n, const std::string& file) {
  GO(n);
  if (!RLock()) {
    throw LockRefused{"record " + std::to_string(n) + " of " + file +
                      " is locked by another program"};
  }
  SKIP(0);
}

}  // namespace

int AppendRows(const Options& o, std::istream& in, std::ostream& out) {
  if (o.positional.size() != 1) throw UsageError{"append takes one FILE"};
  const std::string& file = o.positional[0];
  TableSession session(o, file, Access::kWrite);
  const std::vector<Row> rows =
      o.format == "jsonl" ? ReadJsonRows(in, file) : ReadCsvRows(in, file);
  // Every value is checked before anything is written.
  for (const Row& row : rows) {
    ClearRecord();
    for (const FieldValue& v : row) PutValue(v);
  }
  if (!rows.empty()) {
    if (!ALock()) throw LockRefused{"the append lock of " + file + " is held by another program"};
    for (const Row& row : rows) {
      ClearRecord();
      for (const FieldValue& v : row) PutValue(v, MemoWrite::kStore, o.ansi);
      Append();
    }
    Unlock();
  }
  session.Close();
  out << rows.size() << "\n";
  return 0;
}

int SetFields(const Options& o, std::ostream& out) {
  if (o.positional.size() < 3) throw UsageError{"set takes FILE RECNO NAME=VALUE ..."};
  const std::string& file = o.positional[0];
  const std::int32_t n = RecordNumber(o.positional[1]);
  TableSession session(o, file, Access::kWrite);
  Row row;
  for (std::size_t i = 2; i < o.positional.size(); ++i) {
    const std::string& assignment = o.positional[i];
    const std::size_t eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw UsageError{"\"" + assignment + "\" is not NAME=VALUE"};
    }
    row.push_back({FieldNumber(assignment.substr(0, eq), file), assignment.substr(eq + 1)});
  }
  LockRecord(n, file);
  for (const FieldValue& v : row) PutValue(v);
  for (const FieldValue& v : row) PutValue(v, MemoWrite::kStore, o.ansi);
  REPLACE();
  Unlock();
  session.Close();
  return 0;
}

int DeleteOrRecall(const Options& o, std::ostream& out, bool recall) {
  if (o.positional.size() != 2) {
    throw UsageError{std::string(recall ? "recall" : "delete") + " takes FILE RECNO"};
  }
  const std::string& file = o.positional[0];
  const std::int32_t n = RecordNumber(o.positional[1]);
  TableSession session(o, file, Access::kWrite);
  LockRecord(n, file);
  if (recall) {
    RecallRec();
  } else {
    DeleteRec();
  }
  Unlock();
  session.Close();
  return 0;
}

int LocateRecords(const Options& o, std::ostream& out) {
  if (o.positional.size() != 3) throw UsageError{"locate takes FILE \"FIELD [options]\" VALUE"};
  TableSession session(o, o.positional[0], Access::kRead);
  // The search compares stored bytes: the value goes into the table's own code page.
  const std::string value =
      o.ansi ? os::Utf8ToAnsi(o.positional[2]) : os::Utf8ToOem(o.positional[2]);
  bool found = Locate(o.positional[1], value);
  const bool any = found;
  while (found) {
    out << RecNo() << "\n";
    if (!o.all) break;
    Continue();
    found = !dEOF();
  }
  session.Close();
  return any ? 0 : 1;
}

}  // namespace vx::tool
