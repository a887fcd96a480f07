#pragma once
// Replacing a table's files as one: the commands that rewrite a table (pack, zap, alter) and
// those that write a new one (copy) build the new files beside the old under temporary names,
// write them to the disk, and only then put them in place. A journal beside the table lists
// every name involved, so that a process killed half way through is undone by the next vxdbf
// command that replaces or edits the table: the old files come back, the new ones go.
//
//   build:   NAME.VXJ (journal) written first; VXRxxxxxx.DBF/.DBT/.MDX written and fsync'd
//   replace: each old file renamed to its kept name (VXRxxxxxx.DBF.old), each new one to its
//            final name; the directory fsync'd
//   commit:  the journal deleted (from here the new files stand); then the kept files become
//            NAME.DBF.bak and friends with --backup, else are deleted
//
// Undoing a journal: every kept file goes back to its final name, every temporary or new file
// that took a name the old set did not have is deleted, then the journal (the format and the
// names a journal may hold: engine/table/replacement_journal.h).

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "engine/api/ops/operation.h"
#include "engine/table/replacement_journal.h"
#include "platform/os/file.h"

namespace vx::ops {

using vx::JournalPath;

// Stages a replacement passes, for tests that stop the process at each one.
enum class ReplaceStage { kJournaled, kCopying, kIndexing, kWritten, kRenaming, kCommitted };
// Called at each stage (null: nothing). Tests set it in a child process that kills itself.
extern void (*ReplaceStageHook)(ReplaceStage stage);
inline void ReachStage(ReplaceStage stage) {
  if (ReplaceStageHook != nullptr) ReplaceStageHook(stage);
}

// Refuses with LockRefused (exit status 3) when another program has one of the files open; the
// files that do not exist are skipped. `command` names what needs them ("pack").
void ClaimExclusive(const std::vector<std::string>& paths, const std::string& command);

// Undoes a replacement of `table` that a killed process left behind (replacement_journal.h).
// Answers whether there was one. A journal that cannot be trusted or undone is left alone and
// reported (InputError); one that another program holds (it is rewriting the table now) is refused
// (LockRefused).
bool RecoverReplacement(const std::string& table);

// Temporary files: every one is created exclusively (no existing name, no link followed) with
// the mode, owner and group of the file it replaces, and only the file made here is ever renamed
// into place (checked by device and inode just before the rename). The reservation VXRxxxxxx.TMP
// stays open for the replacement's life: its sharing lock tells a live replacement's files from
// those a killed one left.
class FileReplacement {
 public:
  // `finals`: the files the new set replaces or creates, the table first (memo file and index
  // after it, with the table's extension case). Undoes an earlier interrupted replacement of the
  // table first, then writes the journal. Warnings (a mode or owner that could not be kept) go
  // to `options`.
  FileReplacement(const std::string& table, std::vector<std::string> finals,
                  vexel::OpenOptions options = {});
  // Without Commit: deletes the temporary files and the journal; the old files never changed.
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // The temporary name of finals[i] (same directory, same extension).
  const std::string& Temp(std::size_t i) const { return entries_.at(i).temp; }
  const std::string& Final(std::size_t i) const { return entries_.at(i).final_name; }
  // Marks finals[i] to go without a successor (a memo file or index the new table no longer
  // has): Replace moves it to its kept name like the files that are replaced.
  void Remove(std::size_t i) { entries_.at(i).remove = true; }

  // Creates the temporary file of finals[i] (throws DataError when its name is taken) and
  // answers it open, with the old file's mode and owner (else the table's).
  os::File CreateTemp(std::size_t i);
  // Takes `file`, open, as the temporary file of finals[i] made by someone else (the index the
  // engine builds under the temporary name), and gives it the old file's mode and owner.
  void Adopt(std::size_t i, os::File& file);

  // Writes every temporary file that exists to the disk and puts it in place of its final
  // name; a final whose temporary file was not made is left as it is. After this the journal
  // is gone and the new files stand. A failure undoes what was done and throws.
  void Replace();
  // After Replace, once the caller closed the old files: keeps them as FINAL.bak (`backup`) or
  // deletes them. Answers the names of the backups.
  std::vector<std::string> Finish(bool backup);

 private:
  struct Entry {
    std::string final_name;
    std::string temp;
    std::string kept;      // the old file after it made way
    std::string identity;  // device and inode of the temporary file made (empty: none made)
    bool existed = false;
    bool replaced = false;
    bool remove = false;
  };
  void WriteJournal();
  void KeepModeAndOwner(const Entry& e, os::File& file);

  std::string table_;
  std::string journal_;
  vexel::OpenOptions options_;
  std::string reservation_;  // the unique file that reserves the temporary stem
  os::File reservation_file_;
  // The journal, held open for exclusive use while this replacement lives: another program
  // that finds it held leaves it alone (only a journal nobody holds is undone).
  os::File journal_file_;
  std::vector<Entry> entries_;
  bool committed_ = false;
};

}  // namespace vx::ops
