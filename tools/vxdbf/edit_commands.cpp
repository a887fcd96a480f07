#include "tools/vxdbf/edit_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "engine/foundation/dates.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/index/index_check.h"
#include "engine/index/key_codec.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/field_values.h"
#include "engine/table/record_spool.h"
#include "engine/workarea/field_input.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "tools/vxdbf/file_replacement.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/text_formats.h"

namespace vx::tool {

namespace {

// One value for one field, as read from the input.
struct FieldValue {
  int field = 0;  // 1-based field number
  std::string text;
  bool is_null = false;
  std::string stored;  // character and memo text in the table's code page (ConvertText)
};
// The values of one record, and where they came from ("row 3", "line 2", "record 5").
struct Row {
  std::string origin;
  std::vector<FieldValue> values;
};

const FieldEntry& FieldOf(int field) {
  return SelectedTable()->fields[static_cast<std::size_t>(field - 1)];
}

int FieldNumber(const std::string& utf8_name, const std::string& file, const TableText& text) {
  const int n = FieldNo(text.Name(utf8_name));
  if (n == 0) throw InputError{"no field " + Quoted(utf8_name) + " in " + file};
  return n;
}

// Refuses a row that names one field twice (in any case): which value was meant is unknown.
void RefuseRepeatedField(const Row& row) {
  const std::vector<FieldValue>& values = row.values;
  for (std::size_t i = 0; i < values.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (values[i].field == values[j].field) {
        throw InputError{row.origin + " names field " + FieldOf(values[i].field).name + " twice"};
      }
    }
  }
}

// Converts the character and memo values of a row into the table's code page, before anything
// is written: a character the page lacks stops the command with the row and field.
void ConvertText(Row& row, TableText& text) {
  for (FieldValue& v : row.values) {
    const FieldEntry& f = FieldOf(v.field);
    if (v.is_null || (ValueKind(f) != 'C' && f.type != 'M') ||
        f.storage == FieldStorage::kVarbinary) {
      continue;
    }
    v.stored = text.FromUtf8(v.text, row.origin + ", field " + f.name);
  }
}

// A checked row in the append spool, and back.
std::string SpoolEntry(const Row& row) {
  std::string entry;
  for (const FieldValue& v : row.values) {
    RecordSpool::PutNumber(entry, static_cast<std::uint32_t>(v.field) | (v.is_null ? 1u << 31 : 0));
    RecordSpool::PutText(entry, v.text);
    RecordSpool::PutText(entry, v.stored);
  }
  return entry;
}
void FromSpool(std::string_view entry, Row& row) {
  row.values.clear();
  std::uint32_t field = 0;
  while (RecordSpool::TakeNumber(entry, field)) {
    FieldValue& v = row.values.emplace_back();
    v.field = static_cast<int>(field & ~(1u << 31));
    v.is_null = (field >> 31) != 0;
    RecordSpool::TakeText(entry, v.text);
    RecordSpool::TakeText(entry, v.stored);
  }
}

// What PutValue does with memo text: only check it, or store it in the memo file.
enum class MemoWrite { kCheckOnly, kStore };

// Writes one value into the selected area's record image, or throws InputError when it does
// not fit the field (the rules are the engine's, PutFieldText). Memo text goes into the memo
// file and its block replaces the one in the image. The caller holds the lock the record needs.
void PutValue(const FieldValue& v, MemoWrite memo = MemoWrite::kCheckOnly) {
  TableRecord& table = *SelectedTable();
  RecordImage image = RecordImage::Of(table);
  const FieldEntry& f = image.Field(v.field);
  const TextValue value{v.text, v.is_null, v.stored};
  if (!TextGoesToMemo(f, value)) {
    const std::string problem = PutFieldText(image, v.field, value);
    if (!problem.empty()) throw InputError{problem};
    return;
  }
  if (MemoOf(table) == nullptr) throw InputError{"no memo file for " + FieldLabel(f)};
  if (memo == MemoWrite::kCheckOnly) return;
  image.SetMemoBlock(v.field, ReplaceMemo(table, image.MemoBlock(v.field), v.stored, "vxdbf"));
}

// Passes over the UTF-8 byte-order mark that spreadsheet programs write first.
void SkipByteOrderMark(std::istream& in) {
  if (in.peek() != 0xEF) return;
  in.get();
  if (in.peek() != 0xBB) {
    in.unget();
    return;
  }
  in.get();
  if (in.get() != 0xBF) throw InputError{"the input begins with bytes that are no UTF-8"};
}

// Reads the rows one at a time, handing each to `each`.
using RowSink = std::function<void(Row&)>;
void ReadCsvRows(std::istream& in, const std::string& file, const TableText& text,
                 const RowSink& each) {
  SkipByteOrderMark(in);
  std::vector<std::string> fields;
  std::string error;
  if (!ReadCsvRecord(in, fields, error)) {
    if (!error.empty()) throw InputError{error};
    return;
  }
  std::vector<int> columns;
  Row header{"the CSV header"};
  for (const std::string& name : fields) {
    columns.push_back(FieldNumber(name, file, text));
    header.values.push_back({columns.back()});
  }
  RefuseRepeatedField(header);
  for (std::size_t line = 2; ReadCsvRecord(in, fields, error); ++line) {
    if (fields.size() == 1 && fields[0].empty()) continue;  // an empty line
    if (fields.size() != columns.size()) {
      throw InputError{"row " + std::to_string(line) + " has " + std::to_string(fields.size()) +
                       " values for " + std::to_string(columns.size()) + " columns"};
    }
    Row row{"row " + std::to_string(line)};
    for (std::size_t i = 0; i < columns.size(); ++i) row.values.push_back({columns[i], fields[i]});
    each(row);
  }
  if (!error.empty()) throw InputError{error};
}

void ReadJsonRows(std::istream& in, const std::string& file, const TableText& text,
                  const RowSink& each) {
  std::vector<std::pair<std::string, JsonValue>> object;
  std::string line, error;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (!ParseJsonObject(line, object, error)) {
      throw InputError{"line " + std::to_string(number) + ": " + error};
    }
    Row row{"line " + std::to_string(number)};
    for (const auto& [key, value] : object) {
      FieldValue v{FieldNumber(key, file, text), value.text, value.kind == JsonValue::Kind::kNull};
      if (value.kind == JsonValue::Kind::kTrue) v.text = "T";
      if (value.kind == JsonValue::Kind::kFalse) v.text = "F";
      row.values.push_back(std::move(v));
    }
    RefuseRepeatedField(row);
    each(row);
  }
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

// An edit would leave a production index stale (nothing here maintains its keys): refused
// before anything is written, unless --ignore-index asks for it.
void GuardProductionIndex(const Options& o, const std::string& file, std::ostream& err) {
  const TableRecord* table = SelectedTable();
  if (table == nullptr || !ProductionIndexUnmaintained(*table)) return;
  if (!o.ignore_index) {
    throw InputError{file +
                     " has a production index (.MDX) that vxdbf cannot keep up to date: an "
                     "edit would leave its keys stale for every program that uses them. Nothing "
                     "was changed; --ignore-index edits anyway"};
  }
  err << "vxdbf: warning: the production index of " << file
      << " is now stale; rebuild it before another program uses it\n";
}

// A new record's logical fields that its row does not name stay blank (no value), not false.
void LeaveLogicalsBlank() {
  TableRecord& table = *SelectedTable();
  RecordImage image = RecordImage::Of(table);
  for (int n = 1; n <= image.FieldCount(); ++n) {
    if (image.Field(n).type == 'L') image.SetLogicalBlank(n);
  }
}

// An append onto a table whose file was cut short would write over the cut record and leave
// the header counting records that are gone: refused before any row is read.
void RefuseCutTable(TableRecord& t, const std::string& file) {
  const RecordTally tally = TallyRecords(t);
  if (!tally.Cut()) return;
  const std::string partial =
      tally.partial_bytes == 0
          ? ""
          : " and " + std::to_string(tally.partial_bytes) + " bytes of a cut one";
  throw DataError{file + " is damaged: its header counts " + std::to_string(tally.counted) +
                  " records, the file holds " + std::to_string(tally.whole) + partial +
                  ". Nothing was appended; vxdbf check " + file + " shows the damage"};
}

// What an edit can change in a tag's keys: every tag gets a key for an appended record; a
// deletion mark changes the tags whose FOR condition asks DELETED(); a field set changes the
// tags whose expressions name it.
struct EditReach {
  bool append = false;
  bool deletion = false;
  std::vector<int> fields;  // 1-based numbers of the fields set
};

// The names (upper case, outside quoted literals) that a normalized expression mentions.
std::vector<std::string> NamesIn(const std::string& normalized) {
  std::vector<std::string> names;
  char quote = 0;
  std::string name;
  for (const char c : normalized + " ") {
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '_') {
      name += c;
      continue;
    }
    if (!name.empty() && !std::isdigit(static_cast<unsigned char>(name[0]))) names.push_back(name);
    name.clear();
    if (c == '"' || c == '\'' || c == '[') quote = c == '[' ? ']' : c;
  }
  return names;
}

