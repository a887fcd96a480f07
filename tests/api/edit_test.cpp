// Edits by path with values as text (vexel/edit.hpp): how rows reach append_rows (by a header's
// columns or by name, an input that fails half way), what a row leaves unnamed, locate's
// callback, warnings, and an edit after a rewrite that a killed process left half done.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <span>
#include <string>
#include <vector>
#include <vexel/edit.hpp>
#include <vexel/vexel.hpp>

#include "engine/api/ops/file_replacement.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

class EditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vexel::create(path_, {{"TITLE", 'C', 10, 0}, {"YEAR", 'N', 4, 0}, {"SEEN", 'L', 1, 0}},
                  {.codepage = 437})
        .close();
  }
  // Rows from a list: by the header's columns, or each value naming its field.
  static vexel::RowInput Rows(std::vector<std::string> columns,
                              std::vector<std::vector<vexel::FieldText>> rows) {
    vexel::RowInput input{.columns = std::move(columns)};
    input.next = [rows = std::move(rows), i = std::size_t{0}](vexel::TextRow& row) mutable {
      if (i == rows.size()) return false;
      row = {"row " + std::to_string(i + 2), rows[i++]};
      return true;
    };
    return input;
  }
  std::vector<std::string> Titles() {
    std::vector<std::string> titles;
    const vexel::Table table = vexel::open(path_);
    for (const vexel::Record& r : table.scan()) {
      titles.push_back(r.text("TITLE") + (r.deleted() ? "*" : ""));
    }
    return titles;
  }
  vx::test::TempDir dir_;
  std::string path_ = dir_.File("films.dbf");
};

TEST_F(EditTest, AppendTakesRowsByColumnsOrByNameAndRefusesAnyBadRowBeforeWriting) {
  EXPECT_EQ(vexel::append_rows(path_, Rows({"year", "Title"}, {{{"", "1958"}, {"", "Vertigo"}}})),
            1u);
  // Unnamed fields are left without a value; an empty number is 0.
  EXPECT_EQ(vexel::append_rows(path_, Rows({}, {{}, {{"YEAR", ""}, {"TITLE", "M"}}})), 2u);
  const vexel::Table films = vexel::open(path_);
  EXPECT_EQ(films.read(1)["YEAR"], vexel::Value(std::int64_t{1958}));
  EXPECT_EQ(films.read(2)["YEAR"], vexel::Value());
  EXPECT_EQ(films.read(2)["SEEN"], vexel::Value());
  EXPECT_EQ(films.read(3)["YEAR"], vexel::Value(std::int64_t{0}));
  const struct {
    vexel::RowInput input;
    const char* message;
  } kBad[] = {
      {Rows({"TITLE", "NOPE"}, {}), "no field \"NOPE\""},
      {Rows({"TITLE", "title"}, {}), "the header names field TITLE twice"},
      {Rows({"TITLE"}, {{{"", "ok"}}, {{"", "ok"}, {"", "1"}}}),
       "row 3 has 2 values for 1 columns"},
      {Rows({}, {{{"TITLE", "ok"}}, {{"YEAR", "12345"}}}), "does not fit field YEAR"},
      {Rows({}, {{{"Year", "1"}, {"YEAR", "2"}}}), "row 2 names field YEAR twice"},
      {Rows({}, {{{"TITLE", "\xE2\x82\xAC"}}}), "row 2, field TITLE"},  // no euro in 437
  };
  for (const auto& c : kBad) {
    SCOPED_TRACE(c.message);
    try {
      vexel::append_rows(path_, c.input);
      ADD_FAILURE() << "appended";
    } catch (const vexel::InputError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  // An input that fails half way: its own exception, nothing written, no spool file left.
  struct Broken {};
  vexel::RowInput broken = Rows({"TITLE"}, {{{"", "a"}}});
  broken.next = [first = true](vexel::TextRow& row) mutable {
    if (!first) throw Broken{};
    first = false;
    row = {"row 2", {{"", "a"}}};
    return true;
  };
  broken.columns = {"TITLE"};
  EXPECT_THROW(vexel::append_rows(path_, broken), Broken);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Vertigo", "", "M"}));
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("VXS")) << entry.path();
  }
}

