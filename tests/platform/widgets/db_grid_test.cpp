// TDBGrid driven as a user drives it, over the film table in ZOvEzi: columns, keys and clicks
// moving through records and columns, scrolling, appending, in-place editing that reaches the
// file, deleting with confirmation, column sizing and moving, and the painted cells.

#include "platform/widgets/db_grid.h"

#include <gmock/gmock.h>

#include <stdexcept>

#include <QFontMetrics>
#include <QLineEdit>
#include <QScrollBar>

#include "platform/dataset/application.h"
#include "tests/platform/widgets/grid_fixture.h"

namespace vx {
namespace {

using ::testing::ElementsAre;

class DBGridTest : public test::GridTest<TDBGrid> {};

std::vector<std::string> ColumnNames(const TDBGrid& grid) {
  std::vector<std::string> names;
  for (int i = 0; i < grid.Columns().Count(); ++i) names.push_back(grid.Columns()[i]->FieldName());
  return names;
}

TEST_F(DBGridTest, DefaultColumnsFollowTheFieldsUntilTheProgramAddsItsOwn) {
  EXPECT_EQ(grid_->Columns().Count(), 0) << "no columns while the dataset is closed";
  OpenFilms(3);
  EXPECT_THAT(ColumnNames(*grid_), ElementsAre("TITLE", "YEAR", "COLOR", "RUNTIME", "STARS",
                                               "DIRECTOR", "PLOT", "PREMIERE"));
  EXPECT_EQ(grid_->Columns().State(), csDefault);
  TColumn* year = grid_->Columns()[1];
  EXPECT_EQ(year->Field(), films_->FieldByName("YEAR"));
  EXPECT_EQ(year->Alignment(), taRightJustify) << "the field's alignment";
  EXPECT_EQ(year->Color(), clWindow);
  EXPECT_EQ(year->Title().Color(), clBtnFace);
  EXPECT_EQ(year->Title().Caption(), "YEAR");
  EXPECT_GT(grid_->Columns()[4]->Width(), grid_->Columns()[0]->Width()) << "STARS is 50 wide";

  // A hidden field loses its column; a new label shows in the title.
  films_->FieldByName("RUNTIME")->SetVisible(false);
  films_->FieldByName("YEAR")->SetDisplayLabel("Year");
  EXPECT_THAT(ColumnNames(*grid_),
              ElementsAre("TITLE", "YEAR", "COLOR", "STARS", "DIRECTOR", "PLOT", "PREMIERE"));
  EXPECT_EQ(grid_->Columns()[1], year) << "unchanged columns keep their objects";
  EXPECT_EQ(year->Title().Caption(), "Year");

  TColumn* title = grid_->Columns().Add();
  title->SetFieldName("TITLE");
  title->SetWidth(90);
  TColumn* missing = grid_->Columns().Add();
  missing->SetFieldName("NOSUCH");
  EXPECT_EQ(grid_->Columns().State(), csCustomized);
  EXPECT_THAT(ColumnNames(*grid_), ElementsAre("TITLE", "NOSUCH"));
  EXPECT_EQ(missing->Field(), nullptr);
  EXPECT_EQ(missing->Width(), 64);
  EXPECT_EQ(grid_->CellRect(grid_->DataToRawColumn(0), 1).Width(), 90);
  films_->FieldByName("RUNTIME")->SetVisible(true);
  EXPECT_EQ(grid_->Columns().Count(), 2) << "the program's columns stay";

  grid_->Columns().Clear();
  EXPECT_EQ(grid_->Columns().State(), csDefault);
  EXPECT_EQ(grid_->Columns().Count(), 8);
  films_->Close();
  EXPECT_EQ(grid_->Columns().Count(), 0);
  EXPECT_EQ(grid_->SelectedField(), nullptr);
}

// The scopes around a batch of changes end however the batch ends: after a throw the grid is
// laid out again and hears later changes, and the dataset's controls are enabled.
TEST_F(DBGridTest, ColumnsUpdateAndDisabledControlsEndWhenTheirWorkThrows) {
  OpenFilms(3);
  QScrollBar* across = nullptr;
  for (QScrollBar* child : grid_->Widget()->findChildren<QScrollBar*>()) {
    if (child->orientation() == Qt::Horizontal) across = child;
  }
  ASSERT_NE(across, nullptr);
  grid_->Columns()[0]->SetWidth(900);
  ASSERT_FALSE(across->isHidden()) << "the columns are wider than the grid";
  const auto work = [&] {
    const ColumnsUpdate update(grid_->Columns());
    const DisabledControls quiet(*films_);
    grid_->Columns().Clear();
    TColumn* title = grid_->Columns().Add();
    title->SetFieldName("TITLE");
    title->SetWidth(90);
    films_->Next();
    throw std::runtime_error("the batch fails");
  };
  EXPECT_THROW(work(), std::runtime_error);
  EXPECT_FALSE(films_->ControlsDisabled());
  EXPECT_TRUE(across->isHidden()) << "the grid was laid out for the one narrow column";
  grid_->Columns()[0]->SetWidth(2000);
  EXPECT_FALSE(across->isHidden()) << "later changes reach the grid";
}

TEST_F(DBGridTest, CellRectanglesAndMouseCoordinatesAgree) {
  OpenFilms(3);
  EXPECT_EQ(grid_->IndicatorOffset(), 1);
  EXPECT_EQ(grid_->TitleOffset(), 1);
  EXPECT_EQ(grid_->RowCount(), 4);
  EXPECT_EQ(grid_->VisibleRowCount(), 5);
  for (int row = 0; row < grid_->RowCount(); ++row) {
    for (int col = 0; col < 4; ++col) {
      const TRect rect = grid_->CellRect(col, row);
      SCOPED_TRACE(testing::Message() << col << "," << row);
      ASSERT_GT(rect.Width(), 0);
      EXPECT_EQ(rect.Height(), 18);
      EXPECT_EQ(grid_->MouseCoord(rect.Left, rect.Top), (TGridCoord{col, row}));
      EXPECT_EQ(grid_->MouseCoord(rect.Right - 1, rect.Bottom - 1), (TGridCoord{col, row}));
    }
  }
  // Rows past the records are not cells.
  EXPECT_EQ(grid_->CellRect(1, 4).Width(), 0);
  EXPECT_EQ(grid_->MouseCoord(10, 4 * 19 + 5), TGridCoord{});

  TDBGridOptions options = grid_->Options();
  options.Exclude(dgIndicator);
  options.Exclude(dgTitles);
  grid_->SetOptions(options);
  EXPECT_EQ(grid_->DataToRawColumn(0), 0);
  EXPECT_EQ(grid_->MouseCoord(1, 1), (TGridCoord{0, 0}));
  EXPECT_EQ(grid_->Row(), 0);
}

TEST_F(DBGridTest, KeysMoveThroughRecordsAndScrollingKeepsTheCurrentRecordVisible) {
  OpenFilms(30);
  const int rows = grid_->VisibleRowCount();
  ASSERT_EQ(rows, 5);
  const auto expect_visible = [&] {
    const TRect rect = grid_->CellRect(grid_->Col(), grid_->Row());
    EXPECT_GT(rect.Width(), 0);
    EXPECT_LE(rect.Bottom, grid_->ClientHeight());
    EXPECT_GE(grid_->Row(), grid_->TitleOffset());
    EXPECT_LT(grid_->Row(), grid_->TitleOffset() + rows);
  };
  for (int i = 0; i < 10; ++i) Press(VK_DOWN);
  EXPECT_EQ(films_->RecNo(), 11);
  EXPECT_EQ(Title(), "Film 11");
  EXPECT_EQ(grid_->Row(), grid_->TitleOffset() + rows - 1) << "the window scrolled along";
  expect_visible();
  Press(VK_UP);
  EXPECT_EQ(Title(), "Film 10");
  EXPECT_EQ(grid_->Row(), grid_->TitleOffset() + rows - 2);
  Press(VK_NEXT);
  EXPECT_EQ(Title(), "Film 15");
  expect_visible();
  Press(VK_END, {ssCtrl});
  EXPECT_EQ(Title(), "Film 30");
  EXPECT_EQ(grid_->Row(), grid_->TitleOffset() + rows - 1);
  expect_visible();
  Press(VK_PRIOR);
  EXPECT_EQ(Title(), "Film 25");
  Press(VK_HOME, {ssCtrl});
  EXPECT_EQ(Title(), "Film 1");
  EXPECT_EQ(grid_->Row(), grid_->TitleOffset());
  Press(VK_UP);
  EXPECT_EQ(Title(), "Film 1");

  // The wheel moves one record per notch, away from the user towards the first.
  grid_->MouseWheel(-3 * 120, {});
  EXPECT_EQ(Title(), "Film 4");
  grid_->MouseWheel(60, {});
  grid_->MouseWheel(60, {});
  EXPECT_EQ(Title(), "Film 3");
  expect_visible();

  // The scroll bar shows the record number and moves the records.
  QScrollBar* bar = nullptr;
  for (QScrollBar* child : grid_->Widget()->findChildren<QScrollBar*>()) {
    if (child->orientation() == Qt::Vertical) bar = child;
  }
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->value(), 3);
  EXPECT_EQ(bar->maximum(), 30);
  bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  EXPECT_EQ(Title(), "Film 4");
  bar->triggerAction(QAbstractSlider::SliderToMaximum);
  EXPECT_EQ(Title(), "Film 30");
  EXPECT_EQ(bar->value(), 30);
  bar->triggerAction(QAbstractSlider::SliderPageStepSub);
  EXPECT_EQ(Title(), "Film 25");
  bar->setSliderPosition(12);
  bar->triggerAction(QAbstractSlider::SliderMove);
  EXPECT_EQ(Title(), "Film 12");
  EXPECT_EQ(bar->value(), 12);
  expect_visible();

