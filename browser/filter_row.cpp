#include "browser/filter_row.h"

#include <QLabel>
#include <QLineEdit>
#include <QWidget>

#include "browser/browser_form.h"
#include "browser/column_filter.h"

namespace vx::browser {

TFilterRow::TFilterRow(TBrowserForm& form, QWidget* strip) : form_(form), strip_(strip) {}

void TFilterRow::Rebuild() {
  for (QLineEdit* cell : cells_) delete cell;
  cells_.clear();
  TBrowserGrid* grid = form_.Grid;
  for (int i = 0; i < grid->Columns().Count(); ++i) {
    auto* cell = new QLineEdit(strip_);
    cell->setObjectName(
        QString::fromStdString("FilterCell_" + grid->Columns().Items(i)->FieldName()));
    cell->setPlaceholderText("filter");
    cell->setToolTip(
        "text anywhere in the field, or =, <>, <, <=, >, >= and a value; Enter applies");
    QObject::connect(cell, &QLineEdit::textEdited, [this] { Update(false); });
    QObject::connect(cell, &QLineEdit::returnPressed, [this] { Update(true); });
    cells_.push_back(cell);
  }
  Place();
}

void TFilterRow::Place() {
  TBrowserGrid* grid = form_.Grid;
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    const int raw = grid->DataToRawColumn(static_cast<int>(i));
    const TRect rect = grid->CellRect(raw, 0);
    const bool shown = rect.Width() > 0 && raw >= grid->LeftCol();
    cells_[i]->setVisible(shown);
    if (shown) cells_[i]->setGeometry(rect.Left, 1, rect.Width(), strip_->height() - 2);
  }
}

void TFilterRow::SetCell(int column, const std::string& text) {
  if (column < 0 || column >= static_cast<int>(cells_.size())) return;
  cells_[static_cast<std::size_t>(column)]->setText(QString::fromStdString(text));
  Update(false);
}

QLineEdit* TFilterRow::Cell(int column) const {
  return column >= 0 && column < static_cast<int>(cells_.size())
             ? cells_[static_cast<std::size_t>(column)]
             : nullptr;
}

std::string TFilterRow::Condition(std::string& problem) const {
  problem.clear();
  std::vector<std::string> conditions;
  TBrowserGrid* grid = form_.Grid;
  for (std::size_t i = 0; i < cells_.size(); ++i) {
    TField* field = grid->Columns().Items(static_cast<int>(i))->Field();
    const std::string typed = cells_[i]->text().toStdString();
    if (field == nullptr || typed.empty()) continue;
    std::string cell_problem;
    conditions.push_back(
        ColumnCondition(field->FieldName(), form_.FieldType(field), typed, cell_problem));
    if (problem.empty()) problem = cell_problem;
  }
  return RowCondition(conditions);
}

void TFilterRow::Update(bool apply) {
  std::string problem;
  const std::string condition = Condition(problem);
  if (!problem.empty()) {
    form_.FilterMessage->setText(QString::fromStdString(problem));
    return;
  }
  // The filter bar shows the condition and checks it as typed text.
  form_.FilterField->setText(QString::fromStdString(condition));
  if (apply) form_.ApplyFilter(condition);
}

char TBrowserForm::FieldType(TField* field) const {
  const TDbfFieldProps* props = Table->FieldProps();
  if (field == nullptr || props == nullptr) return 0;
  const int n = field->FieldNo();
  return n >= 1 && n <= props->Count() ? props->Field(n).type : 0;
}

}  // namespace vx::browser
