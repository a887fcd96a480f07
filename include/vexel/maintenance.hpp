#pragma once
// Table maintenance for programs that manage dBASE tables: create a table from field
// definitions, pack it (drop the records marked deleted, compact the memo file, rebuild the
// tags), zap it (remove every record), copy it into a new table and alter its fields.
//
//   vexel::PackResult r = vexel::pack_table("films.dbf", {.backup = true});
//   std::cout << r.removed << " removed, " << r.kept << " kept\n";
//
// The operations that rewrite a table need it for exclusive use (LockError when another program
// has the table, its memo file or its production index open). They write the new files beside
// the old ones and put them in place together only once they are complete; a journal beside the
// table (NAME.VXJ) lets the next operation on the table undo a rewrite that a killed process left
// half done, so the table is always either the old one or the new one. Warnings and progress go
// through OpenOptions.

#include <cstdint>
#include <string>
#include <vector>
#include <vexel/vexel.hpp>

namespace vexel {

// ---------------------------------------------------------------------------------------------
// Creating a table

// The table kinds, as their version byte: 0x03 dBASE III (0x83 with a memo file), 0x8B dBASE IV
// with a memo file, 0xF5 FoxPro with a memo file, 0x04 dBASE level 7 (0x8C with a memo file),
// 0x30 Visual FoxPro, 0x31 Visual FoxPro with an autoincrement field. A kind "with a memo file"
// is written without its memo bit when no field needs a memo file.
struct CreateTableOptions {
  std::uint8_t version = 0;  // 0: the engine's default kind (dBASE III)
  // The code page of the table's text, written as its language driver mark (or, for a page no
  // mark names, such as 65001 UTF-8, as a .cpg file beside it); 0: 1252, Windows Latin 1.
  int codepage = 0;
  bool overwrite = false;    // replace an existing table, its memo file and its production index
};

// A field definition that check_fields refuses (create_table and alter_table check with it), so
// that a program can tell a wrong definition from other refusals.
class DefinitionError : public InputError {
 public:
  using InputError::InputError;
};

// Refuses (DefinitionError naming the field: "field 2 \"YEAR\": ...") definitions that dBASE
// programs would not read back as given: empty names, names longer than 10 characters, characters
// other than letters, digits and "_" (or a first character that is not a letter), a name twice (in
// any case), widths outside the type's range, decimals not below the width, types the kind lacks
// and nullable fields outside Visual FoxPro. D, L and M fields may leave the length 0. `version`
// as CreateTableOptions takes it (InputError for one create_table does not write).
void check_fields(const std::vector<Field>& fields, std::uint8_t version);

// Creates an empty table FILE (".DBF" added when it has no extension) and, when a field needs
// one, its memo file; the table is closed afterwards. The definitions are checked first
// (check_fields: DefinitionError); an existing table is an InputError unless `overwrite`, and
// with it a LockError when another program has the table, its memo file or index open. An
// unknown version or a code page without a language driver is an InputError. Every refusal
// comes before anything is removed or written.
void create_table(const std::string& file, const std::vector<Field>& fields,
                  const CreateTableOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Pack and zap

struct RewriteOptions {
  // Keep the old files as FILE.bak (and MEMO.bak, INDEX.bak) instead of deleting them.
  bool backup = false;
};

// What pack_table and zap_table did.
struct PackResult {
  std::int64_t kept = 0;
  std::int64_t removed = 0;
  // The memo file's size before and after (both 0 when the table has none).
  std::uint64_t old_memo_size = 0;
  std::uint64_t new_memo_size = 0;
  std::vector<std::string> tags{};     // the tags rebuilt, in the index's order
  std::vector<std::string> backups{};  // the names of the kept old files (RewriteOptions::backup)
};

// Removes the records marked deleted, copies the live memos into a compact memo file and builds
// every tag of the production index again (records are renumbered). InputError when FILE is no
// table; LockError when another program has one of its files open; DataError when a record or
// memo cannot be read (the table's files are then unchanged).
PackResult pack_table(const std::string& file, const RewriteOptions& rewrite = {},
                      const OpenOptions& options = {});

// Removes every record: the header, the memo file's header and the tag definitions stay (the
// tags are rebuilt empty). Fails like pack_table.
PackResult zap_table(const std::string& file, const RewriteOptions& rewrite = {},
                     const OpenOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Copy

struct CopyOptions {
  std::vector<std::string> fields{};  // these fields (UTF-8, any case) in this order; empty: all
  std::string condition{};            // only the records for which this expression is true
  std::string tag{};                  // walk this tag's order; empty: file order
  std::string index{};                // the .MDX holding `tag`; empty: the production index
  // The new table's kind (see CreateTableOptions; 0x03 and 0x83, 0x04 and 0x8C are the same
  // kind here): 0, the source's kind (dBASE II becomes dBASE III). Visual FoxPro and level 7
  // tables with binary fields copy only into their own kind.
  std::uint8_t version = 0;
  // The new table's code page: its text is converted and the table marked. 0: the source's page
  // (OpenOptions::codepage), marked as the source is.
  int codepage = 0;
  bool structure_only = false;  // the fields only, no records
  bool with_index = false;      // build the tags of the source's production index for the copy
  bool overwrite = false;       // replace an existing table (its memo file and index go too)
};

struct CopyResult {
  std::string table{};              // the new table's name as given, with its extension
  std::int64_t records = 0;         // records copied
  std::vector<std::string> tags{};  // tags built (CopyOptions::with_index)
};

// Writes a new table TARGET from FILE's records, the deletion marks, memos, null flags and
// autoincrement counters included. The source is held for exclusive use while it is read.
// InputError for a TARGET that is FILE or exists (without overwrite), a field or tag that is
// not there, a condition that is not logical, text the new page cannot hold (unless
// OpenOptions::lossy, which stores "?" and warns with the count); DataError for a record
// or memo that cannot be read. A failure leaves TARGET as it was.
CopyResult copy_table(const std::string& file, const std::string& target,
                      const CopyOptions& copy = {}, const OpenOptions& options = {});

// ---------------------------------------------------------------------------------------------
// Alter

struct FieldRename {
  std::string from{};
  std::string to{};
};

// The changes, applied in this order: renames, drops, retypes (by the name after the renames),
// additions (as new last fields). Names are UTF-8, any case.
struct AlterChanges {
  std::vector<FieldRename> rename{};
  std::vector<std::string> drop{};
  std::vector<Field> retype{};  // name: the field; type, length, decimals: its new definition
  std::vector<Field> add{};
  std::vector<std::string> drop_tags{};  // tags of the production index to drop
  bool backup = false;                   // keep the old files as FILE.bak (see RewriteOptions)
};

struct AlterResult {
  std::string table{};                 // the table's full path
  std::size_t fields = 0;              // fields of the altered table
  std::int64_t records = 0;            // records converted
  std::vector<std::string> tags{};     // tags rebuilt
  std::vector<std::string> backups{};  // the kept old files
};

// Changes the table's fields and converts every record to them: numbers, dates (YYYY-MM-DD or
// YYYYMMDD), logicals and memos to and from text, numbers to other widths. InputError, before
// anything is written, for no change at all, a field that is not there, a conversion without
// meaning (a memo to a number), definitions check_fields refuses (DefinitionError), a tag whose key
// names a field that is gone (drop it with drop_tags) and a value that does not fit its new field
// (naming the record). Tables with Visual FoxPro or level 7 binary fields are refused. The memo
// file and production index follow the new fields; the language driver mark stays.
AlterResult alter_table(const std::string& file, const AlterChanges& changes,
                        const OpenOptions& options = {});

}  // namespace vexel
