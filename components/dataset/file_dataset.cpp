#include "components/dataset/file_dataset.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "components/dataset/blob_stream.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/setting_scope.h"
#include "engine/foundation/settings.h"
#include "engine/index/index_build.h"
#include "engine/index/orders.h"
#include "engine/index/semaphore.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_records.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/sys_utils.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx {

namespace {

constexpr std::size_t kMaxFields = 255;

// Releases the work area's locks when a locked write is over, unless the engine already did.
class RecordLockGuard {
 public:
  RecordLockGuard() = default;
  ~RecordLockGuard() {
    if (!armed_) return;
    QuietErrors quiet;
    Unlock();
  }
  RecordLockGuard(const RecordLockGuard&) = delete;
  RecordLockGuard& operator=(const RecordLockGuard&) = delete;
  // The engine moved off the record and released its locks itself.
  void Dismiss() { armed_ = false; }
  // Releases now, reporting a failure as any Unlock does.
  void Release() {
    armed_ = false;
    Unlock();
  }

 private:
  bool armed_ = true;
};

// Gives a memo's blocks back. A failure (the memo file lock refused, say) only leaves them
// unused until packmemo, so it is not the failure of the post or cancel that called.
void GiveBack(TableRecord& table, std::int32_t block) {
  const std::uint16_t code = EngineErrorCode;
  {
    QuietErrors quiet;
    ReleaseMemo(table, block);
  }
  EngineErrorCode = code;
}

void AppendImage() { ::vx::Append(); }
void ReplaceImage() { REPLACE(); }

}  // namespace

bool ParseDbfFieldLine(const std::string& line, DbfFieldDefinition& definition) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = line.find(',', start);
    parts.push_back(Trim(line.substr(start, comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() != 4) return false;
  int length = 0;
  int decimals = 0;
  if (!TryStrToInt(parts[2], length) || !TryStrToInt(parts[3], decimals)) return false;
  if (length < 0 || decimals < 0 || decimals > 255) return false;
  definition.name = parts[0].substr(0, 10);
  definition.type = parts[1].empty() ? ' ' : UpperCase(parts[1].substr(0, 1))[0];
  definition.length = length;
  definition.decimals = decimals;
  return true;
}

TVxFileDataSet::TVxFileDataSet(TComponent* owner) : TVxCDataSet(owner) {}

TVxFileDataSet::~TVxFileDataSet() {
  // Closed here, while the file dataset's own operations can still be reached.
  Destroying();
  try {
    Close();
  } catch (...) {
    InternalHandleException();
  }
}

void TVxFileDataSet::SetExclusive(bool value) {
  if (exclusive_ == value) return;
  exclusive_ = value;
  if (Active()) {
    Close();
    Open();
  }
}

void TVxFileDataSet::SetMemoryImage(void* image, std::size_t size) {
  memory_image_ = image;
  memory_image_size_ = image != nullptr ? size : 0;
}

bool TVxFileDataSet::IsSequenced() const {
  if (Filtered()) return false;
  if (!Active() || WorkArea() == 0) return true;
  const_cast<TVxFileDataSet*>(this)->SelectArea("IsSequenced");
  // An open index in natural order leaves the records in sequence.
  return CurrentOrder() == 0;
}

// --- Opening ---------------------------------------------------------------------------------

bool TVxFileDataSet::OpenTableFile(const std::string& name) {
  if (create_if_not_found_ && !FileExists(name) && !CreateTableFromFields(name)) {
    ShowWarning(Format("Could not create \"%s\"", {DbfFileName()}));
  }
  std::string command = name;
  if (exclusive_) command += " EXCLUSIVE";
  const std::string alias = Trim(Name());
  if (!alias.empty()) command += " ALIAS " + alias;

  SettingScope count_scope(CountFromFileSize, auto_fix_rec_count_);
  // Read-only opens: shared read-only, or read-only deny-all when exclusive (the platform's
  // read-only exclusive mode; there is no DOS compatibility mode on POSIX).
  const std::uint16_t mode =
      !ReadOnly()
          ? OpenModeOverride
          : static_cast<std::uint16_t>(exclusive_ ? os::kOpenDenyAll : os::kOpenReadOnlyDenyNone);
  SettingScope mode_scope(OpenModeOverride, mode);
  if (memory_image_ != nullptr) {
    UseMemoryImage(command);
  } else {
    Use(command);
  }
  if (EngineErrorCode != 0) return false;
  const TableRecord* table = SelectedTable();
  if (!ReadOnly() && table != nullptr && ProductionIndexUnmaintained(*table)) {
    ShowWarning(
        Format("\"%s\" has a production index that is not kept up to date here: edits "
               "will leave it stale until it is rebuilt",
               {DbfFileName()}));
  }
  return SetUpIndexes();
}

void TVxFileDataSet::UseMemoryImage(const std::string& command) {
  Use(command + " VIRTUAL FILE", memory_image_,
      static_cast<std::uint16_t>(std::min<std::size_t>(memory_image_size_, 65535)));
}

namespace {

// The tag list's lines for IndexList lines: "NAME,D,U,KEY" and the FOR condition, upper-cased
// for a comparison that ignores case.
std::vector<std::string> UpperLines(const std::vector<std::string>& lines) {
  std::vector<std::string> upper;
  for (const std::string& line : lines) upper.push_back(UpperCase(Trim(line)));
  return upper;
}

// `name` with its extension (after the last dot of the file part) replaced by `extension`.
std::string WithExtension(const std::string& name, const std::string& extension) {
  const std::size_t slash = name.find_last_of('/');
  const std::size_t dot = name.find_last_of('.');
  const bool has_dot = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_dot ? name.substr(0, dot) : name) + extension;
}

}  // namespace

