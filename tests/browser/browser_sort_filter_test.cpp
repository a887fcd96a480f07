// Sorting by several columns (the background builder against a sort of the values themselves,
// and the window's Shift+click on the titles that adds a column or reverses one), the filter
// row whose cells become the filter bar's condition, and .NDX files opened with a table.

#include <gmock/gmock.h>

#include <QComboBox>
#include <QLabel>
#include <algorithm>
#include <tuple>
#include <vexel/edit.hpp>
#include <vexel/indexing.hpp>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "browser/column_filter.h"
#include "browser/filter_row.h"
#include "browser/sort_builder.h"
#include "browser/table_tools.h"
#include "tests/browser/browser_fixture.h"

namespace vx::browser {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

// Two keys in each order of the columns and each direction, over a table with many equal
// first keys: the order is the one std::sort gives the (first, second, record) values.
TEST(SortBuilderTest, SeveralKeysOrderAsTheirValuesDoWithEqualRecordsInRecordOrder) {
  test::TempDir dir;
  std::vector<test::Row> rows;
  for (int i = 0; i < 30000; ++i)
    rows.push_back({std::string(1, static_cast<char>('a' + (i * 7) % 5)), (i * 13) % 9 - 4});
  const std::string path = dir.File("KEYS.DBF");
  test::WriteBytes(path, test::TableBytes(rows));
  const FieldEntry code = StoredField('C', 1, 6), num = StoredField('N', 7, 5);
  struct Case {
    bool code_first, first_descending, second_descending;
  };
  for (const Case c : {Case{true, false, false}, Case{true, false, true}, Case{true, true, false},
                       Case{false, false, true}, Case{false, true, true}}) {
    SCOPED_TRACE(testing::Message() << c.code_first << c.first_descending << c.second_descending);
    SortSource source{path,
                      97,
                      12,
                      static_cast<std::int32_t>(rows.size()),
                      c.code_first ? code : num,
                      c.first_descending};
    source.more = {{c.code_first ? num : code, c.second_descending}};
    SortBuilder builder(source);
    builder.Wait();
    ASSERT_EQ(builder.Error(), "");
    std::vector<std::int32_t> expected(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) expected[i] = static_cast<std::int32_t>(i + 1);
    // The values themselves: a key turned around by negating it.
    const auto key = [&](std::int32_t n) {
      const test::Row& r = rows[static_cast<std::size_t>(n - 1)];
      const int letter = r.code[0], number = r.num;
      const int first = c.code_first ? letter : number, second = c.code_first ? number : letter;
      return std::make_tuple(c.first_descending ? -first : first,
                             c.second_descending ? -second : second, n);
    };
    std::sort(expected.begin(), expected.end(),
              [&](std::int32_t a, std::int32_t b) { return key(a) < key(b); });
    EXPECT_EQ(builder.TakeOrder(), expected);
  }
}

// A click on YEAR sorts by it; Shift+click on TITLE adds it for the years that are equal, and
// Shift+click on YEAR again turns the years around with the titles still ascending. The order
// box and the status line name the columns.
TEST_F(BrowserTest, ShiftClickOnATitleSortsByOneMoreColumn) {
  const std::string path = MakeFilmTable();
  const int years[] = {1995, 1990, 1995, 1990, 1992, 1995, 1992};
  for (std::size_t i = 0; i < kTitles.size(); ++i)
    vexel::set_fields(path, static_cast<std::uint32_t>(i + 1),
                      {{"YEAR", std::to_string(years[i])}});
  Browse(path);
  const auto sorted = [&](bool years_descending) {
    std::vector<std::size_t> order(kTitles.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      if (years[a] != years[b]) return years_descending ? years[a] > years[b] : years[a] < years[b];
      return kTitles[a] < kTitles[b];
    });
    std::vector<std::string> titles;
    for (const std::size_t i : order) titles.push_back(kTitles[i]);
    return titles;
  };
  const auto shift_click = [&](const std::string& name) {
    ClickCell(browser_->Grid->DataToRawColumn(ColumnOf(name)), 0, Qt::ShiftModifier);
    browser_->FinishSort();
  };

  ClickTitle("YEAR");
  browser_->FinishSort();
  shift_click("TITLE");
  EXPECT_THAT(ViewColumn(), ElementsAreArray(sorted(false)));
  EXPECT_THAT(Status(), HasSubstr("by YEAR, TITLE (temporary)"));
  EXPECT_EQ(browser_->OrderBox->currentText().toStdString(),
            "YEAR \u25B2, TITLE \u25B2 (temporary)");

  shift_click("YEAR");
  EXPECT_THAT(ViewColumn(), ElementsAreArray(sorted(true)));
  EXPECT_THAT(Status(), HasSubstr("by YEAR descending, TITLE (temporary)"));

