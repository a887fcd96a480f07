#include "engine/workarea/navigation.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"

namespace vx {

namespace {

std::string Quoted(const TableRecord& t) { return "Database \"" + t.file_name + "\""; }

std::string FieldNumberMessage(const char* command, int n) {
  return "Invalid field number. [" + std::string(command) + "(" + std::to_string(n) + ")]";
}

const FieldEntry* CheckedField(const char* command, int n) {
  const std::string name = std::string(command) + "()";
  TableRecord* t = InUse(name);
  if (t == nullptr) return nullptr;
  if (n < 1 || n > t->field_count) {
    SetEngineError(220, FieldNumberMessage(command, n));
    return nullptr;
  }
  return &t->fields[static_cast<std::size_t>(n - 1)];
}

// Positions the areas that a relation of `t` points to.
void BringRelatedAlong(TableRecord& t) {
  if (t.relation == nullptr || RelationSyncProc == nullptr) return;
  bool landed;
  {
    const AreaSelection selection(0);  // the relation moves other areas; this one stays selected
    landed = RelationSyncProc(t);
  }
  if (!landed) SetEngineError(224, "File:  " + t.file_name + " [Relation]");
}

// Reports an error that an inner step recorded quietly.
void ReportPending() {
  if (EngineErrorCode != 0 && RaiseOnError && !LastErrorMessage->empty()) HandleEngineError();
}

// One of the index engine's brackets around a step: the read hold of a positioning, the update
// bracket of an edit, the lock bracket of an append. Open calls the opening hook; the closing
// hook runs when the step calls Close or when the scope ends, however it ends (an error raised
// inside the step included). A bracket that did not open closes nothing. Closing is quiet and
// keeps an error already recorded as the one to report.
class IndexBracket {
 public:
  using EndHook = void (*)(TableRecord&);
  IndexBracket(TableRecord& t, EndHook end) : t_(t), end_(end) {}
  ~IndexBracket() { Close(); }
  IndexBracket(const IndexBracket&) = delete;
  IndexBracket& operator=(const IndexBracket&) = delete;

  // With an opening hook that answers whether it opened.
  bool Open(bool (*begin)(TableRecord&)) {
    open_ = begin == nullptr || begin(t_);
    return open_;
  }
  // With one that tells a failure only through the error state.
  bool Open(void (*begin)(TableRecord&)) {
    if (begin == nullptr) return open_ = true;
    const std::uint16_t before = EngineErrorCode;
    EngineErrorCode = 0;
    begin(t_);
    open_ = EngineErrorCode == 0;
    if (open_) EngineErrorCode = before;
    return open_;
  }
  void Close() {
    if (!open_) return;
    open_ = false;
    if (end_ == nullptr) return;
    CleanupErrors cleanup;
    end_(t_);
  }

