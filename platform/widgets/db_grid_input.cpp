// The grid's editing in place and its answers to the keyboard and the mouse.

#include "platform/widgets/db_grid.h"

#include <QApplication>
#include <QLineEdit>
#include <QScrollBar>
#include <algorithm>
#include <cstdlib>

#include "platform/dataset/application.h"
#include "platform/widgets/db_grid_parts.h"

namespace vx {

namespace {

// How close to a title's right edge a press starts resizing the column.
constexpr int kSizingMargin = 2;
// How far the mouse must travel with a title pressed before the column follows it.
constexpr int kMoveThreshold = 4;
constexpr int kWheelNotch = 120;

bool InEditState(const TDataSet* dataset) {
  return dataset != nullptr && (dataset->State() == dsEdit || dataset->State() == dsInsert);
}

}  // namespace

// --- Editing --------------------------------------------------------------------------------

bool TDBGrid::CurrentCellWritable() const {
  if (!options_.Contains(dgEditing) || read_only_ || !data_link_->Active() ||
      data_link_->ReadOnly())
    return false;
  const int index = SelectedIndex();
  if (index < 0 || columns_[index]->ReadOnly()) return false;
  const TField* field = columns_[index]->Field();
  return field != nullptr && field->CanModify();
}

bool TDBGrid::CanEditShow() const {
  if (options_.Contains(dgRowSelect) || !CurrentCellWritable()) return false;
  // Memo and other blob fields are edited in their own windows, not in one line.
  return !SelectedField()->IsBlob();
}

bool TDBGrid::CanEditModify() { return CurrentCellWritable() && data_link_->Edit(); }

bool TDBGrid::CanInsertRecords() const {
  return options_.Contains(dgEditing) && !read_only_ && data_link_->Active() &&
         !data_link_->ReadOnly() && data_link_->DataSet()->CanModify();
}

bool TDBGrid::PrintableKey(char key) {
  const auto code = static_cast<unsigned char>(key);
  return code >= 0x20 && code != 0x7F;
}

bool TDBGrid::EditorMode() const { return editor_shown_; }

void TDBGrid::SetEditorMode(bool value) {
  if (value) {
    ShowEditor();
  } else {
    CommitEditor();
    HideEditor();
  }
}

void TDBGrid::ShowEditor() {
  if (editor_shown_ || !CanEditShow()) return;
  if (editor_ == nullptr) {
    editor_ = new QLineEdit(Widget());
    editor_->setFrame(false);
    editor_->setContextMenuPolicy(Qt::NoContextMenu);
    editor_filter_ = new GridEditorFilter(this, editor_);
    editor_->installEventFilter(editor_filter_);
    QObject::connect(editor_, &QLineEdit::textEdited, editor_,
                     [this](const QString&) { editor_modified_ = true; });
  }
  ScrollColumnIntoView(col_);
  editor_shown_ = true;
  editor_modified_ = false;
  // The editor takes the look of the column; a character field's width limits the text.
  const TColumn* column = columns_[SelectedIndex()];
  const TField* field = column->Field();
  editor_->setFont(column->Font().ToQFont());
  editor_->setAlignment(column->Alignment() == taRightJustify ? Qt::AlignRight
                        : column->Alignment() == taCenter     ? Qt::AlignHCenter
                                                              : Qt::AlignLeft);
  editor_->setMaxLength(field->DataType() == ftString && field->Size() > 0 ? field->Size() : 32767);
  LoadEditorText();
  PlaceEditor();
  editor_->show();
  editor_->selectAll();
  editor_->setFocus();
}

void TDBGrid::HideEditor() {
  if (!editor_shown_) return;
  editor_shown_ = false;
  if (editor_->hasFocus() && Widget() != nullptr) Widget()->setFocus();
  editor_->hide();
  InvalidateRow(Row());
}

void TDBGrid::PlaceEditor() {
  if (!editor_shown_) return;
  const TRect rect = CellRect(col_, Row());
  if (rect.Width() <= 0) {
    editor_->hide();
    return;
  }
  editor_->setGeometry(ToQRect(rect));
  editor_->show();
}

void TDBGrid::LoadEditorText() {
  const TField* field = SelectedField();
  if (field == nullptr) return;
  const QString text = AnsiToQString(field->Text());
  // Rewriting the same text would lose the user's selection and cursor.
  if (editor_->text() != text) editor_->setText(text);
}

void TDBGrid::CommitEditor() {
  if (!editor_modified_ || editor_ == nullptr) return;
  TField* field = SelectedField();
  editor_modified_ = false;
  if (field == nullptr) return;
  try {
    const TDataSet* dataset = field->DataSet();
    const std::string where =
        (dataset != nullptr ? "record " + std::to_string(dataset->RecNo()) + ", " : "") +
        "field " + field->FieldName();
    field->SetText(QStringToStored(editor_->text(), where,
                                   field->DataType() == ftString
                                       ? static_cast<std::size_t>(field->Size())
                                       : static_cast<std::size_t>(-1)));
  } catch (...) {
    editor_modified_ = true;
    throw;
  }
}

bool TDBGrid::EditorKey(int qt_key, bool shift, bool ctrl, bool modifying) {
  TShiftState state;
  if (shift) state.Include(ssShift);
  if (ctrl) state.Include(ssCtrl);
  std::uint16_t key = 0;
  switch (qt_key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      EditorEnter();
      return true;
    case Qt::Key_F2:
      SetEditorMode(false);
      return true;
    case Qt::Key_Escape:
      CancelEdits();
      return true;
    case Qt::Key_Left:
      if (editor_->cursorPosition() > 0 || editor_->hasSelectedText()) return false;
      key = VK_LEFT;
      break;
    case Qt::Key_Right:
      if (editor_->cursorPosition() < editor_->text().size() || editor_->hasSelectedText())
        return false;
      key = VK_RIGHT;
      break;
    case Qt::Key_Delete:
      // Ctrl+Delete is the grid's (the record's deletion mark), also while a cell is open.
      if (!ctrl) return modifying && !CanEditModify();
      key = VK_DELETE;
      break;
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      key = VirtualKeyFromQt(qt_key);
      if (qt_key == Qt::Key_Backtab) state.Include(ssShift);
      break;
    default:
      // A read-only cell shows its text but takes no change.
      return modifying && !CanEditModify();
  }
  KeyDown(key, state);
  return true;
}

void TDBGrid::EditorEnter() { SetEditorMode(false); }

bool TDBGrid::CancelEdits() {
  bool handled = false;
  TDataSet* dataset = data_link_->DataSet();
  const bool had_editor = editor_shown_;
  if (had_editor) {
    editor_modified_ = false;
    HideEditor();
    handled = true;
  }
  // The first Escape drops the cell's text; the record's other changes go with the second.
  if (data_link_->Active() && InEditState(dataset) && (!had_editor || !dataset->Modified())) {
    dataset->Cancel();
    handled = true;
  }
  return handled;
}

// --- Navigation -----------------------------------------------------------------------------

bool TDBGrid::UntouchedNewRecord() const {
  const TDataSet* dataset = data_link_->DataSet();
  return data_link_->Active() && dataset->State() == dsInsert && !dataset->Modified() &&
         !editor_modified_;
}

void TDBGrid::MoveRows(int distance) {
  if (!data_link_->Active() || distance == 0) return;
  data_link_->MoveBy(distance);
  HideEditor();
}

bool TDBGrid::GoDown() {
  if (!data_link_->Active()) return false;
  TDataSet* dataset = data_link_->DataSet();
  if (UntouchedNewRecord()) {
    // Below an untouched new record at the end there is nothing; one inserted before a record
    // goes away, leaving that record current.
    if (dataset->Eof()) return false;
    dataset->Cancel();
    HideEditor();
    return true;
  }
  bool moved = data_link_->MoveBy(1) != 0;
  if (!moved && data_link_->Eof() && CanInsertRecords()) {
    dataset->Append();
    moved = true;
  }
  HideEditor();
  return moved;
}

bool TDBGrid::GoUp() {
  if (!data_link_->Active()) return false;
  TDataSet* dataset = data_link_->DataSet();
  if (UntouchedNewRecord() && dataset->Eof()) {
    dataset->Cancel();
    HideEditor();
    return true;
  }
  const bool moved = data_link_->MoveBy(-1) != 0;
  HideEditor();
  return moved;
}

void TDBGrid::GoToDataRow(int data_row) {
  if (!data_link_->Active() || data_row == data_link_->ActiveRecord()) return;
  TDataSet* dataset = data_link_->DataSet();
  if (!UntouchedNewRecord()) {
    data_link_->MoveBy(data_row - data_link_->ActiveRecord());
    HideEditor();
    return;
  }
  // Cancelling the new record re-reads the window; find the clicked record again by bookmark.
  TBookmark target;
  {
    LinkRecordScope scope(*data_link_, data_row);
    target = dataset->GetBookmark();
  }
  dataset->Cancel();
  HideEditor();
  if (target.empty()) return;
  for (int row = 0; row < data_link_->RecordCount(); ++row) {
    TBookmark here;
    {
      LinkRecordScope scope(*data_link_, row);
      here = dataset->GetBookmark();
    }
    if (dataset->CompareBookmarks(here, target) == 0) {
      data_link_->MoveBy(row - data_link_->ActiveRecord());
      return;
    }
  }
  dataset->GotoBookmark(target);
}

void TDBGrid::TabTo(bool forward) {
  const int step = forward ? 1 : -1;
  const int next = NextVisibleColumn(SelectedIndex() + step, step);
  if (next >= 0) {
    MoveCol(DataToRawColumn(next));
    return;
  }
  // Past the last column: the first column of the next record (appending at the end); before
  // the first: the last column of the previous record.
  const int wrap = forward ? NextVisibleColumn(0, 1) : NextVisibleColumn(columns_.Count() - 1, -1);
  if (wrap < 0) return;
  CommitEditor();
  if (forward ? GoDown() : GoUp()) MoveCol(DataToRawColumn(wrap));
}

void TDBGrid::DeleteRecord() {
  if (!CanInsertRecords()) return;
  TDataSet* dataset = data_link_->DataSet();
  if (dataset->IsEmpty()) return;
  if (options_.Contains(dgConfirmDelete) &&
      MessageBox("Delete record?", "Confirm", MB_OKCANCEL | MB_ICONQUESTION) != IDOK)
    return;
  editor_modified_ = false;
  HideEditor();
  dataset->Delete();
}

// --- Keyboard -------------------------------------------------------------------------------

void TDBGrid::KeyDown(std::uint16_t& key, TShiftState shift) {
  TCustomControl::KeyDown(key, shift);
  if (key == 0) return;
  const bool ctrl = shift.Contains(ssCtrl);
  const bool row_select = options_.Contains(dgRowSelect);
  TDataSet* dataset = data_link_->Active() ? data_link_->DataSet() : nullptr;
  switch (key) {
    case VK_TAB:
      if (!options_.Contains(dgTabs) || ctrl || dataset == nullptr) return;
      TabTo(!shift.Contains(ssShift));
      break;
    case VK_ESCAPE:
      if (!CancelEdits()) return;
      break;
    case VK_F2:
      if (editor_shown_) {
        SetEditorMode(false);
      } else if (CanEditShow()) {
        ShowEditor();
      }
      break;
    default:
      if (dataset == nullptr) return;
      switch (key) {
        case VK_UP:
          GoUp();
          break;
        case VK_DOWN:
          GoDown();
          break;
        case VK_PRIOR:
          MoveRows(-VisibleRowCount());
          break;
        case VK_NEXT:
          MoveRows(VisibleRowCount());
          break;
        case VK_HOME:
        case VK_END:
          if (ctrl || row_select) {
            if (key == VK_HOME) {
              dataset->First();
            } else {
              dataset->Last();
            }
            HideEditor();
          } else {
            const int target = key == VK_HOME ? NextVisibleColumn(0, 1)
                                              : NextVisibleColumn(columns_.Count() - 1, -1);
            if (target >= 0) MoveCol(DataToRawColumn(target));
          }
          break;
        case VK_LEFT:
        case VK_RIGHT: {
          if (row_select) break;
          const int step = key == VK_RIGHT ? 1 : -1;
          const int target = NextVisibleColumn(SelectedIndex() + step, step);
          if (target >= 0) MoveCol(DataToRawColumn(target));
          break;
        }
        case VK_INSERT:
          if (CanInsertRecords()) {
            CommitEditor();
            HideEditor();
            dataset->Insert();
          }
          break;
        case VK_DELETE:
          // Ctrl+Delete deletes the record; a plain Delete is too easily meant for the cell.
          if (!ctrl) return;
          DeleteRecord();
          break;
        default:
          return;
      }
  }
  key = 0;
}

void TDBGrid::KeyPress(char& key) {
  TCustomControl::KeyPress(key);
  if (key == 0) return;
  if (editor_shown_) {
    // Keys sent to the grid while its editor is open edit the editor's text.
    if (key == '\r') {
      EditorEnter();
    } else if (key == '\x1B') {
      CancelEdits();
    } else if (key == '\b' || PrintableKey(key)) {
      if (CanEditModify()) {
        if (key == '\b') {
          editor_->backspace();
        } else {
          editor_->insert(AnsiToQString(std::string(1, key)));
        }
        editor_modified_ = true;
      }
    } else {
      return;
    }
    key = 0;
    return;
  }
  if (key == '\r') {
    if (CanEditShow()) {
      ShowEditor();
      key = 0;
    }
    return;
  }
  if (PrintableKey(key) && CanEditShow()) {
    // Typing starts editing: the typed character replaces the cell's text.
    if (CanEditModify()) {
      ShowEditor();
      editor_->setText(AnsiToQString(std::string(1, key)));
      editor_modified_ = true;
    }
    key = 0;
  }
}

void TDBGrid::EnterGrid() {
  if (focus_inside_) return;
  focus_inside_ = true;
  TCustomControl::DoEnter();
  InvalidateRow(Row());
}

void TDBGrid::LeaveGrid() {
  if (!focus_inside_) return;
  focus_inside_ = false;
  if (options_.Contains(dgCancelOnExit) && UntouchedNewRecord()) data_link_->DataSet()->Cancel();
  TCustomControl::DoExit();
  InvalidateRow(Row());
}

void TDBGrid::DoEnter() { EnterGrid(); }

void TDBGrid::DoExit() {
  if (!FocusWithin()) LeaveGrid();
}

// --- Mouse ----------------------------------------------------------------------------------

int TDBGrid::SizingColumnAt(int x) const {
  for (int col = IndicatorOffset(); col < ColCount(); ++col) {
    if (!ColumnShown(col)) continue;
    const int right = ColumnLeft(col) + ColWidthRaw(col);
    if (std::abs(x - right) <= kSizingMargin) return col;
  }
  return -1;
}

void TDBGrid::MouseDown(TMouseButton button, TShiftState shift, int x, int y) {
  press_cell_ = TGridCoord{};
  press_on_current_ = false;
  if (!FocusWithin() && CanFocus()) SetFocus();
  const TGridCoord cell = MouseCoord(x, y);
  if (button == mbLeft && grid_state_ == gsNormal && cell.X >= 0) {
    press_x_ = x;
    if (cell.Y < TitleOffset()) {
      const int sizing = options_.Contains(dgColumnResize) ? SizingColumnAt(x) : -1;
      if (sizing >= 0) {
        grid_state_ = gsColSizing;
        sizing_col_ = sizing;
        sizing_start_width_ = ColWidthRaw(sizing);
      } else {
        press_cell_ = cell;
      }
    } else if (data_link_->Active() &&
               cell.Y - TitleOffset() < std::max(1, data_link_->RecordCount())) {
      press_on_current_ = cell.Y == Row() && cell.X == col_ && !shift.Contains(ssDouble);
      GoToDataRow(cell.Y - TitleOffset());
      if (cell.X >= FixedCols()) MoveCol(cell.X);
      press_cell_ = cell;
    }
  }
  TCustomControl::MouseDown(button, shift, x, y);
}

void TDBGrid::MouseMove(TShiftState shift, int x, int y) {
  if (grid_state_ == gsColSizing) {
    columns_[RawToDataColumn(sizing_col_)]->SetWidth(
        std::max(1, sizing_start_width_ + x - press_x_));
  } else if (grid_state_ == gsNormal && shift.Contains(ssLeft) &&
             press_cell_.X >= IndicatorOffset() && press_cell_.Y >= 0 &&
             press_cell_.Y < TitleOffset() && options_.Contains(dgColumnResize) &&
             std::abs(x - press_x_) > kMoveThreshold) {
    grid_state_ = gsColMoving;
    moving_to_ = RawToDataColumn(press_cell_.X);
  }
  if (grid_state_ == gsColMoving) {
    const TGridCoord over = MouseCoord(x, 0);
    if (over.X >= IndicatorOffset()) moving_to_ = RawToDataColumn(over.X);
  }
  // Dragging from a data cell carries the current cell along over the rows.
  const TGridCoord over = MouseCoord(x, y);
  if (grid_state_ == gsNormal && shift.Contains(ssLeft) && press_cell_.Y >= TitleOffset() &&
      over.Y >= TitleOffset() && !(over == press_cell_))
    grid_state_ = gsSelecting;
  if (grid_state_ == gsSelecting && over.Y >= TitleOffset() && data_link_->Active() &&
      over.Y - TitleOffset() < data_link_->RecordCount()) {
    GoToDataRow(over.Y - TitleOffset());
    if (over.X >= FixedCols()) MoveCol(over.X);
  }
  TCustomControl::MouseMove(shift, x, y);
}

void TDBGrid::MouseUp(TMouseButton button, TShiftState shift, int x, int y) {
  const TGridCoord cell = MouseCoord(x, y);
  switch (grid_state_) {
    case gsColSizing:
    case gsSelecting:
      grid_state_ = gsNormal;
      break;
    case gsColMoving: {
      grid_state_ = gsNormal;
      const int from = RawToDataColumn(press_cell_.X);
      if (moving_to_ >= 0 && moving_to_ != from) MoveColumn(from, moving_to_);
      Invalidate();
      break;
    }
    default:
      if (button != mbLeft || press_cell_.X < IndicatorOffset() || !(cell == press_cell_)) break;
      if (cell.Y < TitleOffset()) {
        TitleClick(columns_[RawToDataColumn(cell.X)]);
      } else {
        CellClick(columns_[RawToDataColumn(cell.X)]);
        if (press_on_current_ && CanEditShow()) ShowEditor();
      }
      break;
  }
  press_cell_ = TGridCoord{};
  press_on_current_ = false;
  TCustomControl::MouseUp(button, shift, x, y);
}

void TDBGrid::MouseWheel(int delta, TShiftState shift) {
  wheel_rest_ += delta;
  const int notches = wheel_rest_ / kWheelNotch;
  wheel_rest_ -= notches * kWheelNotch;
  MoveRows(-notches);
}

}  // namespace vx
