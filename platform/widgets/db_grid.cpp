#include "platform/widgets/db_grid.h"

#include <QApplication>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cstdlib>

#include "platform/dataset/application.h"
#include "platform/widgets/db_grid_parts.h"
#include "platform/widgets/host_widget.h"

namespace vx {

namespace {

constexpr int kIndicatorWidth = 12;

// Saves the painter's state for a scope, so that a cell that fails to draw leaves it as found.
class PainterState {
 public:
  explicit PainterState(QPainter* painter) : painter_(painter) { painter_->save(); }
  ~PainterState() { painter_->restore(); }
  PainterState(const PainterState&) = delete;
  PainterState& operator=(const PainterState&) = delete;

 private:
  QPainter* painter_;
};

}  // namespace

// --- The data link and the Qt pieces --------------------------------------------------------

// The grid's widget: a painted host that also reports the mouse wheel.
class GridHostWidget : public HostWidget<QWidget> {
 public:
  explicit GridHostWidget(TControl* control) : HostWidget<QWidget>(control) {}

 protected:
  void wheelEvent(QWheelEvent* event) override {
    auto* grid = dynamic_cast<TDBGrid*>(control);
    if (grid == nullptr) return;
    TShiftState shift;
    if (event->modifiers() & Qt::ShiftModifier) shift.Include(ssShift);
    if (event->modifiers() & Qt::ControlModifier) shift.Include(ssCtrl);
    const int delta = event->angleDelta().y();
    grid->Guard([&] { grid->MouseWheel(delta, shift); });
    event->accept();
  }
};

LinkRecordScope::LinkRecordScope(TDataLink& link, int row) : link_(link) {
  old_ = link.ActiveRecord();
  link.SetActiveRecord(row);
}

LinkRecordScope::~LinkRecordScope() { link_.SetActiveRecord(old_); }

// --- TDBGrid: construction and properties ---------------------------------------------------

TDBGrid::TDBGrid(TComponent* owner)
    : TCustomControl(owner, new GridHostWidget(this)),
      data_link_(std::make_unique<GridDataLink>(this)) {
  for (bool vertical : {true, false}) {
    auto* bar = new QScrollBar(vertical ? Qt::Vertical : Qt::Horizontal, Widget());
    bar->setFocusPolicy(Qt::NoFocus);
    bar->hide();
    QObject::connect(bar, &QAbstractSlider::actionTriggered, bar, [this, vertical](int action) {
      Guard([&] { ScrollBarAction(vertical, action); });
    });
    (vertical ? vertical_bar_ : horizontal_bar_) = bar;
  }
  title_font_ = Font();
  SetTabStop(true);
  SetBounds(0, 0, 320, 120);
  UpdateLayout();
}

TDBGrid::~TDBGrid() {
  // Events that Qt sends while the pieces go away must not reach a half-destroyed grid.
  if (auto* link = dynamic_cast<ControlHostLink*>(Widget())) link->control = nullptr;
  Destroying();
  if (editor_filter_ != nullptr) editor_filter_->grid = nullptr;
  delete editor_;
  editor_ = nullptr;
  delete vertical_bar_;
  delete horizontal_bar_;
  vertical_bar_ = horizontal_bar_ = nullptr;
  data_link_->SetDataSource(nullptr);
}

TDataSource* TDBGrid::DataSource() const { return data_link_->DataSource(); }

void TDBGrid::SetDataSource(TDataSource* source) {
  if (source == DataSource()) return;
  editor_modified_ = false;
  HideEditor();
  data_link_->SetDataSource(source);
  LinkActive(data_link_->Active());
}

TDataLink& TDBGrid::DataLink() { return *data_link_; }
const TDataLink& TDBGrid::DataLink() const { return *data_link_; }

void TDBGrid::SetOptions(TDBGridOptions value) {
  if (value == options_) return;
  if (value.Contains(dgRowSelect)) value.Exclude(dgEditing);
  // The current and the first scrolling column stay the same data columns.
  const int selected = RawToDataColumn(col_);
  const int left = RawToDataColumn(left_col_);
  options_ = value;
  col_ = DataToRawColumn(selected);
  left_col_ = DataToRawColumn(left);
  if (!options_.Contains(dgEditing)) {
    CommitEditor();
    HideEditor();
  }
  UpdateLayout();
}

void TDBGrid::SetReadOnly(bool value) {
  read_only_ = value;
  Invalidate();
}

void TDBGrid::SetFixedColor(TColor value) {
  fixed_color_ = value;
  Invalidate();
}

int TDBGrid::FixedCols() const {
  const int fixed_data = std::clamp(fixed_data_cols_, 0, std::max(0, columns_.Count() - 1));
  return IndicatorOffset() + fixed_data;
}

void TDBGrid::SetFixedCols(int value) {
  fixed_data_cols_ = std::max(0, value - IndicatorOffset());
  UpdateLayout();
}

int TDBGrid::DefaultRowHeight() const {
  if (default_row_height_) return *default_row_height_;
  const int text = std::max(QFontMetrics(Font().ToQFont()).height(),
                            QFontMetrics(title_font_.ToQFont()).height());
  return text + 4;
}

void TDBGrid::SetDefaultRowHeight(int value) {
  default_row_height_ = std::clamp(value, 1, 1000);
  UpdateLayout();
}

void TDBGrid::SetTitleFont(const TFont& value) {
  title_font_ = value;
  title_font_assigned_ = true;
  UpdateLayout();
}

void TDBGrid::FontChanged() {
  TCustomControl::FontChanged();
  if (!title_font_assigned_) title_font_ = Font();
  UpdateLayout();
}

void TDBGrid::EnabledChanged() {
  TCustomControl::EnabledChanged();
  Invalidate();
}

void TDBGrid::Resize() {
  TCustomControl::Resize();
  UpdateLayout();
}

// --- Position -------------------------------------------------------------------------------

int TDBGrid::Row() const {
  return TitleOffset() + (data_link_->Active() ? data_link_->ActiveRecord() : 0);
}

int TDBGrid::RowCount() const {
  return TitleOffset() + std::max(1, data_link_->Active() ? data_link_->RecordCount() : 0);
}

int TDBGrid::LineWidth(bool vertical) const {
  return options_.Contains(vertical ? dgColLines : dgRowLines) ? 1 : 0;
}

int TDBGrid::VisibleRowCount() const {
  const int pitch = DefaultRowHeight() + LineWidth(false);
  return std::max(1, (GridHeight() - TitleOffset() * pitch) / pitch);
}

int TDBGrid::GridWidth() const {
  return std::max(0, ClientWidth() - (vertical_shown_ ? vertical_bar_->sizeHint().width() : 0));
}

int TDBGrid::GridHeight() const {
  return std::max(0,
                  ClientHeight() - (horizontal_shown_ ? horizontal_bar_->sizeHint().height() : 0));
}

int TDBGrid::ColWidthRaw(int raw_col) const {
  if (raw_col < IndicatorOffset()) return kIndicatorWidth;
  const TColumn* column = columns_[RawToDataColumn(raw_col)];
  return column->Visible() ? column->Width() : 0;
}

// The horizontal room a column takes: its width and the line after it (none when hidden).
int TDBGrid::ColumnPitch(int raw_col) const {
  const int width = ColWidthRaw(raw_col);
  return width > 0 ? width + LineWidth(true) : 0;
}

bool TDBGrid::ColumnShown(int raw_col) const {
  return raw_col >= 0 && raw_col < ColCount() && (raw_col < FixedCols() || raw_col >= left_col_) &&
         ColWidthRaw(raw_col) > 0;
}

int TDBGrid::ColumnLeft(int raw_col) const {
  int x = 0;
  for (int c = 0; c < FixedCols() && c < raw_col; ++c) x += ColumnPitch(c);
  for (int c = std::max(left_col_, FixedCols()); c < raw_col; ++c) x += ColumnPitch(c);
  return x;
}

int TDBGrid::SelectedIndex() const { return columns_.Count() > 0 ? RawToDataColumn(col_) : -1; }

void TDBGrid::SetSelectedIndex(int value) {
  if (value < 0 || value >= columns_.Count()) return;
  MoveCol(DataToRawColumn(value));
}

TField* TDBGrid::SelectedField() const {
  const int index = SelectedIndex();
  return index >= 0 ? columns_[index]->Field() : nullptr;
}

void TDBGrid::SetSelectedField(TField* field) {
  if (field == nullptr) return;
  for (int i = 0; i < columns_.Count(); ++i) {
    if (columns_[i]->Field() == field) {
      SetSelectedIndex(i);
      return;
    }
  }
}

TGridCoord TDBGrid::MouseCoord(int x, int y) const {
  TGridCoord coord;
  if (x < 0 || y < 0 || x >= GridWidth() || y >= GridHeight()) return coord;
  const int pitch = DefaultRowHeight() + LineWidth(false);
  const int row = y / pitch;
  if (row < RowCount() && row < TitleOffset() + VisibleRowCount()) coord.Y = row;
  for (int col = 0; col < ColCount(); ++col) {
    if (!ColumnShown(col)) continue;
    const int left = ColumnLeft(col);
    if (x >= left && x < left + ColumnPitch(col)) {
      coord.X = col;
      break;
    }
  }
  if (coord.X < 0 || coord.Y < 0) return TGridCoord{};
  return coord;
}

TRect TDBGrid::CellRect(int col, int row) const {
  if (!ColumnShown(col) || row < 0 || row >= RowCount() || row >= TitleOffset() + VisibleRowCount())
    return TRect{};
  const int pitch = DefaultRowHeight() + LineWidth(false);
  const int left = ColumnLeft(col);
  if (left >= GridWidth()) return TRect{};
  return Rect(left, row * pitch, left + ColWidthRaw(col), row * pitch + DefaultRowHeight());
}

void TDBGrid::InvalidateCell(int col, int row) {
  const TRect rect = CellRect(col, row);
  if (rect.Width() > 0 && Widget() != nullptr)
    Widget()->update(rect.Left, rect.Top, rect.Width() + 1, rect.Height() + 1);
}

void TDBGrid::InvalidateTitles() {
  if (TitleOffset() == 0 || Widget() == nullptr) return;
  Widget()->update(0, 0, GridWidth(), DefaultRowHeight() + 1);
}

void TDBGrid::InvalidateRow(int row) {
  const int pitch = DefaultRowHeight() + LineWidth(false);
  if (Widget() != nullptr) Widget()->update(0, row * pitch, GridWidth(), pitch);
}

int TDBGrid::NextVisibleColumn(int data_col, int step) const {
  for (int c = data_col; c >= 0 && c < columns_.Count(); c += step) {
    if (DataToRawColumn(c) >= FixedCols() && columns_[c]->Visible()) return c;
  }
  return -1;
}

int TDBGrid::ScrollableColumns() const { return std::max(0, ColCount() - FixedCols()); }

void TDBGrid::SetLeftCol(int raw_col) {
  const int value = std::clamp(raw_col, FixedCols(), std::max(FixedCols(), ColCount() - 1));
  if (value == left_col_) return;
  left_col_ = value;
  UpdateScrollBars();
  PlaceEditor();
  Invalidate();
}

void TDBGrid::ScrollColumnIntoView(int raw_col) {
  if (raw_col < FixedCols() || raw_col >= ColCount()) return;
  if (raw_col < left_col_) {
    SetLeftCol(raw_col);
    return;
  }
  int left = left_col_;
  const auto right_edge = [&] {
    int x = 0;
    for (int c = 0; c < FixedCols(); ++c) x += ColumnPitch(c);
    for (int c = left; c <= raw_col; ++c) x += ColumnPitch(c);
    return x;
  };
  while (left < raw_col && right_edge() > GridWidth()) ++left;
  SetLeftCol(left);
}

void TDBGrid::MoveCol(int raw_col) {
  if (columns_.Count() == 0) return;
  raw_col = std::clamp(raw_col, FixedCols(), ColCount() - 1);
  if (raw_col == col_) {
    ScrollColumnIntoView(col_);
    return;
  }
  CommitEditor();
  HideEditor();
  ColExit();
  InvalidateCell(col_, Row());
  col_ = raw_col;
  ScrollColumnIntoView(col_);
  InvalidateRow(Row());
  ColEnter();
}

TGridDrawState TDBGrid::CellState(int col, int row) const {
  TGridDrawState state;
  if (row < TitleOffset() || col < FixedCols()) {
    state.Include(gdFixed);
    return state;
  }
  if (data_link_->Active() && row == Row() && (col == col_ || options_.Contains(dgRowSelect))) {
    state.Include(gdSelected);
    if (col == col_ && FocusWithin()) state.Include(gdFocused);
  }
  return state;
}

// --- Layout ---------------------------------------------------------------------------------

void TDBGrid::ColumnsChanged() {
  if (editor_shown_ && SelectedField() == nullptr) {
    editor_modified_ = false;
    HideEditor();
  }
  UpdateLayout();
}

void TDBGrid::UpdateLayout() {
  if (updating_layout_ || ComponentState().Contains(csDestroying)) return;
  updating_layout_ = true;
  ++columns_.generation_;
  vertical_shown_ = data_link_->Active();
  int total = 0;
  for (int c = 0; c < ColCount(); ++c) total += ColumnPitch(c);
  horizontal_shown_ = total > GridWidth();
  const int bar_width = vertical_bar_->sizeHint().width();
  const int bar_height = horizontal_bar_->sizeHint().height();
  vertical_bar_->setGeometry(ClientWidth() - bar_width, 0, bar_width, GridHeight());
  horizontal_bar_->setGeometry(0, ClientHeight() - bar_height, GridWidth(), bar_height);
  vertical_bar_->setVisible(vertical_shown_);
  horizontal_bar_->setVisible(horizontal_shown_);

  data_link_->SetBufferCount(VisibleRowCount());

  // The current column: a visible, scrolling column when there is one.
  if (columns_.Count() == 0) {
    col_ = IndicatorOffset();
  } else {
    col_ = std::clamp(col_, FixedCols(), ColCount() - 1);
    if (!columns_[RawToDataColumn(col_)]->Visible()) {
      int next = NextVisibleColumn(RawToDataColumn(col_), 1);
      if (next < 0) next = NextVisibleColumn(RawToDataColumn(col_), -1);
      if (next >= 0) col_ = DataToRawColumn(next);
    }
  }
  left_col_ = std::clamp(left_col_, FixedCols(), std::max(FixedCols(), ColCount() - 1));
  updating_layout_ = false;
  ScrollColumnIntoView(col_);
  UpdateScrollBars();
  PlaceEditor();
  Invalidate();
}

void TDBGrid::UpdateScrollBars() {
  if (vertical_shown_) {
    const TDataSet* dataset = data_link_->DataSet();
    const int count = dataset->RecordCount();
    const int record_no = dataset->RecNo();
    vertical_numbered_ = dataset->IsSequenced() && count > 0 && record_no > 0 &&
                         record_no <= count && dataset->State() != dsInsert;
    if (vertical_numbered_) {
      vertical_bar_->setRange(1, count);
      vertical_bar_->setPageStep(VisibleRowCount());
      vertical_bar_->setValue(record_no);
    } else {
      // Without record numbers the bar only tells the first, a middle and the last record.
      vertical_bar_->setRange(0, 2);
      vertical_bar_->setPageStep(1);
      vertical_bar_->setValue(dataset->Bof() ? 0 : dataset->Eof() ? 2 : 1);
    }
  }
  if (horizontal_shown_) {
    horizontal_bar_->setRange(0, std::max(0, ScrollableColumns() - 1));
    horizontal_bar_->setPageStep(1);
    horizontal_bar_->setValue(left_col_ - FixedCols());
  }
}

void TDBGrid::ScrollBarAction(bool vertical, int action) {
  QScrollBar* bar = vertical ? vertical_bar_ : horizontal_bar_;
  if (!vertical) {
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd:
      case QAbstractSlider::SliderPageStepAdd:
        SetLeftCol(left_col_ + 1);
        break;
      case QAbstractSlider::SliderSingleStepSub:
      case QAbstractSlider::SliderPageStepSub:
        SetLeftCol(left_col_ - 1);
        break;
      case QAbstractSlider::SliderToMinimum:
        SetLeftCol(FixedCols());
        break;
      case QAbstractSlider::SliderToMaximum:
        SetLeftCol(ColCount() - 1);
        break;
      case QAbstractSlider::SliderMove:
        SetLeftCol(FixedCols() + bar->sliderPosition());
        break;
      default:
        break;
    }
    bar->setSliderPosition(left_col_ - FixedCols());
    return;
  }
  if (!data_link_->Active()) return;
  TDataSet* dataset = data_link_->DataSet();
  const int position = bar->sliderPosition();
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
      MoveRows(1);
      break;
    case QAbstractSlider::SliderSingleStepSub:
      MoveRows(-1);
      break;
    case QAbstractSlider::SliderPageStepAdd:
      MoveRows(VisibleRowCount());
      break;
    case QAbstractSlider::SliderPageStepSub:
      MoveRows(-VisibleRowCount());
      break;
    case QAbstractSlider::SliderToMinimum:
      dataset->First();
      break;
    case QAbstractSlider::SliderToMaximum:
      dataset->Last();
      break;
    case QAbstractSlider::SliderMove:
      if (vertical_numbered_) {
        if (position != dataset->RecNo()) dataset->SetRecNo(position);
      } else if (position == bar->minimum()) {
        dataset->First();
      } else if (position == bar->maximum()) {
        dataset->Last();
      }
      break;
    default:
      break;
  }
  HideEditor();
  UpdateScrollBars();
  bar->setSliderPosition(bar->value());
}

