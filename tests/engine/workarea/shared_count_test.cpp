// The record count of a shared table: what the refresh takes from the file's end, and what a
// header write may store. Only appends raise the count; bytes that make no whole record are not
// records.

#include <cstring>
#include <filesystem>

#include "engine/table/dbf_records.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx {
namespace {

using test::WorkAreaTest;

class SharedCountTest : public WorkAreaTest {
 protected:
  // A table of `count` records "  <n>" (C 3), closed.
  std::string Names(int count) {
    const std::string path = MakeTable("t.dbf", {{"NAME", 'C', 3, 0, 0}});
    Use(path + " EXCLUSIVE");
    for (int i = 1; i <= count; ++i) {
      FieldAddress(1)[0] = 3;
      std::memcpy(FieldAddress(1) + 1, ("  " + std::to_string(i)).c_str(), 3);
      Append();
    }
    CloseArea();
    return path;
  }
  static std::uint32_t HeaderCount(const std::string& path) {
    const auto b = test::ReadBytes(path);
    return b[4] | b[5] << 8 | b[6] << 16 | static_cast<std::uint32_t>(b[7]) << 24;
  }
  static void SetHeaderCount(const std::string& path, std::uint32_t count) {
    auto b = test::ReadBytes(path);
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(count >> (8 * i));
    test::WriteBytes(path, b);
  }
};

TEST_F(SharedCountTest, RefreshTakesWholeRecordsOnlyFromAnEndThatIsNothingElse) {
  struct Case {
    const char* name;
    std::string tail;      // bytes after record 3 (the end marker removed); records are 4 bytes
    std::uint32_t header;  // the count the header holds
    std::int32_t count;    // the count a shared open sees
  };
  const std::vector<Case> cases = {
      {"two appended records", "  44  55", 3, 5},
      {"two appended records and the marker", "  44  55\x1A", 3, 5},
      {"the marker alone", "\x1A", 3, 3},
      {"stray bytes after the records", std::string("\0\x1A  1421000", 11), 3, 3},
      {"one stray byte", "x", 3, 3},
      {"a counted record, then one half written", "  44  5", 4, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Names(3);
    auto b = test::ReadBytes(path);
    b.pop_back();
    b.insert(b.end(), c.tail.begin(), c.tail.end());
    test::WriteBytes(path, b);
    SetHeaderCount(path, c.header);
    Use(path);
    EXPECT_EQ(RecCount(), c.count);
    GoBottom();
    EXPECT_EQ(RecNo(), c.count);
    CloseArea();
    std::filesystem::remove(path);
  }
}

TEST_F(SharedCountTest, EditsThatAreNotAppendsNeverRaiseTheStoredCount) {
  // Stray bytes the size of two records: a recall, a delete and a rewrite each leave the count.
  for (int edit = 0; edit < 3; ++edit) {
    SCOPED_TRACE(edit);
    const std::string path = Names(3);
    auto b = test::ReadBytes(path);
    b.pop_back();
    const std::string stray("\0\x1A      .", 9);
    b.insert(b.end(), stray.begin(), stray.end());
    test::WriteBytes(path, b);
    Use(path);
    GO(2);
    ASSERT_TRUE(RLock());
    if (edit == 0) RecallRec();
    if (edit == 1) DeleteRec();
    if (edit == 2) REPLACE();
    Unlock();
    CloseArea();
    EXPECT_EQ(HeaderCount(path), 3u);
    std::filesystem::remove(path);
  }
}

TEST_F(SharedCountTest, AnOlderOpensHeaderWriteKeepsTheLargerCountOnTheDisk) {
  const std::string path = Names(3);
  Select(1);
  Use(path + " ALIAS A");
  GO(1);  // A has seen three records
  Select(2);
  Use(path + " ALIAS B");
  ASSERT_TRUE(ALock());
  Append();
  Append();
  Unlock();
  CloseArea();
  ASSERT_EQ(HeaderCount(path), 5u);
  Select(1);
  ASSERT_TRUE(RLock());
  REPLACE();
  Unlock();
  CloseArea();
  EXPECT_EQ(HeaderCount(path), 5u);
}

TEST_F(SharedCountTest, CorpusTableWithAStrayTailKeepsItsCountThroughARecall) {
  const auto corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the corpus folder is absent";
  const std::string path = dir_.File("b_daten.dbf");
  std::filesystem::copy_file(corpus / "xbasej/testfiles/b_daten.DBF", path);
  std::filesystem::copy_file(corpus / "xbasej/testfiles/b_daten.DBt", dir_.File("b_daten.dbt"));
  SetHeaderCount(path, 400);
  Use(path);
  EXPECT_EQ(RecCount(), 400);
  GO(2);
  ASSERT_TRUE(RLock());
  RecallRec();
  Unlock();
  CloseArea();
  EXPECT_EQ(HeaderCount(path), 400u);
}

}  // namespace
}  // namespace vx
