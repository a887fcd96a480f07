// TVxGrid over the film table: logical cells toggled by mouse and keys, the depressed title and
// corner clicks, row colours and deleted records checked on painted pixels, the box styles,
// AutoAppend, and the stored "savedColumns" list.

#include "components/controls/data_grid.h"

#include <gmock/gmock.h>

#include <QImage>

#include "engine/foundation/settings.h"
#include "tests/platform/widgets/grid_fixture.h"

namespace vx {
namespace {

using ::testing::ElementsAre;

class VxGridTest : public test::GridTest<TVxGrid> {
 protected:
  // Opens three films and makes the COLOR column current on the first.
  TField* OpenOnColor(const std::string& display_values) {
    OpenFilms(3);
    auto* color = static_cast<TBooleanField*>(films_->FieldByName("COLOR"));
    color->SetDisplayValues(display_values);
    grid_->SetSelectedField(color);
    return color;
  }
  TRect DataCell(const std::string& field, int data_row) const {
    return grid_->CellRect(RawColumn(field), grid_->TitleOffset() + data_row);
  }
};

struct LogicalCase {
  const char* display_values;
  const char* true_text;
  const char* false_text;
};

class VxGridLogicalTest : public VxGridTest, public ::testing::WithParamInterface<LogicalCase> {};

TEST_P(VxGridLogicalTest, CellsToggleBetweenTheDisplayTexts) {
  const LogicalCase& c = GetParam();
  TField* color = OpenOnColor(c.display_values);
  EXPECT_EQ(LogicalTexts(*color),
            std::make_pair(std::string(c.true_text), std::string(c.false_text)));
  EXPECT_EQ(color->Text(), c.false_text);
  Type(" ");
  EXPECT_EQ(color->Text(), c.true_text);
  Type("\r");
  EXPECT_EQ(color->Text(), c.false_text);
  // A press on the cell of another row moves there and toggles that record.
  Click(RawColumn("COLOR"), grid_->TitleOffset() + 1);
  EXPECT_EQ(Title(), "Film 2");
  EXPECT_EQ(color->Text(), c.true_text);
  // Other characters and backspace change nothing and open no editor.
  Type("x\bT");
  EXPECT_EQ(color->Text(), c.true_text);
  EXPECT_FALSE(grid_->EditorMode());
  Press(VK_F2);
  EXPECT_FALSE(grid_->EditorMode());
  Press(VK_DOWN);
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kColor), "T");
  EXPECT_EQ(StoredField("movie.DBF", 1, test::kColor), "F");

  // Nothing toggles in a read-only grid; a press of any button on the current cell toggles.
  grid_->SetReadOnly(true);
  Type(" ");
  Click(RawColumn("COLOR"), grid_->Row());
  EXPECT_EQ(color->Text(), c.false_text);
  grid_->SetReadOnly(false);
  Click(RawColumn("COLOR"), grid_->Row(), mbRight);
  EXPECT_EQ(color->Text(), c.true_text);
  // A right press elsewhere does not move, so it toggles nothing.
  Click(RawColumn("COLOR"), grid_->TitleOffset(), mbRight);
  EXPECT_EQ(Title(), "Film 3");
  EXPECT_EQ(color->Text(), c.true_text);
}

INSTANTIATE_TEST_SUITE_P(DisplayValues, VxGridLogicalTest,
                         ::testing::Values(LogicalCase{"Si;No", "Si", "No"},
                                           LogicalCase{"", "True", "False"}));

TEST_F(VxGridTest, RightClickedTitlesArePressedInUnlessDisabled) {
  OpenFilms(2);
  std::vector<std::string> log;
  grid_->OnDepressTitle = [&](TColumn* c) { log.push_back("depress " + c->FieldName()); };
  grid_->OnTitleClick = [&](TColumn* c) { log.push_back("title " + c->FieldName()); };
  const int year = RawColumn("YEAR");
  Click(year, 0, mbRight);
  EXPECT_EQ(grid_->DepressedColumn(), 1);
  const TRect title = grid_->CellRect(year, 0);
  QImage image = grid_->Grab();
  EXPECT_EQ(image.pixelColor(title.Left, title.Top), ToQColor(clBtnShadow)) << "sunken";
  EXPECT_EQ(image.pixelColor(title.Right - 1, title.Bottom - 1), ToQColor(clBtnHighlight));
  const TRect other = grid_->CellRect(RawColumn("TITLE"), 0);
  EXPECT_EQ(image.pixelColor(other.Left, other.Top), ToQColor(clBtnHighlight)) << "raised";
  Click(year, 0);

  // The pressed-in title follows its column when columns move.
  grid_->MoveColumn(1, 3);
  EXPECT_EQ(grid_->DepressedColumn(), 3);
  grid_->MoveColumn(0, 4);
  EXPECT_EQ(grid_->DepressedColumn(), 2);
  EXPECT_EQ(grid_->Columns()[2]->FieldName(), "YEAR");

  grid_->SetDepressDisabled(true);
  EXPECT_EQ(grid_->DepressedColumn(), -1);
  Click(year, 0, mbRight);
  grid_->DepressColumn(0);
  EXPECT_EQ(grid_->DepressedColumn(), -1);
  grid_->SetDepressDisabled(false);
  grid_->DepressColumn(99);
  EXPECT_EQ(grid_->DepressedColumn(), -1);
  EXPECT_THAT(log, ElementsAre("depress YEAR", "title YEAR"));
}

