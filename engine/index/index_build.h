#pragma once
// Building multiple-tag indexes: MakeIndex writes a new .MDX from tag definitions, AddIndexTag
// adds (or replaces) one tag of the selected area's index file, Reindex rebuilds every tag of
// the open index from its stored definition.
//
// One tag is built in one pass over the table: the records are read in blocks, each record's
// (key, record number) entry is collected in memory; when the memory budget is used up the
// entries are sorted (quicksort, median of three) and written as a sorted run to a "VXP"
// temporary file, and the runs are merged k ways at the end. The tree is written bottom-up at
// the end of the index file in large sequential writes, and the tag header after it.
//
// Entry: the key (key length bytes) then the record number (4 bytes, little-endian); entries
// compare by the tag's comparator, equal keys by record number. A unique tag keeps the lowest
// record number of each key.
//
// Codes: 221 no index open (Reindex); 225 a shared table (the build needs it exclusively);
// 227 not enough disk space; 254 a key expression of another type than C, D, N or F; 266 a key
// longer than 100; 300 a key expression longer than 220 characters; the expression language's
// code for a key or FOR condition that does not compile (a FOR condition must be logical).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/index_state.h"
#include "engine/table/dbf_file.h"
#include "platform/os/file.h"

namespace vx {

struct TagDefinition {
  std::string name;  // at most 10 characters
  std::string key_expression;
  std::string for_condition;  // empty: none
  bool descending = false;
  bool unique = false;
};

// Memory for one tag's sort entries before they spill to sorted runs (64 MiB).
inline constexpr EngineField<&IndexState::index_build_budget> IndexBuildBudget;
// Percent of a leaf's keys a build fills (1..100; 100 by default), the rest left for later
// inserts; branch nodes are always filled. Other programs read such trees as any other: a node
// says how many keys it holds.
inline constexpr EngineField<&IndexState::index_build_fill> IndexBuildFill;
// Called `steps` times in all during each tag's build (none when the routine is null).
using IndexProgressProc = void (*)(void* context, int step, int steps);
void SetIndexProgress(IndexProgressProc proc, void* context, int steps);

// Writes a new index file for the selected table (no name: its production index, whose flag
// is then set in the table header) with every definition's tag; a tag that fails is reported
// and the others are still built. Answers whether every tag was built. The file is left
// closed; the area's open index is closed first.
bool MakeIndex(const std::vector<TagDefinition>& definitions, std::string_view file_name = {});
// Adds one tag to the selected table's index file (no name: the production index; created
// when missing), replacing a tag of the same name; the index is opened afterwards.
bool AddIndexTag(const TagDefinition& definition, std::string_view file_name = {});
// Rebuilds every tag of the selected area's open index and opens it again on the same tag.
bool Reindex();

// The selected table, held exclusively for a build (a scope): a table shared with other programs
// is reopened deny-all first (error 225 when another program has it open: table() is null after
// the report), and shared again by Release, or by the scope's end when the build leaves early
// (a throw) with its own fault to report.
class ExclusiveBuild {
 public:
  ExclusiveBuild(std::string op, std::string path);
  ~ExclusiveBuild();
  ExclusiveBuild(const ExclusiveBuild&) = delete;
  ExclusiveBuild& operator=(const ExclusiveBuild&) = delete;

  TableRecord* table() const { return table_; }
  // Shares the table again if it was reopened; false after a report (the build's own fault is
  // then the caller's to drop).
  bool Release();

 private:
  std::string op_;
  std::string path_;
  TableRecord* table_ = nullptr;
  bool reopened_ = false;
};

// Puts a new index file made as `temp` (and still open as `file`) in place of `path`: flushed,
// then renamed through its own handle, so that a file planted under the temporary name is
// never what takes the place. False after a report.
bool PutStagedIndex(os::File& file, const std::string& temp, const std::string& path);

// The runs written by the last tag built (for tests of the external sort).
int LastBuildRuns();

}  // namespace vx
