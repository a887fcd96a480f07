#pragma once
// TDBGrid, the toolkit's data-aware grid: a control painted cell by cell over a data link whose
// buffer window is the grid's visible data rows. It holds its columns (TColumn, TDBGridColumns),
// moves through the dataset with keys, mouse, wheel and scroll bars, edits cells in an in-place
// line editor, and lets descendants and events draw cells. dBASE additions belong to TVxGrid.
//
// Raw grid coordinates count the title row (row 0 with dgTitles) and the indicator column
// (column 0 with dgIndicator); data columns are the indexes of Columns(), data rows the rows of
// the data link's window. Fixed columns are the indicator column and FixedCols() - 1 data
// columns after it; they stay in place while the other columns scroll horizontally.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dataset/component.h"
#include "platform/dataset/data_source.h"
#include "platform/dataset/fields.h"
#include "platform/widgets/controls.h"
#include "platform/widgets/graphics.h"

class QLineEdit;
class QScrollBar;

namespace vx {

class TColumn;
class TDBGrid;
class TDBGridColumns;
class GridDataLink;
class GridEditorFilter;
class GridHostWidget;

// A cell of the grid in raw coordinates; -1 stands for "outside the cells".
struct TGridCoord {
  int X = -1;
  int Y = -1;
  bool operator==(const TGridCoord&) const = default;
};

enum TGridDrawStateFlag { gdSelected, gdFocused, gdFixed };
using TGridDrawState = TSet<TGridDrawStateFlag>;

// What a mouse press started: nothing, a drag over data rows, a column resize or a column move.
enum TGridState { gsNormal, gsSelecting, gsColSizing, gsColMoving };

// dgRowSelect highlights whole rows and switches dgEditing off.
enum TDBGridOption {
  dgEditing,
  dgTitles,
  dgIndicator,
  dgColumnResize,
  dgColLines,
  dgRowLines,
  dgTabs,
  dgRowSelect,
  dgAlwaysShowSelection,
  dgConfirmDelete,
  dgCancelOnExit,
};
using TDBGridOptions = TSet<TDBGridOption>;

// csDefault: one column per visible field of the dataset, rebuilt whenever the fields change;
// csCustomized: the columns the program added, kept as they are.
enum TDBGridColumnsState { csDefault, csCustomized };

using TDBGridClickEvent = std::function<void(TColumn* column)>;
using TDrawColumnCellEvent = std::function<void(TObject* sender, const TRect& rect, int data_col,
                                                TColumn* column, TGridDrawState state)>;
using TMovedEvent = std::function<void(TObject* sender, int from_index, int to_index)>;

// Makes row `row` of a data link's window its active record for the scope's lifetime (to read
// or paint that row), then restores the active record.
class LinkRecordScope {
 public:
  LinkRecordScope(TDataLink& link, int row);
  ~LinkRecordScope();
  LinkRecordScope(const LinkRecordScope&) = delete;
  LinkRecordScope& operator=(const LinkRecordScope&) = delete;

 private:
  TDataLink& link_;
  int old_ = 0;
};

// Holds a grid's columns in an update for a scope (BeginUpdate), ended however the scope ends:
// the changes made meanwhile reach the grid once, at the end (a fault there is dropped when the
// scope is left by another exception).
class ColumnsUpdate {
 public:
  explicit ColumnsUpdate(TDBGridColumns& columns);
  ~ColumnsUpdate() noexcept(false);
  ColumnsUpdate(const ColumnsUpdate&) = delete;
  ColumnsUpdate& operator=(const ColumnsUpdate&) = delete;

 private:
  TDBGridColumns& columns_;
  int exceptions_;
};

// The title of a column. Every property answers its default until it is set.
class TColumnTitle {
 public:
  explicit TColumnTitle(TColumn* column) : column_(column) {}