TEST_F(VxGridTest, CornerClicksAreReportedByButton) {
  OpenFilms(1);
  std::vector<std::string> log;
  grid_->OnTitleClick = [&](TColumn*) { log.push_back("title"); };
  grid_->OnMouseUp = [&](TObject*, TMouseButton, TShiftState, int, int) { log.push_back("up"); };
  Click(0, 0);
  Click(0, 0, mbRight);
  grid_->OnCornerLeftClick = [&](TObject* sender) {
    log.push_back(sender == grid_ ? "left" : "?");
  };
  grid_->OnCornerRightClick = [&](TObject*) { log.push_back("right"); };
  Click(0, 0);
  Click(0, 0, mbRight);
  EXPECT_THAT(log, ElementsAre("up", "up", "left", "right"));
}

TEST_F(VxGridTest, RowColoursAndDeletedRecordsArePainted) {
  OpenFilms(3);
  films_->Next();
  films_->Delete();
  films_->First();
  const auto body = [](TRect rect) {  // away from the text, which starts at the top left
    rect.Left = rect.Right - 6;
    rect.Top = rect.Bottom - 3;
    return rect;
  };
  QImage image = grid_->Grab();
  const TRect deleted = DataCell("STARS", 1);
  EXPECT_EQ(test::CountPixels(image, body(deleted), clRed), 18);
  EXPECT_EQ(test::CountPixels(image, body(DataCell("STARS", 0)), clWindow), 18);
  // The deleted row's text is in the grid font's colour.
  EXPECT_GT(test::CountPixels(image, DataCell("TITLE", 1), clBlack), 10);

  std::vector<int> rows;
  grid_->OnChangeColorsEvent = [&](TObject*, int cur_row, TColor& indicator, TColor& cell,
                                   TColor& cell_text, TColor&, TColor&, TColor& deleted_color,
                                   TColor& deleted_text) {
    rows.push_back(cur_row);
    EXPECT_EQ(films_->FieldByName("TITLE")->AsString(), "Film " + std::to_string(cur_row + 1));
    if (cur_row == 0) {
      indicator = clAqua;
      cell = clYellow;
      cell_text = clBlue;
    }
    deleted_color = clLime;
    deleted_text = clFuchsia;
  };
  image = grid_->Grab();
  EXPECT_EQ(films_->RecNo(), 1) << "the active record is restored";
  EXPECT_EQ(test::CountPixels(image, body(DataCell("STARS", 0)), clYellow), 18);
  EXPECT_GT(test::CountPixels(image, DataCell("TITLE", 0), clBlue), 10);
  EXPECT_EQ(test::CountPixels(image, body(deleted), clLime), 18);
  EXPECT_GT(test::CountPixels(image, DataCell("TITLE", 1), clFuchsia), 10);
  EXPECT_EQ(test::CountPixels(image, body(DataCell("STARS", 2)), clWindow), 18);
  // The indicator's face takes the row's indicator colour; the arrow stays.
  const TRect mark = grid_->CellRect(0, grid_->TitleOffset());
  EXPECT_GT(test::CountPixels(image, mark, clAqua), 50);
  EXPECT_GT(test::CountPixels(image, mark, clBlack), 5);
  EXPECT_EQ(test::CountPixels(image, grid_->CellRect(0, grid_->TitleOffset() + 1), clAqua), 0);
  // Called for each cell shown of the rows that hold records, with the row's index.
  int shown = 0;
  for (int col = 0; col < grid_->ColCount(); ++col) {
    if (grid_->CellRect(col, grid_->TitleOffset() + 1).Width() > 0) ++shown;
  }
  EXPECT_EQ(std::count(rows.begin(), rows.end(), 1), shown);
  EXPECT_EQ(*std::max_element(rows.begin(), rows.end()), 2);
}

