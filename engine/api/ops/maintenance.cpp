#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vexel/maintenance.hpp>

#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/api/ops/record_order.h"
#include "engine/api/ops/table_rewrite.h"
#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "engine/table/language_driver.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/system.h"

namespace vx::ops {

namespace {

// A field definition dBASE programs would not read back as given.
struct DefinitionRefused : vexel::DefinitionError {
  explicit DefinitionRefused(const std::string& message) : vexel::DefinitionError(220, message) {}
};

// The files of a table as they exist on the disk: the table, its memo file and its production
// index (empty when the table has none).
struct TableFiles {
  std::string table, memo, index;
  std::vector<std::string> All() const {
    std::vector<std::string> all{table};
    if (!memo.empty()) all.push_back(memo);
    if (!index.empty()) all.push_back(index);
    return all;
  }
};

// The files of the table, after undoing a rewrite of it that a killed process left half done.
TableFiles FilesOf(const std::string& file, const vexel::OperationOptions& options) {
  TableFiles files;
  const std::string table = DefaultExtension(file, "DBF");
  if (RecoverReplacement(os::ResolvePath(table))) {
    Warn(options, "an interrupted rewrite of " + table + " was undone; its old files are back");
  }
  files.table = os::ResolvePath(table);
  // Missing, as every command that reads a table reports it: the engine's "File not found".
  if (os::DirectoryExists(file)) {
    throw vexel::Error(2, "Error # 2 (File not found): " + file + " is a folder, not a table");
  }
  if (!os::FileExists(files.table)) {
    throw vexel::Error(2, "Error # 2 (File not found): no table " + table);
  }
  // The header says whether a memo file and a production index belong to the table.
  TableRecord t;
  t.file_name = files.table;
  t.open_mode = os::kOpenReadOnlyDenyNone;
  {
    QuietErrors quiet;
    OpenDbf(t);
  }
  if (!t.file.IsOpen()) return files;  // the open below reports what is wrong
  const std::string memo = DerivedFileName(files.table, MemoExtension(MemoVersionOf(t.version())));
  if (t.has_memo && os::FileExists(memo)) files.memo = os::ResolvePath(memo);
  const std::string index = DerivedFileName(files.table, "MDX");
  if (!t.IsDbase2() && t.header[28] != 0 && os::FileExists(index)) {
    files.index = os::ResolvePath(index);
  }
  CloseDbf(t);
  return files;
}

// The caller's options with the table for exclusive use.
vexel::OperationOptions ExclusiveUse(const vexel::OperationOptions& options) {
  vexel::OperationOptions exclusive = options;
  exclusive.exclusive = true;
  return exclusive;
}

// Opens the table for exclusive use (LockRefused when another program has one of its files
// open). `exclusive` comes from ExclusiveUse and outlives the session.
TableSession OpenExclusive(const vexel::OperationOptions& exclusive, const TableFiles& files,
                           const std::string& command, Access access = Access::kIndex) {
  ClaimExclusive(files.All(), command);
  try {
    return TableSession(exclusive, files.table, access);
  } catch (const EVexelError&) {
    // Another program may have opened it between the two steps.
    ClaimExclusive(files.All(), command);
    throw;
  }
}

// Completes the new files and puts them in place of the old ones: the table and memo file
// finished, the table read back, every tag built from `tags`, the renames done, and the old
// table's session closed.
void CompleteAndReplace(DbfWriter& table, std::optional<MemoWriter>& memos,
                        const std::string& temp_table, const std::string& final_table,
                        const std::vector<TagDefinition>& tags, Progress& progress,
                        FileReplacement& replacement, std::size_t index_entry,
                        TableSession& session) {
  table.Finish();
  if (memos) memos->Finish();
  VerifyNewTable(temp_table, table.count());
  BuildProductionIndex(temp_table, final_table, tags, progress, replacement, index_entry);
  replacement.Replace();
  session.Close();
}

std::vector<std::string> TagNames(const std::vector<TagDefinition>& tags) {
  std::vector<std::string> names;
  for (const TagDefinition& tag : tags) names.push_back(tag.name);
  return names;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

// A memo block number as a dBASE memo field stores it: digits right-aligned, blank for none.
std::string BlockDigits(std::int32_t block, std::size_t width) {
  std::string digits = block == 0 ? std::string() : std::to_string(block);
  digits.insert(0, width - std::min<std::size_t>(digits.size(), width), ' ');
  return digits;
}

// Which records a rewrite keeps.
enum class Keep { kNone, kLive, kAll };

// Writes the table again beside itself, keeping the records `keep` allows (none for
// zap, the live ones for pack) with their memos, builds every tag again and puts the new files
// in place.
vexel::PackResult RewriteInPlace(const std::string& file, const vexel::RewriteOptions& rewrite,
                                 const vexel::OperationOptions& options, const std::string& command,
                                 Keep keep) {
  const TableFiles files = FilesOf(file, options);
  const vexel::OperationOptions exclusive = ExclusiveUse(options);
  TableSession session = OpenExclusive(exclusive, files, command);
  TableRecord& t = session.table();
  vexel::PackResult result;
  const std::vector<TagDefinition> tags =
      files.index.empty() ? std::vector<TagDefinition>() : ReadTagDefinitions(files.index);
  MemoFile* memo = MemoOf(t);
  if (!files.memo.empty() && memo == nullptr) {
    throw DataError{"cannot open the memo file " + files.memo};
  }
  FileReplacement replacement(files.table, files.All(), options);
  const std::string temp_table = replacement.Temp(0);
  const std::string temp_memo = files.memo.empty() ? std::string() : replacement.Temp(1);
  Progress progress(options, command, t.record_count);
  DbfWriter table(replacement.CreateTemp(0), temp_table, ReadHeaderBytes(t), t.record_length,
                  t.IsDbase2());
  std::optional<MemoWriter> memos;
  if (memo != nullptr) {
    result.old_memo_size = FileSize(*memo);
    memos.emplace(replacement.CreateTemp(1), temp_memo, ReadMemoHeader(*memo), memo->kind,
                  memo->block_size);
  }
  std::vector<std::size_t> memo_fields;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    if (t.fields[i].type == 'M' && memos) memo_fields.push_back(i);
  }
  const std::int32_t count = keep == Keep::kNone ? 0 : t.record_count;
  const std::size_t per_block = std::max<std::size_t>(1, (4u << 20) / t.record_length);
  std::vector<char> block;
  for (std::int32_t first = 1; first <= count;) {
    const auto n = static_cast<std::int32_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(per_block), count - first + 1));
    block.resize(static_cast<std::size_t>(n) * t.record_length);
    std::size_t got = 0;
    if (t.file.ReadAt(t.RecordOffset(first), std::as_writable_bytes(std::span(block)), got) !=
            os::kIoOk ||
        got != block.size()) {
      throw DataError{"cannot read records " + std::to_string(first) + " to " +
                      std::to_string(first + n - 1) + " of " + files.table +
                      "; the table's files are unchanged"};
    }
    for (std::int32_t i = 0; i < n; ++i) {
      char* record = block.data() + static_cast<std::size_t>(i) * t.record_length;
      if (record[0] == kDeletedFlag && keep == Keep::kLive) {
        ++result.removed;
        continue;
      }
      for (std::size_t f : memo_fields) {
        const FieldEntry& field = t.fields[f];
        const std::int32_t old_block = StoredMemoBlock(t, field, record);
        if (old_block <= 0) continue;
        const std::int32_t new_block =
            CopyMemoInto(*memo, old_block, *memos, first + i, field.name);
        if (field.storage == FieldStorage::kBinaryMemo) {
          PutBinaryMemoBlock(field, record, new_block);
          continue;
        }
        std::memcpy(record + field.offset, BlockDigits(new_block, field.length).data(),
                    field.length);
      }
      table.Append(record);
    }
    first += n;
    progress.Step(first - 1);
    ReachStage(ReplaceStage::kCopying);
  }
  if (keep == Keep::kNone) result.removed = t.record_count;
  CompleteAndReplace(table, memos, temp_table, files.table, tags, progress, replacement,
                     files.All().size() - 1, session);
  if (memos) result.new_memo_size = memos->size();
  result.kept = table.count();
  result.tags = TagNames(tags);
  result.backups = replacement.Finish(rewrite.backup);
  return result;
}