// A tag in another writer's signed-byte order (check names it) whose keys the edit would change:
// keys this engine inserts land where that writer does not look for them. Refused before
// anything is written, unless --ignore-index asks for it; then the edit leaves the index alone.
void GuardWritersOrder(const Options& o, const std::string& file, const EditReach& reach,
                       std::ostream& err) {
  const TableRecord* table = SelectedTable();
  if (table == nullptr) return;
  for (int n = 1; n <= OrderCount(); ++n) {
    const OrderTag* tag = OrderOf(n);
    if (tag == nullptr || tag->header.KeyType() != 'C') continue;
    const std::vector<std::string> key =
        NamesIn(NormalizeKeyExpression(tag->header.KeyExpression()));
    const std::vector<std::string> condition =
        tag->header.HasFor() ? NamesIn(NormalizeKeyExpression(tag->header.ForExpression()))
                             : std::vector<std::string>{};
    const auto names = [&](const std::string& name) {
      return std::find(key.begin(), key.end(), name) != key.end() ||
             std::find(condition.begin(), condition.end(), name) != condition.end();
    };
    bool reached = reach.append || (reach.deletion && names("DELETED"));
    for (const int field : reach.fields) {
      reached = reached || names(TrimText(table->fields[static_cast<std::size_t>(field - 1)].name));
    }
    if (!reached || !OrderInSignedByteOrder(n)) continue;
    const std::string what = "tag " + tag->name + " of " + IndexFileName() +
                             " holds its keys in its writer's own order, " +
                             CollationName(KeyCollation::kSignedBytes);
    if (!o.ignore_index) {
      throw InputError{what +
                       ": this edit would change its keys, which vxdbf would put where that "
                       "writer does not look for them. Nothing was changed; reindex would "
                       "reorder the tag in byte order for every program, --ignore-index edits "
                       "anyway"};
    }
    // Keys this engine adds or removes there would miss their place: the edit goes on without
    // the index, which is then stale for every program until it is rebuilt.
    const std::string index = IndexFileName();
    CloseIndex();
    err << "vxdbf: warning: " << what << "; the edit did not update " << index
        << ", which is now stale: reindex rebuilds it (in byte order) before another program "
           "uses it\n";
    return;
  }
}

}  // namespace

