// The table checker as a library call: what it finds goes into the report, repair rebuilds what
// failed, and the caller's work areas and switches are as they were afterwards.
#include "engine/index/table_check.h"

#include "tests/engine/index/index_fixture.h"

namespace vx::test {
namespace {

class TableCheckTest : public IndexTest {
 protected:
  std::vector<Row> Rows() const {
    std::vector<Row> rows;
    for (int i = 0; i < 30; ++i) rows.push_back({"C" + std::to_string((i * 7) % 30), i});
    return rows;
  }
};

TEST_F(TableCheckTest, ReportsDamagedTagsRepairsThemAndLeavesTheCallersAreasAlone) {
  const std::string table = MakeIndexedTable(Rows());
  // The caller has the table open in area 1, with its own switches.
  Select(1);
  Use(table);
  ASSERT_NE(SelectedTable(), nullptr);
  AnsiTables = false;
  TableCheckReport sound = CheckTable(table, {});
  EXPECT_TRUE(sound.opened);
  EXPECT_FALSE(sound.Failed());
  ASSERT_EQ(sound.tags.size(), 3u);
  EXPECT_EQ(sound.tags[1].name, "NUM");
  EXPECT_TRUE(sound.tags[1].definition_known);
  EXPECT_FALSE(sound.repair.has_value());
  EXPECT_EQ(Selected(), 1);
  EXPECT_NE(SelectedTable(), nullptr);
  EXPECT_FALSE(AnsiTables);
  EXPECT_EQ(OpenModeOverride, 65535);
  CloseAll();
  AnsiTables = true;

  // NUM's root gets a key count above its capacity.
  std::vector<unsigned char> mdx = ReadBytes(dir_.File("T.MDX"));
  const std::uint32_t header = GetLe32(mdx.data() + 512 + 32 * 2);
  const std::uint32_t root = GetLe32(mdx.data() + header * 512);
  PutLe32(mdx.data() + root * 512, 200);
  WriteBytes(dir_.File("T.MDX"), mdx);
  TableCheckOptions repair;
  repair.repair = true;
  const TableCheckReport damaged = CheckTable(table, repair);
  EXPECT_TRUE(damaged.Failed());
  EXPECT_TRUE(damaged.tags[0].problems.empty());
  ASSERT_FALSE(damaged.tags[1].problems.empty());
  EXPECT_NE(damaged.tags[1].problems[0].find("key count 200"), std::string::npos);
  ASSERT_TRUE(damaged.repair.has_value());
  EXPECT_EQ(damaged.repair->rebuilt, std::vector<std::string>{"NUM"});
  EXPECT_TRUE(damaged.repair->not_repaired.empty());
  EXPECT_EQ(ReadBytes(damaged.repair->backup), mdx);
  EXPECT_FALSE(CheckTable(table, {}).Failed());
}

// The key comparison holds each side in a bounded budget, spilling sorted runs: with the
// smallest budget (runs of 256 entries) every report is the one the whole comparison in memory
// gives, on sound tables and on each kind of damage, for sizes on both sides of a run.
TEST_F(TableCheckTest, SortedRunsGiveTheSameReportAsTheComparisonInMemory) {
  enum Damage { kSound, kKeyMissing, kOtherRecord, kUniqueTwiceAndGone, kForeignKey };
  for (const int size : {0, 1, 255, 256, 257, 700, 2000}) {
    std::vector<Row> rows;
    for (int i = 0; i < size; ++i) {
      rows.push_back({"K" + std::to_string((i * 7919) % (size / 3 + 1)), (i * 31) % 97});
    }
    for (const Damage damage :
         {kSound, kKeyMissing, kOtherRecord, kUniqueTwiceAndGone, kForeignKey}) {
      SCOPED_TRACE("size " + std::to_string(size) + ", damage " + std::to_string(damage));
      std::vector<TagShape> tags = RowTags(rows, kEveryRow, 0);
      auto& code = tags[0].items;
      auto& num = tags[1].items;
      auto& rcode = tags[2].items;
      if (size > 0 && damage == kKeyMissing) code.erase(code.begin() + size / 2);
      if (size > 0 && damage == kOtherRecord)
        num[size / 3].second = static_cast<std::uint32_t>(size + 5);
      // The unique damage needs a few distinct keys.
      const bool applied = damage != kSound && size > (damage == kUniqueTwiceAndGone ? 200 : 0);
      if (applied && damage == kUniqueTwiceAndGone) {
        // A unique tag holding the first record of each key, less one key, and one key twice.
        tags[0].unique = true;
        std::vector<std::pair<std::string, std::uint32_t>> firsts;
        for (const auto& item : code) {
          if (firsts.empty() || firsts.back().first != item.first) firsts.push_back(item);
        }
        firsts.erase(firsts.begin() + static_cast<std::ptrdiff_t>(firsts.size() / 2));
        firsts.insert(firsts.begin() + 1, {firsts[0].first, static_cast<std::uint32_t>(size)});
        code = firsts;
      }
      if (size > 0 && damage == kForeignKey) rcode.front().first = "~~~~~~";
      WriteBytes(dir_.File("T.DBF"), TableBytes(rows));
      WriteBytes(dir_.File("T.MDX"), BuildMdx("T", tags));
      const std::string table = dir_.File("T.DBF");
      const TableCheckReport in_memory = CheckTable(table, {});
      TableCheckOptions small;
      small.sort_budget = 1;
      const TableCheckReport in_runs = CheckTable(table, small);
      ASSERT_EQ(in_memory.tags.size(), 3u);
      ASSERT_EQ(in_runs.tags.size(), 3u);
      EXPECT_EQ(in_memory.Failed(), applied);
      for (std::size_t t = 0; t < 3; ++t) {
        EXPECT_EQ(in_runs.tags[t].problems, in_memory.tags[t].problems) << t;
        EXPECT_EQ(in_runs.tags[t].notes, in_memory.tags[t].notes) << t;
      }
      const auto has = [&](std::size_t t, const std::string& what) {
        for (const std::string& p : in_runs.tags[t].problems) {
          if (p.find(what) != std::string::npos) return true;
        }
        return false;
      };
      if (size > 0 && damage == kKeyMissing) {
        EXPECT_TRUE(has(0, "its key is missing"));
      }
      if (size > 0 && damage == kOtherRecord) {
        // A record past the table's last is named as no record of the table.
        EXPECT_TRUE(has(1, "an item that names no record of the table (its record number reads"));
        EXPECT_FALSE(has(1, "record " + std::to_string(size + 5) + ":"));
      }
      if (applied && damage == kUniqueTwiceAndGone) {
        EXPECT_TRUE(has(0, "record " + std::to_string(size) + ": a second item"));
        EXPECT_FALSE(in_runs.tags[0].notes.empty());
      }
    }
  }
}

TEST_F(TableCheckTest, ATableThatCannotBeOpenedIsTheEnginesError) {
  QuietErrors quiet;
  EngineErrorCode = 0;
  const TableCheckReport report = CheckTable(dir_.File("NONE.DBF"), {});
  EXPECT_FALSE(report.opened);
  EXPECT_NE(EngineErrorCode, 0);
  EXPECT_FALSE(report.Failed());
}

}  // namespace
}  // namespace vx::test
