// The small faults a day's work with the browser runs into, each driven as the user met it:
// the keys that end and save, where a found record lands, the window's state between
// sessions, the words for a table another program holds or a value too wide, the record
// form's view of a record, empty memos, an empty filter result and a long repair.

#include <gmock/gmock.h>

#include <QComboBox>
#include <QDateEdit>
#include <QGuiApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "browser/record_form.h"
#include "tests/browser/browser_fixture.h"

namespace vx::browser {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// "Film 00" .. "Film nn" in record order, with the TITLE tag.
std::vector<std::string> NumberedTitles(int count) {
  std::vector<std::string> titles;
  for (int i = 0; i < count; ++i) {
    char title[16];
    std::snprintf(title, sizeof title, "Film %02d", i);
    titles.emplace_back(title);
  }
  return titles;
}

// Whatever way a record is found, it lands in the upper half of the window, so the records
// after it (the next matches) show below it.
TEST_F(BrowserTest, AFoundRecordLandsWhereTheRecordsAfterItShow) {
  struct Case {
    const char* how;
    std::function<void(BrowserTest&, TBrowserForm&)> find;
    std::int32_t record;
  };
  const std::vector<Case> cases = {
      {"typed into the search field",
       [](BrowserTest&, TBrowserForm& form) {
         form.OrderBox->setCurrentIndex(1);
         form.Table->First();
         Type(form.SearchField, "Film 40");
       },
       41},
      {"F3 to the next match of the find field",
       [](BrowserTest&, TBrowserForm& form) {
         form.QuickField->setText("Film 6");
         Press(form.Grid->Widget(), Qt::Key_F3);  // Film 60, far below the window
       },
       61},
      {"Ctrl+G to a record number",
       [](BrowserTest&, TBrowserForm& form) {
         form.AskRecordNumber = [](std::int32_t& n) {
           n = 50;
           return true;
         };
         Press(form.Grid->Widget(), Qt::Key_G, Qt::ControlModifier);
       },
       50},
  };
  const std::string path = MakeIndexedFilms(NumberedTitles(90));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    delete browser_;
    Browse(path);
    browser_->Grid->SetFocus();
    c.find(*this, *browser_);
    ASSERT_EQ(browser_->Table->RecNo(), c.record);
    const TDataLink& link = browser_->Grid->DataLink();
    ASSERT_GT(link.RecordCount(), 10);
    EXPECT_LE(link.ActiveRecord(), (browser_->Grid->VisibleRowCount() - 1) / 2);
    EXPECT_LT(link.ActiveRecord() + 5, link.RecordCount()) << "records after it show";
  }
}

// Ctrl+Q ends the program as File > Exit does; a window maximised at exit comes back
// maximised, with its status line on the screen.
TEST_F(BrowserTest, CtrlQQuitsAndAMaximisedWindowComesBackMaximised) {
  const std::string path = MakeFilmTable();
  Browse(path);
  browser_->Widget()->setWindowState(Qt::WindowMaximized);
  QCoreApplication::processEvents();
  ASSERT_TRUE(browser_->Widget()->isMaximized());
  Press(browser_->Grid->Widget(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(browser_->Visible()) << "Ctrl+Q closed the window";
  delete browser_;
  browser_ = nullptr;

  Browse(path);
  QCoreApplication::processEvents();
  EXPECT_TRUE(browser_->Widget()->isMaximized());
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  QWidget* status = browser_->StatusPanel->Widget();
  EXPECT_TRUE(status->isVisible());
  EXPECT_LE(status->mapToGlobal(QPoint(0, status->height())).y(), screen.bottom() + 1);
  // Restored, the window has the size it had before it was maximised.
  browser_->Widget()->setWindowState(Qt::WindowNoState);
  QCoreApplication::processEvents();
  EXPECT_LT(browser_->Height(), screen.height());
}

// Enter in a cell saves the record; a value wider than its field is refused in words that
// name the field and its width, and nothing is written.
TEST_F(BrowserTest, EnterInACellSavesTheRecordOrSaysWhyNot) {
  struct Case {
    const char* field;
    const char* typed;
    test::FieldSpan span;
    std::string stored;   // film 1's bytes afterwards
    const char* refusal;  // "" when saved
  };
  const std::vector<Case> cases = {
      {"TITLE", "Rear Window", test::kTitle, "Rear Window         ", ""},
      {"YEAR", "1954", test::kYear, "1954", ""},
      {"YEAR", "12345", test::kYear, "1954", "YEAR"},
  };
  Browse(MakeFilmTable());
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " " + c.typed);
    ClearRecordedMessages();
    TypeIntoCell(c.field, c.typed, Qt::Key_Return);
    EXPECT_EQ(StoredField("movie.DBF", 1, c.span), c.stored);
    if (*c.refusal == 0) {
      EXPECT_THAT(RecordedMessages(), IsEmpty());
      EXPECT_EQ(browser_->Table->State(), dsBrowse);
    } else {
      ASSERT_EQ(RecordedMessages().size(), 1u);
      const std::string message = RecordedMessages()[0];
      EXPECT_THAT(message, HasSubstr(c.refusal));
      EXPECT_THAT(message, HasSubstr("4"));
      EXPECT_THAT(message, Not(HasSubstr("Error #")));
      EXPECT_THAT(message, Not(HasSubstr("[REPLACE]")));
      browser_->Table->Cancel();
    }
  }
}

