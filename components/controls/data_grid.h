#pragma once
// TVxGrid, the dBASE-oriented data grid: TDBGrid with logical fields drawn as boxes of nine styles
// and toggled by mouse, space or Enter, records marked deleted painted in their own colours, a
// per-row colour event, a right-clicked title shown pressed in, corner-click events, and the
// stored "savedColumns" list that rebuilds the column set when a form is loaded.

#include <functional>
#include <string>
#include <utility>

#include "platform/dataset/strings.h"
#include "platform/widgets/db_grid.h"

namespace vx {

enum TVxBooleanBox {
  bbCheckBox,
  bbCheckMark,
  bbText,
  bbFillBox,
  bbFillBoxRed,
  bbRButton,
  bbRButtonRed,
  bbDot,
  bbDotRed,
};

// Chooses the colours of one row (cur_row counts data rows from 0); called before each of the
// row's cells is drawn, with the row's record active.
using TVxChangeColorsEvent = std::function<void(
    TObject* sender, int cur_row, TColor& indicator, TColor& cell, TColor& cell_text,
    TColor& hilite, TColor& hilite_text, TColor& deleted, TColor& deleted_text)>;
using TVxGridClickEvent = std::function<void(TColumn* column)>;

class TVxGrid : public TDBGrid {
 public:
  explicit TVxGrid(TComponent* owner);
  ~TVxGrid() override;

  // When false, moving past the last row (Tab, Left, Right, Down) never starts a new record.
  bool AutoAppend() const { return auto_append_; }
  void SetAutoAppend(bool value) { auto_append_ = value; }
  TVxBooleanBox BooleanBox() const { return boolean_box_; }
  void SetBooleanBox(TVxBooleanBox value);
  // Disables the depressed title; setting it first releases the depressed title.
  bool DepressDisabled() const { return depress_disabled_; }
  void SetDepressDisabled(bool value);
  // The fixed data columns: FixedCols() without the indicator column.
  int FixedColumns() const { return FixedCols() - IndicatorOffset(); }
  void SetFixedColumns(int value) { SetFixedCols(value + IndicatorOffset()); }

  // The column whose title is shown pressed in, or -1.
  int DepressedColumn() const;
  // Shows column `index`'s title pressed in and fires OnDepressTitle with it; ignored while
  // DepressDisabled and for an index outside the columns.
  void DepressColumn(int index);

  // The stored property "savedColumns": lines "key=value" that rebuild the column set (see the
  // table in data_grid.cpp). Malformed entries are skipped. Writing stores an empty list.
  void ReadSavedColumns(const TStrings& lines);
  void WriteSavedColumns(TStrings& lines) const { lines.Clear(); }

  TNotifyEvent OnCornerLeftClick;
  TNotifyEvent OnCornerRightClick;
  TVxChangeColorsEvent OnChangeColorsEvent;
  TVxGridClickEvent OnDepressTitle;

  // The off-screen picture all grids of the process share for text on colours the device cannot
  // show purely; nullptr while no grid exists.
  static const TBitmap* SharedBitmap();

  void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
  void KeyDown(std::uint16_t& key, TShiftState shift) override;
  void KeyPress(char& key) override;

 protected:
  void DrawCell(int col, int row, const TRect& rect, TGridDrawState state) override;
  void ColumnMoved(int from, int to) override;
  // Logical fields are toggled, never typed into.
  bool CanEditShow() const override;
  // Switches the current logical field between its true and false texts, when the grid allows
  // editing and the dataset can be edited.
  virtual void Toggle(TField* field);
  // Fills `rect` with the brush and draws `value` as a box of the BooleanBox style in the
  // font's colour; the canvas's pen and brush are kept.
  void DrawBox(TCanvas& canvas, const TRect& rect, bool value) const;

 private:
  // The seven colours of the row being drawn.
  struct RowColors {
    TColor indicator;
    TColor cell;
    TColor cell_text;
    TColor hilite;
    TColor hilite_text;
    TColor deleted;
    TColor deleted_text;
  };
  RowColors DefaultColors(int col, const TColumn* column) const;
  // The active record carries the deletion mark of a dBASE table.
  bool ActiveRecordDeleted() const;
  void DrawDataText(TCanvas& canvas, const TRect& rect, const std::string& text,
                    TAlignment alignment);

  bool auto_append_ = true;
  TVxBooleanBox boolean_box_ = bbCheckBox;
  bool depress_disabled_ = false;
  int depressed_ = -1;
};

// The true and false texts of a logical field: its DisplayValues split at the first ";", or
// "True" and "False" when it has none.
std::pair<std::string, std::string> LogicalTexts(const TField& field);

}  // namespace vx
