#pragma once
// TVxFileDataSet and ZOvEzi, the dataset component placed on forms: opens a table file shared,
// exclusive or read-only, creates it from its DbfFields lines when it is missing, and makes
// every write under the engine's record or append lock, asking a lock-failed event whether to
// try again when another program holds the lock. The production index set-up after opening and
// the memo streams hang off the seams marked below.
//
// DbfFields lines: "name, type, length, decimals" (each part trimmed), e.g. "title, C, 20, 0".
// The name is cut to 10 characters, the type is the first letter of its part, length and
// decimals are decimal numbers. A line of type X is skipped; a line without exactly three
// commas makes the creation fail. Each definition goes through CorrectFieldDefinition.
//
// Locked writes (nothing happens while ReadOnly is set):
//
//   WRITE    LOCK     ENGINE      AFTERWARDS                          EVENT                  WORD
//   append   ALock    Append      visible record, else Unlock         OnALockFailedOnInsert  Insert
//                     (the header's count and end-of-file marker are written before the lock goes)
//   delete   RLock    DeleteRec   visible record, else Unlock         OnRLockFailedOnDelete  Delete
//   restore  RLock    RecallRec   Unlock                              OnRLockFailedOnRestore
//   Restore replace  RLock    REPLACE     visible record, else Unlock         OnRLockFailedOnPost
//   Post
//
// A refused lock calls the event, which may set Retry to try again (without limit); without an
// event the warning "Lock failed [<word>]" is shown and the write is dropped, leaving the table
// unchanged although the dataset has already left edit or insert state. The lock is given up
// by a scope guard, whether the engine's write returns or raises.
//
// Memo edits. A memo written during an edit goes to new blocks and the record on disk keeps
// naming the old ones until the record is written, so the dataset remembers, per memo field,
// the block the record on disk names (stored) and the one the edit wrote (written):
//
//   record written (post, append, ReplaceRec)   the stored memo's blocks are given back
//   write dropped, edit cancelled, table closed  the written memo's blocks are given back, and
//                                                the active record names the stored one again
//   written again in the same edit              the earlier written memo is given back at once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/dataset/cursor_dataset.h"
#include "engine/index/index_build.h"
#include "platform/dataset/strings.h"

namespace vx {

// How the production index is treated when the table opens.
enum TCreateIndexType { ciNotFound, ciAlways, ciVerifyHeader, ciNever };

using TVxLockFailedEvent = std::function<void(TObject* sender, bool& retry)>;
using TAfterMakeIndexEvent = std::function<void(const std::string& index_name)>;
using TBeforeMakeIndexEvent = std::function<void(const std::string& index_name, bool& can_make)>;

// The window shown while ShowProgress is on and an index is built: Step runs 100 times per tag.
// The controls unit makes it a TVxProgress100 (InstallIndexProgressWindow there); without a
// maker no window is shown.
class TIndexProgress {
 public:
  virtual ~TIndexProgress() = default;
  virtual void Step() = 0;
};
using TIndexProgressMaker =
    std::function<std::unique_ptr<TIndexProgress>(const std::string& title)>;
extern TIndexProgressMaker IndexProgressMaker;

// One IndexList pair as a tag definition: the name before the first comma (c), descending when
// the character at c + 1 is "T", unique when the one at c + 3 is, the key expression from
// c + 5; the FOR condition is the second line. False for a line without a comma.
bool ParseIndexListPair(const std::string& line, const std::string& for_line,
                        TagDefinition& definition);

// Parses one DbfFields line; answers false for a line without exactly three commas or with a
// length or decimal count that is not a number.
bool ParseDbfFieldLine(const std::string& line, DbfFieldDefinition& definition);

class TVxFileDataSet : public TVxCDataSet {
 public:
  explicit TVxFileDataSet(TComponent* owner);
  ~TVxFileDataSet() override;

  TCreateIndexType CreateIndex() const { return create_index_; }
  void SetCreateIndex(TCreateIndexType value) { create_index_ = value; }
  bool CreateIfNotFound() const { return create_if_not_found_; }
  void SetCreateIfNotFound(bool value) { create_if_not_found_ = value; }
  // Takes the record count from the file size when the table opens.
  bool AutoFixRecCount() const { return auto_fix_rec_count_; }
  void SetAutoFixRecCount(bool value) { auto_fix_rec_count_ = value; }
  // Index tags, two lines per tag (definition, FOR condition).
  TStrings& IndexList() { return index_list_; }
  void SetIndexList(const TStrings& lines) { index_list_.Assign(lines); }
  bool Exclusive() const { return exclusive_; }
  // Reopens an open dataset in the new mode.
  void SetExclusive(bool value);
  // A table held in memory instead of a file (null and 0: open from disk).
  void* MemoryImage() const { return memory_image_; }
  std::size_t MemoryImageSize() const { return memory_image_size_; }
  void SetMemoryImage(void* image, std::size_t size);

