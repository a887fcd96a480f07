#pragma once
// Checking a table with its memo file and production index, and repairing the index: the
// table header against the file size (and whole records past the header's count), every memo
// pointer against the memo file, and every tag of the production index against the table (its
// header's fields against its key expression, the tree's shape, pages other tags use, and
// exactly the keys the key maker computes for the records meeting the FOR condition). Repair
// rebuilds the tags that failed from the definitions their headers still give, after keeping
// the old index as NAME.MDX.bak; a tag with no readable definition is dropped and named, and an
// index the reader would refuse is never left behind. Repair also counts records an unfinished
// append left past the header's count.
//
// CheckTable opens the table itself in a free work area (read-only unless `exclusive` or
// `repair`), passes its records as stored, and closes it again; the engine's lock settings
// (retries, waits) apply. Engine errors (a table that cannot be opened) are reported the
// engine's way; everything the check finds is in the report.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/foundation/engine_state.h"
#include "engine/index/index_build.h"

namespace vx {

struct TableCheckOptions {
  bool exclusive = false;
  // Rebuild what failed (the table is opened exclusively).
  bool repair = false;
  // The code page the table's text is in, which key expressions that convert case follow
  // (0: the engine's choice from the table's language driver mark).
  int code_page = 0;
  // Memory for each side of a tag's key comparison (the keys the records give, the keys the
  // tag holds) before it spills to sorted runs in a temporary file beside the index.
  std::uint64_t sort_budget = std::uint64_t{64} << 20;
  // Field names as they appear in the report, from their stored bytes (null: as stored).
  std::function<std::string(const std::string&)> name_text;
};

// One problem: where ("table", "memo file", "index", "record 3, field NOTES", ...) and what,
// with what can be done about it (AdvisedText words the two together).
struct CheckFinding {
  std::string where;
  std::string what;
  std::vector<EngineAdvice> advice{};
};

// One tag's definition and findings.
struct TagCheckReport {
  std::string name;
  TagDefinition definition;
  bool definition_known = false;  // the key and FOR expressions can be read and compile
  std::vector<std::string> problems;
  std::vector<std::string> notes;  // what is not damage but worth knowing
};

// What a repair did.
struct RepairReport {
  std::string backup;                     // the old index kept as (empty: none was needed)
  std::string backup_of;                  // the index kept: a structural .CDX (empty: the .MDX)
  bool backup_failed = false;             // the old index could not be kept: nothing changed
  std::vector<std::string> rebuilt;       // tag names
  std::vector<std::string> not_repaired;  // in words
  std::int32_t counted = 0;               // records the header now counts in addition
  bool sound = false;                     // the table checked again afterwards has no problem
};

// Memo pointer problems: after this many only their number is kept.
inline constexpr std::size_t kMemoProblemsKept = 100;

struct TableCheckReport {
  bool opened = false;              // the table could be opened (else the engine's error says why)
  std::vector<CheckFinding> table;  // the table header, the index file, the memo file
  std::vector<CheckFinding> memos;  // memo pointers (at most kMemoProblemsKept)
  std::size_t memo_problems = 0;
  std::int32_t uncounted = 0;  // whole records past the header's count
  std::vector<TagCheckReport> tags;
  std::vector<CheckFinding> notes;  // about the table's files, not faults
  bool has_index = false;
  std::string index_path;
  // Set when a repair was asked for and something failed.
  std::optional<RepairReport> repair;

  // Whether anything was found (notes are not problems).
  bool Failed() const;
};

TableCheckReport CheckTable(const std::string& path, const TableCheckOptions& options);

// The version byte of an index file (2 for dBASE IV, 3 for dBASE level 7), or -1 when it cannot
// be read.
int IndexFileVersion(const std::string& path);

// A level 7 table's production index in dBASE level 7's own form (version 3, 43-byte tag
// entries), which this engine neither reads nor maintains: "<index> is a dBASE level 7 index
// (version 3), which ...". Empty for every other table (and when the table has no index).
std::string UnsupportedIndex(const TableRecord& table);
// The same for an index file named directly (any table's): its version byte is 3.
std::string UnsupportedIndexFile(const std::string& path);

}  // namespace vx