  // The field's DisplayLabel; the field name when the field is missing.
  std::string Caption() const;
  void SetCaption(const std::string& value);
  TAlignment Alignment() const { return alignment_.value_or(taLeftJustify); }
  void SetAlignment(TAlignment value);
  // The grid's TitleFont by default.
  TFont Font() const;
  void SetFont(const TFont& value);
  TColor Color() const { return color_.value_or(clBtnFace); }
  void SetColor(TColor value);
  bool CaptionAssigned() const { return caption_.has_value(); }
  // Forgets every value set, back to the defaults.
  void RestoreDefaults();

 private:
  TColumn* column_;
  std::optional<std::string> caption_;
  std::optional<TAlignment> alignment_;
  std::optional<TFont> font_;
  std::optional<TColor> color_;
};

// One column of the grid: a field by name and how its cells look. Every property answers its
// default (from the field and the grid) until it is set.
class TColumn : public TObject {
 public:
  explicit TColumn(TDBGridColumns* collection);

  TDBGridColumns* Collection() const { return collection_; }
  TDBGrid* Grid() const;
  // Position in the collection.
  int Index() const;

  const std::string& FieldName() const { return field_name_; }
  void SetFieldName(const std::string& value);
  // The field of that name in the grid's open dataset, or nullptr.
  TField* Field() const;

  // Pixels; the default is the field's DisplayWidth in average characters of the column's font
  // (at least the title's width), 64 without a field. Values are kept within 0 .. 32767.
  int Width() const;
  void SetWidth(int value);
  int DefaultWidth() const;
  TColor Color() const { return color_.value_or(clWindow); }
  void SetColor(TColor value);
  // The grid's font by default.
  TFont Font() const;
  void SetFont(const TFont& value);
  // The field's alignment by default (left without a field).
  TAlignment Alignment() const;
  void SetAlignment(TAlignment value);
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  bool Visible() const { return visible_; }
  void SetVisible(bool value);
  TColumnTitle& Title() { return title_; }
  const TColumnTitle& Title() const { return title_; }

  // Forgets every value set (and the title's), back to the defaults.
  void RestoreDefaults();

 private:
  friend class TColumnTitle;
  friend class TDBGridColumns;
  // Tells the grid that the column's look or layout changed.
  void Changed();
  int MeasureDefaultWidth() const;

  TDBGridColumns* collection_;
  std::string field_name_;
  std::optional<int> width_;
  std::optional<TColor> color_;
  std::optional<TFont> font_;
  std::optional<TAlignment> alignment_;
  bool read_only_ = false;
  bool visible_ = true;
  TColumnTitle title_{this};
  // DefaultWidth() as measured in layout generation `default_width_generation_`.
  mutable int default_width_ = 0;
  mutable int default_width_generation_ = -1;
};

// The grid's columns. Without columns added by the program the collection is in csDefault and
// follows the dataset's visible fields; Add() replaces such default columns by the program's.
class TDBGridColumns {
 public:
  explicit TDBGridColumns(TDBGrid* grid) : grid_(grid) {}
  TDBGridColumns(const TDBGridColumns&) = delete;
  TDBGridColumns& operator=(const TDBGridColumns&) = delete;

  TDBGrid* Grid() const { return grid_; }
  int Count() const { return static_cast<int>(items_.size()); }
  TColumn* Items(int index) const { return items_.at(static_cast<std::size_t>(index)).get(); }
  TColumn* operator[](int index) const { return Items(index); }
  int IndexOf(const TColumn* column) const;

  // Appends a column (after dropping the default columns, which makes the state csCustomized).
  TColumn* Add();
  void Delete(int index);
  // Removes the program's columns: the collection returns to csDefault and follows the fields.
  void Clear();
  // Changes made between BeginUpdate and EndUpdate reach the grid once, at the end
  // (ColumnsUpdate makes the pair a scope).
  void BeginUpdate();
  void EndUpdate();

  TDBGridColumnsState State() const { return state_; }
  // csDefault drops the columns and rebuilds them from the fields; csCustomized keeps the
  // columns there are as the program's.
  void SetState(TDBGridColumnsState value);