bool TVxFileDataSet::SetUpIndexes() {
  if (Designing()) return true;
  TCreateIndexType mode = create_index_;
  const int pairs = std::min(index_list_.Count() / 2, 255);
  if (pairs >= 1) {
    SetProductionIndexFlag(true);
  } else {
    if (!HasProductionIndex()) return true;
    mode = ciNever;
  }
  const std::string index_name = WithExtension(DbfFileName(), ".MDX");
  if (mode == ciNever) {
    OpenProductionIndex();
    return true;
  }
  QuietErrors quiet;
  if (!FileExists(index_name)) {
    mode = ciAlways;
  } else if (mode == ciAlways || mode == ciVerifyHeader) {
    // Another program building the index today keeps its semaphore file; one of another day
    // is left over from a program that ended without cleaning up.
    const std::string semaphore = SemaphoreFileName(DbfFileName());
    if (FileExists(semaphore)) {
      if (FileDateIsToday(semaphore)) {
        mode = ciNotFound;
      } else {
        EraseFile(semaphore);
      }
    }
    EngineErrorCode = 0;
  }
  if (mode == ciVerifyHeader) {
    std::vector<std::string> tags;
    TagList(tags, DbfFileName());
    std::vector<std::string> wanted;
    for (int i = 0; i < pairs * 2; ++i) wanted.push_back(index_list_[i]);
    mode = UpperLines(tags) == UpperLines(wanted) ? ciNotFound : ciAlways;
    EngineErrorCode = 0;
  }
  if (mode == ciNotFound) {
    SetIndexTo(index_name);
    const std::uint16_t code = EngineErrorCode;
    if (code == 2 || code == 222 || code == 223) {
      EngineErrorCode = 0;
      mode = ciAlways;
    }
  }
  if (mode == ciAlways) {
    bool can_make = true;
    if (OnBeforeMakeIndex) OnBeforeMakeIndex(index_name, can_make);
    if (!can_make) {
      SetProductionIndexFlag(false);
      return true;
    }
    MakeProductionIndex(index_name);
    if (OnAfterMakeIndex) OnAfterMakeIndex(index_name);
    if (EngineErrorCode == 0) SetIndexTo(index_name);
  }
  return true;
}

