#include "tools/vxdbf/maintenance_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <istream>
#include <optional>
#include <ostream>

#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "tools/vxdbf/file_replacement.h"
#include "tools/vxdbf/index_commands.h"
#include "tools/vxdbf/table_rewrite.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

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

// The files of the table, after undoing a rewrite of it that a killed vxdbf left half done.
TableFiles FilesOf(const std::string& file, std::ostream& err) {
  TableFiles files;
  const std::string table = DefaultExtension(file, "DBF");
  if (RecoverReplacement(os::ResolvePath(table))) {
    err << "vxdbf: an interrupted rewrite of " << table << " was undone; its old files are back\n";
  }
  files.table = os::ResolvePath(table);
  if (!os::FileExists(files.table)) throw InputError{"no table " + table};
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

// Opens the table for exclusive use (exit status 3 when another program has one of its files
// open).
TableSession OpenExclusive(const Options& o, const TableFiles& files, const std::string& command,
                           std::ostream& err) {
  ClaimExclusive(files.All(), command);
  Options exclusive = o;
  exclusive.exclusive = true;
  try {
    return TableSession(exclusive, files.table, Access::kIndex, err);
  } catch (const EVexelError&) {
    // Another program may have opened it between the two steps.
    ClaimExclusive(files.All(), command);
    throw;
  }
}

// Where the new files go: the temporary names of the table, memo and index, in that order.
struct NewFiles {
  std::string table, memo, index;
};

// Completes the new files and puts them in place of the old ones: the table and memo file
// finished, the table read back, every tag built from `tags`, the renames done, and the old
// table's session closed.
void CompleteAndReplace(DbfWriter& table, std::optional<MemoWriter>& memos,
                        const std::string& temp_table, const std::string& final_table,
                        const std::vector<TagDefinition>& tags, Progress& progress,
                        FileReplacement& replacement, TableSession& session) {
  table.Finish();
  if (memos) memos->Finish();
  VerifyNewTable(temp_table, table.count());
  BuildProductionIndex(temp_table, final_table, tags, progress);
  replacement.Replace();
  session.Close();
}

NewFiles TempNames(const FileReplacement& replacement, const TableFiles& files) {
  NewFiles out;
  std::size_t i = 0;
  out.table = replacement.Temp(i++);
  if (!files.memo.empty()) out.memo = replacement.Temp(i++);
  if (!files.index.empty()) out.index = replacement.Temp(i++);
  return out;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

// What a rewrite of a table in place did.
struct RewriteResult {
  std::int32_t kept = 0;
  std::int32_t removed = 0;
  std::uint64_t old_memo_size = 0;
  std::uint64_t new_memo_size = 0;
  std::vector<std::string> tags;
  std::vector<std::string> backups;
};

// Writes the table again beside itself, keeping the records `keep_records` allows (none for
// zap, the live ones for pack) with their memos, builds every tag again and puts the new files
// in place.
RewriteResult RewriteInPlace(const Options& o, const Streams& io, const std::string& command,
                             bool keep_records) {
  const TableFiles files = FilesOf(o.file, io.err);
  TableSession session = OpenExclusive(o, files, command, io.err);
  TableRecord& t = session.table();
  RewriteResult result;
  const std::vector<TagDefinition> tags =
      files.index.empty() ? std::vector<TagDefinition>() : ReadTagDefinitions(files.index);
  MemoFile* memo = MemoOf(t);
  if (!files.memo.empty() && memo == nullptr) {
    throw DataError{"cannot open the memo file " + files.memo};
  }
  FileReplacement replacement(files.table, files.All());
  const NewFiles temp = TempNames(replacement, files);
  Progress progress(io.err, command, t.record_count);
  DbfWriter table(temp.table, ReadHeaderBytes(t), t.record_length, t.IsDbase2());
  std::optional<MemoWriter> memos;
  if (memo != nullptr) {
    result.old_memo_size = FileSize(*memo);
    memos.emplace(temp.memo, ReadMemoHeader(*memo), memo->kind, memo->block_size);
  }
  std::vector<std::size_t> memo_fields;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    if (t.fields[i].type == 'M' && memos) memo_fields.push_back(i);
  }
  const std::int32_t count = keep_records ? t.record_count : 0;
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
      if (record[0] == kDeletedFlag) {
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
        std::string digits = new_block == 0 ? std::string() : std::to_string(new_block);
        digits.insert(0, field.length - std::min<std::size_t>(digits.size(), field.length), ' ');
        std::memcpy(record + field.offset, digits.data(), field.length);
      }
      table.Append(record);
    }
    first += n;
    progress.Step(first - 1);
    ReachStage(ReplaceStage::kCopying);
  }
  if (!keep_records) result.removed = t.record_count;
  CompleteAndReplace(table, memos, temp.table, files.table, tags, progress, replacement, session);
  if (memos) result.new_memo_size = memos->size();
  result.kept = table.count();
  for (const TagDefinition& tag : tags) result.tags.push_back(tag.name);
  result.backups = replacement.Finish(o.backup);
  return result;
}