  // A plain click starts over with one column.
  ClickTitle("TITLE");
  browser_->FinishSort();
  EXPECT_THAT(Status(), Not(HasSubstr("YEAR")));
}

// What is typed under a column, as the condition it makes over the field's type.
TEST(ColumnConditionTest, TypedTextBecomesAConditionOfTheFieldsType) {
  struct Case {
    char type;
    const char* typed;
    const char* condition;  // "" with a problem
    const char* problem;
  };
  const Case cases[] = {
      {'C', "  ", "", ""},
      {'C', "hitch", "UPPER(\"hitch\") $ UPPER(F)", ""},
      {'C', "say \"hi\"", "UPPER('say \"hi\"') $ UPPER(F)", ""},
      {'C', "a\"b'c", "UPPER([a\"b'c]) $ UPPER(F)", ""},
      {'C', "a\"b'c[]", "", "every kind of quote"},
      {'C', ">= M", "F >= \"M\"", ""},
      {'C', "=Ma", "F = \"Ma\"", ""},
      {'N', "1950", "F = 1950", ""},
      {'N', "> 1950", "F > 1950", ""},
      {'N', "#-2.5", "F <> -2.5", ""},
      {'N', "<=", "", "is not a number"},
      {'N', "19x", "", "is not a number"},
      {'N', "nan", "", "is not a number"},
      {'D', "1942-11-26", "DTOS(F) = \"19421126\"", ""},
      {'D', "<19500101", "DTOS(F) < \"19500101\"", ""},
      {'D', "26.11.1942", "", "is not a date"},
      {'L', "t", "F", ""},
      {'L', "no", ".NOT. F", ""},
      {'L', "> T", "", "T or F"},
      {'M', "plot", "", "not filtered here"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.type) + " " + c.typed);
    std::string problem;
    EXPECT_EQ(ColumnCondition("F", c.type, c.typed, problem), c.condition);
    if (*c.problem == '\0') {
      EXPECT_EQ(problem, "");
    } else {
      EXPECT_THAT(problem, HasSubstr(c.problem));
    }
  }
  EXPECT_EQ(RowCondition({"A", "", "B"}), "A .AND. B");
}

// Cells typed under two columns: the filter bar shows their condition at once, Enter applies
// it, and a cell that makes no condition says why without touching the filter bar.
TEST_F(BrowserTest, TheFilterRowWritesItsConditionIntoTheFilterBar) {
  Browse(MakeFilmTable());
  TFilterRow& row = *browser_->FilterRow;
  ASSERT_NE(row.Cell(ColumnOf("TITLE")), nullptr);
  row.SetCell(ColumnOf("TITLE"), "ma");
  row.SetCell(ColumnOf("YEAR"), ">= 1993");
  EXPECT_EQ(browser_->FilterField->text().toStdString(),
            "UPPER(\"ma\") $ UPPER(TITLE) .AND. YEAR >= 1993");
  EXPECT_EQ(browser_->FilterMessage->text().toStdString(), "") << "the bar checked it";
  Press(row.Cell(ColumnOf("YEAR")), Qt::Key_Return);
  EXPECT_THAT(ViewColumn(), ElementsAre("Mad Max", "Ma Vie"));
  EXPECT_THAT(Status(), HasSubstr("filter: UPPER(\"ma\") $ UPPER(TITLE)"));

  row.SetCell(ColumnOf("YEAR"), "19x");
  EXPECT_THAT(browser_->FilterMessage->text().toStdString(), HasSubstr("YEAR: \"19x\" is not"));
  EXPECT_EQ(browser_->FilterField->text().toStdString(),
            "UPPER(\"ma\") $ UPPER(TITLE) .AND. YEAR >= 1993");
}


// A sort without a tag is kept with the table: the next session sorts again by the values
// (runtimes whose stored text orders otherwise than their numbers: "95" after "102" as text)
// and shows the records in that order.
TEST_F(BrowserTest, ASortWithoutATagComesBackInTheNextSessionByTheValues) {
  const std::string path = MakeFilmTable();
  const std::vector<int> runtimes = {102, 95, 221, 87, 109, 175, 121};
  Browse(path);
  for (std::size_t i = 0; i < runtimes.size(); ++i) {
    browser_->Table->SetRecNo(static_cast<std::int32_t>(i + 1));
    browser_->Table->Edit();
    browser_->Table->FieldByName("RUNTIME")->SetAsInteger(runtimes[i]);
    browser_->Table->Post();
  }
  ClickTitle("RUNTIME");
  browser_->FinishSort();
  ClickTitle("RUNTIME");  // descending
  browser_->FinishSort();
  const std::vector<std::string> expected = {"221", "175", "121", "109", "102", "95", "87"};
  EXPECT_THAT(ViewColumn("RUNTIME"), ElementsAreArray(expected));
  delete browser_;
  Browse(path);
  browser_->FinishSort();
  EXPECT_TRUE(browser_->Table->HasRecordOrder());
  EXPECT_THAT(ViewColumn("RUNTIME"), ElementsAreArray(expected));
  EXPECT_THAT(Status(), HasSubstr("by RUNTIME descending (temporary)"));
}