// A version byte as the caller writes it ("0x8B").
std::string VersionText(std::uint8_t version) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", version);
  return hex;
}

// The kind a copy writes, in its form with a memo file (CreateDBF drops the memo bit when no
// memo field is left): `requested`, or without it the source's kind (dBASE II tables become
// dBASE III tables).
std::uint8_t CopyVersion(std::uint8_t requested, std::uint8_t source) {
  switch (requested) {
    case 0:
      if (source == kVersionDbase3 || source == kVersionDbase2) return kVersionDbase3Memo;
      if (source == kVersionLevel7) return kVersionLevel7Memo;
      return source;
    case kVersionDbase3:
    case kVersionDbase3Memo:
      return kVersionDbase3Memo;
    case kVersionDbase4Memo:
    case kVersionFoxProMemo:
    case kVersionLevel7Memo:
      return requested;
    case kVersionLevel7:
      return kVersionLevel7Memo;
  }
  throw InputError{"a copy is a table of kind 0x03, 0x83, 0x8B, 0xF5, 0x04 or 0x8C, not " +
                   VersionText(requested)};
}

// Sets DefaultDbfVersion, the kind CreateDBF writes, while it lives.
class DefaultVersionScope {
 public:
  explicit DefaultVersionScope(std::uint8_t version) : saved_(DefaultDbfVersion) {
    DefaultDbfVersion = version;
  }
  ~DefaultVersionScope() { DefaultDbfVersion = saved_; }
  DefaultVersionScope(const DefaultVersionScope&) = delete;
  DefaultVersionScope& operator=(const DefaultVersionScope&) = delete;

 private:
  std::uint8_t saved_;
};

// Creates an empty table as CreateDBF makes it, of the given kind.
void CreateEmpty(const std::string& path, const std::vector<FieldEntry>& definitions,
                 std::uint8_t version) {
  DefaultVersionScope scope(version);
  TableRecord created;
  CreateDBF(created, path, definitions);
}

// A folder only this user may enter (in the temporary directory), where CreateDBF makes a new
// table's empty files so that their shape can be read: nothing is made by name in the table's
// folder, where another user could plant a link under the name.
class ShapeFolder {
 public:
  ShapeFolder() {
    if (os::CreatePrivateDirectory(dir_) != os::kIoOk) {
      throw DataError{"cannot create a private folder in " + os::TempDirectory()};
    }
  }
  ~ShapeFolder() { os::RemovePrivateDirectory(dir_); }
  ShapeFolder(const ShapeFolder&) = delete;
  ShapeFolder& operator=(const ShapeFolder&) = delete;
  std::string Table() const { return dir_ + "NEW.DBF"; }
  std::string Memo(std::uint8_t version) const {
    return DerivedFileName(Table(), MemoExtension(MemoVersionOf(version)));
  }

 private:
  std::string dir_;
};

// The fields `names` chooses, in its order (all of them when it is empty).
std::vector<std::size_t> ChosenFields(const std::vector<std::string>& names,
                                      const std::string& file, const TableRecord& t,
                                      TableText& text) {
  std::vector<std::size_t> chosen;
  if (names.empty()) {
    for (std::size_t i = 0; i < t.fields.size(); ++i) chosen.push_back(i);
    return chosen;
  }
  for (const std::string& given : names) {
    const std::string name = TrimText(given);
    const int n = FieldNo(text.Name(name));
    if (n == 0) throw InputError{"no field " + Quoted(name) + " in " + file};
    const auto index = static_cast<std::size_t>(n - 1);
    if (std::find(chosen.begin(), chosen.end(), index) != chosen.end()) {
      throw InputError{"--fields names " + Quoted(name) + " twice"};
    }
    chosen.push_back(index);
  }
  return chosen;
}

// The new table's empty files, as CreateDBF makes them, read back as the writers' starting
// headers; the dBASE IV memo header names the final table, not the temporary one.
struct NewTable {
  std::vector<char> header;
  std::vector<FieldEntry> fields;
  std::uint16_t record_length = 0;
  std::vector<char> memo_header;
  MemoKind memo_kind = MemoKind::kDbase4;
  std::uint32_t block_size = 512;
  // Visual FoxPro: where _NullFlags lies in a record (length 0: none).
  std::uint16_t null_flags_offset = 0;
  std::uint16_t null_flags_length = 0;
};

