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
