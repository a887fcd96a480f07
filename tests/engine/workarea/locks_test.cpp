// Record, append, file and header locks on shared tables, checked against the lock ranges that
// other programs see: a separate open of the table probes exactly which bytes are held, and
// forked processes take the place of other programs.

#include "engine/workarea/locks.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/workarea/navigation.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/engine/workarea/work_area_fixture.h"
#include "tests/support/child_process.h"

namespace vx {
namespace {

// The lock ranges of the file protocol, written out rather than taken from the code under test.
constexpr std::uint64_t kBase = 0x40000000;
constexpr std::uint64_t kHeaderLength = 512;
constexpr std::uint64_t kRecordLength = 100;
constexpr std::uint64_t kRecord3 = kBase + 712;  // kBase + 512 + 2 * 100

std::uint64_t RecordRange(int n) { return kBase + kHeaderLength + (n - 1) * kRecordLength; }

// A table with a 512-byte header and 100-byte records: NAME C 89, COUNT N 10.
std::vector<unsigned char> GridTable(int records) {
  test::DbfBuilder builder(0x03);
  builder.Field("NAME", 'C', 89).Field("COUNT", 'N', 10).HeaderSlack(415);
  for (int i = 1; i <= records; ++i) builder.Record(" R" + std::to_string(i));
  return builder.Build();
}

// The fields of the grid table in the selected area's record image.
std::string NameInImage() {
  const std::string name(test::Image().Text(1));
  return name.substr(0, name.find(' '));
}
void SetName(const std::string& name) { test::Image().SetText(1, name); }
std::int32_t CountInImage() { return static_cast<std::int32_t>(test::Image().Number(2)); }
void SetCount(std::int32_t count) { test::Image().SetNumber(2, count); }

using test::Child;

class LocksTest : public test::WorkAreaTest {
 protected:
  void SetUp() override {
    WorkAreaTest::SetUp();
    path_ = dir_.File("grid.dbf");
    test::WriteBytes(path_, GridTable(10));
  }
  void TearDown() override {
    WorkAreaTest::TearDown();
    os::SetProcessMessagesHook(nullptr);
    ShuttingDown = false;
    VirtualFileManagerProc = nullptr;
  }

  // Opens the grid table shared into `area`.
  void UseGrid(int area, const std::string& words = "") {
    Select(area);
    Use(path_ + words);
    ASSERT_NE(SelectedTable(), nullptr);
  }

  // Whether another open of the table finds [offset, offset + length) held: it tries to take
  // the range and gives it back at once.
  bool Held(std::uint64_t offset, std::uint64_t length = 1) {
    os::File probe;
    EXPECT_EQ(os::File::Open(path_, os::kOpenReadWriteDenyNone, probe), os::kIoOk);
    const int code = probe.LockRange(offset, length);
    EXPECT_TRUE(code == os::kIoOk || code == os::kIoLockViolation) << code;
    return code == os::kIoLockViolation;
  }

  // Body of another program: holds the lock of record 3 until it receives 'r', then frees it
  // and says so.
  int HoldRecord3UntilAsked(Child& self) {
    os::File file;
    if (os::File::Open(path_, os::kOpenReadWriteDenyNone, file) != 0) return 1;
    if (file.LockRange(kRecord3, 100) != 0) return 2;
    self.Send();
    if (self.Receive() != 'r') return 3;
    if (file.UnlockRange(kRecord3, 100) != 0) return 4;
    self.Send();
    self.Receive();
    return 0;
  }