void PrintResult(const RewriteResult& r, const Streams& io) {
  io.out << "removed " << r.removed << " record(s), " << r.kept << " kept\n";
  if (r.old_memo_size > 0) {
    io.out << "memo file: " << (r.old_memo_size - std::min(r.old_memo_size, r.new_memo_size))
           << " bytes removed (" << r.old_memo_size << " -> " << r.new_memo_size << ")\n";
  }
  if (!r.tags.empty()) io.out << "rebuilt tag(s): " << Joined(r.tags) << "\n";
  if (!r.backups.empty()) io.out << "old files kept as " << Joined(r.backups) << "\n";
}

int Pack(const Options& o, const Streams& io) {
  PrintResult(RewriteInPlace(o, io, "pack", true), io);
  return kExitOk;
}

int Zap(const Options& o, const Streams& io) {
  if (!o.yes) {
    if (!os::StandardInputIsTerminal()) {
      throw UsageError{"zap removes every record of " + o.file +
                       "; give --yes to confirm when no one can be asked"};
    }
    io.err << "Remove every record of " << o.file << "? [y/N] " << std::flush;
    std::string answer;
    std::getline(io.in, answer);
    if (answer != "y" && answer != "Y" && answer != "yes") {
      io.err << "vxdbf: nothing removed\n";
      return kExitOk;
    }
  }
  PrintResult(RewriteInPlace(o, io, "zap", false), io);
  return kExitOk;
}

// --version of copy: the table kind, given as its version byte.
std::uint8_t ParseVersion(const std::string& text, std::uint8_t source) {
  if (text.empty()) {
    // The kind of the source, in its form with a memo file (CreateDBF drops the memo bit when
    // no memo field is left); dBASE II tables become dBASE III tables.
    if (source == kVersionDbase3 || source == kVersionDbase2) return kVersionDbase3Memo;
    if (source == kVersionLevel7) return kVersionLevel7Memo;
    return source;
  }
  const std::string upper = os::AnsiUpperText(text);
  for (const auto& [name, version] :
       std::initializer_list<std::pair<const char*, std::uint8_t>>{{"0X03", kVersionDbase3Memo},
                                                                   {"0X83", kVersionDbase3Memo},
                                                                   {"0X8B", kVersionDbase4Memo},
                                                                   {"0XF5", kVersionFoxProMemo},
                                                                   {"0X04", kVersionLevel7Memo},
                                                                   {"0X8C", kVersionLevel7Memo}}) {
    if (upper == name) return version;
  }
  throw UsageError{"--version must be 0x03, 0x83, 0x8B, 0xF5, 0x04 or 0x8C, not " + Quoted(text)};
}

// Restores DefaultDbfVersion when the command ends.
struct DefaultVersion {
  explicit DefaultVersion(std::uint8_t version) : saved(DefaultDbfVersion) {
    DefaultDbfVersion = version;
  }
  ~DefaultVersion() { DefaultDbfVersion = saved; }
  std::uint8_t saved;
};