 private:
  friend class TColumn;
  friend class TDBGrid;
  void Changed();
  void Move(int from, int to);
  // Rebuilds the default columns from the dataset's visible fields (csDefault only).
  void RebuildDefault();

  TDBGrid* grid_;
  std::vector<std::unique_ptr<TColumn>> items_;
  // Counts the changes that can change the columns' default widths (fonts, fields, titles).
  int generation_ = 0;
  TDBGridColumnsState state_ = csDefault;
  int update_count_ = 0;
  bool changed_ = false;
};

// Keys: Up and Down move one record (Down past the last record appends one when the grid may
// edit), PgUp and PgDn a page, Ctrl+Home and Ctrl+End to the first and last record; Left, Right,
// Home, End, Tab and Shift+Tab move between columns (Tab wraps to the next record); Insert
// inserts a record, Ctrl+Delete deletes one (asking "Delete record?" with dgConfirmDelete); F2 or
// Enter opens the in-place editor and typing opens it with the typed character; Escape drops
// the editor's text, and then the record's changes. A click makes a cell current, a second
// click on the current cell opens the editor, dragging a title's edge resizes its column and
// dragging a title moves it (dgColumnResize).
class TDBGrid : public TCustomControl {
 public:
  explicit TDBGrid(TComponent* owner);
  ~TDBGrid() override;

  // --- Data -----------------------------------------------------------------------------------
  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  TDataLink& DataLink();
  const TDataLink& DataLink() const;
  TDBGridColumns& Columns() { return columns_; }
  const TDBGridColumns& Columns() const { return columns_; }

  // --- Look and behaviour ---------------------------------------------------------------------
  TDBGridOptions Options() const { return options_; }
  void SetOptions(TDBGridOptions value);
  // A read-only grid neither edits, inserts, appends nor deletes.
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool value);
  TColor FixedColor() const { return fixed_color_; }
  void SetFixedColor(TColor value);
  // The fixed columns, the indicator column included (at least IndicatorOffset()).
  int FixedCols() const;
  void SetFixedCols(int value);
  // Height of every row without its grid line; follows the font until it is set.
  int DefaultRowHeight() const;
  void SetDefaultRowHeight(int value);
  const TFont& TitleFont() const { return title_font_; }
  void SetTitleFont(const TFont& value);
  // Whether cells are drawn by DefaultDrawColumnCell before OnDrawColumnCell (default true).
  bool DefaultDrawing() const { return default_drawing_; }
  void SetDefaultDrawing(bool value) { default_drawing_ = value; }

  // --- Position -------------------------------------------------------------------------------
  // The current cell in raw coordinates.
  int Row() const;
  int Col() const { return col_; }
  // Rows: titles and at least one data row; columns: indicator and data columns.
  int RowCount() const;
  int ColCount() const { return IndicatorOffset() + columns_.Count(); }
  // The first scrolling column shown (raw).
  int LeftCol() const { return left_col_; }
  // Data rows that fit the grid completely (at least 1): the data link's buffer count.
  int VisibleRowCount() const;
  // The current column's index in Columns(); -1 without columns.
  int SelectedIndex() const;
  void SetSelectedIndex(int value);
  // The current column's field, or nullptr.
  TField* SelectedField() const;
  // Makes the column of `field` current, when there is one.
  void SetSelectedField(TField* field);
  int IndicatorOffset() const { return options_.Contains(dgIndicator) ? 1 : 0; }
  int TitleOffset() const { return options_.Contains(dgTitles) ? 1 : 0; }
  int RawToDataColumn(int raw_col) const { return raw_col - IndicatorOffset(); }
  int DataToRawColumn(int data_col) const { return data_col + IndicatorOffset(); }
  // The cell under client point (x, y); X or Y is -1 outside the cells.
  TGridCoord MouseCoord(int x, int y) const;
  // The cell's rectangle without its grid lines; empty for a cell not shown.
  TRect CellRect(int col, int row) const;
  void InvalidateCell(int col, int row);
  void InvalidateTitles();
  void InvalidateRow(int row);