  std::string path_;
};

TEST_F(LocksTest, RecordLockHoldsExactlyTheShiftedRecordRange) {
  UseGrid(1);
  GO(3);
  EXPECT_EQ(RecordLockOffset(*SelectedTable(), 3), kRecord3);
  ASSERT_TRUE(RLock());
  EXPECT_TRUE(Held(kRecord3, 100));
  EXPECT_TRUE(Held(kRecord3));
  EXPECT_TRUE(Held(kRecord3 + 99));
  EXPECT_FALSE(Held(kRecord3 - 1));
  EXPECT_FALSE(Held(kRecord3 + 100));
  EXPECT_FALSE(Held(kBase, 2));  // header and append bytes stay free

  // A second RLock of the same record adds no entry; one UnlockRec releases it.
  ASSERT_TRUE(RLock());
  const TableRecord& t = *SelectedTable();
  EXPECT_EQ(t.record_locks, std::vector<std::int32_t>{3});
  EXPECT_EQ(t.record_lock_count, 1);
  EXPECT_EQ(t.lock_state, kLockRecords);
  EXPECT_TRUE(IsLocked(3));
  EXPECT_FALSE(IsLocked(4));
  EXPECT_TRUE(UnlockRec(3));
  EXPECT_EQ(t.lock_state, kLockNone);
  EXPECT_EQ(t.record_lock_count, 0);
  EXPECT_FALSE(Held(kRecord3, 100));
}

// An empty table has no current record (number 0). Its range would lie before record 1's, over
// the header and append bytes wherever records are longer than the header: nothing is locked.
TEST_F(LocksTest, RLockWithoutCurrentRecordLocksNothing) {
  test::WriteBytes(path_, GridTable(0));
  UseGrid(1);
  ASSERT_EQ(RecNo(), 0);
  EXPECT_FALSE(RLock());
  EXPECT_EQ(SelectedTable()->lock_state, kLockNone);
  EXPECT_FALSE(Held(RecordRange(0), kRecordLength));
}

TEST_F(LocksTest, RecordLockLimitRefusesNewRecordsButNotHeldOnes) {
  RecordLockLimit = 2;
  UseGrid(1);
  GO(1);
  ASSERT_TRUE(RLock());
  GO(2);
  ASSERT_TRUE(RLock());
  GO(3);
  {
    QuietErrors quiet;
    EXPECT_FALSE(RLock());
    EXPECT_EQ(EngineErrorCode, 212);
    EXPECT_EQ(LastErrorMessage, "Vexel record lock limit exceeded [RLock]");
  }
  EXPECT_THROW(RLock(), EVexelError);
  EXPECT_FALSE(Held(kRecord3, 100));
  GO(2);
  EXPECT_TRUE(RLock());
  EXPECT_EQ(SelectedTable()->record_lock_count, 2);
}

TEST_F(LocksTest, AppendAndRecordLocksExcludeEachOther) {
  UseGrid(1);
  ASSERT_TRUE(ALock());
  EXPECT_TRUE(ALock());
  EXPECT_TRUE(Held(kBase + 1));
  EXPECT_FALSE(Held(kBase));
  EXPECT_FALSE(Held(kBase + 2));
  GO(1);
  EXPECT_FALSE(RLock());
  EXPECT_FALSE(IsLocked(1));
  EXPECT_FALSE(HoldsRecordLock(*SelectedTable(), 1));  // an append lock allows no REPLACE
  Unlock();
  EXPECT_FALSE(Held(kBase + 1));

  ASSERT_TRUE(RLock());
  EXPECT_FALSE(ALock());
  EXPECT_FALSE(Held(kBase + 1));
  Unlock();
  EXPECT_EQ(SelectedTable()->lock_state, kLockNone);
  EXPECT_FALSE(Held(RecordRange(1), 100));
}

TEST_F(LocksTest, FileLockCoversEverythingButTheHeaderByte) {
  UseGrid(1);
  GO(2);
  ASSERT_TRUE(RLock());
  EXPECT_FALSE(FLock());  // the area holds record locks
  Unlock();
  ASSERT_TRUE(FLock());
  EXPECT_EQ(SelectedTable()->lock_state, kLockFile);
  EXPECT_TRUE(Held(kBase + 1));
  EXPECT_TRUE(Held(kBase + 0x3FFFFFFF));
  EXPECT_FALSE(Held(kBase + 0x40000000));
  EXPECT_FALSE(Held(kBase));
  EXPECT_TRUE(IsLocked(7));
  EXPECT_TRUE(HoldsRecordLock(*SelectedTable(), 7));
  EXPECT_FALSE(RLock());
  EXPECT_FALSE(ALock());
  Unlock();
  EXPECT_FALSE(Held(kBase + 1, 0x3FFFFFFF));
}

TEST_F(LocksTest, UnlockRecAnswersFalseWithCode220WithoutRaising) {
  UseGrid(1);
  GO(2);
  ASSERT_TRUE(RLock());
  const struct {
    std::int32_t n;
    const char* message;
  } kCases[] = {
      {7, "Record not locked. [UnlockRec(7)]"},
      {0, "[UnlockRec(0)]"},
      {-4, "[UnlockRec(-4)]"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.n);
    bool answer = true;
    EXPECT_NO_THROW(answer = UnlockRec(c.n));
    EXPECT_FALSE(answer);
    EXPECT_EQ(EngineErrorCode, 220);
    EXPECT_EQ(LastErrorMessage, c.message);
  }
  EXPECT_TRUE(IsLocked(2));  // the refused requests released nothing
  EXPECT_TRUE(UnlockRec(-3));
  EXPECT_EQ(EngineErrorCode, 0);
  // With nothing locked, the oldest and the most recent lock do not exist either.
  EXPECT_FALSE(UnlockRec(-1));
  EXPECT_EQ(LastErrorMessage, "Record not locked. [UnlockRec(-1)]");
  EXPECT_TRUE(UnlockRec(-3));
}

TEST_F(LocksTest, UnlockRecReleasesOldestOrMostRecent) {
  UseGrid(1);
  for (int n : {5, 9, 2}) {
    GO(n);
    ASSERT_TRUE(RLock());
  }
  ASSERT_TRUE(UnlockRec(-1));
  EXPECT_FALSE(IsLocked(5));
  EXPECT_FALSE(Held(RecordRange(5), 100));
  EXPECT_TRUE(Held(RecordRange(9), 100));
  EXPECT_TRUE(Held(RecordRange(2), 100));
  ASSERT_TRUE(UnlockRec(-2));
  EXPECT_FALSE(IsLocked(2));
  EXPECT_FALSE(Held(RecordRange(2), 100));
  const TableRecord& t = *SelectedTable();
  EXPECT_EQ(t.record_locks, std::vector<std::int32_t>{9});
  EXPECT_EQ(t.record_lock_count, 1);
  EXPECT_EQ(t.lock_state, kLockRecords);
  ASSERT_TRUE(UnlockRec(-3));
  EXPECT_EQ(t.lock_state, kLockNone);
  EXPECT_FALSE(Held(RecordRange(9), 100));
}

TEST_F(LocksTest, SharingOffPlacesNoLocksAndEveryRequestSucceeds) {
  UseGrid(1);
  SharingEnabled = false;
  os::File other;
  ASSERT_EQ(os::File::Open(path_, os::kOpenReadWriteDenyNone, other), os::kIoOk);
  EXPECT_EQ(LockRange(false, other, kBase, 1), 0);
  EXPECT_EQ(other.LockRange(kBase + 1, 1), os::kIoOk);  // another program holds the append byte
  EXPECT_EQ(other.LockRange(kRecord3, 100), os::kIoOk);
  EXPECT_TRUE(ALock());
  Unlock();
  GO(3);
  EXPECT_TRUE(RLock());
  EXPECT_TRUE(HoldsRecordLock(*SelectedTable(), 8));
  EXPECT_TRUE(LockTableHeader());
  UnlockTableHeader();
  other = os::File();
  EXPECT_FALSE(Held(kBase, 0x3FFFFFFF));  // nothing of ours is on the file
}

TEST_F(LocksTest, TableHeaderLockIsOneByteAtTheBase) {
  UseGrid(1);
  ASSERT_TRUE(LockTableHeader());
  EXPECT_TRUE(Held(kBase));
  EXPECT_FALSE(Held(kBase + 1));
  EXPECT_TRUE(ALock());  // the header byte and the append byte are separate
  UnlockTableHeader();
  EXPECT_FALSE(Held(kBase));
  EXPECT_TRUE(Held(kBase + 1));

  UseGrid(2, " ALIAS OTHER");
  Select(1);
  ASSERT_TRUE(LockTableHeader());
  Select(2);
  EXPECT_FALSE(LockTableHeader());
}

TEST_F(LocksTest, CommandsOnAFreeAreaOrVirtualTable) {
  Select(5);
  const struct {
    const char* name;
    std::function<void()> command;
  } kCommands[] = {
      {"ALock", [] { ALock(); }},        {"RLock", [] { RLock(); }},
      {"IsLocked", [] { IsLocked(1); }}, {"UnlockRec", [] { UnlockRec(1); }},
      {"Unlock", [] { Unlock(); }},
  };
  for (const auto& c : kCommands) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CodeOf(c.command), 215);
    EXPECT_EQ(LastErrorMessage, "No database in use [" + std::string(c.name) + "]  WorkArea = 5");
  }