// --- Data link notifications ----------------------------------------------------------------

void TDBGrid::LinkActive(bool active) {
  if (ComponentState().Contains(csDestroying)) return;
  if (!active) {
    editor_modified_ = false;
    HideEditor();
    grid_state_ = gsNormal;
  }
  columns_.RebuildDefault();
  UpdateLayout();
}

void TDBGrid::DataChanged() {
  if (ComponentState().Contains(csDestroying)) return;
  if (editor_shown_) {
    if (!editor_modified_) LoadEditorText();
    PlaceEditor();
  }
  UpdateScrollBars();
  Invalidate();
}

void TDBGrid::Scrolled(int distance) { DataChanged(); }

void TDBGrid::LayoutChanged() {
  if (ComponentState().Contains(csDestroying)) return;
  columns_.RebuildDefault();
  UpdateLayout();
  if (editor_shown_ && !editor_modified_) LoadEditorText();
}

void TDBGrid::RecordChanged(TField* field) {
  if (ComponentState().Contains(csDestroying)) return;
  InvalidateRow(Row());
  if (editor_shown_ && !editor_modified_ && (field == nullptr || field == SelectedField()))
    LoadEditorText();
}

void TDBGrid::EditingChanged() {
  if (ComponentState().Contains(csDestroying)) return;
  InvalidateCell(0, Row());
  if (editor_shown_ && !editor_modified_) LoadEditorText();
}