NewTable ReadNewTable(const std::string& path, const std::string& memo_path,
                      const std::string& final_memo) {
  NewTable out;
  TableRecord t;
  t.file_name = path;
  t.open_mode = os::kOpenReadOnlyDenyNone;
  OpenDbf(t);
  out.header = ReadHeaderBytes(t);
  out.fields = t.fields;
  out.record_length = t.record_length;
  out.null_flags_offset = t.null_flags_offset;
  out.null_flags_length = t.null_flags_length;
  const std::uint8_t memo_version = MemoVersionOf(t.version());
  const bool has_memo = t.has_memo;
  CloseDbf(t);
  if (!has_memo) return out;
  MemoFile m;
  if (OpenMemoFile(memo_path, memo_version, os::kOpenReadOnlyDenyNone, false, m) != 0) {
    throw DataError{"cannot read the new memo file " + memo_path};
  }
  out.memo_header = ReadMemoHeader(m);
  out.memo_kind = m.kind;
  out.block_size = m.block_size;
  if (m.kind == MemoKind::kDbase4 && out.memo_header.size() >= 16) {
    const std::string stem = SplitPath(final_memo).name.substr(0, 8);
    std::memset(out.memo_header.data() + 8, 0, 8);
    std::memcpy(out.memo_header.data() + 8, stem.data(), stem.size());
  }
  return out;
}

bool HasBinaryFields(const TableRecord& t) {
  return t.null_flags_length != 0 ||
         std::any_of(t.fields.begin(), t.fields.end(),
                     [](const FieldEntry& f) { return IsBinaryField(f); });
}

// alter converts fields through their dBASE text forms: the binary kinds of Visual FoxPro and
// level 7 tables (and _NullFlags) have none, so such tables are refused whole.
void RefuseBinaryFields(const TableRecord& t, const char* command) {
  if (HasBinaryFields(t)) {
    throw InputError{std::string(command) + " does not handle the binary field types of " +
                     t.file_name + " (Visual FoxPro or level 7); nothing was changed"};
  }
}

// copy keeps the binary kinds (and .NULL.) as stored, which needs a new table of the same
// family: Visual FoxPro to Visual FoxPro, level 7 to level 7.
void RefuseBinaryConversion(const TableRecord& t, std::uint8_t version) {
  const bool same = t.IsVisualFoxPro() ? version == t.version()
                                       : t.IsLevel7() && (version == kVersionLevel7 ||
                                                          version == kVersionLevel7Memo);
  if (HasBinaryFields(t) && !same) {
    throw InputError{"copy keeps the binary field types of " + t.file_name +
                     " (Visual FoxPro or level 7) only in a table of the same kind; leave out "
                     "--version; nothing was changed"};
  }
}

// The definition CreateDBF takes for a field of an open table: its letter as stored (G, W for
// Visual FoxPro memos), and "+" for a Visual FoxPro autoincrement field.
FieldEntry DefinitionOf(const TableRecord& t, const FieldEntry& f) {
  FieldEntry d = f;
  if (f.storage == FieldStorage::kBinaryMemo && f.letter != 0) d.type = f.letter;
  if (t.IsVisualFoxPro() && IsAutoincrement(t, f)) d.type = '+';
  return d;
}

// Carries what a Visual FoxPro or level 7 descriptor holds beyond the definition into the new
// header: the field flags (binary, may be null) and the autoincrement counter, so that the
// copy goes on numbering where the old table stopped.
void CarryDescriptors(const TableRecord& t, const std::vector<char>& old_header,
                      const std::vector<std::size_t>& chosen, NewTable& shape) {
  for (std::size_t j = 0; j < chosen.size(); ++j) {
    const FieldEntry& from = t.fields[chosen[j]];
    const FieldEntry& to = shape.fields[j];
    if (from.descriptor_at == 0 || to.descriptor_at == 0) continue;
    const auto carry = [&](std::size_t at, std::size_t n) {
      if (from.descriptor_at + at + n > old_header.size() ||
          to.descriptor_at + at + n > shape.header.size()) {
        return;
      }
      std::memcpy(shape.header.data() + to.descriptor_at + at,
                  old_header.data() + from.descriptor_at + at, n);
    };
    if (t.IsVisualFoxPro()) {
      carry(18, 1);                                // flags
      if (IsAutoincrement(t, from)) carry(19, 5);  // next value, step
    } else if (t.IsLevel7() && IsAutoincrement(t, from)) {
      carry(42, 4);  // next value
    }
  }
}

// A memo's text read for conversion; DataError naming the record and field when it cannot be.
std::string MemoText(MemoFile& memo, std::int32_t block, const char* label,
                     const std::string& where) {
  std::string text;
  QuietErrors quiet;
  if (!ReadMemoText(memo, block, text, label)) {
    throw DataError{where + ": the memo cannot be read (" + TakeErrorMessage() + ")"};
  }
  return text;
}

// ---- alter ----

// One field of the altered table and where its values come from.
struct PlannedField {
  FieldEntry definition;
  int source = -1;  // index into the old fields; -1 for an added field
};

// A caller's field definition as the engine takes it; `name` already in the table's bytes.
FieldEntry EntryOf(const vexel::Field& f, std::string name) {
  FieldEntry e;
  e.name = std::move(name);
  e.type = f.type;
  if (f.length < 0 || f.length > 65535 || f.decimals < 0 || f.decimals > 255) {
    throw DefinitionRefused{"field " + Quoted(f.name) + ": length " + std::to_string(f.length) +
                            " or decimals " + std::to_string(f.decimals) + " out of range"};
  }
  e.length = static_cast<std::uint16_t>(f.length);
  e.decimals = static_cast<std::uint8_t>(f.decimals);
  if (f.nullable) e.flags = kFieldMayBeNull;
  return e;
}

