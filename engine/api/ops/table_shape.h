// Pieces the table-rewriting operations share (create, copy, alter, pack, zap): the files a
// table has on the disk, its exclusive use, the shape of a new table's empty files, and the field
// rules a definition must pass.
#pragma once

#include <optional>
#include <string>
#include <vector>
#include <vexel/maintenance.hpp>

#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/api/ops/table_rewrite.h"
#include "engine/index/cdx_build.h"
#include "engine/index/ndx_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "platform/os/system.h"

namespace vx::ops {
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

// The index files beside a table that a rewrite changing its record numbers (pack, zap, alter)
// builds again afterwards from their definitions, read before: the structural .CDX of a FoxPro
// table and the .NDX files the caller names. Building them follows the replacement of the table
// (a failure then is reported naming the file, which vxdbf reindex or check --repair mends).
struct OtherIndexes {
  std::vector<CdxTagDefinition> cdx_tags;  // none: no structural .CDX
  struct Ndx {
    std::string path;
    NdxHeader header;  // its key, unique flag and the form a rebuild keeps
  };
  std::vector<Ndx> ndx;
};
// Reads them for `table` (DataError when one cannot be read: nothing was changed yet).
OtherIndexes ReadOtherIndexes(const std::string& table, const vexel::OpenOptions& options);
// Builds them again for the rewritten `table` (DataError naming what failed).
void RebuildOtherIndexes(const std::string& table, const OtherIndexes& indexes);

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

// How much of the rules a field definition must pass: an existing field another program wrote
// is kept as it is (only a name given twice is refused), a renamed one passes the naming rules,
// a new or retyped one all of them.
enum class FieldRules : char { kKept, kRenamed, kAll };

// The files of the table, after undoing a rewrite of it that a killed process left half done.
TableFiles FilesOf(const std::string& file, const vexel::OpenOptions& options);

// Opens the table for exclusive use (LockRefused when another program has one of its files
// open). `exclusive` comes from ExclusiveUse and outlives the session.
TableSession OpenExclusive(const vexel::OpenOptions& exclusive, const TableFiles& files,
                           const std::string& command, Access access = Access::kIndex);

// Completes the new files and puts them in place of the old ones: the table and memo file
// finished, the table read back, every tag built from `tags`, the renames done, and the old
// table's session closed.
void CompleteAndReplace(DbfWriter& table, std::optional<MemoWriter>& memos,
                        const std::string& temp_table, const std::string& final_table,
                        const std::vector<TagDefinition>& tags, Progress& progress,
                        FileReplacement& replacement, std::size_t index_entry,
                        TableSession& session);

// The .cpg file finals[entry] of a new table, put in place with the others: one naming `page`
// (0: none, and an old table's .cpg goes with it). The shape folder's .cpg stays behind there.
void PlaceCodePageFile(FileReplacement& replacement, std::size_t entry, int page);

std::vector<std::string> TagNames(const std::vector<TagDefinition>& tags);

std::string Joined(const std::vector<std::string>& names);

// A memo block number as a dBASE memo field stores it: digits right-aligned, blank for none.
std::string BlockDigits(std::int32_t block, std::size_t width);

// A version byte as the caller writes it ("0x8B").
std::string VersionText(std::uint8_t version);

// The kind a copy writes, in its form with a memo file (CreateDBF drops the memo bit when no
// memo field is left): `requested`, or without it the source's kind (dBASE II tables become
// dBASE III tables).
std::uint8_t CopyVersion(std::uint8_t requested, std::uint8_t source);

// Creates an empty table as CreateDBF makes it, of the given kind.
void CreateEmpty(const std::string& path, const std::vector<FieldEntry>& definitions,
                 std::uint8_t version);

// The fields `names` chooses, in its order (all of them when it is empty).
std::vector<std::size_t> ChosenFields(const std::vector<std::string>& names,
                                      const std::string& file, const TableRecord& t,
                                      TableText& text);

NewTable ReadNewTable(const std::string& path, const std::string& memo_path,
                      const std::string& final_memo);

bool HasBinaryFields(const TableRecord& t);

// The definition CreateDBF takes for a field of an open table: its letter as stored (G, W for
// Visual FoxPro memos), and "+" for a Visual FoxPro autoincrement field.
FieldEntry DefinitionOf(const TableRecord& t, const FieldEntry& f);

// Carries what a Visual FoxPro or level 7 descriptor holds beyond the definition into the new
// header: the field flags (binary, may be null) and the autoincrement counter, so that the
// copy goes on numbering where the old table stopped.
void CarryDescriptors(const TableRecord& t, const std::vector<char>& old_header,
                      const std::vector<std::size_t>& chosen, NewTable& shape);

// A memo's text read for conversion; DataError naming the record and field when it cannot be.
std::string MemoText(MemoFile& memo, std::int32_t block, const char* label,
                     const std::string& where);

// A caller's field definition as the engine takes it; `name` already in the table's bytes.
FieldEntry EntryOf(const vexel::Field& f, std::string name);

// Refuses (DefinitionRefused naming the field) definitions that dBASE programs would not read
// back as given; see vexel::check_fields. `rules` (empty: all for every field) says which;
// `national` lets names hold letters beyond ASCII (CreateOptions::national_names).
void CheckFieldDefinitions(const std::vector<FieldEntry>& fields,
                           const std::vector<std::string>& shown, std::uint8_t version,
                           const std::vector<FieldRules>& rules = {}, bool national = false);

// The definitions of the caller's fields in the engine's form, checked: names in the ANSI page
// (ASCII, as the rules keep them), or with `national_page` in that page, letters beyond ASCII
// allowed.
std::vector<FieldEntry> CheckedDefinitions(const std::vector<vexel::Field>& fields,
                                           std::uint8_t version, int national_page = 0);

// The kind create() writes (0: dBASE IV, 0x8B); InputError for a version byte it does not write.
std::uint8_t CreateVersion(std::uint8_t version);

}  // namespace vx::ops