  VirtualFileManagerProc = [](TableRecord&) {};
  std::vector<char> image(16);
  Use("list LINKED LIST", image.data(), 16);
  ASSERT_NE(SelectedTable(), nullptr);
  const struct {
    const char* message;
    std::function<void()> command;
  } kVirtual[] = {
      {" [ALock]", [] { ALock(); }},
      {" [RLock]", [] { RLock(); }},
      {"[IsLocked]", [] { IsLocked(1); }},
  };
  for (const auto& c : kVirtual) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(CodeOf(c.command), 1100);
    EXPECT_EQ(LastErrorMessage, c.message);
  }
  EXPECT_EQ(CodeOf([] { Unlock(); }), 0);
}

// ---- Other programs ----------------------------------------------------------------------

TEST_F(LocksTest, AnotherProgramsRecordAndAppendLocksAreRespected) {
  Child other([this](Child& self) {
    os::File file;
    if (os::File::Open(path_, os::kOpenReadWriteDenyNone, file) != 0) return 1;
    if (file.LockRange(kRecord3, 100) != 0 || file.LockRange(kBase + 1, 1) != 0) return 2;
    self.Send();
    self.Receive();
    return 0;
  });
  ASSERT_EQ(other.Receive(), '.');
  UseGrid(1);
  GO(3);
  EXPECT_FALSE(RLock());
  EXPECT_EQ(EngineErrorCode, 0);
  EXPECT_FALSE(IsLocked(3));
  GO(4);
  EXPECT_TRUE(RLock());
  Unlock();
  EXPECT_FALSE(ALock());
  EXPECT_EQ(SelectedTable()->lock_state, kLockNone);
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_TRUE(ALock());
}