// .NDX files named with File > Open index files: each is an order in the box after the tags,
// shown and searched as the file holds it; an edit through the window keeps the file current
// (the library's check agrees) and the order follows it; the files and the order chosen come
// back with the table in the next session; a file that is no index of the table is refused in
// a message box and nothing else changes.
TEST_F(BrowserTest, NdxFilesOpenedWithTheTableOrderSearchAndStayCurrent) {
  const std::string path = MakeFilmTable();
  vexel::build_ndx(path, dir_.File("TITLES.NDX"), "UPPER(TITLE)");
  vexel::build_ndx(path, dir_.File("YEARS.NDX"), "YEAR");
  Browse(path);
  std::vector<std::string> named = {dir_.File("TITLES.NDX"), "YEARS"};
  browser_->AskNdxFiles = [&](std::vector<std::string>& paths) {
    paths = named;
    return true;
  };
  browser_->OpenNdxAction->trigger();
  const auto entries = [&] {
    std::vector<std::string> texts;
    for (int i = 0; i < browser_->OrderBox->count(); ++i)
      texts.push_back(browser_->OrderBox->itemText(i).toStdString());
    return texts;
  };
  ASSERT_THAT(entries(), ElementsAre("Natural order", "TITLE", "TITLES.NDX", "YEARS.NDX"));
  browser_->OrderBox->setCurrentIndex(2);
  EXPECT_THAT(Status(), HasSubstr("TITLES.NDX order"));
  EXPECT_THAT(ViewColumn(), ElementsAre("Alien", "Casablanca", "Ma Vie", "Mad Max", "Matrix",
                                        "Metropolis", "Zorro"));
  browser_->Table->First();
  Type(browser_->SearchField, "mad");
  EXPECT_EQ(CurrentTitle(), "Mad Max");
  // Edited in the grid: the file is kept current and the order shows the new place.
  TypeIntoCell("TITLE", "Brazil", Qt::Key_Return);
  EXPECT_EQ(StoredField("movie.DBF", 4, test::kTitle), "Brazil              ");
  EXPECT_THAT(ViewColumn(), ElementsAre("Alien", "Brazil", "Casablanca", "Ma Vie", "Matrix",
                                        "Metropolis", "Zorro"));
  browser_->OrderBox->setCurrentIndex(3);
  browser_->Table->First();
  TypeIntoCell("YEAR", "2005", Qt::Key_Return);  // Zorro, 1990
  EXPECT_THAT(ViewColumn(), ElementsAre("Matrix", "Alien", "Brazil", "Ma Vie", "Casablanca",
                                        "Metropolis", "Zorro"));
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
  for (const char* file : {"TITLES.NDX", "YEARS.NDX"}) {
    SCOPED_TRACE(file);
    const vexel::NdxCheck check = vexel::check_ndx(path, dir_.File(file));
    EXPECT_TRUE(check.ok()) << (check.problems.empty() ? "" : check.problems[0]);
  }

  // The next session opens them with the table, in the order last chosen.
  delete browser_;
  Browse(path);
  EXPECT_THAT(entries(), ElementsAre("Natural order", "TITLE", "TITLES.NDX", "YEARS.NDX"));
  EXPECT_EQ(browser_->OrderBox->currentIndex(), 3);
  EXPECT_EQ(ViewColumn().back(), "Zorro");
  // Pack (Table menu) rebuilds them with the table's new record numbers.
  vexel::delete_record(path, 2);  // Matrix
  browser_->Tools->Confirm = [](const std::string&) { return true; };
  ASSERT_TRUE(browser_->Tools->Pack()) << browser_->Tools->LastMessage;
  EXPECT_EQ(ViewColumn().back(), "Zorro");
  EXPECT_EQ(ViewColumn().size(), 6u);
  for (const char* file : {"TITLES.NDX", "YEARS.NDX"}) {
    SCOPED_TRACE(file);
    const vexel::NdxCheck check = vexel::check_ndx(path, dir_.File(file));
    EXPECT_TRUE(check.ok()) << (check.problems.empty() ? "" : check.problems[0]);
  }
  // A file that is missing or no index of this table: said, nothing added.
  named = {"NOPE.NDX", dir_.File("movie.MDX")};
  browser_->AskNdxFiles = [&](std::vector<std::string>& paths) {
    paths = named;
    return true;
  };
  browser_->OpenNdxAction->trigger();
  EXPECT_EQ(RecordedMessages().size(), 2u);
  EXPECT_EQ(entries().size(), 4u);
}

}  // namespace
}  // namespace vx::browser