TEST_F(VxGridTest, BooleanBoxesShowTheValueInEveryStyle) {
  OpenFilms(2);
  films_->Edit();
  films_->FieldByName("COLOR")->SetAsBoolean(true);
  films_->Post();
  const TRect on = DataCell("COLOR", 0);
  const TRect off = DataCell("COLOR", 1);
  const auto centre = [](const QImage& image, const TRect& rect) {
    return FromQColor(image.pixelColor((rect.Left + rect.Right) / 2, (rect.Top + rect.Bottom) / 2));
  };
  const TVxBooleanBox kStyles[] = {bbCheckBox, bbCheckMark,  bbFillBox, bbFillBoxRed,
                                   bbRButton,  bbRButtonRed, bbDot,     bbDotRed};
  for (TVxBooleanBox style : kStyles) {
    SCOPED_TRACE(style);
    grid_->SetBooleanBox(style);
    const QImage image = grid_->Grab();
    const bool red = style == bbFillBoxRed || style == bbRButtonRed || style == bbDotRed;
    EXPECT_EQ(test::CountPixels(image, off, clBlack) > 0,
              style != bbCheckMark && style != bbDot && style != bbDotRed)
        << "false shows only a frame, in styles that have one";
    EXPECT_EQ(test::CountPixels(image, off, clRed), 0);
    EXPECT_GT(test::CountPixels(image, on, red ? clRed : clBlack), 8);
    if (style != bbCheckMark) {
      EXPECT_EQ(centre(image, on), red ? clRed : clBlack);
    }
    EXPECT_EQ(centre(image, off), ColorToRGB(clWindow));
  }
  // bbText writes the texts from the left, as other cells do.
  grid_->SetBooleanBox(bbText);
  const QImage image = grid_->Grab();
  EXPECT_EQ(FromQColor(image.pixelColor(on.Left + 1, on.Top + 1)), ColorToRGB(clWindow));
  EXPECT_GT(test::CountPixels(image, Rect(on.Left, on.Top, on.Left + 8, on.Bottom), clBlack), 5);
}

TEST_F(VxGridTest, WithoutAutoAppendMovingPastTheLastRowAddsNothing) {
  OpenFilms(2);
  grid_->SetAutoAppend(false);
  Press(VK_END, {ssCtrl});
  Press(VK_END);
  for (std::uint16_t key : {VK_DOWN, VK_TAB, VK_RIGHT, VK_LEFT, VK_DOWN}) Press(key);
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(Title(), "Film 2");
  EXPECT_FALSE(grid_->ReadOnly()) << "read-only only for the key";
  // Editing still works, and the edited row is posted by Down as usual.
  Press(VK_HOME);
  Type("Last");
  Press(VK_DOWN);
  EXPECT_EQ(films_->State(), dsBrowse);
  EXPECT_EQ(StoredField("movie.DBF", 2, test::kTitle), "Last                ");
  EXPECT_EQ(StoredRecords("movie.DBF"), 2u);

  grid_->SetAutoAppend(true);
  Press(VK_DOWN);
  EXPECT_EQ(films_->State(), dsInsert);
}

// Editing TITLE in the grid rewrites TITLE only: RUNTIME, COLOR and PREMIERE keep their stored
// bytes even where the grid could not show them exactly (blank, "?", a 1938 date shown with a
// two-digit year).
TEST_F(VxGridTest, EditingOneCellKeepsTheStoredBytesOfTheOtherFields) {
  OpenFilms(2);
  films_->Close();
  const std::vector<unsigned char> before = StoreOddValuesInFilmOne();
  CenturyOn = false;
  films_->Open();
  films_->First();
  grid_->SetSelectedField(films_->FieldByName("TITLE"));
  Type("Renamed");
  Press(VK_DOWN);
  ASSERT_EQ(films_->State(), dsBrowse);
  films_->Close();
  ExpectOnlyTitleOfFilmOneChanged(before, "Renamed");
}

