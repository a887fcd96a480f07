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
#include "platform/widgets/host_widget.h"

namespace vx {

namespace {

constexpr int kIndicatorWidth = 12;
constexpr int kMaxColumnWidth = 32767;
// How close to a title's right edge a press starts resizing the column.
constexpr int kSizingMargin = 2;
// How far the mouse must travel with a title pressed before the column follows it.
constexpr int kMoveThreshold = 4;
constexpr int kWheelNotch = 120;

bool InEditState(const TDataSet* dataset) {
  return dataset != nullptr && (dataset->State() == dsEdit || dataset->State() == dsInsert);
}

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

// The grid's view of its data source: every notification goes to the grid.
class GridDataLink : public TDataLink {
 public:
  explicit GridDataLink(TDBGrid* grid) : grid_(grid) {}

 protected:
  void ActiveChanged() override { grid_->LinkActive(Active()); }
  void DataSetChanged() override { grid_->DataChanged(); }
  void DataSetScrolled(int distance) override { grid_->Scrolled(distance); }
  void LayoutChanged() override { grid_->LayoutChanged(); }
  void RecordChanged(TField* field) override { grid_->RecordChanged(field); }
  void EditingChanged() override { grid_->EditingChanged(); }
  void UpdateData() override { grid_->UpdateData(); }
  void FocusControl(TField** field) override {
    if (field != nullptr && *field != nullptr && grid_->FocusColumnOf(*field)) *field = nullptr;
  }

 private:
  TDBGrid* grid_;
};

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

// Watches the in-place editor: the keys that leave the cell go to the grid, and focus moving
// between the editor and the rest of the form counts as entering or leaving the grid.
class GridEditorFilter : public QObject {
 public:
  GridEditorFilter(TDBGrid* grid, QObject* parent) : QObject(parent), grid(grid) {}
  TDBGrid* grid;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (grid == nullptr) return false;
    switch (event->type()) {
      case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool ctrl = key->modifiers() & Qt::ControlModifier;
        const bool modifying = (!ctrl && !key->text().isEmpty() && key->text()[0].isPrint()) ||
                               key->key() == Qt::Key_Backspace || key->key() == Qt::Key_Delete ||
                               (ctrl && (key->key() == Qt::Key_V || key->key() == Qt::Key_X ||
                                         key->key() == Qt::Key_Z));
        bool swallow = true;
        grid->Guard([&] {
          swallow =
              grid->EditorKey(key->key(), key->modifiers() & Qt::ShiftModifier, ctrl, modifying);
        });
        return swallow;
      }
      case QEvent::FocusIn:
        grid->Guard([this] { grid->EnterGrid(); });
        return false;
      case QEvent::FocusOut:
        grid->Guard([this] {
          if (!grid->FocusWithin()) grid->LeaveGrid();
        });
        return false;
      default:
        return false;
    }
  }
};

LinkRecordScope::LinkRecordScope(TDataLink& link, int row) : link_(link) {
  old_ = link.ActiveRecord();
  link.SetActiveRecord(row);
}

LinkRecordScope::~LinkRecordScope() { link_.SetActiveRecord(old_); }

// --- TColumnTitle ---------------------------------------------------------------------------

std::string TColumnTitle::Caption() const {
  if (caption_) return *caption_;
  if (const TField* field = column_->Field()) return field->DisplayLabel();
  return column_->FieldName();
}

void TColumnTitle::SetCaption(const std::string& value) {
  caption_ = value;
  column_->Changed();
}

void TColumnTitle::SetAlignment(TAlignment value) {
  alignment_ = value;
  column_->Changed();
}

TFont TColumnTitle::Font() const {
  if (font_) return *font_;
  const TDBGrid* grid = column_->Grid();
  return grid != nullptr ? grid->TitleFont() : TFont();
}

void TColumnTitle::SetFont(const TFont& value) {
  font_ = value;
  column_->Changed();
}

void TColumnTitle::SetColor(TColor value) {
  color_ = value;
  column_->Changed();
}

void TColumnTitle::RestoreDefaults() {
  caption_.reset();
  alignment_.reset();
  font_.reset();
  color_.reset();
}

// --- TColumn --------------------------------------------------------------------------------

TColumn::TColumn(TDBGridColumns* collection) : collection_(collection) {}

TDBGrid* TColumn::Grid() const { return collection_ != nullptr ? collection_->Grid() : nullptr; }

int TColumn::Index() const { return collection_ != nullptr ? collection_->IndexOf(this) : -1; }

void TColumn::SetFieldName(const std::string& value) {
  field_name_ = value;
  Changed();
}

TField* TColumn::Field() const {
  const TDBGrid* grid = Grid();
  if (grid == nullptr || field_name_.empty() || !grid->DataLink().Active()) return nullptr;
  return grid->DataLink().DataSet()->FindField(field_name_);
}

int TColumn::Width() const { return width_ ? *width_ : DefaultWidth(); }

void TColumn::SetWidth(int value) {
  width_ = std::clamp(value, 0, kMaxColumnWidth);
  Changed();
}