  // Moving the dataset from elsewhere moves the grid's current row too.
  films_->Last();
  EXPECT_EQ(grid_->Row(), grid_->TitleOffset() + rows - 1);
  films_->First();
  EXPECT_EQ(grid_->Row(), grid_->TitleOffset());
}

TEST_F(DBGridTest, TabArrowsHomeAndEndMoveBetweenColumnsThroughTheQtKeys) {
  OpenFilms(3);
  std::vector<int> entered;
  grid_->OnColEnter = [&](TObject*) { entered.push_back(grid_->SelectedIndex()); };
  QWidget* widget = grid_->Widget();
  EXPECT_EQ(grid_->SelectedIndex(), 0);
  SendKey(widget, Qt::Key_Tab);
  SendKey(widget, Qt::Key_Right);
  EXPECT_EQ(grid_->SelectedField(), films_->FieldByName("COLOR"));
  SendKey(widget, Qt::Key_Left);
  SendKey(widget, Qt::Key_End);
  EXPECT_EQ(grid_->SelectedField(), films_->FieldByName("PREMIERE"));
  // The current column scrolls into view.
  const TRect last = grid_->CellRect(grid_->Col(), grid_->Row());
  EXPECT_GT(last.Width(), 0);
  EXPECT_LE(last.Right, grid_->ClientWidth());
  SendKey(widget, Qt::Key_Right);
  EXPECT_EQ(grid_->SelectedIndex(), 7) << "Right stops at the last column";
  // Tab past the last column goes on at the next record's first column; Shift+Tab comes back.
  SendKey(widget, Qt::Key_Tab);
  EXPECT_EQ(grid_->SelectedIndex(), 0);
  EXPECT_EQ(Title(), "Film 2");
  SendKey(widget, Qt::Key_Backtab, {}, Qt::ShiftModifier);
  EXPECT_EQ(grid_->SelectedIndex(), 7);
  EXPECT_EQ(Title(), "Film 1");
  SendKey(widget, Qt::Key_Home);
  EXPECT_EQ(grid_->SelectedIndex(), 0);
  EXPECT_THAT(entered, ElementsAre(1, 2, 1, 7, 0, 7, 0));

  // Hidden columns are skipped.
  grid_->Columns()[1]->SetVisible(false);
  SendKey(widget, Qt::Key_Right);
  EXPECT_EQ(grid_->SelectedIndex(), 2);
  EXPECT_EQ(grid_->CellRect(grid_->DataToRawColumn(1), 1).Width(), 0);
}

TEST_F(DBGridTest, DownPastTheLastRowAppendsOneRecordAndUpDropsItUntouched) {
  OpenFilms(2);
  Press(VK_DOWN);
  Press(VK_DOWN);
  EXPECT_EQ(films_->State(), dsInsert) << "Down past the last record appends";
  EXPECT_EQ(grid_->Row(), grid_->TitleOffset() + 2);
  Press(VK_DOWN);
  EXPECT_EQ(films_->State(), dsInsert);
  EXPECT_EQ(grid_->RowCount(), grid_->TitleOffset() + 3) << "only one new row";
  Press(VK_UP);
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(Title(), "Film 2");
  EXPECT_EQ(StoredRecords("movie.DBF"), 2u);

  // A typed new record is posted by moving on.
  Press(VK_DOWN);
  Type("Brazil");
  Press(VK_UP);
  EXPECT_EQ(StoredRecords("movie.DBF"), 3u);
  EXPECT_EQ(StoredField("movie.DBF", 3, test::kTitle), "Brazil              ");

  // A read-only grid appends nothing; nor does a grid without editing.
  Press(VK_END, {ssCtrl});
  grid_->SetReadOnly(true);
  Press(VK_DOWN);
  EXPECT_EQ(films_->State(), dsBrowse);
  grid_->SetReadOnly(false);
  TDBGridOptions options = grid_->Options();
  options.Exclude(dgEditing);
  grid_->SetOptions(options);
  Press(VK_DOWN);
  Press(VK_INSERT);
  EXPECT_EQ(films_->State(), dsBrowse);
}

TEST_F(DBGridTest, InPlaceEditingWritesTheRecordWhenLeavingTheRow) {
  OpenFilms(3);
  Press(VK_DOWN);
  // Typing starts the editor with the typed character in place of the text.
  Type("Vertigo");
  ASSERT_TRUE(grid_->EditorMode());
  QLineEdit* editor = grid_->InplaceEditor();
  EXPECT_EQ(editor->text(), "Vertigo");
  EXPECT_EQ(films_->State(), dsEdit);
  EXPECT_EQ(grid_->CellRect(grid_->Col(), grid_->Row()),
            Rect(editor->x(), editor->y(), editor->x() + editor->width(),
                 editor->y() + editor->height()));
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Film 2              ");
  // Down in the editor leaves the row: the text goes into the field and the record is posted.
  SendKey(editor, Qt::Key_Down);
  EXPECT_FALSE(grid_->EditorMode());
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(Title(), "Film 3");
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Vertigo             ");

  // F2 opens the editor on the field's text; Enter writes it and keeps the record in edit
  // until the row is left; Tab to another column writes as well.
  Press(VK_F2);
  ASSERT_TRUE(grid_->EditorMode());
  EXPECT_EQ(editor->text(), "Film 3");
  editor->selectAll();
  Type("Alie");
  Press(VK_F2);
  EXPECT_FALSE(grid_->EditorMode()) << "F2 closes the editor as it opened it";
  EXPECT_EQ(Title(), "Alie");
  Press(VK_F2);
  ASSERT_TRUE(grid_->EditorMode());
  editor->end(false);
  Type("n\r");
  EXPECT_FALSE(grid_->EditorMode());
  EXPECT_EQ(Title(), "Alien");
  EXPECT_EQ(films_->State(), dsEdit);
  Press(VK_TAB);
  Type("1979");
  SendKey(editor, Qt::Key_Tab);
  EXPECT_EQ(films_->FieldByName("YEAR")->AsInteger(), 1979);
  EXPECT_EQ(grid_->SelectedIndex(), 2);
  Press(VK_UP);
  EXPECT_EQ(StoredField("movie.DBF", 3, test::kTitle), "Alien               ");
  EXPECT_EQ(StoredField("movie.DBF", 3, test::kYear), "1979");

  // Escape drops the typed text, a second Escape the record's other changes.
  Press(VK_HOME);
  Type("Nothing");
  Press(VK_ESCAPE);
  EXPECT_FALSE(grid_->EditorMode());
  EXPECT_EQ(films_->State(), dsBrowse) << "nothing else changed: the edit is cancelled";
  EXPECT_EQ(Title(), "Vertigo");
  films_->Edit();
  films_->FieldByName("YEAR")->SetAsInteger(1958);
  Type("Lost");
  SendKey(editor, Qt::Key_Escape);
  EXPECT_EQ(films_->State(), dsEdit);
  EXPECT_EQ(Title(), "Vertigo");
  Press(VK_ESCAPE);
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(films_->FieldByName("YEAR")->AsInteger(), 1902);
}

TEST_F(DBGridTest, ARefusedValueKeepsTheEditorAndGoesToTheApplicationsHandler) {
  OpenFilms(2);
  grid_->SetSelectedField(films_->FieldByName("YEAR"));
  Type("19x1");
  ASSERT_TRUE(grid_->EditorMode());
  SendKey(grid_->InplaceEditor(), Qt::Key_Down);
  ASSERT_EQ(RecordedMessages().size(), 1u);
  EXPECT_THAT(RecordedMessages()[0], ::testing::HasSubstr("19x1"));
  EXPECT_TRUE(grid_->EditorMode()) << "the text is still there to correct";
  EXPECT_EQ(Title(), "Film 1");
  grid_->InplaceEditor()->setText("");
  Type("1911");
  SendKey(grid_->InplaceEditor(), Qt::Key_Down);
  EXPECT_EQ(Title(), "Film 2");
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kYear), "1911");
}

