// Reads refused by another program's lock. Windows refuses reads of a range that another handle
// has locked (error 33); a read the engine makes is tried again within the lock settings and
// briefly beyond, and reported as a lock violation only when the refusals go on. The refusals
// come from the fault-injection seam (POSIX and Wine do not refuse reads for locks).

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "platform/os/file.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/engine/workarea/work_area_fixture.h"
#include "tests/support/fault_injection.h"

namespace vx {
namespace {

class LockedReadsTest : public test::WorkAreaTest {
 protected:
  void SetUp() override {
    WorkAreaTest::SetUp();
    path_ = dir_.File("locked.dbf");
    test::DbfBuilder builder(0x03);
    builder.Field("NAME", 'C', 10);
    for (const char* name : {" ALPHA", " BETA", " GAMMA"}) builder.Record(name);
    test::WriteBytes(path_, builder.Build());
    Select(1);
    Use(path_);
    ASSERT_NE(SelectedTable(), nullptr);
  }

  std::string NameOf(std::int32_t n) {
    GO(n);
    const std::string name(test::Image().Text(1));
    return name.substr(0, name.find(' '));
  }

  std::string path_;
};

TEST_F(LockedReadsTest, RefusedReadsAreTriedAgainUntilTheLockGoes) {
  struct Case {
    const char* what;
    int retries;   // LockRetries
    int refusals;  // reads refused before the lock goes (-1: it never goes)
    bool read;     // whether the record is read in the end
  };
  const Case cases[] = {
      {"a lock held for a moment, no retries set", 0, 3, true},
      {"a lock held a little longer than the retries", 2, 10, true},
      {"a lock that is never given back", 0, -1, false},
      {"never given back, with retries set", 3, -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LockRetries = static_cast<std::uint8_t>(c.retries);
    LockWaitMs = 1;
    test::FaultInjection faults;
    faults.Fail(test::Call::kRead, "locked.dbf", EAGAIN, 0, c.refusals);
    if (c.read) {
      EXPECT_EQ(NameOf(2), "BETA");
      EXPECT_EQ(faults.fired(), c.refusals);
    } else {
      EXPECT_EQ(CodeOf([] { GO(3); }), os::kIoLockViolation);
      EXPECT_GT(faults.fired(), c.retries);
      faults.Clear();
      EXPECT_EQ(NameOf(3), "GAMMA") << "the table is usable once the lock goes";
    }
  }
}

TEST_F(LockedReadsTest, OtherReadFailuresAreNotTriedAgain) {
  test::FaultInjection faults;
  faults.Fail(test::Call::kRead, "locked.dbf", EIO, 0, -1);
  EXPECT_EQ(CodeOf([] { GO(1); }), os::kIoDiskReadError);
  EXPECT_EQ(faults.fired(), 1);
}

}  // namespace
}  // namespace vx