std::vector<PlannedField> PlanFields(const vexel::AlterChanges& changes, const std::string& file,
                                     const TableRecord& t, TableText& text) {
  std::vector<PlannedField> plan;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    plan.push_back({t.fields[i], static_cast<int>(i)});
  }
  const auto find = [&](const std::string& utf8, const std::string& option) {
    const std::string name = os::AnsiUpperText(text.Name(TrimText(utf8)));
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (os::AnsiUpperText(plan[i].definition.name) == name) return i;
    }
    throw InputError{option + ": no field " + Quoted(utf8) + " in " + file};
  };
  for (const vexel::FieldRename& rename : changes.rename) {
    plan[find(rename.from, "--rename")].definition.name = text.Name(TrimText(rename.to));
  }
  for (const std::string& name : changes.drop) {
    plan.erase(plan.begin() + static_cast<std::ptrdiff_t>(find(name, "--drop")));
  }
  for (const vexel::Field& retype : changes.retype) {
    PlannedField& planned = plan[find(retype.name, "--retype")];
    planned.definition = EntryOf(retype, planned.definition.name);
  }
  for (const vexel::Field& add : changes.add)
    plan.push_back({EntryOf(add, text.Name(add.name)), -1});
  for (PlannedField& p : plan) {
    p.definition.type =
        static_cast<char>(std::toupper(static_cast<unsigned char>(p.definition.type)));
  }
  if (plan.empty()) throw InputError{"a table keeps at least one field"};
  // Conversions that have no meaning are refused before anything is written.
  for (const PlannedField& p : plan) {
    if (p.source < 0) continue;
    const char from = t.fields[static_cast<std::size_t>(p.source)].type;
    const char to = p.definition.type;
    const auto numeric = [](char c) { return c == 'N' || c == 'F'; };
    const bool allowed = from == to || (numeric(from) && numeric(to)) || from == 'C' || to == 'C' ||
                         (from == 'M' && to == 'C') || (from == 'C' && to == 'M');
    if (!allowed || (from == 'M' && to != 'M' && to != 'C') ||
        (to == 'M' && from != 'M' && from != 'C')) {
      throw InputError{"field " + p.definition.name + " cannot change from type " +
                       std::string(1, from) + " to " + std::string(1, to)};
    }
  }
  return plan;
}
// A field's value converted for its new definition, as stored; InputError names the record
// when it does not fit.
std::string Converted(const FieldEntry& from, const FieldEntry& to, std::string value,
                      const std::string& where) {
  const auto trimmed = [](std::string s) {
    s.erase(s.find_last_not_of(' ') + 1);
    s.erase(0, std::min(s.size(), s.find_first_not_of(' ')));
    return s;
  };
  switch (to.type) {
    case 'C': {
      if (from.type == 'C' || from.type == 'M')
        value.erase(value.find_last_not_of(' ') + 1);
      else
        value = trimmed(value);
      if (value.size() > to.length) {
        throw InputError{where + ": " + Quoted(value) + " does not fit in " +
                         std::to_string(to.length) + " characters"};
      }
      value.resize(to.length, ' ');
      return value;
    }
    case 'N':
    case 'F': {
      const std::string number = trimmed(value);
      if (number.empty()) return std::string(to.length, ' ');
      char* end = nullptr;
      const double v = std::strtod(number.c_str(), &end);
      if (*end != '\0' || number.find_first_not_of("+-.0123456789") != std::string::npos) {
        throw InputError{where + ": " + Quoted(number) + " is not a number"};
      }
      const std::optional<std::string> text = NumberFieldText(v, to.length, to.decimals);
      if (!text) {
        throw InputError{where + ": " + number + " does not fit in " + to.name + " (" +
                         std::to_string(to.length) + "," + std::to_string(to.decimals) + ")"};
      }
      return *text;
    }
    case 'D': {
      if (from.type == 'D') return value;
      const std::string date = trimmed(value);
      if (date.empty()) return std::string(8, ' ');
      std::string digits = date.size() == 10 && date[4] == '-' && date[7] == '-'
                               ? date.substr(0, 4) + date.substr(5, 2) + date.substr(8, 2)
                               : date;
      if (digits.size() != 8 || digits.find_first_not_of("0123456789") != std::string::npos ||
          digits.substr(4, 2) < "01" || digits.substr(4, 2) > "12" || digits.substr(6, 2) < "01" ||
          digits.substr(6, 2) > "31") {
        throw InputError{where + ": " + Quoted(date) + " is not a date (YYYY-MM-DD or YYYYMMDD)"};
      }
      return digits;
    }
    case 'L': {
      if (from.type == 'L') return value;
      const std::string logical = trimmed(value);
      if (logical.empty()) return " ";
      const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(logical[0])));
      if (logical.size() == 1 && (c == 'T' || c == 'Y')) return "T";
      if (logical.size() == 1 && (c == 'F' || c == 'N')) return "F";
      throw InputError{where + ": " + Quoted(logical) + " is not a logical (T, F, Y, N)"};
    }
    default:
      return value;
  }
}

// The tags whose key or FOR condition no longer compiles on the new table (selected).
std::vector<std::string> BrokenTags(const std::string& table,
                                    const std::vector<TagDefinition>& tags) {
  std::vector<std::string> broken;
  const int previous = Selected();
  Select(0);
  Use(table + " EXCLUSIVE");
  const int area = Selected();
  for (const TagDefinition& tag : tags) {
    QuietErrors quiet;
    Expr key = Expr::Compile(tag.key_expression);
    Expr condition = tag.for_condition.empty() ? Expr() : Expr::Compile(tag.for_condition);
    if (!key || (!tag.for_condition.empty() && !condition)) broken.push_back(tag.name);
    TakeErrorMessage();
  }
  {
    QuietErrors quiet;
    Select(area);
    CloseArea();
    Select(previous);
  }
  return broken;
}

// How much of the rules a field definition must pass: an existing field another program wrote
// is kept as it is (only a name given twice is refused), a renamed one passes the naming rules,
// a new or retyped one all of them.
enum class FieldRules : char { kKept, kRenamed, kAll };