TEST_F(LocksTest, ExclusiveUseAndSharedUseRefuseEachOther) {
  for (int other_mode : {os::kOpenReadWriteDenyNone, os::kOpenReadWriteDenyAll}) {
    SCOPED_TRACE(other_mode);
    Child other([this, other_mode](Child& self) {
      os::File file;
      if (os::File::Open(path_, other_mode, file) != 0) return 1;
      self.Send();
      self.Receive();
      return 0;
    });
    ASSERT_EQ(other.Receive(), '.');
    Select(1);
    const std::string words = other_mode == os::kOpenReadWriteDenyNone ? " EXCLUSIVE" : "";
    EXPECT_EQ(CodeOf([&] { Use(path_ + words); }), os::kIoSharingViolation);
    EXPECT_EQ(SelectedTable(), nullptr);
    EXPECT_EQ(other.Wait(), 0);
    EXPECT_EQ(CodeOf([&] { Use(path_ + words); }), 0);
    CloseAll();
  }
}

// The wait between attempts processes the user interface's messages; the first of them asks the
// other program to give the record up, so the next attempt finds it free.
TEST_F(LocksTest, RetryLockWaitsForAnotherProgram) {
  Child other([this](Child& self) { return HoldRecord3UntilAsked(self); });
  ASSERT_EQ(other.Receive(), '.');
  int messages = 0;
  os::SetProcessMessagesHook([&] {
    if (messages++ == 0) {
      other.Send('r');
      other.Receive();
    }
  });
  LockRetries = 3;
  LockWaitSeconds = 1;
  UseGrid(1);
  GO(3);
  EXPECT_TRUE(RLock());
  EXPECT_GE(messages, 1);
  EXPECT_TRUE(IsLocked(3));
  EXPECT_EQ(other.Wait(), 0);
}

Child* lock_holder = nullptr;
int failed_calls = 0;

TEST_F(LocksTest, LockFailedProcStartsNewSeriesOrGivesUp) {
  Child other([this](Child& self) { return HoldRecord3UntilAsked(self); });
  ASSERT_EQ(other.Receive(), '.');
  int messages = 0;
  os::SetProcessMessagesHook([&] { ++messages; });
  UseGrid(1);
  GO(3);

  // Three attempts (two waits) per series; the first answer starts another series.
  LockRetries = 2;
  failed_calls = 0;
  LockFailedProc = [] { return ++failed_calls == 1; };
  EXPECT_FALSE(RLock());
  EXPECT_EQ(failed_calls, 2);
  EXPECT_EQ(messages, 4);
  EXPECT_EQ(EngineErrorCode, 0);
  EXPECT_EQ(SelectedTable()->lock_state, kLockNone);

  // Asked after the failure, the user frees the record and answers "retry".
  LockRetries = 0;
  failed_calls = 0;
  lock_holder = &other;
  LockFailedProc = [] {
    ++failed_calls;
    lock_holder->Send('r');
    lock_holder->Receive();
    return true;
  };
  EXPECT_TRUE(RLock());
  EXPECT_EQ(failed_calls, 1);
  EXPECT_EQ(other.Wait(), 0);
}

