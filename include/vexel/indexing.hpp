#pragma once
// Checking a table's production index by path, for maintenance programs: the table with its memo
// file and index (header, memo pointers, each tag's tree and keys against the records),
// optionally repairing what failed; and dBASE III index files (.NDX). Each call opens the table
// itself, exclusively where it changes an index, and closes it again (OpenOptions say how).
// check_table is the library's one check: it opens the table as a checker must, without the
// memo file or an index that cannot be read, which an ordinary vexel::open refuses for writing.
// (Tags are added and rebuilt through an open table: Table::add_tag, Table::reindex.)
//
//   vexel::OpenOptions options;
//   vexel::TableCheck found = vexel::check_table("films.dbf", false, options);
//   for (const vexel::CheckFinding& f : found.findings()) std::cout << f.where << ": " << f.what;

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#include <vexel/vexel.hpp>

namespace vexel {

// One problem or note: where ("table", "memo file", "index", "record 3, field NOTES", "tag
// TITLE", ...) and what, ending with its advice in this library's words (as Error::what()). A
// program that words the advice as its own options uses fault (what without the advice) and
// advice, when there is any.
struct CheckFinding {
  std::string where{};
  std::string what{};
  std::string fault{};
  std::vector<Advice> advice{};
};

// One tag of the production index as the check found it.
struct TagCheck {
  std::string name{};
  TagInfo definition{};           // as its header gives it (key_type unset)
  bool definition_known = false;  // the key and FOR expressions can be read and compile
  std::vector<std::string> problems{};
  std::vector<std::string> notes{};  // not damage, but worth knowing
};

// What a repair did.
struct IndexRepair {
  std::string backup{};                     // the old index kept as (empty: none was needed)
  std::vector<std::string> rebuilt{};       // tag names
  std::vector<std::string> not_repaired{};  // in words
  std::int32_t counted = 0;                 // records the header now counts in addition
  bool sound = false;                       // the table, checked again afterwards, has no problem
};

// Memo pointer problems: after this many only their number is kept.
inline constexpr std::size_t check_memo_problems_kept = 100;

// Everything check_table found. Field names appear in UTF-8; tag names as stored.
struct TableCheck {
  bool ok = true;                     // nothing was found (notes are not problems)
  std::vector<CheckFinding> table{};  // the table header, the index file, the memo file
  std::vector<CheckFinding> memos{};  // memo pointers (at most check_memo_problems_kept)
  std::size_t memo_problems = 0;      // all of them
  std::int32_t uncounted = 0;         // whole records past the header's count
  std::vector<TagCheck> tags{};
  std::vector<CheckFinding> notes{};  // about the table's files, not faults
  bool has_index = false;
  std::string index_path{};
  // Set when a repair was asked for and something had failed.
  std::optional<IndexRepair> repair{};

  // Every problem in one list: the table's, the memo pointers' (with "... and N more" under
  // "memo pointers" past those kept), then each tag's under "tag NAME".
  std::vector<CheckFinding> findings() const;
  // The table's notes, then each tag's under "tag NAME".
  std::vector<CheckFinding> all_notes() const;
};

// Checks `file` with its memo file and production index; changes nothing unless `repair`. The
// table is read shared (as options say) and under its code page's rules for keys that convert
// case; a memo file that cannot be opened is a finding, not an error. With `repair` (exclusive
// use) the tags that failed are rebuilt from the definitions their headers still give after the
// old index is kept as NAME.MDX.bak (InputError, nothing changed, when it cannot be kept), a
// tag with no readable definition is dropped, and records an unfinished append left past the
// header's count are counted (the builds report progress as "index"). The report is of the
// table as found, before the repair;
// repair->sound tells whether the table, checked again after it, is sound. A vexel::Table of
// this program that has the table open exclusively, or at all for a repair, is closed first:
// its open refuses the checker's, as another program's would.
TableCheck check_table(const std::filesystem::path& file, bool repair = false,
                       const OpenOptions& options = {});

// ---------------------------------------------------------------------------------------------
// dBASE III index files (.NDX): one key expression, one tree, no FOR condition. A name without
// extension gets ".NDX", one without a folder the table's folder. Edits keep the files named in
// OpenOptions::ndx_files current.

// Writes the .NDX `ndx` for `file` with the key `key` (UTF-8, stored in the table's code page)
// of every record: characters (1..100), a number or a date (kept as doubles); `unique` keeps
// the lowest record of each key. An old file of that name is replaced once the new one is
// complete. Needs the table exclusively; InputError for a key of another type or length.
void build_ndx(const std::filesystem::path& file, const std::filesystem::path& ndx,
               const std::string& key, bool unique = false, const OpenOptions& options = {});

// What check_ndx found.
struct NdxCheck {
  std::string path{};
  std::string key{};                   // the key expression (empty when the header is unreadable)
  std::vector<std::string> problems{};  // damage: the tree, or items that disagree with records
  std::vector<std::string> notes{};
  bool rebuilt = false;  // repair asked for and done
  bool ok() const { return problems.empty(); }
};

// Checks `ndx` against `file`: its header, its tree (blocks, counts, depths, order, branch keys)
// and every record's key against its items. With `repair` (exclusive use) a file with problems
// is built again from its own key expression; one whose header cannot be read is left as it is
// (a problem says so). The problems are those found before the repair.
NdxCheck check_ndx(const std::filesystem::path& file, const std::filesystem::path& ndx,
                   bool repair = false, const OpenOptions& options = {});

}  // namespace vexel