TEST_F(DBGridTest, AMistypedDateKeepsTheEditorTheTextAndTheStoredDate) {
  OpenFilms(2);
  films_->Edit();
  films_->FieldByName("PREMIERE")->SetAsDateTime(EncodeDate(1930, 1, 30));
  films_->Post();
  const std::string stored = StoredField("movie.DBF", 1, test::kPremiere);
  ASSERT_EQ(stored, "19300130");
  grid_->SetSelectedField(films_->FieldByName("PREMIERE"));
  Press(VK_F2);
  grid_->InplaceEditor()->selectAll();
  Type("13/45/2020");
  Press(VK_DOWN);
  EXPECT_THAT(RecordedMessages(), ElementsAre("        Invalid date       "));
  ASSERT_TRUE(grid_->EditorMode()) << "the text stays to be corrected";
  EXPECT_EQ(grid_->InplaceEditor()->text(), "13/45/2020");
  EXPECT_EQ(Title(), "Film 1");
  EXPECT_EQ(films_->FieldByName("PREMIERE")->AsDateTime(), EncodeDate(1930, 1, 30));
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kPremiere), stored);
  // Enter and F2 are refused alike; Escape gives the old date back.
  Press(VK_RETURN);
  EXPECT_TRUE(grid_->EditorMode());
  Press(VK_ESCAPE);
  EXPECT_FALSE(grid_->EditorMode());
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(films_->FieldByName("PREMIERE")->AsDateTime(), EncodeDate(1930, 1, 30));
  Press(VK_DOWN);
  EXPECT_EQ(Title(), "Film 2");
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kPremiere), stored);
}