// The fields --fields names, in its order (all of them without it).
std::vector<std::size_t> ChosenFields(const Options& o, const TableRecord& t, TableText& text) {
  std::vector<std::size_t> chosen;
  if (o.fields.empty()) {
    for (std::size_t i = 0; i < t.fields.size(); ++i) chosen.push_back(i);
    return chosen;
  }
  std::size_t start = 0;
  while (start <= o.fields.size()) {
    std::size_t comma = o.fields.find(',', start);
    if (comma == std::string::npos) comma = o.fields.size();
    const std::string name = TrimText(o.fields.substr(start, comma - start));
    start = comma + 1;
    const int n = FieldNo(text.Name(name));
    if (n == 0) throw InputError{"no field " + Quoted(name) + " in " + o.file};
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

// alter converts fields through their dBASE text forms: the binary kinds of Visual FoxPro and
// level 7 tables (and _NullFlags) have none, so such tables are refused whole.
void RefuseBinaryFields(const TableRecord& t, const char* command) {
  const bool binary =
      t.null_flags_length != 0 || std::any_of(t.fields.begin(), t.fields.end(),
                                              [](const FieldEntry& f) { return IsBinaryField(f); });
  if (binary) {
    throw InputError{std::string(command) + " does not handle the binary field types of " +
                     t.file_name + " (Visual FoxPro or level 7); nothing was changed"};
  }
}

// copy keeps the binary kinds (and .NULL.) as stored, which needs a new table of the same
// family: Visual FoxPro to Visual FoxPro, level 7 to level 7.
void RefuseBinaryConversion(const TableRecord& t, std::uint8_t version) {
  const bool binary =
      t.null_flags_length != 0 || std::any_of(t.fields.begin(), t.fields.end(),
                                              [](const FieldEntry& f) { return IsBinaryField(f); });
  const bool same = t.IsVisualFoxPro() ? version == t.version()
                                       : t.IsLevel7() && (version == kVersionLevel7 ||
                                                          version == kVersionLevel7Memo);
  if (binary && !same) {
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

int Copy(const Options& o, const Streams& io) {
  const std::string target = DefaultExtension(TrimText(o.arguments.at(0)), "DBF");
  const TableFiles files = FilesOf(o.file, io.err);
  if (os::ResolvePath(target) == files.table) {
    throw InputError{"copy writes a new table: NEW must not be " + o.file};
  }
  if (os::FileExists(target) && !o.overwrite) {
    throw InputError{target + " exists; use --overwrite to replace it"};
  }
  if (o.with_index && files.index.empty()) {
    throw InputError{o.file + " has no production index for --with-index"};
  }
  // --codepage names the new table's page; the old table's text is read in its own.
  Options source = o;
  source.codepage = 0;
  TableSession session = OpenExclusive(source, files, "copy", io.err);
  TableRecord& t = session.table();
  TableText& from_text = session.text();
  const std::vector<std::size_t> chosen = ChosenFields(o, t, from_text);
  const std::uint8_t version = ParseVersion(o.version, t.version());
  RefuseBinaryConversion(t, version);
  const int page = o.codepage != 0 ? o.codepage : from_text.page();
  TableText to_text(page, o.lossy);
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
  FileReplacement replacement(finals.front(), finals);
  // A table replaced with --overwrite loses the memo file and index the copy does not have.
  if (!memo_fields) replacement.Remove(1);
  if (tags.empty()) replacement.Remove(2);
  const std::string temp = replacement.Temp(0);
  const std::string temp_memo = memo_fields ? replacement.Temp(1) : std::string();
  {
    DefaultVersion scope(version);
    TableRecord created;
    CreateDBF(created, temp, definitions);
  }
  if (mark_page) WriteCodePageMark(temp, page);
  NewTable shape = ReadNewTable(temp, temp_memo, memo_final);
  CarryDescriptors(t, ReadHeaderBytes(t), chosen, shape);
  // The new table's null and varying-length bits, for SetFieldNull and PutVaryingBytes.
  TableRecord bits;
  bits.null_flags_offset = shape.null_flags_offset;
  bits.null_flags_length = shape.null_flags_length;
  std::vector<OrderedRecord> order;
  if (!o.structure_only) order = RecordOrder(source, t);
  Progress progress(io.err, "copy", static_cast<std::int64_t>(order.size()));
  DbfWriter table(temp, shape.header, shape.record_length, false);
  std::optional<MemoWriter> memos;
  if (memo_fields) memos.emplace(temp_memo, shape.memo_header, shape.memo_kind, shape.block_size);
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
          std::string text;
          {
            QuietErrors quiet;
            if (!ReadMemoText(*source_memo, block, text, "CopyMemo")) {
              throw DataError{where + ": the memo cannot be read (" + TakeErrorMessage() + ")"};
            }
          }
          if (convert) text = to_text.FromUtf8(from_text.ToUtf8(text, where), where);
          new_block = memos->AppendText(text);
        }
        if (to.storage == FieldStorage::kBinaryMemo) {
          PutBinaryMemoBlock(to, record.data(), new_block);
          continue;
        }
        value = new_block == 0 ? std::string() : std::to_string(new_block);
        value.insert(0, to.length - std::min<std::size_t>(value.size(), to.length), ' ');
      } else if (from.type == 'C' && convert) {
        value = to_text.FromUtf8(from_text.ToUtf8(value, where), where);
      }
      value.resize(to.length, ' ');
      std::memcpy(record.data() + to.offset, value.data(), to.length);
    }
    table.Append(record.data());
    ReachStage(ReplaceStage::kCopying);
  }
  CompleteAndReplace(table, memos, temp, finals.front(), tags, progress, replacement, session);
  replacement.Finish(false);
  to_text.ReportReplacements(io.err);
  io.out << "copied " << table.count() << " record(s) to " << target;
  if (!tags.empty())
    io.out << ", with tag(s) " << Joined([&] {
      std::vector<std::string> names;
      for (const TagDefinition& tag : tags) names.push_back(tag.name);
      return names;
    }());
  io.out << "\n";
  return kExitOk;
}