int AppendRows(const Options& o, const Streams& io) {
  const std::string& file = o.file;
  TableSession session(o, file, Access::kWrite, io.err);
  GuardProductionIndex(o, file, io.err);
  RefuseCutTable(session.table(), file);
  GuardWritersOrder(o, file, {.append = true}, io.err);
  // Every row is checked, and kept in a spool file, before anything is written.
  RecordSpool spool;
  if (const int code = spool.OpenBeside(session.table().file_name); code != 0) {
    throw DataError{"cannot make a temporary file beside " + file + " (error " +
                    std::to_string(code) + ")"};
  }
  const auto spooled = [&](int code) {
    if (code != 0) {
      throw DataError{"cannot use the temporary file " + spool.path() + " (error " +
                      std::to_string(code) + "). Nothing was appended"};
    }
  };
  const RowSink check = [&](Row& row) {
    ConvertText(row, session.text());
    ClearRecord();
    for (const FieldValue& v : row.values) PutValue(v);
    spooled(spool.Put(SpoolEntry(row)));
  };
  if (o.format == "jsonl") {
    ReadJsonRows(io.in, file, session.text(), check);
  } else {
    ReadCsvRows(io.in, file, session.text(), check);
  }
  const std::uint64_t rows = spool.count();
  if (rows > 0) {
    spooled(spool.Rewind());
    if (!ALock()) throw LockRefused{"the append lock of " + file + " is held by another program"};
    // The memo file's lock and flush once per batch of memos, not once per row.
    MemoWriteBatch memos(session.table());
    Progress progress(io.err, "append", static_cast<std::int64_t>(rows));
    Row row;
    std::string entry;
    int code = 0;
    for (std::int64_t n = 1; spool.Next(entry, code); ++n) {
      progress.Step(n);
      FromSpool(entry, row);
      ClearRecord();
      LeaveLogicalsBlank();
      for (const FieldValue& v : row.values) PutValue(v, MemoWrite::kStore);
      Append();
    }
    memos.Release();
    Unlock();
    if (code != 0) {
      throw DataError{"the temporary file " + spool.path() + " could not be read back (error " +
                      std::to_string(code) + "): " + file + " holds only some of the rows"};
    }
  }
  session.Close();
  io.out << rows << "\n";
  return 0;
}

