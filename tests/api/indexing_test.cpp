// Index building through a Table and checking by path: progress through the table's options,
// the leaf fill over table sizes that change the tree's shape, refusals that change nothing,
// rebuilds of damaged indexes, the check's structured report, and tables the program holds open
// left as they were.

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
  // 500 films with the tags TITLE and YEAR.
  std::string IndexedFilms() {
    const std::string path = Films(500);
    vexel::Table t = vexel::open(path, {.mode = vexel::OpenMode::exclusive});
    t.add_tag({"TITLE", "TITLE"});
    t.add_tag({"YEAR", "YEAR"});
    return path;
  }
  // A key of the TITLE tag overwritten: out of order, and no record gives it.
  void DamageTitleKey() {
    auto bytes = vx::test::ReadBytes(Mdx());
    const std::string key = "film 1";
    const auto at = std::search(bytes.begin(), bytes.end(), key.begin(), key.end());
    ASSERT_NE(at, bytes.end());
    std::fill(at, at + 6, 'Z');
    vx::test::WriteBytes(Mdx(), bytes);
  }
  vx::test::TempDir dir_;
};

// A build through a Table reports as "index" through the options the table was opened with, up
// to its total and then ends; a lower fill leaves more leaves, whatever the size of the table
// (one leaf, a few, many levels).
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
    {
      vexel::Table t = vexel::open(path, options);
      t.add_tag({"TITLE", "UPPER(TITLE)", "YEAR > 1950", true, false});
    }
    const auto full = std::filesystem::file_size(Mdx());
    ASSERT_FALSE(steps.empty());
    for (const auto& [label, done] : steps) EXPECT_EQ(label, "index");
    EXPECT_LT(steps.back().second, 0);  // ended

    vexel::open(path).reindex(30);
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

// What cannot be built is refused with the public error of its kind, and the files stay as they
// were. A fill out of range is refused before anything, even on a closed table.
TEST_F(IndexingTest, RefusalsChangeNothing) {
  const std::string path = Films(20, 437);
  const std::string fox = dir_.File("fox.dbf");
  vexel::create(fox, {{"NAME", 'C', 10, 0}}, {.version = 0x30}).close();
  const std::string other = dir_.File("other.dbf");
  vexel::create(other, {{"TITLE", 'C', 20, 0}}).add_tag({"TITLE", "TITLE"});
  const auto table_bytes = vx::test::ReadBytes(path);
  vexel::Table closed = vexel::open(path);
  closed.close();
  enum class Kind { input, engine };
  struct Case {
    const char* what;
    std::function<void()> call;
    Kind kind;
    int code;
  };
  const auto exclusive = [](const std::string& file) {
    return vexel::open(file, {.mode = vexel::OpenMode::exclusive});
  };
  const Case cases[] = {
      {"fill 0",
       [&] {
         exclusive(path).add_tag({"T", "TITLE"}, 0);
       },
       Kind::input, 220},
      {"fill 101", [&] { exclusive(path).reindex(101); }, Kind::input, 220},
      {"fill on a closed table",
       [&] {
         closed.add_tag({"T", "TITLE"}, 0);
       },
       Kind::input, 220},
      {"closed table", [&] { closed.reindex(); }, Kind::engine, 215},
      {"opened with another index",
       [&] {
         vexel::open(path, {.mode = vexel::OpenMode::exclusive, .index = dir_.File("other.mdx")})
             .reindex();
       },
       Kind::input, 220},
      {"no index to rebuild", [&] { exclusive(path).reindex(); }, Kind::input, 220},
      {"no .CDX to rebuild", [&] { exclusive(fox).reindex(); }, Kind::input, 220},
      {"name outside the page",
       [&] {
         exclusive(path).add_tag({"T\xE2\x82\xAC", "TITLE"});
       },
       Kind::input, 220},
      {"key not UTF-8",
       [&] {
         exclusive(path).add_tag({"T", "TITLE+\"\xFF\""});
       },
       Kind::input, 220},
      {"name too long",
       [&] {
         exclusive(path).add_tag({"ELEVENCHARS", "TITLE"});
       },
       Kind::engine, 220},
      {"key that does not compile",
       [&] {
         exclusive(path).add_tag({"T", "NOPE + 1"});
       },
       Kind::engine, 0},
      // Held open by this program (shared): the build needs the table to itself.
      {"table shared with another Table",
       [&] {
         vexel::Table held = vexel::open(path);
         vexel::open(path).add_tag({"T", "TITLE"});
       },
       Kind::engine, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      c.call();
      ADD_FAILURE() << "not refused";
    } catch (const vexel::Error& e) {
      EXPECT_EQ(e.kind() == vexel::ErrorKind::input, c.kind == Kind::input) << e.what();
      if (c.code != 0) {
        EXPECT_EQ(e.code(), c.code) << e.what();
      }
    }
    EXPECT_FALSE(std::filesystem::exists(Mdx()));
    EXPECT_FALSE(std::filesystem::exists(dir_.File("fox.cdx")));
    EXPECT_EQ(vx::test::ReadBytes(path), table_bytes);
  }
}

// A rebuild mends an index whose trees are damaged, in a table opened as usual; one whose header
// cannot be read opens only with ignore_index, and its rebuild fails naming the reason with the
// file left as it was.
TEST_F(IndexingTest, ReindexMendsTreesButNotAnUnreadableHeader) {
  const std::string path = IndexedFilms();
  DamageTitleKey();
  ASSERT_FALSE(vexel::check_table(path).ok);
  vexel::open(path, {.mode = vexel::OpenMode::exclusive}).reindex();
  EXPECT_TRUE(vexel::check_table(path).ok);

  // Cut inside its header.
  auto bytes = vx::test::ReadBytes(Mdx());
  bytes.resize(1000);
  vx::test::WriteBytes(Mdx(), bytes);
  EXPECT_THROW(vexel::open(path, {.mode = vexel::OpenMode::exclusive}), vexel::Error);
  vexel::Table t = vexel::open(path, {.mode = vexel::OpenMode::exclusive, .ignore_index = true});
  EXPECT_THROW(t.reindex(), vexel::Error);
  EXPECT_EQ(vx::test::ReadBytes(Mdx()), bytes);
}

// A damaged tag is a finding under "tag NAME"; the repair names what it rebuilt and the old
// file it kept; a table the program has open meanwhile is still open and reads as before.
TEST_F(IndexingTest, CheckReportsAndRepairsWhileOtherTablesStayOpen) {
  const std::string path = IndexedFilms();
  const std::string other_path = dir_.File("other.dbf");
  vexel::Table other = vexel::create(other_path, {{"NAME", 'C', 10, 0}});
  other.append({{"NAME", std::string("kept")}});
  DamageTitleKey();

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