TEST_F(EditTest, SetDeleteRecallAndLocateWithItsCallbackAndWarnings) {
  vexel::append_rows(path_, Rows({"TITLE"}, {{{"", "Star"}}, {{"", "Stars"}}, {{"", "Other"}}}));
  std::vector<std::string> warnings;
  const vexel::OpenOptions lossy{.lossy = true,
                                 .warn = [&](const std::string& m) { warnings.push_back(m); }};
  vexel::set_fields(path_, 3, {{"title", "\xE2\x82\xAC"}, {"SEEN", "y"}}, lossy);
  EXPECT_EQ(warnings,
            (std::vector<std::string>{"1 character of code page 437 replaced by \"?\" (the lossy option)"}));
  vexel::delete_record(path_, 2);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Star", "Stars*", "?"}));
  vexel::recall_record(path_, 2);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Star", "Stars", "?"}));
  EXPECT_EQ(vexel::open(path_).read(3)["SEEN"], vexel::Value(true));

  std::vector<std::uint32_t> found;
  const auto all = [&](std::uint32_t n) { return found.push_back(n), true; };
  EXPECT_EQ(vexel::locate(path_, "TITLE NOCASE", "star", all), 2u);
  EXPECT_EQ(vexel::locate(path_, "TITLE", "Star",
                          [&](std::uint32_t n) { return found.push_back(n), false; }),
            1u);
  EXPECT_EQ(vexel::locate(path_, "TITLE EXACT", "Sta", all), 0u);
  EXPECT_EQ(found, (std::vector<std::uint32_t>{1, 2, 1}));
  EXPECT_THROW(vexel::locate(path_, "NOPE", "x", all), vexel::Error);
  EXPECT_THROW(vexel::set_fields(path_, 9, {{"TITLE", "x"}}), vexel::Error);
  EXPECT_THROW(vexel::delete_record(path_, 0), vexel::Error);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Star", "Stars", "?"}));
}

// A rewrite killed after it put its new table in place: the next edit puts the old files back
// first (an edit of the new ones would be lost when the journal is undone), and says so.
TEST_F(EditTest, AnEditUndoesARewriteAKilledProcessLeftHalfDone) {
  vexel::append_rows(path_, Rows({"TITLE"}, {{{"", "old"}}}));
  const std::string other = dir_.File("other.dbf");
  vexel::create(other, {{"TITLE", 'C', 10, 0}}).append({{"TITLE", std::string("new")}});
  {
    vx::test::Child rewriter([&](vx::test::Child&) {
      vx::ops::FileReplacement replacement(path_, {path_});
      // Only the file the replacement made goes in place: the new table is written into it.
      vx::os::File made = replacement.CreateTemp(0);
      const std::vector<unsigned char> bytes = vx::test::ReadBytes(other);
      if (made.WriteAt(0, std::as_bytes(std::span(bytes))) != 0) return 1;
      made.Close();
      vx::ops::ReplaceStageHook = [](vx::ops::ReplaceStage stage) {
        if (stage == vx::ops::ReplaceStage::kRenaming) ::_exit(7);
      };
      replacement.Replace();
      return 0;
    });
    ASSERT_EQ(rewriter.Wait(), 7);
  }
  ASSERT_TRUE(std::filesystem::exists(vx::ops::JournalPath(path_)));
  std::vector<std::string> warnings;
  vexel::append_rows(path_, Rows({"TITLE"}, {{{"", "added"}}}),
                     {.warn = [&](const std::string& m) { warnings.push_back(m); }});
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("an interrupted rewrite of " + path_ + " was undone"),
            std::string::npos)
      << warnings[0];
  EXPECT_FALSE(std::filesystem::exists(vx::ops::JournalPath(path_)));
  EXPECT_EQ(Titles(), (std::vector<std::string>{"old", "added"}));
}

}  // namespace