TIndexProgressMaker IndexProgressMaker;

bool ParseIndexListPair(const std::string& line, const std::string& for_line,
                        TagDefinition& definition) {
  const std::size_t comma = line.find(',');
  if (comma == std::string::npos) return false;
  const auto flag = [&](std::size_t at) { return at < line.size() && line[at] == 'T'; };
  definition.name = Trim(line.substr(0, comma)).substr(0, 10);
  definition.descending = flag(comma + 1);
  definition.unique = flag(comma + 3);
  definition.key_expression =
      comma + 5 < line.size() ? Trim(line.substr(comma + 5)).substr(0, 220) : std::string();
  definition.for_condition = Trim(for_line).substr(0, 220);
  return true;
}

void TVxFileDataSet::MakeProductionIndex(const std::string& index_name) {
  std::vector<TagDefinition> definitions;
  const int pairs = std::min(index_list_.Count() / 2, 255);
  for (int i = 0; i < pairs; ++i) {
    TagDefinition definition;
    if (ParseIndexListPair(index_list_[2 * i], index_list_[2 * i + 1], definition))
      definitions.push_back(std::move(definition));
  }
  std::unique_ptr<TIndexProgress> window;
  if (ShowProgress() && IndexProgressMaker)
    window = IndexProgressMaker("Indexing " + index_name + "...");
  struct ProgressScope {
    explicit ProgressScope(TIndexProgress* window) {
      if (window == nullptr) return;
      SetIndexProgress(
          [](void* context, int, int) { static_cast<TIndexProgress*>(context)->Step(); }, window,
          100);
    }
    ~ProgressScope() { SetIndexProgress(nullptr, nullptr, 0); }
  } progress(window.get());
  // Building needs the table to itself; another program holding it open makes the reopen fail
  // and the build is skipped with that error.
  TableRecord* table = SelectedTable();
  const bool shared = table != nullptr && !table->exclusive && SharingEnabled;
  if (shared && ::vx::SetExclusive(true) != 0) return;
  MakeIndex(definitions, index_name);
  if (shared) {
    const std::uint16_t code = EngineErrorCode;
    const std::string message = LastErrorMessage;
    ::vx::SetExclusive(false);
    if (code != 0) SetEngineError(code, message);
  }
}

bool TVxFileDataSet::IndexSeek(const std::string& key, bool exact, const char* label, bool stored) {
  SelectArea(label);
  const bool padding = KeyPadding;
  if (exact) KeyPadding = true;
  bool found = false;
  try {
    found = stored ? ::vx::FindStored(key.substr(0, 100)) : ::vx::Find(key.substr(0, 100));
  } catch (...) {
    KeyPadding = padding;
    throw;
  }
  KeyPadding = padding;
  SeekCompletion();
  IndexFound = found;
  return found;
}

int TVxFileDataSet::TableCodePage() {
  SelectArea("TableCodePage");
  const TableRecord* table = SelectedTable();
  return table == nullptr ? os::OemCodePage() : ::vx::TableCodePage(*table);
}

bool TVxFileDataSet::Locate(const std::string& key_fields, const Variant& key_values,
                            TLocateOptions options) {
  if (!Active() || WorkArea() == 0 || IsSequenced()) {
    return TVxCDataSet::Locate(key_fields, key_values, options);
  }
  CheckBrowseMode();
  const std::string key = key_values.IsNull() ? std::string() : key_values.AsString();
  return IndexSeek(key, !options.Contains(loPartialKey), "Locate");
}

std::vector<std::string> TVxFileDataSet::OrderNames() {
  std::vector<std::string> names;
  if (!Active() || WorkArea() == 0) return names;
  SelectArea("OrderNames");
  for (int n = 1; n <= OrderCount(); ++n) names.push_back(OrderTagName(n));
  return names;
}