 private:
  TableRecord& t_;
  EndHook end_;
  bool open_ = false;
};

// Keeps the before-image of record n for an edit under index maintenance; false after a
// recorded error (nothing was written).
bool KeepEditBeforeImage(TableRecord& t, std::int32_t n, RecordBeforeImage& before) {
  if (!FlushAppends(t)) return false;
  const int io = KeepBeforeImage(t, n, before);
  if (io == 0) return true;
  SetEngineError(static_cast<std::uint16_t>(io), "File:  " + t.file_name + " [KeepBeforeImage]");
  return false;
}

// The keys of an edit that was written could not all be changed (the index engine took back
// what it had changed): the record goes back as it was, and the message says so.
void PutBackAfterFailure(TableRecord& t, const RecordBeforeImage& before) {
  const std::uint16_t code = EngineErrorCode;
  std::string message = LastErrorMessage;
  const int io = PutBackBeforeImage(t, before);
  message += io == 0 ? " (the record was put back as it was)"
                     : " (the record could not be put back: " +
                           ErrorDescription(static_cast<std::uint16_t>(io)) + ")";
  EngineErrorCode = code;
  LastErrorMessage = message;
}

// A compiled condition holds when the first byte of its logical value is not 0.
bool ConditionHolds(const OwnedCondition& condition) {
  if (!ExpressionHooks->present || ExpressionHooks->Evaluate == nullptr) return true;
  const void* value = ExpressionHooks->Evaluate(condition.get());
  return value == nullptr || *static_cast<const unsigned char*>(value) != 0;
}

bool InScope(TableRecord& t) {
  if (t.while_proc != nullptr && !t.while_proc(t.while_context)) return false;
  if (t.while_expr && !ConditionHolds(t.while_expr)) return false;
  return true;
}

// Reads record n into the buffer and the image; answers false on a read error (recorded).
bool ReadRecord(TableRecord& t, std::int32_t n) {
  QuietErrors quiet;
  GetDbfRecord(t, n);
  if (EngineErrorCode != 0) return false;
  GetRecordImage(t);
  return true;
}

void ClearTableRecord(TableRecord& t) {
  if (t.fields.empty()) {
    std::fill(t.record.begin(), t.record.end(), '\0');
  } else {
    std::fill(t.record.begin(), t.record.end(), ' ');
    BlankNewRecordFields(t);
  }
  GetRecordImage(t);
}

void AtEndOfFile(TableRecord& t) {
  t.record_number = t.record_count + 1;
  t.at_end = true;
  ClearTableRecord(t);
}

// The record after n in the walking order, or 0 at the end.
std::int32_t NextOf(TableRecord& t, std::int32_t n, bool indexed) {
  if (indexed) {
    const std::int32_t next = IndexHooks->NextRecord(t);
    return next == n ? 0 : next;
  }
  if (n + 1 > t.record_count) RefreshRecordCount(t);
  return n + 1 > t.record_count ? 0 : n + 1;
}

std::int32_t PriorOf(TableRecord& t, std::int32_t n, bool indexed) {
  if (indexed) {
    const std::int32_t prior = IndexHooks->PriorRecord(t);
    return prior == n ? 0 : prior;
  }
  return n <= 1 ? 0 : n - 1;
}

}  // namespace

char FieldType(int n) {
  const FieldEntry* f = CheckedField("FieldType", n);
  return f == nullptr ? ' ' : f->type;
}

std::uint16_t FieldLen(int n) {
  const FieldEntry* f = CheckedField("FieldLen", n);
  return f == nullptr ? 0 : f->length;
}

std::uint8_t FieldDec(int n) {
  const FieldEntry* f = CheckedField("FieldDec", n);
  return f == nullptr ? 0 : f->decimals;
}

char* FieldAddress(int n) {
  TableRecord* t = InUse("FieldAddress()");
  if (t == nullptr) return nullptr;
  if (n < 0 || n > t->field_count) {
    SetEngineError(220, FieldNumberMessage("FieldAddress", n));
    return nullptr;
  }
  return RecordImage::Of(*t).Slot(n);
}

std::string Field(int n) {
  const FieldEntry* f = CheckedField("Field", n);
  return f == nullptr ? std::string() : f->name;
}

int FieldNo(std::string_view name) {
  TableRecord* t = InUse("FieldNo()");
  if (t == nullptr) return 0;
  std::string wanted(name.substr(0, 10));
  wanted = os::AnsiUpperText(TrimRight(wanted));
  for (std::size_t i = 0; i < t->fields.size(); ++i) {
    if (t->fields[i].name == wanted) return static_cast<int>(i + 1);
  }
  return 0;
}

std::uint8_t FieldCount() {
  TableRecord* t = InUse("FieldCount()");
  return t == nullptr ? 0 : t->field_count;
}

void RefreshRecordCount(TableRecord& t) {
  if (t.exclusive || t.is_virtual || !t.file.IsOpen()) return;
  // Appended records waiting behind belong to the count the file size gives.
  FlushAppends(t);
  t.record_count = RecordsTheFileHolds(t);
}

RecordTally TallyRecords(TableRecord& t) {
  RecordTally tally;
  tally.counted = t.record_count;
  tally.whole = t.record_count;
  std::uint64_t size = 0;
  if (t.is_virtual || !t.file.IsOpen() || t.record_length == 0) return tally;
  FlushAppends(t);
  if (t.file.Size(size) != 0) return tally;
  std::uint32_t on_disk = 0;
  if (ReadHeaderCount(t, on_disk)) tally.counted = std::max<std::int64_t>(tally.counted, on_disk);
  const std::uint64_t header = static_cast<std::uint64_t>(t.header_length);
  const std::uint64_t body = size > header ? size - header : 0;
  tally.whole = static_cast<std::int64_t>(body / t.record_length);
  tally.partial_bytes = body % t.record_length;
  // The end-of-file marker after the last record is no part of one.
  if (tally.partial_bytes == 1 && tally.whole >= tally.counted) tally.partial_bytes = 0;
  return tally;
}

std::int32_t RecordsTheFileHolds(TableRecord& t) {
  std::uint64_t size = 0;
  if (t.is_virtual || !t.file.IsOpen() || t.file.Size(size) != 0) return t.record_count;
  const std::uint64_t header = static_cast<std::uint64_t>(t.header_length);
  const std::uint64_t body = size > header ? size - header : 0;
  std::uint64_t records = body / t.record_length;
  const std::uint64_t tail = body % t.record_length;
  if (records > static_cast<std::uint64_t>(t.record_count) && tail != 0) {
    // Whole records past the count are another program's appends. Bytes that make no whole
    // record (a damaged end, or an append still being written) say nothing about the records
    // before them: then only what a header counts is taken. A single end-of-file marker is
    // the one tail every writer leaves.
    std::array<std::byte, 1> last{};
    std::size_t got = 0;
    const bool marker = tail == 1 && t.file.ReadAt(size - 1, last, got) == 0 && got == 1 &&
                        last[0] == std::byte{static_cast<unsigned char>(kEndOfFileMarker)};
    if (!marker) {
      std::uint32_t counted = 0;
      if (!ReadHeaderCount(t, counted)) counted = 0;
      records = std::max<std::uint64_t>(static_cast<std::uint64_t>(t.record_count),
                                        std::min<std::uint64_t>(counted, records));
    }
  }
  const std::uint64_t limit = t.IsDbase2() ? 0xFFFF : kMaxRecordCount;
  return static_cast<std::int32_t>(std::min(records, limit));
}

std::int32_t RecCount() {
  TableRecord* t = InUse("RecCount");
  if (t == nullptr) return 0;
  RefreshRecordCount(*t);
  return t->record_count;
}

std::int32_t RecNo() {
  TableRecord* t = InUse("RecNo");
  return t == nullptr ? 0 : t->record_number;
}

std::uint16_t RecSize() {
  TableRecord* t = InUse("RecSize");
  return t == nullptr ? 0 : t->record_length;
}

bool dEOF() {
  TableRecord* t = InUse("dEOF");
  if (t == nullptr) return false;
  // Only a position beyond the known count can change the answer after a refresh.
  if (t->record_number > t->record_count) {
    RefreshRecordCount(*t);
    if (t->record_number > t->record_count) t->at_end = true;
  }
  if (IndexActive(*t) && IndexHooks->AtEnd != nullptr) return IndexHooks->AtEnd(*t);
  return t->at_end;
}

bool dBOF() {
  TableRecord* t = InUse("dBOF");
  if (t == nullptr) return false;
  if (IndexActive(*t) && IndexHooks->AtBeginning != nullptr) return IndexHooks->AtBeginning(*t);
  return t->at_beginning;
}

bool IsVisible(TableRecord& t) {
  if (t.skip_deleted) {
    if (t.is_virtual ? (t.image != nullptr && t.image[0] != 0)
                     : (!t.record.empty() && t.record[0] == kDeletedFlag)) {
      return false;
    }
  }
  if (t.filter_proc != nullptr) return t.filter_proc(t.filter_context);
  if (t.filter_expr) return ConditionHolds(t.filter_expr);
  return true;
}

void ClearRecord() {
  TableRecord* t = InUse("ClearRecord");
  if (t != nullptr) ClearTableRecord(*t);
}

void GoEOF() {
  TableRecord* t = SelectedTable();
  if (t == nullptr) return;
  ClearTableRecord(*t);
  t->record_number = t->record_count + 1;
  t->at_end = true;
  t->at_beginning = true;
}

void GoRaw(std::int32_t n) {
  TableRecord* t = SelectedTable();
  if (t == nullptr) return;
  if (n > t->record_count) RefreshRecordCount(*t);
  if (n > t->record_count) {
    AtEndOfFile(*t);
  } else if (n >= 1) {
    t->at_end = false;
    t->at_beginning = false;
    ReadRecord(*t, n);
  } else {
    SetEngineError(212, " [Dbf4RawGo]");
  }
}

void GO(std::int32_t n) {
  TableRecord* t = InUse("GO()");
  if (t == nullptr) return;
  if (n > t->record_count) RefreshRecordCount(*t);
  const auto message = [&] {
    return "Invalid record number = " + std::to_string(n) + " \n" + Quoted(*t) + " [GO]";
  };
  if (t->record_count < 1) {
    t->at_end = true;
    t->at_beginning = true;
    ClearTableRecord(*t);
    SetEngineError(212, message());
    return;
  }
  if (n < 1 || n > t->record_count) {
    AtEndOfFile(*t);
    SetEngineError(212, message());
    return;
  }
  t->at_end = false;
  t->at_beginning = false;
  const bool indexed = IndexActive(*t);
  IndexBracket positioning(*t, IndexHooks->PositioningEnds);
  if (indexed) positioning.Open(IndexHooks->PositioningBegins);
  ReadRecord(*t, n);
  if (indexed) {
    QuietErrors quiet;
    if (IndexHooks->AfterPositioning) IndexHooks->AfterPositioning(*t);
    positioning.Close();
  }
  ReportPending();
  BringRelatedAlong(*t);
}

bool GoIfValid(std::int32_t n) {
  if (n < 1 || n > RecCount()) return false;
  GO(n);
  return true;
}

void GoTop() {
  TableRecord* t = InUse("GoTop");
  if (t == nullptr) return;
  if (t->record_count < 1) RefreshRecordCount(*t);
  if (t->record_count < 1) return;
  const bool indexed = IndexActive(*t);
  std::int32_t n = 1;
  if (indexed) {
    n = IndexHooks->FirstRecord(*t);
    if (n > t->record_count) {
      GoEOF();
      return;
    }
  }
  t->at_end = false;
  t->at_beginning = false;
  if (!ReadRecord(*t, n)) return ReportPending();
  while (!IsVisible(*t)) {
    n = NextOf(*t, n, indexed);
    if (n == 0) {
      AtEndOfFile(*t);
      break;
    }
    if (!ReadRecord(*t, n)) return ReportPending();
  }
  BringRelatedAlong(*t);
}

void GoBottom() {
  TableRecord* t = InUse("GoBottom");
  if (t == nullptr) return;
  RefreshRecordCount(*t);
  if (t->record_count < 1) return;
  const bool indexed = IndexActive(*t);
  std::int32_t n = indexed ? IndexHooks->LastRecord(*t) : t->record_count;
  if (n < 1 || n > t->record_count) {
    GoEOF();
    return;
  }
  t->at_end = false;
  t->at_beginning = false;
  if (!ReadRecord(*t, n)) return ReportPending();
  while (!IsVisible(*t)) {
    n = PriorOf(*t, n, indexed);
    if (n == 0) {
      GoEOF();
      if (indexed) {
        if (IndexHooks->ReachedBof) IndexHooks->ReachedBof(*t);
        if (IndexHooks->ReachedEof) IndexHooks->ReachedEof(*t);
      }
      break;
    }
    if (!ReadRecord(*t, n)) return ReportPending();
  }
  BringRelatedAlong(*t);
}

void SKIP(std::int32_t n) {
  TableRecord* t = InUse("SKIP()");
  if (t == nullptr) return;
  if (SkipProc != nullptr) {
    GoRaw(SkipProc(*t, n));
    return;
  }
  if (n == 0) {
    if (t->record_count >= 1 && !t->at_end && t->record_number >= 1 &&
        t->record_number <= t->record_count) {
      if (!ReadRecord(*t, t->record_number)) return ReportPending();
    } else {
      ClearTableRecord(*t);
    }
    BringRelatedAlong(*t);
    return;
  }
  if (n > 0 && t->at_end) {
    SetEngineError(212, Quoted(*t) + " is past EOF. [SKIP]");
    return;
  }
  if (t->record_count < 1) RefreshRecordCount(*t);
  if (t->record_count < 1) {
    t->at_end = true;
    t->at_beginning = true;
    SetEngineError(212, Quoted(*t) + " is empty. [SKIP]");
    return;
  }
  if (n < 0 && t->at_beginning) return;
  t->at_end = false;
  t->at_beginning = false;
  const bool indexed = IndexActive(*t);
  const bool forward = n > 0;
  std::int32_t remaining = forward ? n : -n;
  std::int32_t current = t->record_number;
  std::int32_t last_good = 0;
  bool reached_end = false;
  bool scope_failed = false;
  while (remaining > 0) {
    const std::int32_t next =
        forward ? NextOf(*t, current, indexed) : PriorOf(*t, current, indexed);
    if (next == 0) {
      reached_end = true;
      break;
    }
    current = next;
    if (!ReadRecord(*t, current)) return ReportPending();
    if (!IsVisible(*t)) continue;
    if (!InScope(*t)) {
      scope_failed = true;
      break;
    }
    last_good = current;
    --remaining;
  }
  if (reached_end) {
    if (forward) {
      AtEndOfFile(*t);
      if (indexed && IndexHooks->ReachedEof) IndexHooks->ReachedEof(*t);
    } else {
      GoTop();
      t->at_beginning = true;
      if (t->at_end) ClearTableRecord(*t);
      if (indexed && IndexHooks->ReachedBof) IndexHooks->ReachedBof(*t);
    }
  } else if (scope_failed) {
    if (forward) {
      t->at_end = true;
    } else if (last_good != 0) {
      ReadRecord(*t, last_good);
      t->at_beginning = true;
    } else {
      t->record_number = t->record_count + 1;
      t->at_beginning = true;
      ClearTableRecord(*t);
    }
  }
  BringRelatedAlong(*t);
}

bool Resync() {
  TableRecord* t = InUse("Resync");
  if (t == nullptr) return false;
  if (InScope(*t) && IsVisible(*t)) return false;
  Unlock();
  const std::int32_t remembered = t->record_number;
  void* relation = t->relation;
  t->relation = nullptr;
  SKIP(1);
  if (t->at_end && remembered >= 1 && remembered <= t->record_count) {
    GO(remembered);
    SKIP(-1);
  }
  t->relation = relation;
  return true;
}

bool SetIgnoreDel(bool flag) {
  TableRecord* t = InUse("SetIgnoreDel");
  if (t == nullptr) return false;
  const bool previous = t->skip_deleted;
  t->skip_deleted = flag;
  SKIP(0);
  return previous;
}

bool IsWhileOn() {
  TableRecord* t = InUse("IsWhileOn");
  return t != nullptr && (t->while_proc != nullptr || t->while_expr);
}

void SetFilterProc(ConditionProc proc, void* context) {
  TableRecord* t = InUse("SetFilter");
  if (t == nullptr) return;
  t->filter_proc = proc;
  t->filter_context = context;
}

void SetWhileProc(ConditionProc proc, void* context) {
  TableRecord* t = InUse("SetWhile");
  if (t == nullptr) return;
  t->while_proc = proc;
  t->while_context = context;
}

// A FoxPro table whose header names a structural .CDX: the index engine keeps it current
// (IndexHookTable::CdxRefusal opens it at the first edit); when it cannot, or no index engine
// is linked in, an edit would leave that index stale for every FoxPro program. Every edit of
// the record file comes this way, whichever door it came in by (the library, vxdbf, the dataset
// components): refused before anything is written, unless the opener accepted a stale index.
std::string EditRefusal(const TableRecord& t) {
  if (t.is_virtual || t.stale_cdx_accepted || !t.HasStructuralCdx()) return {};
  const IndexHookTable& hooks = *IndexHooks;
  if (hooks.present && hooks.CdxRefusal != nullptr) return hooks.CdxRefusal(t);
  return Quoted(t) + " has a structural FoxPro compound index, " +
         DerivedFileName(t.file_name, "CDX") +
         ", which this program does not maintain: nothing was changed (opened ignoring its "
         "index, the table is edited and the index left stale)";
}

namespace {

bool RefusedForCdx(TableRecord& t, const char* label) {
  const std::string refusal = EditRefusal(t);
  if (refusal.empty()) return false;
  SetEngineError(222, refusal + " [" + label + "]");
  return true;
}

}  // namespace

void REPLACE() {
  TableRecord* t = InUse("REPLACE");
  if (t == nullptr || RefusedForCdx(*t, "REPLACE")) return;
  if (t->record_number < 1) {
    SetEngineError(212, Quoted(*t) + " is empty. [REPLACE]");
    return;
  }
  if (t->record_number > t->record_count) {
    SetEngineError(212, Quoted(*t) + " is at EOF. [REPLACE]");
    return;
  }
  if (!HoldsRecordLock(*t, t->record_number)) {
    SetEngineError(
        1200, "Record #" + std::to_string(t->record_number) + " in " + t->file_name + " [REPLACE]");
    return;
  }
  const bool maintain = IndexMaintenance && !t->is_virtual && IndexMaintained(*t);
  IndexBracket update(*t, IndexHooks->UpdateEnds);
  if (maintain) {
    if (t->swap_buffer.size() != t->image_size) {
      SetEngineError(254, t->file_name + " Swap-buffer NIL. [REPLACE]");
      return;
    }
    if (!update.Open(IndexHooks->UpdateBegins)) return ReportPending();
    // The image's changes are measured against the record as read, which the re-read replaces:
    // keep both, so that the fields the caller did not change are still left alone.
    std::memcpy(t->swap_buffer.data(), t->image, t->image_size);
    const std::vector<char> as_read = t->image_as_read;
    const std::vector<std::uint8_t> changed = t->image_changed;
    if (!ReadRecord(*t, t->record_number)) {
      update.Close();
      return ReportPending();
    }
    if (IndexHooks->OldKeys) IndexHooks->OldKeys(*t);
    std::memcpy(t->image, t->swap_buffer.data(), t->image_size);
    t->image_as_read = as_read;
    t->image_changed = changed;
  }
  RecordBeforeImage before;
  {
    QuietErrors quiet;
    if (maintain && !KeepEditBeforeImage(*t, t->record_number, before)) {
      // Nothing written.
    } else if (PutRecordImage(*t)) {
      // The index engine reads the way of every key change before the record is written.
      if (!maintain || IndexHooks->CheckKeys == nullptr || IndexHooks->CheckKeys(*t, false)) {
        PutDbfRecord(*t, t->record_number);
      } else {
        // The buffer holds the record as stored again.
        const std::uint16_t code = EngineErrorCode;
        const std::string message = LastErrorMessage;
        GetDbfRecord(*t, t->record_number);
        EngineErrorCode = code;
        LastErrorMessage = message;
      }
    }
    if (EngineErrorCode == 0) {
      GetRecordImage(*t);
      RefreshPeekCache(*t);
    }
  }
  if (maintain) {
    const std::uint16_t code = EngineErrorCode;
    const std::string message = LastErrorMessage;
    {
      QuietErrors quiet;
      if (code == 0 && IndexHooks->NewKeys) {
        IndexHooks->NewKeys(*t);
        if (EngineErrorCode != 0) {
          PutBackAfterFailure(*t, before);
          RefreshPeekCache(*t);
        }
      }
      update.Close();
    }
    if (code != 0) {
      EngineErrorCode = code;
      LastErrorMessage = message;
    }
  }
  ReportPending();
  BringRelatedAlong(*t);
}

void Append() {
  TableRecord* t = InUse("Append");
  if (t == nullptr || RefusedForCdx(*t, "APPEND")) return;
  const bool locks_apply = !t->exclusive && SharingEnabled && !t->is_virtual;
  if (locks_apply && t->lock_state != kLockFile && t->lock_state != kLockAppend) {
    SetEngineError(5, "File must be locked to append: " + t->file_name + " [APPEND]");
    return;
  }
  // While this area holds the append or file lock no other program can append, so one refresh
  // per lock is enough.
  const bool first_under_lock = !(locks_apply && t->count_fresh_under_lock);
  if (first_under_lock) {
    RefreshRecordCount(*t);
    if (locks_apply) t->count_fresh_under_lock = true;
  }
  // A file cut short before the last record its header counts: the new record would land on a
  // cut one and the count would claim records that are gone. Checked before this open's first
  // append (and under each new lock), when no appended record waits in memory. A header already
  // at the largest count is refused as full by the write itself, whatever the file holds.
  if (!t->is_virtual && t->record_count < kMaxRecordCount &&
      (locks_apply ? first_under_lock : t->state != kStateAppended)) {
    const RecordTally tally = TallyRecords(*t);
    if (tally.Cut()) {
      SetEngineError(213, "File:  " + t->file_name + " holds " + std::to_string(tally.whole) +
                              " whole records, its header counts " + std::to_string(tally.counted) +
                              ": the table was cut short; nothing appended [APPEND]");
      return;
    }
  }
  // A new record has no stored bytes to keep: every field is formatted.
  if (!PutRecordImage(*t, true, "APPEND")) return;
  const bool indexed = IndexMaintained(*t);
  // Nobody else can append or see the new records before the lock is released (or while the
  // table is exclusive): they may wait behind and go to the disk in blocks.
  // Not under an index, unless the keys wait for the batch too: otherwise its keys would name
  // records that a failed late write loses.
  const bool may_wait =
      !t->is_virtual && (!locks_apply || t->lock_state == kLockFile || t->lock_state == kLockAppend);
  t->append_behind = may_wait && !indexed;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    IndexBracket append(*t, IndexHooks->AppendEnds);
    if (indexed) append.Open(IndexHooks->AppendBegins);
    RecordBeforeImage before;
    // The index engine reads the way of every new key before the record is written; when a key
    // cannot go in afterwards (a write error), the record is taken back. Keys that wait for
    // their batch go in when it ends, which takes back all its records when they cannot.
    // Autoincrement fields are numbered first, under the lock, so the keys see their values.
    const bool deferred =
        indexed && IndexHooks->AppendDeferred != nullptr && IndexHooks->AppendDeferred(*t);
    if (deferred) t->append_behind = may_wait;
    if (EngineErrorCode == 0 && AssignAutoincrements(*t) &&
        (!indexed ||
         ((deferred || KeepEditBeforeImage(*t, t->record_count + 1, before)) &&
          (IndexHooks->CheckKeys == nullptr || IndexHooks->CheckKeys(*t, true))))) {
      AppendFromBuffer(*t);
      if (EngineErrorCode == 0) {
        GetRecordImage(*t);
        if (indexed && IndexHooks->AddKeys) {
          IndexHooks->AddKeys(*t);
          if (EngineErrorCode != 0 && !deferred) PutBackAfterFailure(*t, before);
        }
      }
    }
    append.Close();
  }
  t->at_end = false;
  t->at_beginning = false;
  ReportPending();
  BringRelatedAlong(*t);
}