// Refuses (DefinitionRefused naming the field) definitions that dBASE programs would not read
// back as given; see vexel::check_fields. `rules` (empty: all for every field) says which.
void CheckFieldDefinitions(const std::vector<FieldEntry>& fields,
                           const std::vector<std::string>& shown, std::uint8_t version,
                           const std::vector<FieldRules>& rules = {}) {
  // Every version keeps at most 10 characters of a name; the binary kinds belong to level 7
  // (I, +, O, @) and Visual FoxPro (I, +, B, Y, T, V, Q, G, W; memos 4 wide).
  const bool level7 = version == kVersionLevel7 || version == kVersionLevel7Memo;
  const bool foxpro = version == kVersionVisualFoxPro || version == kVersionVisualFoxProAutoinc;
  constexpr std::size_t kLongestName = 10;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldEntry& f = fields[i];
    const std::string field = "field " + std::to_string(i + 1) + " " + Quoted(shown[i]);
    const FieldRules rule = i < rules.size() ? rules[i] : FieldRules::kAll;
    for (std::size_t j = 0; j < i; ++j) {
      if (os::AnsiUpperText(fields[j].name) == os::AnsiUpperText(f.name)) {
        throw DefinitionRefused{field + ": the name of field " + std::to_string(j + 1) +
                                " again (case does not count)"};
      }
    }
    if (rule == FieldRules::kKept) continue;
    if (f.name.empty()) throw DefinitionRefused{"field " + std::to_string(i + 1) + " has no name"};
    if (f.name.size() > kLongestName) {
      throw DefinitionRefused{field + ": a name has at most " + std::to_string(kLongestName) +
                              " characters"};
    }
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (!letter(f.name[0])) throw DefinitionRefused{field + ": a name begins with a letter"};
    for (char c : f.name) {
      if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') {
        throw DefinitionRefused{field + ": a name holds only letters, digits and \"_\""};
      }
    }
    if (rule == FieldRules::kRenamed) continue;
    const char type = static_cast<char>(std::toupper(static_cast<unsigned char>(f.type)));
    if ((f.flags & kFieldMayBeNull) != 0 && !foxpro) {
      throw DefinitionRefused{field +
                              ": only Visual FoxPro fields (--version 0x30, 0x31) may be null"};
    }
    const auto width = [&](int low, int high) {
      if (f.length < low || f.length > high) {
        throw DefinitionRefused{field + ": type " + std::string(1, type) + " takes a width of " +
                                std::to_string(low) + " to " + std::to_string(high) + ", not " +
                                std::to_string(f.length)};
      }
    };
    const auto fixed = [&](int length) {
      if (f.length != 0 && f.length != length) {
        throw DefinitionRefused{field + ": type " + std::string(1, type) + " is " +
                                std::to_string(length) + " wide, not " + std::to_string(f.length)};
      }
    };
    const auto needs = [&](bool present, const char* versions) {
      if (!present) {
        throw DefinitionRefused{field + ": type " + std::string(1, type) + " needs --version " +
                                versions};
      }
    };
    switch (type) {
      case 'C':
        width(1, 254);
        break;
      case 'N':
      case 'F':
        width(1, 20);
        if (f.decimals > 0 && f.decimals >= f.length) {
          throw DefinitionRefused{field + ": " + std::to_string(f.decimals) +
                                  " decimals need a width above " + std::to_string(f.decimals) +
                                  ", not " + std::to_string(f.length)};
        }
        break;
      case 'D':
        fixed(8);
        break;
      case 'L':
        fixed(1);
        break;
      case 'I':
      case '+':
        needs(level7 || foxpro, "0x04, 0x8C, 0x30 or 0x31");
        fixed(4);
        break;
      case 'O':
      case '@':
        needs(level7, "0x04 or 0x8C");
        fixed(8);
        break;
      case 'Y':
      case 'T':
      case 'V':
      case 'Q':
      case 'W':
        needs(foxpro, "0x30 or 0x31");
        if (type == 'V' || type == 'Q') {
          width(1, 254);
        } else {
          fixed(type == 'W' ? 4 : 8);
        }
        break;
      case 'M':
      case 'B':
      case 'G':
      case 'P':
        if (foxpro && type == 'B') {
          fixed(8);
        } else if (foxpro && type != 'P') {
          fixed(4);
        } else if (foxpro) {
          throw DefinitionRefused{field + ": no field type P in a Visual FoxPro table"};
        } else {
          fixed(10);
        }
        break;
      default:
        throw DefinitionRefused{field + ": no field type " + Quoted(std::string(1, f.type)) +
                                " (C, N, F, D, L or M)"};
    }
  }
}

// The definitions of the caller's fields in the engine's form (names in the ANSI page, as
// field names are stored), checked.
std::vector<FieldEntry> CheckedDefinitions(const std::vector<vexel::Field>& fields,
                                           std::uint8_t version) {
  std::vector<FieldEntry> entries;
  std::vector<std::string> shown;
  for (const vexel::Field& f : fields) {
    entries.push_back(EntryOf(f, os::Utf8ToAnsi(f.name)));
    shown.push_back(f.name);
  }
  CheckFieldDefinitions(entries, shown, version);
  return entries;
}

// The kind create_table writes; InputError for a version byte it does not write.
std::uint8_t CreateVersion(std::uint8_t version) {
  switch (version) {
    case 0:
      return DefaultDbfVersion;
    case kVersionDbase3:
    case kVersionDbase3Memo:
    case kVersionDbase4Memo:
    case kVersionFoxProMemo:
    case kVersionLevel7:
    case kVersionLevel7Memo:
    case kVersionVisualFoxPro:
    case kVersionVisualFoxProAutoinc:
      return version;
  }
  throw InputError{"no table kind " + VersionText(version) +
                   " (0x03, 0x83, 0x8B, 0xF5, 0x04, 0x8C, 0x30 or 0x31)"};
}

