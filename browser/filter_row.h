#pragma once
// The filter row: a cell under each column's title of the browser's grid. What is typed there
// becomes a condition over that column's field (browser/column_filter.h); the row's conditions,
// joined with .AND., are written into the filter bar as they are typed (checked there as any
// condition is) and applied with Enter.

#include <QObject>
#include <functional>
#include <string>
#include <vector>

class QLineEdit;
class QWidget;

namespace vx::browser {

class TBrowserForm;

class TFilterRow {
 public:
  // The cells go into `strip`, a band as wide as the grid right above it.
  TFilterRow(TBrowserForm& form, QWidget* strip);

  // A cell per column of the grid, empty (after the columns changed).
  void Rebuild();
  // Puts each cell under its column's title as the grid now shows it (hidden when scrolled out).
  void Place();
  // Types `text` into the cell of column `column` (0-based, as the grid's columns).
  void SetCell(int column, const std::string& text);
  QLineEdit* Cell(int column) const;
  // The condition the cells make ("" when none), and the first problem with what is typed.
  std::string Condition(std::string& problem) const;

 private:
  // Writes the cells' condition into the filter bar; `apply` applies it too.
  void Update(bool apply);

  TBrowserForm& form_;
  QWidget* strip_;
  std::vector<QLineEdit*> cells_;
};

}  // namespace vx::browser
