#include "tools/vxdbf/maintenance_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <istream>
#include <optional>
#include <ostream>

#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "tools/vxdbf/file_replacement.h"
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

TableFiles FilesOf(const std::string& file) {
  TableFiles files;
  const std::string table = DefaultExtension(file, "DBF");
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
// open), after undoing a rewrite that a killed vxdbf left half done.
TableSession OpenExclusive(const Options& o, const TableFiles& files, const std::string& command,
                           std::ostream& err) {
  if (RecoverReplacement(files.table)) {
    err << "vxdbf: an interrupted rewrite of " << files.table
        << " was undone; its old files are back\n";
  }
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
  const TableFiles files = FilesOf(o.file);
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
  table.Finish();
  if (memos) {
    memos->Finish();
    result.new_memo_size = memos->size();
  }
  result.kept = table.count();
  VerifyNewTable(temp.table, result.kept);
  BuildProductionIndex(temp.table, files.table, tags, progress);
  for (const TagDefinition& tag : tags) result.tags.push_back(tag.name);
  replacement.Replace();
  session.Close();
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
  (void)version;  // every version keeps at most 10 characters of a name
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
      case 'M':
      case 'B':
      case 'G':
      case 'P':
        fixed(10);
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
}

}  // namespace vx::tool