// Replaces the existing `table` by a new empty one of `definitions` as one step, through the
// journal like the other maintenance commands: the new table (and memo file) are written under
// temporary names, then put in place of the old table, memo file and production index, which
// stay whole until then. Refused (LockRefused) when another program has one of them open, and
// (DataError) when this process may not write the table: its files stay as they are.
void OverwriteTable(const std::string& table, const std::vector<FieldEntry>& definitions,
                    std::uint8_t version, int codepage) {
  std::vector<std::string> finals{os::ResolvePath(table)};
  for (const char* ext : {"DBT", "FPT", "MDX"}) {
    finals.push_back(os::ResolvePath(DerivedFileName(table, ext)));
  }
  std::vector<std::string> old;
  for (const std::string& f : finals) {
    if (os::FileExists(f)) old.push_back(f);
  }
  ClaimExclusive(old, "create --overwrite");
  {
    os::File probe;
    if (os::File::Open(finals[0], os::kOpenReadWriteDenyNone, probe) == os::kIoAccessDenied) {
      throw DataError{table + " may not be written: create --overwrite leaves it, its memo file "
                      "and its index as they are"};
    }
  }
  const std::string memo_ext = MemoExtension(MemoVersionOf(version));
  const std::size_t memo_entry = memo_ext == "FPT" ? 2 : 1;
  NewTable shape;
  {
    const ShapeFolder folder;
    CreateEmpty(folder.Table(), definitions, version);
    if (codepage != 0) WriteCodePageMark(folder.Table(), codepage);
    shape = ReadNewTable(folder.Table(), folder.Memo(version), finals[memo_entry]);
  }
  FileReplacement replacement(finals[0], finals);
  for (std::size_t i = 1; i < finals.size(); ++i) {
    if (i != memo_entry || shape.memo_header.empty()) replacement.Remove(i);
  }
  DbfWriter writer(replacement.CreateTemp(0), replacement.Temp(0), shape.header,
                   shape.record_length, false);
  std::optional<MemoWriter> memo;
  if (!shape.memo_header.empty()) {
    memo.emplace(replacement.CreateTemp(memo_entry), replacement.Temp(memo_entry),
                 shape.memo_header, shape.memo_kind, shape.block_size);
  }
  ReachStage(ReplaceStage::kCopying);
  writer.Finish();
  if (memo) memo->Finish();
  VerifyNewTable(replacement.Temp(0), 0);
  replacement.Replace();
  replacement.Finish(false);
}

vexel::CopyResult Copy(const std::string& file, const std::string& target_name,
                       const vexel::CopyOptions& o, const vexel::OperationOptions& options) {
  const std::string target = DefaultExtension(TrimText(target_name), "DBF");
  const TableFiles files = FilesOf(file, options);
  if (os::ResolvePath(target) == files.table) {
    throw InputError{"copy writes a new table: NEW must not be " + file};
  }
  if (os::FileExists(target) && !o.overwrite) {
    throw InputError{target + " exists; use --overwrite to replace it"};
  }
  if (o.with_index && files.index.empty()) {
    throw InputError{file + " has no production index for --with-index"};
  }
  const vexel::OperationOptions exclusive = ExclusiveUse(options);
  TableSession session = OpenExclusive(exclusive, files, "copy", Access::kSource);
  TableRecord& t = session.table();
  RefuseCutTable(t, file, "Nothing was copied");
  TableText& from_text = session.text();
  const std::vector<std::size_t> chosen = ChosenFields(o.fields, file, t, from_text);
  const std::uint8_t version = CopyVersion(o.version, t.version());
  RefuseBinaryConversion(t, version);
  const int page = o.codepage != 0 ? o.codepage : from_text.page();
  TableText to_text(page, options.lossy);
  const bool convert = page != from_text.page();
  std::vector<FieldEntry> definitions;
  bool memo_fields = false;
  for (std::size_t i : chosen) {
    definitions.push_back(DefinitionOf(t, t.fields[i]));
    memo_fields = memo_fields || t.fields[i].type == 'M';
  }
  const TableMark mark = ReadTableMark(t);
  const bool mark_page = o.codepage != 0 || (mark.has_byte && mark.id != 0);
  if (mark_page) CheckCodePageMark(page, version == kVersionLevel7Memo);
  Expr condition;
  if (!o.condition.empty()) {
    condition = Expr::Compile(from_text.FromUtf8(o.condition, "the condition"));
    if (!condition || condition->result_type != 'L') {
      throw InputError{"--for needs a logical condition: " + Quoted(o.condition)};
    }
  }
  std::vector<TagDefinition> tags;
  if (o.with_index) {
    for (TagDefinition tag : ReadTagDefinitions(files.index)) {
      if (convert) {
        for (std::string* text : {&tag.name, &tag.key_expression, &tag.for_condition}) {
          *text = to_text.FromUtf8(from_text.ToUtf8(*text, "tag " + tag.name), "tag " + tag.name);
        }
      }
      tags.push_back(tag);
    }
  }
  std::vector<std::string> finals{os::ResolvePath(target)};
  const std::string memo_final =
      os::ResolvePath(DerivedFileName(target, MemoExtension(MemoVersionOf(version))));
  finals.push_back(memo_final);
  finals.push_back(os::ResolvePath(DerivedFileName(target, "MDX")));
  FileReplacement replacement(finals.front(), finals, options);
  // A table replaced with overwrite loses the memo file and index the copy does not have.
  if (!memo_fields) replacement.Remove(1);
  if (tags.empty()) replacement.Remove(2);
  const std::string temp = replacement.Temp(0);
  const std::string temp_memo = memo_fields ? replacement.Temp(1) : std::string();
  NewTable shape;
  {
    const ShapeFolder folder;
    CreateEmpty(folder.Table(), definitions, version);
    if (mark_page) WriteCodePageMark(folder.Table(), page);
    shape = ReadNewTable(folder.Table(), folder.Memo(version), memo_final);
  }
  CarryDescriptors(t, ReadHeaderBytes(t), chosen, shape);
  // The new table's null and varying-length bits, for SetFieldNull and PutVaryingBytes.
  TableRecord bits;
  bits.null_flags_offset = shape.null_flags_offset;
  bits.null_flags_length = shape.null_flags_length;
  std::vector<OrderedRecord> order;
  if (!o.structure_only) order = RecordOrder({o.tag, o.index}, file, t);
  Progress progress(options, "copy", static_cast<std::int64_t>(order.size()));
  DbfWriter table(replacement.CreateTemp(0), temp, shape.header, shape.record_length, false);
  std::optional<MemoWriter> memos;
  if (memo_fields) {
    memos.emplace(replacement.CreateTemp(1), temp_memo, shape.memo_header, shape.memo_kind,
                  shape.block_size, options.lossy);
  }
  MemoFile* source_memo = MemoOf(t);
  std::vector<char> record(shape.record_length, ' ');
  std::int64_t done = 0;
  for (const OrderedRecord& ordered : order) {
    progress.Step(++done);
    const std::int32_t n = ordered.record;
    GO(n);
    if (condition && *static_cast<const std::int32_t*>(condition.Evaluate()) == 0) continue;
    record[0] = t.record[0];
    if (bits.null_flags_length > 0) {
      std::memset(record.data() + bits.null_flags_offset, 0, bits.null_flags_length);
    }
    for (std::size_t j = 0; j < chosen.size(); ++j) {
      const FieldEntry& from = t.fields[chosen[j]];
      const FieldEntry& to = shape.fields[j];
      const std::string where = "record " + std::to_string(n) + ", field " + from.name;
      SetFieldNull(bits, to, record.data(), FieldIsNull(t, from, t.record.data()));
      if (from.storage == FieldStorage::kVarchar || from.storage == FieldStorage::kVarbinary) {
        std::string bytes(VaryingBytes(t, from, t.record.data()));
        if (convert && !HoldsBytes(from)) {
          bytes = to_text.FromUtf8(from_text.ToUtf8(bytes, where), where);
          if (bytes.size() > to.length) {
            throw InputError{where + ": the text takes " + std::to_string(bytes.size()) +
                             " bytes in code page " + std::to_string(page) + ", the field " +
                             std::to_string(to.length)};
          }
        }
        PutVaryingBytes(bits, to, record.data(), bytes);
        continue;
      }
      if (IsBinaryField(from) && from.storage != FieldStorage::kBinaryMemo) {
        std::memcpy(record.data() + to.offset, t.record.data() + from.offset, to.length);
        continue;
      }
      std::string value(t.record.data() + from.offset, from.length);
      if (from.type == 'M') {
        const std::int32_t block = StoredMemoBlock(t, from, t.record.data());
        std::int32_t new_block = 0;
        if (block > 0 && source_memo == nullptr) throw DataError{where + ": no memo file"};
        // Pictures, objects and binary memos are copied as they are, in any code page.
        if (block > 0 && (!convert || HoldsBytes(from)) && source_memo->kind == memos->kind()) {
          new_block = CopyMemoInto(*source_memo, block, *memos, n, from.name);
        } else if (block > 0) {
          std::string text = MemoText(*source_memo, block, "CopyMemo", where);
          if (convert) text = to_text.FromUtf8(from_text.ToUtf8(text, where), where);
          new_block = memos->AppendText(text, where);
        }
        if (to.storage == FieldStorage::kBinaryMemo) {
          PutBinaryMemoBlock(to, record.data(), new_block);
          continue;
        }
        value = BlockDigits(new_block, to.length);
      } else if (from.type == 'C' && convert) {
        value = to_text.FromUtf8(from_text.ToUtf8(value, where), where);
      }
      value.resize(to.length, ' ');
      std::memcpy(record.data() + to.offset, value.data(), to.length);
    }
    table.Append(record.data());
    ReachStage(ReplaceStage::kCopying);
  }
  CompleteAndReplace(table, memos, temp, finals.front(), tags, progress, replacement, 2, session);
  replacement.Finish(false);
  to_text.ReportReplacements(options);
  if (memos) memos->ReportCuts(options);
  return {target, table.count(), TagNames(tags)};
}