int TVxFileDataSet::ActiveOrder() {
  if (!Active() || WorkArea() == 0) return 0;
  SelectArea("ActiveOrder");
  return CurrentOrder();
}

void TVxFileDataSet::SetActiveOrder(int order) {
  CheckBrowseMode();
  SelectArea("SetOrder");
  SynchroniseEngine();
  Set_Order_To(order);
  ResyncAfterEngineMove();
}

bool TVxFileDataSet::RecordLockedElsewhere(std::int32_t record_no) {
  if (!Active() || WorkArea() == 0 || record_no < 1) return false;
  SelectArea("RecordLockedElsewhere");
  TableRecord* table = SelectedTable();
  if (table == nullptr || table->exclusive || !SharingEnabled || table->record_length == 0)
    return false;
  return table->file.RangeLockedElsewhere(RecordLockOffset(*table, record_no),
                                          table->record_length);
}

bool TVxFileDataSet::CreateTableFromFields(const std::string& name) {
  if (DbfFields().Count() <= 0) {
    ShowWarning("FieldList.Count is <= 0 trying to create a database");
    return false;
  }
  std::vector<FieldEntry> entries;
  for (int i = 0; i < DbfFields().Count(); ++i) {
    DbfFieldDefinition definition;
    if (!ParseDbfFieldLine(DbfFields()[i], definition)) return false;
    if (definition.type == 'X') continue;
    CorrectFieldDefinition(Name(), definition);
    if (entries.size() == kMaxFields || definition.length > 65535) return false;
    FieldEntry entry;
    entry.name = definition.name;
    entry.type = definition.type;
    entry.length = static_cast<std::uint16_t>(definition.length);
    entry.decimals = static_cast<std::uint8_t>(definition.decimals);
    entries.push_back(entry);
  }
  QuietErrors quiet;
  EngineErrorCode = 0;
  TableRecord table;
  CreateDBF(table, name, entries);
  return EngineErrorCode == 0;
}

// --- Locks and writes ------------------------------------------------------------------------

bool TVxFileDataSet::RLock() {
  if (!EngineFollowsCursor()) UpdateCursorPos();
  SelectArea("RLock");
  return ::vx::RLock();
}

void TVxFileDataSet::UnLock() {
  SelectArea("UnLock");
  Unlock();
}

bool TVxFileDataSet::LockedWrite(const char* label, LockKind lock, void (*write)(), Release release,
                                 const TVxLockFailedEvent& event, const char* word) {
  if (!CanModify()) return false;
  SelectArea(label);
  bool retry = false;
  do {
    retry = false;
    const bool locked = lock == LockKind::kAppend ? ALock() : ::vx::RLock();
    if (locked) {
      // Held until the write is over, whether it returns or raises; a failure is reported by
      // its exception and must not leave the lock behind.
      RecordLockGuard guard;
      write();
      // Still under the lock: a reader that holds the record's lock while it reads the record
      // and its memo never meets the old memo's blocks given back. Deleting or recalling
      // leaves the record naming its memo.
      if (write == &AppendImage || write == &ReplaceImage) {
        SettleMemoEdits(MemoOutcome::kRecordWritten);
      }
      // An appended record is counted in the header (and the end-of-file marker follows it)
      // before the append lock goes: other programs take the count from the header, and a
      // program killed later must not leave the record uncounted.
      if (write == &AppendImage && SelectedTable() != nullptr) CommitDbf(*SelectedTable());
      if (release == Release::kResyncOrUnlock && ::vx::Resync()) {
        guard.Dismiss();
      } else {
        guard.Release();
      }
      return true;
    }
    if (event) {
      event(this, retry);
      SelectArea(label);  // the handler may have used other areas
    } else {
      ShowWarning(Format("Lock failed [%s]", {word}));
    }
  } while (retry);
  return false;
}