// ---- alter ----

// One field of the altered table and where its values come from.
struct PlannedField {
  FieldEntry definition;
  int source = -1;  // index into the old fields; -1 for an added field
};

FieldEntry ParseDefinition(const std::string& text, const std::string& option) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    parts.push_back(TrimText(text.substr(start, comma - start)));
  }
  parts.push_back(TrimText(text.substr(start)));
  if (parts.size() < 2 || parts.size() > 4 || parts[1].size() != 1) {
    throw UsageError{option + " wants NAME,TYPE,LEN,DEC, not " + Quoted(text)};
  }
  FieldEntry f;
  f.name = os::Utf8ToAnsi(parts[0]);
  f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(parts[1][0])));
  const auto number = [&](const std::string& digits, int limit) {
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > limit) {
      throw UsageError{"bad number " + Quoted(digits) + " in " + option + " " + Quoted(text)};
    }
    return std::stoi(digits);
  };
  if (parts.size() > 2) f.length = static_cast<std::uint16_t>(number(parts[2], 65535));
  if (parts.size() > 3) f.decimals = static_cast<std::uint8_t>(number(parts[3], 255));
  if (f.type == 'D') f.length = 8;
  if (f.type == 'L') f.length = 1;
  if (f.type == 'M') f.length = 10;
  return f;
}