void TDBGrid::UpdateData() { CommitEditor(); }

bool TDBGrid::FocusColumnOf(TField* field) {
  for (int i = 0; i < columns_.Count(); ++i) {
    if (columns_[i]->Field() == field) {
      SetSelectedIndex(i);
      if (CanFocus()) SetFocus();
      return true;
    }
  }
  return false;
}

// --- Painting -------------------------------------------------------------------------------

void TDBGrid::Paint() {
  TCanvas& canvas = Canvas();
  canvas.Brush.Color = Color();
  canvas.Brush.Style = bsSolid;
  canvas.FillRect(ClientRect());
  QPainter* painter = canvas.Painter();
  // Without a record (an empty table, a filter that matches nothing) only the titles show.
  const bool no_records = !data_link_->Active() || data_link_->RecordCount() == 0;
  const int rows =
      no_records ? TitleOffset() : std::min(RowCount(), TitleOffset() + VisibleRowCount());
  const int col_line = LineWidth(true);
  const int row_line = LineWidth(false);
  for (int row = 0; row < rows; ++row) {
    for (int col = 0; col < ColCount(); ++col) {
      const TRect rect = CellRect(col, row);
      if (rect.Width() <= 0 || rect.Left >= GridWidth()) continue;
      const TGridDrawState state = CellState(col, row);
      canvas.Font = Font();
      canvas.Brush.Color = Color();
      canvas.Brush.Style = bsSolid;
      canvas.Pen = TPen{};
      {
        PainterState saved(painter);
        painter->setClipRect(QRect(0, 0, GridWidth(), GridHeight()));
        painter->setClipRect(ToQRect(rect), Qt::IntersectClip);
        DrawCell(col, row, rect, state);
      }
      canvas.Brush.Style = bsSolid;
      canvas.Brush.Color = state.Contains(gdFixed) ? clBlack : clSilver;
      if (col_line > 0)
        canvas.FillRect(Rect(rect.Right, rect.Top, rect.Right + col_line, rect.Bottom + row_line));
      if (row_line > 0)
        canvas.FillRect(
            Rect(rect.Left, rect.Bottom, rect.Right + col_line, rect.Bottom + row_line));
    }
  }
}

