// Table maintenance through the public library: what a program sees beyond vxdbf's output —
// results as structs, progress and warnings through its callbacks, a table this program holds
// open, and refusals that leave every old file in place.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vexel/edit.hpp>
#include <vexel/indexing.hpp>
#include <vexel/inspect.hpp>
#include <vexel/maintenance.hpp>

#include "tests/support/temp_dir.h"

namespace {

class MaintenanceApiTest : public ::testing::Test {
 protected:
  // 12 records, every third deleted, memos on the even ones, one tag on NUM.
  void MakeTable() {
    vexel::create(path_, {{"NAME", 'C', 10, 0}, {"NUM", 'N', 5, 0}, {"NOTES", 'M', 0, 0}},
                        {.version = 0x8B});
    vexel::Table t = vexel::open(path_);
    for (int i = 1; i <= 12; ++i) {
      t.append({{"NAME", "n" + std::to_string(i)},
                {"NUM", std::int64_t{100 - i}},
                {"NOTES", i % 2 == 0 ? std::string(300 * i, 'x') : std::string()}});
    }
    for (std::uint32_t n = 3; n <= 12; n += 3) t.remove(n);
    t.add_tag({"NUM", "NUM", "", false, false});
  }
  std::uintmax_t Size(const std::string& name) {
    return std::filesystem::file_size(dir_.File(name));
  }

  vx::test::TempDir dir_;
  std::string path_ = dir_.File("t.dbf");
};

TEST_F(MaintenanceApiTest, PackAndZapAnswerWhatTheyDidAndReportProgress) {
  MakeTable();
  std::vector<std::pair<std::string, std::int64_t>> steps;
  vexel::OpenOptions options;
  options.progress = [&](const std::string& label, std::int64_t done, std::int64_t) {
    steps.emplace_back(label, done);
  };
  const std::uintmax_t memo_before = Size("t.dbt");
  const vexel::PackResult pack = vexel::pack_table(path_, {}, options);
  EXPECT_EQ(pack.kept, 8);
  EXPECT_EQ(pack.removed, 4);
  EXPECT_EQ(pack.old_memo_size, memo_before);
  EXPECT_EQ(pack.new_memo_size, Size("t.dbt"));
  EXPECT_LT(pack.new_memo_size, pack.old_memo_size);  // the memos of 6 and 12 are gone
  EXPECT_EQ(pack.tags, std::vector<std::string>{"NUM"});
  EXPECT_TRUE(pack.backups.empty());
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.front(), (std::pair<std::string, std::int64_t>{"pack", 12}));
  EXPECT_EQ(steps.back().second, -1);                               // the work ended
  EXPECT_EQ(vexel::open(path_).seek("NUM", std::int64_t{95}), 4u);  // record 5 became 4

  const vexel::PackResult zap = vexel::zap_table(path_, {.backup = true});
  EXPECT_EQ(zap.kept, 0);
  EXPECT_EQ(zap.removed, 8);
  EXPECT_EQ(zap.backups.size(), 3u);  // table, memo file, index
  for (const std::string& backup : zap.backups) EXPECT_TRUE(std::filesystem::exists(backup));
  EXPECT_EQ(vexel::open(path_).size(), 0u);
}

// A Table this program holds open counts as another user: the rewrite is refused, nothing moves.
TEST_F(MaintenanceApiTest, RewritesRefuseATableThisProgramHoldsOpen) {
  MakeTable();
  {
    vexel::Table held = vexel::open(path_);
    EXPECT_THROW(vexel::pack_table(path_), vexel::LockError);
    vexel::AlterChanges drop;
    drop.drop = {"NOTES"};
    EXPECT_THROW(vexel::alter_table(path_, drop), vexel::LockError);
    EXPECT_EQ(held.size(), 12u);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("t.vxj")));
  EXPECT_EQ(vexel::pack_table(path_).kept, 8);
}

