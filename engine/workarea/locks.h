#pragma once
// Locks on shared tables. Programs that share a table coordinate through byte-range locks on
// the table file placed far beyond any real data, so that locks never block ordinary reads and
// writes. Every program sharing these files must use the same ranges:
//
//   LOCK                    OFFSET                                         LENGTH
//   table header lock       LockBase                                       1
//   append lock (ALock)     LockBase + 1                                   1
//   whole-file lock         LockBase + 1                                   FileLockLength
//   record n                LockBase + header length + (n - 1) * rec. len. record length
//
// LockBase is 1073741824 (0x40000000). The platform's sharing emulation uses one byte at 2^62,
// far above all of these.
//
// Lock state of a work area:
//
//   none(0) --ALock--> append(2) --Unlock--> none(0)
//   none(0) --RLock--> records(3) --UnlockRec of the last / Unlock--> none(0)
//   none(0) --FLock--> file(1) --Unlock--> none(0)
//   An area holds one kind at a time: ALock fails while records are locked and RLock while the
//   append or file lock is held. Exclusive tables and SharingEnabled = false place no locks.

#include <cstdint>

#include "engine/table/dbf_file.h"
#include "engine/workarea/workarea_state.h"

namespace vx {

// The current engine's lock settings: LockBase (0x40000000) and FileLockLength (0x3FFFFFFF) as
// in the table above; record locks per area (0 = no limit); extra attempts after a failed lock;
// the pause between attempts in seconds, or in milliseconds when LockWaitMs is not 0; a
// procedure asked after the last attempt (true starts again); ShuttingDown ends lock waits early.
inline constexpr EngineField<&WorkAreaState::lock_base> LockBase;
inline constexpr EngineField<&WorkAreaState::file_lock_length> FileLockLength;
inline constexpr EngineField<&WorkAreaState::record_lock_limit> RecordLockLimit;
inline constexpr EngineField<&WorkAreaState::lock_retries> LockRetries;
inline constexpr EngineField<&WorkAreaState::lock_wait_seconds> LockWaitSeconds;
inline constexpr EngineField<&WorkAreaState::lock_wait_ms> LockWaitMs;
inline constexpr EngineField<&WorkAreaState::lock_failed> LockFailedProc;
inline constexpr EngineField<&WorkAreaState::shutting_down> ShuttingDown;

// Locks or unlocks a range of a file; answers 0 or the platform's code. Does nothing (0) when
// sharing is off.
int LockRange(bool unlock, os::File& file, std::uint64_t offset, std::uint64_t length);
// LockRange with the retries, waits and LockFailedProc; answers whether the lock was placed.
bool RetryLock(os::File& file, std::uint64_t offset, std::uint64_t length);

// Makes the platform try a read again while another program's lock refuses it (Windows), with
// the calling thread's lock retries and waits and then briefly (locks.cpp says how long).
void InstallLockedReadWait();

// The one-byte table header lock of the selected table (with retries); true without locking
// when sharing is off. UnlockTableHeader reports a failure.
bool LockTableHeader();
void UnlockTableHeader();

// The append lock of the selected area. False (nothing recorded) when it cannot be had.
bool ALock();
// The lock of the current record of the selected area.
bool RLock();
// The whole-file lock of the selected area.
bool FLock();
// Whether the selected area holds a lock covering record n.
bool IsLocked(std::int32_t n);
// Whether `table` may write record n without more locks (exclusive, file-locked, or n locked).
bool HoldsRecordLock(const TableRecord& table, std::int32_t n);
// Releases the lock of record n (n >= 1), the oldest (-1), the most recent (-2) or all (-3).
bool UnlockRec(std::int32_t n);
// Releases whatever the selected area holds.
void Unlock();
// The same for a given table (used when closing an area).
void UnlockTable(TableRecord& table);
// Reopens the selected table deny-all (true) or with UseShareMode (false); answers 0 or a code.
int SetExclusive(bool flag);

// The file range of a record lock.
std::uint64_t RecordLockOffset(const TableRecord& table, std::int32_t n);

// A lock of the selected area for one operation: the current record's lock (kRecord) or the
// append lock (kAppend). The constructor asks for it as RLock and ALock do (held() answers
// whether the area holds it now); the end of the scope gives back what the scope took, however
// the operation ends, quietly (Release gives it back at once and reports a failure). A lock the
// area held before the scope began stays held.
class ScopedLock {
 public:
  enum class Kind { kRecord, kAppend };
  explicit ScopedLock(Kind kind);
  ~ScopedLock();
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  bool held() const { return held_; }
  bool Release();

 private:
  Kind kind_;
  int area_ = 0;
  TableRecord* table_ = nullptr;
  std::int32_t record_ = 0;
  bool held_ = false;
  bool taken_ = false;  // granted by this scope, so given back by it
};

}  // namespace vx