void TDBGrid::DrawCell(int col, int row, const TRect& rect, TGridDrawState state) {
  TCanvas& canvas = Canvas();
  const bool title = row < TitleOffset();
  if (title || col < IndicatorOffset()) {
    TColumn* column = col >= IndicatorOffset() ? columns_[RawToDataColumn(col)] : nullptr;
    canvas.Brush.Color = title && column != nullptr ? column->Title().Color() : fixed_color_;
    canvas.FillRect(rect);
    TRect inner = rect;
    DrawBevel(canvas, inner, /*raised=*/true, 1);
    if (title && column != nullptr) {
      canvas.Font = column->Title().Font();
      WriteCellText(canvas, inner, 1, column->Title().Caption(), column->Title().Alignment(),
                    UseRightToLeftReading());
    } else if (!title) {
      DrawIndicatorMark(rect, row - TitleOffset());
    }
    return;
  }
  const int data_col = RawToDataColumn(col);
  const int data_row = row - TitleOffset();
  TColumn* column = columns_[data_col];
  canvas.Font = column->Font();
  canvas.Brush.Color = state.Contains(gdFixed) ? fixed_color_ : column->Color();
  if (HighlightCell(data_col, data_row, state)) {
    canvas.Brush.Color = clHighlight;
    canvas.Font.Color = clHighlightText;
  }
  if (!Enabled()) canvas.Font.Color = clGrayText;
  if (!data_link_->Active() || data_row >= data_link_->RecordCount()) {
    canvas.FillRect(rect);
    return;
  }
  LinkRecordScope scope(*data_link_, data_row);
  if (default_drawing_) DefaultDrawColumnCell(rect, data_col, column, state);
  DrawColumnCell(rect, data_col, column, state);
  if (state.Contains(gdFocused) && state.Contains(gdSelected) && !options_.Contains(dgRowSelect))
    DrawFocusRect(rect);
}

