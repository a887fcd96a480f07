// The shared pieces of the table-rewriting operations (see table_shape.h).
#include "engine/api/ops/table_shape.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <vexel/maintenance.hpp>

#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/api/ops/record_order.h"
#include "engine/api/ops/table_rewrite.h"
#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/setting_scope.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/index/ndx_orders.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/code_page_file.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/path_text.h"
#include "platform/os/system.h"

namespace vx::ops {

// The files of the table, after undoing a rewrite of it that a killed process left half done.
TableFiles FilesOf(const std::string& file, const vexel::OpenOptions& options) {
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

OtherIndexes ReadOtherIndexes(const std::string& table, const vexel::OpenOptions& options) {
  OtherIndexes out;
  TableRecord t;
  t.file_name = table;
  t.open_mode = os::kOpenReadOnlyDenyNone;
  {
    QuietErrors quiet;
    OpenDbf(t);
  }
  if (!t.file.IsOpen()) return out;  // the open that follows reports what is wrong
  const bool cdx = t.HasStructuralCdx();
  for (const auto& name : options.ndx_files) {
    const std::string path = NdxPath(t, os::PathText(name));
    NdxFile file;
    QuietErrors quiet;
    if (!file.Open(path, false)) {
      CloseDbf(t);
      throw DataError{"cannot read the index " + path + " (" + TakeErrorMessage() +
                      "); nothing was changed"};
    }
    out.ndx.push_back({path, file.header()});
  }
  CloseDbf(t);
  const std::string path = DerivedFileName(table, "CDX");
  if (cdx && os::FileExists(path)) {
    std::vector<std::string> unreadable;
    QuietErrors quiet;
    if (!ReadCdxTagDefinitions(path, out.cdx_tags, unreadable) || !unreadable.empty()) {
      throw DataError{"cannot read the tags of " + path + " (" +
                          (unreadable.empty() ? TakeErrorMessage() : "tag " + unreadable.front()) +
                          "); nothing was changed",
                      {{vexel::Remedy::repair, "mends it"}}};
    }
  }
  return out;
}

void RebuildOtherIndexes(const std::string& table, const OtherIndexes& indexes) {
  if (indexes.cdx_tags.empty() && indexes.ndx.empty()) return;
  OpenedArea opened(table + " EXCLUSIVE");
  const auto failed = [&](const std::string& file) {
    const bool ndx = file.ends_with(".NDX") || file.ends_with(".ndx");
    throw DataError{"the table was rewritten, but " + file + " could not be built again (" +
                        TakeErrorMessage() + "); it is stale",
                    {{ndx ? vexel::Remedy::build_ndx : vexel::Remedy::reindex, "builds it"}}};
  };
  QuietErrors quiet;
  if (!indexes.cdx_tags.empty()) {
    const std::string path = DerivedFileName(table, "CDX");
    EngineErrorCode = 0;
    if (!BuildCdxFile(path, indexes.cdx_tags)) failed(path);
    // A new table's header (alter makes one) names the .CDX as the old one did.
    TableRecord* t = SelectedTable();
    if (t != nullptr && (t->header[28] & kFoxProFlagCdx) == 0) {
      t->header[28] |= kFoxProFlagCdx;
      if (t->state == kStateOpen) t->state = kStateRewritten;
    }
  }
  for (const OtherIndexes::Ndx& n : indexes.ndx) {
    EngineErrorCode = 0;
    if (!BuildNdx(n.path, n.header.expression, n.header.unique, &n.header)) failed(n.path);
  }
}

// Opens the table for exclusive use (LockRefused when another program has one of its files
// open). `exclusive` comes from ExclusiveUse and outlives the session.
TableSession OpenExclusive(const vexel::OpenOptions& exclusive, const TableFiles& files,
                           const std::string& command, Access access) {
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

void PlaceCodePageFile(FileReplacement& replacement, std::size_t entry, int page) {
  if (page == 0) {
    replacement.Remove(entry);
    return;
  }
  // One line without an end, as WriteCpgFile writes it.
  const std::string text = CpgTextForPage(page);
  os::File file = replacement.CreateTemp(entry);
  const int written = file.WriteAt(0, std::as_bytes(std::span(text.data(), text.size())));
  const int flushed = written == 0 ? file.Flush() : written;
  const int closed = file.Close();
  if (flushed != 0 || closed != 0) throw DataError{"cannot write " + replacement.Temp(entry)};
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

// Creates an empty table as CreateDBF makes it, of the given kind.
void CreateEmpty(const std::string& path, const std::vector<FieldEntry>& definitions,
                 std::uint8_t version) {
  const SettingScope kind(DefaultDbfVersion, version);  // the kind CreateDBF writes
  TableRecord created;
  CreateDBF(created, path, definitions);
}

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
      throw InputError{"the fields to copy name " + Quoted(name) + " twice"};
    }
    chosen.push_back(index);
  }
  return chosen;
}

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

}  // namespace vx::ops
