// Failures caused on purpose through the platform's system-call table: a full disk, a failed
// header write, close or flush, a refused lock. Each must report its code and leave a table
// whose reopening shows exactly the records that were answered as written.

#include <cerrno>
#include <cstring>
#include <functional>

#include "engine/table/dbf_records.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "tests/engine/workarea/work_area_fixture.h"
#include "tests/support/fault_injection.h"

namespace vx {
namespace {

using test::Call;
using test::FaultInjection;
using test::WorkAreaTest;

constexpr std::int32_t kCommitted = 10;  // records on the disk before each fault
constexpr std::uint64_t kHeader = 32 + 32 + 1;
constexpr std::uint64_t kRecord = 7;

class FailureTest : public WorkAreaTest {
 protected:
  std::string path_;

  void SetUp() override {
    WorkAreaTest::SetUp();
    path_ = MakeTable("t.dbf", {{"N", 'N', 6, 0, 0}});
    Use(path_ + " EXCLUSIVE");
    for (std::int32_t i = 1; i <= kCommitted; ++i) AppendNumber(i);
    CloseArea();
  }
  static void AppendNumber(std::int32_t value) {
    std::memcpy(FieldAddress(1), &value, 4);
    Append();
  }
  static std::int32_t Number() {
    std::int32_t value;
    std::memcpy(&value, FieldAddress(1), 4);
    return value;
  }
  // Appends 11, 12, ... quietly until `count` are done or one fails; answers how many succeeded
  // and the code of the failure (0 when none).
  static std::pair<std::int32_t, std::uint16_t> AppendQuietly(std::int32_t count) {
    QuietErrors quiet;
    for (std::int32_t i = 0; i < count; ++i) {
      EngineErrorCode = 0;
      AppendNumber(kCommitted + 1 + i);
      if (EngineErrorCode != 0) return {i, EngineErrorCode};
    }
    return {count, 0};
  }
  // Reopens the table shared and exclusive; in both it must hold exactly 1..count, and its file
  // no byte beyond the last record but the end marker.
  void ExpectRecords(std::int32_t count) {
    for (const char* mode : {"", " EXCLUSIVE"}) {
      SCOPED_TRACE(mode);
      Use(path_ + mode);
      ASSERT_EQ(RecCount(), count);
      std::int32_t n = 0;
      for (GoTop(); !dEOF(); SKIP(1)) ASSERT_EQ(Number(), ++n);
      EXPECT_EQ(n, count);
      CloseArea();
    }
    const auto size = test::ReadBytes(path_).size();
    EXPECT_GE(size, kHeader + count * kRecord);
    EXPECT_LE(size, kHeader + count * kRecord + 1);
  }
};

struct FaultCase {
  const char* name;
  bool shared;                                  // append under the append lock, not exclusive
  std::function<void(FaultInjection&)> inject;  // the fault, set before the appends
  std::int32_t appends;                         // records appended after it
  bool close_fails;                             // the code comes from the unlock or close
  std::uint16_t code;                           // the code reported
  std::int32_t kept;                            // records the table holds afterwards
};

TEST_F(FailureTest, EachFaultIsReportedAndTheTableHoldsWhatWasAnsweredWritten) {
  const std::vector<FaultCase> cases = {
      // A block of appends (64 KiB) fills the disk: the append that flushes it fails and none
      // of the block stays, though part of it reached the disk.
      {"full disk at a block of appends", false,
       [](FaultInjection& f) { f.DiskFull("t.dbf", 20000); }, 20000, false, 101, kCommitted},
      // Appends held back until the close: the close reports them lost.
      {"full disk at close", false, [](FaultInjection& f) { f.DiskFull("t.dbf", 100); }, 50, true,
       101, kCommitted},
      // The same under the append lock of a shared table: the unlock reports them.
      {"full disk at unlock", true, [](FaultInjection& f) { f.DiskFull("t.dbf", 100); }, 50, true,
       101, kCommitted},
      {"I/O error at unlock", true, [](FaultInjection& f) { f.Fail(Call::kWrite, "t.dbf", EIO); },
       5, true, 101, kCommitted},
      // The records are written but the header cannot count them: they go.
      {"header write fails at close", false,
       [](FaultInjection& f) { f.Fail(Call::kWrite, "t.dbf", ENOSPC, 0, -1, 0); }, 5, true, 101,
       kCommitted},
      // A close that fails (a deferred write error) after everything was written.
      {"close fails", false, [](FaultInjection& f) { f.Fail(Call::kClose, "t.dbf", EIO); }, 5, true,
       101, kCommitted + 5},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    {
      FaultInjection faults;
      Use(path_ + (c.shared ? "" : " EXCLUSIVE"));
      if (c.shared) {
        ASSERT_TRUE(ALock());
      }
      c.inject(faults);
      const auto [done, append_code] = AppendQuietly(c.appends);
      const std::uint16_t unlock_code = c.shared ? CodeOf([] { Unlock(); }) : 0;
      const std::uint16_t close_code = CodeOf([] { CloseArea(); });
      const std::uint16_t late_code = c.shared ? unlock_code : close_code;
      EXPECT_EQ(SelectedTable(), nullptr);
      if (c.close_fails) {
        EXPECT_EQ(done, c.appends);
        EXPECT_EQ(append_code, 0);
        EXPECT_EQ(late_code, c.code);
      } else {
        EXPECT_LT(done, c.appends);
        EXPECT_EQ(append_code, c.code);
      }
      EXPECT_GT(faults.fired(), 0);
    }
    ExpectRecords(c.kept);
    TearDown();
  }
}

TEST_F(FailureTest, AFailedUnlockFlushStillReleasesTheAppendLock) {
  FaultInjection faults;
  Select(1);
  Use(path_);
  ASSERT_TRUE(ALock());
  faults.DiskFull("t.dbf", 0);
  AppendNumber(11);
  EXPECT_THROW(Unlock(), EVexelError);
  faults.Clear();
  Select(2);
  Use(path_ + " ALIAS OTHER");
  EXPECT_TRUE(ALock());  // the first area gave the lock up
  EXPECT_EQ(RecCount(), kCommitted);
}

TEST_F(FailureTest, AFailedFlushIsReportedAndTheWrittenRecordStays) {
  FaultInjection faults;
  FlushAfterWrite = true;
  Use(path_ + " EXCLUSIVE");
  faults.Fail(Call::kFsync, "t.dbf", EIO);
  EXPECT_EQ(CodeOf([] { AppendNumber(11); }), 101);
  EXPECT_NE(LastErrorMessage->find("Unable to flush file"), std::string::npos);
  FlushAfterWrite = false;
  CloseArea();
  ExpectRecords(kCommitted + 1);  // the write itself went through
}

TEST_F(FailureTest, ARefusedLockRefusesTheAppendAndWritesNothing) {
  FaultInjection faults;
  Use(path_);
  faults.Fail(Call::kLock, "t.dbf", EIO, 0, -1, std::uint64_t{LockBase} + 1);
  EXPECT_FALSE(ALock());
  EXPECT_EQ(CodeOf([] { AppendNumber(11); }), 5);
  CloseArea();
  ExpectRecords(kCommitted);
}

std::vector<std::uint64_t> g_sizes_at_keys;

TEST_F(FailureTest, AppendsUnderAnIndexReachTheDiskBeforeTheirKeys) {
  // Keys name a record as soon as they are added: it may not wait behind, where a failed late
  // write would leave the keys naming nothing.
  const IndexHookTable saved = IndexHooks;
  Use(path_ + " EXCLUSIVE");
  IndexHooks->present = true;
  IndexHooks->IsActive = [](TableRecord&) { return true; };
  IndexHooks->AddKeys = [](TableRecord& t) {
    std::uint64_t size = 0;
    t.file.Size(size);
    g_sizes_at_keys.push_back(size);
  };
  g_sizes_at_keys.clear();
  AppendNumber(11);
  AppendNumber(12);
  IndexHooks = saved;
  CloseArea();
  ASSERT_EQ(g_sizes_at_keys.size(), 2u);
  EXPECT_GE(g_sizes_at_keys[0], kHeader + 11 * kRecord);
  EXPECT_GE(g_sizes_at_keys[1], kHeader + 12 * kRecord);
}

}  // namespace
}  // namespace vx
