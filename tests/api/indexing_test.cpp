// Index building and checking by path: progress through the caller's callback, the leaf fill
// over table sizes that change the tree's shape, refusals that change nothing, the check's
// structured report, and tables the program holds open left as they were.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <vexel/indexing.hpp>
#include <vexel/vexel.hpp>

#include "tests/support/temp_dir.h"

namespace {

class IndexingTest : public ::testing::Test {
 protected:
  std::string Films(int records, int codepage = 1252) {
    const std::string path = dir_.File("films.dbf");
    vexel::CreateOptions create;
    create.codepage = codepage;
    create.overwrite = true;
    vexel::Table t = vexel::create(path, {{"TITLE", 'C', 20, 0}, {"YEAR", 'N', 4, 0}}, create);
    vexel::AppendLock lock = t.lock_append();
    for (int i = 0; i < records; ++i) {
      lock.append({{"TITLE", "film " + std::to_string(i * 7919 % (records + 1))},
                   {"YEAR", std::int64_t{1900 + i % 120}}});
    }
    return path;
  }
  std::string Mdx() const { return dir_.File("films.mdx"); }
  vx::test::TempDir dir_;
};

// The build reports as "index" up to its total and then ends; a lower fill leaves more leaves,
// whatever the size of the table (one leaf, a few, many levels).
TEST_F(IndexingTest, BuildsReportProgressAndFillLeavesAsAsked) {
  for (const int records : {1, 40, 3000}) {
    SCOPED_TRACE(records);
    const std::string path = Films(records);
    std::vector<std::pair<std::string, std::int64_t>> steps;
    vexel::OpenOptions options;
    options.progress = [&](const std::string& label, std::int64_t done, std::int64_t total) {
      EXPECT_LE(done, total);
      steps.emplace_back(label, done);
    };
    vexel::add_tag(path, {"TITLE", "UPPER(TITLE)", "YEAR > 1950", true, false}, options, 100);
    const auto full = std::filesystem::file_size(Mdx());
    ASSERT_FALSE(steps.empty());
    for (const auto& [label, done] : steps) EXPECT_EQ(label, "index");
    EXPECT_LT(steps.back().second, 0);  // ended

    vexel::reindex(path, {}, 30);
    const auto sparse = std::filesystem::file_size(Mdx());
    if (records >= 3000) {
      EXPECT_GT(sparse, full);
    }

    const vexel::TableCheck found = vexel::check_table(path);
    EXPECT_TRUE(found.ok) << (found.findings().empty() ? "" : found.findings()[0].what);
    ASSERT_EQ(found.tags.size(), 1u);
    EXPECT_EQ(found.tags[0].name, "TITLE");
    EXPECT_TRUE(found.tags[0].definition_known);
    EXPECT_EQ(found.tags[0].definition.key, "UPPER(TITLE)");
    EXPECT_EQ(found.tags[0].definition.for_expr, "YEAR > 1950");
    EXPECT_TRUE(found.tags[0].definition.descending);
    EXPECT_TRUE(found.has_index);
    EXPECT_FALSE(found.repair);
  }
}

// What cannot be done is refused with the public error, and the files stay as they were.
TEST_F(IndexingTest, RefusalsChangeNothing) {
  const std::string path = Films(20, 437);
  const auto table_bytes = vx::test::ReadBytes(path);
  struct Case {
    const char* what;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"fill 0",
       [&] {
         vexel::add_tag(path, {"T", "TITLE"}, {}, 0);
       }},
      {"fill 101", [&] { vexel::reindex(path, {}, 101); }},
      {"no index to rebuild", [&] { vexel::reindex(path); }},
      {"name outside the page",
       [&] {
         vexel::add_tag(path, {"T\xE2\x82\xAC", "TITLE"});
       }},
      {"key not UTF-8",
       [&] {
         vexel::add_tag(path, {"T", "TITLE+\"\xFF\""});
       }},
      {"no such table", [&] { vexel::check_table(dir_.File("none.dbf")); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_THROW(c.call(), vexel::Error);
    EXPECT_FALSE(std::filesystem::exists(Mdx()));
    EXPECT_EQ(vx::test::ReadBytes(path), table_bytes);
  }
  // Held open by this program (shared): the build needs the table to itself.
  vexel::Table held = vexel::open(path);
  EXPECT_THROW(vexel::add_tag(path, {"T", "TITLE"}), vexel::Error);
  EXPECT_FALSE(std::filesystem::exists(Mdx()));
}

// A damaged tag is a finding under "tag NAME"; the repair names what it rebuilt and the old
// file it kept; a table the program has open meanwhile is still open and reads as before.
TEST_F(IndexingTest, CheckReportsAndRepairsWhileOtherTablesStayOpen) {
  const std::string path = Films(500);
  vexel::add_tag(path, {"TITLE", "TITLE"});
  vexel::add_tag(path, {"YEAR", "YEAR"});
  const std::string other_path = dir_.File("other.dbf");
  vexel::Table other = vexel::create(other_path, {{"NAME", 'C', 10, 0}});
  other.append({{"NAME", std::string("kept")}});

  // A key of the TITLE tag overwritten: out of order, and no record gives it.
  auto bytes = vx::test::ReadBytes(Mdx());
  const std::string key = "film 1";
  const auto at = std::search(bytes.begin(), bytes.end(), key.begin(), key.end());
  ASSERT_NE(at, bytes.end());
  std::fill(at, at + 6, 'Z');
  vx::test::WriteBytes(Mdx(), bytes);

  const vexel::TableCheck found = vexel::check_table(path);
  EXPECT_FALSE(found.ok);
  const auto findings = found.findings();
  ASSERT_FALSE(findings.empty());
  EXPECT_EQ(findings[0].where, "tag TITLE");
  EXPECT_FALSE(found.tags[0].problems.empty());
  EXPECT_TRUE(found.tags[1].problems.empty());
  EXPECT_FALSE(found.repair);

  const vexel::TableCheck repaired = vexel::check_table(path, true);
  ASSERT_TRUE(repaired.repair);
  EXPECT_EQ(repaired.repair->rebuilt, std::vector<std::string>{"TITLE"});
  EXPECT_TRUE(std::filesystem::exists(repaired.repair->backup)) << repaired.repair->backup;
  EXPECT_TRUE(vexel::check_table(path).ok);

  EXPECT_TRUE(other.is_open());
  EXPECT_EQ(other.read(1).text("NAME"), "kept");
}

}  // namespace
