#include "engine/index/semaphore.h"

#include <array>
#include <cstring>
#include <memory>

#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "platform/os/system.h"

namespace vx {

namespace {

constexpr int kMaxSemaphoreArea = 34;
constexpr std::uint64_t kRegionOffset = 1;
constexpr std::uint64_t kRegionLength = 4;
// A program counted as a reader holds a shared lock on this byte (past the record, where the
// protocol locks nothing) for as long as its count stands, and a writer holds the lock region
// for its whole update. Locks end with the program that held them, counts do not: an access
// count that no lock stands behind was left by a program that ended without giving it back.
constexpr std::uint64_t kReaderOffset = 8;
constexpr std::uint64_t kReaderLength = 1;
constexpr int kRegionAttempts = 1001;
constexpr int kTableLockAttempts = 1001;

const char* const kActionNames[] = {"LOGIN",   "LOGOUT",        "INCREAD",
                                    "DECREAD", "LOCKSEMAPHORE", "UNLOCKSEMAPHORE"};

// The semaphore state of the table open in `area`; null when it is not logged in.
SemaphoreState* StateOf(int area) {
  const TableIndexState* s = FoundIndexState(area);
  return s == nullptr ? nullptr : s->semaphore.get();
}

const char* Name(SemaphoreAction a) { return kActionNames[static_cast<int>(a)]; }

// One more level of a nested hold, counted at once and taken back when the scope ends unless
// the acquire succeeded (Keep): a failure, reported or raised, leaves the count as it was.
class NestingClaim {
 public:
  explicit NestingClaim(int& nesting) : nesting_(nesting) { ++nesting_; }
  ~NestingClaim() {
    if (!kept_) --nesting_;
  }
  NestingClaim(const NestingClaim&) = delete;
  NestingClaim& operator=(const NestingClaim&) = delete;
  bool Keep() {
    kept_ = true;
    return true;
  }

