// Edits by path with values given as text (include/vexel/edit.hpp), over the work-area layer:
// the values follow the field input rules of engine/workarea/field_input.h, appended rows go
// through a spool file so that a bad row stops the append before anything is written.

#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>
#include <vexel/edit.hpp>

#include "engine/api/internal.h"
#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/foundation/strings.h"
#include "engine/index/index_check.h"
#include "engine/index/key_codec.h"
#include "engine/index/orders.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/table/record_spool.h"
#include "engine/workarea/field_input.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "platform/os/path_text.h"

namespace vx::ops {

namespace {

// One value for one field, as given.
struct FieldValue {
  int field = 0;  // 1-based field number
  std::string text{};
  bool is_null = false;
  std::string stored{};  // character and memo text in the table's code page (ConvertText)
};
// The values of one record, and where they came from ("row 3", "line 2", "record 5").
struct Row {
  std::string origin{};
  std::vector<FieldValue> values{};
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

// The caller's values as a row of field numbers: by the header's columns when there is one,
// else by the name each value gives.
void ToRow(vexel::TextRow& given, const std::vector<int>& columns, const std::string& file,
           const TableText& text, Row& row) {
  row.origin = std::move(given.origin);
  row.values.resize(given.values.size());
  for (std::size_t i = 0; i < given.values.size(); ++i) {
    vexel::FieldText& v = given.values[i];
    FieldValue& out = row.values[i];
    out.field = columns.empty() ? FieldNumber(v.field, file, text) : columns[i];
    out.text = std::move(v.text);
    out.is_null = v.null;
    out.stored.clear();
  }
  if (columns.empty()) RefuseRepeatedField(row);
}

// Converts the character and memo values of a row into the table's code page, before anything
// is written: a character the page lacks stops the edit with the row and field.
void ConvertText(Row& row, TableText& text) {
  for (FieldValue& v : row.values) {
    const FieldEntry& f = FieldOf(v.field);
    if (v.is_null || (ValueKind(f) != 'C' && f.type != 'M') ||
        f.storage == FieldStorage::kVarbinary) {
      continue;
    }
    v.stored = text.FromUtf8(v.text, row.origin + ", field " + f.name);
    const MemoFile* memo = MemoOf(*SelectedTable());
    if (f.type == 'M' && memo != nullptr) {
      if (const std::size_t at = MemoCutAt(memo->kind, v.stored); at != std::string::npos) {
        throw InputError{row.origin + ", field " + f.name + ": " +
                         MemoCutProblem(at, v.stored.size())};
      }
    }
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
// not fit the field (the rules are the engine's, PutFieldText). Memo text goes into new blocks
// of the memo file and their number replaces the one in the image; the old blocks are added to
// `superseded` (when given) for the caller to release once the record is written, so that a
// process killed in between leaves the record with its old memo whole, never a freed block.
// The caller holds the lock the record needs. A refusal names the row or record the value came
// from (`origin`, "line 3", "record 5").
void PutValue(const FieldValue& v, const std::string& origin,
              MemoWrite memo = MemoWrite::kCheckOnly,
              std::vector<std::int32_t>* superseded = nullptr) {
  TableRecord& table = *SelectedTable();
  RecordImage image = RecordImage::Of(table);
  const FieldEntry& f = image.Field(v.field);
  const TextValue value{v.text, v.is_null, v.stored};
  if (!TextGoesToMemo(f, value)) {
    const std::string problem = PutFieldText(image, v.field, value);
    if (!problem.empty()) {
      throw InputError{origin.empty() || problem.starts_with(origin) ? problem
                                                                      : origin + ": " + problem};
    }
    return;
  }
  if (MemoOf(table) == nullptr) throw InputError{"no memo file for " + FieldLabel(f)};
  if (memo == MemoWrite::kCheckOnly) return;
  const std::int32_t old_block = image.MemoBlock(v.field);
  const bool later = superseded != nullptr;
  image.SetMemoBlock(v.field, ReplaceMemo(table, later ? 0 : old_block, v.stored, "vexel"));
  if (later && old_block > 0) superseded->push_back(old_block);
}

// Refuses a read_only caller; then undoes a rewrite of the table (pack, zap, alter) that a killed
// process left half done: an edit of the half-replaced files would be lost when they are put back.
bool RecoverBeforeEdit(const vexel::OpenOptions& options, const std::string& file) {
  RefuseReadOnly(options, file);
  const std::string table = DefaultExtension(TrimText(file), "DBF");
  if (!RecoverReplacement(os::ResolvePath(table))) return false;
  Warn(options, "an interrupted rewrite of " + table + " was undone; its old files are back");
  return true;
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
// before anything is written, unless ignore_index asks for it.
void GuardProductionIndex(const vexel::OpenOptions& o, const std::string& file) {
  const TableRecord* table = SelectedTable();
  if (table == nullptr || !ProductionIndexUnmaintained(*table)) return;
  if (!o.ignore_index) {
    throw InputError{file +
                         " has a production index (.MDX) that cannot be kept up to date here: "
                         "an edit would leave its keys stale for every program that uses them. "
                         "Nothing was changed",
                     {{vexel::Remedy::ignore_index, "edits anyway"}}};
  }
  Warn(o, "warning: the production index of " + file +
              " is now stale; rebuild it before another program uses it");
}

// What an edit can change in a tag's keys: every tag gets a key for an appended record; a
// deletion mark changes the tags whose FOR condition asks DELETED(); a field set changes the
// tags whose expressions name it.
struct EditReach {
  bool append = false;
  bool deletion = false;
  std::vector<int> fields{};  // 1-based numbers of the fields set
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
// keys this engine inserts land where that writer does not look for them. The index engine
// refuses such an edit before anything is written, for every caller; with ignore_index the edit
// goes on without the index instead, which is then stale.
void GuardWritersOrder(const vexel::OpenOptions& o, const EditReach& reach) {
  const TableRecord* table = SelectedTable();
  if (table == nullptr || !o.ignore_index) return;
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
    // Keys this engine adds or removes there would miss their place: the edit goes on without
    // the index, which is then stale for every program until it is rebuilt.
    const std::string index = IndexFileName();
    CloseIndex();
    Warn(o, "warning: " + what + "; the edit did not update " + index +
                ", which is now stale: reindex rebuilds it (in byte order) before another "
                "program uses it");
    return;
  }
}

// The table opened for an edit, after the checks every edit makes.
struct EditSession {
  EditSession(const vexel::OpenOptions& options, const std::string& file)
      : recovered(RecoverBeforeEdit(options, file)), session(options, file, Access::kWrite) {
    GuardProductionIndex(options, file);
  }
  bool recovered;
  TableSession session;
};

// The fields a header names, each once.
std::vector<int> ColumnsOf(const vexel::RowInput& input, const std::string& file,
                           const TableText& text) {
  std::vector<int> columns;
  Row header{input.columns_origin};
  for (const std::string& name : input.columns) {
    columns.push_back(FieldNumber(name, file, text));
    header.values.push_back({columns.back()});
  }
  RefuseRepeatedField(header);
  return columns;
}

// The failure being handled, as the public error it reaches the caller as.
vexel::Error AppendFailure() {
  try {
    vexel::detail::RethrowEngineError();
  } catch (const vexel::Error& e) {
    return e;
  } catch (const std::exception& e) {
    return vexel::Error(254, e.what());
  }
}

std::string RecordRange(std::int32_t first, std::uint64_t count) {
  if (count == 1) return "record " + std::to_string(first);
  return "records " + std::to_string(first) + " to " +
         std::to_string(static_cast<std::uint64_t>(first) + count - 1);
}

std::uint64_t AppendRows(const std::string& file, const vexel::RowInput& input,
                         const vexel::OpenOptions& options) {
  EditSession edit(options, file);
  TableSession& session = edit.session;
  GuardWritersOrder(options, {.append = true});
  const std::vector<int> columns = ColumnsOf(input, file, session.text());
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
  vexel::TextRow given;
  Row row;
  while (input.next && input.next(given)) {
    if (!columns.empty() && given.values.size() != columns.size()) {
      throw InputError{given.origin + " has " + std::to_string(given.values.size()) +
                       " values for " + std::to_string(columns.size()) + " columns"};
    }
    ToRow(given, columns, file, session.text(), row);
    ConvertText(row, session.text());
    ClearRecord();
    for (const FieldValue& v : row.values) PutValue(v, row.origin);
    spooled(spool.Put(SpoolEntry(row)));
  }
  const std::uint64_t rows = spool.count();
  if (rows > 0) {
    spooled(spool.Rewind());
    if (!ALock()) throw LockRefused{"the append lock of " + file + " is held by another program"};
    // A file cut short is counted only under the lock: the file's size is read before its
    // header, and another program's append between the two looks like a cut.
    try {
      RefuseCutTable(session.table(), file, "Nothing was appended");
    } catch (...) {
      Unlock();
      throw;
    }
    // The memo file's lock and flush once per batch of memos, not once per row.
    MemoWriteBatch memos(session.table());
    Progress progress(options, "append", static_cast<std::int64_t>(rows));
    std::string entry;
    int code = 0;
    // Nobody else appends while the lock is held: the records past this count are ours.
    const std::int32_t start = session.table().record_count;
    try {
      // The index's bracket is taken once for many rows (let go at least every 50 ms).
      AppendBatch batch;
      for (std::int64_t n = 1; spool.Next(entry, code); ++n) {
        progress.Step(n);
        FromSpool(entry, row);
        vexel::detail::ClearNewRecord(session.table());
        for (const FieldValue& v : row.values) PutValue(v, row.origin, MemoWrite::kStore);
        Append();
      }
      // Records that wait behind go to the disk here, where a failure is still counted.
      FlushAppends(session.table());
      batch.Close();
    } catch (...) {
      // A failed write of records that waited behind takes them all back.
      const std::uint64_t appended =
          static_cast<std::uint64_t>(std::max(0, session.table().record_count - start));
      // Other programs may append meanwhile, so the rows that went in stay: the failure says
      // how many did, and which records they are.
      const vexel::Error failure = AppendFailure();
      {
        CleanupErrors cleanup;
        memos.Release();
        Unlock();
        session.Close();
      }
      const std::string kept =
          appended == 0 ? "no row was appended"
                        : "the " + std::to_string(appended) + " rows before it were appended (" +
                              RecordRange(start + 1, appended) + ") and are kept, the rest were not";
      throw vexel::DataError(failure.code(), file + ": row " + std::to_string(appended + 1) +
                                                 " of " + std::to_string(rows) +
                                                 " could not be appended (" + failure.what() +
                                                 "); " + kept);
    }
    memos.Release();
    Unlock();
    if (code != 0) {
      throw DataError{"the temporary file " + spool.path() + " could not be read back (error " +
                      std::to_string(code) + "): " + file + " holds only some of the rows"};
    }
  }
  session.Close();
  return rows;
}

void SetFields(const std::string& file, std::int32_t n, const std::vector<vexel::FieldText>& given,
               const vexel::OpenOptions& options) {
  EditSession edit(options, file);
  TableSession& session = edit.session;
  Row row{"record " + std::to_string(n)};
  for (const vexel::FieldText& v : given) {
    row.values.push_back({FieldNumber(v.field, file, session.text()), v.text, v.null});
  }
  RefuseRepeatedField(row);
  EditReach reach;
  for (const FieldValue& v : row.values) reach.fields.push_back(v.field);
  GuardWritersOrder(options, reach);
  ConvertText(row, session.text());
  LockRecord(n, file);
  for (const FieldValue& v : row.values) PutValue(v, row.origin);
  std::vector<std::int32_t> superseded;
  for (const FieldValue& v : row.values) PutValue(v, row.origin, MemoWrite::kStore, &superseded);
  REPLACE();
  for (const std::int32_t block : superseded) ReleaseMemo(session.table(), block, "vexel");
  Unlock();
  session.Close();
}

void MarkDeleted(const std::string& file, std::int32_t n, bool deleted,
                 const vexel::OpenOptions& options) {
  EditSession edit(options, file);
  GuardWritersOrder(options, {.deletion = true});
  LockRecord(n, file);
  if (deleted) {
    DeleteRec();
  } else {
    RecallRec();
  }
  Unlock();
  edit.session.Close();
}

// A record number of the public API as the engine's: beyond its range none exists.
std::int32_t RecordNumber(std::uint32_t recno) {
  return recno > 0x7FFFFFFFu ? 0 : static_cast<std::int32_t>(recno);
}

}  // namespace

}  // namespace vx::ops

namespace vexel {

std::uint64_t append_rows(const std::filesystem::path& table, const RowInput& input,
                          const OpenOptions& options) {
  return vx::ops::Run([&] { return vx::ops::AppendRows(vx::os::PathText(table), input, options); });
}

void set_fields(const std::filesystem::path& table, std::uint32_t recno,
                const std::vector<FieldText>& values, const OpenOptions& options) {
  vx::ops::Run([&] {
    vx::ops::SetFields(vx::os::PathText(table), vx::ops::RecordNumber(recno), values, options);
  });
}

void delete_record(const std::filesystem::path& table, std::uint32_t recno,
                   const OpenOptions& options) {
  vx::ops::Run([&] {
    vx::ops::MarkDeleted(vx::os::PathText(table), vx::ops::RecordNumber(recno), true, options);
  });
}

void recall_record(const std::filesystem::path& table, std::uint32_t recno,
                   const OpenOptions& options) {
  vx::ops::Run([&] {
    vx::ops::MarkDeleted(vx::os::PathText(table), vx::ops::RecordNumber(recno), false, options);
  });
}

std::uint64_t locate(const std::filesystem::path& table, std::string_view condition,
                     std::string_view value, const std::function<bool(std::uint32_t recno)>& found,
                     const OpenOptions& options) {
  return vx::ops::Run([&] {
    vx::ops::TableSession session(options, vx::os::PathText(table), vx::ops::Access::kRead);
    // The search compares stored bytes: the value goes into the table's own code page.
    const std::string stored = session.text().FromUtf8(value, "VALUE");
    std::uint64_t count = 0;
    for (bool hit = vx::Locate(condition, stored); hit; hit = !vx::dEOF()) {
      ++count;
      if (!found || !found(static_cast<std::uint32_t>(vx::RecNo()))) break;
      vx::Continue();
    }
    session.Close();
    return count;
  });
}

}  // namespace vexel