  TAfterMakeIndexEvent OnAfterMakeIndex;
  TBeforeMakeIndexEvent OnBeforeMakeIndex;
  TVxLockFailedEvent OnRLockFailedOnPost;
  TVxLockFailedEvent OnALockFailedOnInsert;
  TVxLockFailedEvent OnRLockFailedOnDelete;
  TVxLockFailedEvent OnRLockFailedOnRestore;

  // Locks the active record (label "RLock") and answers whether the lock was placed.
  bool RLock();
  // Releases the locks of the dataset's work area (label "UnLock").
  void UnLock();

  // False while filtered or while an index order of the engine is active.
  bool IsSequenced() const override;

  // --- Index orders ---
  // Seeks `key` (cut to 100 characters) in the active order and answers the engine's found
  // flag; the dataset follows the engine (to its last record when the seek ran off the end).
  // FindExact pads the key to the key length, so that only a whole key matches.
  bool Find(const std::string& key) { return IndexSeek(key, false, "Find"); }
  bool FindExact(const std::string& key) { return IndexSeek(key, true, "FindExact"); }
  // Find with a key in the bytes the table stores (TableCodePage), for a caller that converts
  // the user's text itself: nothing goes through the ANSI page on the way, so a key of any
  // character the table can hold is found.
  bool FindStored(const std::string& key) { return IndexSeek(key, false, "Find", true); }
  // The code page of the table's stored text, in which its index keys are made: the page its
  // language driver mark names, else the OEM or the ANSI page as TableLanguage says.
  int TableCodePage();
  // While an order is active, searches the key values (as text) in that order: exactly, or as
  // a key prefix with loPartialKey. The key field names are not consulted. Otherwise the
  // record-by-record search.
  bool Locate(const std::string& key_fields, const Variant& key_values,
              TLocateOptions options) override;
  // The tags of the open index (empty without one), the active order (0: natural order) and
  // the choice of it; the dataset stays on its record and re-reads its window in the new order.
  std::vector<std::string> OrderNames();
  int ActiveOrder();
  void SetActiveOrder(int order);
  // Whether another program holds a lock over record `record_no` (a probe that takes nothing;
  // false for exclusive tables and with sharing off).
  bool RecordLockedElsewhere(std::int32_t record_no);

  // A TVxBlobStream on the memo field of the active record; the text is OEM on disk when the
  // table language is tlOem.
  std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;

 protected:
  bool UsesEngine() const override { return !(Designing() && exclusive_); }
  bool OpenTableFile(const std::string& name) override;
  void LockedAppend() override;
  void LockedDelete() override;
  void LockedRestore() override;
  void LockedReplace() override;
  void InternalCancel() override;
  void BeforeCloseTable() override;
  void RecordWritten() override;

  // Creates the table `name` from DbfFields; answers success. Failures are quiet except the
  // warnings for an empty list.
  bool CreateTableFromFields(const std::string& name);
  // Opens the table from MemoryImage(): the engine's in-memory (virtual) table open, which
  // needs a virtual-file manager linked into the engine.
  virtual void UseMemoryImage(const std::string& command);
  // Opens, verifies or builds the production index from IndexList as CreateIndex asks, after
  // the table is open in the selected area; answers true (see file_dataset.cpp).
  virtual bool SetUpIndexes();
  // Builds the production index `index_name` from IndexList (with the progress window when
  // ShowProgress). The build needs the table exclusively: a shared table is reopened deny-all
  // for it and shared again afterwards.
  virtual void MakeProductionIndex(const std::string& index_name);

 private:
  bool IndexSeek(const std::string& key, bool exact, const char* label, bool stored = false);
  enum class LockKind { kAppend, kRecord };
  enum class Release { kResyncOrUnlock, kUnlock };
  // The common form of the locked writes: nothing while ReadOnly; select the area; take the
  // lock, write, give back the memo blocks the written record no longer names, release; on a
  // refused lock ask `event` (or warn) and repeat while it says so. Answers whether the write
  // was made.
  bool LockedWrite(const char* label, LockKind lock, void (*write)(), Release release,
                   const TVxLockFailedEvent& event, const char* word);

  // One memo field changed in the current edit (see the table above).
  struct MemoEdit {
    int field_no = 0;
    std::int32_t stored = 0;
    std::int32_t written = 0;
  };
  enum class MemoOutcome { kRecordWritten, kDropped };
  void MemoWritten(int field_no, std::int32_t previous, std::int32_t written);
  // Gives back the blocks that the outcome leaves unnamed and forgets the edit's memos.
  void SettleMemoEdits(MemoOutcome outcome);

  TCreateIndexType create_index_ = ciNotFound;
  bool create_if_not_found_ = true;
  bool auto_fix_rec_count_ = false;
  TStringList index_list_;
  bool exclusive_ = false;
  void* memory_image_ = nullptr;
  std::size_t memory_image_size_ = 0;
  std::vector<MemoEdit> memo_edits_;
};

// The component placed on forms.
class ZOvEzi : public TVxFileDataSet {
 public:
  using TVxFileDataSet::TVxFileDataSet;
};

}  // namespace vx
