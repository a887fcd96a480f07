#pragma once
// The copy dialog of Table > Copy to: a new table from the open one's records (those a condition
// keeps, checked as typed), or its fields alone, with or without its tags. Running the copy is
// the caller's.

#include <string>
#include <vexel/maintenance.hpp>

#include "browser/checked_dialog.h"

class QCheckBox;
class QLineEdit;

namespace vx::browser {

class TCopyDialog : public TCheckedDialog {
 public:
  TCopyDialog(QWidget* parent, const std::string& table, int codepage);

  // The new table (".DBF" added when it has no extension) and how to copy.
  std::string Target() const;
  vexel::CopyOptions Options() const;
  std::string Problem() const override;

  QLineEdit* FileEdit = nullptr;
  QLineEdit* ConditionEdit = nullptr;
  QCheckBox* StructureOnly = nullptr;
  QCheckBox* WithIndex = nullptr;
  QCheckBox* Overwrite = nullptr;

 private:
  std::string table_;
  int codepage_;
};

}  // namespace vx::browser
