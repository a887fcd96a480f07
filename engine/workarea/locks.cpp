#include "engine/workarea/locks.h"

#include <algorithm>
#include <limits>
#include <new>
#include <string>

#include "engine/foundation/errors.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "platform/os/system.h"

namespace vx {

namespace {

// Longest single sleep of a lock wait, so that the user interface gets its messages handled and
// a shut-down is noticed promptly.
constexpr std::uint32_t kPollMs = 10;

// The record lock list holds at most this many entries: the count is a 16-bit field.
constexpr std::size_t kMaxRecordLocks = std::numeric_limits<std::uint16_t>::max();

// The pause between two lock attempts: LockWaitSeconds (or LockWaitMs, for callers that want
// less than a second), polled on the tick count, with the user interface's messages processed
// at least once. Ends early when the program shuts down.
void WaitBeforeNextAttempt() {
  const std::uint32_t wait_ms =
      *LockWaitMs != 0 ? LockWaitMs : std::uint32_t{LockWaitSeconds} * 1000;
  const std::uint32_t start = os::TickCount();
  for (;;) {
    os::ProcessPendingMessages();
    if (ShuttingDown) return;
    // Unsigned difference: correct across the tick count's wrap at 2^32.
    const std::uint32_t elapsed = os::TickCount() - start;
    if (elapsed >= wait_ms) return;
    os::SleepMs(static_cast<int>(std::min(kPollMs, wait_ms - elapsed)));
  }
}

// Reads another program's lock refuses (Windows refuses reads of a range another handle has
// locked: the index anchor at byte 0 and the semaphore bytes lie over data) are tried again:
// first as a lock is, LockRetries times with the lock wait between, then a little longer in
// short pauses, since those locks are held for the moment of an update and a read must not fail
// for them when the settings ask for no waiting at all.
constexpr int kBriefReadTries = 50;
constexpr int kBriefReadPauseMs = 2;

bool WaitForLockedRead(int attempts) {
  if (ShuttingDown) return false;
  if (attempts <= LockRetries) {
    WaitBeforeNextAttempt();
    return !ShuttingDown;
  }
  if (attempts > LockRetries + kBriefReadTries) return false;
  os::SleepMs(kBriefReadPauseMs);
  return true;
}

// Whether the area's locks are placed on the file: exclusive tables, and every table while
// SharingEnabled is false, keep only the bookkeeping.
bool PlacesLocks(const TableRecord& t) { return SharingEnabled && !t.exclusive; }

bool HasRecordLock(const TableRecord& t, std::int32_t n) {
  return std::find(t.record_locks.begin(), t.record_locks.end(), n) != t.record_locks.end();
}

void SetRecordLockCount(TableRecord& t) {
  t.record_lock_count = static_cast<std::uint16_t>(t.record_locks.size());
  if (t.record_locks.empty() && t.lock_state == kLockRecords) t.lock_state = kLockNone;
}

// Releases the record lock at `index` of the list; answers the platform's result.
int ReleaseRecordLockAt(TableRecord& t, std::size_t index) {
  const std::int32_t n = t.record_locks[index];
  const int code = LockRange(true, t.file, RecordLockOffset(t, n), t.record_length);
  t.record_locks.erase(t.record_locks.begin() + static_cast<std::ptrdiff_t>(index));
  SetRecordLockCount(t);
  return code;
}

// UnlockRec on a given table (EngineErrorCode already cleared by the caller).
bool UnlockRecordsOf(TableRecord& t, std::int32_t n) {
  const std::string context = "[UnlockRec(" + std::to_string(n) + ")]";
  // Failures here are results for the caller to test, not reports.
  const auto refuse = [&](const std::string& message) {
    EngineErrorCode = 220;
    LastErrorMessage = message;
    return false;
  };
  if (n == -3) {
    bool all_released = true;
    while (!t.record_locks.empty()) {
      const int code = ReleaseRecordLockAt(t, t.record_locks.size() - 1);
      if (code != 0) {
        all_released = false;
        EngineErrorCode = static_cast<std::uint16_t>(code);
      }
    }
    return all_released;
  }
  std::size_t index = 0;
  if (n >= 1) {
    const auto it = std::find(t.record_locks.begin(), t.record_locks.end(), n);
    if (it == t.record_locks.end()) return refuse("Record not locked. " + context);
    index = static_cast<std::size_t>(it - t.record_locks.begin());
  } else if (n == -1 || n == -2) {
    if (t.record_locks.empty()) return refuse("Record not locked. " + context);
    // The list keeps the oldest lock first and the most recent at the back.
    index = n == -1 ? 0 : t.record_locks.size() - 1;
  } else {
    return refuse(context);
  }
  const int code = ReleaseRecordLockAt(t, index);
  EngineErrorCode = static_cast<std::uint16_t>(code);
  return code == 0;
}

void ForgetLocks(TableRecord& t) {
  t.lock_state = kLockNone;
  t.record_locks.clear();
  t.record_lock_count = 0;
  t.count_fresh_under_lock = false;
}

// Places the platform locks that the table's bookkeeping says it holds, after its file was
// reopened (closing the old open dropped them). A lock that another program took in the
// meantime is dropped from the bookkeeping, so that no edit relies on a lock it does not have.
void PlaceHeldLocks(TableRecord& t) {
  // Between the two opens another program may have appended.
  t.count_fresh_under_lock = false;
  if (!PlacesLocks(t)) return;
  switch (t.lock_state) {
    case kLockFile:
      if (LockRange(false, t.file, std::uint64_t{LockBase} + 1, FileLockLength) != 0) {
        t.lock_state = kLockNone;
      }
      break;
    case kLockAppend:
      if (LockRange(false, t.file, std::uint64_t{LockBase} + 1, 1) != 0) t.lock_state = kLockNone;
      break;
    case kLockRecords:
      std::erase_if(t.record_locks, [&t](std::int32_t n) {
        return LockRange(false, t.file, RecordLockOffset(t, n), t.record_length) != 0;
      });
      SetRecordLockCount(t);
      break;
    default:
      break;
  }
}

bool IsDenyAll(int open_mode) {
  return open_mode == os::kOpenDenyAll || open_mode == os::kOpenReadWriteDenyAll;
}

}  // namespace

int LockRange(bool unlock, os::File& file, std::uint64_t offset, std::uint64_t length) {
  if (!SharingEnabled) return 0;
  return unlock ? file.UnlockRange(offset, length) : file.LockRange(offset, length);
}

void InstallLockedReadWait() { os::SetLockedReadWait(&WaitForLockedRead); }

bool RetryLock(os::File& file, std::uint64_t offset, std::uint64_t length) {
  for (;;) {
    const int attempts = 1 + LockRetries;
    for (int attempt = 0; attempt < attempts; ++attempt) {
      if (attempt > 0) WaitBeforeNextAttempt();
      if (LockRange(false, file, offset, length) == 0) return true;
    }
    if (LockFailedProc == nullptr || !LockFailedProc()) return false;
  }
}

bool LockTableHeader() {
  TableRecord* t = InUse("LockTableHeader");
  if (t == nullptr) return false;
  // A virtual table lives in this program only: there is nobody to keep out.
  if (!SharingEnabled || t->is_virtual) return true;
  return RetryLock(t->file, LockBase, 1);
}

void UnlockTableHeader() {
  TableRecord* t = InUse("UnlockTableHeader");
  if (t == nullptr || t->is_virtual) return;
  const int code = LockRange(true, t->file, LockBase, 1);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error attempting to UNLOCK file " +
                                                         t->file_name + " in Workarea " +
                                                         std::to_string(Selected()));
  }
}

