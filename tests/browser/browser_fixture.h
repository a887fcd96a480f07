#pragma once
// The browser window driven as a user would: keys typed into its fields and grid, clicks on
// the grid's cells and titles, over film tables written for each test. Settings go to a
// folder of the test's own.

#include <gmock/gmock.h>

#include <QApplication>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "browser/browser_form.h"
#include "platform/os/file.h"
#include "tests/components/dataset/dataset_fixture.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/mdx_writer.h"

namespace vx::browser {

// Record order; the TITLE tag orders them Alien, Casablanca, Ma Vie, Mad Max, Matrix, ...
inline const std::vector<std::string> kTitles = {"Zorro",  "Matrix",     "Alien",     "Mad Max",
                                                 "Ma Vie", "Casablanca", "Metropolis"};

// A field as a table's header describes it: its type, its place in the stored record (the
// deletion flag at 0 comes first) and its width.
inline FieldEntry StoredField(char type, std::uint16_t offset, std::uint16_t length) {
  FieldEntry field;
  field.type = type;
  field.offset = offset;
  field.length = length;
  return field;
}

class BrowserTest : public test::DatasetTest {
 protected:
  void SetUp() override {
    DatasetTest::SetUp();
    setenv("XDG_CONFIG_HOME", dir_.File("config").c_str(), 1);
    QCoreApplication::setOrganizationName("VexelTest");
    QCoreApplication::setApplicationName("vexel");
  }
  void TearDown() override {
    delete browser_;
    browser_ = nullptr;
    DatasetTest::TearDown();
  }

  std::string MakeFilmTable() { return MakeIndexedFilms(kTitles); }

  TBrowserForm* Browse(const std::string& path) {
    browser_ = new TBrowserForm(nullptr);
    browser_->Show();
    EXPECT_TRUE(browser_->OpenTable(path));
    return browser_;
  }

  static void Type(QWidget* widget, const std::string& text) {
    for (QChar c : QString::fromStdString(text)) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(widget, &press);
    }
  }
  static void Press(QWidget* widget, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(widget, &press);
  }
  // Opens the cell of field `name` in the current record, types `text` over its value and
  // presses `key` in the cell editor.
  void TypeIntoCell(const std::string& name, const std::string& text, int key) {
    browser_->Grid->SetFocus();
    browser_->Grid->SetSelectedIndex(ColumnOf(name));
    browser_->Grid->SetEditorMode(true);
    ASSERT_NE(browser_->Grid->InplaceEditor(), nullptr);
    browser_->Grid->InplaceEditor()->selectAll();
    Type(browser_->Grid->InplaceEditor(), text);
    Press(browser_->Grid->InplaceEditor(), key);
  }
  // A key as the grid takes it, through its key handler.
  void GridKey(std::uint16_t key, TShiftState shift = {}) { browser_->Grid->KeyDown(key, shift); }

  QPointF CellCentre(int col, int row) {
    const TRect cell = browser_->Grid->CellRect(col, row);
    return {cell.Left + cell.Width() / 2.0, cell.Top + cell.Height() / 2.0};
  }
  // Clicks the grid's cell at raw column `col`, raw row `row` (row 0 is the titles).
  void ClickCell(int col, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    const QPointF at = CellCentre(col, row);
    QMouseEvent press(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton, modifiers);
    QMouseEvent release(QEvent::MouseButtonRelease, at, at, Qt::LeftButton, Qt::NoButton,
                        modifiers);
    QApplication::sendEvent(browser_->Grid->Widget(), &press);
    QApplication::sendEvent(browser_->Grid->Widget(), &release);
  }
  // Presses the left button on one cell, drags over to another and lets go there.
  void DragCells(int col, int row, int to_col, int to_row) {
    QWidget* widget = browser_->Grid->Widget();
    const QPointF from = CellCentre(col, row), to = CellCentre(to_col, to_row);
    QMouseEvent press(QEvent::MouseButtonPress, from, from, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent move(QEvent::MouseMove, to, to, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, to, to, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &move);
    QApplication::sendEvent(widget, &release);
  }
  // Clicks the title of the column of field `name`.
  void ClickTitle(const std::string& name) {
    TBrowserGrid* grid = browser_->Grid;
    for (int i = 0; i < grid->Columns().Count(); ++i) {
      if (grid->Columns().Items(i)->FieldName() == name) {
        ClickCell(grid->DataToRawColumn(i), 0);
        return;
      }
    }
    ADD_FAILURE() << "no column " << name;
  }
  int ColumnOf(const std::string& name) {
    for (int i = 0; i < browser_->Grid->Columns().Count(); ++i) {
      if (browser_->Grid->Columns().Items(i)->FieldName() == name) return i;
    }
    return -1;
  }

  // The values of field `name` in every row of the grid's window, top to bottom.
  std::vector<std::string> GridColumn(const std::string& name = "TITLE") {
    std::vector<std::string> values;
    TDataLink& link = browser_->Grid->DataLink();
    for (int row = 0; row < link.RecordCount(); ++row) {
      LinkRecordScope scope(link, row);
      values.push_back(browser_->Table->FieldByName(name)->AsString());
    }
    return values;
  }
  std::vector<std::string> GridTitles() { return GridColumn("TITLE"); }
  // Every record of the view from the first, by `name`.
  std::vector<std::string> ViewColumn(const std::string& name = "TITLE") {
    std::vector<std::string> values;
    ZOvEzi* table = browser_->Table;
    for (table->First(); !table->Eof(); table->Next())
      values.push_back(table->FieldByName(name)->AsString());
    return values;
  }

  // Another program (a child process) holding film n's record lock: it sends 'L' once it
  // holds it and lets go when it receives anything.
  static std::unique_ptr<test::Child> HoldRecordLock(const std::string& path, int n) {
    return std::make_unique<test::Child>([path, n](test::Child& c) {
      os::File file;
      if (os::File::Open(path, os::kOpenReadWriteDenyNone, file) != os::kIoOk) return 1;
      if (file.LockRange(test::FilmRecordLock(n), test::kFilmRecordLength) != os::kIoOk) return 2;
      c.Send('L');
      c.Receive();
      return 0;
    });
  }

  std::string CurrentTitle() { return browser_->Table->FieldByName("TITLE")->AsString(); }
  std::string Status() { return browser_->StatusLine->Caption(); }

  TBrowserForm* browser_ = nullptr;
};

}  // namespace vx::browser
