// The browser's settings and its query window, driven as a user would: the dialog's choices
// change the window at once and are there in the next session; SQL runs over the folder's
// tables, says where it went wrong, remembers what ran and exports what it showed.

#include <gmock/gmock.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QLineEdit>
#include <QTableWidget>
#include <fstream>
#include <sstream>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "tests/browser/browser_fixture.h"
#ifdef VX_HAVE_SQLITE
#include "browser/query_window.h"
#endif

namespace vx::browser {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// Every choice of the dialog, OK, then the same settings in the next session; the date
// style goes back at the end, since the engine's date settings belong to the process.
TEST_F(BrowserTest, SettingsChangeTheWindowAtOnceAndAreKeptForTheNextSession) {
  const std::string path = MakeFilmTable();
  Browse(path);
  browser_->Table->Edit();
  browser_->Table->FieldByName("PREMIERE")->SetAsDateTime(EncodeDate(1942, 11, 26));
  browser_->Table->Post();
  browser_->Table->Last();
  browser_->ToggleDeleted();  // Metropolis, marked deleted
  ASSERT_EQ(ViewColumn().size(), kTitles.size());
  ASSERT_THAT(Status(), HasSubstr("(no mark: locale)"));
  const int font_before = browser_->Grid->Font().Size();

  QDialog* dialog = browser_->ShowSettings();
  auto* style = dialog->findChild<QComboBox*>("DateStyle");
  ASSERT_NE(style, nullptr);
  style->setCurrentIndex(style->findData(5));  // German
  dialog->findChild<QCheckBox*>("Century")->setChecked(false);
  dialog->findChild<QCheckBox*>("ShowDeleted")->setChecked(false);
  auto* page = dialog->findChild<QComboBox*>("UnmarkedPage");
  page->setCurrentIndex(page->findData(866));
  dialog->findChild<QSpinBox*>("FontSize")->setValue(font_before + 4);
  dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();

  const auto expect_settings = [&](const char* when) {
    SCOPED_TRACE(when);
    browser_->Table->First();
    EXPECT_EQ(browser_->Table->FieldByName("PREMIERE")->DisplayText(), "26.11.42");
    EXPECT_EQ(ViewColumn().size(), kTitles.size() - 1) << "the deleted record is hidden";
    EXPECT_FALSE(browser_->ShowDeletedAction->isChecked());
    EXPECT_EQ(browser_->CodePage(), 866);
    EXPECT_THAT(Status(), HasSubstr("code page 866 (no mark: settings)"));
    EXPECT_EQ(browser_->Grid->Font().Size(), font_before + 4);
  };
  expect_settings("after OK");
  delete browser_;
  browser_ = nullptr;
  Browse(path);
  expect_settings("in the next session");

  browser_->SetUserSettings(UserSettings{});
  browser_->Table->First();
  EXPECT_EQ(browser_->Table->FieldByName("PREMIERE")->DisplayText(), "11/26/1942");
  EXPECT_EQ(ViewColumn().size(), kTitles.size());
}

#ifdef VX_HAVE_SQLITE
std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> ResultColumn(const QTableWidget& result, int column) {
  std::vector<std::string> values;
  for (int row = 0; row < result.rowCount(); ++row)
    values.push_back(result.item(row, column)->text().toStdString());
  return values;
}

// SQL over the film table and a second table of its folder: rows in the grid, a join, an
// update the browser's grid shows, errors placed by line and column, the history kept for the
// next window, and the rows shown exported as CSV.
TEST_F(BrowserTest, TheQueryWindowRunsSqlOverTheFolderAndSaysWhereItWentWrong) {
  const std::string path = MakeFilmTable();
  {
    vexel::create(dir_.File("PEOPLE.DBF"), {{"TITLE", 'C', 20, 0}, {"NAME", 'C', 20, 0}});
    vexel::Table people = vexel::open(dir_.File("PEOPLE.DBF"));
    people.append({{"TITLE", std::string("Alien")}, {"NAME", std::string("Ridley Scott")}});
    people.append({{"TITLE", std::string("Matrix")}, {"NAME", std::string("Lana Wachowski")}});
  }
  Browse(path);
  browser_->QueryAction->trigger();
  TQueryWindow* query = browser_->QueryWindow();
  ASSERT_NE(query, nullptr);
  ASSERT_EQ(query->Tables().size(), 2u);
  EXPECT_EQ(query->Tables()[0].first, "movie");
  EXPECT_EQ(query->Tables()[1].first, "PEOPLE");

  EXPECT_TRUE(query->Run("SELECT TITLE, YEAR FROM movie WHERE YEAR < 1993 ORDER BY TITLE"));
  EXPECT_THAT(ResultColumn(*query->Result, 0), ElementsAre("Alien", "Matrix", "Zorro"));
  EXPECT_THAT(ResultColumn(*query->Result, 1), ElementsAre("1992", "1991", "1990"));
  EXPECT_TRUE(query->Run("SELECT p.NAME, m.YEAR FROM movie m JOIN PEOPLE p ON p.TITLE = m.TITLE "
                         "ORDER BY m.YEAR"));
  EXPECT_THAT(ResultColumn(*query->Result, 0), ElementsAre("Lana Wachowski", "Ridley Scott"));
  EXPECT_THAT(query->Message->text().toStdString(), HasSubstr("2 row(s). Read-only: JOIN"));
  ASSERT_TRUE(query->ExportCsv(dir_.File("people.csv")));
  EXPECT_EQ(ReadText(dir_.File("people.csv")),
            "NAME,YEAR\r\nLana Wachowski,1991\r\nRidley Scott,1992\r\n");

  // An update goes through the table's locks and tag; the grid shows it.
  EXPECT_TRUE(query->Run("UPDATE movie SET TITLE = 'Zelig' WHERE _recno = 1"));
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kTitle), "Zelig               ");
  EXPECT_EQ(GridTitles().front(), "Zelig");
  EXPECT_THAT(query->Message->text().toStdString(), HasSubstr("1 record(s) changed"));

  struct Mistake {
    std::string sql;
    const char* error;
    const char* place;
  };
  const std::vector<Mistake> mistakes = {
      {"SELECT TITLE FROM movie WHER YEAR > 1", "syntax error", "line 1, column 30"},
      {"SELECT TITLE\nFROM movie WHERE TITEL = 1", "no such column: TITEL", "line 2, column 18"},
      {"SELECT 1;\nSELECT NOPE FROM movie", "no such column: NOPE", "line 2, column 8"},
  };
  for (const Mistake& m : mistakes) {
    SCOPED_TRACE(m.sql);
    // Typed into the editor and run with Ctrl+Enter.
    query->Editor->setPlainText(QString::fromStdString(m.sql));
    Press(query->Editor, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_THAT(query->Error(), HasSubstr(m.error));
    EXPECT_THAT(query->Message->text().toStdString(), HasSubstr(m.place));
  }
  EXPECT_EQ(query->Editor->textCursor().position(), 17) << "at NOPE in the text";

  // A window of the next session offers the statements run, newest first.
  browser_->OpenTable(path);
  browser_->QueryAction->trigger();
  query = browser_->QueryWindow();
  ASSERT_NE(query, nullptr);
  const std::vector<std::string> history = query->History();
  ASSERT_EQ(history.size(), 6u);
  EXPECT_EQ(history[0], "SELECT 1;\nSELECT NOPE FROM movie");
  EXPECT_EQ(history[3], "UPDATE movie SET TITLE = 'Zelig' WHERE _recno = 1");
  EXPECT_EQ(query->HistoryBox->count(), 6);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
}