std::vector<PlannedField> PlanFields(const Options& o, const TableRecord& t, TableText& text) {
  std::vector<PlannedField> plan;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    plan.push_back({t.fields[i], static_cast<int>(i)});
  }
  const auto find = [&](const std::string& utf8, const std::string& option) {
    const std::string name = os::AnsiUpperText(text.Name(TrimText(utf8)));
    for (std::size_t i = 0; i < plan.size(); ++i) {
      if (os::AnsiUpperText(plan[i].definition.name) == name) return i;
    }
    throw InputError{option + ": no field " + Quoted(utf8) + " in " + o.file};
  };
  for (const std::string& rename : o.rename_fields) {
    const std::size_t equals = rename.find('=');
    if (equals == std::string::npos)
      throw UsageError{"--rename wants OLD=NEW, not " + Quoted(rename)};
    plan[find(rename.substr(0, equals), "--rename")].definition.name =
        text.Name(TrimText(rename.substr(equals + 1)));
  }
  for (const std::string& name : o.drop_fields) {
    plan.erase(plan.begin() + static_cast<std::ptrdiff_t>(find(name, "--drop")));
  }
  for (const std::string& retype : o.retype_fields) {
    FieldEntry f = ParseDefinition(retype, "--retype");
    PlannedField& planned = plan[find(f.name, "--retype")];
    f.name = planned.definition.name;
    planned.definition = f;
  }
  for (const std::string& add : o.add_fields) {
    FieldEntry f = ParseDefinition(add, "--add");
    f.name = text.Name(f.name);
    plan.push_back({f, -1});
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
      char text[400];
      std::snprintf(text, sizeof text, "%*.*f", int{to.length}, int{to.decimals}, v);
      if (std::strlen(text) > to.length) {
        throw InputError{where + ": " + number + " does not fit in " + to.name + " (" +
                         std::to_string(to.length) + "," + std::to_string(to.decimals) + ")"};
      }
      return text;
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

int Alter(const Options& o, const Streams& io) {
  if (o.add_fields.empty() && o.drop_fields.empty() && o.rename_fields.empty() &&
      o.retype_fields.empty() && o.drop_tags.empty()) {
    throw UsageError{"alter needs --add, --drop, --rename, --retype or --drop-tag"};
  }
  const TableFiles files = FilesOf(o.file, io.err);
  TableSession session = OpenExclusive(o, files, "alter", io.err);
  TableRecord& t = session.table();
  RefuseBinaryFields(t, "alter");
  TableText& text = session.text();
  const std::vector<PlannedField> plan = PlanFields(o, t, text);
  std::vector<FieldEntry> definitions;
  bool memo_fields = false;
  for (const PlannedField& p : plan) {
    definitions.push_back(p.definition);
    memo_fields = memo_fields || p.definition.type == 'M';
  }
  const std::uint8_t version = ParseVersion("", t.version());
  CheckFieldDefinitions(definitions, version);
  std::vector<TagDefinition> tags =
      files.index.empty() ? std::vector<TagDefinition>() : ReadTagDefinitions(files.index);
  for (const std::string& name : o.drop_tags) {
    const std::string wanted = os::AnsiUpperText(text.Name(name));
    const auto at = std::find_if(tags.begin(), tags.end(),
                                 [&](const TagDefinition& tag) { return tag.name == wanted; });
    if (at == tags.end()) throw InputError{"--drop-tag: no tag " + Quoted(name) + " in " + o.file};
    tags.erase(at);
  }
  // Finals: the table, the memo file (the new one, and the old one when its name differs or
  // the new table has none), the index.
  std::vector<std::string> finals{files.table};
  const std::string memo_final =
      os::ResolvePath(DerivedFileName(files.table, MemoExtension(MemoVersionOf(version))));
  finals.push_back(memo_final);
  finals.push_back(os::ResolvePath(DerivedFileName(files.table, "MDX")));
  FileReplacement replacement(files.table, finals);
  if (!memo_fields) replacement.Remove(1);
  if (tags.empty()) replacement.Remove(2);
  const std::string temp = replacement.Temp(0);
  {
    DefaultVersion scope(version);
    TableRecord created;
    CreateDBF(created, temp, definitions);
  }
  const std::vector<std::string> broken = BrokenTags(temp, tags);
  if (!broken.empty()) {
    throw InputError{"tag(s) " + Joined(broken) +
                     " name a field that is gone or renamed; give --drop-tag NAME for each "
                     "(or change the tag after the alter)"};
  }
  NewTable shape =
      ReadNewTable(temp, memo_fields ? replacement.Temp(1) : std::string(), memo_final);
  // The language driver mark stays.
  if (!t.IsDbase2()) shape.header[29] = static_cast<char>(t.header[29]);
  Progress progress(io.err, "alter", t.record_count);
  DbfWriter table(temp, shape.header, shape.record_length, false);
  std::optional<MemoWriter> memos;
  if (memo_fields) {
    memos.emplace(replacement.Temp(1), shape.memo_header, shape.memo_kind, shape.block_size);
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
            value = copied == 0 ? std::string() : std::to_string(copied);
            value.insert(0, to.length - std::min<std::size_t>(value.size(), to.length), ' ');
          } else {
            std::string memo_text;
            if (block > 0) {
              QuietErrors quiet;
              if (!ReadMemoText(*source_memo, block, memo_text, "alter")) {
                throw DataError{where + ": the memo cannot be read (" + TakeErrorMessage() + ")"};
              }
            }
            value = Converted(from, to, memo_text, where);
          }
        } else if (to.type == 'M') {
          stored.erase(stored.find_last_not_of(' ') + 1);
          const std::int32_t block = memos->AppendText(stored);
          value = block == 0 ? std::string() : std::to_string(block);
          value.insert(0, to.length - std::min<std::size_t>(value.size(), to.length), ' ');
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
  CompleteAndReplace(table, memos, temp, files.table, tags, progress, replacement, session);
  const std::vector<std::string> backups = replacement.Finish(o.backup);
  io.out << "altered " << files.table << ": " << definitions.size() << " field(s), "
         << table.count() << " record(s)";
  if (!tags.empty()) {
    std::vector<std::string> names;
    for (const TagDefinition& tag : tags) names.push_back(tag.name);
    io.out << ", rebuilt tag(s) " << Joined(names);
  }
  io.out << "\n";
  if (!backups.empty()) io.out << "old files kept as " << Joined(backups) << "\n";
  return kExitOk;
}

}  // namespace