bool ALock() {
  TableRecord* t = InUse("ALock");
  if (t == nullptr) return false;
  if (t->is_virtual) {
    SetEngineError(1100, " [ALock]");
    return false;
  }
  if (t->lock_state == kLockAppend) return true;
  if (t->lock_state != kLockNone) return false;
  if (PlacesLocks(*t) && !RetryLock(t->file, std::uint64_t{LockBase} + 1, 1)) return false;
  t->lock_state = kLockAppend;
  // Other programs may have appended before the lock: Append must look at the file again.
  t->count_fresh_under_lock = false;
  return true;
}

bool RLock() {
  TableRecord* t = InUse("RLock");
  if (t == nullptr) return false;
  if (t->is_virtual) {
    SetEngineError(1100, " [RLock]");
    return false;
  }
  const std::int32_t n = t->record_number;
  // A record the area already holds stays locked whatever the limit: no second entry.
  if (t->lock_state == kLockRecords && HasRecordLock(*t, n)) return true;
  if ((RecordLockLimit != 0 && t->record_locks.size() >= RecordLockLimit) ||
      t->record_locks.size() >= kMaxRecordLocks) {
    SetEngineError(212, "Vexel record lock limit exceeded [RLock]");
    return false;
  }
  if (t->lock_state == kLockFile || t->lock_state == kLockAppend) return false;
  // Without a current record there is nothing to lock; the range of "record 0" lies before
  // record 1's, over the header and append lock bytes wherever records outsize the header.
  if (n < 1) return false;
  const std::uint64_t offset = RecordLockOffset(*t, n);
  if (PlacesLocks(*t) && !RetryLock(t->file, offset, t->record_length)) return false;
  try {
    t->record_locks.push_back(n);
  } catch (const std::bad_alloc&) {
    LockRange(true, t->file, offset, t->record_length);
    SetEngineError(217, "[RLock]");
    return false;
  }
  t->lock_state = kLockRecords;
  SetRecordLockCount(*t);
  return true;
}