 private:
  int& nesting_;
  bool kept_ = false;
};

// The pause after failed attempt `attempt` at a lock that another program holds for a moment.
// A local lock call answers in microseconds, so attempts in a row without a pause would give up
// while the holder is merely not scheduled: after a few quick tries each attempt waits 10 ms,
// and the 1001 attempts span the ten seconds the timeout message speaks of.
void ContendedPause(int attempt) {
  if (attempt >= 10) os::SleepMs(10);
}

bool Fail(std::uint16_t code, const std::string& text) {
  SetEngineError(code, text);
  return false;
}

bool LockRegion(SemaphoreState& s, SemaphoreAction action) {
  int result = 0;
  for (int i = 0; i < kRegionAttempts; ++i) {
    result = s.file.LockRange(kRegionOffset, kRegionLength);
    if (result == 0) {
      s.holds_region = true;
      return true;
    }
    ContendedPause(i);
  }
  return Fail(1202, "10 second timeout: Cannot lock index semaphore file: " + s.name + " " +
                        Name(action) + "\r\nPossible cause: Network lock limit exceeded\r\n" +
                        " Lock result code: " + std::to_string(result));
}

void UnlockRegion(SemaphoreState& s, SemaphoreAction action) {
  if (!s.holds_region) return;
  s.holds_region = false;
  const int result = s.file.UnlockRange(kRegionOffset, kRegionLength);
  if (result != 0) {
    SetEngineError(static_cast<std::uint16_t>(result),
                   "Cannot unlock index semaphore file: " + s.name + " " + Name(action));
  }
}

int ReadRecord(SemaphoreState& s) {
  std::size_t got = 0;
  const int code = s.file.ReadAt(0, std::as_writable_bytes(std::span(s.record)), got);
  if (code != 0) return code;
  return got == 4 ? 0 : os::kIoDiskReadError;
}

// At login, under the table's header lock that every program creating the file holds too: a
// record shorter than four bytes is one whose creator ended before writing it, and reads as
// the zeros it was about to write.
int ReadLoginRecord(SemaphoreState& s) {
  s.record = {0, 0, 0, 0};
  std::size_t got = 0;
  return s.file.ReadAt(0, std::as_writable_bytes(std::span(s.record)), got);
}

int WriteRecord(SemaphoreState& s) { return s.file.WriteAt(0, std::as_bytes(std::span(s.record))); }

// Reads the record under the region this program holds; on failure unlocks and reports.
bool ReadLocked(SemaphoreState& s, SemaphoreAction action) {
  const int code = ReadRecord(s);
  if (code == 0) return true;
  UnlockRegion(s, action);
  return Fail(static_cast<std::uint16_t>(code), "Cannot read: " + s.name);
}

bool WriteLocked(SemaphoreState& s, SemaphoreAction action) {
  const int code = WriteRecord(s);
  if (code == 0) return true;
  UnlockRegion(s, action);
  return Fail(static_cast<std::uint16_t>(code), "Cannot write to: " + s.name);
}

// The table header lock of the area's table, with a short pause between tries.
bool LockTable(const std::string& semaphore_name, SemaphoreAction action) {
  for (int i = 0; i < kTableLockAttempts; ++i) {
    {
      QuietErrors quiet;
      if (LockTableHeader()) return true;
    }
    ContendedPause(i);
  }
  return Fail(1202, "Cannot lock database for: " + semaphore_name + " Action=" + Name(action) +
                        " [Database Semaphore]");
}

void UnlockTable() {
  QuietErrors quiet;
  UnlockTableHeader();
}

bool LoginFailure(const std::string& name, int code, const std::string& text) {
  UnlockTable();
  return Fail(static_cast<std::uint16_t>(code),
              text + name + " Action=" + "LOGIN" + " [Database Semaphore]");
}

bool Login(int area, TableRecord& table) {
  if (StateOf(area) != nullptr) return true;
  const std::string name = SemaphoreFileName(table.file_name);
  if (!LockTable(name, SemaphoreAction::kLogin)) return false;
  auto state = std::make_unique<SemaphoreState>();
  SemaphoreState& s = *state;
  s.name = name;
  if (!os::FileExists(name)) {
    os::File created;
    int code = os::File::Create(name, created);
    if (code != 0) return LoginFailure(name, code, "Cannot open/create: ");
    s.record = {0, 0, 0, 0};
    s.file = std::move(created);
    code = WriteRecord(s);
    if (code != 0) return LoginFailure(name, code, "Cannot write to: ");
    s.file.Close();
    code = os::File::Open(name, os::kOpenReadWriteDenyNone, s.file);
    if (code != 0) return LoginFailure(name, code, "Cannot open: ");
    s.file.AssumeNoCuts();  // the record is only ever rewritten in place
    if (!LockRegion(s, SemaphoreAction::kLogin)) {
      UnlockTable();
      return false;
    }
  } else {
    const int code = os::File::Open(name, os::kOpenReadWriteDenyNone, s.file);
    if (code != 0) return LoginFailure(name, code, "Cannot open: ");
    s.file.AssumeNoCuts();
    if (!LockRegion(s, SemaphoreAction::kLogin)) {
      UnlockTable();
      return false;
    }
    const int read = ReadLoginRecord(s);
    if (read != 0) {
      UnlockRegion(s, SemaphoreAction::kLogin);
      return LoginFailure(name, read, "Cannot read: ");
    }
    // Every program logged in keeps the file open (and so its sharing lock); when no other
    // open exists, the count is that of programs that ended without logging out.
    if (!s.file.RangeLockedElsewhere(os::kShareLockOffset, os::kShareLockLength)) s.users() = 0;
  }
  ++s.users();
  s.users_at_login = s.users();
  const int written = WriteRecord(s);
  if (written != 0) {
    UnlockRegion(s, SemaphoreAction::kLogin);
    return LoginFailure(name, written, "Cannot write to: ");
  }
  UnlockRegion(s, SemaphoreAction::kLogin);
  s.last_seen = s.counter();
  IndexStateOf(table).semaphore = std::move(state);
  UnlockTable();
  return true;
}

bool Logout(int area) {
  TableIndexState& part = *FoundIndexState(area);
  SemaphoreState& s = *part.semaphore;
  if (!LockTable(s.name, SemaphoreAction::kLogout)) return false;
  if (!s.holds_region && !LockRegion(s, SemaphoreAction::kLogout)) {
    UnlockTable();
    return false;
  }
  if (!ReadLocked(s, SemaphoreAction::kLogout)) {
    UnlockTable();
    return false;
  }
  if (s.holds_read && s.access() > 0) --s.access();
  if (s.users() > 0) --s.users();
  // Logged-in programs keep the file open: with no other open, counts left are of programs
  // that ended without logging out.
  const bool last = s.users() == 0 ||
                    !s.file.RangeLockedElsewhere(os::kShareLockOffset, os::kShareLockLength);
  const bool written = WriteLocked(s, SemaphoreAction::kLogout);
  UnlockRegion(s, SemaphoreAction::kLogout);
  s.file.Close();
  if (written && last) os::DeleteFile(s.name);
  part.semaphore.reset();
  part.read_brackets = 0;
  part.lock_brackets = 0;
  UnlockTable();
  return written;
}

// Adds `delta` to the access count in the file, under the lock region for the moment. A reader's
// lock on the reader byte is taken before its count is written and given back after the count
// that gives it up is.
bool ChangeAccessCount(SemaphoreState& s, SemaphoreAction action, int delta) {
  if (!LockRegion(s, action)) return false;
  if (!ReadLocked(s, action)) return false;
  if (delta > 0) {
    const int code = s.file.LockRangeShared(kReaderOffset, kReaderLength);
    if (code != 0) {
      UnlockRegion(s, action);
      return Fail(static_cast<std::uint16_t>(code),
                  "Cannot lock index semaphore file: " + s.name + " " + Name(action));
    }
    if (s.access() < 127) ++s.access();
  } else if (s.access() > 0) {
    --s.access();
  }
  if (!WriteLocked(s, action)) {
    if (delta > 0) s.file.UnlockRange(kReaderOffset, kReaderLength);
    return false;
  }
  if (delta < 0) s.file.UnlockRange(kReaderOffset, kReaderLength);
  UnlockRegion(s, action);
  return true;
}

// Under the lock region: an access count that no other program's lock stands behind (no reader
// holds the reader byte; a writer would hold the region) is a mark left by a program that ended
// while it read or wrote. It is cleared with a warning, and the update goes on.
void ClearStaleMark(SemaphoreState& s) {
  if (s.access() == 0 || s.holds_read) return;
  if (s.file.RangeLockedElsewhere(kReaderOffset, kReaderLength)) return;
  EngineWarning("the index semaphore file " + s.name + " was marked in use (access count " +
                std::to_string(s.access()) +
                ") by a program that has ended; the mark is cleared and the update goes on");
  s.access() = 0;
}

// The file's access count changes only once the record is written: a hold that could not be
// taken is not held (and not counted), one that could not be given back still is (LOGOUT
// gives it back).
bool ReadHold(SemaphoreState& s, SemaphoreAction action) {
  const bool inc = action == SemaphoreAction::kIncRead;
  if (inc) {
    NestingClaim claim(s.read_nesting);
    // A writer reads without a read hold.
    if (s.read_nesting != 1 || s.holds_region || s.holds_read) return claim.Keep();
    if (!ChangeAccessCount(s, action, +1)) return false;
    s.holds_read = true;
    return claim.Keep();
  }
  if (s.read_nesting == 0)
    return Fail(254, "Unbalanced IncRead/DecRead for semaphore file: " + s.name);
  --s.read_nesting;
  if (s.read_nesting != 0 || s.holds_region || !s.holds_read) return true;
  if (!ChangeAccessCount(s, action, -1)) return false;
  s.holds_read = false;
  return true;
}

std::string StaleLockText(const SemaphoreState& s) {
  return std::to_string(SemaphoreWaitSeconds) + " second timeout, cannot read: " + s.name + "\r\n" +
         "Possible cause: Other user's program has terminated abnormally." + "\r\n" +
         "Cure: Log all users of this application off the network," + "\r\n" + "then delete " +
         s.name;
}

double Seconds() { return os::TickCount() / 1000.0; }

bool WaitLimitPassed(double since) {
  return *SemaphoreWaitSeconds != 0 && Seconds() - since > SemaphoreWaitSeconds;
}

bool Lock(SemaphoreState& s) {
  NestingClaim claim(s.lock_nesting);
  if (s.lock_nesting != 1 || s.holds_region) return claim.Keep();
  const SemaphoreAction action = SemaphoreAction::kLockSemaphore;
  const double start = Seconds();
  while (true) {
    const double lap = Seconds();
    // Another writer's region makes the record unreadable (on POSIX: a lock probe says so).
    while (s.file.RangeLockedElsewhere(kRegionOffset, kRegionLength) || ReadRecord(s) != 0) {
      if (WaitLimitPassed(lap)) return Fail(1202, StaleLockText(s));
      os::ProcessPendingMessages();
      os::SleepMs(1);
    }
    {
      QuietErrors quiet;
      LockRegion(s, action);
    }
    if (s.holds_region && !ReadLocked(s, action)) return false;
    if (s.holds_region) ClearStaleMark(s);
    if (s.holds_region && s.access() == 0) break;
    UnlockRegion(s, action);
    if (WaitLimitPassed(start)) {
      return Fail(1202, StaleLockText(s));
    }
    os::ProcessPendingMessages();
    os::SleepMs(1);
  }
  s.access() = 1;
  return WriteLocked(s, action) && claim.Keep();
}

bool Unlock(SemaphoreState& s) {
  const SemaphoreAction action = SemaphoreAction::kUnlockSemaphore;
  if (s.lock_nesting == 0) {
    UnlockRegion(s, action);
    return Fail(254, "Unbalanced Lock/Unlock for semaphore file: " + s.name);
  }
  --s.lock_nesting;
  if (s.lock_nesting != 0 || !s.holds_region) return true;
  if (!ReadLocked(s, action)) return false;
  s.set_counter(static_cast<std::uint16_t>(s.counter() + 1));
  s.access() = 0;
  if (!WriteLocked(s, action)) return false;
  UnlockRegion(s, action);
  s.last_seen = s.counter();
  return true;
}

bool Applies(int area) {
  TableRecord* t = AreaTable(area);
  return t != nullptr && SharingEnabled && !t->exclusive && !t->is_virtual;
}

// The outermost on enters (a failure, reported, leaves the bracket closed and uncounted); the
// matching outermost off leaves, and the bracket counts as closed whether or not that succeeds.
bool Bracket(int area, bool on, int TableIndexState::*counters, SemaphoreAction enter,
             SemaphoreAction leave, const char* name) {
  if (area < 1 || area > kMaxSemaphoreArea) return true;
  // A free area has nothing to bracket (a table closed inside a bracket took its count along).
  TableRecord* t = AreaTable(area);
  if (t == nullptr) return true;
  int& counter = IndexStateOf(*t).*counters;
  if (on) {
    if (counter == 0 && !HandleSemaphore(enter, area)) return false;
    ++counter;
    return true;
  }
  if (counter == 0) {
    SetEngineError(254, std::string("Non-symmetrical Lock-Unlock [") + name + "]");
    return false;
  }
  --counter;
  return counter != 0 || HandleSemaphore(leave, area);
}

}  // namespace

std::string SemaphoreFileName(const std::string& table_file) {
  if (SemaphoreDirectory->empty()) return ReplaceExtension(table_file, "@S@");
  std::string dir = SemaphoreDirectory;
  if (dir.back() != '/' && dir.back() != '\\') dir += '/';
  return dir + SplitPath(table_file).name + ".@S@";
}

bool HandleSemaphore(SemaphoreAction action, int area) {
  if (area < 0 || area > kMaxSemaphoreArea) {
    return Fail(254, "Work area [" + std::to_string(area) + "] out of range. [HandleSemafore]");
  }
  if (!Applies(area)) return true;
  SemaphoreState* state = StateOf(area);
  if (state == nullptr && action != SemaphoreAction::kLogin) return true;
  AreaSelection selection(area);
  switch (action) {
    case SemaphoreAction::kLogin:
      return Login(area, *AreaTable(area));
    case SemaphoreAction::kLogout:
      return Logout(area);
    case SemaphoreAction::kIncRead:
    case SemaphoreAction::kDecRead:
      return ReadHold(*state, action);
    case SemaphoreAction::kLockSemaphore:
      return Lock(*state);
    case SemaphoreAction::kUnlockSemaphore:
      return Unlock(*state);
  }
  return true;
}

bool SemaphoreActive(int area) {
  return area >= 0 && area <= kMaxSemaphoreArea && StateOf(area) != nullptr;
}

bool SemaphoreChanged(int area) {
  if (!SemaphoreActive(area)) return false;
  SemaphoreState& s = *StateOf(area);
  if (s.counter() == s.last_seen) return false;
  s.last_seen = s.counter();
  return true;
}

std::uint32_t SemaphoreRecord(int area) {
  if (!SemaphoreActive(area)) return 0;
  const auto& r = StateOf(area)->record;
  return r[0] | (r[1] << 8) | (r[2] << 16) | (static_cast<std::uint32_t>(r[3]) << 24);
}

bool ReadBracket(int area, bool on) {
  return Bracket(area, on, &TableIndexState::read_brackets, SemaphoreAction::kIncRead,
                 SemaphoreAction::kDecRead, "SetReadSemaphoreProc");
}

bool LockBracket(int area, bool on) {
  return Bracket(area, on, &TableIndexState::lock_brackets, SemaphoreAction::kLockSemaphore,
                 SemaphoreAction::kUnlockSemaphore, "SetLockSemaphoreProc");
}

void SetReadSemaphoreProc(bool on) { ReadBracket(Selected(), on); }
void SetLockSemaphoreProc(bool on) { LockBracket(Selected(), on); }

SemaphoreBracket::SemaphoreBracket(Kind kind, int area) : kind_(kind), area_(area) {
  held_ = kind_ == Kind::kRead ? ReadBracket(area_, true) : LockBracket(area_, true);
}

SemaphoreBracket::~SemaphoreBracket() {
  if (!held_) return;
  CleanupErrors cleanup;
  Close();
}

bool SemaphoreBracket::Close() {
  if (!held_) return true;
  held_ = false;
  return kind_ == Kind::kRead ? ReadBracket(area_, false) : LockBracket(area_, false);
}

void ResetSemaphores() {
  for (int area = 1; area <= kMaxSemaphoreArea; ++area) {
    if (TableIndexState* s = FoundIndexState(area)) {
      s->semaphore.reset();
      s->read_brackets = 0;
      s->lock_brackets = 0;
    }
  }
}

}  // namespace vx