TEST_F(DBGridTest, DateAndNumberColumnsFitTheirWidestDigits) {
  OpenFilms(1);
  for (const char* name : {"PREMIERE", "YEAR", "RUNTIME"}) {
    const TColumn* column = nullptr;
    for (int i = 0; i < grid_->Columns().Count(); ++i) {
      if (grid_->Columns()[i]->FieldName() == name) column = grid_->Columns()[i];
    }
    ASSERT_NE(column, nullptr);
    const QFontMetrics metrics(column->Font().ToQFont());
    int widest = 0;
    for (char digit = '0'; digit <= '9'; ++digit) {
      widest = std::max(widest, metrics.horizontalAdvance(QChar(digit)));
    }
    const int display = column->Field()->DisplayWidth();
    // The text and the 2-pixel margins on each side.
    EXPECT_GE(column->Width(), display * widest + 4) << name;
  }
}

TEST_F(DBGridTest, ClicksSelectCellsAndReportCellAndTitleClicks) {
  OpenFilms(4);
  std::vector<std::string> log;
  grid_->OnCellClick = [&](TColumn* c) { log.push_back("cell " + c->FieldName()); };
  grid_->OnTitleClick = [&](TColumn* c) { log.push_back("title " + c->FieldName()); };
  grid_->OnDblClick = [&](TObject*) {
    log.push_back("double " + grid_->SelectedField()->FieldName());
  };
  const int year = RawColumn("YEAR");
  Click(year, grid_->TitleOffset() + 2);
  EXPECT_EQ(Title(), "Film 3");
  EXPECT_EQ(grid_->SelectedField(), films_->FieldByName("YEAR"));
  EXPECT_FALSE(grid_->EditorMode());
  Click(year, 0);
  EXPECT_EQ(Title(), "Film 3");
  // A second click on the current cell opens the editor.
  Click(year, grid_->TitleOffset() + 2);
  EXPECT_TRUE(grid_->EditorMode());
  // Dragging over the rows carries the current cell along.
  const TPoint start = Center(year, grid_->TitleOffset() + 2);
  const TPoint end = Center(year + 1, grid_->TitleOffset() + 3);
  grid_->MouseDown(mbLeft, {}, start.X, start.Y);
  grid_->MouseMove({ssLeft}, end.X, end.Y);
  EXPECT_EQ(grid_->GridState(), gsSelecting);
  grid_->MouseUp(mbLeft, {}, end.X, end.Y);
  EXPECT_EQ(grid_->GridState(), gsNormal);
  EXPECT_EQ(Title(), "Film 4");
  EXPECT_EQ(grid_->Col(), year + 1);
  // A click on the indicator column moves to the row only.
  Click(0, grid_->TitleOffset());
  EXPECT_EQ(Title(), "Film 1");
  EXPECT_FALSE(grid_->EditorMode());
  // A double click through Qt: the press selects, then the grid reports the double click.
  Press(VK_END);
  const TPoint plot = Center(RawColumn("PLOT"), grid_->TitleOffset() + 1);
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(plot.X, plot.Y), QPointF(plot.X, plot.Y),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(grid_->Widget(), &press);
  QMouseEvent twice(QEvent::MouseButtonDblClick, QPointF(plot.X, plot.Y), QPointF(plot.X, plot.Y),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(grid_->Widget(), &twice);
  EXPECT_FALSE(grid_->EditorMode()) << "memos are not edited in one line";
  EXPECT_THAT(log, ElementsAre("cell YEAR", "title YEAR", "cell YEAR", "double PLOT"));
  EXPECT_EQ(Title(), "Film 2");
}

TEST_F(DBGridTest, DeleteAsksFirstAndInsertAddsBeforeTheCurrentRecord) {
  OpenFilms(3);
  Press(VK_DOWN);
  Press(VK_DELETE);
  EXPECT_TRUE(RecordedMessageBoxes().empty()) << "a plain Delete leaves the record alone";
  SetMessageBoxHook([](const std::string&, const std::string&, int) { return IDCANCEL; });
  Press(VK_DELETE, {ssCtrl});
  SetMessageBoxHook({});
  EXPECT_EQ(StoredFlag("movie.DBF", 2), ' ');
  Press(VK_DELETE, {ssCtrl});
  ASSERT_EQ(RecordedMessageBoxes().size(), 1u);
  EXPECT_EQ(RecordedMessageBoxes()[0].text, "Delete record?");
  EXPECT_EQ(RecordedMessageBoxes()[0].flags & MB_OKCANCEL, MB_OKCANCEL);
  EXPECT_EQ(StoredFlag("movie.DBF", 2), '*');

  TDBGridOptions options = grid_->Options();
  options.Exclude(dgConfirmDelete);
  grid_->SetOptions(options);
  Press(VK_DOWN);
  Press(VK_DELETE, {ssCtrl});
  EXPECT_EQ(StoredFlag("movie.DBF", 3), '*');
  EXPECT_EQ(RecordedMessageBoxes().size(), 1u);

  Press(VK_HOME, {ssCtrl});
  Press(VK_INSERT);
  EXPECT_EQ(films_->State(), dsInsert);
  EXPECT_EQ(grid_->Row(), grid_->TitleOffset());
  EXPECT_EQ(grid_->RowCount(), grid_->TitleOffset() + 4);
  Press(VK_ESCAPE);
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(Title(), "Film 1");
}

TEST_F(DBGridTest, TheEditorIsPartOfTheGridForTheFocus) {
  OpenFilms(3);
  window_->Widget()->activateWindow();
  QApplication::processEvents();
  grid_->SetFocus();
  ASSERT_TRUE(grid_->Focused()) << "the offscreen window takes the focus";
  auto* other = new TDBGrid(window_.get());
  other->SetParent(window_.get());
  other->SetTop(grid_->Height());
  std::vector<std::string> log;
  grid_->OnEnter = [&](TObject*) { log.push_back("enter"); };
  grid_->OnExit = [&](TObject*) { log.push_back("exit"); };

  // Only the focused grid shows its current cell highlighted.
  const TRect cell = grid_->CellRect(grid_->Col(), grid_->Row());
  EXPECT_GT(test::CountPixels(grid_->Grab(), cell, clHighlight), 100);
  Type("abc");
  EXPECT_TRUE(grid_->InplaceEditor()->hasFocus());
  SendKey(grid_->InplaceEditor(), Qt::Key_Return);
  EXPECT_TRUE(grid_->Focused());
  EXPECT_TRUE(log.empty()) << "the focus stayed within the grid";
  other->SetFocus();
  EXPECT_EQ(test::CountPixels(grid_->Grab(), cell, clHighlight), 0);
  EXPECT_THAT(log, ElementsAre("exit"));
  EXPECT_EQ(films_->State(), dsEdit) << "a changed record waits for the row to be left";
  films_->Cancel();

  // Leaving the grid drops an untouched new record (dgCancelOnExit), not a typed one, also when
  // the focus leaves from the editor.
  grid_->SetFocus();
  Press(VK_INSERT);
  other->SetFocus();
  EXPECT_EQ(films_->State(), dsBrowse);
  grid_->SetFocus();
  Press(VK_INSERT);
  Type("Kept");
  other->SetFocus();
  EXPECT_EQ(films_->State(), dsInsert);
  EXPECT_EQ(grid_->InplaceEditor()->text(), "Kept");
  EXPECT_THAT(log, ElementsAre("exit", "enter", "exit", "enter", "exit"));
}

TEST_F(DBGridTest, TitlesResizeAndMoveColumnsWithTheMouse) {
  OpenFilms(2);
  std::vector<std::pair<int, int>> moves;
  grid_->OnColumnMoved = [&](TObject*, int from, int to) { moves.emplace_back(from, to); };
  const int year = RawColumn("YEAR");
  const TRect rect = grid_->CellRect(year, 0);
  const int width = rect.Width();
  grid_->MouseDown(mbLeft, {}, rect.Right, 5);
  EXPECT_EQ(grid_->GridState(), gsColSizing);
  grid_->MouseMove({ssLeft}, rect.Right + 25, 5);
  grid_->MouseUp(mbLeft, {}, rect.Right + 25, 5);
  EXPECT_EQ(grid_->GridState(), gsNormal);
  EXPECT_EQ(grid_->Columns()[1]->Width(), width + 25);

  // Dragging the TITLE title onto COLOR's moves it there; the current column goes with it.
  const TPoint from = Center(RawColumn("TITLE"), 0);
  const TPoint to = Center(RawColumn("COLOR"), 0);
  grid_->MouseDown(mbLeft, {}, from.X, from.Y);
  grid_->MouseMove({ssLeft}, from.X + 20, from.Y);
  EXPECT_EQ(grid_->GridState(), gsColMoving);
  grid_->MouseMove({ssLeft}, to.X, to.Y);
  grid_->MouseUp(mbLeft, {}, to.X, to.Y);
  EXPECT_THAT(ColumnNames(*grid_), ElementsAre("YEAR", "COLOR", "TITLE", "RUNTIME", "STARS",
                                               "DIRECTOR", "PLOT", "PREMIERE"));
  EXPECT_THAT(moves, ElementsAre(std::make_pair(0, 2)));
  EXPECT_EQ(grid_->SelectedField(), films_->FieldByName("TITLE"));
  EXPECT_EQ(grid_->Columns().State(), csCustomized);
}

TEST_F(DBGridTest, PaintsTitlesTheCurrentRecordMarkAndTheSelection) {
  OpenFilms(3);
  TDBGridOptions options = grid_->Options();
  options.Include(dgAlwaysShowSelection);
  grid_->SetOptions(options);
  grid_->Columns()[1]->SetColor(clYellow);
  Press(VK_DOWN);
  QImage image = grid_->Grab();

  // Grid lines: black after fixed cells (titles, indicator), silver after data cells.
  const TRect title = grid_->CellRect(1, 0);
  const TRect data = grid_->CellRect(1, grid_->Row() - 1);
  const TRect indicator = grid_->CellRect(0, grid_->Row() - 1);
  EXPECT_EQ(image.pixelColor(title.Right, title.Top + 2), ToQColor(clBlack));
  EXPECT_EQ(image.pixelColor(title.Left + 2, title.Bottom), ToQColor(clBlack));
  EXPECT_EQ(image.pixelColor(indicator.Right, indicator.Top + 2), ToQColor(clBlack));
  EXPECT_EQ(image.pixelColor(data.Right, data.Top + 2), ToQColor(clSilver));
  EXPECT_EQ(image.pixelColor(data.Left + 2, data.Bottom), ToQColor(clSilver));

  // Titles are raised fixed cells.

  EXPECT_EQ(image.pixelColor(title.Left, title.Top), ToQColor(clBtnHighlight));
  EXPECT_EQ(image.pixelColor(title.Right - 1, title.Bottom - 1), ToQColor(clBtnShadow));
  EXPECT_GT(test::CountPixels(image, title, clBlack), 5) << "the caption";
  // The arrow marks the current row only.
  const int current = grid_->Row();
  EXPECT_GT(test::CountPixels(image, grid_->CellRect(0, current), clBlack), 5);
  EXPECT_EQ(test::CountPixels(image, grid_->CellRect(0, current - 1), clBlack), 0);
  // The current cell is highlighted; its neighbours keep their column colours.
  const TRect selected = grid_->CellRect(grid_->Col(), current);
  EXPECT_GT(test::CountPixels(image, selected, clHighlight), selected.Width() * 10);
  EXPECT_GT(test::CountPixels(image, grid_->CellRect(2, current), clYellow), 100);
  EXPECT_GT(test::CountPixels(image, grid_->CellRect(2, current - 1), clYellow), 100);

  // While editing, the mark changes from the arrow to an I-beam.
  films_->Edit();
  image = grid_->Grab();
  const TRect mark = grid_->CellRect(0, current);
  EXPECT_EQ(image.pixelColor((mark.Left + mark.Right) / 2, (mark.Top + mark.Bottom) / 2 - 4),
            ToQColor(clBlack));
  films_->Cancel();
}

}  // namespace
}  // namespace vx
