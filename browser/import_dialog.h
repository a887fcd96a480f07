#pragma once
// The import dialog of Table > Import rows: a CSV or JSON lines file to append to the table by
// the rules of `vxdbf append` (a CSV header names the fields; JSON lines name them in each
// object). The file is checked as it is named: its first lines are shown, and a CSV header that
// names no field of the table is refused before anything is read further. Running the import is
// the caller's.

#include <functional>
#include <string>
#include <vector>

#include "browser/checked_dialog.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;

namespace vx::browser {

class TImportDialog : public TCheckedDialog {
 public:
  enum class Format { kCsv, kJsonLines };
  // `fields`: the table's field names (upper case, UTF-8).
  TImportDialog(QWidget* parent, std::vector<std::string> fields);

  std::string FileName() const;
  Format ChosenFormat() const;
  // What is wrong with the file as named ("" when nothing is found before the import).
  std::string Problem() const override;
  // Checks again, the file's first lines shown.
  void Recheck() override;
  // Asks for the file (the Browse button); tests answer it themselves.
  std::function<bool(std::string& path)> AskFile;

  QLineEdit* FileEdit = nullptr;
  QComboBox* FormatBox = nullptr;
  QPlainTextEdit* Preview = nullptr;

 private:
  std::vector<std::string> fields_;
};

}  // namespace vx::browser