TEST_F(LocksTest, ShutDownEndsTheWaitEarly) {
  os::File other;
  ASSERT_EQ(os::File::Open(path_, os::kOpenReadWriteDenyNone, other), os::kIoOk);
  ASSERT_EQ(other.LockRange(kBase + 1, 1), os::kIoOk);
  int messages = 0;
  os::SetProcessMessagesHook([&] {
    ++messages;
    ShuttingDown = true;
  });
  // Without the early end this would wait two times 255 seconds.
  LockRetries = 2;
  LockWaitSeconds = 255;
  UseGrid(1);
  EXPECT_FALSE(ALock());
  EXPECT_EQ(messages, 2);
}

// ---- SetExclusive -----------------------------------------------------------------------

TEST_F(LocksTest, ExclusiveUseNeedsNoLocksAndStaysExclusive) {
  UseGrid(1, " EXCLUSIVE");
  const TableRecord& t = *SelectedTable();
  EXPECT_TRUE(HoldsRecordLock(t, 4));
  GO(4);
  EXPECT_TRUE(RLock());
  EXPECT_TRUE(IsLocked(4));
  Unlock();
  EXPECT_TRUE(ALock());
  Unlock();
  EXPECT_EQ(SetExclusive(false), 5);
  EXPECT_EQ(SetExclusive(true), 5);
  EXPECT_TRUE(t.exclusive);
  os::File other;
  EXPECT_EQ(os::File::Open(path_, os::kOpenReadOnlyDenyNone, other), os::kIoSharingViolation);
}

TEST_F(LocksTest, SetExclusiveKeepsTheLocksItHolds) {
  UseGrid(1);
  GO(3);
  ASSERT_TRUE(RLock());
  UseGrid(2, " ALIAS OTHER");

  // Another open of the table refuses the deny-all reopen; nothing is given up.
  Select(1);
  EXPECT_EQ(SetExclusive(true), os::kIoSharingViolation);
  const TableRecord& t = *SelectedTable();
  EXPECT_FALSE(t.exclusive);
  EXPECT_TRUE(t.file.IsOpen());
  Select(2);
  GO(3);
  EXPECT_FALSE(RLock());
  CloseArea();

  Select(1);
  ASSERT_EQ(SetExclusive(true), 0);
  EXPECT_TRUE(t.exclusive);
  EXPECT_FALSE(t.exclusive_by_use);
  os::File other;
  EXPECT_EQ(os::File::Open(path_, os::kOpenReadOnlyDenyNone, other), os::kIoSharingViolation);
  GO(5);
  ASSERT_TRUE(RLock());  // exclusive: bookkeeping only

  // Back to shared: both locks of the list are on the file again.
  ASSERT_EQ(SetExclusive(false), 0);
  EXPECT_FALSE(t.exclusive);
  EXPECT_EQ(t.open_mode, os::kOpenReadWriteDenyNone);
  EXPECT_TRUE(Held(kRecord3, 100));
  EXPECT_TRUE(Held(RecordRange(5), 100));
  EXPECT_FALSE(Held(RecordRange(4), 100));
  GO(3);
  SetCount(42);
  REPLACE();
  EXPECT_EQ(test::ReadBytes(path_)[kHeaderLength + 2 * kRecordLength + 90 + 8], '4');

  // A shared reopen into another shared mode keeps them too.
  UseShareMode = os::kOpenReadOnlyDenyNone;
  ASSERT_EQ(SetExclusive(false), 0);
  EXPECT_EQ(t.file.open_mode(), os::kOpenReadOnlyDenyNone);
  EXPECT_TRUE(Held(kRecord3, 100));
  EXPECT_EQ(t.record_lock_count, 2);
}