// A table another program holds for its exclusive use is named as such, with Retry and
// Cancel offered instead of the engine's sharing-violation text; Retry opens it once the
// other program lets go.
TEST_F(BrowserTest, ATableHeldByAnotherProgramIsExplainedAndTriedAgain) {
  const std::string path = MakeFilmTable();
  auto holder = std::make_unique<test::Child>([path](test::Child& c) {
    os::File file;
    if (os::File::Open(path, os::kOpenReadWriteDenyAll, file) != os::kIoOk) return 1;
    c.Send('L');
    c.Receive();
    return 0;
  });
  ASSERT_EQ(holder->Receive(), 'L');
  browser_ = new TBrowserForm(nullptr);
  browser_->Show();
  std::vector<std::string> asked;
  std::vector<bool> readable;
  browser_->AskAboutHeldTable = [&](const std::string& text, bool can_read) {
    asked.push_back(text);
    readable.push_back(can_read);
    return TBrowserForm::HeldAnswer::kCancel;
  };
  EXPECT_FALSE(browser_->OpenTable(path));
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_THAT(asked[0], HasSubstr("movie.DBF is held by another program"));
  EXPECT_FALSE(readable[0]) << "a program's exclusive use keeps others from reading too";
  EXPECT_THAT(RecordedMessages(), IsEmpty()) << "no engine text after the question";
  EXPECT_THAT(Status(), HasSubstr("held by another program"));

  // Retry while it is still held asks again; once the other program lets go it opens.
  browser_->AskAboutHeldTable = [&](const std::string& text, bool) {
    asked.push_back(text);
    if (asked.size() == 3) {
      holder->Send('U');
      holder->Wait();
    }
    return TBrowserForm::HeldAnswer::kRetry;
  };
  EXPECT_TRUE(browser_->OpenTable(path));
  EXPECT_EQ(asked.size(), 3u);
  EXPECT_THAT(RecordedMessages(), IsEmpty());
  EXPECT_EQ(GridTitles().front(), "Zorro");
  EXPECT_THAT(Status(), Not(HasSubstr("read-only")));
}

// The record form shows a long text from its start and a date as the grid shows it.
TEST_F(BrowserTest, TheRecordFormShowsTextsFromTheirStartAndDatesAsTheGridDoes) {
  Browse(MakeFilmTable());
  const std::string stars = "Humphrey Bogart, Ingrid Bergman, Paul Henreid, Cl";
  browser_->Table->Edit();
  browser_->Table->FieldByName("STARS")->SetAsString(stars);
  browser_->Table->FieldByName("PREMIERE")->SetAsDateTime(EncodeDate(1942, 11, 26));
  browser_->Table->Post();
  browser_->ShowRecordForm(true);
  auto* line = qobject_cast<QLineEdit*>(browser_->RecordForm->Editor("STARS"));
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->text().toStdString(), stars);
  EXPECT_EQ(line->cursorPosition(), 0) << "the start of the text is in sight";
  auto* date = qobject_cast<QDateEdit*>(browser_->RecordForm->Editor("PREMIERE"));
  ASSERT_NE(date, nullptr);
  EXPECT_EQ(date->text().toStdString(), browser_->Table->FieldByName("PREMIERE")->DisplayText());
  EXPECT_EQ(date->text().toStdString(), "11/26/1942");
}