int TColumn::DefaultWidth() const {
  // Measuring text is slow and painting asks for every column's width for every cell.
  const int generation = collection_ != nullptr ? collection_->generation_ : -1;
  if (generation >= 0 && generation == default_width_generation_) return default_width_;
  default_width_ = MeasureDefaultWidth();
  default_width_generation_ = generation;
  return default_width_;
}

int TColumn::MeasureDefaultWidth() const {
  const TField* field = Field();
  if (field == nullptr) return 64;
  const QFontMetrics metrics(Font().ToQFont());
  // Dates and numbers are mostly digits, which are wider than the average character: measured
  // by the average, "01/30/1930" loses its last digit.
  int char_width = metrics.averageCharWidth();
  if (field->DataType() != ftString && !field->IsBlob()) {
    for (char digit = '0'; digit <= '9'; ++digit) {
      char_width = std::max(char_width, metrics.horizontalAdvance(QChar(digit)));
    }
  }
  int width = field->DisplayWidth() * char_width + 4;
  const TDBGrid* grid = Grid();
  if (grid != nullptr && grid->Options().Contains(dgTitles)) {
    const QFontMetrics title(title_.Font().ToQFont());
    width = std::max(width, title.horizontalAdvance(AnsiToQString(title_.Caption())) + 4);
  }
  return std::min(width, kMaxColumnWidth);
}

void TColumn::SetColor(TColor value) {
  color_ = value;
  Changed();
}

TFont TColumn::Font() const {
  if (font_) return *font_;
  const TDBGrid* grid = Grid();
  return grid != nullptr ? grid->Font() : TFont();
}

void TColumn::SetFont(const TFont& value) {
  font_ = value;
  Changed();
}

TAlignment TColumn::Alignment() const {
  if (alignment_) return *alignment_;
  if (const TField* field = Field()) return field->Alignment();
  return taLeftJustify;
}

void TColumn::SetAlignment(TAlignment value) {
  alignment_ = value;
  Changed();
}

void TColumn::SetReadOnly(bool value) {
  read_only_ = value;
  Changed();
}

void TColumn::SetVisible(bool value) {
  visible_ = value;
  Changed();
}

void TColumn::RestoreDefaults() {
  width_.reset();
  color_.reset();
  font_.reset();
  alignment_.reset();
  read_only_ = false;
  visible_ = true;
  title_.RestoreDefaults();
  Changed();
}

// A column the program changes is the program's: the collection stops following the fields.
void TColumn::Changed() {
  if (collection_ == nullptr) return;
  collection_->state_ = csCustomized;
  collection_->Changed();
}

// --- TDBGridColumns -------------------------------------------------------------------------

int TDBGridColumns::IndexOf(const TColumn* column) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == column) return static_cast<int>(i);
  }
  return -1;
}

TColumn* TDBGridColumns::Add() {
  if (state_ == csDefault) items_.clear();
  state_ = csCustomized;
  items_.push_back(std::make_unique<TColumn>(this));
  Changed();
  return items_.back().get();
}

void TDBGridColumns::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  state_ = csCustomized;
  items_.erase(items_.begin() + index);
  Changed();
}

void TDBGridColumns::Clear() { SetState(csDefault); }

void TDBGridColumns::BeginUpdate() { ++update_count_; }

void TDBGridColumns::EndUpdate() {
  if (update_count_ > 0 && --update_count_ == 0 && changed_) {
    changed_ = false;
    grid_->ColumnsChanged();
  }
}

void TDBGridColumns::SetState(TDBGridColumnsState value) {
  if (value == csDefault) {
    state_ = csDefault;
    items_.clear();
    RebuildDefault();
    Changed();
  } else {
    state_ = csCustomized;
  }
}

void TDBGridColumns::Changed() {
  ++generation_;
  if (update_count_ > 0) {
    changed_ = true;
    return;
  }
  grid_->ColumnsChanged();
}

void TDBGridColumns::Move(int from, int to) {
  if (from == to) return;
  state_ = csCustomized;
  auto column = std::move(items_[static_cast<std::size_t>(from)]);
  items_.erase(items_.begin() + from);
  items_.insert(items_.begin() + to, std::move(column));
}

void TDBGridColumns::RebuildDefault() {
  if (state_ != csDefault) return;
  std::vector<std::string> names;
  if (grid_->DataLink().Active()) {
    for (const TField* field : grid_->DataLink().DataSet()->Fields()) {
      if (field->Visible()) names.push_back(field->FieldName());
    }
  }
  // A field that keeps its column keeps the column object, so that pointers handed out stay
  // good; the columns of fields gone go with them.
  std::vector<std::unique_ptr<TColumn>> old = std::move(items_);
  items_.clear();
  for (const std::string& name : names) {
    auto same = std::find_if(old.begin(), old.end(), [&](const auto& column) {
      return column != nullptr && column->FieldName() == name;
    });
    if (same != old.end()) {
      items_.push_back(std::move(*same));
    } else {
      items_.push_back(std::make_unique<TColumn>(this));
      items_.back()->field_name_ = name;
    }
  }
}

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
