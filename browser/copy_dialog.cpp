#include "browser/copy_dialog.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QVBoxLayout>
#include <filesystem>

#include "browser/form_text.h"
#include "browser/tag_dialog.h"

namespace vx::browser {

TCopyDialog::TCopyDialog(QWidget* parent, const std::string& table, int codepage)
    : TCheckedDialog(parent), table_(table), codepage_(codepage) {
  setObjectName("CopyDialog");
  setWindowTitle("Copy to a new table");
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  FileEdit = new QLineEdit(this);
  FileEdit->setObjectName("FileName");
  FileEdit->setMinimumWidth(360);
  ConditionEdit = new QLineEdit(this);
  ConditionEdit->setObjectName("Condition");
  ConditionEdit->setPlaceholderText("optional: the records to copy, e.g. YEAR >= 1950");
  StructureOnly = new QCheckBox("The fields only, no records", this);
  WithIndex = new QCheckBox("Build the tags of the production index for the copy", this);
  Overwrite = new QCheckBox("Replace a table of that name", this);
  form->addRow("New table:", FileEdit);
  form->addRow("Records for:", ConditionEdit);
  form->addRow("", StructureOnly);
  form->addRow("", WithIndex);
  form->addRow("", Overwrite);
  layout->addLayout(form);
  AddMessageAndButtons(layout);
  for (QLineEdit* edit : {FileEdit, ConditionEdit})
    QObject::connect(edit, &QLineEdit::textChanged, [this] { Recheck(); });
  QObject::connect(Overwrite, &QCheckBox::toggled, [this] { Recheck(); });
  Recheck();
}

std::string TCopyDialog::Target() const {
  std::string name = Trimmed(FileEdit->text().trimmed().toStdString());
  if (name.empty()) return name;
  if (std::filesystem::path(name).extension().empty()) name += ".DBF";
  // A bare name goes beside the table copied.
  const std::filesystem::path target(name);
  return target.is_absolute() ? name
                              : (std::filesystem::path(table_).parent_path() / target).string();
}

vexel::CopyOptions TCopyDialog::Options() const {
  vexel::CopyOptions copy;
  copy.condition = ConditionEdit->text().trimmed().toStdString();
  copy.structure_only = StructureOnly->isChecked();
  copy.with_index = WithIndex->isChecked();
  copy.overwrite = Overwrite->isChecked();
  return copy;
}

std::string TCopyDialog::Problem() const {
  const std::string target = Target();
  if (target.empty()) return "Name the new table's file.";
  if (std::filesystem::exists(target) && !Overwrite->isChecked())
    return target + " exists: choose another name, or replace it.";
  const std::string condition = ConditionEdit->text().trimmed().toStdString();
  if (condition.empty()) return {};
  return ExpressionProblem(table_, codepage_, condition, "L", "The condition");
}

}  // namespace vx::browser
