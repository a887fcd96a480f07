// Block reads on exclusive tables and appended records written behind: every command sees the
// records as if each had gone to the disk at once, other programs see them when the lock is
// released, and a failed late write is reported, not lost silently.

#include <cstring>

#include "engine/table/dbf_records.h"
#include "engine/workarea/locate.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx {
namespace {

using test::Image;
using test::WorkAreaTest;

class BufferedIoTest : public WorkAreaTest {
 protected:
  std::string Numbers() { return MakeTable("numbers.dbf", {{"N", 'N', 6, 0, 0}}); }
  static void AppendNumber(std::int32_t value) {
    Image().SetNumber(1, value);
    Append();
  }
  static std::int32_t Number() { return static_cast<std::int32_t>(Image().Number(1)); }
  std::uint64_t FileSize(const std::string& path) { return test::ReadBytes(path).size(); }
};

TEST_F(BufferedIoTest, ExclusiveAppendsAreReadableAtOnce) {
  const std::string path = Numbers();
  Use(path + " EXCLUSIVE");
  for (std::int32_t i = 1; i <= 3000; ++i) AppendNumber(i);
  GO(2999);
  EXPECT_EQ(Number(), 2999);
  EXPECT_EQ(Peek(1, 3000), "  3000");
  std::int32_t sum = 0, count = 0;
  for (GoTop(); !dEOF(); SKIP(1)) {
    sum += Number();
    ++count;
  }
  EXPECT_EQ(count, 3000);
  EXPECT_EQ(sum, 3000 * 3001 / 2);
  CloseArea();
  EXPECT_EQ(FileSize(path), 32 + 32 + 1 + 3000 * 7 + 1u);
}

TEST_F(BufferedIoTest, ScanSeesOwnEditsInsideTheReadBlock) {
  const std::string path = Numbers();
  Use(path + " EXCLUSIVE");
  for (std::int32_t i = 1; i <= 100; ++i) AppendNumber(i);
  CloseArea();
  Use(path + " EXCLUSIVE");
  GoTop();
  SKIP(1);  // the block now holds the records after the first
  GO(50);
  Image().SetNumber(1, -50);
  REPLACE();
  GO(60);
  DeleteRec();
  GO(1);
  std::int32_t sum = 0;
  int deleted = 0;
  for (; !dEOF(); SKIP(1)) {
    sum += Number();
    deleted += Image().Deleted() ? 1 : 0;
  }
  EXPECT_EQ(sum, 5050 - 100);
  EXPECT_EQ(deleted, 1);
  Poke("   -70", 1, 70);
  GO(69);
  SKIP(1);
  EXPECT_EQ(Number(), -70);
}

TEST_F(BufferedIoTest, OtherProgramsSeeAppendsWhenTheLockIsReleased) {
  const std::string path = Numbers();
  Select(1);
  Use(path);
  Select(2);
  Use(path + " ALIAS OTHER");
  Select(1);
  ASSERT_TRUE(ALock());
  AppendNumber(7);
  AppendNumber(8);
  Select(2);
  EXPECT_EQ(RecCount(), 0);
  Select(1);
  Unlock();
  Select(2);
  EXPECT_EQ(RecCount(), 2);
  GO(2);
  EXPECT_EQ(Number(), 8);
}

TEST_F(BufferedIoTest, AWriteThatFailsLateIsReportedAndNotCounted) {
  const std::string path = Numbers();
  const auto before = test::ReadBytes(path);
  // Deny-all but read-only: appends wait behind until the close, where the write fails.
  OpenModeOverride = os::kOpenDenyAll;
  Use(path);
  AppendNumber(1);
  AppendNumber(2);
  try {
    CloseArea();
    FAIL();
  } catch (const EVexelError& e) {
    EXPECT_NE(std::string(e.what()).find("Error # 5"), std::string::npos) << e.what();
  }
  EXPECT_EQ(SelectedTable(), nullptr);
  EXPECT_EQ(test::ReadBytes(path), before);
}

TEST_F(BufferedIoTest, EndMarkerIsLeftToTheProgramThatHoldsTheAppendLock) {
  const std::string path = Numbers();
  Select(1);
  Use(path);
  ASSERT_TRUE(ALock());
  AppendNumber(1);
  Unlock();
  Select(2);
  Use(path + " ALIAS OTHER");
  ASSERT_TRUE(ALock());
  Select(1);
  CloseArea();  // another area is appending: no marker where its next record goes
  EXPECT_EQ(FileSize(path), 32 + 32 + 1 + 7u);
  Select(2);
  AppendNumber(2);
  CloseArea();
  const auto bytes = test::ReadBytes(path);
  ASSERT_EQ(bytes.size(), 32 + 32 + 1 + 2 * 7 + 1u);
  EXPECT_EQ(bytes.back(), 0x1A);
  EXPECT_EQ(bytes[4], 2);
}

}  // namespace
}  // namespace vx