void ReplaceOldTable(const std::string& file, bool overwrite) {
  const std::string table = DefaultExtension(TrimText(file), "DBF");
  if (!os::FileExists(table)) return;
  if (!overwrite) throw InputError{table + " exists; use --overwrite to replace it"};
  RecoverReplacement(table);
  std::vector<std::string> old{table};
  for (const char* ext : {"DBT", "FPT", "MDX"}) {
    const std::string path = DerivedFileName(table, ext);
    if (os::FileExists(path)) old.push_back(path);
  }
  ClaimExclusive(old, "create --overwrite");
  for (std::size_t i = 1; i < old.size(); ++i) {
    const int io = os::DeleteFile(old[i]);
    if (io != os::kIoOk) {
      throw DataError{"cannot remove " + old[i] + " (" +
                      ErrorDescription(static_cast<std::uint16_t>(io)) + ")"};
    }
  }
}

const char* FieldTypesHelp() {
  return "Field types (--field NAME,TYPE,LEN,DEC):\n"
         "  C  character, LEN 1 to 254\n"
         "  N  number, LEN 1 to 20, DEC 0 to LEN - 1 (the point and sign count in LEN)\n"
         "  F  floating number, like N\n"
         "  D  date, 8 (LEN may be left out)\n"
         "  L  logical, 1 (LEN may be left out)\n"
         "  M  memo, 10 in the record, the text in the memo file (LEN may be left out)\n"
         "Names: 1 to 10 letters, digits or \"_\", beginning with a letter, each name once\n"
         "(upper and lower case are the same name).\n";
}