vexel::AlterResult Alter(const std::string& file, const vexel::AlterChanges& changes,
                         const vexel::OperationOptions& options) {
  if (changes.add.empty() && changes.drop.empty() && changes.rename.empty() &&
      changes.retype.empty() && changes.drop_tags.empty()) {
    throw InputError{"alter needs --add, --drop, --rename, --retype or --drop-tag"};
  }
  const TableFiles files = FilesOf(file, options);
  const vexel::OperationOptions exclusive = ExclusiveUse(options);
  TableSession session = OpenExclusive(exclusive, files, "alter");
  TableRecord& t = session.table();
  RefuseCutTable(t, file, "Nothing was changed");
  RefuseBinaryFields(t, "alter");
  TableText& text = session.text();
  const std::vector<PlannedField> plan = PlanFields(changes, file, t, text);
  std::vector<FieldEntry> definitions;
  std::vector<std::string> shown;
  std::vector<FieldRules> rules;
  bool memo_fields = false;
  for (const PlannedField& p : plan) {
    definitions.push_back(p.definition);
    shown.push_back(p.definition.name);
    memo_fields = memo_fields || p.definition.type == 'M';
    // The rules of create apply to what this alter adds or changes; the fields other programs
    // wrote (a name beginning with "_", a C 255, an N 24) stay as they are.
    FieldRules rule = FieldRules::kAll;
    if (p.source >= 0) {
      const FieldEntry& old = t.fields[static_cast<std::size_t>(p.source)];
      const bool same_shape = old.type == p.definition.type &&
                              old.length == p.definition.length &&
                              old.decimals == p.definition.decimals;
      if (same_shape) rule = old.name == p.definition.name ? FieldRules::kKept : FieldRules::kRenamed;
    }
    rules.push_back(rule);
  }
  const std::uint8_t version = CopyVersion(0, t.version());
  CheckFieldDefinitions(definitions, shown, version, rules);
  std::vector<TagDefinition> tags =
      files.index.empty() ? std::vector<TagDefinition>() : ReadTagDefinitions(files.index);
  for (const std::string& name : changes.drop_tags) {
    const std::string wanted = os::AnsiUpperText(text.Name(name));
    const auto at = std::find_if(tags.begin(), tags.end(),
                                 [&](const TagDefinition& tag) { return tag.name == wanted; });
    if (at == tags.end()) throw InputError{"--drop-tag: no tag " + Quoted(name) + " in " + file};
    tags.erase(at);
  }
  // Finals: the table, the memo file (the new one, and the old one when its name differs or
  // the new table has none), the index.
  std::vector<std::string> finals{files.table};
  const std::string memo_final =
      os::ResolvePath(DerivedFileName(files.table, MemoExtension(MemoVersionOf(version))));
  finals.push_back(memo_final);
  finals.push_back(os::ResolvePath(DerivedFileName(files.table, "MDX")));
  FileReplacement replacement(files.table, finals, options);
  if (!memo_fields) replacement.Remove(1);
  if (tags.empty()) replacement.Remove(2);
  const std::string temp = replacement.Temp(0);
  NewTable shape;
  {
    const ShapeFolder folder;
    CreateEmpty(folder.Table(), definitions, version);
    const std::vector<std::string> broken = BrokenTags(folder.Table(), tags);
    if (!broken.empty()) {
      throw InputError{"tag(s) " + Joined(broken) +
                       " name a field that is gone or renamed; give --drop-tag NAME for each "
                       "(or change the tag after the alter)"};
    }
    shape = ReadNewTable(folder.Table(), folder.Memo(version), memo_final);
  }
  // The language driver mark stays.
  if (!t.IsDbase2()) shape.header[29] = static_cast<char>(t.header[29]);
  Progress progress(options, "alter", t.record_count);
  DbfWriter table(replacement.CreateTemp(0), temp, shape.header, shape.record_length, false);
  std::optional<MemoWriter> memos;
  if (memo_fields) {
    memos.emplace(replacement.CreateTemp(1), replacement.Temp(1), shape.memo_header,
                  shape.memo_kind, shape.block_size, options.lossy);
  }
  MemoFile* source_memo = MemoOf(t);
  std::vector<char> record(shape.record_length, ' ');
  for (std::int32_t n = 1; n <= t.record_count; ++n) {
    progress.Step(n);
    GoRaw(n);
    record.assign(shape.record_length, ' ');
    record[0] = t.record[0];
    for (std::size_t j = 0; j < plan.size(); ++j) {
      const FieldEntry& to = shape.fields[j];
      std::string value(to.length, ' ');
      if (plan[j].source >= 0) {
        const FieldEntry& from = t.fields[static_cast<std::size_t>(plan[j].source)];
        const std::string where = "record " + std::to_string(n) + ", field " + from.name;
        std::string stored(t.record.data() + from.offset, from.length);
        if (from.type == 'M') {
          const std::int32_t block = StoredMemoBlock(t, from, t.record.data());
          if (block > 0 && source_memo == nullptr) throw DataError{where + ": no memo file"};
          if (to.type == 'M') {
            const std::int32_t copied =
                block > 0 ? CopyMemoInto(*source_memo, block, *memos, n, from.name) : 0;
            value = BlockDigits(copied, to.length);
          } else {
            const std::string memo_text =
                block > 0 ? MemoText(*source_memo, block, "alter", where) : std::string();
            value = Converted(from, to, memo_text, where);
          }
        } else if (to.type == 'M') {
          stored.erase(stored.find_last_not_of(' ') + 1);
          value = BlockDigits(memos->AppendText(stored, where), to.length);
        } else if (from.type == to.type && from.length == to.length &&
                   from.decimals == to.decimals) {
          value = stored;
        } else {
          value = Converted(from, to, stored, where);
        }
      } else if (to.type == 'L' || to.type == 'D' || to.type == 'M') {
        value.assign(to.length, ' ');
      }
      std::memcpy(record.data() + to.offset, value.data(), to.length);
    }
    table.Append(record.data());
    ReachStage(ReplaceStage::kCopying);
  }
  CompleteAndReplace(table, memos, temp, files.table, tags, progress, replacement, 2, session);
  vexel::AlterResult result;
  result.backups = replacement.Finish(changes.backup);
  if (memos) memos->ReportCuts(options);
  result.table = files.table;
  result.fields = definitions.size();
  result.records = table.count();
  result.tags = TagNames(tags);
  return result;
}

