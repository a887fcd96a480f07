#pragma once
// Shared access to indexes: the semaphore file beside every table that is open in shared mode,
// through which the programs sharing the table count who is logged in, who reads the index and
// who writes it, and through which a writer tells readers that the index changed. Readers take a
// counted "read" hold around every index read; a writer waits until nobody reads, then keeps the
// lock region locked for its whole update and bumps the update counter at its end.
//
// Semaphore file: the table's name with the extension ".@S@" (in SemaphoreDirectory when set),
// one 4-byte record:
//
//   OFFSET SIZE MEANING
//   0      1    programs logged in (LOGIN minus LOGOUT)
//   1      1    access count: programs holding a read (at most 127), or 1 while a writer holds
//   2      2    update counter, +1 (mod 65536) at the end of every write
//
// Lock region: bytes 1..4 (offset 1, length 4), a byte-range lock. Reader byte: offset 8, a
// shared lock each counted reader holds while its count stands. The counts are hints, the locks
// the truth: a writer that finds an access count no lock stands behind (a program ended while
// it read or wrote) clears it with a warning and goes on, and a login that finds no other open
// of the file starts the login count afresh.
//
// Per work area:
//
//   no state --LOGIN--> logged in --INCREAD..DECREAD, LOCKSEMAPHORE..UNLOCKSEMAPHORE--> ...
//            <--LOGOUT-- (the last program out deletes the file)
//
// Invariants: the lock region is held only inside LOCKSEMAPHORE..UNLOCKSEMAPHORE or for the
// moment an action reads and writes the record; a read hold is counted once however deeply the
// read brackets nest. Exclusive tables, and every table while SharingEnabled is off, have no
// state: every action returns at once.
//
// On POSIX byte-range locks do not stop reads, so "the record cannot be read while another
// writer holds the lock region" is tested explicitly with a lock probe.

#include <cstdint>
#include <string>

#include "engine/index/index_state.h"

namespace vx {

enum class SemaphoreAction : int {
  kLogin = 0,
  kLogout = 1,
  kIncRead = 2,
  kDecRead = 3,
  kLockSemaphore = 4,
  kUnlockSemaphore = 5,
};

// Seconds a writer waits for readers and other writers before it gives up with the stale-lock
// message; 0 waits without limit.
inline constexpr EngineField<&IndexState::semaphore_wait_seconds> SemaphoreWaitSeconds;
// Directory for semaphore files; empty: beside the table.
inline constexpr EngineField<&IndexState::semaphore_directory> SemaphoreDirectory;

// The semaphore file name of a table file.
std::string SemaphoreFileName(const std::string& table_file);

// Performs an action for work area `area` (1..34). Answers false after a reported failure (and
// for LOGIN when the state could not be made).
bool HandleSemaphore(SemaphoreAction action, int area);
// Whether the area has semaphore state (it logged in on a shared table).
bool SemaphoreActive(int area);
// Check for changes: whether another program finished a write since this one last looked; the
// new counter is remembered, so the next call answers false until the next write.
bool SemaphoreChanged(int area);
// The record as this program last read it (for tests and diagnostics).
std::uint32_t SemaphoreRecord(int area);

// The brackets, on the selected work area: the outermost on performs INCREAD (LOCKSEMAPHORE),
// the matching outermost off DECREAD (UNLOCKSEMAPHORE). An off without its on is error 254. An
// on that fails (1202 when the region or the readers' count cannot be had) is reported and
// leaves the bracket as it was: nothing to close, and the next on tries again.
void SetReadSemaphoreProc(bool on);
void SetLockSemaphoreProc(bool on);
// The same on a given area; answers false after a reported failure.
bool ReadBracket(int area, bool on);
bool LockBracket(int area, bool on);

// A read hold or update bracket of an area for one scope. The constructor opens it (a failure
// is reported as the bracket procedures report it, and then nothing is held); the destructor
// closes what was opened, however the scope ends, quietly and keeping an error the scope
// recorded as the one to report. Close closes at once and reports a failure.
class SemaphoreBracket {
 public:
  enum class Kind { kRead, kUpdate };
  SemaphoreBracket(Kind kind, int area);
  ~SemaphoreBracket();
  SemaphoreBracket(const SemaphoreBracket&) = delete;
  SemaphoreBracket& operator=(const SemaphoreBracket&) = delete;

  bool held() const { return held_; }
  bool Close();
  // Leaves the bracket open past the scope, for a caller whose matching close comes later.
  void Release() { held_ = false; }

 private:
  Kind kind_;
  int area_;
  bool held_ = false;
};

// Frees every area's state without touching files (start-up).
void ResetSemaphores();

}  // namespace vx