// Records appended while the table was exclusive are on the disk before another program may
// append after them.
TEST_F(LocksTest, SetExclusiveWritesAppendedRecordsBeforeSharing) {
  UseGrid(1);
  ASSERT_EQ(SetExclusive(true), 0);
  GO(1);
  SetName("MINE");
  Append();
  ASSERT_EQ(SetExclusive(false), 0);
  UseGrid(2, " ALIAS OTHER");
  ASSERT_TRUE(ALock());
  SetName("THEIRS");
  Append();
  Unlock();
  CloseAll();

  UseGrid(1);
  ASSERT_EQ(RecCount(), 12);
  GO(11);
  EXPECT_EQ(NameInImage(), "MINE");
  GO(12);
  EXPECT_EQ(NameInImage(), "THEIRS");
}

// A reopen that fails after the old open was given up goes back to the old mode with the old
// locks. Write access is what fails here: the helper runs without privileges on a file that
// only its owner may write.
TEST_F(LocksTest, SetExclusiveRestoresTheTableWhenTheReopenFails) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
  Child other([this](Child& self) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 90;
    UseShareMode = os::kOpenReadOnlyDenyNone;
    Select(1);
    Use(path_);
    GO(2);
    if (!RLock()) return 1;
    if (SetExclusive(true) != os::kIoAccessDenied) return 2;
    const TableRecord& t = *SelectedTable();
    if (!t.file.IsOpen() || t.file.open_mode() != os::kOpenReadOnlyDenyNone) return 3;
    if (t.exclusive || !IsLocked(2)) return 4;
    GO(7);
    if (NameInImage() != "R7") return 5;
    self.Send();
    self.Receive();
    return 0;
  });
  const char reported = other.Receive();
  if (reported == 0 && other.Wait() == 90) GTEST_SKIP() << "cannot drop privileges";
  ASSERT_EQ(reported, '.') << other.Wait();
  EXPECT_TRUE(Held(RecordRange(2), 100));  // the restored open holds the record again
  EXPECT_EQ(other.Wait(), 0);
}

// ---- Many programs at once ---------------------------------------------------------------

// Four programs append under the append lock and increment one counter under record locks.
// Every appended row must arrive exactly once and no increment may be lost.
TEST_F(LocksTest, StressAppendsAndCounterUnderLocks) {
  constexpr int kPrograms = 4;
  constexpr int kAppends = 250;
  constexpr int kIncrements = 200;
  test::WriteBytes(path_, GridTable(1));
  std::vector<std::unique_ptr<Child>> programs;
  for (int p = 0; p < kPrograms; ++p) {
    programs.push_back(std::make_unique<Child>([this, p](Child& self) {
      self.Receive();  // start together
      Select(1);
      Use(path_);
      for (int i = 0; i < kAppends; ++i) {
        while (!ALock()) os::SleepMs(0);
        const std::string name = "P" + std::to_string(p) + "-" + std::to_string(i);
        SetName(name);
        SetCount(0);
        Append();
        Unlock();
        if (i >= kIncrements) continue;
        GO(1);
        while (!RLock()) os::SleepMs(0);
        GO(1);  // the value as it is now that nobody else may change it
        SetCount(CountInImage() + 1);
        REPLACE();
        Unlock();
      }
      CloseAll();
      return 0;
    }));
  }
  for (auto& program : programs) program->Send();
  for (int p = 0; p < kPrograms; ++p) EXPECT_EQ(programs[p]->Wait(), 0) << p;

  UseGrid(1);
  ASSERT_EQ(RecCount(), 1 + kPrograms * kAppends);
  std::map<std::string, int> seen;
  for (int n = 2; n <= 1 + kPrograms * kAppends; ++n) {
    GO(n);
    EXPECT_EQ(SelectedTable()->record[0], ' ') << n;
    ++seen[NameInImage()];
  }
  ASSERT_EQ(seen.size(), std::size_t{kPrograms * kAppends});
  for (int p = 0; p < kPrograms; ++p) {
    for (int i = 0; i < kAppends; ++i) {
      EXPECT_EQ(seen["P" + std::to_string(p) + "-" + std::to_string(i)], 1) << p << " " << i;
    }
  }
  GO(1);
  EXPECT_EQ(CountInImage(), kPrograms * kIncrements);
  const auto bytes = test::ReadBytes(path_);
  const std::uint32_t header_count =
      bytes[4] | bytes[5] << 8 | bytes[6] << 16 | static_cast<std::uint32_t>(bytes[7]) << 24;
  EXPECT_EQ(header_count, 1u + kPrograms * kAppends);
}

}  // namespace
}  // namespace vx