// The result of a plain SELECT over one table is edited in its cells, each typed value an
// UPDATE of its record through the module: numbers as numbers, a value too wide refused in
// words with the stored value shown again, a record another program holds asked about as the
// main grid asks, its typed value kept in the cell until Enter writes it. Expressions and every
// other kind of result are read-only, with the reason under the grid.
TEST_F(BrowserTest, AQueryResultOfOneTablesRecordsIsEditedThroughTheModule) {
  const std::string path = MakeFilmTable();
  vexel::create(dir_.File("PEOPLE.DBF"), {{"TITLE", 'C', 20, 0}, {"NAME", 'C', 20, 0}});
  vexel::open(dir_.File("PEOPLE.DBF"))
      .append({{"TITLE", std::string("Zorro")}, {"NAME", std::string("Rouben Mamoulian")}});
  Browse(path);
  browser_->QueryAction->trigger();
  TQueryWindow* query = browser_->QueryWindow();
  ASSERT_NE(query, nullptr);
  QTableWidget& result = *query->Result;
  // F2 on the cell, the text over its value, Enter (or Esc).
  const auto type_into = [&](int row, int column, const std::string& text,
                             int key = Qt::Key_Return) {
    result.setCurrentCell(row, column);
    Press(&result, Qt::Key_F2);
    // The editor open now (closed ones wait for the event loop to delete them).
    QLineEdit* editor = nullptr;
    for (QLineEdit* open : result.viewport()->findChildren<QLineEdit*>()) {
      if (!open->isHidden()) editor = open;
    }
    ASSERT_NE(editor, nullptr) << "no editor opened";
    editor->selectAll();
    Type(editor, text);
    Press(editor, key);
    QCoreApplication::processEvents();  // the view commits the editor's text from its queue
  };

  ASSERT_TRUE(query->Run("SELECT TITLE, YEAR, YEAR + 1 AS NEXT FROM movie WHERE YEAR < 1993 "
                         "ORDER BY TITLE"));
  EXPECT_EQ(query->EditableTable(), "movie");
  EXPECT_THAT(query->Message->text().toStdString(),
              HasSubstr("Edits are written to the records of movie"));
  EXPECT_THAT(ResultColumn(result, 0), ElementsAre("Alien", "Matrix", "Zorro"));
  EXPECT_FALSE(result.item(0, 2)->flags() & Qt::ItemIsEditable) << "an expression";
  type_into(0, 0, "Alien 2");  // record 3
  type_into(2, 1, "1979");     // record 1
  EXPECT_EQ(StoredField("movie.DBF", 3, test::kTitle), "Alien 2             ");
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kYear), "1979");
  EXPECT_EQ(GridTitles()[2], "Alien 2") << "the browser's grid shows it";
  EXPECT_THAT(RecordedMessages(), IsEmpty());
  type_into(2, 1, "123456");
  ASSERT_EQ(RecordedMessages().size(), 1u);
  EXPECT_THAT(RecordedMessages()[0], HasSubstr("record 1 was not written"));
  EXPECT_THAT(RecordedMessages()[0], HasSubstr("YEAR"));
  EXPECT_EQ(result.item(2, 1)->text().toStdString(), "1979") << "the stored value again";
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kYear), "1979");

  // Record 2 held by another program: not written, asked about, kept in the cell.
  ClearRecordedMessages();
  {
    const std::unique_ptr<test::Child> holder = HoldRecordLock(path, 2);
    ASSERT_EQ(holder->Receive(), 'L');
    type_into(1, 0, "Matrix 2");
    ASSERT_EQ(RecordedMessages().size(), 1u);
    EXPECT_THAT(RecordedMessages()[0], HasSubstr("Record 2 is locked by another program"));
    EXPECT_TRUE(query->Pending(1, 0));
    EXPECT_EQ(result.item(1, 0)->text().toStdString(), "Matrix 2");
    EXPECT_THAT(query->Message->text().toStdString(), HasSubstr("your edit is kept in the cell"));
    EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Matrix              ");
    holder->Send('U');
    EXPECT_EQ(holder->Wait(), 0);
  }
  Press(&result, Qt::Key_Return);
  EXPECT_FALSE(query->Pending(1, 0));
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Matrix 2            ");
  // Esc on a refused value gives it up.
  {
    const std::unique_ptr<test::Child> holder = HoldRecordLock(path, 2);
    ASSERT_EQ(holder->Receive(), 'L');
    type_into(1, 0, "Matrix 3");
    ASSERT_TRUE(query->Pending(1, 0));
    Press(&result, Qt::Key_Escape);
    EXPECT_FALSE(query->Pending(1, 0));
    EXPECT_EQ(result.item(1, 0)->text().toStdString(), "Matrix 2");
    holder->Send('U');
    EXPECT_EQ(holder->Wait(), 0);
  }
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Matrix 2            ");

  struct ReadOnly {
    const char* sql;
    const char* why;
  };
  const std::vector<ReadOnly> read_only = {
      {"SELECT m.TITLE FROM movie m JOIN PEOPLE p ON p.TITLE = m.TITLE", "JOIN"},
      {"SELECT m.TITLE FROM movie m, PEOPLE p", "not the records of one table"},
      {"SELECT count(*), max(TITLE) FROM movie", "COUNT()"},
      {"SELECT DISTINCT YEAR FROM movie", "DISTINCT"},
      {"SELECT YEAR FROM movie GROUP BY YEAR", "GROUP"},
      {"SELECT YEAR * 2 AS Twice FROM movie", "no column of it is a field of movie"},
      {"SELECT TITLE FROM movie UNION SELECT NAME FROM PEOPLE", "UNION"},
      {"PRAGMA table_info(movie)", "not a SELECT"},
  };
  for (const ReadOnly& r : read_only) {
    SCOPED_TRACE(r.sql);
    ASSERT_TRUE(query->Run(r.sql)) << query->Error();
    EXPECT_EQ(query->EditableTable(), "");
    EXPECT_THAT(query->ReadOnlyWhy(), HasSubstr(r.why));
    EXPECT_THAT(query->Message->text().toStdString(), HasSubstr("Read-only: "));
    ASSERT_GT(result.rowCount(), 0);
    EXPECT_FALSE(result.item(0, 0)->flags() & Qt::ItemIsEditable);
  }
  // Deleted records shown on request are edited too.
  ASSERT_TRUE(query->Run("DELETE FROM movie WHERE _recno = 7"));
  ASSERT_TRUE(query->Run("SELECT TITLE FROM movie WHERE _deleted = 1"));
  type_into(0, 0, "Gone");
  EXPECT_EQ(StoredField("movie.DBF", 7, test::kTitle), "Gone                ");
}
#endif

}  // namespace
}  // namespace vx::browser
