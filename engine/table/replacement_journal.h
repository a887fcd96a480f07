#pragma once
// The journal a replacement of a table's files leaves beside the table (T.VXJ), read and undone:
// every door that opens a table undoes a pending one first, so that no reader sees a new table
// beside an old memo file. Writing a journal and the replacement itself belong to the library's
// maintenance commands (engine/api/ops/file_replacement.h).
//
// The journal is text, one entry a line, tab-separated:
//
//   vxdbf replacement 1                         first line, the mark
//   R  <reservation>                            the VXRxxxxxx.TMP file that reserves the stem
//   <existed 0|1>  <final>  <temp>  <kept>      one line per file of the set
//
// Names are absolute (older journals wrote them as given). Only the last component counts: every
// name is taken in the journal's own folder, and must be the table's stem with any extension
// (T.DBF, T.DBT, T.MDX, ...) or a temporary name (VXR + six letters or digits + "." + extension
// with ".old" for a kept file). A journal naming anything else, an absolute name in another
// folder, a journal that is a link, or one that does not parse is refused and nothing is touched.

#include <string>
#include <vector>

namespace vx {

// The journal beside a table ("films.dbf" -> "films.vxj").
std::string JournalPath(const std::string& table);

// One file of a replacement: its final name, its temporary name, the name the old file makes
// way under, and whether the old set had it.
struct JournalLine {
  bool existed = false;
  std::string final_name, temp, kept;
};

// Puts the old set back from what a journal lists (kept files back to their final names, new
// files that took a name the old set lacked deleted, temporary files deleted); answers false
// when a step failed.
bool UndoJournalLines(const std::vector<JournalLine>& lines);

// What UndoPendingJournal found.
enum class JournalState {
  kNone,     // no journal
  kUndone,   // an interrupted replacement was undone; the old files are back
  kHeld,     // another open holds the journal: a replacement is running now
  kRefused,  // a journal that cannot be trusted or undone; `problem` says why, nothing touched
};
struct JournalOutcome {
  JournalState state = JournalState::kNone;
  std::string problem;
};

// Undoes a replacement of `table` that a killed process left behind.
JournalOutcome UndoPendingJournal(const std::string& table);
// What a check says of a journal it undid.
std::string JournalUndoneNote(const std::string& table);

// The temporary files in the table's folder that no live program holds: VXR (replacements),
// VXI (index builds), VXS (append spools), VXM (memo packs) and VXP (sort runs), six letters or
// digits, an extension (".old" after it for a replaced file kept). Their creators hold them open
// under the sharing lock while they live (a replacement's files through its VXRxxxxxx.TMP), so
// a file nobody holds was left by a killed program.
std::vector<std::string> StrayTemporaryFiles(const std::string& table);

}  // namespace vx
