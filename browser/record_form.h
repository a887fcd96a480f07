#pragma once
// The record form: one record's fields as labelled editors of their kind beside the grid, for
// tables too wide to read in a row. Character and number fields get a line editor (numbers
// right-aligned), logicals a check box, dates a date editor (blank shown blank), memos a
// multi-line editor (binary memos read-only). The form follows the dataset's current record;
// a changed editor writes its field when it is left (Enter, Tab, a click elsewhere) as the
// grid's editor does: edit, set the field's text, post.

#include <QScrollArea>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "platform/dataset/dataset.h"

class QScrollArea;
class QFormLayout;

namespace vx::browser {

class TBrowserTable;

class TRecordForm {
 public:
  TRecordForm(QWidget* parent, TBrowserTable* table);
  ~TRecordForm();

  QWidget* Widget() const { return area_; }
  // Builds the editors for the open table's fields (none when closed).
  void Rebuild();
  // Shows the current record's values (after a scroll or an edit elsewhere).
  void Refresh();
  // The editor of field `name` (a QLineEdit, QCheckBox, QDateEdit or QPlainTextEdit).
  QWidget* Editor(const std::string& name) const;
  // Runs an action that may raise; the browser shows the message.
  std::function<void(const std::function<void()>&)> Guard;

 private:
  struct Row {
    std::string field;
    char type = 'C';
    QWidget* editor = nullptr;
  };
  // Writes the editor's value into its field (edit, set, post) when it differs.
  void Commit(const Row& row);
  std::string EditorText(const Row& row) const;

  TBrowserTable* table_;
  QScrollArea* area_ = nullptr;
  QWidget* inner_ = nullptr;
  QFormLayout* layout_ = nullptr;
  std::vector<Row> rows_;
  bool filling_ = false;
};

}  // namespace vx::browser