bool FLock() {
  TableRecord* t = InUse("FLock");
  if (t == nullptr) return false;
  if (t->is_virtual) {
    SetEngineError(1100, " [FLock]");
    return false;
  }
  if (t->lock_state == kLockFile) return true;
  if (t->lock_state != kLockNone) return false;
  if (PlacesLocks(*t) && !RetryLock(t->file, std::uint64_t{LockBase} + 1, FileLockLength)) {
    return false;
  }
  t->lock_state = kLockFile;
  t->count_fresh_under_lock = false;
  return true;
}

bool IsLocked(std::int32_t n) {
  TableRecord* t = InUse("IsLocked");
  if (t == nullptr) return false;
  if (t->is_virtual) {
    SetEngineError(1100, "[IsLocked]");
    return false;
  }
  if (t->lock_state == kLockFile) return true;
  return HasRecordLock(*t, n);
}

bool HoldsRecordLock(const TableRecord& table, std::int32_t n) {
  return table.exclusive || !SharingEnabled || table.lock_state == kLockFile ||
         HasRecordLock(table, n);
}

bool UnlockRec(std::int32_t n) {
  EngineErrorCode = 0;
  TableRecord* t = InUse("UnlockRec");
  if (t == nullptr) return false;
  return UnlockRecordsOf(*t, n);
}

void Unlock() {
  EngineErrorCode = 0;
  TableRecord* t = InUse("Unlock");
  if (t == nullptr) return;
  UnlockTable(*t);
}

void UnlockTable(TableRecord& table) {
  EngineErrorCode = 0;
  table.count_fresh_under_lock = false;
  // Appended records wait behind only while the lock keeps other programs from the end of the
  // table: they reach the disk before it is released.
  // A failed late write is this unlock's answer; the lock goes all the same (the records it
  // lost are already uncounted), and the failure is reported once it is released.
  std::uint16_t flush_error = 0;
  std::string flush_message;
  if (!table.is_virtual) {
    table.append_behind = false;
    QuietErrors quiet;
    if (!FlushAppends(table)) {
      flush_error = EngineErrorCode;
      flush_message = LastErrorMessage;
    }
  }
  if (!table.is_virtual && table.lock_state != kLockNone) {
    if (table.lock_state == kLockRecords) {
      UnlockRecordsOf(table, -3);
    } else if (PlacesLocks(table)) {
      const std::uint64_t length = table.lock_state == kLockFile ? FileLockLength : 1;
      EngineErrorCode = static_cast<std::uint16_t>(
          LockRange(true, table.file, std::uint64_t{LockBase} + 1, length));
    }
    ForgetLocks(table);
  }
  if (flush_error != 0) SetEngineError(flush_error, flush_message);
}