void TDBGrid::DefaultDrawColumnCell(const TRect& rect, int data_col, TColumn* column,
                                    TGridDrawState state) {
  const TField* field = column != nullptr ? column->Field() : nullptr;
  WriteCellText(Canvas(), rect, 2, field != nullptr ? field->DisplayText() : std::string(),
                column != nullptr ? column->Alignment() : taLeftJustify, UseRightToLeftReading());
}

void TDBGrid::DrawColumnCell(const TRect& rect, int data_col, TColumn* column,
                             TGridDrawState state) {
  if (OnDrawColumnCell) OnDrawColumnCell(this, rect, data_col, column, state);
}

bool TDBGrid::HighlightCell(int data_col, int data_row, TGridDrawState state) const {
  return state.Contains(gdSelected) && !state.Contains(gdFixed) &&
         (options_.Contains(dgAlwaysShowSelection) || FocusWithin());
}

void TDBGrid::WriteCellText(TCanvas& canvas, const TRect& rect, int margin, const std::string& text,
                            TAlignment alignment, bool right_to_left) {
  canvas.FillRect(rect);
  const TRect inner = Rect(rect.Left + margin, rect.Top + 2, rect.Right - margin, rect.Bottom);
  int flags = alignment == taRightJustify ? tfRight : alignment == taCenter ? tfCenter : tfLeft;
  if (right_to_left) flags |= tfRtlReading;
  canvas.TextRectAligned(inner, text, flags);
}