void CheckFieldDefinitions(const std::vector<FieldEntry>& fields, std::uint8_t version) {
  // Every version keeps at most 10 characters of a name; the binary kinds belong to level 7
  // (I, +, O, @) and Visual FoxPro (I, +, B, Y, T, V, Q, G, W; memos 4 wide).
  const bool level7 = version == kVersionLevel7 || version == kVersionLevel7Memo;
  const bool foxpro = version == kVersionVisualFoxPro || version == kVersionVisualFoxProAutoinc;
  constexpr std::size_t kLongestName = 10;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldEntry& f = fields[i];
    const std::string field = "field " + std::to_string(i + 1) + " " + Quoted(f.name);
    if (f.name.empty()) throw UsageError{"field " + std::to_string(i + 1) + " has no name"};
    if (f.name.size() > kLongestName) {
      throw UsageError{field + ": a name has at most " + std::to_string(kLongestName) +
                       " characters"};
    }
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (!letter(f.name[0])) throw UsageError{field + ": a name begins with a letter"};
    for (char c : f.name) {
      if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') {
        throw UsageError{field + ": a name holds only letters, digits and \"_\""};
      }
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (os::AnsiUpperText(fields[j].name) == os::AnsiUpperText(f.name)) {
        throw UsageError{field + ": the name of field " + std::to_string(j + 1) +
                         " again (case does not count)"};
      }
    }
    const char type = static_cast<char>(std::toupper(static_cast<unsigned char>(f.type)));
    if ((f.flags & kFieldMayBeNull) != 0 && !foxpro) {
      throw UsageError{field + ": only Visual FoxPro fields (--version 0x30, 0x31) may be null"};
    }
    const auto width = [&](int low, int high) {
      if (f.length < low || f.length > high) {
        throw UsageError{field + ": type " + std::string(1, type) + " takes a width of " +
                         std::to_string(low) + " to " + std::to_string(high) + ", not " +
                         std::to_string(f.length)};
      }
    };
    const auto fixed = [&](int length) {
      if (f.length != 0 && f.length != length) {
        throw UsageError{field + ": type " + std::string(1, type) + " is " +
                         std::to_string(length) + " wide, not " + std::to_string(f.length)};
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
          throw UsageError{field + ": " + std::to_string(f.decimals) +
                           " decimals need a width above " + std::to_string(f.decimals) + ", not " +
                           std::to_string(f.length)};
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
        if (!level7 && !foxpro)
          throw UsageError{field + ": type " + std::string(1, type) +
                           " needs --version 0x04, 0x8C, 0x30 or 0x31"};
        fixed(4);
        break;
      case 'O':
      case '@':
        if (!level7)
          throw UsageError{field + ": type " + std::string(1, type) +
                           " needs --version 0x04 or 0x8C"};
        fixed(8);
        break;
      case 'Y':
      case 'T':
      case 'V':
      case 'Q':
      case 'W':
        if (!foxpro)
          throw UsageError{field + ": type " + std::string(1, type) +
                           " needs --version 0x30 or 0x31"};
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
          throw UsageError{field + ": no field type P in a Visual FoxPro table"};
        } else {
          fixed(10);
        }
        break;
      default:
        throw UsageError{field + ": no field type " + Quoted(std::string(1, f.type)) +
                         " (C, N, F, D, L or M)"};
    }
  }
}

void RegisterMaintenanceCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& pack = commands.Add(
      {"pack", "FILE [--backup]",
       "Removes the records marked deleted, compacts the memo file and rebuilds every tag "
       "(exclusive use; the old files stay as they were until the new ones are complete).",
       "vxdbf pack films.dbf --backup", Pack});
  AddFileArgument(pack, o);
  pack.add_flag("--backup", o.backup, "keep the old files as FILE.bak (and .dbt.bak, .mdx.bak)");

  CLI::App& zap = commands.Add(
      {"zap", "FILE [--yes] [--backup]",
       "Removes every record: the header, the memo file's header and the tag definitions stay "
       "(exclusive use; asks first on a terminal unless --yes).",
       "vxdbf zap films.dbf --yes", Zap});
  AddFileArgument(zap, o);
  zap.add_flag("--yes", o.yes, "do not ask");
  zap.add_flag("--backup", o.backup, "keep the old files as FILE.bak (and .dbt.bak, .mdx.bak)");

  CLI::App& copy = commands.Add(
      {"copy",
       "FILE NEW [--fields A,B,...] [--for COND] [--tag NAME] [--version V] [--codepage N] "
       "[--structure-only] [--with-index] [--lossy] [--overwrite]",
       "Writes a new table from FILE's records (file order, or a tag's), optionally only some "
       "fields or records, in another table kind or code page.",
       "vxdbf copy films.dbf old_films.dbf --for \"YEAR < 1950\" --tag TITLE", Copy});
  AddFileArgument(copy, o);
  AddArguments(copy, o, "NEW", "the new table", 1);
  copy.add_option("--fields", o.fields, "only these fields, in this order");
  copy.add_option("--for", o.condition, "only the records meeting this condition");
  AddTagOptions(copy, o, TagOptions::kOrderOnly);
  copy.add_option("--version", o.version,
                  "the new table's kind: 0x03/0x83 (dBASE III), 0x8B (dBASE IV), 0xF5 (FoxPro), "
                  "0x04/0x8C (level 7); the memo bit follows the fields");
  AddCodePageOption(copy, "--codepage", o.codepage,
                    "the new table's code page: text is converted and the table marked");
  copy.add_flag("--ansi", o.ansi,
                "FILE without a mark holds Windows (ANSI) text, not DOS (OEM) text");
  copy.add_flag("--lossy", o.lossy,
                "a character the new page lacks becomes \"?\" (counted) instead of an error");
  copy.add_flag("--structure-only", o.structure_only, "the fields only, no records");
  copy.add_flag("--with-index", o.with_index,
                "build the tags of FILE's production index for the new table");
  copy.add_flag("--overwrite", o.overwrite, "replace NEW when it exists");

  for (const char* name : {"info", "check", "tags"}) commands.AllowSeveralFiles(name);
  CLI::App& alter = commands.Add(
      {"alter",
       "FILE [--add NAME,TYPE,LEN,DEC] [--drop NAME] [--rename OLD=NEW] "
       "[--retype NAME,TYPE,LEN,DEC] [--drop-tag NAME] [--backup]",
       "Changes the table's fields and converts the records (exclusive use); the tags that still "
       "compile are rebuilt.",
       "vxdbf alter films.dbf --add RATING,N,4,1 --retype TITLE,C,40 --drop-tag OLD", Alter});
  AddFileArgument(alter, o);
  const auto repeated = [&](const char* name, std::vector<std::string>& into, const char* what) {
    alter.add_option(name, into, what)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  repeated("--add", o.add_fields, "a new last field NAME,TYPE,LEN,DEC (repeat it)");
  repeated("--drop", o.drop_fields, "remove a field (repeat it)");
  repeated("--rename", o.rename_fields, "rename a field OLD=NEW (repeat it)");
  repeated("--retype", o.retype_fields,
           "give a field a new TYPE,LEN,DEC: values converted, a record that does not fit "
           "refused (repeat it)");
  repeated("--drop-tag", o.drop_tags, "drop this tag of the production index (repeat it)");
  alter.add_flag("--backup", o.backup, "keep the old files as FILE.bak (and .dbt.bak, .mdx.bak)");
}

void RegisterHelpCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& completion =
      commands.Add({"completion", "bash                          (prints a bash completion script)",
                    "Prints a bash completion script made from the commands and their options.",
                    "vxdbf completion bash > /etc/bash_completion.d/vxdbf",
                    [&commands](const Options&, const Streams& io) {
                      io.out << commands.BashCompletion();
                      return kExitOk;
                    }});
  completion.add_option("SHELL", o.arguments, "bash")->required()->check(CLI::IsMember({"bash"}));
  commands.Add({"man", "                                (prints the man page, roff)",
                "Prints vxdbf's man page (roff) made from the commands and their options.",
                "vxdbf man > /usr/local/share/man/man1/vxdbf.1",
                [&commands](const Options&, const Streams& io) {
                  io.out << commands.ManPage();
                  return kExitOk;
                }});
}

}  // namespace vx::tool