ScopedLock::ScopedLock(Kind kind) : kind_(kind) {
  table_ = SelectedTable();
  if (table_ == nullptr) {
    InUse(kind_ == Kind::kRecord ? "RLock" : "ALock");  // reports the missing table
    return;
  }
  area_ = Selected();
  record_ = table_->record_number;
  const bool before = kind_ == Kind::kRecord
                          ? table_->lock_state == kLockRecords && HasRecordLock(*table_, record_)
                          : table_->lock_state == kLockAppend;
  held_ = kind_ == Kind::kRecord ? RLock() : ALock();
  taken_ = held_ && !before;
}

ScopedLock::~ScopedLock() {
  if (!taken_) return;
  CleanupErrors cleanup;
  Release();
}

bool ScopedLock::Release() {
  if (!taken_) return true;
  taken_ = false;
  held_ = false;
  // The area may have been closed or given another table, or the operation may have released
  // the lock itself: then nothing is left to give back.
  if (AreaTable(area_) != table_) return true;
  if (kind_ == Kind::kAppend) {
    if (table_->lock_state != kLockAppend) return true;
    UnlockTable(*table_);
    return EngineErrorCode == 0;
  }
  if (!HasRecordLock(*table_, record_)) return true;
  EngineErrorCode = 0;
  return UnlockRecordsOf(*table_, record_);
}

int SetExclusive(bool flag) {
  TableRecord* t = InUse("SetExclusive");
  if (t == nullptr) return 215;
  if (t->is_virtual) {
    SetEngineError(1100, " [SetExclusive]");
    return 1100;
  }
  if (t->exclusive_by_use) return os::kIoAccessDenied;
  EngineErrorCode = 0;
  // Appended records kept behind reach the disk while the table is still in the mode they were
  // written under: once it is shared, another program appends at the end the file shows.
  if (!FlushAppends(*t)) return EngineErrorCode;
  DropReadBlock(*t);

  const int new_mode = flag ? os::kOpenReadWriteDenyAll : UseShareMode;
  const int old_mode = t->file.open_mode();
  const std::string path = t->file.IsOpen() ? t->file.path() : t->file_name;
  const auto fail = [](int code) {
    EngineErrorCode = static_cast<std::uint16_t>(code);
    return code;
  };

  int code = os::kIoOk;
  if (!IsDenyAll(new_mode) && !IsDenyAll(old_mode)) {
    // Two shared opens live side by side: the table keeps its file until the new one is open.
    os::File fresh;
    code = os::File::Open(path, new_mode, fresh);
    if (code != os::kIoOk) return fail(code);
    t->file = std::move(fresh);
  } else {
    // A deny-all open, old or new, conflicts with the other open of this table, so the old one
    // must be closed first. Another open of the file (another program, another work area)
    // would refuse the deny-all open anyway: answer before giving anything up.
    if (IsDenyAll(new_mode) &&
        t->file.RangeLockedElsewhere(os::kShareLockOffset, os::kShareLockLength)) {
      return fail(os::kIoSharingViolation);
    }
    t->file.Close();
    code = os::File::Open(path, new_mode, t->file);
    if (code != os::kIoOk) {
      // Back to the mode the table had, with the locks it held, so that it stays usable.
      if (os::File::Open(path, old_mode, t->file) == os::kIoOk) {
        PlaceHeldLocks(*t);
      } else {
        ForgetLocks(*t);  // the file is closed: no lock is held any more
      }
      return fail(code);
    }
  }
  t->open_mode = new_mode;
  t->exclusive_by_use = false;
  t->exclusive = flag;
  t->read_ahead = flag;  // as USE sets it: blocks of records only where nobody else writes
  PlaceHeldLocks(*t);
  EngineErrorCode = 0;
  return 0;
}

std::uint64_t RecordLockOffset(const TableRecord& table, std::int32_t n) {
  return std::uint64_t{LockBase} + table.RecordOffset(n);
}

}  // namespace vx