void TDBGrid::DrawIndicatorMark(const TRect& rect, int data_row) {
  if (!data_link_->Active() || data_row != data_link_->ActiveRecord() ||
      data_row >= std::max(1, data_link_->RecordCount()))
    return;
  QPainter* painter = Canvas().Painter();
  if (painter == nullptr) return;
  const int cx = (rect.Left + rect.Right) / 2;
  const int cy = (rect.Top + rect.Bottom) / 2;
  const QColor ink = ToQColor(clWindowText);
  PainterState saved(painter);
  switch (data_link_->DataSet()->State()) {
    case dsEdit:  // an I-beam
      painter->fillRect(cx, cy - 4, 1, 9, ink);
      painter->fillRect(cx - 2, cy - 4, 5, 1, ink);
      painter->fillRect(cx - 2, cy + 4, 5, 1, ink);
      break;
    case dsInsert:  // an asterisk
      painter->setPen(QPen(ink, 1));
      painter->drawLine(cx, cy - 3, cx, cy + 3);
      painter->drawLine(cx - 3, cy, cx + 3, cy);
      painter->drawLine(cx - 2, cy - 2, cx + 2, cy + 2);
      painter->drawLine(cx - 2, cy + 2, cx + 2, cy - 2);
      break;
    default: {  // an arrow pointing at the row
      painter->setPen(Qt::NoPen);
      painter->setBrush(ink);
      const QPoint points[] = {{cx - 2, cy - 4}, {cx + 2, cy}, {cx - 2, cy + 4}};
      painter->drawPolygon(points, 3);
      break;
    }
  }
}