  // --- Editing --------------------------------------------------------------------------------
  // Whether the in-place editor is shown. Switching it off writes its text into the field.
  bool EditorMode() const;
  void SetEditorMode(bool value);
  // The in-place editor, or nullptr before it was first shown.
  QLineEdit* InplaceEditor() const { return editor_; }
  TGridState GridState() const { return grid_state_; }
  // Moves column `from` to position `to` (data column indexes); the columns become the
  // program's.
  void MoveColumn(int from, int to);

  // Draws the field's display text of the active record with the column's alignment on the
  // canvas's current brush and font.
  void DefaultDrawColumnCell(const TRect& rect, int data_col, TColumn* column,
                             TGridDrawState state);

  // --- Events ---------------------------------------------------------------------------------
  TDrawColumnCellEvent OnDrawColumnCell;
  TDBGridClickEvent OnCellClick;
  TDBGridClickEvent OnTitleClick;
  TNotifyEvent OnColEnter;
  TNotifyEvent OnColExit;
  TMovedEvent OnColumnMoved;

  // --- Input ----------------------------------------------------------------------------------
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseMove(TShiftState shift, int x, int y) override;
  // Wheel turns in eighths of a degree (120 per notch, positive away from the user).
  virtual void MouseWheel(int delta, TShiftState shift);
  void KeyDown(std::uint16_t& key, TShiftState shift) override;
  void KeyPress(char& key) override;
  void DoEnter() override;
  void DoExit() override;

 protected:
  // Draws one cell; the canvas's font and brush are the grid's. The default draws titles with
  // their caption, indicator cells with the current record's mark, and data cells through
  // DefaultDrawColumnCell and DrawColumnCell, with the data link's active record moved to the
  // cell's row meanwhile.
  virtual void DrawCell(int col, int row, const TRect& rect, TGridDrawState state);
  // Fires OnDrawColumnCell (the active record is the cell's).
  virtual void DrawColumnCell(const TRect& rect, int data_col, TColumn* column,
                              TGridDrawState state);
  // A column moved (data column indexes); fires OnColumnMoved.
  virtual void ColumnMoved(int from, int to);
  virtual void ColEnter();
  virtual void ColExit();
  virtual void CellClick(TColumn* column);
  virtual void TitleClick(TColumn* column);
  // Whether the in-place editor may open on the current cell: editing allowed, not row select,
  // a column whose field can be modified.
  virtual bool CanEditShow() const;
  // Whether the current cell may be written now; puts the dataset into edit state when it is
  // browsing. Answers false for a read-only grid, column or field, and when the dataset will
  // not edit.
  bool CanEditModify();
  // Enter in the open cell editor: the default takes the text into the field and closes the
  // editor, the record staying in edit.
  virtual void EditorEnter();
  // Whether a cell shows the selection colours.
  virtual bool HighlightCell(int data_col, int data_row, TGridDrawState state) const;
  // Whether records may be inserted, appended and deleted through the grid.
  bool CanInsertRecords() const;
  // Whether a typed character is text (not a control character).
  static bool PrintableKey(char key);

  void Paint() override;
  void Resize() override;
  void FontChanged() override;
  void EnabledChanged() override;

  // Paint helpers for descendants.
  // Fills `rect` with the canvas brush and writes `text` inside it with `margin` pixels on both
  // sides and 2 at the top.
  static void WriteCellText(TCanvas& canvas, const TRect& rect, int margin, const std::string& text,
                            TAlignment alignment, bool right_to_left);
  // The current-record mark of data row `data_row` (arrow, edit or insert mark), if it is the
  // active record.
  void DrawIndicatorMark(const TRect& rect, int data_row);
  void DrawFocusRect(const TRect& rect);
  // Whether text reads right to left (the widget's layout direction).
  bool UseRightToLeftReading() const;
  // Whether the grid or its in-place editor holds the keyboard focus.
  bool FocusWithin() const;