namespace {

// Marks or unmarks the current record of a command's table: the deletion flag in the image, the
// buffer and the file (or the virtual-table manager's operation).
void WriteDeletion(TableRecord& t, bool deleted) {
  if (t.is_virtual) {
    t.virtual_operation = deleted ? kVirtualDelete : kVirtualRecall;
    t.virtual_record_number = t.record_number;
    if (VirtualFileManagerProc != nullptr) VirtualFileManagerProc(t);
    return;
  }
  if (RefusedForCdx(t, deleted ? "DeleteRec" : "RecallRec")) return;
  // A FOR condition may name DELETED(): the indexes learn the change like any other edit.
  const bool maintain = IndexMaintenance && IndexMaintained(t);
  RecordBeforeImage before;
  IndexBracket update(t, IndexHooks->UpdateEnds);
  if (maintain) {
    if (!update.Open(IndexHooks->UpdateBegins)) return;
    if (IndexHooks->OldKeys) IndexHooks->OldKeys(t);
  }
  const char old_image = t.image[0];
  const char old_flag = t.record[0];
  {
    QuietErrors quiet;
    t.image[0] = deleted ? 1 : 0;
    t.record[0] = deleted ? kDeletedFlag : kLiveFlag;
    if (maintain && (!KeepEditBeforeImage(t, t.record_number, before) ||
                     (IndexHooks->CheckKeys != nullptr && !IndexHooks->CheckKeys(t, false)))) {
      // Refused before anything was written.
      t.image[0] = old_image;
      t.record[0] = old_flag;
    } else {
      WriteDeleteFlag(t, t.record_number);
      RefreshPeekCache(t);
      if (maintain && EngineErrorCode == 0 && IndexHooks->NewKeys) {
        IndexHooks->NewKeys(t);
        if (EngineErrorCode != 0) {
          PutBackAfterFailure(t, before);
          t.image[0] = old_image;
          RefreshPeekCache(t);
        }
      }
    }
    update.Close();
  }
  ReportPending();
}

}  // namespace

void DeleteRec() {
  TableRecord* t = InUse("DeleteRec");
  if (t == nullptr) return;
  // An append lock alone holds no record, so it never passes this check.
  if (!HoldsRecordLock(*t, t->record_number)) {
    SetEngineError(1200, t->file_name + " Record not locked [DeleteRec]");
    return;
  }
  if (t->record_number < 1 || t->record_number > t->record_count) return;
  WriteDeletion(*t, true);
}

void RecallRec() {
  TableRecord* t = InUse("RecallRec");
  if (t == nullptr) return;
  if (!HoldsRecordLock(*t, t->record_number)) {
    SetEngineError(1200, "Record not locked [RecallRec]");
    return;
  }
  RefreshRecordCount(*t);
  if (t->record_number < 1 || t->record_number > t->record_count) {
    SetEngineError(1103, t->file_name + " at EOF [RecallRec]");
    return;
  }
  WriteDeletion(*t, false);
}

}  // namespace vx