// The one options type says read_only to the operations as to open: those that only read go on,
// every one that would write is refused (InputError 5) with each file as it was.
TEST_F(MaintenanceApiTest, ReadOnlyOptionsReadButRefuseEveryWrite) {
  MakeTable();
  const auto bytes = [&](const char* name) {
    std::ifstream in(dir_.File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string table = bytes("t.dbf"), memo = bytes("t.dbt"), index = bytes("t.mdx");
  const vexel::OpenOptions o{.mode = vexel::OpenMode::read_only};
  vexel::AlterChanges drop;
  drop.drop = {"NOTES"};
  vexel::RowInput none;
  none.next = [](vexel::TextRow&) { return false; };
  const std::pair<const char*, std::function<void()>> kWrites[] = {
      {"append_rows", [&] { vexel::append_rows(path_, none, o); }},
      {"set_fields",
       [&] {
         vexel::set_fields(path_, 1, {{"NAME", "x"}}, o);
       }},
      {"delete_record", [&] { vexel::delete_record(path_, 1, o); }},
      {"pack_table", [&] { vexel::pack_table(path_, {}, o); }},
      {"zap_table", [&] { vexel::zap_table(path_, {}, o); }},
      {"pack_memo", [&] { vexel::pack_memo(path_, o); }},
      {"alter_table", [&] { vexel::alter_table(path_, drop, o); }},
      {"add_tag",
       [&] {
         vexel::open(path_, o).add_tag({"NAME", "NAME"});
       }},
      {"reindex", [&] { vexel::open(path_, o).reindex(); }},
      {"build_ndx", [&] { vexel::build_ndx(path_, dir_.File("n.ndx"), "NAME", false, o); }},
      {"check_table repair", [&] { vexel::check_table(path_, true, o); }},
  };
  for (const auto& [name, write] : kWrites) {
    try {
      write();
      ADD_FAILURE() << name << " wrote to a read_only table";
    } catch (const vexel::InputError& e) {
      EXPECT_EQ(e.code(), 5) << name;
      EXPECT_NE(std::string(e.what()).find("read-only"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(bytes("t.dbf"), table);
  EXPECT_EQ(bytes("t.dbt"), memo);
  EXPECT_EQ(bytes("t.mdx"), index);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("n.ndx")));
  EXPECT_EQ(vexel::describe(path_, o).records, 12u);
  EXPECT_TRUE(vexel::check_table(path_, false, o).ok);
  EXPECT_EQ(vexel::copy_table(path_, dir_.File("c.dbf"), {}, o).records, 12);
}

// A failed create --overwrite keeps the old table whole: a code page without a language driver
// is refused before the old memo file and index are removed.
TEST_F(MaintenanceApiTest, CreateRefusesBeforeTouchingTheOldTable) {
  MakeTable();
  const std::uintmax_t memo = Size("t.dbt"), index = Size("t.mdx");
  const struct {
    std::vector<vexel::Field> fields;
    vexel::CreateOptions options;
  } kRefused[] = {
      {{{"A", 'C', 5, 0}}, {.overwrite = false}},
      {{{"A", 'C', 5, 0}}, {.codepage = 12345, .overwrite = true}},
      {{{"A", 'C', 5, 0}}, {.version = 0x99, .overwrite = true}},
      {{{"A", 'C', 5, 0, false, true}}, {.version = 0x8B, .overwrite = true}},  // null: VFP only
      {{}, {.overwrite = true}},
  };
  for (const auto& c : kRefused) {
    EXPECT_THROW(vexel::create(path_, c.fields, c.options), vexel::InputError);
    EXPECT_EQ(Size("t.dbt"), memo);
    EXPECT_EQ(Size("t.mdx"), index);
    EXPECT_EQ(vexel::open(path_).size(), 12u);
  }
  EXPECT_THROW(vexel::check_fields({{"1A", 'C', 5, 0}}, 0), vexel::DefinitionError);
  vexel::create(path_, {{"A", 'C', 5, 0, false, true}}, {.version = 0x30, .overwrite = true});
  EXPECT_TRUE(vexel::open(path_).fields().at(0).nullable);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("t.dbt")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("t.mdx")));
}

// Renames come first, so a retype names the field by its new name; a copy in another page
// counts what the page lacks and says so through warn.
TEST_F(MaintenanceApiTest, AlterAndCopyFollowTheirDocumentedOrderAndReportLossyText) {
  vexel::create(path_, {{"NAME", 'C', 10, 0}, {"NUM", 'N', 5, 0}}, {.codepage = 1252});
  vexel::open(path_).append({{"NAME", "Zoë €"}, {"NUM", std::int64_t{42}}});
  vexel::AlterChanges changes;
  changes.rename = {{"num", "count"}};
  changes.retype = {{"COUNT", 'C', 6, 0}};
  const vexel::AlterResult alter = vexel::alter_table(path_, changes);
  EXPECT_EQ(alter.fields, 2u);
  EXPECT_EQ(alter.records, 1);
  EXPECT_EQ(vexel::open(path_).read(1).text("COUNT"), "42");

  std::vector<std::string> warnings;
  vexel::OpenOptions options;
  options.warn = [&](const std::string& message) { warnings.push_back(message); };
  const std::string copy = dir_.File("c.dbf");
  vexel::CopyOptions to437;
  to437.codepage = 437;
  EXPECT_THROW(vexel::copy_table(path_, copy, to437, options), vexel::InputError);
  EXPECT_FALSE(std::filesystem::exists(copy));
  options.lossy = true;
  to437.fields = {"name"};
  const vexel::CopyResult r = vexel::copy_table(path_, copy, to437, options);
  EXPECT_EQ(r.records, 1);
  EXPECT_EQ(r.table, copy);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("1 character of code page 437 replaced"), std::string::npos)
      << warnings[0];
  vexel::Table copied = vexel::open(copy);
  EXPECT_EQ(copied.fields().size(), 1u);
  EXPECT_EQ(copied.read(1).text("NAME"), "Zoë ?");
  copied.close();

  // A page no driver byte names goes with the copy as its .cpg, and from that copy to the next
  // one that keeps its page; a copy over it in a page with a driver byte takes the .cpg away.
  const std::string utf8 = dir_.File("u.dbf"), again = dir_.File("v.dbf");
  vexel::copy_table(path_, utf8, {.fields = {"NAME"}, .codepage = 65001});
  vexel::copy_table(utf8, again);
  for (const std::string& file : {utf8, again}) {
    vexel::Table t = vexel::open(file);
    EXPECT_EQ(t.codepage(), 65001) << file;
    EXPECT_EQ(t.read(1).text("NAME"), "Zoë €") << file;
  }
  vexel::copy_table(path_, utf8, {.codepage = 1252, .overwrite = true});
  EXPECT_EQ(vexel::open(utf8).codepage(), 1252);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("u.cpg")));
}

}  // namespace