void TDBGrid::DrawFocusRect(const TRect& rect) {
  QPainter* painter = Canvas().Painter();
  if (painter == nullptr || rect.Width() < 2 || rect.Height() < 2) return;
  PainterState saved(painter);
  painter->setPen(QPen(ToQColor(Canvas().Font.Color), 1, Qt::DotLine));
  painter->setBrush(Qt::NoBrush);
  painter->drawRect(rect.Left, rect.Top, rect.Width() - 1, rect.Height() - 1);
}

bool TDBGrid::UseRightToLeftReading() const {
  return Widget() != nullptr && Widget()->layoutDirection() == Qt::RightToLeft;
}

bool TDBGrid::FocusWithin() const {
  const QWidget* focus = QApplication::focusWidget();
  return focus != nullptr && (focus == Widget() || (editor_ != nullptr && focus == editor_));
}

// --- Columns moving and events --------------------------------------------------------------

void TDBGrid::MoveColumn(int from, int to) {
  if (from < 0 || to < 0 || from >= columns_.Count() || to >= columns_.Count() || from == to)
    return;
  CommitEditor();
  HideEditor();
  const int selected = SelectedIndex();
  TColumn* current = selected >= 0 ? columns_[selected] : nullptr;
  columns_.Move(from, to);
  if (current != nullptr) col_ = DataToRawColumn(current->Index());
  ColumnMoved(from, to);
  ColumnsChanged();
}

void TDBGrid::ColumnMoved(int from, int to) {
  if (OnColumnMoved) OnColumnMoved(this, from, to);
}

void TDBGrid::ColEnter() {
  if (OnColEnter) OnColEnter(this);
}

void TDBGrid::ColExit() {
  if (OnColExit) OnColExit(this);
}

void TDBGrid::CellClick(TColumn* column) {
  if (OnCellClick) OnCellClick(column);
}

void TDBGrid::TitleClick(TColumn* column) {
  if (OnTitleClick) OnTitleClick(column);
}

}  // namespace vx
