#pragma once
// The tag dialog of Table > Tags: the tags of the table's production index, with their key and
// FOR expressions, one to drop, and a new one to add whose name, key and FOR condition are
// checked as typed against the table's fields (the error in words, with its place in the text).
// Running the operations is the caller's.

#include <functional>
#include <string>
#include <string_view>
#include <vexel/vexel.hpp>

#include "browser/checked_dialog.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vx::browser {

// What is wrong with `expression` over the fields of `table` read in code page `codepage`
// ("" when nothing is): it does not compile (the library's words and the place), or its type is
// not one of `types` ('C', 'N', 'D', 'L'). `what` names it in the message ("the key").
std::string ExpressionProblem(const std::string& table, int codepage, const std::string& expression,
                              std::string_view types, const std::string& what);

// OK and Cancel make way for Add tag and Close: adding a tag leaves the dialog open.
class TTagDialog : public TCheckedDialog {
 public:
  TTagDialog(QWidget* parent, const std::string& table, int codepage);

  // Reads the table's tags into the list again.
  void FillTags();
  // The new tag as typed, and what is wrong with it ("" when nothing is).
  vexel::NewTag Tag() const;
  std::string Problem() const override;
  // Checks again; a new tag that replaces one of its name is said so.
  void Recheck() override;

  // Run when Add or Drop is pressed; true when the operation was done (the list is read again).
  std::function<bool(const vexel::NewTag& tag)> OnAdd;
  std::function<bool(const std::string& tag)> OnDrop;

  QListWidget* TagList = nullptr;
  QLineEdit* NameEdit = nullptr;
  QLineEdit* KeyEdit = nullptr;
  QLineEdit* ForEdit = nullptr;
  QCheckBox* Descending = nullptr;
  QCheckBox* Unique = nullptr;
  QPushButton* AddButton = nullptr;
  QPushButton* DropButton = nullptr;

 private:
  std::string table_;
  int codepage_;
};

}  // namespace vx::browser