TEST_F(VxGridTest, SavedColumnsRebuildTheColumnSet) {
  OpenFilms(1);
  TStringList saved{
      "cvColumn=1",
      "cvFieldNameStr=YEAR",
      "cvWidthStr=77",
      "cvColorStr=clYellow",
      "cvFontStr=Courier New,clRed,778",  // 10 points, bold and italic
      "cvAlignmentStr=taCenter",
      "cvReadOnlyStr=true",
      "cvTitleColorStr=$00FF0000",
      "cvTitleCaptionStr=Year, made",
      "cvTitleAlignmentStr=taRightJustify",
      "cvTitleFontStr=Arial,255,2056",  // 8 points, strike-out
      "cvColumn=0",
      "cvFieldNameStr=TITLE",
      "cvWidthStr=wide",  // malformed: skipped
      "cvColorStr=reddish",
      "cvColumn=5000000",  // beyond any grid: skipped, with what follows it
      "cvFieldNameStr=PLOT",
      "no equals sign",
  };
  grid_->ReadSavedColumns(saved);
  ASSERT_EQ(grid_->Columns().Count(), 2);
  EXPECT_EQ(grid_->Columns().State(), csCustomized);
  const TColumn& title = *grid_->Columns()[0];
  EXPECT_EQ(title.FieldName(), "TITLE");
  EXPECT_EQ(title.Color(), clWindow);
  EXPECT_EQ(title.Width(), title.DefaultWidth());
  const TColumn& year = *grid_->Columns()[1];
  EXPECT_EQ(year.FieldName(), "YEAR");
  EXPECT_EQ(year.Field(), films_->FieldByName("YEAR"));
  EXPECT_EQ(year.Width(), 77);
  EXPECT_EQ(year.Color(), clYellow);
  EXPECT_EQ(year.Font().Name, "Courier New");
  EXPECT_EQ(year.Font().Color, clRed);
  EXPECT_EQ(year.Font().Size(), 10);
  EXPECT_EQ(year.Font().Style, (TFontStyles{fsBold, fsItalic}));
  EXPECT_EQ(year.Alignment(), taCenter);
  EXPECT_TRUE(year.ReadOnly());
  EXPECT_EQ(year.Title().Color(), clBlue);
  EXPECT_EQ(year.Title().Caption(), "Year, made");
  EXPECT_EQ(year.Title().Alignment(), taRightJustify);
  EXPECT_EQ(year.Title().Font().Name, "Arial");
  EXPECT_EQ(year.Title().Font().Color, clRed);
  EXPECT_EQ(year.Title().Font().Size(), 8);
  EXPECT_EQ(year.Title().Font().Style, TFontStyles{fsStrikeOut});
  // The read-only column takes no typing.
  grid_->SetSelectedIndex(1);
  Type("1");
  EXPECT_FALSE(grid_->EditorMode());
  EXPECT_EQ(films_->State(), dsBrowse);

  TStringList written{"left over"};
  grid_->WriteSavedColumns(written);
  EXPECT_EQ(written.Count(), 0);

  // An empty list leaves the columns as they are; a lone empty column is a placeholder that
  // makes way for the default columns.
  grid_->ReadSavedColumns(written);
  EXPECT_EQ(grid_->Columns().Count(), 2);
  grid_->Columns().Clear();
  grid_->Columns().Add();
  grid_->ReadSavedColumns(written);
  EXPECT_EQ(grid_->Columns().State(), csDefault);
  EXPECT_EQ(grid_->Columns().Count(), 8);
  grid_->ReadSavedColumns(TStringList{"cvColumn=0", "cvFieldNameStr=STARS"});
  ASSERT_EQ(grid_->Columns().Count(), 1);
  EXPECT_EQ(grid_->Columns()[0]->FieldName(), "STARS");
}

TEST_F(VxGridTest, FixedColumnsCountWithoutTheIndicatorAndStayInPlace) {
  OpenFilms(1);
  EXPECT_EQ(grid_->FixedColumns(), 0);
  grid_->SetFixedColumns(1);
  EXPECT_EQ(grid_->FixedCols(), 2);
  EXPECT_EQ(grid_->FixedColumns(), 1);
  EXPECT_EQ(grid_->SelectedIndex(), 1) << "a fixed column is not current";
  // Scrolling to the last column keeps TITLE in place, painted in the fixed colour.
  Press(VK_END);
  EXPECT_EQ(grid_->CellRect(RawColumn("TITLE"), 1).Left, grid_->CellRect(0, 1).Right + 1);
  const QImage image = grid_->Grab();
  TRect title = DataCell("TITLE", 0);
  title.Left = title.Right - 4;
  EXPECT_EQ(test::CountPixels(image, title, clBtnFace), 4 * title.Height());
}

TEST(VxGridSharedBitmapTest, LivesFromTheFirstGridToTheLast) {
  EXPECT_EQ(TVxGrid::SharedBitmap(), nullptr);
  auto first = std::make_unique<TVxGrid>(nullptr);
  const TBitmap* bitmap = TVxGrid::SharedBitmap();
  ASSERT_NE(bitmap, nullptr);
  auto second = std::make_unique<TVxGrid>(nullptr);
  EXPECT_EQ(TVxGrid::SharedBitmap(), bitmap);
  first.reset();
  EXPECT_EQ(TVxGrid::SharedBitmap(), bitmap);
  second.reset();
  EXPECT_EQ(TVxGrid::SharedBitmap(), nullptr);
}

}  // namespace
}  // namespace vx
