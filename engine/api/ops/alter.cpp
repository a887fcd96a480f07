// alter: a table written again with fields added, dropped, renamed or retyped, its values
// converted and its tags rebuilt where their expressions still compile.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vexel/maintenance.hpp>

#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/api/ops/record_order.h"
#include "engine/api/ops/table_rewrite.h"
#include "engine/api/ops/table_shape.h"
#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/system.h"

namespace vx::ops {

namespace {

// alter converts fields through their dBASE text forms: the binary kinds of Visual FoxPro and
// level 7 tables (and _NullFlags) have none, so such tables are refused whole.
void RefuseBinaryFields(const TableRecord& t, const char* command) {
  if (HasBinaryFields(t)) {
    throw InputError{std::string(command) + " does not handle the binary field types of " +
                     t.file_name + " (Visual FoxPro or level 7); nothing was changed"};
  }
}
// One field of the altered table and where its values come from.
struct PlannedField {
  FieldEntry definition;
  int source = -1;  // index into the old fields; -1 for an added field
};

std::vector<PlannedField> PlanFields(const vexel::AlterChanges& changes, const std::string& file,
                                     const TableRecord& t, TableText& text) {
  std::vector<PlannedField> plan;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    plan.push_back({t.fields[i], static_cast<int>(i)});
  }
  // `verb` says what the field was named for ("rename").
  const auto find = [&](const std::string& utf8, const std::string& verb) {
    const std::string name = os::AnsiUpperText(text.Name(TrimText(utf8)));
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (os::AnsiUpperText(plan[i].definition.name) == name) return i;
    }
    throw InputError{"no field " + Quoted(utf8) + " in " + file + " to " + verb};
  };
  for (const vexel::FieldRename& rename : changes.rename) {
    plan[find(rename.from, "rename")].definition.name = text.Name(TrimText(rename.to));
  }
  for (const std::string& name : changes.drop) {
    plan.erase(plan.begin() + static_cast<std::ptrdiff_t>(find(name, "drop")));
  }
  for (const vexel::Field& retype : changes.retype) {
    PlannedField& planned = plan[find(retype.name, "retype")];
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
  const OpenedArea opened(table + " EXCLUSIVE");
  for (const TagDefinition& tag : tags) {
    QuietErrors quiet;
    Expr key = Expr::Compile(tag.key_expression);
    Expr condition = tag.for_condition.empty() ? Expr() : Expr::Compile(tag.for_condition);
    if (!key || (!tag.for_condition.empty() && !condition)) broken.push_back(tag.name);
    TakeErrorMessage();
  }
  return broken;
}

vexel::AlterResult Alter(const std::string& file, const vexel::AlterChanges& changes,
                         const vexel::OpenOptions& options) {
  if (changes.add.empty() && changes.drop.empty() && changes.rename.empty() &&
      changes.retype.empty() && changes.drop_tags.empty()) {
    throw InputError{"alter needs a change: add, drop, rename, retype or drop_tags"};
  }
  const vexel::OpenOptions exclusive = ExclusiveUse(options, file);
  const TableFiles files = FilesOf(file, options);
  // The structural .CDX (and named .NDX files) are built again over the new fields.
  const OtherIndexes others = ReadOtherIndexes(files.table, options);
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
    if (at == tags.end()) throw InputError{"no tag " + Quoted(name) + " in " + file + " to drop"};
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
                       " name a field that is gone or renamed; drop each in the same alter "
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
  RebuildOtherIndexes(files.table, others);
  if (memos) memos->ReportCuts(options);
  result.table = files.table;
  result.fields = definitions.size();
  result.records = table.count();
  result.tags = TagNames(tags);
  return result;
}

}  // namespace

}  // namespace vx::ops

namespace vexel {

AlterResult alter_table(const std::string& file, const AlterChanges& changes,
                        const OpenOptions& options) {
  return vx::ops::Run([&] { return vx::ops::Alter(file, changes, options); });
}

}  // namespace vexel
