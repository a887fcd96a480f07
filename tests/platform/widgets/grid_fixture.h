#pragma once
// Test support for the data grids: the demo's film table opened through ZOvEzi in a fresh
// folder, a data source, and a grid of the class under test on a form, with input helpers that
// press, click and type at cell positions as a user would.

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/dataset/data_source.h"
#include "platform/widgets/db_grid.h"
#include "platform/widgets/forms.h"
#include "tests/components/dataset/dataset_fixture.h"

namespace vx::test {

template <class Grid>
class GridTest : public DatasetTest {
 protected:
  void SetUp() override {
    DatasetTest::SetUp();
    films_ = FilmDataset();
    source_ = new TDataSource(&form_);
    source_->SetDataSet(films_);
    window_ = std::make_unique<TForm>(nullptr);
    window_->SetBounds(0, 0, 700, 260);
    grid_ = new Grid(window_.get());
    grid_->SetParent(window_.get());
    grid_->SetDefaultRowHeight(18);
    grid_->SetBounds(0, 0, 680, 6 * 19 + 17);  // titles and five data rows, a scroll bar below
    grid_->SetDataSource(source_);
    window_->Show();
    grid_->SetFocus();
  }
  void TearDown() override {
    window_.reset();
    DatasetTest::TearDown();
  }

  // Opens the table holding `count` films "Film 1", "Film 2", ... of years 1901, 1902, ...
  void OpenFilms(int count) {
    films_->Open();
    std::vector<std::pair<std::string, int>> films;
    for (int i = 1; i <= count; ++i) films.emplace_back("Film " + std::to_string(i), 1900 + i);
    AddFilms(*films_, films);
    films_->First();
  }

  int RawColumn(const std::string& field) const {
    for (int i = 0; i < grid_->Columns().Count(); ++i) {
      if (grid_->Columns()[i]->FieldName() == field) return grid_->DataToRawColumn(i);
    }
    ADD_FAILURE() << "no column " << field;
    return -1;
  }
  TPoint Center(int col, int row) const {
    const TRect rect = grid_->CellRect(col, row);
    EXPECT_GT(rect.Width(), 0) << "cell " << col << "," << row << " is not shown";
    return {(rect.Left + rect.Right) / 2, (rect.Top + rect.Bottom) / 2};
  }
  void Click(int col, int row, TMouseButton button = mbLeft) {
    const TPoint at = Center(col, row);
    grid_->MouseDown(button, {}, at.X, at.Y);
    grid_->MouseUp(button, {}, at.X, at.Y);
  }
  // A key as the keyboard sends it: a Qt key event to the in-place editor when it is open,
  // else to the grid, so that the grid sees the key only through Qt's key translation.
  void Press(std::uint16_t key, TShiftState shift = {}) {
    Qt::KeyboardModifiers modifiers;
    if (shift.Contains(ssShift)) modifiers |= Qt::ShiftModifier;
    if (shift.Contains(ssCtrl)) modifiers |= Qt::ControlModifier;
    QWidget* target = grid_->EditorMode() ? grid_->InplaceEditor() : grid_->Widget();
    SendKey(target, QtKeyOf(key), {}, modifiers);
  }
  // The Qt key a virtual key comes from, written out here rather than taken from the code
  // under test.
  static int QtKeyOf(std::uint16_t key) {
    switch (key) {
      case VK_TAB:
        return Qt::Key_Tab;
      case VK_RETURN:
        return Qt::Key_Return;
      case VK_ESCAPE:
        return Qt::Key_Escape;
      case VK_PRIOR:
        return Qt::Key_PageUp;
      case VK_NEXT:
        return Qt::Key_PageDown;
      case VK_END:
        return Qt::Key_End;
      case VK_HOME:
        return Qt::Key_Home;
      case VK_LEFT:
        return Qt::Key_Left;
      case VK_UP:
        return Qt::Key_Up;
      case VK_RIGHT:
        return Qt::Key_Right;
      case VK_DOWN:
        return Qt::Key_Down;
      case VK_INSERT:
        return Qt::Key_Insert;
      case VK_DELETE:
        return Qt::Key_Delete;
      case VK_F2:
        return Qt::Key_F2;
      default:
        ADD_FAILURE() << "no Qt key for virtual key " << key;
        return 0;
    }
  }
  // Types `text` through Qt key events into the in-place editor when it is open, else into
  // the grid.
  void Type(const std::string& text) {
    for (char c : text) {
      QWidget* target = grid_->Widget();
      if (grid_->EditorMode()) target = grid_->InplaceEditor();
      SendKey(target, QtKey(c), c == '\r' || c == '\b' ? QString() : QString(QChar(c)));
    }
  }
  static int QtKey(char c) {
    if (c >= 'a' && c <= 'z') return Qt::Key_A + (c - 'a');
    if (c >= 'A' && c <= 'Z') return Qt::Key_A + (c - 'A');
    if (c >= '0' && c <= '9') return Qt::Key_0 + (c - '0');
    switch (c) {
      case ' ':
        return Qt::Key_Space;
      case '\r':
        return Qt::Key_Return;
      case '\b':
        return Qt::Key_Backspace;
      default:
        return 0;
    }
  }
  // A Qt key event delivered to `target` (the grid's widget or its in-place editor).
  static void SendKey(QWidget* target, int qt_key, const QString& text = {},
                      Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, qt_key, modifiers, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, qt_key, modifiers, text);
    QApplication::sendEvent(target, &release);
  }

  // The current record's title as the dataset holds it.
  std::string Title() const { return films_->FieldByName("TITLE")->AsString(); }

  ZOvEzi* films_ = nullptr;
  TDataSource* source_ = nullptr;
  std::unique_ptr<TForm> window_;
  Grid* grid_ = nullptr;
};

// How many pixels of `rect` in `image` have exactly `color`.
inline int CountPixels(const QImage& image, const TRect& rect, TColor color) {
  const QColor wanted = ToQColor(color);
  int count = 0;
  for (int y = rect.Top; y < rect.Bottom; ++y) {
    for (int x = rect.Left; x < rect.Right; ++x) {
      if (image.pixelColor(x, y) == wanted) ++count;
    }
  }
  return count;
}

}  // namespace vx::test