 private:
  friend class TDBGridColumns;
  friend class TColumn;
  friend class GridDataLink;
  friend class GridEditorFilter;
  friend class GridHostWidget;

  // Data link notifications.
  void LinkActive(bool active);
  void DataChanged();
  void Scrolled(int distance);
  void LayoutChanged();
  void RecordChanged(TField* field);
  void EditingChanged();
  void UpdateData();
  bool FocusColumnOf(TField* field);

  // Layout.
  void ColumnsChanged();
  void UpdateLayout();
  void UpdateScrollBars();
  // The cells' area: the client area less the scroll bars shown.
  int GridWidth() const;
  int GridHeight() const;
  int LineWidth(bool vertical) const;
  int ColWidthRaw(int raw_col) const;
  int ColumnPitch(int raw_col) const;
  int ColumnLeft(int raw_col) const;
  bool ColumnShown(int raw_col) const;
  // The column whose right edge is at x (a press there resizes it), or -1.
  int SizingColumnAt(int x) const;
  void ScrollColumnIntoView(int raw_col);
  void SetLeftCol(int raw_col);
  int ScrollableColumns() const;
  // The first visible scrolling data column from `data_col` on in direction `step`, or -1.
  int NextVisibleColumn(int data_col, int step) const;
  // Makes `raw_col` current, writing the editor's text into the old cell first.
  void MoveCol(int raw_col);
  TGridDrawState CellState(int col, int row) const;

  // Navigation; each answers whether the current record changed.
  void MoveRows(int distance);
  bool GoDown();
  bool GoUp();
  void GoToDataRow(int data_row);
  void TabTo(bool forward);
  void DeleteRecord();
  void ScrollBarAction(bool vertical, int action);
  // A new record the user has not typed into.
  bool UntouchedNewRecord() const;

  // In-place editor.
  bool CurrentCellWritable() const;
  void ShowEditor();
  void HideEditor();
  void PlaceEditor();
  void LoadEditorText();
  // Writes the editor's text into the field when the user changed it; raises the field's
  // error (the text stays pending) when the field refuses it.
  void CommitEditor();
  // Handles a key that reached the editor; answers whether the editor must not see it.
  bool EditorKey(int qt_key, bool shift, bool ctrl, bool modifying);
  // Escape: drops the editor's text, or cancels the record's changes; answers whether there
  // was anything to cancel.
  bool CancelEdits();
  // The keyboard focus came into / left the grid and its editor.
  void EnterGrid();
  void LeaveGrid();

  std::unique_ptr<GridDataLink> data_link_;
  TDBGridColumns columns_{this};
  TDBGridOptions options_{dgEditing,  dgTitles, dgIndicator,     dgColumnResize, dgColLines,
                          dgRowLines, dgTabs,   dgConfirmDelete, dgCancelOnExit};
  bool read_only_ = false;
  TColor fixed_color_ = clBtnFace;
  int fixed_data_cols_ = 0;
  std::optional<int> default_row_height_;
  TFont title_font_;
  bool title_font_assigned_ = false;
  bool default_drawing_ = true;
  int col_ = 0;
  int left_col_ = 0;
  TGridState grid_state_ = gsNormal;
  bool focus_inside_ = false;
  bool updating_layout_ = false;

  // The press being followed.
  TGridCoord press_cell_;
  int press_x_ = 0;
  bool press_on_current_ = false;
  int sizing_col_ = -1;
  int sizing_start_width_ = 0;
  int moving_to_ = -1;
  int wheel_rest_ = 0;

  QLineEdit* editor_ = nullptr;
  GridEditorFilter* editor_filter_ = nullptr;
  bool editor_shown_ = false;
  bool editor_modified_ = false;
  QScrollBar* vertical_bar_ = nullptr;
  QScrollBar* horizontal_bar_ = nullptr;
  bool vertical_shown_ = false;
  // The vertical bar's positions are record numbers (else: first, middle, last).
  bool vertical_numbered_ = false;
  bool horizontal_shown_ = false;
};

}  // namespace vx