void Create(const std::string& file, const std::vector<vexel::Field>& fields,
            const vexel::CreateTableOptions& options) {
  const std::uint8_t version = CreateVersion(options.version);
  if (fields.empty()) throw InputError{"a table needs at least one field: " + file};
  const std::vector<FieldEntry> definitions = CheckedDefinitions(fields, version);
  const bool level7 = version == kVersionLevel7Memo || version == kVersionLevel7;
  // Refused before anything is removed or written.
  const int page = options.codepage != 0 ? options.codepage : kNewTableCodePage;
  CheckCodePageMark(page, level7);
  if (!TableNameHasStem(file)) throw InputError{file + kNoStemText};
  const std::string table = DefaultExtension(TrimText(file), "DBF");
  if (os::FileExists(table) || os::IsSymbolicLink(table)) {
    if (!options.overwrite) throw InputError{table + " exists; use --overwrite to replace it"};
    OverwriteTable(table, definitions, version, page);
    return;
  }
  CreateEmpty(file, definitions, version);
  WriteCodePageMark(file, page);
}

}  // namespace

std::int64_t PackMemoFile(const std::string& file, const vexel::OperationOptions& options) {
  if (FilesOf(file, options).memo.empty()) throw InputError{file + " has no memo file"};
  const vexel::PackResult r = RewriteInPlace(file, {}, options, "packmemo", Keep::kAll);
  return static_cast<std::int64_t>(r.old_memo_size) - static_cast<std::int64_t>(r.new_memo_size);
}

}  // namespace vx::ops

namespace vexel {

void check_fields(const std::vector<Field>& fields, std::uint8_t version) {
  vx::ops::Run([&] { vx::ops::CheckedDefinitions(fields, vx::ops::CreateVersion(version)); });
}

void create_table(const std::string& file, const std::vector<Field>& fields,
                  const CreateTableOptions& options) {
  vx::ops::Run([&] { vx::ops::Create(file, fields, options); });
}

PackResult pack_table(const std::string& file, const RewriteOptions& rewrite,
                      const OperationOptions& options) {
  return vx::ops::Run(
      [&] { return vx::ops::RewriteInPlace(file, rewrite, options, "pack", vx::ops::Keep::kLive); });
}

PackResult zap_table(const std::string& file, const RewriteOptions& rewrite,
                     const OperationOptions& options) {
  return vx::ops::Run(
      [&] { return vx::ops::RewriteInPlace(file, rewrite, options, "zap", vx::ops::Keep::kNone); });
}

CopyResult copy_table(const std::string& file, const std::string& target, const CopyOptions& copy,
                      const OperationOptions& options) {
  return vx::ops::Run([&] { return vx::ops::Copy(file, target, copy, options); });
}

AlterResult alter_table(const std::string& file, const AlterChanges& changes,
                        const OperationOptions& options) {
  return vx::ops::Run([&] { return vx::ops::Alter(file, changes, options); });
}

}  // namespace vexel