void TVxFileDataSet::LockedAppend() {
  if (!LockedWrite("s_AppendWithLock", LockKind::kAppend, &AppendImage, Release::kResyncOrUnlock,
                   OnALockFailedOnInsert, "Insert")) {
    SettleMemoEdits(MemoOutcome::kDropped);
  }
}

void TVxFileDataSet::LockedDelete() {
  // Deleting in the middle of an edit drops the edit's memos; the record keeps its own.
  SettleMemoEdits(MemoOutcome::kDropped);
  LockedWrite("s_DeleteWithLock", LockKind::kRecord, &DeleteRec, Release::kResyncOrUnlock,
              OnRLockFailedOnDelete, "Delete");
}

void TVxFileDataSet::LockedRestore() {
  LockedWrite("s_RestoreWithLock", LockKind::kRecord, &RecallRec, Release::kUnlock,
              OnRLockFailedOnRestore, "Restore");
}

void TVxFileDataSet::LockedReplace() {
  if (!LockedWrite("s_ReplaceWithLock", LockKind::kRecord, &ReplaceImage, Release::kResyncOrUnlock,
                   OnRLockFailedOnPost, "Post")) {
    SettleMemoEdits(MemoOutcome::kDropped);
  }
}

// --- Memo edits ------------------------------------------------------------------------------

void TVxFileDataSet::MemoWritten(int field_no, std::int32_t previous, std::int32_t written) {
  auto edit = std::find_if(memo_edits_.begin(), memo_edits_.end(),
                           [&](const MemoEdit& e) { return e.field_no == field_no; });
  if (edit == memo_edits_.end()) {
    memo_edits_.push_back({field_no, previous, written});
    return;
  }
  // The memo written earlier in this edit is named by no record, on disk or in the buffer.
  const std::int32_t earlier = edit->written;
  edit->written = written;
  if (earlier != 0 && earlier != edit->stored && earlier != written) {
    SelectArea("DestroyBlobStream");
    GiveBack(*SelectedTable(), earlier);
  }
}

void TVxFileDataSet::SettleMemoEdits(MemoOutcome outcome) {
  if (memo_edits_.empty()) return;
  const std::vector<MemoEdit> edits = std::move(memo_edits_);
  memo_edits_.clear();
  // Also reached while the table closes, when the dataset is no longer active.
  if (WorkArea() == 0 || !UsesEngine()) return;
  SelectArea("SettleMemoEdits");
  TableRecord* table = SelectedTable();
  if (table == nullptr) return;
  for (const MemoEdit& edit : edits) {
    const bool written = outcome == MemoOutcome::kRecordWritten;
    const std::int32_t unnamed = written ? edit.stored : edit.written;
    if (unnamed != 0 && edit.stored != edit.written) GiveBack(*table, unnamed);
    // A dropped write leaves the buffer naming the record's own memo, never freed blocks.
    if (!written && Active() && ActiveBuffer() != nullptr) {
      std::memcpy(FieldSlot(ActiveBuffer(), edit.field_no), &edit.stored, 4);
    }
  }
}

void TVxFileDataSet::InternalCancel() {
  SettleMemoEdits(MemoOutcome::kDropped);
  TVxCDataSet::InternalCancel();
}

void TVxFileDataSet::BeforeCloseTable() {
  SettleMemoEdits(MemoOutcome::kDropped);
  TVxCDataSet::BeforeCloseTable();
}

void TVxFileDataSet::RecordWritten() { SettleMemoEdits(MemoOutcome::kRecordWritten); }

std::unique_ptr<TStream> TVxFileDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  auto* blob = dynamic_cast<TBlobField*>(field);
  if (blob == nullptr) return TVxCDataSet::CreateBlobStream(field, mode);
  return std::make_unique<TVxBlobStream>(
      *this, *blob, mode, TableLanguage() == tlOem,
      [this](int field_no, std::int32_t previous, std::int32_t written) {
        MemoWritten(field_no, previous, written);
      });
}

}  // namespace vx