// A memo that holds nothing shows as an empty memo, "(Memo)", in every kind of table, Visual FoxPro's
// binary block numbers too; one that holds text shows as a memo with text.
TEST_F(BrowserTest, AnEmptyMemoShowsAsEmptyInEveryKindOfTable) {
  for (const std::uint8_t version : {std::uint8_t{0x8B}, std::uint8_t{0xF5}, std::uint8_t{0x30}}) {
    SCOPED_TRACE(static_cast<int>(version));
    delete browser_;
    browser_ = nullptr;
    const std::string path = dir_.File("NOTES" + std::to_string(version) + ".DBF");
    {
      vexel::CreateOptions create;
      create.version = version;
      vexel::create(path, {{"TITLE", 'C', 20, 0}, {"NOTES", 'M', version == 0x30 ? 4 : 10, 0}},
                          create);
      vexel::Table table = vexel::open(path);
      table.append({{"TITLE", std::string("Vertigo")}});
      table.append({{"TITLE", std::string("Psycho")}, {"NOTES", std::string("Bates Motel")}});
    }
    Browse(path);
    TField* notes = browser_->Table->FieldByName("NOTES");
    EXPECT_TRUE(notes->IsNull());
    EXPECT_EQ(notes->DisplayText(), "(Memo)");
    browser_->Table->Next();
    EXPECT_FALSE(notes->IsNull());
    EXPECT_EQ(notes->DisplayText(), "(MEMO)");
    EXPECT_EQ(notes->AsString(), "Bates Motel");
  }
}

// A filter that matches nothing leaves the grid with its titles alone: no empty row with a
// record mark stands for a record that is not there.
TEST_F(BrowserTest, AFilterWithNoMatchPaintsNoRow) {
  Browse(MakeFilmTable());
  browser_->FilterField->setText("YEAR > 9999");
  Press(browser_->FilterField, Qt::Key_Return);
  ASSERT_THAT(Status(), HasSubstr("0 of 7 records match"));
  TBrowserGrid* grid = browser_->Grid;
  const QImage picture = grid->Widget()->grab().toImage();
  // The first row below the titles paints as the empty space further down.
  const TRect first = grid->CellRect(0, 1);
  const QRgb empty = picture.pixel(first.Left + 2, first.Bottom + 4 * (first.Height() + 1));
  int marked = 0;
  for (int y = first.Top; y < first.Bottom; ++y) {
    for (int x = first.Left; x < std::min(first.Right + 100, picture.width() - 20); ++x)
      marked += picture.pixel(x, y) != empty;
  }
  EXPECT_EQ(marked, 0);
}

// Repairing a tag shows its progress in the status line and keeps the window painting (the
// window's events run while the tag is built).
TEST_F(BrowserTest, ARepairShowsItsProgressAndKeepsTheWindowAlive) {
  const std::vector<std::string> titles = NumberedTitles(300);
  const std::string path = MakeIndexedFilms(titles);
  std::vector<std::string> short_list(titles.begin(), titles.end() - 1);
  test::WriteBytes(dir_.File("movie.MDX"), test::BuildMdx("movie", {TitleTag(short_list)}));
  Browse(path);
  std::vector<int> progress;
  QObject::connect(browser_->SortProgress, &QProgressBar::valueChanged,
                   [&](int value) { progress.push_back(value); });
  bool ran_during_repair = false;
  SetMessageBoxHook([&](const std::string& text, const std::string&, int) {
    // Posted when the repair is asked for, run by the window's events while it works.
    if (text.find("Repair now?") != std::string::npos) {
      QTimer::singleShot(0, [&] {
        ran_during_repair = browser_->SortProgress->isVisible() && !browser_->Table->Active();
      });
    }
    return IDYES;
  });
  browser_->CheckAction->trigger();
  SetMessageBoxHook({});
  EXPECT_TRUE(ran_during_repair);
  ASSERT_THAT(progress, Not(IsEmpty()));
  EXPECT_EQ(progress.back(), 100);
  EXPECT_FALSE(browser_->SortProgress->isVisible());
  EXPECT_THAT(browser_->CheckReport, HasSubstr("Rebuilt tag(s) TITLE"));
  EXPECT_TRUE(browser_->Table->Active());
}

// An item of the tag whose record number reads -1 (a damaged node) is reported as an item that
// names no record, never as "record 4294967295".
TEST_F(BrowserTest, TheCheckNamesNoRecordThatIsNotThere) {
  const std::string path = MakeFilmTable();
  test::TagShape tag = TitleTag(kTitles);
  tag.items.back().second = 0xFFFFFFFF;
  test::WriteBytes(dir_.File("movie.MDX"), test::BuildMdx("movie", {tag}));
  Browse(path);
  SetMessageBoxHook([](const std::string&, const std::string&, int) { return IDNO; });
  browser_->CheckAction->trigger();
  SetMessageBoxHook({});
  EXPECT_THAT(browser_->CheckReport, HasSubstr("an item that names no record of the table"));
  EXPECT_THAT(browser_->CheckReport, HasSubstr("0xFFFFFFFF"));
  EXPECT_THAT(browser_->CheckReport, Not(HasSubstr("4294967295")));
}

}  // namespace
}  // namespace vx::browser