namespace {

int SetFields(const Options& o, const Streams& io) {
  const std::string& file = o.file;
  const std::int32_t n = o.record;
  TableSession session(o, file, Access::kWrite, io.err);
  GuardProductionIndex(o, file, io.err);
  std::vector<Row> rows = {{"record " + std::to_string(n)}};
  Row& row = rows[0];
  for (const std::string& assignment : o.arguments) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) {
      throw UsageError{Quoted(assignment) + " is not NAME=VALUE"};
    }
    row.values.push_back(
        {FieldNumber(assignment.substr(0, eq), file, session.text()), assignment.substr(eq + 1)});
  }
  RefuseRepeatedField(row);
  EditReach reach;
  for (const FieldValue& v : row.values) reach.fields.push_back(v.field);
  GuardWritersOrder(o, file, reach, io.err);
  ConvertText(row, session.text());
  LockRecord(n, file);
  for (const FieldValue& v : row.values) PutValue(v);
  for (const FieldValue& v : row.values) PutValue(v, MemoWrite::kStore);
  REPLACE();
  Unlock();
  session.Close();
  return 0;
}

int DeleteOrRecall(const Options& o, const Streams& io, bool recall) {
  const std::string& file = o.file;
  const std::int32_t n = o.record;
  TableSession session(o, file, Access::kWrite, io.err);
  GuardProductionIndex(o, file, io.err);
  GuardWritersOrder(o, file, {.deletion = true}, io.err);
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

int LocateRecords(const Options& o, const Streams& io) {
  std::ostream& out = io.out;
  TableSession session(o, o.file, Access::kRead, io.err);
  // The search compares stored bytes: the value goes into the table's own code page.
  const std::string value = session.text().FromUtf8(o.arguments.at(1), "VALUE");
  bool found = Locate(o.arguments.at(0), value);
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

}  // namespace

void RegisterEditCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& append =
      commands.Add({"append", "FILE [--format csv|jsonl]          (rows from standard input)",
                    "Appends the rows read from standard input, all checked before any is written.",
                    "printf 'TITLE,YEAR\\nVertigo,1958\\n' | vxdbf append films.dbf", AppendRows});
  AddFileArgument(append, o);
  AddIndexOption(append, o);
  AddFormatOption(append, o, "csv (a header line of field names, then rows) or jsonl");
  AddTextOptions(append, o);
  AddSharingOptions(append, o);

  CLI::App& set = commands.Add({"set", "FILE RECNO NAME=VALUE ...",
                                "Changes the named fields of one record under its lock.",
                                "vxdbf set films.dbf 1 YEAR=1959 TITLE=Vertigo", SetFields});
  AddFileArgument(set, o);
  AddIndexOption(set, o);
  AddRecordArgument(set, o);
  AddArguments(set, o, "NAME=VALUE", "a field and its new value (UTF-8)", -1);
  AddTextOptions(set, o);
  AddSharingOptions(set, o);

  for (const bool recall : {false, true}) {
    CLI::App& mark = commands.Add(
        {recall ? "recall" : "delete", "FILE RECNO",
         recall ? "Removes the deletion mark of one record." : "Marks one record deleted.",
         recall ? "vxdbf recall films.dbf 2" : "vxdbf delete films.dbf 2",
         [recall](const Options& options, const Streams& io) {
           return DeleteOrRecall(options, io, recall);
         }});
    AddFileArgument(mark, o);
    AddIndexOption(mark, o);
    AddRecordArgument(mark, o);
    AddSharingOptions(mark, o);
  }

  CLI::App& locate = commands.Add(
      {"locate", "FILE \"FIELD [NOCASE] [EXACT] [CONTAINED]\" VALUE [--all]",
       "Prints the number of the first record (or of every record) whose field matches VALUE.",
       "vxdbf locate films.dbf \"TITLE NOCASE CONTAINED\" wind --all", LocateRecords});
  AddFileArgument(locate, o);
  AddArguments(locate, o, "CONDITION VALUE",
               "the field with NOCASE (any case), EXACT (whole field) or CONTAINED (anywhere), "
               "then the text",
               2);
  locate.add_flag("--all", o.all, "print every matching record, not only the first");
  AddTextOptions(locate, o);
  AddSharingOptions(locate, o);
}

}  // namespace vx::tool
