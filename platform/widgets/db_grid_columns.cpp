// The grid's columns: their titles, widths and fonts, and the collection that keeps them.

#include "platform/widgets/db_grid.h"

#include <QFontMetrics>
#include <algorithm>
#include <exception>

#include "platform/dataset/dataset.h"

namespace vx {

namespace {

constexpr int kMaxColumnWidth = 32767;

}  // namespace

ColumnsUpdate::ColumnsUpdate(TDBGridColumns& columns)
    : columns_(columns), exceptions_(std::uncaught_exceptions()) {
  columns_.BeginUpdate();
}

ColumnsUpdate::~ColumnsUpdate() noexcept(false) {
  EndScope(exceptions_, [this] { columns_.EndUpdate(); });
}

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

}  // namespace vx
