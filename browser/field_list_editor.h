#pragma once
// The field-list editor of Table > New table and Table > Change structure: a row per field (name,
// type, width, decimals), checked as typed by the library's own rules (vexel::check_fields), the
// problem shown under the list and OK held back until it is mended. When it changes a table's
// structure, each row remembers the field it started as, so that renames, new types, dropped and
// added fields are told apart (vexel::AlterChanges). Running the operation is the caller's.

#include <cstdint>
#include <string>
#include <vector>
#include <vexel/maintenance.hpp>

#include "browser/checked_dialog.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace vx::browser {

class TFieldListEditor : public TCheckedDialog {
 public:
  enum class Mode { kCreate, kAlter };
  // kCreate: an empty list, a file name, the table's kind and code page to choose. kAlter: the
  // fields of a table of kind `version`, to change.
  TFieldListEditor(QWidget* parent, Mode mode, const std::vector<vexel::Field>& fields = {},
                   std::uint8_t version = 0);

  // Appends a row as a user would type it, and removes one.
  void AddField(const vexel::Field& field);
  void RemoveField(int row);
  // The fields as the rows give them (names in upper case; an empty width is 0).
  std::vector<vexel::Field> Fields() const;
  // What is wrong with the list as it stands, in words ("" when nothing is); shown under the
  // list, and OK is enabled only without it.
  std::string Problem() const override;
  // kAlter: the changes from the table's fields to the rows.
  vexel::AlterChanges Changes() const;
  // kCreate: the file to create (".DBF" added when it has no extension), the kind's version
  // byte and the code page chosen.
  std::string FileName() const;
  std::uint8_t Version() const;
  int CodePage() const;

  QTableWidget* List = nullptr;
  QLineEdit* FileEdit = nullptr;  // kCreate
  QComboBox* KindBox = nullptr;   // kCreate
  QComboBox* PageBox = nullptr;   // kCreate
  QCheckBox* Backup = nullptr;    // kAlter: keep the old files as .bak
  QPushButton* AddButton = nullptr;
  QPushButton* RemoveButton = nullptr;

 private:
  // The text of cell (row, column), trimmed.
  std::string Cell(int row, int column) const;
  // Row `row`'s field as typed, or a problem in words.
  std::string ReadRow(int row, vexel::Field& field) const;

  Mode mode_;
  std::vector<vexel::Field> original_;
  std::uint8_t version_;
  bool filling_ = false;
};

}  // namespace vx::browser
